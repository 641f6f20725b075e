#include "vplayer_process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kestousb::test {

namespace {

// How long a child may take to announce itself; only a guard against a hung test.
constexpr int kStartGuardMs = 20000;
constexpr int kStartStepMs = 10;

std::vector<char *> cStrings(std::vector<std::string> &strings) {
    std::vector<char *> out;
    for (std::string &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

std::vector<std::string> environmentWith(const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string &x : extra)
            replaced = replaced || x.substr(0, x.find('=')) == name;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

void drain(int fd, std::string &into) {
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0)
        into.append(buf, static_cast<size_t>(n));
}

} // namespace

ProcessResult runProcess(const std::vector<std::string> &argvIn,
                         const std::vector<std::string> &envExtra) {
    ProcessResult result;
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return result;
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    std::vector<std::string> argv = argvIn;
    std::vector<std::string> env = environmentWith(envExtra);
    auto cArgv = cStrings(argv);
    auto cEnv = cStrings(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, cArgv[0], &actions, nullptr, cArgv.data(), cEnv.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned == 0) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        int open = 2;
        while (open > 0) {
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                break;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                std::string &into = i == 0 ? result.out : result.err;
                const size_t before = into.size();
                drain(fds[i].fd, into);
                if (into.size() == before) {
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
        int status = 0;
        if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            result.exitCode = WEXITSTATUS(status);
    }
    ::close(out[0]);
    ::close(err[0]);
    return result;
}

VplayerProcess::VplayerProcess(std::string program, std::string stateDir)
    : m_program(std::move(program)) {
    std::string templ = (std::filesystem::temp_directory_path() / "vplayer-XXXXXX").string();
    if (!stateDir.empty())
        templ = stateDir;
    else if (!::mkdtemp(templ.data()))
        return;
    m_state = templ;
    std::vector<std::string> argv = {m_program, "--state", m_state, "--listen", "127.0.0.1:0"};
    auto cArgv = cStrings(argv);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (::posix_spawn(&m_pid, cArgv[0], &actions, nullptr, cArgv.data(), environ) != 0)
        m_pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    // The player writes HOST:PORT to DIR/vplayer.addr once it listens.
    const std::filesystem::path addrFile = std::filesystem::path(m_state) / "vplayer.addr";
    for (int waited = 0; m_pid > 0 && waited < kStartGuardMs; waited += kStartStepMs) {
        std::error_code ec;
        if (std::filesystem::file_size(addrFile, ec) > 0 && !ec) {
            std::FILE *f = std::fopen(addrFile.c_str(), "r");
            char line[128] = {};
            if (f && std::fgets(line, sizeof line, f)) {
                m_address = line;
                while (!m_address.empty() && (m_address.back() == '\n' || m_address.back() == '\r'))
                    m_address.pop_back();
            }
            if (f)
                std::fclose(f);
            if (m_address.find(':') != std::string::npos)
                break;
            m_address.clear();
        }
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1; // it ended before listening
            break;
        }
        ::usleep(kStartStepMs * 1000);
    }
}

VplayerProcess::~VplayerProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    if (!m_state.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_state, ec);
    }
}

std::string VplayerProcess::port() const {
    return m_address.substr(m_address.rfind(':') + 1);
}

int VplayerProcess::ctl(const std::vector<std::string> &args) const {
    std::vector<std::string> argv = {m_program, "ctl", "--state", m_state};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv).exitCode;
}

} // namespace kestousb::test
