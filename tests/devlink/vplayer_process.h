// The virtual player as a separate process, for tests that go over the real USB/IP link, and a
// small runner for command-line programs (kesto, usbip) that captures their output.
#pragma once

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace kestousb::test {

struct ProcessResult {
    int exitCode = -1; // -1 when the program could not run or was killed
    std::string out;
    std::string err;
};

// Runs `argv` to its end with `env` ("NAME=value") added to this process's environment.
ProcessResult runProcess(const std::vector<std::string> &argv,
                         const std::vector<std::string> &env = {});

class VplayerProcess {
public:
    // Starts `program --state <fresh temporary folder> --listen 127.0.0.1:0` and waits for its
    // "listening on HOST:PORT" line. started() tells whether that worked. A given `stateDir`
    // (which must exist) is used instead of a fresh folder; its content is removed at the end.
    explicit VplayerProcess(std::string program, std::string stateDir = {});
    ~VplayerProcess(); // stops the player and removes its folder
    VplayerProcess(const VplayerProcess &) = delete;
    VplayerProcess &operator=(const VplayerProcess &) = delete;

    bool started() const { return m_pid > 0 && !m_address.empty(); }
    const std::string &address() const { return m_address; } // "127.0.0.1:PORT"
    std::string port() const;
    const std::string &stateDir() const { return m_state; }

    // `program ctl --state DIR args...`; its exit status (0 carried out).
    int ctl(const std::vector<std::string> &args) const;

private:
    std::string m_program;
    std::string m_state;
    std::string m_address;
    pid_t m_pid = -1;
};

} // namespace kestousb::test
