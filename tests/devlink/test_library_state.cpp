// The library's one state object: the reset that every test starts from brings each piece back
// to "just loaded", and a changed injection keeps or drops the connection as documented.
#include "fake_player.h"

#include "KestoUSB.h"
#include "filetable.h"
#include "library_state.h"
#include "transfer_state.h"
#include "transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

namespace ku = kestousb;
using ku::test::Bytes;
using ku::test::FakePlayer;

namespace {

struct ResetRow {
    const char *name;
    std::function<void(FakePlayer &)> dirty; // leaves its piece of state changed
    std::function<void(FakePlayer &)> clean; // checks it is as just loaded
};

void PrintTo(const ResetRow &row, std::ostream *os) {
    *os << row.name;
}

class LibraryReset : public ::testing::TestWithParam<ResetRow> {};

// The 'Y' reply: version from byte 4, date from 15, model from 23, '.' at 36.
Bytes versionReply() {
    Bytes payload(32, ' ');
    std::memcpy(payload.data(), "1.23       20260101Model-Seven", 30);
    return FakePlayer::frame(payload);
}

TEST_P(LibraryReset, BringsThePieceBackToJustLoaded) {
    FakePlayer player;
    GetParam().dirty(player);
    player.clearOps();
    ku::resetLibraryForTesting(ku::library().injected());
    GetParam().clean(player);
    EXPECT_EQ(KSUSB_GetLastError(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Pieces, LibraryReset,
    ::testing::Values(
        ResetRow{"Connection",
                 [](FakePlayer &) {
                     ASSERT_EQ(KSUSB_CheckConnect(), 1);
                     ASSERT_EQ(ku::devicePath(), "fake:1-1");
                 },
                 [](FakePlayer &player) {
                     EXPECT_FALSE(ku::pipesOpen());
                     EXPECT_EQ(ku::devicePath(), "");
                     EXPECT_EQ(KSUSB_PlayerInUse(), 0);
                     // Forgotten without a word to the player: its back end may be gone.
                     EXPECT_TRUE(player.trace().empty());
                 }},
        ResetRow{"StopEvent",
                 [](FakePlayer &) {
                     ku::createStopEvent();
                     ku::signalStopEvent();
                 },
                 [](FakePlayer &) {
                     EXPECT_FALSE(ku::stopEventExists());
                     EXPECT_FALSE(ku::takeStopEvent());
                 }},
        ResetRow{"StatusCache",
                 [](FakePlayer &player) {
                     player.onCommand(
                         'Y', [](const FakePlayer::Packet &, size_t) { return versionReply(); });
                     ASSERT_EQ(GetPlayerVersion(), 1);
                     KSPlayerStatus seen{};
                     ASSERT_EQ(GetPlayerInfo(&seen), 1);
                     ASSERT_EQ(std::string(seen.model).substr(0, 11), "Model-Seven");
                 },
                 [](FakePlayer &) {
                     KSPlayerStatus seen{};
                     std::memset(&seen, 'x', sizeof seen);
                     ASSERT_EQ(GetPlayerInfo(&seen), 1);
                     EXPECT_STREQ(seen.version, "");
                     EXPECT_STREQ(seen.model, "");
                     EXPECT_STREQ(seen.date, "");
                 }},
        ResetRow{"FileTables",
                 [](FakePlayer &) {
                     for (const unsigned char mem : {KSUSB_MEM_FLASH, KSUSB_MEM_CARD}) {
                         KSUSB_TOpenTable &table = ku::cachedTable(mem);
                         table.count = 1;
                         table.free = 1000;
                         std::strcpy(table.entries[0].name, "a.mp3");
                     }
                 },
                 [](FakePlayer &) {
                     for (const unsigned char mem : {KSUSB_MEM_FLASH, KSUSB_MEM_CARD}) {
                         KSUSB_TOpenTable seen{};
                         ASSERT_EQ(GetFileInfo(mem, &seen), 1);
                         EXPECT_EQ(seen.count, 0);
                         EXPECT_EQ(seen.free, 0u);
                         EXPECT_EQ(ku::findEntry(mem, "a.mp3"), ku::kEntryNotFound);
                     }
                 }},
        ResetRow{"LastError", [](FakePlayer &) { ku::setLastErrorCode(KSUSB_ERR_RECEIVE); },
                 [](FakePlayer &) {}},
        // The worker fails at once on a file that is not there and stores its code; the reset
        // waits for it, so that code cannot land after the reset.
        ResetRow{"TransferState",
                 [](FakePlayer &) {
                     ku::TransferJob job;
                     job.kind = ku::TransferKind::Download;
                     std::strcpy(job.path, "/nonexistent/folder/song.mp3");
                     job.size = 10;
                     ASSERT_TRUE(ku::startTransfer(job));
                 },
                 [](FakePlayer &) {
                     EXPECT_FALSE(ku::transferRunning());
                     EXPECT_STREQ(ku::lastTransfer().path, "");
                     EXPECT_EQ(ku::lastTransfer().size, 0u);
                     EXPECT_FALSE(ku::stopEventExists());
                 }}),
    [](const auto &row) { return std::string(row.param.name); });

TEST(LibraryReset, WithoutInjectionSearchesTheRealBackEndsWithTheDefaultLimits) {
    {
        FakePlayer player;
        ASSERT_EQ(ku::defaultBackends(), std::vector<ku::Backend *>{&player});
    }
    ku::resetLibraryForTesting();
    ku::LibraryState &state = ku::library();
    EXPECT_EQ(ku::defaultBackends(), (std::vector<ku::Backend *>{&state.usbip, &state.libusb}));
    const ku::UsbipLimits limits = ku::usbipLimits();
    EXPECT_EQ(limits.connect.count(), 1000);
    EXPECT_EQ(limits.control.count(), 1000);
    EXPECT_EQ(limits.pipe.count(), 30000);
}

// A new back-end list forgets the open connection (it may belong to a back end about to go);
// the same list with another sleep or clock keeps it.
TEST(LibraryInjection, KeepsTheConnectionUnlessTheBackEndsChange) {
    FakePlayer player;
    FakePlayer other("fake:2-1", false);
    ASSERT_EQ(KSUSB_CheckConnect(), 1);
    player.clearOps();

    ku::TestInjection same = ku::library().injected();
    same.sleep = [](std::chrono::milliseconds) {};
    ku::library().inject(same);
    EXPECT_TRUE(ku::pipesOpen());

    ku::TestInjection moved = ku::library().injected();
    moved.backends = {&other, nullptr};
    ku::library().inject(moved);
    EXPECT_FALSE(ku::pipesOpen());
    EXPECT_EQ(ku::devicePath(), "");
    EXPECT_TRUE(player.trace().empty()) << "dropped without a word to the player";
    EXPECT_EQ(ku::defaultBackends(), std::vector<ku::Backend *>{&other});
    ASSERT_EQ(KSUSB_CheckConnect(), 1);
    EXPECT_EQ(ku::devicePath(), "fake:2-1");
}

} // namespace
