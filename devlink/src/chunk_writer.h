// The data path of an upload: blocks are received straight into large buffers that a writer
// thread puts on the disk while the next ones arrive.
#pragma once

#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

namespace kestousb {

inline bool writeAllAt(int fd, const uint8_t *data, size_t count, off_t offset) {
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

// Writes `count` bytes in order to a pipe or character device opened without waiting
// (O_NONBLOCK), which takes no offsets. While it takes nothing, the write waits for room in
// short slices and gives up once `cancelled()` says so: a pipe whose reader reads nothing must
// not hold the upload past a stop. A pipe whose reader has gone fails the write with EPIPE
// rather than raising SIGPIPE, which would end the whole program: the signal is blocked on this
// thread for the write, and one it raised is taken back before the mask is restored.
template <typename Cancelled>
bool writeAllInOrder(int fd, const uint8_t *data, size_t count, Cancelled cancelled) {
    constexpr int kWaitSliceMs = 100;
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    sigset_t pending;
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
    size_t done = 0;
    bool ok = true;
    while (done < count) {
        const ssize_t n = ::write(fd, data + done, count - done);
        if (n > 0) {
            done += size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !cancelled()) {
            pollfd room{fd, POLLOUT, 0};
            ::poll(&room, 1, kWaitSliceMs);
        } else {
            if (n >= 0 || errno == EAGAIN || errno == EWOULDBLOCK)
                errno = ECANCELED;
            ok = false;
            break;
        }
    }
    const int error = errno;
    if (!ok && error == EPIPE && !alreadyPending) {
        const timespec none{};
        sigtimedwait(&pipeOnly, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return ok;
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
// A pipe or character device (`inOrder`) takes the bytes in order with plain writes, with
// no offsets and no flushes, which such files do not have; such a write ends early once
// `stopped()` says so or the writer is destroyed.
class ChunkWriter {
public:
    static constexpr size_t kChunk = 1 << 20; // a multiple of every block size
    static constexpr size_t kAlign = 4096;    // offsets and lengths of direct writes
    static constexpr size_t kChunks = 8;      // one filling, the others on their way to the disk
    static constexpr size_t kFlushEvery = 8 << 20;

    // `expected`: the file's announced size, so that no flush is made right before the end,
    // where the final one follows anyway.
    ChunkWriter(int fd, uint64_t expected, bool inOrder, bool (*stopped)() = nullptr)
        : m_fd(fd), m_expected(expected), m_inOrder(inOrder), m_stopped(stopped) {
        // (On a pipe O_DIRECT would mean packets, which a reader may cut short.)
        const int flags = inOrder ? -1 : ::fcntl(fd, F_GETFL);
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
            if (ok && !m_inOrder && m_unflushed >= kFlushEvery && end + kFlushEvery <= m_expected &&
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
        if (m_inOrder)
            return writeAllInOrder(m_fd, data, count, [this] {
                return m_stopping.load() || (m_stopped != nullptr && m_stopped());
            });
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
    const bool m_inOrder;
    bool (*const m_stopped)();
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

} // namespace kestousb
