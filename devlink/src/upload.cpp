// KSUSB_Upload: asks the player for one of its files and writes it to a PC path on the worker
// thread. The data go to a temporary file beside the destination, which replaces the
// destination only when the whole file has arrived: a failed or stopped upload leaves an
// existing file as it was and no half file behind. A device or a pipe is written in place. The
// blocks arrive straight into large buffers that a writer thread puts on the disk while the
// next ones arrive, so that writing the file neither copies its bytes once more nor holds up
// the pipe.
#include "chunk_writer.h"
#include "filetable.h"
#include "transfer_state.h"
#include "transport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

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
constexpr int kMaxLinkHops = 40; // as many links as the system follows in one path
constexpr std::chrono::milliseconds kReaderPause{10};

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

// The path a destination's links lead to: the file they name, which need not exist yet (a
// dangling link names the file to create). A relative link is taken from the link's folder. A
// chain of links that does not end is left as it is; the destination is then refused.
std::string followLinks(std::string path) {
    for (int hops = 0; hops < kMaxLinkHops; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        std::string target(PATH_MAX, '\0');
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || size_t(n) >= target.size())
            return path;
        target.resize(size_t(n));
        const size_t slash = path.rfind('/');
        if (target.front() != '/' && slash != std::string::npos)
            target = path.substr(0, slash + 1) + target;
        path = std::move(target);
    }
    return path;
}

// Where an upload's bytes go. A plain file, or one not there yet, is written as a temporary
// file beside it that replaces it only when the whole file has arrived, and is removed unless
// committed. A link is followed, so that the file it names takes the new bytes and the link
// stays a link. A character device or a pipe takes the bytes in place as they arrive: a rename
// would put a plain file where the device was. Anything else (a folder, a socket, a block
// device, which holds a file system rather than a file) is refused.
class OutputFile {
public:
    OutputFile(const std::string &destination, uint64_t expected)
        : m_destination(followLinks(destination)), m_expected(expected) {}
    ~OutputFile() {
        m_writer.reset(); // its thread is done with the file before the file goes
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_temp.empty())
            ::unlink(m_temp.c_str());
    }
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // 0 when the file is ready for the bytes; -42 when the destination cannot be opened or is
    // no kind of file an upload writes, -43 when stopped while waiting for a pipe's reader.
    int open() {
        struct stat st {};
        if (::lstat(m_destination.c_str(), &st) != 0 || S_ISREG(st.st_mode))
            return openTemporary();
        if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))
            return openInPlace(S_ISFIFO(st.st_mode));
        return KSUSB_ERR_OPEN_FILE;
    }

    // Room for the next `count` bytes of the file, to receive a block into; nullptr when an
    // earlier write failed (the file took fewer bytes than it was given).
    uint8_t *space(size_t count) { return m_writer->space(count); }
    // Appends the first `count` bytes put into the last space().
    void keep(size_t count) { m_writer->keep(count); }

    // A device or pipe: writes the rest and closes it; -44 when it took fewer bytes.
    // A file: gives the temporary file the permissions (and, where allowed, the owner) the
    // destination has or a new file would get, flushes it to the disk, closes it, moves it over
    // the destination and flushes the folder, so that a power cut leaves either the old file or
    // the whole new one under the destination's name, never an empty one. -44 when the data may
    // not all be on disk, -42 when the destination cannot be replaced; 0 on success. On failure
    // the destructor removes the temporary file.
    int commit() {
        const bool written = m_writer->finish();
        m_writer.reset();
        if (!written)
            return KSUSB_ERR_INCOMPLETE;
        if (m_temp.empty()) {
            const int closed = ::close(m_fd);
            m_fd = -1;
            return closed == 0 ? 0 : KSUSB_ERR_INCOMPLETE;
        }
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
    int openTemporary() {
        m_temp = m_destination + ".part-XXXXXX";
        m_fd = ::mkstemp(m_temp.data());
        if (m_fd < 0 && errno == ENAMETOOLONG) {
            // A file name near the 255-byte limit leaves no room for the suffix: a short
            // temporary name in the same folder keeps the rename on one file system.
            m_temp = folder() + "/.part-XXXXXX";
            m_fd = ::mkstemp(m_temp.data());
        }
        if (m_fd < 0) {
            m_temp.clear();
            return KSUSB_ERR_OPEN_FILE;
        }
        m_writer = std::make_unique<ChunkWriter>(m_fd, m_expected, false);
        return 0;
    }

    // Opened without waiting, so that neither a pipe without a reader nor a device that waits
    // for a line holds the worker; the writes wait for room until stopped. A pipe opens for
    // writing only while somebody reads it: its reader is waited for as long as a poll waits
    // for the player.
    int openInPlace(bool pipe) {
        const int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC;
        for (int64_t waited = 0;; waited += kReaderPause.count()) {
            m_fd = ::open(m_destination.c_str(), flags);
            if (m_fd >= 0 || errno != ENXIO || !pipe)
                break;
            if (takeStopEvent())
                return KSUSB_ERR_STOPPED;
            if (waited >= kPollLimitMs)
                return KSUSB_ERR_OPEN_FILE;
            std::this_thread::sleep_for(kReaderPause);
        }
        struct stat st {};
        // (The name may have been given to something else since it was looked at.)
        if (m_fd < 0 || ::fstat(m_fd, &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)))
            return KSUSB_ERR_OPEN_FILE;
        m_writer = std::make_unique<ChunkWriter>(m_fd, m_expected, true, stopEventSignalled);
        return 0;
    }

    std::string folder() const {
        const size_t slash = m_destination.rfind('/');
        return slash == std::string::npos ? std::string(".")
               : slash == 0               ? std::string("/")
                                          : m_destination.substr(0, slash);
    }

    bool syncFolder() const {
        const int fd = ::open(folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return false;
        const bool ok = ::fsync(fd) == 0;
        ::close(fd);
        return ok;
    }

    std::unique_ptr<ChunkWriter> m_writer;
    const std::string m_destination;
    const uint64_t m_expected;
    std::string m_temp; // empty while writing in place, and once renamed
    int m_fd = -1;
};

} // namespace

