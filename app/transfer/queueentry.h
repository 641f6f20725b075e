// One row of the transfer queue: its kind (direction and memory, kept as the row's item data)
// and its state (kept as the row's icon index), and the user's message for each failure code.
#pragma once

#include "texts/strid.h"

namespace tunara::transfer {

// The row's item data.
enum class EntryKind : int {
    DownloadFlash = 0,
    UploadFlash = 1,
    DownloadCard = 2,
    UploadCard = 3,
};

// Icon indices of the queue's image set: 0-3 waiting (inserted with 0), 4 + kind done,
// 8 + kind failed, 12 running, 13 refused when queued.
inline constexpr int IconWaiting = 0;
inline constexpr int IconDone = 4;
inline constexpr int IconFailed = 8;
inline constexpr int IconRunning = 12;
inline constexpr int IconRefused = 13;
inline constexpr int IconCount = 14;

constexpr bool isWaiting(int icon) {
    return icon >= IconWaiting && icon < IconDone;
}
constexpr bool isFailed(int icon) {
    return icon >= IconFailed && icon < IconRunning;
}

EntryKind kindFor(unsigned char memoryId, bool download);
unsigned char memoryOf(EntryKind kind);
constexpr bool isDownload(EntryKind kind) {
    return kind == EntryKind::DownloadFlash || kind == EntryKind::DownloadCard;
}

// The row's status text when the library refused to start the entry (call result 0).
res::StrId downloadStartFailure(int code);
res::StrId uploadStartFailure(int code);
// The row's status text for notification 4 of a running entry.
res::StrId runFailure(int code);

} // namespace tunara::transfer
