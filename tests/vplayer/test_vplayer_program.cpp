// tunara-vplayer as a process: start-up output and address file, the control commands through
// the socket, and Debian's usbip client listing the device.
#include "ctl_server.h"
#include "host_side.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using hosttest::StateDir;

namespace {

struct ProcessRun {
    int status = -1;
    std::string out;
};

// Runs a program to its end; stdout and stderr together.
ProcessRun run(std::vector<std::string> argv) {
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        ::close(fds[1]);
        std::vector<char *> args;
        for (auto &a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    ProcessRun r;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
        r.out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// The virtual player started on a free port; stopped with SIGTERM at the end.
class Program {
public:
    explicit Program(const std::filesystem::path &dir) {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            ::close(fds[1]);
            ::execl(VPLAYER_PROGRAM, VPLAYER_PROGRAM, "--state", dir.c_str(), "--listen",
                    "127.0.0.1:0", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        // The first line tells the address; reading it waits until the server listens.
        char ch = 0;
        while (::read(fds[0], &ch, 1) == 1 && ch != '\n')
            m_firstLine.push_back(ch);
        m_out = fds[0];
    }
    ~Program() { stop(); }

    int stop() {
        if (m_pid <= 0)
            return m_status;
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        ::close(m_out);
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return m_status;
    }

    const std::string &firstLine() const { return m_firstLine; }
    std::string port() const { return m_firstLine.substr(m_firstLine.rfind(':') + 1); }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    int m_status = -1;
    std::string m_firstLine;
};

ProcessRun ctl(const std::filesystem::path &dir, std::vector<std::string> words) {
    std::vector<std::string> argv{VPLAYER_PROGRAM, "ctl", "--state", dir.string()};
    argv.insert(argv.end(), words.begin(), words.end());
    return run(argv);
}

ProcessRun usbipList(const std::string &port) {
    return run({USBIP_PROGRAM, "--tcp-port", port, "list", "-r", "127.0.0.1"});
}

TEST(Program, ListensTellsItsAddressAndCleansUp) {
    StateDir dir;
    Program p(dir.path());
    ASSERT_EQ(p.firstLine().rfind("listening on 127.0.0.1:", 0), 0u) << p.firstLine();
    std::ifstream addr(dir.path() / "vplayer.addr");
    std::string text;
    std::getline(addr, text);
    EXPECT_EQ("listening on " + text, p.firstLine());
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "ctl.sock"));
    EXPECT_EQ(p.stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "vplayer.addr"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "ctl.sock"));
}

TEST(Program, UsbipClientListsTheVendorSpecificDevice) {
    StateDir dir;
    Program p(dir.path());
    const ProcessRun list = usbipList(p.port());
    EXPECT_EQ(list.status, 0) << list.out;
    EXPECT_NE(list.out.find("1-1"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("1209:0001"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("(ff/00/00)"), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("Vendor Specific"), std::string::npos) << list.out;

    ASSERT_EQ(ctl(dir.path(), {"unplug"}).status, 0);
    const ProcessRun gone = usbipList(p.port());
    EXPECT_EQ(gone.out.find("1209:0001"), std::string::npos) << gone.out;
    ASSERT_EQ(ctl(dir.path(), {"plug"}).status, 0);
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
    Program p(dir.path());
    const ProcessRun r = ctl(dir.path(), GetParam().words);
    EXPECT_EQ(r.status, GetParam().status) << r.out;
    if (GetParam().status == 1) {
        EXPECT_NE(r.out.find("tunara-vplayer ctl: "), std::string::npos) << r.out;
    }
    if (*GetParam().statusLine) {
        const ProcessRun s = ctl(dir.path(), {"status"});
        EXPECT_EQ(s.status, 0);
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
    const ProcessRun r = ctl(dir.path(), {"status"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("no virtual player answers"), std::string::npos) << r.out;
    EXPECT_EQ(run({VPLAYER_PROGRAM, "ctl", "status"}).status, 2);
}

TEST(Program, BadArgumentsAndHelp) {
    EXPECT_EQ(run({VPLAYER_PROGRAM}).status, 2);
    EXPECT_EQ(run({VPLAYER_PROGRAM, "--state", "/tmp/x", "--listen", "nohost"}).status, 2);
    EXPECT_EQ(run({VPLAYER_PROGRAM, "--state", "/tmp/x", "--listen", "127.0.0.1:99999"}).status, 2);
    const ProcessRun help = run({VPLAYER_PROGRAM, "--help"});
    EXPECT_EQ(help.status, 0);
    for (const char *word : {"never-ready", "unplug-after", "drop-stream", "short-block",
                             "pipe-error", "refuse", "speed", "full flash|card"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

TEST(Program, UnreadableStateFolderIsReported) {
    StateDir dir;
    std::ofstream(dir.path() / "card.img") << "garbage";
    const ProcessRun r =
        run({VPLAYER_PROGRAM, "--state", dir.path().string(), "--listen", "127.0.0.1:0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("card.img"), std::string::npos) << r.out;
}

} // namespace
