#include "process.h"

#include <algorithm>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kestousb::test {

namespace {

namespace fs = std::filesystem;

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

// Reads what is there; false at the end of the stream or on an error.
bool drain(int fd, std::string &into) {
    char buf[4096];
    ssize_t n;
    do
        n = ::read(fd, buf, sizeof buf);
    while (n < 0 && errno == EINTR);
    if (n > 0)
        into.append(buf, static_cast<size_t>(n));
    return n > 0;
}

} // namespace

namespace detail {

std::vector<char *> cStrings(std::vector<std::string> &strings) {
    std::vector<char *> out;
    for (std::string &s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

int exitStatus(pid_t pid) {
    int status = 0;
    pid_t waited;
    do
        waited = ::waitpid(pid, &status, 0);
    while (waited < 0 && errno == EINTR);
    return waited == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace detail

ProcessResult runProcess(const std::vector<std::string> &argvIn,
                         const std::vector<std::string> &envExtra, Output output) {
    ProcessResult result;
    int out[2], err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0)
        return result;
    if (output == Output::Separate && ::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    std::vector<std::string> argv = argvIn;
    std::vector<std::string> env = environmentWith(envExtra);
    auto cArgv = detail::cStrings(argv);
    auto cEnv = detail::cStrings(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output == Output::Separate ? err[1] : out[1],
                                     STDERR_FILENO);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawnp(&pid, cArgv[0], &actions, nullptr, cArgv.data(), cEnv.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (err[1] >= 0)
        ::close(err[1]);
    if (spawned == 0) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
        int open = err[0] >= 0 ? 2 : 1;
        while (open > 0) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                if (!drain(fds[i].fd, i == 0 ? result.out : result.err)) {
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
        result.exitCode = detail::exitStatus(pid);
    }
    ::close(out[0]);
    if (err[0] >= 0)
        ::close(err[0]);
    return result;
}

std::filesystem::path scratchPath(const std::string &prefix, std::string testName) {
    std::replace(testName.begin(), testName.end(), '/', '_');
    return std::filesystem::temp_directory_path() /
           (prefix + "_" + std::to_string(getpid()) + "_" + testName);
}

TempDir::TempDir(const std::string &prefix) {
    std::string templ = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(templ.data()))
        m_path = templ;
}

TempDir::~TempDir() {
    if (m_path.empty())
        return;
    // A test may have taken the folder's own rights away.
    std::error_code ec;
    fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_path, ec);
}

fs::path TempDir::release() {
    fs::path kept;
    kept.swap(m_path);
    return kept;
}

} // namespace kestousb::test
