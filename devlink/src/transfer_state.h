// The one transfer of the library: its state, the notifications to the caller's target and the
// worker thread that streams the data. Download, upload, system images and firmware share it.
#pragma once

#include "KestoUSB.h"
#include "byteorder.h"
#include "transport.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestousb {

// Paths travel in fixed 256-byte buffers (with their terminator). A longer path is refused with
// this code before anything is sent to the player.
constexpr size_t kMaxPath = 256;
constexpr int kPathTooLongError = KSUSB_ERR_OPEN_FILE;

constexpr size_t kImageBlock = 512; // system images and firmware always go in 512-byte blocks

// Block size of a download by the mode byte of the player's verdict. The player only sends 0, 2,
// 4 and 5; anything else gets the smallest block, which every player takes.
size_t downloadBlockSize(uint8_t mode);

// Block size of an upload by mode; 0 for an unknown mode (the worker then fails with -44).
size_t uploadBlockSize(uint8_t mode);

enum class TransferKind : uint8_t { Download, Upload, SystemImage, Firmware };

// What the caller's thread hands to a worker. The worker gets its own copy, so the caller may
// start the next call (or change the library's state) without racing the running worker.
struct TransferJob {
    TransferKind kind = TransferKind::Download;
    char path[kMaxPath] = {};
    uint32_t size = 0;
    KSNotifyTarget *window = nullptr;
    uint32_t step = 0;
    uint8_t mode = 0;
};

// Copies a caller's zero-terminated path into `out`. False (nothing copied) for a null path or
// one that does not fit with its terminator.
bool copyPath(const char *path, char (&out)[kMaxPath]);

// What the file system says about a PC file to be sent.
struct PcFile {
    uint32_t size = 0;
    int64_t modified = 0; // seconds since 1970, UTC
};
// Looks `path` up: 0 and `out` filled for a regular file, -11 when there is none, -31 for a file
// of 4 GiB or more (no memory of the player can hold it; its size would not fit the 32-bit size
// field).
int lookUpPcFile(const char *path, PcFile &out);

// Posts WM_XFER_NOTIFY to `window`; nothing when no window was given.
void notify(KSNotifyTarget *window, uintptr_t what, intptr_t value);

// A worker's failure: stores `code` as the last error, posts (4, code) and returns `code` (the
// thread's exit code).
int failTransfer(const TransferJob &job, int code);

// Stores `job` as the library's transfer state, creates the stop event on first use and starts
// the worker for the job's kind on a detached thread. False with -21 when the thread could not
// be started.
bool startTransfer(const TransferJob &job);

// The state of the transfer started last (the caller's view; the worker runs on its copy).
TransferJob lastTransfer();

// True while a worker thread has not yet finished. The worker's last action is its final post
// (3 or 4), so a caller that saw that post may release its target; this is for code that must
// also know the thread left the library (tests, process exit).
bool transferRunning();
// Blocks until no worker runs or `timeoutMs` passed; true when none runs.
bool waitTransferIdle(uint32_t timeoutMs);

// The workers, one per kind; each returns its thread exit code (0 or the error code) and posts
// its notifications itself.
int runDownload(const TransferJob &job);
int runUpload(const TransferJob &job);
int runImage(const TransferJob &job); // system image and firmware

// The outgoing stream shared by downloads and images: `job.size` bytes of the file at job.path
// in blocks of `block` bytes (a short final block zero-padded), after WaitReady(`phase`).
int streamToPlayer(const TransferJob &job, size_t block, Phase phase);

} // namespace kestousb
