#include "usbip_server.h"

#include "usb_descriptors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace vplayer {

namespace {

constexpr uint16_t kVersion = 0x0111;
constexpr uint16_t kOpReqDevlist = 0x8005;
constexpr uint16_t kOpRepDevlist = 0x0005;
constexpr uint16_t kOpReqImport = 0x8003;
constexpr uint16_t kOpRepImport = 0x0003;
constexpr uint32_t kCmdSubmit = 1;
constexpr uint32_t kCmdUnlink = 2;
constexpr uint32_t kRetSubmit = 3;
constexpr uint32_t kRetUnlink = 4;
constexpr uint32_t kDirOut = 0;
constexpr uint32_t kDirIn = 1;
constexpr size_t kOpHeader = 8;
constexpr size_t kUrbHeader = 48;
constexpr size_t kBusIdBytes = 32;
constexpr size_t kPathBytes = 256;
constexpr size_t kIsoDescriptor = 16;
constexpr uint32_t kNoIsoPackets = 0xFFFFFFFF;
constexpr uint32_t kMaxIsoPackets = 1024;
// Transfers above this are refused: the host never needs more than a 48 KiB table read or a
// 16 KiB block, and the length comes from the network.
constexpr uint32_t kMaxTransfer = 1u << 20;

constexpr char kBusId[] = "1-1";
constexpr char kDevicePath[] = "/sys/devices/vplayer/1-1";
constexpr uint32_t kBusNum = 1;
constexpr uint32_t kDevNum = 2;
constexpr uint32_t kDevId = kBusNum << 16 | kDevNum;
constexpr uint32_t kSpeedHigh = 3;
constexpr uint8_t kEpNumberControl = 0;
constexpr uint8_t kEpNumberOut = usb::kEpOut & 0x0F;
constexpr uint8_t kEpNumberIn = usb::kEpIn & 0x0F;

// URB status values (negative errno, as Linux reports them).
constexpr int32_t kStatusStall = -EPIPE;
constexpr int32_t kStatusProtocol = -EPROTO;
constexpr int32_t kStatusShutdown = -ESHUTDOWN;
constexpr int32_t kStatusInvalid = -EINVAL;
constexpr int32_t kStatusNoDevice = -ENODEV;
constexpr int32_t kStatusReset = -ECONNRESET;

constexpr int kIdlePollMs = 100;
constexpr int kPendingPollMs = 1;

// Byte by byte: g++ 12 at -O2 warns falsely about insert() of a braced list.
void append(std::vector<uint8_t> &v, std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes)
        v.push_back(b);
}

void put16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x >> 8));
    v.push_back(static_cast<uint8_t>(x));
}

void put32(std::vector<uint8_t> &v, uint32_t x) {
    for (int shift = 24; shift >= 0; shift -= 8)
        v.push_back(static_cast<uint8_t>(x >> shift));
}

uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

uint16_t get16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void putFixed(std::vector<uint8_t> &v, const char *text, size_t bytes) {
    const size_t n = std::min(std::strlen(text), bytes - 1);
    v.insert(v.end(), text, text + n);
    v.insert(v.end(), bytes - n, 0);
}

// The device part shared by OP_REP_DEVLIST and OP_REP_IMPORT.
void putDevice(std::vector<uint8_t> &v) {
    putFixed(v, kDevicePath, kPathBytes);
    putFixed(v, kBusId, kBusIdBytes);
    put32(v, kBusNum);
    put32(v, kDevNum);
    put32(v, kSpeedHigh);
    put16(v, usb::kVendorId);
    put16(v, usb::kProductId);
    put16(v, usb::kBcdDevice);
    append(v, {0, 0, 0, usb::kConfigValue, 1, 1});
}

