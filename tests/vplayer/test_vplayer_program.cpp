// tunara-vplayer as a process: start-up output and address file, the control commands through
// the socket, and Debian's usbip client listing the device.
#include "ctl_server.h"
#include "host_side.h"
#include "vplayer_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

using hosttest::StateDir;
using kestousb::test::Output;
using kestousb::test::ProcessResult;
using kestousb::test::runProcess;
using kestousb::test::VplayerProcess;

namespace {

// A program run to its end; stdout and stderr together.
ProcessResult run(const std::vector<std::string> &argv) {
    return runProcess(argv, {}, Output::Merged);
}

// The first line the player wrote; it prints it right after its address file, so it may come a
// moment after the launcher saw the player listening.
std::string firstLogLine(const VplayerProcess &p) {
    for (int waited = 0; waited < 30000; waited += 10) {
        const std::string log = p.log();
        if (const size_t end = log.find('\n'); end != std::string::npos)
            return log.substr(0, end);
        ::usleep(10000);
    }
    return p.log();
}

ProcessResult ctl(const std::filesystem::path &dir, std::vector<std::string> words) {
    std::vector<std::string> argv{VPLAYER_PROGRAM, "ctl", "--state", dir.string()};
    argv.insert(argv.end(), words.begin(), words.end());
    return run(argv);
}

ProcessResult usbipList(const std::string &port) {
    return run({USBIP_PROGRAM, "--tcp-port", port, "list", "-r", "127.0.0.1"});
}

TEST(Program, ListensTellsItsAddressAndCleansUp) {
    StateDir dir;
    VplayerProcess p(VPLAYER_PROGRAM, dir.path().string());
    const std::string firstLine = firstLogLine(p);
    ASSERT_EQ(firstLine.rfind("listening on 127.0.0.1:", 0), 0u) << firstLine;
    std::ifstream addr(dir.path() / "vplayer.addr");
    std::string text;
    std::getline(addr, text);
    EXPECT_EQ("listening on " + text, firstLine);
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "ctl.sock"));
    EXPECT_EQ(p.stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "vplayer.addr"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "ctl.sock"));
}

