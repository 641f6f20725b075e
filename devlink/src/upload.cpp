// KSUSB_Upload: asks the player for one of its files and writes it to a PC path on the worker
// thread. The data go to a temporary file beside the destination, which replaces the
// destination only when the whole file has arrived: a failed or stopped upload leaves an
// existing file as it was and no half file behind.
#include "filetable.h"
#include "transfer_state.h"
#include "transport.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestousb {

namespace {

constexpr uint8_t kAnnounceUpload = 'R';
constexpr uint8_t kUnknownNameMark = '?'; // the player echoes a name it does not know as '?'s
constexpr size_t kEchoOffset = 6;         // reply: name echo, then size (4 bytes), then mode
constexpr mode_t kDefaultUmask = 022;
constexpr mode_t kCreateMode = 0666;

// The process's umask without changing it (umask() would race other threads creating files).
mode_t currentUmask() {
    FILE *status = std::fopen("/proc/self/status", "re");
    if (status == nullptr)
        return kDefaultUmask;
    char line[128];
    unsigned int mask = kDefaultUmask;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, "Umask: %o", &mask) == 1)
            break;
    std::fclose(status);
    return mode_t(mask);
}

// The temporary file beside the destination; removed unless committed.
class PartFile {
public:
    explicit PartFile(const std::string &destination)
        : m_destination(destination), m_temp(destination + ".part-XXXXXX") {
        m_fd = ::mkstemp(m_temp.data());
        if (m_fd < 0 && errno == ENAMETOOLONG) {
            // A file name near the 255-byte limit leaves no room for the suffix: a short
            // temporary name in the same folder keeps the rename on one file system.
            const size_t slash = destination.rfind('/');
            const std::string folder =
                slash == std::string::npos ? std::string(".") : destination.substr(0, slash);
            m_temp = folder + "/.part-XXXXXX";
            m_fd = ::mkstemp(m_temp.data());
        }
        if (m_fd < 0)
            m_temp.clear();
    }
    ~PartFile() {
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_temp.empty())
            ::unlink(m_temp.c_str());
    }
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    bool isOpen() const { return m_fd >= 0; }

    // Appends `count` bytes. They are gathered and written in large pieces (one write per block
    // would add a system call to every block of the stream); false when the file took fewer
    // bytes than it was given.
    bool write(const uint8_t *data, size_t count) {
        if (m_pending.capacity() < kWriteBehind)
            m_pending.reserve(kWriteBehind);
        if (m_pending.size() + count > kWriteBehind && !flush())
            return false;
        if (count >= kWriteBehind)
            return writeAll(data, count);
        m_pending.insert(m_pending.end(), data, data + count);
        return true;
    }

    // Writes what is gathered; false when the file took fewer bytes.
    bool flush() {
        const bool ok = writeAll(m_pending.data(), m_pending.size());
        m_pending.clear();
        return ok;
    }

    // Gives the file the permissions (and, where allowed, the owner) the destination has or a
    // new file would get, flushes it to the disk, closes it, moves it over the destination and
    // flushes the folder, so that a power cut leaves either the old file or the whole new one
    // under the destination's name, never an empty one. -44 when the data may not all be on
    // disk, -42 when the destination cannot be replaced; 0 on success. On failure the
    // destructor removes the temporary file.
    int commit() {
        if (!flush())
            return KSUSB_ERR_INCOMPLETE;
        struct stat existing {};
        if (::stat(m_destination.c_str(), &existing) == 0) {
            ::fchmod(m_fd, existing.st_mode & 07777);
            // Only a privileged process may give the file away; otherwise we stay its owner.
            [[maybe_unused]] const int owned = ::fchown(m_fd, existing.st_uid, existing.st_gid);
        } else {
            ::fchmod(m_fd, kCreateMode & ~currentUmask());
        }
        if (::fsync(m_fd) != 0)
            return KSUSB_ERR_INCOMPLETE;
        const int closed = ::close(m_fd);
        m_fd = -1;
        if (closed != 0)
            return KSUSB_ERR_INCOMPLETE;
        if (::rename(m_temp.c_str(), m_destination.c_str()) != 0)
            return KSUSB_ERR_OPEN_FILE;
        m_temp.clear();
        // The rename itself lives in the folder: until the folder is on disk a power cut may
        // bring the old entry back. The new file is in place either way, so it stays.
        return syncFolder() ? 0 : KSUSB_ERR_INCOMPLETE;
    }

