// KSUSB_Upload against the fake player: the announcement, the block size by mode, the PC file
// it writes, and that a failed or stopped upload leaves the destination as it was.
#include "test_download_support.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kestousb;
using namespace kestousb::test;

namespace {

// The upload's file-system calls that decide durability, recorded in order while a test arms
// the log; one of them can be made to fail with EIO. The definitions below take the place of
// the C library's for this test program (the library is linked in statically).
struct DurabilityLog {
    std::mutex mutex;
    bool armed = false;
    std::vector<std::string> events;
    std::string failOn; // "fsync-file" or "fsync-folder"
};
DurabilityLog &durability() {
    static DurabilityLog log;
    return log;
}

// Records `event`; true when it is the one that should fail.
bool record(const std::string &event) {
    DurabilityLog &log = durability();
    std::lock_guard lock(log.mutex);
    if (!log.armed)
        return false;
    log.events.push_back(event);
    return log.failOn == event;
}

} // namespace

extern "C" int fsync(int fd) {
    using Real = int (*)(int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "fsync"));
    struct stat st {};
    const bool folder = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
    if (record(folder ? "fsync-folder" : "fsync-file")) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

namespace {

// The disk as the upload's data writes see it: a file system that refuses direct writes after
// taking the flag, or a disk that fills up after a number of bytes.
struct DiskModel {
    std::atomic<bool> refuseDirect{false};
    std::atomic<long long> spaceLeft{-1};  // -1: no limit
    std::atomic<long long> failOnceAt{-1}; // the write at this file offset fails once (EIO)
};
DiskModel &disk() {
    static DiskModel model;
    return model;
}

} // namespace

extern "C" ssize_t pwrite(int fd, const void *data, size_t count, off_t offset) {
    using Real = ssize_t (*)(int, const void *, size_t, off_t);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pwrite"));
    DiskModel &d = disk();
    if (d.refuseDirect.load() && (::fcntl(fd, F_GETFL) & O_DIRECT) != 0) {
        errno = EINVAL;
        return -1;
    }
    long long at = offset;
    if (d.failOnceAt.compare_exchange_strong(at, -1)) {
        errno = EIO;
        return -1;
    }
    long long left = d.spaceLeft.load();
    if (left >= 0) {
        if (left == 0) {
            errno = ENOSPC;
            return -1;
        }
        count = std::min<size_t>(count, size_t(left));
        d.spaceLeft.store(left - static_cast<long long>(count));
    }
    return real(fd, data, count, offset);
}

extern "C" int rename(const char *from, const char *to) noexcept {
    using Real = int (*)(const char *, const char *);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "rename"));
    record("rename");
    return real(from, to);
}

