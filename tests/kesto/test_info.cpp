// kesto info as a black box: its stdout, stderr and exit status against the virtual player.
#include "vplayer_process.h"

#include "backend.h"
#include "usbip_backend.h"

#include <gtest/gtest.h>

#include <ostream>

using kestousb::test::ProcessResult;
using kestousb::test::runProcess;
using kestousb::test::VplayerProcess;

namespace {

// No driver advice on Linux: the cable, the udev rule, kesto info.
const std::string kNotConnected = "Device is Not connected. Check the USB cable and the udev rule "
                                  "that gives you access to the player, then try 'kesto info'.";

class KestoInfo : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(player.started()); }
    ProcessResult info(const std::vector<std::string> &extra = {}) {
        std::vector<std::string> argv = {KESTO_PROGRAM, "info"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return runProcess(argv, {"KESTOUSB_USBIP=" + player.address()});
    }
    VplayerProcess player{VPLAYER_PROGRAM};
};

TEST_F(KestoInfo, PrintsPathFlagsVersionDateAndModel) {
    const ProcessResult r = info();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "device:  usbip://" + player.address() +
                         "/1-1\n"
                         "flags:   0x00 (none)\n"
                         "version: 1.00.00.K5\n"
                         "date:    20050718\n"
                         "model:   QN520\n");
}

struct FlagCase {
    const char *name;
    std::vector<std::vector<std::string>> ctl;
    std::string flagsLine;
    std::vector<std::string> notices;
};
// Test names and failure messages show the row by its name.
void PrintTo(const FlagCase &row, std::ostream *os) {
    *os << row.name;
}

class KestoInfoFlags : public KestoInfo, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(KestoInfoFlags, DecodesTheFlagsAndShowsTheProgramsNotices) {
    for (const auto &command : GetParam().ctl)
        ASSERT_EQ(player.ctl(command), 0);
    const ProcessResult r = info();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\n" + GetParam().flagsLine + "\n"), std::string::npos) << r.out;
    std::string notices;
    for (const std::string &n : GetParam().notices)
        notices += "notice:  " + n + "\n";
    EXPECT_TRUE(r.out.ends_with("model:   QN520\n" + notices)) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    Flags, KestoInfoFlags,
    ::testing::Values(FlagCase{"CardOut",
                               {{"card", "out"}},
                               "flags:   0x22 (card changed, no card)",
                               {"External memory card is updated"}},
                      FlagCase{"ProtectedAndFull",
                               {{"protect", "on"}, {"full", "flash", "on"}},
                               "flags:   0x18 (card write-protected, internal memory full)",
                               {"Write protection tab is detected", "Internal memory is full"}}),
    [](const auto &row) { return std::string(row.param.name); });

TEST_F(KestoInfo, UnpluggedFailsWithMinus40AndReplugSucceeds) {
    ASSERT_EQ(player.ctl({"unplug"}), 0);
    ProcessResult r = info();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kesto info: error -40 (KSUSB_ERR_NOT_CONNECTED): " + kNotConnected + "\n");

    ASSERT_EQ(player.ctl({"plug"}), 0);
    r = info();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("model:   QN520\n"), std::string::npos);
}

// While another client (the program) holds the player, kesto says so instead of giving the
// cable advice, and fails with exit status 1; once the player is free the same command works.
TEST_F(KestoInfo, APlayerHeldByAnotherProgramIsReportedAsInUse) {
    kestousb::UsbipBackend other(kestousb::parseUsbipServers(player.address()));
    std::unique_ptr<kestousb::DeviceConnection> held =
        other.open("usbip://" + player.address() + "/1-1");
    ASSERT_TRUE(held);
    for (const std::string verb : {"info", "ls M"}) {
        std::vector<std::string> argv = {KESTO_PROGRAM};
        for (size_t at = 0, space = 0; space != std::string::npos; at = space + 1) {
            space = verb.find(' ', at);
            argv.push_back(verb.substr(at, space - at));
        }
        const ProcessResult r = runProcess(argv, {"KESTOUSB_USBIP=" + player.address()});
        EXPECT_EQ(r.exitCode, 1) << verb;
        EXPECT_NE(r.err.find("error -40 (KSUSB_ERR_NOT_CONNECTED): The player is in use by "
                             "another program\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("cable"), std::string::npos) << r.err;
    }
    held->close();
    held.reset();
    const ProcessResult r = info();
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

TEST_F(KestoInfo, NoServerAtAllIsMinus40) {
    // A port nobody listens on: the connection is refused at once.
    const ProcessResult r = runProcess({KESTO_PROGRAM, "info"}, {"KESTOUSB_USBIP=127.0.0.1:1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("error -40"), std::string::npos) << r.err;
}

TEST_F(KestoInfo, AFailedExchangeIsReportedWithItsCode) {
    ASSERT_EQ(player.ctl({"fault", "pipe-error"}), 0);
    const ProcessResult r = info();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kesto info: error -2 (KSUSB_ERR_SEND): Failed data transmitted\n");
}

TEST_F(KestoInfo, RejectsArguments) {
    const ProcessResult r = info({"extra"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("takes no arguments"), std::string::npos);
}

} // namespace
