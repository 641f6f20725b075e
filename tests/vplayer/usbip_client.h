// A small raw USB/IP client for the server tests, written from the protocol's documentation
// (big-endian headers, 48-byte URB headers) and independent of the server's code.
#pragma once

#include "wire.h"

#include <arpa/inet.h>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace usbiptest {

using kestousb::test::be16;
using kestousb::test::be32;
using kestousb::test::Bytes;
using kestousb::test::readBe16;
using kestousb::test::readBe32;

// One TCP connection; reads give up after a few seconds so that a server fault fails the test
// instead of hanging it.
class Socket {
public:
    explicit Socket(uint16_t port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval tv{5, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~Socket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    bool connected() const { return m_connected; }
    void close() {
        ::close(m_fd);
        m_fd = -1;
    }

    bool send(const Bytes &b) {
        return ::send(m_fd, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }

    // Exactly n bytes, or nullopt when the server closed the connection (or went silent).
    std::optional<Bytes> recv(size_t n) {
        Bytes b(n);
        size_t done = 0;
        while (done < n) {
            const ssize_t r = ::recv(m_fd, b.data() + done, n - done, 0);
            if (r <= 0)
                return std::nullopt;
            done += static_cast<size_t>(r);
        }
        return b;
    }

    // true when the server has closed its side (recv gives end of file).
    bool closedByPeer() {
        uint8_t byte;
        return ::recv(m_fd, &byte, 1, 0) == 0;
    }

    // Is anything waiting to be read (without blocking)?
    bool hasData() {
        uint8_t byte;
        return ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
    }

private:
    int m_fd = -1;
    bool m_connected = false;
};

inline Bytes opRequest(uint16_t code) {
    Bytes b;
    be16(b, 0x0111);
    be16(b, code);
    be32(b, 0);
    return b;
}

inline Bytes importRequest(const std::string &busId) {
    Bytes b = opRequest(0x8003);
    Bytes id(32, 0);
    std::memcpy(id.data(), busId.data(), std::min<size_t>(busId.size(), 32));
    b.insert(b.end(), id.begin(), id.end());
    return b;
}

struct Submit {
    uint32_t seqnum = 1;
    uint32_t devid = 0x00010002;
    uint32_t direction = 0; // 0 out, 1 in
    uint32_t ep = 0;
    uint32_t length = 0;
    uint32_t isoPackets = 0;
    uint8_t setup[8] = {};
    Bytes data; // OUT data
};

inline Bytes submitRequest(const Submit &s) {
    Bytes b;
    be32(b, 1);
    be32(b, s.seqnum);
    be32(b, s.devid);
    be32(b, s.direction);
    be32(b, s.ep);
    be32(b, 0); // transfer flags
    be32(b, s.length);
    be32(b, 0); // start frame
    be32(b, s.isoPackets);
    be32(b, 0); // interval
    b.insert(b.end(), s.setup, s.setup + 8);
    b.insert(b.end(), s.data.begin(), s.data.end());
    return b;
}

inline Bytes unlinkRequest(uint32_t seqnum, uint32_t victim) {
    Bytes b;
    be32(b, 2);
    be32(b, seqnum);
    be32(b, 0x00010002);
    be32(b, 0);
    be32(b, 0);
    be32(b, victim);
    b.insert(b.end(), 24, 0);
    return b;
}

struct Ret {
    uint32_t command = 0;
    uint32_t seqnum = 0;
    int32_t status = 0;
    uint32_t actual = 0;
    Bytes data;
};

// Reads one RET_SUBMIT or RET_UNLINK; `inDirection` tells whether IN data follows a submit.
inline std::optional<Ret> readRet(Socket &s, bool inDirection) {
    const auto h = s.recv(48);
    if (!h)
        return std::nullopt;
    Ret r;
    r.command = readBe32(*h, 0);
    r.seqnum = readBe32(*h, 4);
    r.status = static_cast<int32_t>(readBe32(*h, 20));
    r.actual = r.command == 3 ? readBe32(*h, 24) : 0;
    if (r.command == 3 && inDirection && r.status == 0 && r.actual > 0) {
        const auto d = s.recv(r.actual);
        if (!d)
            return std::nullopt;
        r.data = *d;
    }
    return r;
}

} // namespace usbiptest
