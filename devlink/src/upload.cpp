// KSUSB_Upload: asks the player for one of its files and writes it to a PC path on the worker
// thread. The data go to a temporary file beside the destination, which replaces the
// destination only when the whole file has arrived: a failed or stopped upload leaves an
// existing file as it was and no half file behind. The blocks arrive straight into large
// buffers that a writer thread puts on the disk while the next ones arrive, so that writing the
// file neither copies its bytes once more nor holds up the pipe.
#include "filetable.h"
#include "transfer_state.h"
#include "transport.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
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

bool writeAllAt(int fd, const uint8_t *data, size_t count, off_t offset) {
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pwrite(fd, data + done, count - done, offset + off_t(done));
        if (n > 0)
            done += size_t(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return false;
    }
    return true;
}

// The data path of the temporary file. Blocks are received straight into page-aligned chunks;
// a full chunk goes to the disk on a writer thread while the next one fills. Where the file
// system takes it the file is written past the page cache (O_DIRECT): no copy of the bytes, and
// no pile of dirty pages for the final flush to write out at once. The unaligned end of the
// file, and every byte on a file system without direct writes, goes through the page cache.
// Whenever the writer has caught up with the stream and several MiB are not yet flushed, it
// flushes them, so that the disk writes the file out while it arrives and the final flush
// before the rename has little left to do. A small file that fits into one chunk never starts
// the thread, and the chunks are allocated as they are first needed.
class ChunkWriter {
public:
    static constexpr size_t kChunk = 1 << 20; // a multiple of every block size
    static constexpr size_t kAlign = 4096;    // offsets and lengths of direct writes
    static constexpr size_t kChunks = 8;      // one filling, the others on their way to the disk
    static constexpr size_t kFlushEvery = 8 << 20;

    // `expected`: the file's announced size, so that no flush is made right before the end,
    // where the final one follows anyway.
    ChunkWriter(int fd, uint64_t expected) : m_fd(fd), m_expected(expected) {
        const int flags = ::fcntl(fd, F_GETFL);
        m_direct = flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_DIRECT) == 0;
    }
    ~ChunkWriter() {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    ChunkWriter(const ChunkWriter &) = delete;
    ChunkWriter &operator=(const ChunkWriter &) = delete;

    // Room for `count` (at most kMaxBlockSize) bytes after the data kept so far; nullptr once a
    // write has failed or memory ran out.
    uint8_t *space(size_t count) {
        if (m_failed.load())
            return nullptr;
        if (m_current == nullptr && !(m_current = takeChunk()))
            return nullptr;
        if (m_fill + count > kChunk && !handOff())
            return nullptr;
        return m_current->data() + m_fill;
    }

    // Keeps the first `count` bytes of the room the last space() gave.
    void keep(size_t count) { m_fill += count; }

    // Waits for the chunks on their way and writes the rest; false when the file took fewer
    // bytes than it was given.
    bool finish() {
        {
            std::unique_lock lock(m_mutex);
            m_changed.wait(lock, [this] { return m_queue.empty() && !m_writing; });
        }
        if (m_failed.load())
            return false;
        if (m_fill == 0)
            return true;
        if (m_fill % kAlign != 0 && m_direct)
            bufferedFromNowOn();
        if (!write(m_current->data(), m_fill, m_offset))
            return false;
        m_offset += off_t(m_fill);
        m_fill = 0;
        return true;
    }

private:
    struct FreeAligned {
        void operator()(uint8_t *p) const { std::free(p); }
    };
    class Chunk {
    public:
        bool allocate() {
            m_bytes.reset(static_cast<uint8_t *>(std::aligned_alloc(kAlign, kChunk)));
            return m_bytes != nullptr;
        }
        uint8_t *data() { return m_bytes.get(); }

    private:
        std::unique_ptr<uint8_t, FreeAligned> m_bytes;
    };
    struct Job {
        Chunk *chunk;
        size_t length;
        off_t offset;
    };

    // A free chunk: one not yet allocated, or one the writer has given back.
    Chunk *takeChunk() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(
            lock, [this] { return !m_free.empty() || m_allocated < kChunks || m_failed.load(); });
        if (m_failed.load())
            return nullptr;
        if (!m_free.empty()) {
            Chunk *chunk = m_free.back();
            m_free.pop_back();
            return chunk;
        }
        Chunk &chunk = m_chunks[m_allocated];
        if (!chunk.allocate()) {
            m_failed = true;
            return nullptr;
        }
        ++m_allocated;
        return &chunk;
    }

    // Queues the aligned part of the current chunk for the writer and carries the rest (less
    // than kAlign bytes, only after short reads) over to the start of the next chunk.
    bool handOff() {
        const size_t aligned = m_fill / kAlign * kAlign;
        const size_t rest = m_fill - aligned;
        Chunk *next = takeChunk();
        if (next == nullptr)
            return false;
        std::memcpy(next->data(), m_current->data() + aligned, rest);
        if (!startWriter()) {
            // No thread to be had: this thread writes the chunk itself.
            const bool ok = write(m_current->data(), aligned, m_offset);
            std::lock_guard lock(m_mutex);
            m_free.push_back(m_current);
            if (!ok) {
                m_failed = true;
                return false;
            }
        } else {
            {
                std::lock_guard lock(m_mutex);
                m_queue.push_back({m_current, aligned, m_offset});
            }
            m_changed.notify_all();
        }
        m_offset += off_t(aligned);
        m_current = next;
        m_fill = rest;
        return true;
    }

    bool startWriter() {
        if (m_thread.joinable())
            return true;
        try {
            m_thread = std::thread([this] { writerLoop(); });
        } catch (const std::system_error &) {
            return false;
        }
        return true;
    }

    void writerLoop() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return; // stopping with nothing left
            const Job job = m_queue.front();
            m_queue.pop_front();
            m_writing = true;
            lock.unlock();
            // After a failure the rest is not written: the upload fails either way.
            bool ok = m_failed.load() || m_stopping.load() ||
                      write(job.chunk->data(), job.length, job.offset);
            m_unflushed += job.length;
            const uint64_t end = uint64_t(job.offset) + job.length;
            if (ok && m_unflushed >= kFlushEvery && end + kFlushEvery <= m_expected &&
                !m_stopping.load() && caughtUp()) {
                ok = ::fdatasync(m_fd) == 0;
                m_unflushed = 0;
            }
            lock.lock();
            m_writing = false;
            if (!ok)
                m_failed = true;
            m_free.push_back(job.chunk);
            m_changed.notify_all();
        }
    }

    bool caughtUp() {
        std::lock_guard lock(m_mutex);
        return m_queue.empty();
    }

    // A file system may take O_DIRECT at open and still refuse the write (EINVAL): the bytes
    // then go through the page cache.
    bool write(const uint8_t *data, size_t count, off_t offset) {
        if (m_direct && !writeAllAt(m_fd, data, count, offset)) {
            if (errno != EINVAL)
                return false;
            bufferedFromNowOn();
        }
        return m_direct || writeAllAt(m_fd, data, count, offset);
    }

    void bufferedFromNowOn() {
        const int flags = ::fcntl(m_fd, F_GETFL);
        if (flags >= 0)
            ::fcntl(m_fd, F_SETFL, flags & ~O_DIRECT);
        m_direct = false;
    }

    const int m_fd;
    const uint64_t m_expected;
    std::atomic<bool> m_direct{false};
    std::atomic<bool> m_failed{false};
    std::atomic<bool> m_stopping{false};
    // Filled by the caller's (worker's) thread only.
    Chunk *m_current = nullptr;
    size_t m_fill = 0;
    off_t m_offset = 0;
    // Shared with the writer thread under m_mutex.
    std::array<Chunk, kChunks> m_chunks;
    size_t m_allocated = 0;
    std::vector<Chunk *> m_free;
    std::deque<Job> m_queue;
    bool m_writing = false;
    size_t m_unflushed = 0; // the writer thread's own
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread m_thread;
};