private:
    static constexpr size_t kWriteBehind = 256 * 1024;

    bool syncFolder() const {
        const size_t slash = m_destination.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string(".")
                                   : slash == 0               ? std::string("/")
                                                              : m_destination.substr(0, slash);
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool ok = ::fsync(fd) == 0;
        ::close(fd);
        return ok;
    }

    bool writeAll(const uint8_t *data, size_t count) {
        size_t done = 0;
        while (done < count) {
            const ssize_t n = ::write(m_fd, data + done, count - done);
            if (n > 0)
                done += size_t(n);
            else if (n < 0 && errno == EINTR)
                continue;
            else
                return false;
        }
        return true;
    }

    std::vector<uint8_t> m_pending;
    std::string m_destination;
    std::string m_temp;
    int m_fd = -1;
};

} // namespace

int runUpload(const TransferJob &job) {
    // Scoped so that the temporary file is gone before the failure is posted.
    const int code = [&job]() -> int {
        PartFile file(job.path);
        if (!file.isOpen())
            return KSUSB_ERR_OPEN_FILE;
        notify(job.window, KSUSB_XFER_START, job.size);
        const size_t block = uploadBlockSize(job.mode);
        waitReady(Phase::Reply);

        uint8_t buffer[kMaxBlockSize];
        uint32_t received = 0;
        while (received < job.size) {
            if (block == 0) // a mode the player should not send: no block size to read by
                return KSUSB_ERR_INCOMPLETE;
            std::memset(buffer, 0, block);
            size_t n = 0;
            // The announced size is the player's word only: a stream that ends early (nothing
            // arrives, or the pipe fails after its time-out) fails rather than wait or pad.
            // KSUSB_Stop interrupts a read the player does not answer: that is a stop.
            if (!pipeRead(buffer, block, &n) || n == 0)
                return takeStopEvent() ? KSUSB_ERR_STOPPED : KSUSB_ERR_INCOMPLETE;
            n = std::min(n, block);
            const uint32_t left = job.size - received;
            if (left < block) {
                // Final block: the fill after the file's end is dropped. A short final read
                // keeps only what arrived and the loop reads the rest.
                const size_t keep = std::min<size_t>(n, left);
                if (!file.write(buffer, keep))
                    return KSUSB_ERR_INCOMPLETE;
                received += uint32_t(keep);
                if (received == job.size)
                    notify(job.window, KSUSB_XFER_PROGRESS, job.size);
            } else {
                if (!file.write(buffer, n))
                    return KSUSB_ERR_INCOMPLETE;
                received += uint32_t(n);
                if (received > job.step)
                    notify(job.window, KSUSB_XFER_PROGRESS, received);
            }
            if (takeStopEvent())
                return KSUSB_ERR_STOPPED;
        }
        return file.commit();
    }();
    if (code != 0)
        return failTransfer(job, code);
    // The last poll comes before the final post (see the download worker).
    waitDone();
    notify(job.window, KSUSB_XFER_DONE, job.size);
    return 0;
}

} // namespace kestousb

using namespace kestousb;

extern "C" int KSUSB_Upload(unsigned char mem, const char *name, const char *path,
                            KSNotifyTarget *window, uint32_t step) {
    TransferJob job;
    job.kind = TransferKind::Upload;
    if (!copyPath(path, job.path)) {
        setLastErrorCode(kPathTooLongError);
        return 0;
    }
    if (name == nullptr) {
        setLastErrorCode(KSUSB_ERR_NOT_FOUND);
        return 0;
    }
    if (!KSUSB_CheckConnect() || !KSUSB_CheckMemory(mem))
        return 0;
    const uint16_t index = findEntry(mem, name);
    if (index == kEntryNotFound || index >= KSUSB_MAX_ENTRIES) {
        setLastErrorCode(KSUSB_ERR_NOT_FOUND);
        return 0;
    }
    const KSUSB_TFileEntry &entry = cachedTable(mem).entries[index];
    const size_t n = strnlen(entry.name83, sizeof entry.name83);

    uint8_t body[2 + sizeof entry.name83] = {mem, kAnnounceUpload};
    std::memcpy(body + 2, entry.name83, n);
    uint8_t packet[kBlock] = {};
    const size_t length = buildPacket(packet, std::span<const uint8_t>(body, 2 + n));
    uint8_t reply[kBlock] = {};
    if (length == 0 || !commandExchange(packet, blockAligned(length), reply, sizeof reply,
                                        KSUSB_ERR_SEND, KSUSB_ERR_SEND)) {
        setLastErrorCode(KSUSB_ERR_SEND);
        return 0;
    }
    const uint8_t *echo = reply + kEchoOffset;
    if (std::all_of(echo, echo + n, [](uint8_t c) { return c == kUnknownNameMark; })) {
        setLastErrorCode(KSUSB_ERR_NOT_FOUND);
        return 0;
    }
    job.size = getBe32(echo + n);
    job.mode = echo[n + 4];
    job.window = window;
    job.step = step;
    return startTransfer(job) ? 1 : 0;
}
