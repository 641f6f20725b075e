// KSUSB_Download against the fake player: the announcement bytes, the verdicts, the stream
// and the notifications.
#include "test_download_support.h"

#include <condition_variable>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>

using namespace kestousb;
using namespace kestousb::test;

namespace {

constexpr uint8_t kAnnounce = 0x90;

Bytes verdictReply(uint8_t verdict, uint8_t mode) {
    return FakePlayer::frame({verdict, 0, 0, 0, 0, mode});
}

// The wire of an accepted announcement of `packetBytes` bytes, before the worker starts.
std::vector<std::string> announceWire(size_t packetBytes) {
    return {"ready10", "write " + std::to_string(packetBytes), "done", "ready12", "read 64",
            "done"};
}

struct StreamCase {
    const char *name;
    size_t size;
    uint8_t mode;
    uint32_t step;
    size_t block;     // expected block on the wire
    Notes expected;   // the notifications
    size_t depth = 0; // blocks in flight; 0: the library's own
};

void PrintTo(const StreamCase &row, std::ostream *os) {
    *os << row.name;
}

// Step 0: one post per block, the final one with the total.
Notes perBlockNotes(size_t size, size_t block) {
    Notes n{{1, intptr_t(size)}};
    for (size_t moved = block; moved < size; moved += block)
        n.emplace_back(2, intptr_t(moved));
    n.emplace_back(2, intptr_t(size));
    n.emplace_back(3, intptr_t(size));
    return n;
}

Notes stepRuleNotes() {
    // 25,000 bytes in 512-byte blocks with step 10,000: the first post after the block that
    // passes 10,000 bytes (20 x 512 = 10,240), then one per block, the final partial block
    // posts the total.
    Notes n{{1, 25000}};
    for (intptr_t moved = 10240; moved < 25000; moved += 512)
        n.emplace_back(2, moved);
    n.emplace_back(2, 25000);
    n.emplace_back(3, 25000);
    return n;
}

class DownloadStream : public TransferTest, public testing::WithParamInterface<StreamCase> {};

TEST_P(DownloadStream, BlocksAndNotifications) {
    const StreamCase &c = GetParam();
    const Bytes data = pattern(c.size, 7);
    const std::string path = dir.write("TRACK.MP3", data);
    player.onCommand(kAnnounce, [&](auto &, size_t) { return verdictReply(0, c.mode); });
    if (c.depth != 0) {
        TestInjection injection = library().injected();
        injection.transferDepth = c.depth;
        library().inject(injection);
    }

    ASSERT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, path.c_str(), &recorder, c.step), 1)
        << KSUSB_GetLastError();
    EXPECT_EQ(recorder.waitEnd(), c.expected);

    // The stream: whole blocks of the mode's size, the last one zero-padded, after ready11.
    const auto wire = player.wireTrace();
    const size_t blocks = (c.size + c.block - 1) / c.block;
    std::vector<std::string> expectedWire = announceWire(64);
    expectedWire.push_back("ready11");
    for (size_t i = 0; i < blocks; ++i)
        expectedWire.push_back("write " + std::to_string(c.block));
    expectedWire.push_back("done");
    EXPECT_EQ(wire, expectedWire);

    const auto writes = player.writes();
    ASSERT_EQ(writes.size(), 1 + blocks);
    Bytes streamed;
    for (size_t i = 1; i < writes.size(); ++i)
        streamed.insert(streamed.end(), writes[i].begin(), writes[i].end());
    Bytes padded = data;
    padded.resize(blocks * c.block, 0);
    EXPECT_EQ(streamed, padded);
}