TEST(Program, UsbipClientListsTheVendorSpecificDevice) {
    StateDir dir;
    VplayerProcess p(VPLAYER_PROGRAM, dir.path().string());
    const ProcessResult list = usbipList(p.port());
    EXPECT_EQ(list.exitCode, 0) << list.out;
    EXPECT_NE(list.out.find("1-1"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("1209:0001"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("(ff/00/00)"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("Vendor Specific"), std::string::npos) << list.out;

    ASSERT_EQ(ctl(dir.path(), {"unplug"}).exitCode, 0);
    const ProcessResult gone = usbipList(p.port());
    EXPECT_EQ(gone.out.find("1209:0001"), std::string::npos) << gone.out;
    ASSERT_EQ(ctl(dir.path(), {"plug"}).exitCode, 0);
    EXPECT_NE(usbipList(p.port()).out.find("1209:0001"), std::string::npos);
}

struct CtlCase {
    const char *name;
    std::vector<std::string> words;
    int status;
    const char *statusLine; // a line `ctl status` shows afterwards ("" to skip)
};

class Control : public ::testing::TestWithParam<CtlCase> {};

TEST_P(Control, CommandsReachTheRunningPlayer) {
    StateDir dir;
    VplayerProcess p(VPLAYER_PROGRAM, dir.path().string());
    const ProcessResult r = ctl(dir.path(), GetParam().words);
    EXPECT_EQ(r.exitCode, GetParam().status) << r.out;
    if (GetParam().status == 1) {
        EXPECT_NE(r.out.find("tunara-vplayer ctl: "), std::string::npos) << r.out;
    }
    if (*GetParam().statusLine) {
        const ProcessResult s = ctl(dir.path(), {"status"});
        EXPECT_EQ(s.exitCode, 0);
        EXPECT_NE(s.out.find(std::string("\n") + GetParam().statusLine + "\n"), std::string::npos)
            << s.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    All, Control,
    ::testing::Values(
        CtlCase{"status", {"status"}, 0, "plugged: yes"},
        CtlCase{"unplug", {"unplug"}, 0, "plugged: no"},
        CtlCase{"cardOut", {"card", "out"}, 0, "flags: 0x22"},
        CtlCase{"protect", {"protect", "on"}, 0, "flags: 0x10"},
        CtlCase{"busy", {"busy", "on"}, 0, "flags: 0x40"},
        CtlCase{"neverReady", {"never-ready", "on"}, 0, "never-ready: on"},
        CtlCase{"flagsSet", {"flags", "set", "0x81"}, 0, "flags: 0x81"},
        CtlCase{"fullCard", {"full", "card", "on"}, 0, "flags: 0x04"},
        CtlCase{"speedFull", {"speed", "full"}, 0, "mode-download: 0"},
        CtlCase{"modeUpload", {"mode", "upload", "4"}, 0, "mode-upload: 4"},
        CtlCase{"faultRefuse", {"fault", "refuse", "5"}, 0, "faults: refuse 5"},
        CtlCase{"faultDropStream", {"fault", "drop-stream"}, 0, "faults: drop-stream 16384"},
        CtlCase{"faultStallTwice", {"fault", "stall", "2"}, 0, "faults: stall x2"},
        CtlCase{"faultRefuseDelete", {"fault", "refuse-delete"}, 0, "faults: refuse-delete x1"},
        CtlCase{
            "faultKeepPartial", {"fault", "keep-partial", "100"}, 0, "faults: keep-partial 100"},
        CtlCase{"faultWriteDelay", {"fault", "write-delay", "25"}, 0, "faults: write-delay 25"},
        CtlCase{"faultWriteDelayTooLong", {"fault", "write-delay", "10001"}, 1, "faults:"},
        CtlCase{"unknownCommand", {"explode"}, 1, "plugged: yes"},
        CtlCase{"cardBadArgument", {"card", "maybe"}, 1, "card: in"},
        CtlCase{"flagsNotANumber", {"flags", "set", "lots"}, 1, "flags: 0x00"},
        CtlCase{"flagsTooBig", {"flags", "set", "0x100"}, 1, "flags: 0x00"},
        CtlCase{"unknownFault", {"fault", "melt"}, 1, "faults:"},
        CtlCase{"countZero", {"fault", "pipe-error", "0"}, 1, "faults:"},
        CtlCase{"shortBlockTakesNoArgument", {"fault", "short-block", "3"}, 1, "faults:"},
        CtlCase{"speedUnknown", {"speed", "warp"}, 1, "speed: unlimited"}),
    [](const auto &tpi) { return std::string(tpi.param.name); });

TEST(Program, ControlWithoutARunningPlayerFailsWithTwo) {
    StateDir dir;
    const ProcessResult r = ctl(dir.path(), {"status"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.out.find("no virtual player answers"), std::string::npos) << r.out;
    EXPECT_EQ(run({VPLAYER_PROGRAM, "ctl", "status"}).exitCode, 2);
}

TEST(Program, BadArgumentsAndHelp) {
    EXPECT_EQ(run({VPLAYER_PROGRAM}).exitCode, 2);
    EXPECT_EQ(run({VPLAYER_PROGRAM, "--state", "/tmp/x", "--listen", "nohost"}).exitCode, 2);
    EXPECT_EQ(run({VPLAYER_PROGRAM, "--state", "/tmp/x", "--listen", "127.0.0.1:99999"}).exitCode,
              2);
    const ProcessResult help = run({VPLAYER_PROGRAM, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char *word :
         {"never-ready", "unplug-after", "drop-stream", "short-block", "refuse-delete",
          "refuse-rename", "keep-partial", "pipe-error", "refuse", "speed", "full flash|card"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

TEST(Program, UnreadableStateFolderIsReported) {
    StateDir dir;
    std::ofstream(dir.path() / "card.img") << "garbage";
    const ProcessResult r =
        run({VPLAYER_PROGRAM, "--state", dir.path().string(), "--listen", "127.0.0.1:0"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("card.img"), std::string::npos) << r.out;
}

} // namespace