namespace {

const std::string kName = "My Song.mp3";
const std::string kName83 = "MYSONG~1.MP3";

// The 'R' reply: the short name echoed from byte 6, then the size and the mode.
Bytes announceReply(const std::string &echo, uint32_t size, uint8_t mode) {
    Bytes r(64, 0);
    r[0] = '#';
    r[3] = ':';
    std::copy(echo.begin(), echo.end(), r.begin() + 6);
    const size_t n = echo.size();
    r[6 + n] = uint8_t(size >> 24);
    r[7 + n] = uint8_t(size >> 16);
    r[8 + n] = uint8_t(size >> 8);
    r[9 + n] = uint8_t(size);
    r[10 + n] = mode;
    return r;
}

// Serves the announcement reply, then the given chunks one per read (calling `served` with the
// chunk's index first); after them each read brings 0 bytes.
void script(FakePlayer &player, Bytes reply, std::vector<Bytes> chunks,
            std::function<void(size_t)> served = {}) {
    auto state = std::make_shared<std::pair<size_t, std::vector<Bytes>>>(0, std::move(chunks));
    player.onCommand('R', [&player, reply, state, served](auto &, size_t) -> Bytes {
        if (state->first == 0) {
            ++state->first;
            return reply;
        }
        const size_t i = state->first++ - 1;
        if (served)
            served(i);
        if (i < state->second.size())
            return state->second[i];
        player.faults().shortRead = 0; // the transfer completes with nothing in it
        return Bytes(1, 0);
    });
}

// `data` cut into blocks of `block` bytes, the last one zero-padded as the player sends it.
std::vector<Bytes> blocksOf(const Bytes &data, size_t block) {
    std::vector<Bytes> out;
    for (size_t at = 0; at < data.size(); at += block) {
        Bytes b(data.begin() + long(at), data.begin() + long(std::min(at + block, data.size())));
        b.resize(block, 0);
        out.push_back(b);
    }
    return out;
}

class UploadTest : public TransferTest {
protected:
    void SetUp() override {
        TransferTest::SetUp();
        addEntry(KSUSB_MEM_FLASH, kName, kName83);
    }
    std::string dest() const { return (dir.path() / "out.mp3").string(); }
};

struct ModeCase {
    const char *name;
    uint32_t size;
    uint8_t mode;
    size_t block;
    Notes expected;
};
class UploadMode : public UploadTest, public testing::WithParamInterface<ModeCase> {};

TEST_P(UploadMode, ReadsBlocksOfTheModeAndWritesExactlyTheFile) {
    const ModeCase &c = GetParam();
    const Bytes data = pattern(c.size, 3);
    script(player, announceReply(kName83, c.size, c.mode), blocksOf(data, c.block));

    ASSERT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, kName.c_str(), dest().c_str(), &recorder, 10000), 1)
        << KSUSB_GetLastError();
    EXPECT_EQ(recorder.waitEnd(), c.expected);
    EXPECT_EQ(ScratchDir::read(dest()), data);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.mp3"});

    std::vector<std::string> wire = {"ready10", "write 64", "done",   "ready12",
                                     "read 64", "done",     "ready12"};
    for (size_t i = 0; i < (c.size + c.block - 1) / c.block; ++i)
        wire.push_back("read " + std::to_string(c.block));
    wire.push_back("done");
    EXPECT_EQ(player.wireTrace(), wire);
}

INSTANTIATE_TEST_SUITE_P(
    Upload, UploadMode,
    testing::Values(ModeCase{"empty", 0, 0, 512, {{1, 0}, {3, 0}}},
                    ModeCase{"mode0Two512Blocks", 1000, 0, 512, {{1, 1000}, {2, 1000}, {3, 1000}}},
                    // mode 2 is 2,048 bytes for an upload (512 for a download)
                    ModeCase{"mode2Is2048", 5000, 2, 2048, {{1, 5000}, {2, 5000}, {3, 5000}}},
                    ModeCase{
                        "mode4", 20000, 4, 8192, {{1, 20000}, {2, 16384}, {2, 20000}, {3, 20000}}},
                    ModeCase{"mode5ExactMultiple",
                             32768,
                             5,
                             16384,
                             {{1, 32768}, {2, 16384}, {2, 32768}, {3, 32768}}}),
    [](const auto &row) { return row.param.name; });

TEST_F(UploadTest, AnnouncementUsesTheCachedShortName) {
    script(player, announceReply(kName83, 0, 0), {});
    ASSERT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, kName.c_str(), dest().c_str(), &recorder, 1), 1);
    recorder.waitEnd();
    Bytes expected = {'#', 0, 16, ':', 'M', 'R'};
    expected.insert(expected.end(), kName83.begin(), kName83.end());
    expected.push_back('.');
    expected.resize(64, 0);
    EXPECT_EQ(player.writes().at(0), expected);
}

TEST_F(UploadTest, UnknownModeFailsRightAfterStart) {
    const Bytes before = {'o', 'l', 'd'};
    dir.write("out.mp3", before);
    script(player, announceReply(kName83, 1000, 7), blocksOf(pattern(1000), 512));
    ASSERT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, kName.c_str(), dest().c_str(), &recorder, 1), 1);
    EXPECT_EQ(recorder.waitEnd(), (Notes{{1, 1000}, {4, KSUSB_ERR_INCOMPLETE}}));
    EXPECT_EQ(player.wireTrace().back(), "ready12"); // no read with a block size of 0
    EXPECT_EQ(ScratchDir::read(dest()), before);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.mp3"});
}

// Failures of the stream: the destination keeps its old bytes and no temporary file remains.
struct StreamFault {
    const char *name;
    uint32_t announced;
    size_t blocksServed; // of the announced size, in 512-byte blocks
    enum { None, StopAfterFirst, ReadFails, FolderGone } fault;
    int code;
};
class UploadFault : public UploadTest, public testing::WithParamInterface<StreamFault> {};