// The temporary file beside the destination; removed unless committed.
class PartFile {
public:
    PartFile(const std::string &destination, uint64_t expected)
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
        else
            m_writer = std::make_unique<ChunkWriter>(m_fd, expected);
    }
    ~PartFile() {
        m_writer.reset(); // its thread is done with the file before the file goes
        if (m_fd >= 0)
            ::close(m_fd);
        if (!m_temp.empty())
            ::unlink(m_temp.c_str());
    }
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    bool isOpen() const { return m_fd >= 0; }

    // Room for the next `count` bytes of the file, to receive a block into; nullptr when an
    // earlier write failed (the file took fewer bytes than it was given).
    uint8_t *space(size_t count) { return m_writer->space(count); }
    // Appends the first `count` bytes put into the last space().
    void keep(size_t count) { m_writer->keep(count); }

    // Gives the file the permissions (and, where allowed, the owner) the destination has or a
    // new file would get, flushes it to the disk, closes it, moves it over the destination and
    // flushes the folder, so that a power cut leaves either the old file or the whole new one
    // under the destination's name, never an empty one. -44 when the data may not all be on
    // disk, -42 when the destination cannot be replaced; 0 on success. On failure the
    // destructor removes the temporary file.
    int commit() {
        const bool written = m_writer->finish();
        m_writer.reset();
        if (!written)
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

    std::unique_ptr<ChunkWriter> m_writer;
    std::string m_destination;
    std::string m_temp;
    int m_fd = -1;
};

} // namespace

int runUpload(const TransferJob &job) {
    // Scoped so that the temporary file is gone before the failure is posted.
    const int code = [&job]() -> int {
        PartFile file(job.path, job.size);
        if (!file.isOpen())
            return KSUSB_ERR_OPEN_FILE;
        notify(job.window, KSUSB_XFER_START, job.size);
        const size_t block = uploadBlockSize(job.mode);
        waitReady(Phase::Reply);
        const ReadAhead ahead(block, block == 0 ? 0 : (size_t(job.size) + block - 1) / block);

        uint32_t received = 0;
        while (received < job.size) {
            if (block == 0) // a mode the player should not send: no block size to read by
                return KSUSB_ERR_INCOMPLETE;
            // The block arrives straight into the file's next bytes; only what is kept counts.
            uint8_t *buffer = file.space(block);
            if (buffer == nullptr)
                return KSUSB_ERR_INCOMPLETE;
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
