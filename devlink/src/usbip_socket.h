// A TCP socket with deadlines: every wait on the server ends by a given time point, so that a
// server that stops answering can never block the library for longer than its limit.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kestousb::usbip {

using Clock = std::chrono::steady_clock;

class Socket {
public:
    Socket() = default;
    ~Socket();
    Socket(Socket &&other) noexcept;
    Socket &operator=(Socket &&other) noexcept;
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    // Connects to host:port; false when the server refuses, is unknown or does not accept
    // within `limit`.
    bool connect(const std::string &host, uint16_t port, std::chrono::milliseconds limit);

    bool sendAll(const uint8_t *data, size_t count, Clock::time_point deadline);
    // Exactly `count` bytes, or false (closed by the server, error, deadline passed).
    bool recvAll(uint8_t *data, size_t count, Clock::time_point deadline);

    // Ends the connection for both directions; a thread waiting on it wakes up and fails.
    void shutdown();
    bool isOpen() const { return m_fd >= 0; }

private:
    bool waitFor(short events, Clock::time_point deadline);
    int m_fd = -1;
};

} // namespace kestousb::usbip