bool sendAll(int fd, const std::vector<uint8_t> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool recvAll(int fd, uint8_t *out, size_t bytes) {
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::recv(fd, out + done, bytes - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> opHeader(uint16_t code, uint32_t status) {
    std::vector<uint8_t> v;
    put16(v, kVersion);
    put16(v, code);
    put32(v, status);
    return v;
}

struct Urb {
    uint32_t seqnum = 0;
    uint32_t direction = 0;
    uint32_t ep = 0;
    Setup setup;
    std::vector<uint8_t> buffer; // OUT: the data; IN: room for the answer
    int32_t failStatus = 0;      // set when the URB is answered without the engine
};

std::vector<uint8_t> retSubmit(const Urb &urb, int32_t status, size_t actual) {
    std::vector<uint8_t> v;
    put32(v, kRetSubmit);
    put32(v, urb.seqnum);
    put32(v, 0);
    put32(v, 0);
    put32(v, 0);
    put32(v, static_cast<uint32_t>(status));
    put32(v, static_cast<uint32_t>(actual));
    put32(v, 0);
    put32(v, 0);
    put32(v, 0);
    v.insert(v.end(), 8, 0);
    if (urb.direction == kDirIn && status == 0)
        v.insert(v.end(), urb.buffer.begin(), urb.buffer.begin() + static_cast<ptrdiff_t>(actual));
    return v;
}

std::vector<uint8_t> retUnlink(uint32_t seqnum, int32_t status) {
    std::vector<uint8_t> v;
    put32(v, kRetUnlink);
    put32(v, seqnum);
    put32(v, 0);
    put32(v, 0);
    put32(v, 0);
    put32(v, static_cast<uint32_t>(status));
    v.insert(v.end(), 24, 0);
    return v;
}

} // namespace

struct UsbipServer::Connection {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> finished{false};
    std::atomic<bool> importedHere{false};
    std::atomic<bool> drop{false};
};

UsbipServer::UsbipServer(Engine &engine) : m_engine(engine) {}

UsbipServer::~UsbipServer() {
    stop();
}

bool UsbipServer::listen(const std::string &host, uint16_t port, std::string &error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return false;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> guard(found, ::freeaddrinfo);
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 8) != 0) {
        error = "cannot listen on " + host + ":" + service + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &len);
    m_port = bound.ss_family == AF_INET6
                 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                 : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
    m_host = host;
    m_listenFd = fd;
    return true;
}

void UsbipServer::start() {
    m_acceptThread = std::thread([this] { acceptLoop(); });
}

void UsbipServer::stop() {
    if (m_stopping.exchange(true))
        return;
    if (m_listenFd >= 0)
        ::shutdown(m_listenFd, SHUT_RDWR);
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    std::list<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard lock(m_mutex);
        for (auto &c : m_connections)
            ::shutdown(c->fd, SHUT_RDWR);
        connections.swap(m_connections);
    }
    for (auto &c : connections) {
        if (c->thread.joinable())
            c->thread.join();
        ::close(c->fd);
    }
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    m_listenFd = -1;
}

void UsbipServer::dropImported() {
    std::lock_guard lock(m_mutex);
    for (auto &c : m_connections)
        if (c->importedHere.load()) {
            c->drop = true;
            // Reading stops at once (the loop wakes); a failure the engine just reported
            // still goes out before the connection closes.
            ::shutdown(c->fd, SHUT_RD);
        }
}

void UsbipServer::reapFinished() {
    std::lock_guard lock(m_mutex);
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if ((*it)->finished.load()) {
            (*it)->thread.join();
            ::close((*it)->fd);
            it = m_connections.erase(it);
        } else {
            ++it;
        }
    }
}

