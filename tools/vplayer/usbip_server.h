// The USB/IP server in front of the engine: exports the virtual player as bus id "1-1" (protocol
// version 0x0111). Devices are listed and imported on TCP connections; an imported connection
// then carries USBIP_CMD_SUBMIT / USBIP_CMD_UNLINK for endpoint 0 and the two bulk endpoints.
// Everything the client sends is checked: a malformed request drops its connection, a request
// the device cannot serve completes with an error status.
#pragma once

#include "engine.h"

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vplayer {

class UsbipServer {
public:
    explicit UsbipServer(Engine &engine);
    ~UsbipServer(); // stops and joins every thread
    UsbipServer(const UsbipServer &) = delete;
    UsbipServer &operator=(const UsbipServer &) = delete;

    // Binds and listens (port 0 picks a free port). false with `error` set on failure.
    bool listen(const std::string &host, uint16_t port, std::string &error);
    // Serves connections on a thread of its own until stop().
    void start();
    void stop();

    std::string host() const { return m_host; }
    uint16_t port() const { return m_port; }
    bool imported() const { return m_imported.load(); }

    // The connection that imported the device is dropped (called when the player unplugs).
    void dropImported();

private:
    struct Connection;
    Engine &m_engine;
    int m_listenFd = -1;
    std::string m_host;
    uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<bool> m_imported{false};
    std::thread m_acceptThread;
    std::mutex m_mutex; // guards m_connections
    std::list<std::unique_ptr<Connection>> m_connections;

    void acceptLoop();
    void serve(Connection &c);
    void reapFinished();
};

} // namespace vplayer