TEST_P(UploadFault, LeavesTheDestinationUnchanged) {
    const StreamFault &c = GetParam();
    const Bytes before = pattern(333, 9);
    dir.write("out.mp3", before);
    auto chunks = blocksOf(pattern(c.announced), 512);
    chunks.resize(std::min(chunks.size(), c.blocksServed));
    script(player, announceReply(kName83, c.announced, 0), chunks, [&](size_t i) {
        // runs on the worker thread, inside its read of block i
        if (c.fault == StreamFault::StopAfterFirst && i == 0)
            signalStopEvent();
        if (c.fault == StreamFault::ReadFails && i == 1)
            player.faults().readFailures = 1;
    });
    std::string target = dest();
    if (c.fault == StreamFault::FolderGone)
        target = (dir.path() / "missing" / "out.mp3").string();
    ASSERT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, kName.c_str(), target.c_str(), &recorder, 0), 1);
    const Notes notes = recorder.waitEnd();
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes.back(), Note(KSUSB_XFER_FAILED, c.code));
    EXPECT_EQ(ScratchDir::read(dest()), before);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.mp3"});
    if (c.fault == StreamFault::StopAfterFirst) {
        EXPECT_EQ(notes, (Notes{{1, 50000}, {2, 512}, {4, KSUSB_ERR_STOPPED}}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Upload, UploadFault,
    testing::Values(
        // The announced size is the player's word: a stream that ends early fails.
        StreamFault{"streamEndsEarly", 5000, 3, StreamFault::None, KSUSB_ERR_INCOMPLETE},
        StreamFault{"nothingArrives", 5000, 0, StreamFault::None, KSUSB_ERR_INCOMPLETE},
        StreamFault{"pipeFails", 5000, 10, StreamFault::ReadFails, KSUSB_ERR_INCOMPLETE},
        StreamFault{"stopped", 50000, 100, StreamFault::StopAfterFirst, KSUSB_ERR_STOPPED},
        StreamFault{"destinationFolderMissing", 1000, 2, StreamFault::FolderGone,
                    KSUSB_ERR_OPEN_FILE}),
    [](const auto &row) { return row.param.name; });

TEST_F(UploadTest, ShortFinalReadKeepsOnlyWhatArrivedAndReadsTheRest) {
    const Bytes data = pattern(1000, 5);
    Bytes first(data.begin(), data.begin() + 512);
    Bytes second(data.begin() + 512, data.begin() + 712); // 200 of the last 488 bytes
    Bytes third(data.begin() + 712, data.end());
    third.resize(512, 0xEE); // fill after the file's end is dropped
    script(player, announceReply(kName83, 1000, 0), {first, second, third});
    ASSERT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, kName.c_str(), dest().c_str(), &recorder, 10000), 1);
    EXPECT_EQ(recorder.waitEnd(), (Notes{{1, 1000}, {2, 1000}, {3, 1000}}));
    EXPECT_EQ(ScratchDir::read(dest()), data);
}

TEST_F(UploadTest, SuccessReplacesAnExistingFile) {
    dir.write("out.mp3", pattern(5000, 1));
    const Bytes data = pattern(700, 2);
    script(player, announceReply(kName83, 700, 0), blocksOf(data, 512));
    ASSERT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, kName.c_str(), dest().c_str(), &recorder, 1), 1);
    EXPECT_EQ(recorder.waitEnd().back(), Note(KSUSB_XFER_DONE, 700));
    EXPECT_EQ(ScratchDir::read(dest()), data);
}

TEST_F(UploadTest, DestinationNameAtTheLengthLimit) {
    // A 250-byte file name (relative, so the path fits 256 bytes) leaves no room for the
    // temporary suffix within the 255 bytes a name may have.
    const std::string target = std::string(246, 'n') + ".mp3";
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    const Bytes data = pattern(600);
    script(player, announceReply(kName83, 600, 0), blocksOf(data, 512));
    ASSERT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, kName.c_str(), target.c_str(), &recorder, 1), 1);
    const Notes notes = recorder.waitEnd();
    std::filesystem::current_path(previous);
    EXPECT_EQ(notes.back(), Note(KSUSB_XFER_DONE, 600));
    EXPECT_EQ(ScratchDir::read(dir.path() / target), data);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{target});
}