INSTANTIATE_TEST_SUITE_P(
    Download, DownloadStream,
    testing::Values(
        StreamCase{"empty", 0, 0, 10000, 512, {{1, 0}, {3, 0}}},
        // An exact multiple ends through the full-block path: below the step, no post at all.
        StreamCase{"exactMultipleBelowStep", 1024, 0, 5000, 512, {{1, 1024}, {3, 1024}}},
        StreamCase{"exactMultiplePostsCounts",
                   1536,
                   0,
                   600,
                   512,
                   {{1, 1536}, {2, 1024}, {2, 1536}, {3, 1536}}},
        StreamCase{"stepRule", 25000, 0, 10000, 512, stepRuleNotes()},
        StreamCase{"mode2Is512", 1000, 2, 10000, 512, {{1, 1000}, {2, 1000}, {3, 1000}}},
        StreamCase{
            "mode4", 20000, 4, 10000, 8192, {{1, 20000}, {2, 16384}, {2, 20000}, {3, 20000}}},
        StreamCase{"mode5",
                   40000,
                   5,
                   10000,
                   16384,
                   {{1, 40000}, {2, 16384}, {2, 32768}, {2, 40000}, {3, 40000}}},
        StreamCase{
            "unknownModeSmallBlocks", 600, 9, 0, 512, {{1, 600}, {2, 512}, {2, 600}, {3, 600}}},
        StreamCase{"singleByte", 1, 0, 10000, 512, {{1, 1}, {2, 1}, {3, 1}}},
        // Files over several pieces of the read-ahead, with the most blocks in flight: the next
        // piece is read while blocks of this one are still on their way, and none of them may
        // change before the player has taken it (the fake takes each block when answered).
        StreamCase{"readAheadPiecesMode5", 3 * 262144 + 1000, 5, 0, 16384,
                   perBlockNotes(3 * 262144 + 1000, 16384), 8},
        StreamCase{"readAheadPiecesMode0", 2 * 262144 + 300, 0, 0, 512,
                   perBlockNotes(2 * 262144 + 300, 512), 8}),
    [](const auto &row) { return row.param.name; });

TEST_F(TransferTest, AnnouncementBytes) {
    const Bytes data = pattern(1000);
    const std::string path = dir.write("HELLO.MP3", data);
    // 2024-03-15 13:45:30 UTC: DOS date (44 << 9 | 3 << 5 | 15), time (13 << 11 | 45 << 5 | 15)
    const timespec times[2] = {{1710510330, 0}, {1710510330, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    player.onCommand(kAnnounce, [](auto &, size_t) { return verdictReply(0, 0); });
    player.onCommand('I', [](auto &, size_t) { return FakePlayer::frame({0x00}); });

    ASSERT_EQ(KSUSB_Download(KSUSB_MEM_CARD, path.c_str(), &recorder, 10000), 1);
    recorder.waitEnd();

    const std::string shortName = chooseShortName(KSUSB_MEM_CARD, "HELLO.MP3", makeShortName);
    const uint16_t date = 44 << 9 | 3 << 5 | 15, time = 13 << 11 | 45 << 5 | 15;
    Bytes expected = {'#',
                      0,
                      uint8_t(shortName.size() + 18 + 20),
                      ':',
                      'S',
                      0x90,
                      0x17,
                      0x02,
                      0x20,
                      uint8_t(date >> 8),
                      uint8_t(date),
                      uint8_t(time >> 8),
                      uint8_t(time),
                      0,
                      0,
                      0x03,
                      0xE8,
                      0x32,
                      0,
                      uint8_t(shortName.size())};
    expected.insert(expected.end(), shortName.begin(), shortName.end());
    expected.insert(expected.end(), {0, 18});
    for (char ch : std::string("HELLO.MP3"))
        expected.insert(expected.end(), {uint8_t(ch), 0});
    expected.push_back('.');
    expected.resize(64, 0);

    Bytes announcement;
    for (const Bytes &w : player.writes())
        if (w.size() >= 6 && w[5] == kAnnounce)
            announcement = w;
    EXPECT_EQ(announcement, expected);
}

TEST_F(TransferTest, LongNameReachesThePlayerCutTo80Bytes) {
    const std::string name = std::string(90, 'a') + ".mp3";
    const std::string path = dir.write(name, pattern(10));
    player.onCommand(kAnnounce, [](auto &, size_t) { return verdictReply(0, 0); });
    ASSERT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, path.c_str(), &recorder, 10000), 1);
    recorder.waitEnd();
    const Bytes packet = player.writes().at(0);
    const size_t s = size_t(packet[18]) << 8 | packet[19];
    const size_t w = size_t(packet[20 + s]) << 8 | packet[21 + s];
    EXPECT_EQ(w, 160u);
    EXPECT_EQ(packet.size(), blockAligned(s + w + 23));
    EXPECT_EQ(packet[22 + s + w], '.');
    // the extension survives the cut: the last UTF-16 units are ".mp3"
    EXPECT_EQ(Bytes(packet.begin() + long(22 + s + w - 8), packet.begin() + long(22 + s + w)),
              (Bytes{'.', 0, 'm', 0, 'p', 0, '3', 0}));
}

struct VerdictCase {
    const char *name;
    uint8_t verdict;
    uint32_t cachedFree;
    int code;
};
class DownloadVerdict : public TransferTest, public testing::WithParamInterface<VerdictCase> {};

