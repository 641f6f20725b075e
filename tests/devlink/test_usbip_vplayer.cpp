// The USB/IP back end and the whole library against the virtual player running as a process:
// enumeration, the status operations, unplug and replug, faults on the link, and Debian's own
// usbip client listing the same server.
#include "vplayer_process.h"

#include "KestoUSB.h"
#include "backend.h"
#include "library_state.h"
#include "status.h"
#include "test_download_support.h"
#include "transport.h"
#include "usbip_backend.h"

#include <gtest/gtest.h>

#include <ostream>
#include <thread>

#include <cstdlib>
#include <cstring>

using kestousb::test::runProcess;
using kestousb::test::VplayerProcess;
namespace ku = kestousb;

namespace {

#ifndef VPLAYER_PROGRAM
#error "the virtual player is needed for these tests"
#endif

class UsbipVplayer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(player.started()) << "tunara-vplayer did not start";
        ::setenv("KESTOUSB_USBIP", player.address().c_str(), 1);
        ku::resetLibraryForTesting({.backends = {&backend}});
        ku::setLastErrorCode(0);
    }
    void TearDown() override {
        ku::waitTransferIdle(20000);
        ku::closePipes();
        ::unsetenv("KESTOUSB_USBIP");
        ku::resetLibraryForTesting();
    }
    std::string expectedPath() const { return "usbip://" + player.address() + "/1-1"; }

    VplayerProcess player{VPLAYER_PROGRAM};
    ku::UsbipBackend backend; // servers from KESTOUSB_USBIP
};

TEST_F(UsbipVplayer, EnumeratesThePlayerByItsPath) {
    EXPECT_EQ(backend.enumerate(), std::vector<std::string>{expectedPath()});
    EXPECT_EQ(KSUSB_PlayerPresent(), 1);
}

TEST_F(UsbipVplayer, NoServerIsSearchedWithoutTheVariable) {
    ::unsetenv("KESTOUSB_USBIP");
    EXPECT_TRUE(backend.enumerate().empty());
}

TEST_F(UsbipVplayer, ConnectsAndReadsTheStatusOfADefaultPlayer) {
    ASSERT_EQ(KSUSB_CheckConnect(), 1);
    char path[256];
    GetDevicePID(path);
    EXPECT_EQ(std::string(path), expectedPath());
    EXPECT_EQ(InvokePlayer(), 0x00);
    ASSERT_EQ(GetPlayerVersion(), 1);
    ASSERT_EQ(KSUSB_GetPlayerStatus(), 1);
    KSPlayerStatus status{};
    GetPlayerInfo(&status);
    EXPECT_EQ(std::string(status.model).substr(0, 5), "QN520");
    EXPECT_STREQ(status.version, "1.00.00.K5 ");
    EXPECT_STREQ(status.date, "20050718");
    EXPECT_EQ(KSUSB_CheckMemory('S'), 1);
}

TEST_F(UsbipVplayer, CardOutIsSeenInTheFlagsAndByCheckMemory) {
    ASSERT_EQ(KSUSB_CheckConnect(), 1);
    ASSERT_EQ(player.ctl({"card", "out"}), 0);
    EXPECT_EQ(InvokePlayer(), 0x22); // removed: changed and absent
    EXPECT_EQ(KSUSB_GetLastError(), -59);
    EXPECT_EQ(KSUSB_CheckMemory('S'), 0);
    EXPECT_EQ(KSUSB_CheckMemory('M'), 1);
}

TEST_F(UsbipVplayer, UnpluggedIsMinus40AndReplugConnectsAgain) {
    ASSERT_EQ(KSUSB_CheckConnect(), 1);
    ASSERT_EQ(player.ctl({"unplug"}), 0);
    EXPECT_EQ(KSUSB_CheckConnect(), 0);
    EXPECT_EQ(KSUSB_GetLastError(), -40);
    EXPECT_EQ(KSUSB_PlayerPresent(), 0);
    EXPECT_EQ(InvokePlayer(), 0);
    EXPECT_EQ(KSUSB_GetLastError(), -40);
    ASSERT_EQ(player.ctl({"plug"}), 0);
    EXPECT_EQ(KSUSB_CheckConnect(), 1);
    EXPECT_EQ(GetPlayerVersion(), 1);
}

struct LinkFault {
    const char *name;
    std::vector<std::string> ctl;
    int (*operation)();
    int expectedError;
};
// Test names and failure messages show the row by its name.
void PrintTo(const LinkFault &row, std::ostream *os) {
    *os << row.name;
}

class UsbipVplayerFaults : public UsbipVplayer, public ::testing::WithParamInterface<LinkFault> {};

