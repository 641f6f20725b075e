#include "usbip_stub_server.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestousb::test {

namespace {

bool readAll(int fd, uint8_t *p, size_t n) {
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void writeAll(int fd, const Raw &data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t w = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (w <= 0)
            return;
        done += static_cast<size_t>(w);
    }
}

// Interface 0, class 0xFF, bulk OUT 0x01 and bulk IN 0x82 (512 bytes).
const Raw kConfiguration = {9, 2, 32,   0, 1,    1,    0, 0x80, 50, // configuration
                            9, 4, 0,    0, 2,    0xFF, 0, 0,    0,  // interface
                            7, 5, 0x01, 2, 0x00, 0x02, 0,           // bulk OUT
                            7, 5, 0x82, 2, 0x00, 0x02, 0};          // bulk IN

} // namespace

Raw deviceRecord(const std::string &busId, uint16_t vendor, uint16_t product,
                 uint8_t numInterfaces) {
    Raw r(256 + 32, 0);
    std::memcpy(r.data(), "/sys/devices/stub/1-1", 21);
    std::memcpy(r.data() + 256, busId.data(), std::min<size_t>(busId.size(), 32));
    be32(r, 1); // busnum
    be32(r, 2); // devnum
    be32(r, 3); // speed
    be16(r, vendor);
    be16(r, product);
    be16(r, 0x0100);
    r.insert(r.end(), {0, 0, 0, 1, 1, numInterfaces});
    return r;
}

Raw retSubmit(uint32_t seqnum, int32_t status, uint32_t actual, const Raw &data) {
    Raw r;
    be32(r, 3);
    be32(r, seqnum);
    be32(r, 0);
    be32(r, 0);
    be32(r, 0);
    be32(r, static_cast<uint32_t>(status));
    be32(r, actual);
    be32(r, 0);
    be32(r, 0xFFFFFFFF);
    be32(r, 0);
    r.resize(48, 0);
    r.insert(r.end(), data.begin(), data.end());
    return r;
}

Raw StubServer::playerDevlist() {
    Raw r;
    be16(r, 0x0111);
    be16(r, 0x0005);
    be32(r, 0);
    be32(r, 1);
    const Raw dev = deviceRecord("1-1", 0x1209, 0x0001, 1);
    r.insert(r.end(), dev.begin(), dev.end());
    r.insert(r.end(), {0xFF, 0, 0, 0});
    return r;
}

Raw StubServer::playerImport() {
    Raw r;
    be16(r, 0x0111);
    be16(r, 0x0003);
    be32(r, 0);
    const Raw dev = deviceRecord("1-1", 0x1209, 0x0001, 1);
    r.insert(r.end(), dev.begin(), dev.end());
    return r;
}

Raw StubServer::defaultAnswer(const Urb &urb) {
    if (urb.ep == 0 && urb.setup[0] == 0x80 && urb.setup[1] == 6) { // GET_DESCRIPTOR
        const size_t n = std::min<size_t>(urb.length, kConfiguration.size());
        return retSubmit(urb.seqnum, 0, static_cast<uint32_t>(n),
                         Raw(kConfiguration.begin(), kConfiguration.begin() + n));
    }
    if (urb.ep == 0 && urb.setup[0] == 0x80 && urb.setup[1] == 0) // GET_STATUS
        return retSubmit(urb.seqnum, 0, 2, {0, 0});
    if (urb.ep == 0 && urb.setup[0] == 0xC0) // handshake poll: ready
        return retSubmit(urb.seqnum, 0, 1, {0x40});
    if (urb.direction == 0)
        return retSubmit(urb.seqnum, 0, urb.length);
    return retSubmit(urb.seqnum, 0, urb.length, Raw(urb.length, 0));
}

StubServer::StubServer() : m_devlist(playerDevlist()), m_import(playerImport()) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(m_listen, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(m_listen, 4) != 0 ||
        ::getsockname(m_listen, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return;
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { serve(); });
}

StubServer::~StubServer() {
    m_stop = true;
    ::shutdown(m_listen, SHUT_RDWR);
    if (m_thread.joinable())
        m_thread.join();
    ::close(m_listen);
}

void StubServer::setDevlistReply(Raw reply) {
    std::lock_guard lock(m_mutex);
    m_devlist = std::move(reply);
}
void StubServer::setImportReply(Raw reply) {
    std::lock_guard lock(m_mutex);
    m_import = std::move(reply);
}
void StubServer::setUrbHandler(UrbHandler handler) {
    std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
}

void StubServer::serve() {
    while (!m_stop) {
        pollfd p{m_listen, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        handle(fd);
        ::close(fd);
    }
}

void StubServer::handle(int fd) {
    uint8_t op[8];
    if (!readAll(fd, op, sizeof op))
        return;
    const uint16_t code = static_cast<uint16_t>(op[2] << 8 | op[3]);
    if (code == 0x8005) {
        std::lock_guard lock(m_mutex);
        writeAll(fd, m_devlist);
        return;
    }
    if (code != 0x8003)
        return;
    uint8_t busId[32];
    if (!readAll(fd, busId, sizeof busId))
        return;
    ++m_importRequests;
    if (m_refusedImports > 0) {
        --m_refusedImports;
        std::lock_guard lock(m_mutex);
        Raw refused(m_import.begin(), m_import.begin() + 8); // the header alone
        refused[7] = 1;
        writeAll(fd, refused);
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        writeAll(fd, m_import);
    }
    while (!m_stop) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        uint8_t h[48];
        if (!readAll(fd, h, sizeof h))
            return;
        Urb urb{readBe32(h),
                readBe32(h + 4),
                readBe32(h + 8),
                readBe32(h + 12),
                readBe32(h + 16),
                readBe32(h + 24),
                {},
                {}};
        std::memcpy(urb.setup, h + 40, 8);
        urb.victim = readBe32(h + 20);
        if (urb.command == 1 && urb.direction == 0 && urb.length > 0) {
            urb.out.resize(urb.length);
            if (!readAll(fd, urb.out.data(), urb.length))
                return;
        }
        if (m_drop.exchange(false))
            return;
        UrbHandler handler;
        {
            std::lock_guard lock(m_mutex);
            handler = m_handler;
        }
        writeAll(fd, handler ? handler(urb) : defaultAnswer(urb));
    }
}

} // namespace kestousb::test
