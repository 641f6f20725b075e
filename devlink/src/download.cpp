// KSUSB_Download: announces a PC file to the player and streams it on the worker thread. The
// outgoing stream is shared with the system-image and firmware transfers.
#include "filetable.h"
#include "transfer_state.h"
#include "transport.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace kestousb {

namespace {

// Constant bytes of the download announcement; the player expects them as they are.
constexpr uint8_t kAnnounceDownload = 0x90;
constexpr uint8_t kAnnounceByte6 = 0x17;
constexpr uint8_t kAnnounceByte7 = 0x02;
constexpr uint8_t kArchiveAttribute = 0x20;
constexpr uint8_t kAnnounceNameMark = 0x32;

// The player's verdict on an announced download (reply byte 4); the mode is in byte 9.
constexpr size_t kVerdictOffset = 4;
constexpr size_t kModeOffset = 9;
constexpr uint8_t kVerdictAccepted = 0;
constexpr uint8_t kVerdictNoRoom = 2;
constexpr uint8_t kVerdictExists = 3;

constexpr size_t kMaxWideUnits = 160; // UTF-16 code units of an 80-byte long name at most
constexpr size_t kAnnounceBuffer = 256;

// DOS date and time of a UTC time stamp, as the file system reports it (no local time). Times
// before 1980 have no DOS form and become 1980-01-01 00:00.
void dosDateTime(int64_t seconds, uint16_t &date, uint16_t &time) {
    constexpr int kDosEpochYear = 1980;
    std::tm tm{};
    const std::time_t t = std::time_t(seconds);
    if (gmtime_r(&t, &tm) == nullptr || tm.tm_year + 1900 < kDosEpochYear) {
        date = uint16_t(1 << 5 | 1);
        time = 0;
        return;
    }
    const int year = std::min(tm.tm_year + 1900 - kDosEpochYear, 127);
    date = uint16_t(year << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
    time = uint16_t(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
}

std::string_view fileNameOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Reads up to `want` bytes, riding over short reads; fewer only at the file's end or on error.
size_t readUpTo(int fd, uint8_t *out, size_t want) {
    size_t got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd, out + got, want - got);
        if (n > 0)
            got += size_t(n);
        else if (n == 0 || errno != EINTR)
            break;
    }
    return got;
}

// The PC file, read ahead in large pieces: one read per block would add a system call to every
// block of the stream, which costs more than the copy out of this buffer. Two buffers take
// turns, so that blocks handed out of one stay as they are while the pipe still sends them and
// the other is refilled. The refill is best made ahead of need (prefetch) while the pipe is full:
// made when a block is wanted, it holds up that block while the player has little left to do.
class ReadFile {
public:
    static constexpr size_t kReadAhead = 256 * 1024;

    explicit ReadFile(const char *path) : m_fd(::open(path, O_RDONLY | O_CLOEXEC)) {}
    ~ReadFile() { close(); }
    ReadFile(const ReadFile &) = delete;
    ReadFile &operator=(const ReadFile &) = delete;
    bool isOpen() const { return m_fd >= 0; }
    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

    // The next `want` bytes where they lie in the read-ahead, or nullptr (nothing taken) when
    // they are not there in one piece: at the file's end, or after a short read. The read-ahead
    // size is a multiple of every block size, so whole blocks are always there in one piece.
    // They stay valid until the buffer after the one holding them has been used up: for at
    // least kReadAhead / want - 1 more blocks.
    const uint8_t *takeInPlace(size_t want, size_t limit) {
        refillIfEmpty(limit);
        if (m_filled - m_at < want)
            return nullptr;
        const uint8_t *at = m_ahead[m_current].data() + m_at;
        m_at += want;
        return at;
    }

    // Copies up to `want` of the next bytes into `out`, reading ahead at most `limit` bytes
    // (what is left of the announced size). Fewer only at the file's end or on an error.
    size_t take(uint8_t *out, size_t want, size_t limit) {
        refillIfEmpty(limit);
        const size_t n = std::min(want, m_filled - m_at);
        std::memcpy(out, m_ahead[m_current].data() + m_at, n);
        m_at += n;
        return n;
    }

    // Bytes handed out of the buffer in use since it was filled.
    size_t takenFromCurrent() const { return m_at; }

