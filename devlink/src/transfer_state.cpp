// The one transfer state, the notifications and the worker thread.
#include "transfer_state.h"

#include "library_state.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include <sys/stat.h>

namespace kestousb {

namespace {

// Download block sizes by mode: 0 and 2 are 512 bytes, 4 is 8 KiB, 5 is 16 KiB.
constexpr size_t kSmallBlock = 512;
constexpr size_t kUploadMode2Block = 2048;
constexpr size_t kMode4Block = 8192;
constexpr size_t kMode5Block = 16384;
static_assert(kMode5Block <= kMaxBlockSize);

// Counts workers that have not finished.
LibraryState::Workers &workers() {
    return library().workers;
}

void workerMain(TransferJob job) {
    switch (job.kind) {
    case TransferKind::Download:
        runDownload(job);
        break;
    case TransferKind::Upload:
        runUpload(job);
        break;
    case TransferKind::SystemImage:
    case TransferKind::Firmware:
        runImage(job);
        break;
    }
    auto &w = workers();
    std::lock_guard lock(w.mutex);
    --w.running;
    w.idle.notify_all();
}

} // namespace

size_t downloadBlockSize(uint8_t mode) {
    switch (mode) {
    case 4:
        return kMode4Block;
    case 5:
        return kMode5Block;
    default:
        return kSmallBlock;
    }
}

size_t uploadBlockSize(uint8_t mode) {
    switch (mode) {
    case 0:
        return kSmallBlock;
    case 2:
        return kUploadMode2Block;
    case 4:
        return kMode4Block;
    case 5:
        return kMode5Block;
    default:
        return 0;
    }
}

bool copyPath(const char *path, char (&out)[kMaxPath]) {
    if (path == nullptr)
        return false;
    const size_t length = strnlen(path, kMaxPath);
    if (length == kMaxPath)
        return false;
    std::memcpy(out, path, length + 1);
    return true;
}

int lookUpPcFile(const char *path, PcFile &out) {
    struct stat st {};
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return KSUSB_ERR_NOT_FOUND;
    if (uint64_t(st.st_size) > UINT32_MAX)
        return KSUSB_ERR_MEMORY_FULL;
    out.size = uint32_t(st.st_size);
    out.modified = int64_t(st.st_mtime);
    return 0;
}

void notify(KSNotifyTarget *window, uintptr_t what, intptr_t value) {
    if (window != nullptr && window->post != nullptr)
        window->post(window, WM_XFER_NOTIFY, what, value);
}

int failTransfer(const TransferJob &job, int code) {
    setLastErrorCode(code);
    notify(job.window, KSUSB_XFER_FAILED, code);
    return code;
}

bool startTransfer(const TransferJob &job) {
    // Written and read by the caller's thread only; the worker works on its own copy.
    library().lastJob = job;
    if (!stopEventExists())
        createStopEvent();
    auto &w = workers();
    {
        std::lock_guard lock(w.mutex);
        ++w.running;
    }
    try {
        std::thread(workerMain, job).detach();
    } catch (const std::system_error &) {
        std::lock_guard lock(w.mutex);
        --w.running;
        w.idle.notify_all();
        setLastErrorCode(KSUSB_ERR_THREAD);
        return false;
    }
    return true;
}

TransferJob lastTransfer() {
    return library().lastJob;
}

bool transferRunning() {
    auto &w = workers();
    std::lock_guard lock(w.mutex);
    return w.running > 0;
}

bool waitTransferIdle(uint32_t timeoutMs) {
    auto &w = workers();
    std::unique_lock lock(w.mutex);
    return w.idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&w] { return w.running == 0; });
}

} // namespace kestousb