// Destinations that are no plain file. A link is followed: the file it names takes the new
// bytes and the link stays. A pipe and a character device take the bytes in place and stay
// what they are; a folder, a socket, a block device and a loop of links are refused before
// anything is written.
struct DestinationCase {
    const char *name;
    enum Kind {
        Pipe,
        PipeReaderLeaves,
        PipeNotRead,
        CharDevice,
        LinkToDevNull,
        LinkToFile,
        DanglingLink,
        Folder,
        Socket,
        BlockDevice,
        LinkLoop
    } kind;
    uint32_t size;
    int code;             // 0: done
    mode_t type;          // what out.mp3 is afterwards
    const char *receives; // the file that holds the new bytes afterwards, if any
};
// Failure messages show the row by its name.
void PrintTo(const DestinationCase &row, std::ostream *os) {
    *os << row.name;
}
class UploadDestination : public UploadTest, public testing::WithParamInterface<DestinationCase> {};

TEST_P(UploadDestination, WritesWhatTheNameStandsForOrRefuses) {
    const DestinationCase &c = GetParam();
    const Bytes before = pattern(333, 9);
    dir.write("keep.mp3", before);
    const std::string out = dest();
    std::filesystem::path expectedFile = *c.receives ? dir.path() / c.receives : "";
    int socketFd = -1;
    switch (c.kind) {
    case DestinationCase::Pipe:
    case DestinationCase::PipeReaderLeaves:
    case DestinationCase::PipeNotRead:
        ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
        break;
    case DestinationCase::CharDevice: // the null device's numbers
    case DestinationCase::BlockDevice:
        if (::mknod(out.c_str(), (c.kind == DestinationCase::CharDevice ? S_IFCHR : S_IFBLK) | 0600,
                    c.kind == DestinationCase::CharDevice ? makedev(1, 3) : makedev(7, 200)) != 0)
            GTEST_SKIP() << "devices cannot be made here";
        if (c.kind == DestinationCase::CharDevice) {
            const int probe = ::open(out.c_str(), O_WRONLY);
            if (probe < 0)
                GTEST_SKIP() << "devices cannot be opened here";
            ::close(probe);
        }
        break;
    case DestinationCase::LinkToDevNull:
        std::filesystem::create_symlink("/dev/null", out);
        break;
    case DestinationCase::LinkToFile:
        std::filesystem::create_symlink("keep.mp3", out);
        break;
    case DestinationCase::DanglingLink:
        std::filesystem::create_symlink("new.mp3", out);
        break;
    case DestinationCase::Folder:
        std::filesystem::create_directory(out);
        break;
    case DestinationCase::Socket: {
        socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(out.size(), sizeof address.sun_path);
        std::memcpy(address.sun_path, out.c_str(), out.size());
        ASSERT_EQ(::bind(socketFd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        break;
    }
    case DestinationCase::LinkLoop:
        std::filesystem::create_symlink("out.mp3", out);
        break;
    }

    // The pipe's reader: it opens the pipe (which waits for the writer) and reads to the end,
    // leaves at once, or holds the pipe without reading until the upload has ended. A handle on the
    // pipe itself lets the test end the wait should the upload never open it.
    const bool pipe = c.kind == DestinationCase::Pipe ||
                      c.kind == DestinationCase::PipeReaderLeaves ||
                      c.kind == DestinationCase::PipeNotRead;
    const int pipeHandle = pipe ? ::open(out.c_str(), O_PATH | O_CLOEXEC) : -1;
    std::atomic<bool> readerOpened{false};
    std::atomic<bool> uploadEnded{false};
    Bytes received;
    std::thread reader;
    if (pipe)
        reader = std::thread([&] {
            const int fd = ::open(out.c_str(), O_RDONLY | O_CLOEXEC);
            readerOpened = true;
            uint8_t buffer[65536];
            ssize_t n = 0;
            while (c.kind == DestinationCase::Pipe && (n = ::read(fd, buffer, sizeof buffer)) > 0)
                received.insert(received.end(), buffer, buffer + n);
            while (c.kind == DestinationCase::PipeNotRead && !uploadEnded)
                std::this_thread::yield();
            ::close(fd);
        });

    const Bytes data = pattern(c.size, 7);
    script(player, announceReply(kName83, c.size, 5), blocksOf(data, 16384));
    ASSERT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, kName.c_str(), out.c_str(), &recorder, 0), 1);
    if (c.kind == DestinationCase::PipeNotRead) {
        // Once 8 MiB have arrived every buffer waits for the pipe: the stop comes while the
        // upload waits for room in it.
        for (bool waiting = true; waiting; std::this_thread::yield())
            for (const Note &note : recorder.notes())
                if ((note.first == KSUSB_XFER_PROGRESS && note.second >= (8 << 20)) ||
                    note.first == KSUSB_XFER_FAILED)
                    waiting = false;
        signalStopEvent();
    }
    const Notes notes = recorder.waitEnd();
    uploadEnded = true;
    if (pipe) {
        const std::string again = "/proc/self/fd/" + std::to_string(pipeHandle);
        while (!readerOpened) {
            const int fd = ::open(again.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0)
                ::close(fd);
            std::this_thread::yield();
        }
        reader.join();
        ::close(pipeHandle);
    }
    if (socketFd >= 0)
        ::close(socketFd);

    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes.back(),
              c.code == 0 ? Note(KSUSB_XFER_DONE, c.size) : Note(KSUSB_XFER_FAILED, c.code));
    struct stat st {};
    ASSERT_EQ(::lstat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & S_IFMT, c.type);
    if (pipe) {
        EXPECT_EQ(received, c.code == 0 ? data : Bytes{});
    } else if (!expectedFile.empty()) {
        EXPECT_EQ(ScratchDir::read(expectedFile), data);
    }
    if (expectedFile.filename() != "keep.mp3") {
        EXPECT_EQ(ScratchDir::read(dir.path() / "keep.mp3"), before);
    }
    // No temporary file is left, nor a file made beside what was refused.
    std::vector<std::string> entries = {"keep.mp3", "out.mp3"};
    if (c.kind == DestinationCase::DanglingLink)
        entries = {"keep.mp3", "new.mp3", "out.mp3"};
    EXPECT_EQ(dir.entries(), entries);
}