    // Fills the other buffer with the bytes that follow the ones in this one, unless done
    // already or the announced size (`limit` bytes left, counted like take's) ends within this
    // one. The caller makes sure that no block handed out of the other buffer is still in
    // flight: no more blocks than takenFromCurrent() covers.
    void prefetch(size_t limit) {
        const size_t buffered = m_filled - m_at;
        if (m_fd < 0 || m_nextFilled != kNotRead || limit <= buffered)
            return;
        std::vector<uint8_t> &buffer = m_ahead[1 - m_current];
        if (buffer.empty())
            buffer.resize(kReadAhead);
        m_nextFilled = readUpTo(m_fd, buffer.data(), std::min(kReadAhead, limit - buffered));
    }

private:
    static constexpr size_t kNotRead = SIZE_MAX;

    void refillIfEmpty(size_t limit) {
        if (m_at != m_filled)
            return;
        m_current = 1 - m_current;
        std::vector<uint8_t> &buffer = m_ahead[m_current];
        m_at = 0;
        if (m_nextFilled != kNotRead) {
            m_filled = m_nextFilled;
            m_nextFilled = kNotRead;
            return;
        }
        if (buffer.empty())
            buffer.resize(kReadAhead);
        m_filled = readUpTo(m_fd, buffer.data(), std::min(kReadAhead, limit));
    }

    int m_fd;
    std::vector<uint8_t> m_ahead[2];
    size_t m_current = 0;
    size_t m_at = 0;
    size_t m_filled = 0;
    size_t m_nextFilled = kNotRead; // bytes read into the other buffer ahead of need
};

static_assert((kMaxTransferDepth - 1) * kMaxBlockSize <= ReadFile::kReadAhead,
              "the blocks in flight must fit in the read-ahead buffer not being refilled");

// One block handed to the pipe and not yet answered.
struct SentBlock {
    size_t bytes; // of the file (less than the block for a short final block)
    bool final;   // the short final block
};

} // namespace

int streamToPlayer(const TransferJob &job, size_t block, Phase phase) {
    ReadFile file(job.path);
    if (!file.isOpen())
        return failTransfer(job, KSUSB_ERR_OPEN_FILE);
    notify(job.window, KSUSB_XFER_START, job.size);
    waitReady(phase);

    // Scoped so that blocks still in flight are cancelled before the failure is posted.
    const int code = [&]() -> int {
        // Once the player is ready for the stream it takes the announced blocks back to back, so
        // the next ones are already handed over while it answers the last. Each block is answered,
        // checked, reported and followed by the stop test in the order it was sent.
        const size_t depth = transferDepth();
        WriteAhead pipe;
        std::deque<SentBlock> sent;
        uint32_t answered = 0;
        // The answer to the oldest block sent; 0, or the code the transfer fails with.
        auto settle = [&]() -> int {
            const SentBlock b = sent.front();
            sent.pop_front();
            size_t taken = 0;
            pipe.finish(taken); // its result is the count it reports
            answered += uint32_t(b.bytes);
            // The final block is checked like any other: a block the pipe did not take is not a
            // finished transfer. KSUSB_Stop interrupts a block the player does not take: that is a
            // stop, not a fault.
            if (taken < b.bytes)
                return takeStopEvent() ? KSUSB_ERR_STOPPED : KSUSB_ERR_INCOMPLETE;
            if (b.final)
                notify(job.window, KSUSB_XFER_PROGRESS, job.size);
            else if (answered > job.step)
                notify(job.window, KSUSB_XFER_PROGRESS, answered);
            return takeStopEvent() ? KSUSB_ERR_STOPPED : 0;
        };

        // The block goes out whole; a short final block is zero-padded to the block size. A whole
        // block goes straight from the read-ahead to the pipe, only the others are gathered here.
        uint8_t buffer[kMaxBlockSize];
        uint32_t moved = 0;
        // Exactly the announced size is streamed: a file that grew since the look-up does not send
        // more than the player expects, and one that shrank fails instead of sending fill bytes.
        while (moved < job.size || !sent.empty()) {
            if (moved < job.size && sent.size() < depth) {
                const uint32_t left = job.size - moved;
                const size_t want = std::min<size_t>(block, left);
                const uint8_t *out = want == block ? file.takeInPlace(block, left) : nullptr;
                size_t n = want;
                if (out == nullptr) {
                    std::memset(buffer, 0, block);
                    n = file.take(buffer, want, left);
                    out = buffer;
                }
                if (n < want) {
                    // The blocks already sent are answered first, as if sent one at a time.
                    while (!sent.empty())
                        if (const int failed = settle(); failed != 0)
                            return failed;
                    return KSUSB_ERR_INCOMPLETE;
                }
                if (!pipe.queue(out, block))
                    return takeStopEvent() ? KSUSB_ERR_STOPPED : KSUSB_ERR_INCOMPLETE;
                sent.push_back({n, left < block});
                moved += uint32_t(n);
                continue;
            }
            // The pipe is full: while the player works through it, the next piece of the file is
            // read, once every block in flight comes from the piece being handed out.
            if (moved < job.size && file.takenFromCurrent() >= sent.size() * block)
                file.prefetch(job.size - moved);
            if (const int failed = settle(); failed != 0)
                return failed;
        }
        return 0;
    }();
    if (code != 0)
        return failTransfer(job, code);
    file.close();
    // The last poll comes before the final post, so that a caller that starts its next command
    // on notification 3 never talks to the player at the same time as this worker.
    waitDone();
    notify(job.window, KSUSB_XFER_DONE, job.size);
    return 0;
}