TEST_P(UsbipVplayerFaults, FailWithTheCallersCodeAndRecover) {
    // Limits far below 30 s so that a reply that never comes costs little time, yet well above
    // what a loaded machine needs for an answer that does come.
    ku::TestInjection limits = ku::library().injected();
    limits.usbipLimits = {std::chrono::milliseconds(2000), std::chrono::milliseconds(2000),
                          std::chrono::milliseconds(2000)};
    ku::library().inject(limits);
    ASSERT_EQ(KSUSB_CheckConnect(), 1);
    ASSERT_EQ(player.ctl(GetParam().ctl), 0);
    EXPECT_EQ(GetParam().operation(), 0);
    EXPECT_EQ(KSUSB_GetLastError(), GetParam().expectedError);
    // The failure reconnected; the next exchange works.
    EXPECT_EQ(GetPlayerVersion(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UsbipVplayerFaults,
    ::testing::Values(
        LinkFault{"DroppedVersionReply", {"fault", "drop-reply"}, GetPlayerVersion, -5},
        LinkFault{"ShortVersionReply", {"fault", "short-reply"}, GetPlayerVersion, -5},
        LinkFault{"ShortStatusReply", {"fault", "short-reply"}, KSUSB_GetPlayerStatus, -3},
        LinkFault{"PipeErrorOnStatus", {"fault", "pipe-error"}, KSUSB_GetPlayerStatus, -2},
        LinkFault{"StalledCommand", {"fault", "stall"}, GetPlayerVersion, -2}),
    [](const auto &row) { return std::string(row.param.name); });

#ifdef USBIP_PROGRAM
TEST_F(UsbipVplayer, DebiansUsbipClientListsThePlayer) {
    const auto r =
        runProcess({USBIP_PROGRAM, "--tcp-port", player.port(), "list", "-r", "127.0.0.1"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("1-1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(1209:0001)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Vendor Specific Class"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(ff/00/00)"), std::string::npos) << r.out;
}
#endif

// A second client holds the player (the program while kesto runs): the server refuses our
// import, the call fails with -40 as for no player, and the library tells that the player is
// in use. When the other client lets go, the next call connects and the flag clears.
TEST_F(UsbipVplayer, APlayerImportedByAnotherClientIsInUse) {
    ku::TestInjection limits = ku::library().injected();
    limits.usbipLimits = {std::chrono::milliseconds(2000), std::chrono::milliseconds(300),
                          std::chrono::milliseconds(2000)};
    ku::library().inject(limits);
    ku::UsbipBackend other;
    bool otherInUse = false;
    std::unique_ptr<ku::DeviceConnection> held = other.open(expectedPath(), otherInUse);
    ASSERT_TRUE(held);
    EXPECT_EQ(KSUSB_CheckConnect(), 0);
    EXPECT_EQ(KSUSB_GetLastError(), -40);
    EXPECT_EQ(KSUSB_PlayerInUse(), 1);
    held->close();
    held.reset();
    EXPECT_EQ(KSUSB_CheckConnect(), 1);
    EXPECT_EQ(KSUSB_PlayerInUse(), 0);
    // Unplugged is "not connected", not "in use".
    ASSERT_EQ(player.ctl({"unplug"}), 0);
    EXPECT_EQ(KSUSB_CheckConnect(), 0);
    EXPECT_EQ(KSUSB_PlayerInUse(), 0);
}

// KSUSB_Stop while the worker waits for a block the player never sends (a stalled pipe): the
// stop shuts the connection under the worker, which reports the stop; its failure path does not
// reconnect a second time over the stop's new connection, and the next call works. 100 rounds.
TEST_F(UsbipVplayer, StopDuringAStalledUploadThenTheNextCallWorks) {
    constexpr int kRounds = 100;
    ku::test::ScratchDir dir;
    const std::string source = dir.write("song.bin", ku::test::pattern(4 * 1024 * 1024));
    ASSERT_EQ(KSUSB_CheckConnect(), 1);
    {
        ku::test::Recorder put;
        ASSERT_EQ(KSUSB_Download('M', source.c_str(), &put, 0), 1) << KSUSB_GetLastError();
        ASSERT_EQ(put.waitEnd().back().first, KSUSB_XFER_DONE);
    }
    ASSERT_EQ(KSUSB_RefreshMemory('M'), 1);
    // Paced (about 3 s for the whole file), so that the stream is still running when the stall
    // is armed.
    ASSERT_EQ(player.ctl({"speed", "full"}), 0);
    // Stop's pause stays shorter than the stall, so the worker is inside the blocked read.
    ku::TestInjection shortStop = ku::library().injected();
    shortStop.sleep = [](std::chrono::milliseconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    };
    ku::library().inject(shortStop);
    const std::string target = (dir.path() / "back.bin").string();
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ku::test::Recorder notes;
        ASSERT_EQ(KSUSB_Upload('M', "song.bin", target.c_str(), &notes, 0), 1)
            << KSUSB_GetLastError();
        ASSERT_EQ(player.ctl({"fault", "stall"}), 0);
        EXPECT_EQ(KSUSB_Stop(), 1);
        const ku::test::Notes got = notes.waitEnd();
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back(), ku::test::Note(KSUSB_XFER_FAILED, KSUSB_ERR_STOPPED));
        ASSERT_EQ(player.ctl({"fault", "clear"}), 0);
        ASSERT_EQ(GetPlayerVersion(), 1) << KSUSB_GetLastError();
    }
}

} // namespace