INSTANTIATE_TEST_SUITE_P(
    Upload, UploadDestination,
    testing::Values(
        DestinationCase{"pipe", DestinationCase::Pipe, 3 * (1 << 20) + 5, 0, S_IFIFO, ""},
        // The reader has gone: the write fails and the program lives on (no SIGPIPE).
        DestinationCase{"pipeReaderLeaves", DestinationCase::PipeReaderLeaves, 3 * (1 << 20),
                        KSUSB_ERR_INCOMPLETE, S_IFIFO, ""},
        // A reader that holds the pipe and reads nothing does not hold the upload past a stop.
        DestinationCase{"pipeNotRead", DestinationCase::PipeNotRead, 10 << 20, KSUSB_ERR_STOPPED,
                        S_IFIFO, ""},
        DestinationCase{"charDevice", DestinationCase::CharDevice, 40000, 0, S_IFCHR, ""},
        DestinationCase{"linkToDevNull", DestinationCase::LinkToDevNull, 40000, 0, S_IFLNK, ""},
        DestinationCase{"linkToFile", DestinationCase::LinkToFile, 40000, 0, S_IFLNK, "keep.mp3"},
        DestinationCase{"danglingLink", DestinationCase::DanglingLink, 40000, 0, S_IFLNK,
                        "new.mp3"},
        DestinationCase{"folder", DestinationCase::Folder, 40000, KSUSB_ERR_OPEN_FILE, S_IFDIR, ""},
        DestinationCase{"socket", DestinationCase::Socket, 40000, KSUSB_ERR_OPEN_FILE, S_IFSOCK,
                        ""},
        DestinationCase{"blockDevice", DestinationCase::BlockDevice, 40000, KSUSB_ERR_OPEN_FILE,
                        S_IFBLK, ""},
        DestinationCase{"linkLoop", DestinationCase::LinkLoop, 40000, KSUSB_ERR_OPEN_FILE, S_IFLNK,
                        ""}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(UploadTest, CallFailures) {
    // Not in the cached table: nothing is sent.
    EXPECT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, "other.mp3", dest().c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_NOT_FOUND);
    EXPECT_TRUE(player.writes().empty());

    // The player echoes the name as '?': it does not know the file.
    script(player, announceReply(std::string(kName83.size(), '?'), 0, 0), {});
    EXPECT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, kName.c_str(), dest().c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_NOT_FOUND);

    // A failed write and a failed read of the announcement both give -2.
    player.faults().writeFailures = 1;
    EXPECT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, kName.c_str(), dest().c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_SEND);
    player.faults().readFailures = 1;
    EXPECT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, kName.c_str(), dest().c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_SEND);

    // Paths that do not fit the 256-byte buffer are refused before anything is sent.
    player.clearOps();
    const std::string longPath = (dir.path() / std::string(300, 'x')).string();
    EXPECT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, kName.c_str(), longPath.c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_OPEN_FILE);
    EXPECT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, nullptr, dest().c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_NOT_FOUND);
    EXPECT_TRUE(player.trace().empty());
    EXPECT_TRUE(recorder.notes().empty());
    EXPECT_FALSE(std::filesystem::exists(dest()));
}

} // namespace

