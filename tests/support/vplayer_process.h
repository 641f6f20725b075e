// The virtual player as a separate process, for everything that goes over the real USB/IP link,
// and a server that never answers, listed before it to test the asker's limits.
#pragma once

#include "process.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kestousb::test {

// A USB/IP server that takes connections on a loopback port and never answers: every request
// sent to it waits out the asker's limit.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    SilentServer(const SilentServer &) = delete;
    SilentServer &operator=(const SilentServer &) = delete;

    bool ok() const { return m_port != 0; }
    std::string address() const { return "127.0.0.1:" + std::to_string(m_port); }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
};

class VplayerProcess {
public:
    // Starts `program --state DIR --listen 127.0.0.1:0` and waits for the address the player
    // writes to DIR/vplayer.addr once it listens; started() tells whether that worked. Without a
    // `stateDir` the player gets a fresh folder that goes with this object; a given folder is
    // made if missing and left as it is. The player's stdout and stderr go to DIR/vplayer.log.
    explicit VplayerProcess(std::string program, std::string stateDir = {});
    ~VplayerProcess(); // stops the player (and removes a folder of its own)
    VplayerProcess(const VplayerProcess &) = delete;
    VplayerProcess &operator=(const VplayerProcess &) = delete;

    bool started() const { return m_pid > 0 && !m_address.empty(); }
    const std::string &address() const { return m_address; } // "127.0.0.1:PORT"
    std::string port() const;
    const std::string &stateDir() const { return m_state; }
    pid_t pid() const { return m_pid; }
    // What the player wrote so far (stdout and stderr).
    std::string log() const;

    // Ends the player with SIGTERM; its exit status (-1 when it was killed by a signal or did
    // not run). Later calls return the same status.
    int stop();

    // `program ctl --state DIR args...`: its exit status (0 carried out), or its whole run.
    int ctl(const std::vector<std::string> &args) const;
    ProcessResult ctlRun(const std::vector<std::string> &args) const;

private:
    std::string m_program;
    std::string m_state;
    bool m_ownsState = false;
    std::string m_address;
    pid_t m_pid = -1;
    int m_status = -1;
};

} // namespace kestousb::test