int runUpload(const TransferJob &job) {
    // Scoped so that the temporary file is gone before the failure is posted.
    const int code = [&job]() -> int {
        OutputFile file(job.path, job.size);
        if (const int opened = file.open(); opened != 0)
            return opened;
        notify(job.window, KSUSB_XFER_START, job.size);
        const size_t block = uploadBlockSize(job.mode);
        waitReady(Phase::Reply);
        ReadAhead ahead(block, block == 0 ? 0 : (size_t(job.size) + block - 1) / block);

        uint32_t received = 0;
        while (received < job.size) {
            if (block == 0) // a mode the player should not send: no block size to read by
                return KSUSB_ERR_INCOMPLETE;
            // The block arrives straight into the file's next bytes; only what is kept counts.
            uint8_t *buffer = file.space(block);
            if (buffer == nullptr) // (a write into a pipe or device gives up when stopped)
                return takeStopEvent() ? KSUSB_ERR_STOPPED : KSUSB_ERR_INCOMPLETE;
            size_t n = 0;
            // The announced size is the player's word only: a stream that ends early (nothing
            // arrives, or the pipe fails after its time-out) fails rather than wait or pad.
            // KSUSB_Stop interrupts a read the player does not answer: that is a stop.
            if (!ahead.read(buffer, block, n) || n == 0)
                return takeStopEvent() ? KSUSB_ERR_STOPPED : KSUSB_ERR_INCOMPLETE;
            n = std::min(n, block);
            const uint32_t left = job.size - received;
            if (left < block) {
                // Final block: the fill after the file's end is dropped. A short final read
                // keeps only what arrived and the loop reads the rest.
                const size_t keep = std::min<size_t>(n, left);
                file.keep(keep);
                received += uint32_t(keep);
                if (received == job.size)
                    notify(job.window, KSUSB_XFER_PROGRESS, job.size);
            } else {
                file.keep(n);
                received += uint32_t(n);
                if (received > job.step)
                    notify(job.window, KSUSB_XFER_PROGRESS, received);
            }
            if (takeStopEvent())
                return KSUSB_ERR_STOPPED;
        }
        const int committed = file.commit();
        return committed == KSUSB_ERR_INCOMPLETE && takeStopEvent() ? KSUSB_ERR_STOPPED : committed;
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