namespace {

// The new file is flushed before it takes the destination's name and the folder after, so a
// power cut cannot leave an empty file under that name; a failed flush is a failed upload and
// leaves no temporary file. The replaced file's permissions carry over.
struct DurabilityCase {
    const char *name;
    const char *failOn;
    std::vector<std::string> events;
    int code;              // 0: done
    bool destinationIsNew; // the new bytes are under the destination's name
};
class UploadDurability : public UploadTest, public testing::WithParamInterface<DurabilityCase> {
protected:
    void TearDown() override {
        {
            std::lock_guard lock(durability().mutex);
            durability().armed = false;
            durability().events.clear();
        }
        UploadTest::TearDown();
    }
};

TEST_P(UploadDurability, FlushesTheFileBeforeTheRenameAndTheFolderAfter) {
    const DurabilityCase &c = GetParam();
    const Bytes before = pattern(333, 9);
    dir.write("out.mp3", before);
    std::filesystem::permissions(dest(), std::filesystem::perms(0604));
    const Bytes data = pattern(1500, 4);
    script(player, announceReply(kName83, 1500, 0), blocksOf(data, 512));
    {
        std::lock_guard lock(durability().mutex);
        durability().armed = true;
        durability().failOn = c.failOn;
    }
    ASSERT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, kName.c_str(), dest().c_str(), &recorder, 0), 1);
    const Notes notes = recorder.waitEnd();
    std::vector<std::string> events;
    {
        std::lock_guard lock(durability().mutex);
        durability().armed = false;
        events = durability().events;
    }
    EXPECT_EQ(events, c.events);
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes.back(),
              c.code == 0 ? Note(KSUSB_XFER_DONE, 1500) : Note(KSUSB_XFER_FAILED, c.code));
    EXPECT_EQ(ScratchDir::read(dest()), c.destinationIsNew ? data : before);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.mp3"}); // no temporary file left
    EXPECT_EQ(std::filesystem::status(dest()).permissions(), std::filesystem::perms(0604));
}

INSTANTIATE_TEST_SUITE_P(
    Upload, UploadDurability,
    testing::Values(
        DurabilityCase{"flushedInOrder", "", {"fsync-file", "rename", "fsync-folder"}, 0, true},
        DurabilityCase{"fileFlushFails", "fsync-file", {"fsync-file"}, KSUSB_ERR_INCOMPLETE, false},
        DurabilityCase{"folderFlushFails",
                       "fsync-folder",
                       {"fsync-file", "rename", "fsync-folder"},
                       KSUSB_ERR_INCOMPLETE,
                       true}),
    [](const auto &row) { return std::string(row.param.name); });

} // namespace