TEST_P(DownloadVerdict, MapsToCode) {
    const VerdictCase &c = GetParam();
    const std::string path = dir.write("SONG.MP3", pattern(5000));
    cachedTable(KSUSB_MEM_FLASH).free = c.cachedFree;
    player.onCommand(kAnnounce, [&](auto &, size_t) { return verdictReply(c.verdict, 0); });
    EXPECT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, path.c_str(), &recorder, 10000), 0);
    EXPECT_EQ(KSUSB_GetLastError(), c.code);
    EXPECT_EQ(player.wireTrace(), announceWire(64)); // no worker, no stream
    EXPECT_TRUE(recorder.notes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Download, DownloadVerdict,
    testing::Values(VerdictCase{"noRoomMemoryFull", 2, 4000, KSUSB_ERR_MEMORY_FULL},
                    VerdictCase{"noRoomFreeEqualsSize", 2, 5000, KSUSB_ERR_MEMORY_FULL},
                    VerdictCase{"noRoomNameArea", 2, 5001, KSUSB_ERR_NAME_AREA_FULL},
                    VerdictCase{"exists", 3, 100000, KSUSB_ERR_EXISTS},
                    VerdictCase{"refused1", 1, 100000, KSUSB_ERR_REFUSED},
                    VerdictCase{"refusedFF", 0xFF, 100000, KSUSB_ERR_REFUSED}),
    [](const auto &row) { return row.param.name; });

TEST_F(TransferTest, CallFailuresBeforeAnyStream) {
    const std::string path = dir.write("SONG.MP3", pattern(100));
    player.onCommand(kAnnounce, [](auto &, size_t) { return verdictReply(0, 0); });

    // Name already in the cached table: nothing is announced.
    addEntry(KSUSB_MEM_FLASH, "SONG.MP3", "SONG.MP3");
    EXPECT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, path.c_str(), &recorder, 10000), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_EXISTS);
    clearTables();

    EXPECT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, (dir.path() / "none.mp3").c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_NOT_FOUND);
    EXPECT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, dir.path().c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_NOT_FOUND); // a folder is not a file to send
    EXPECT_TRUE(player.writes().empty());

    // A path that does not fit the 256-byte buffer is refused, never cut or overflowed.
    const std::string longPath = "/" + std::string(300, 'x');
    player.clearOps();
    EXPECT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, longPath.c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_OPEN_FILE);
    EXPECT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, nullptr, &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_NOT_FOUND);
    EXPECT_TRUE(player.trace().empty());

    player.faults().writeFailures = 1;
    EXPECT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, path.c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_SEND);
    player.faults().readFailures = 1;
    EXPECT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, path.c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_RECEIVE);

    player.faults().absent = true;
    EXPECT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, path.c_str(), &recorder, 1), 0);
    EXPECT_EQ(KSUSB_GetLastError(), KSUSB_ERR_NOT_CONNECTED);
    EXPECT_TRUE(recorder.notes().empty());
}

TEST_F(TransferTest, CardWithoutCardIsNotAnnounced) {
    const std::string path = dir.write("SONG.MP3", pattern(100));
    player.onCommand('I', [](auto &, size_t) { return FakePlayer::frame({KSUSB_FLAG_NO_CARD}); });
    EXPECT_EQ(KSUSB_Download(KSUSB_MEM_CARD, path.c_str(), &recorder, 1), 0);
    for (const Bytes &w : player.writes())
        EXPECT_NE(w[5], kAnnounce);
}

// Stream faults: what the worker reports, and how much went out.
struct FaultCase {
    const char *name;
    size_t size;
    size_t faultAfterBlocks; // the fault is set up when this many blocks went out
    enum { ShortWrite, Stop, FileShrinks, FileGone } fault;
    int code;
    size_t blocksSent;
};
class DownloadFault : public TransferTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(DownloadFault, EndsWithFailure) {
    const FaultCase &c = GetParam();
    const std::string path = dir.write("SONG.MP3", pattern(c.size));
    player.onCommand(kAnnounce, [&](auto &, size_t) {
        // after the look-up, before the worker opens it
        if (c.fault == FaultCase::FileGone)
            std::filesystem::remove(path);
        if (c.fault == FaultCase::FileShrinks)
            std::filesystem::resize_file(path, 600);
        return verdictReply(0, 0);
    });
    size_t blocks = 0;
    player.onWrite([&](const Bytes &w) {
        if (w.size() != 512 || (w.size() >= 6 && w[0] == '#' && w[5] == kAnnounce))
            return;
        if (++blocks != c.faultAfterBlocks)
            return;
        if (c.fault == FaultCase::ShortWrite)
            player.faults().shortWrite = 100;
        else if (c.fault == FaultCase::Stop)
            signalStopEvent();
    });
    ASSERT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, path.c_str(), &recorder, 10000), 1);
    const Notes notes = recorder.waitEnd();
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes.back(), Note(KSUSB_XFER_FAILED, c.code));
    EXPECT_EQ(KSUSB_GetLastError(), c.code);
    EXPECT_EQ(player.writes().size(), 1 + c.blocksSent);
    for (const Note &n : notes)
        EXPECT_NE(n.first, KSUSB_XFER_DONE);
}

