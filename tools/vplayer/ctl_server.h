// The control interface of a running virtual player: a Unix socket (DIR/ctl.sock) that takes one
// command line per connection ("card out\n") and answers "ok\n" followed by any output, or
// "error: MESSAGE\n".
#pragma once

#include "engine.h"

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace vplayer {

struct CtlResult {
    bool ok = false;
    std::string output; // the status text, or the reason of a refusal
};

// Carries out one control command on the engine (the words after "ctl --state DIR").
CtlResult runControlCommand(Engine &engine, const std::vector<std::string> &words);

class CtlServer {
public:
    explicit CtlServer(Engine &engine);
    ~CtlServer();
    CtlServer(const CtlServer &) = delete;
    CtlServer &operator=(const CtlServer &) = delete;

    bool listen(const std::filesystem::path &socketPath, std::string &error);
    void start();
    void stop(); // also removes the socket file

private:
    Engine &m_engine;
    std::filesystem::path m_path;
    int m_fd = -1;
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
    void loop();
};

// Client side: sends `words` to the instance listening on `socketPath`. false with `error` when
// no instance answers.
bool sendControlCommand(const std::filesystem::path &socketPath,
                        const std::vector<std::string> &words, CtlResult &result,
                        std::string &error);

} // namespace vplayer