namespace {

// Large files reach the disk in chunks on a writer thread: sizes around a chunk, short reads that
// shift the rest of the stream off the chunks' alignment, a file system that refuses direct
// writes, and a disk that fills up part way.
constexpr size_t kMiB = 1 << 20;

struct ChunkCase {
    const char *name;
    uint32_t size;
    uint8_t mode;
    size_t block;
    size_t shortAt;  // offset of one short read (0: none)
    size_t shortLen; // bytes that short read brings
    enum { None, RefuseDirect, DiskFull, WriteErrorOnce } fault;
    long long space; // bytes the disk takes with DiskFull; the failing write's offset
    int code;        // 0: done
};
class UploadChunks : public UploadTest, public testing::WithParamInterface<ChunkCase> {
protected:
    void TearDown() override {
        disk().refuseDirect = false;
        disk().spaceLeft = -1;
        disk().failOnceAt = -1;
        UploadTest::TearDown();
    }
};

// `data` as the player streams it: blocks of `block` bytes, one read at `shortAt` bringing only
// `shortLen` bytes (the stream goes on from there), the last block zero-padded.
std::vector<Bytes> streamOf(const Bytes &data, size_t block, size_t shortAt, size_t shortLen) {
    std::vector<Bytes> out;
    for (size_t at = 0; at < data.size();) {
        const size_t len = (shortAt != 0 && at == shortAt) ? shortLen : block;
        const size_t end = std::min(at + len, data.size());
        Bytes b(data.begin() + long(at), data.begin() + long(end));
        if (end == data.size())
            b.resize(block, 0);
        out.push_back(b);
        at = end;
    }
    return out;
}

TEST_P(UploadChunks, WritesEveryByteOnceOrFailsLeavingTheDestination) {
    const ChunkCase &c = GetParam();
    const Bytes before = pattern(333, 9);
    dir.write("out.mp3", before);
    const Bytes data = pattern(c.size, 6);
    script(player, announceReply(kName83, c.size, c.mode),
           streamOf(data, c.block, c.shortAt, c.shortLen));
    disk().refuseDirect = c.fault == ChunkCase::RefuseDirect;
    disk().spaceLeft = c.fault == ChunkCase::DiskFull ? c.space : -1;
    disk().failOnceAt = c.fault == ChunkCase::WriteErrorOnce ? c.space : -1;

    ASSERT_EQ(KSUSB_Upload(KSUSB_MEM_FLASH, kName.c_str(), dest().c_str(), &recorder, 10000), 1);
    const Notes notes = recorder.waitEnd();
    disk().spaceLeft = -1;
    ASSERT_FALSE(notes.empty());
    if (c.code == 0) {
        EXPECT_EQ(notes.back(), Note(KSUSB_XFER_DONE, c.size));
        EXPECT_EQ(ScratchDir::read(dest()), data);
    } else {
        EXPECT_EQ(notes.back(), Note(KSUSB_XFER_FAILED, c.code));
        EXPECT_EQ(ScratchDir::read(dest()), before);
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.mp3"}); // no temporary file left
}

INSTANTIATE_TEST_SUITE_P(
    Upload, UploadChunks,
    testing::Values(ChunkCase{"underOneChunk", kMiB - 1, 5, 16384, 0, 0, ChunkCase::None, 0, 0},
                    ChunkCase{"exactlyOneChunk", kMiB, 5, 16384, 0, 0, ChunkCase::None, 0, 0},
                    ChunkCase{"oneChunkAndOneByte", kMiB + 1, 5, 16384, 0, 0, ChunkCase::None, 0,
                              0},
                    ChunkCase{"manyChunks", 9 * kMiB + 3, 5, 16384, 0, 0, ChunkCase::None, 0, 0},
                    ChunkCase{"shortReadShiftsTheChunks", 3 * kMiB + 100, 5, 16384, 3 * 16384, 1000,
                              ChunkCase::None, 0, 0},
                    ChunkCase{"shortReadRightBeforeAChunkEnds", 2 * kMiB, 5, 16384, kMiB - 16384,
                              16383, ChunkCase::None, 0, 0},
                    ChunkCase{"smallBlocksShortRead", 2 * kMiB + 7, 2, 2048, 5 * 2048, 100,
                              ChunkCase::None, 0, 0},
                    ChunkCase{"directWritesRefused", 2 * kMiB + 5, 5, 16384, 0, 0,
                              ChunkCase::RefuseDirect, 0, 0},
                    ChunkCase{"diskFullPartWay", 3 * kMiB, 5, 16384, 0, 0, ChunkCase::DiskFull,
                              (long long)(kMiB + kMiB / 2), KSUSB_ERR_INCOMPLETE},
                    ChunkCase{"diskFullAtTheLastByte", kMiB + 1, 5, 16384, 0, 0,
                              ChunkCase::DiskFull, (long long)kMiB, KSUSB_ERR_INCOMPLETE},
                    ChunkCase{"writeErrorInAnEarlyChunk", 3 * kMiB, 5, 16384, 0, 0,
                              ChunkCase::WriteErrorOnce, (long long)kMiB, KSUSB_ERR_INCOMPLETE},
                    ChunkCase{"diskFullAtOnce", 2 * kMiB, 5, 16384, 0, 0, ChunkCase::DiskFull, 0,
                              KSUSB_ERR_INCOMPLETE}),
    [](const auto &row) { return std::string(row.param.name); });

} // namespace