INSTANTIATE_TEST_SUITE_P(
    Download, DownloadFault,
    testing::Values(
        FaultCase{"shortMiddleBlock", 2000, 1, FaultCase::ShortWrite, KSUSB_ERR_INCOMPLETE, 2},
        // The final partial block is checked too: a block the pipe did not take is not success.
        FaultCase{"shortFinalBlock", 700, 1, FaultCase::ShortWrite, KSUSB_ERR_INCOMPLETE, 2},
        FaultCase{"stoppedAfterSecondBlock", 5000, 2, FaultCase::Stop, KSUSB_ERR_STOPPED, 2},
        FaultCase{"stoppedOnFinalBlock", 1024, 2, FaultCase::Stop, KSUSB_ERR_STOPPED, 2},
        // A file that shrank after the announcement fails instead of sending fill bytes.
        FaultCase{"fileShrinks", 1500, 0, FaultCase::FileShrinks, KSUSB_ERR_INCOMPLETE, 1},
        FaultCase{"fileGone", 1500, 0, FaultCase::FileGone, KSUSB_ERR_OPEN_FILE, 0}),
    [](const auto &row) { return row.param.name; });

TEST_F(TransferTest, StopLeftSignalledStopsTheNextWorkerAfterItsFirstBlock) {
    createStopEvent();
    signalStopEvent(); // no worker runs: the event stays signalled
    const std::string path = dir.write("SONG.MP3", pattern(3 * 512));
    player.onCommand(kAnnounce, [](auto &, size_t) { return verdictReply(0, 0); });
    ASSERT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, path.c_str(), &recorder, 0), 1);
    EXPECT_EQ(recorder.waitEnd(), (Notes{{1, 1536}, {2, 512}, {4, KSUSB_ERR_STOPPED}}));
    EXPECT_EQ(player.writes().size(), 2u);
    EXPECT_FALSE(takeStopEvent()); // auto-reset: taken by the worker
}

TEST_F(TransferTest, NoWindowMeansNoNotificationsButTheStreamRuns) {
    const std::string path = dir.write("SONG.MP3", pattern(1000));
    player.onCommand(kAnnounce, [](auto &, size_t) { return verdictReply(0, 0); });
    ASSERT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, path.c_str(), nullptr, 0), 1);
    ASSERT_TRUE(waitTransferIdle(20000));
    EXPECT_EQ(player.writes().size(), 3u);
    EXPECT_EQ(player.wireTrace().back(), "done");
}

} // namespace

namespace {

TEST_F(TransferTest, KsusbStopFromTheCallerEndsTheWorkerWithMinus43) {
    const std::string path = dir.write("SONG.MP3", pattern(10 * 512));
    player.onCommand(kAnnounce, [](auto &, size_t) { return verdictReply(0, 0); });
    std::mutex mutex;
    std::condition_variable changed;
    bool inBlock = false, stopped = false;
    size_t blocks = 0;
    player.onWrite([&](const Bytes &w) {
        if (w.size() != 512 || ++blocks != 2)
            return;
        // The worker is inside its second block: hold it there until the caller has stopped.
        std::unique_lock lock(mutex);
        inBlock = true;
        changed.notify_all();
        changed.wait(lock, [&] { return stopped; });
    });
    ASSERT_EQ(KSUSB_Download(KSUSB_MEM_FLASH, path.c_str(), &recorder, 0), 1);
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return inBlock; });
    }
    player.clearOps();
    EXPECT_EQ(KSUSB_Stop(), 1);
    const auto stopTrace = player.trace();
    {
        std::lock_guard lock(mutex);
        stopped = true;
        changed.notify_all();
    }
    EXPECT_EQ(recorder.waitEnd(), (Notes{{1, 5120}, {2, 512}, {2, 1024}, {4, KSUSB_ERR_STOPPED}}));
    EXPECT_EQ(blocks, 2u); // nothing after the block in flight
    ASSERT_FALSE(stopTrace.empty());
    EXPECT_EQ(stopTrace.front(), "sleep 1000");
    EXPECT_EQ(stopTrace.back(), "abort");
}

} // namespace
