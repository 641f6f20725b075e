#include "usbip_socket.h"

#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestousb::usbip {

namespace {

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return 0;
    return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

} // namespace

Socket::~Socket() {
    if (m_fd >= 0)
        ::close(m_fd);
}

Socket::Socket(Socket &&other) noexcept : m_fd(other.m_fd) {
    other.m_fd = -1;
}

Socket &Socket::operator=(Socket &&other) noexcept {
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

bool Socket::waitFor(short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{m_fd, events, 0};
        const int r = ::poll(&p, 1, remainingMs(deadline));
        if (r > 0)
            return true; // readable, writable, or an error that the next call reports
        if (r == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

bool Socket::connect(const std::string &host, uint16_t port, std::chrono::milliseconds limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return false;
    bool connected = false;
    for (addrinfo *ai = found; ai && !connected; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                ai->ai_protocol);
        if (fd < 0)
            continue;
        Socket candidate;
        candidate.m_fd = fd;
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            if (errno != EINPROGRESS || !candidate.waitFor(POLLOUT, deadline))
                continue;
            int error = 0;
            socklen_t len = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
                continue;
        }
        // Transfers are small request/answer pairs; Nagle's delay would cost every poll.
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        *this = std::move(candidate);
        connected = true;
    }
    ::freeaddrinfo(found);
    return connected;
}

bool Socket::sendAll(const uint8_t *data, size_t count, Clock::time_point deadline) {
    while (count > 0) {
        if (m_fd < 0)
            return false;
        const ssize_t n = ::send(m_fd, data, count, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            count -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(POLLOUT, deadline))
            continue;
        return false;
    }
    return true;
}

bool Socket::recvAll(uint8_t *data, size_t count, Clock::time_point deadline) {
    while (count > 0) {
        if (m_fd < 0)
            return false;
        const ssize_t n = ::recv(m_fd, data, count, 0);
        if (n > 0) {
            data += n;
            count -= static_cast<size_t>(n);
            continue;
        }
        if (n == 0)
            return false; // the server closed the connection
        if (errno == EINTR)
            continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(POLLIN, deadline))
            continue;
        return false;
    }
    return true;
}

void Socket::shutdown() {
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RDWR);
}

} // namespace kestousb::usbip
