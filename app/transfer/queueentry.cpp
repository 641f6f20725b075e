#include "queueentry.h"

#include "device/playererrors.h"

#include <KestoUSB.h>

namespace tunara::transfer {

using res::StrId;

EntryKind kindFor(unsigned char memoryId, bool download) {
    if (memoryId == KSUSB_MEM_CARD)
        return download ? EntryKind::DownloadCard : EntryKind::UploadCard;
    return download ? EntryKind::DownloadFlash : EntryKind::UploadFlash;
}

unsigned char memoryOf(EntryKind kind) {
    return kind == EntryKind::DownloadCard || kind == EntryKind::UploadCard ? KSUSB_MEM_CARD
                                                                            : KSUSB_MEM_FLASH;
}

StrId downloadStartFailure(int code) {
    return device::playerMessageId(device::Situation::QueueDownloadStart, code);
}

StrId uploadStartFailure(int code) {
    return device::playerMessageId(device::Situation::QueueUploadStart, code);
}

StrId runFailure(int code) {
    return device::playerMessageId(device::Situation::QueueRun, code);
}

} // namespace tunara::transfer