int runDownload(const TransferJob &job) {
    return streamToPlayer(job, downloadBlockSize(job.mode), Phase::Stream);
}

} // namespace kestousb

using namespace kestousb;

extern "C" int KSUSB_Download(unsigned char mem, const char *path, KSNotifyTarget *window,
                              uint32_t step) {
    TransferJob job;
    job.kind = TransferKind::Download;
    if (!copyPath(path, job.path)) {
        setLastErrorCode(path == nullptr ? KSUSB_ERR_NOT_FOUND : kPathTooLongError);
        return 0;
    }
    if (!KSUSB_CheckConnect() || !KSUSB_CheckMemory(mem))
        return 0;

    PcFile pc;
    if (const int code = lookUpPcFile(job.path, pc); code != 0) {
        setLastErrorCode(code);
        return 0;
    }
    const std::string_view fileName = fileNameOf(job.path);
    if (findEntry(mem, fileName) != kEntryNotFound) {
        setLastErrorCode(KSUSB_ERR_EXISTS);
        return 0;
    }
    const std::string longName =
        fileName.size() <= kMaxLongName ? std::string(fileName) : fitLongName(fileName);
    const std::string shortName = chooseShortName(mem, longName, makeShortName);
    if (shortName.empty()) {
        setLastErrorCode(KSUSB_ERR_NAME_AREA_FULL);
        return 0;
    }
    const std::string wide = toUtf16le(longName, kMaxWideUnits);
    uint16_t date = 0, time = 0;
    dosDateTime(pc.modified, date, time);

    uint8_t body[kAnnounceBuffer] = {};
    size_t n = 0;
    body[n++] = mem;
    body[n++] = kAnnounceDownload;
    body[n++] = kAnnounceByte6;
    body[n++] = kAnnounceByte7;
    body[n++] = kArchiveAttribute;
    putBe16(body + n, date);
    n += 2;
    putBe16(body + n, time);
    n += 2;
    putBe32(body + n, pc.size);
    n += 4;
    body[n++] = kAnnounceNameMark;
    putBe16(body + n, uint16_t(shortName.size()));
    n += 2;
    std::memcpy(body + n, shortName.data(), shortName.size());
    n += shortName.size();
    putBe16(body + n, uint16_t(wide.size()));
    n += 2;
    std::memcpy(body + n, wide.data(), wide.size());
    n += wide.size();

    uint8_t packet[kAnnounceBuffer] = {};
    const size_t length = buildPacket(packet, std::span<const uint8_t>(body, n));
    if (length == 0) { // cannot happen with names cut to 80 bytes; never send a broken packet
        setLastErrorCode(KSUSB_ERR_SEND);
        return 0;
    }
    uint8_t reply[kBlock] = {};
    if (!commandExchange(packet, blockAligned(length), reply, sizeof reply, KSUSB_ERR_SEND,
                         KSUSB_ERR_RECEIVE))
        return 0;

    switch (reply[kVerdictOffset]) {
    case kVerdictAccepted:
        break;
    case kVerdictNoRoom:
        setLastErrorCode(cachedTable(mem).free > pc.size ? KSUSB_ERR_NAME_AREA_FULL
                                                         : KSUSB_ERR_MEMORY_FULL);
        return 0;
    case kVerdictExists:
        setLastErrorCode(KSUSB_ERR_EXISTS);
        return 0;
    default:
        setLastErrorCode(KSUSB_ERR_REFUSED);
        return 0;
    }
    job.size = pc.size;
    job.window = window;
    job.step = step;
    job.mode = reply[kModeOffset];
    return startTransfer(job) ? 1 : 0;
}
