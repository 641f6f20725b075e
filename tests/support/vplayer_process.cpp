#include "vplayer_process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kestousb::test {

namespace {

namespace fs = std::filesystem;

// How long a player may take to announce itself; only a guard against a hung test.
constexpr int kStartGuardMs = 30000;
constexpr int kStartStepMs = 10;

std::string firstLine(const fs::path &file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

} // namespace

SilentServer::SilentServer() {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
        ::listen(m_fd, 128) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return;
    m_port = ntohs(a.sin_port);
}

SilentServer::~SilentServer() {
    if (m_fd >= 0)
        ::close(m_fd);
}

VplayerProcess::VplayerProcess(std::string program, std::string stateDir)
    : m_program(std::move(program)), m_state(std::move(stateDir)) {
    std::error_code ec;
    if (m_state.empty()) {
        TempDir fresh("vplayer");
        m_state = fresh.release().string();
        m_ownsState = !m_state.empty();
    } else {
        fs::create_directories(m_state, ec);
    }
    if (m_state.empty())
        return;
    const fs::path addrFile = fs::path(m_state) / "vplayer.addr";
    fs::remove(addrFile, ec); // a stale one from an earlier run would name a closed port
    const std::string log = (fs::path(m_state) / "vplayer.log").string();
    std::vector<std::string> argv = {m_program, "--state", m_state, "--listen", "127.0.0.1:0"};
    auto cArgv = detail::cStrings(argv);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (::posix_spawn(&m_pid, cArgv[0], &actions, nullptr, cArgv.data(), environ) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    // The player writes HOST:PORT to DIR/vplayer.addr once it listens.
    for (int waited = 0; m_pid > 0 && waited < kStartGuardMs; waited += kStartStepMs) {
        if (fs::file_size(addrFile, ec) > 0 && !ec) {
            const std::string address = firstLine(addrFile);
            if (address.find(':') != std::string::npos) {
                m_address = address;
                break;
            }
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            m_pid = -1; // it ended before listening
            break;
        }
        ::usleep(kStartStepMs * 1000);
    }
}

VplayerProcess::~VplayerProcess() {
    stop();
    if (m_ownsState) {
        std::error_code ec;
        fs::remove_all(m_state, ec);
    }
}

int VplayerProcess::stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        m_status = detail::exitStatus(m_pid);
        m_pid = -1;
    }
    return m_status;
}

std::string VplayerProcess::port() const {
    return m_address.substr(m_address.rfind(':') + 1);
}

std::string VplayerProcess::log() const {
    std::ifstream in(fs::path(m_state) / "vplayer.log", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int VplayerProcess::ctl(const std::vector<std::string> &args) const {
    return ctlRun(args).exitCode;
}

ProcessResult VplayerProcess::ctlRun(const std::vector<std::string> &args) const {
    std::vector<std::string> argv = {m_program, "ctl", "--state", m_state};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, {}, Output::Merged);
}

} // namespace kestousb::test