void UsbipServer::acceptLoop() {
    while (!m_stopping.load()) {
        pollfd p{m_listenFd, POLLIN, 0};
        const int ready = ::poll(&p, 1, kIdlePollMs);
        reapFinished();
        if (ready <= 0)
            continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard lock(m_mutex);
        if (m_stopping.load()) {
            ::close(fd);
            break;
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        Connection &ref = *c;
        m_connections.push_back(std::move(c));
        ref.thread = std::thread([this, &ref] {
            serve(ref);
            ref.finished = true;
        });
    }
}

namespace {

// The URB loop of an imported connection. Returns when the client goes away, sends something
// malformed, or the device is unplugged or dropped.
class UrbLoop {
public:
    UrbLoop(Engine &engine, int fd, const std::atomic<bool> &stopping,
            const std::atomic<bool> &drop)
        : m_engine(engine), m_fd(fd), m_stopping(stopping), m_drop(drop) {}

    void run() {
        while (!m_stopping.load() && !m_drop.load() && m_engine.plugged()) {
            pollfd p{m_fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, m_pending.empty() ? kIdlePollMs : kPendingPollMs);
            if (ready < 0 && errno != EINTR)
                return;
            if (ready > 0 && !readCommand())
                return;
            if (!runPending())
                return;
        }
    }

    // URBs still pending when the loop ends are simply forgotten with the connection.

private:
    Engine &m_engine;
    int m_fd;
    const std::atomic<bool> &m_stopping;
    const std::atomic<bool> &m_drop;
    std::deque<Urb> m_pending;

    bool readCommand() {
        uint8_t h[kUrbHeader];
        if (!recvAll(m_fd, h, sizeof h))
            return false;
        const uint32_t command = get32(h);
        if (command == kCmdUnlink)
            return unlink(get32(h + 4), get32(h + 20));
        if (command != kCmdSubmit)
            return false;
        Urb urb;
        urb.seqnum = get32(h + 4);
        const uint32_t devid = get32(h + 8);
        urb.direction = get32(h + 12);
        urb.ep = get32(h + 16);
        const uint32_t length = get32(h + 24);
        const uint32_t isoPackets = get32(h + 32);
        if (urb.direction != kDirIn && urb.direction != kDirOut)
            return false; // cannot tell whether data follows
        if (length > kMaxTransfer)
            return false;
        urb.setup.bmRequestType = h[40];
        urb.setup.bRequest = h[41];
        urb.setup.wValue = static_cast<uint16_t>(h[42] | h[43] << 8);
        urb.setup.wIndex = static_cast<uint16_t>(h[44] | h[45] << 8);
        urb.setup.wLength = static_cast<uint16_t>(h[46] | h[47] << 8);
        urb.buffer.resize(length);
        if (urb.direction == kDirOut && length > 0 && !recvAll(m_fd, urb.buffer.data(), length))
            return false;
        if (isoPackets != 0 && isoPackets != kNoIsoPackets) {
            if (isoPackets > kMaxIsoPackets)
                return false;
            std::vector<uint8_t> skip(isoPackets * kIsoDescriptor);
            if (!recvAll(m_fd, skip.data(), skip.size()))
                return false;
            urb.failStatus = kStatusInvalid; // the player has no isochronous endpoint
        }
        if (devid != kDevId)
            urb.failStatus = kStatusNoDevice;
        else if (urb.ep == kEpNumberControl) {
            if (((urb.setup.bmRequestType & 0x80) != 0) != (urb.direction == kDirIn))
                urb.failStatus = kStatusInvalid;
            else if (urb.direction == kDirIn && urb.buffer.size() > urb.setup.wLength)
                urb.buffer.resize(urb.setup.wLength);
        } else if (!(urb.ep == kEpNumberOut && urb.direction == kDirOut) &&
                   !(urb.ep == kEpNumberIn && urb.direction == kDirIn)) {
            urb.failStatus = kStatusStall;
        }
        for (const Urb &p : m_pending)
            if (p.seqnum == urb.seqnum)
                urb.failStatus = kStatusInvalid; // a seqnum already in flight
        m_pending.push_back(std::move(urb));
        return true;
    }

    bool unlink(uint32_t seqnum, uint32_t victim) {
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it)
            if (it->seqnum == victim) {
                m_pending.erase(it);
                m_engine.transferCancelled();
                return sendAll(m_fd, retUnlink(seqnum, kStatusReset));
            }
        return sendAll(m_fd, retUnlink(seqnum, 0)); // already completed
    }

    // Gives each pending URB to the engine, in order per endpoint.
    bool runPending() {
        bool blocked[16] = {};
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            Urb &urb = *it;
            const size_t epIndex = (urb.ep & 0x0F);
            if (blocked[epIndex]) {
                ++it;
                continue;
            }
            int32_t status = urb.failStatus;
            size_t actual = 0;
            if (status == 0) {
                UrbStatus result = UrbStatus::Ok;
                if (urb.ep == kEpNumberControl)
                    result = m_engine.control(urb.setup, urb.buffer, actual);
                else if (urb.direction == kDirOut)
                    result = m_engine.bulkOut(urb.buffer, actual);
                else
                    result = m_engine.bulkIn(urb.buffer, actual);
                if (result == UrbStatus::Pending) {
                    blocked[epIndex] = true;
                    ++it;
                    continue;
                }
                if (result == UrbStatus::Stall)
                    status = kStatusStall;
                else if (result == UrbStatus::Error)
                    status = m_engine.plugged() ? kStatusProtocol : kStatusShutdown;
            }
            if (!sendAll(m_fd, retSubmit(urb, status, status == 0 ? actual : 0)))
                return false;
            it = m_pending.erase(it);
        }
        return true;
    }
};

} // namespace

void UsbipServer::serve(Connection &c) {
    uint8_t h[kOpHeader];
    if (!recvAll(c.fd, h, sizeof h) || get16(h) != kVersion)
        return;
    const uint16_t code = get16(h + 2);
    if (code == kOpReqDevlist) {
        auto reply = opHeader(kOpRepDevlist, 0);
        const bool present = m_engine.plugged();
        put32(reply, present ? 1 : 0);
        if (present) {
            putDevice(reply);
            append(reply, {usb::kClassVendor, 0, 0, 0});
        }
        sendAll(c.fd, reply);
        return;
    }
    if (code != kOpReqImport)
        return;
    char busId[kBusIdBytes + 1] = {};
    if (!recvAll(c.fd, reinterpret_cast<uint8_t *>(busId), kBusIdBytes))
        return;
    bool expected = false;
    const bool ok = std::strcmp(busId, kBusId) == 0 && m_engine.plugged() &&
                    m_imported.compare_exchange_strong(expected, true);
    auto reply = opHeader(kOpRepImport, ok ? 0 : 1);
    if (!ok) {
        sendAll(c.fd, reply);
        return;
    }
    c.importedHere = true;
    m_engine.hostReset();
    putDevice(reply);
    if (sendAll(c.fd, reply)) {
        UrbLoop loop(m_engine, c.fd, m_stopping, c.drop);
        loop.run();
    }
    m_engine.hostReset();
    c.importedHere = false;
    m_imported = false;
    ::shutdown(c.fd, SHUT_RDWR);
}

} // namespace vplayer
