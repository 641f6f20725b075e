#include "usbip_connection.h"

#include "byteorder.h"
#include "transport.h"
#include "usbip_backend.h"
#include "usbip_wire.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

namespace kestousb {

namespace {

using usbip::Clock;
using usbip::Socket;

// Standard requests and descriptor facts the client relies on.
constexpr uint8_t kRequestGetStatus = 0x00;
constexpr uint8_t kRequestGetDescriptor = 0x06;
constexpr uint8_t kStandardIn = 0x80;
constexpr uint8_t kVendorIn = 0xC0;
constexpr uint16_t kConfigurationDescriptor = 0x0200;
constexpr uint8_t kEndpointDirIn = 0x80;
constexpr size_t kConfigHeaderSize = 9;
constexpr size_t kMaxConfigSize = 4096;
constexpr uint32_t kControlEndpoint = 0;
constexpr size_t kStatusSize = 2;
constexpr uint32_t kNoIsoPackets = 0xFFFFFFFF; // "not isochronous" in number_of_packets

// One imported device: every transfer is a CMD_SUBMIT answered by its RET_SUBMIT on the same
// TCP connection. The three logical handles of the player share it.
class UsbipConnection : public DeviceConnection {
    // One URB in flight.
    struct Urb {
        uint32_t seqnum;
        size_t length;
    };

public:
    UsbipConnection(Socket socket, uint32_t devid, std::string path)
        : m_socket(std::move(socket)), m_devid(devid), m_path(std::move(path)) {}

    bool setUp() {
        // Endpoint addresses from the configuration descriptor: 9 bytes for its total length,
        // then the whole of it.
        uint8_t head[kConfigHeaderSize] = {};
        size_t got = 0;
        if (!control(kStandardIn, kRequestGetDescriptor, kConfigurationDescriptor, 0, head,
                     sizeof head, got) ||
            got < 4)
            return false;
        // wTotalLength is little-endian, like every USB descriptor field.
        const size_t total = std::min<size_t>(getLe16(head + 2), kMaxConfigSize);
        std::vector<uint8_t> config(std::max(total, kConfigHeaderSize));
        if (!control(kStandardIn, kRequestGetDescriptor, kConfigurationDescriptor, 0, config.data(),
                     config.size(), got))
            return false;
        config.resize(got);
        const auto endpoints = findPlayerEndpoints(config);
        if (!endpoints)
            return false;
        m_endpoints = *endpoints;
        return true;
    }

    bool probe() override {
        uint8_t status[kStatusSize] = {};
        size_t got = 0;
        return control(kStandardIn, kRequestGetStatus, 0, 0, status, sizeof status, got) &&
               got == kStatusSize;
    }

    bool bulkWrite(const uint8_t *data, size_t count, size_t &transferred) override {
        transferred = 0;
        const uint8_t setup[8] = {};
        return submit(usbip::kDirOut, m_endpoints.bulkOut & 0x0F, setup,
                      const_cast<uint8_t *>(data), count, transferred, usbipLimits().pipe);
    }

    bool bulkRead(uint8_t *data, size_t count, size_t &transferred) override {
        static constexpr uint8_t kNoSetup[8] = {};
        transferred = 0;
        std::lock_guard lock(m_mutex);
        if (!cancel(m_writes, usbip::kDirOut) || (m_ahead.count != count && !endReadAhead()))
            return false;
        if (m_broken || count > UINT32_MAX)
            return false;
        const bool streaming = m_ahead.count != 0 && m_ahead.count == count;
        const Clock::time_point deadline =
            Clock::now() + (streaming ? m_ahead.limit : usbipLimits().pipe);
        uint32_t seqnum = 0;
        if (!m_ahead.urbs.empty()) {
            seqnum = m_ahead.urbs.front().seqnum;
            m_ahead.urbs.pop_front();
        } else {
            if (m_ahead.reads > 0)
                --m_ahead.reads;
            if (!sendSubmit(usbip::kDirIn, m_endpoints.bulkIn & 0x0F, kNoSetup, nullptr, count,
                            deadline, seqnum))
                return fail();
        }
        // The next blocks are asked for before this one is read, so that the server has them
        // on their way while the caller handles this one.
        while (m_ahead.reads > 0 && m_ahead.urbs.size() + 1 < m_ahead.depth) {
            uint32_t next = 0;
            if (!sendSubmit(usbip::kDirIn, m_endpoints.bulkIn & 0x0F, kNoSetup, nullptr, count,
                            deadline, next))
                return fail();
            --m_ahead.reads;
            m_ahead.urbs.push_back({next, count});
        }
        return receive(usbip::kDirIn, seqnum, data, count, transferred, deadline);
    }

    void readAhead(size_t count, size_t reads) override {
        std::lock_guard lock(m_mutex);
        endReadAhead();
        if (count > 0 && reads > 0) {
            m_ahead.count = count;
            m_ahead.reads = reads;
            // Taken once for the stream rather than under the library's lock for every block.
            m_ahead.depth = transferDepth();
            m_ahead.limit = usbipLimits().pipe;
        }
    }

    // The block goes out with its CMD_SUBMIT at once; its RET_SUBMIT is read by finishWrite.
    bool queueWrite(const uint8_t *data, size_t count) override {
        static constexpr uint8_t kNoSetup[8] = {};
        std::lock_guard lock(m_mutex);
        if (!endReadAhead() || m_broken || count > UINT32_MAX)
            return false;
        uint32_t seqnum = 0;
        if (!sendSubmit(usbip::kDirOut, m_endpoints.bulkOut & 0x0F, kNoSetup, data, count,
                        Clock::now() + usbipLimits().pipe, seqnum))
            return fail();
        m_writes.push_back({seqnum, count});
        return true;
    }

    bool finishWrite(size_t &transferred) override {
        transferred = 0;
        std::lock_guard lock(m_mutex);
        if (m_writes.empty() || m_broken)
            return false;
        const Urb oldest = m_writes.front();
        m_writes.pop_front();
        return receive(usbip::kDirOut, oldest.seqnum, nullptr, oldest.length, transferred,
                       Clock::now() + usbipLimits().pipe);
    }

    void dropWrites() override {
        std::lock_guard lock(m_mutex);
        cancel(m_writes, usbip::kDirOut);
    }

    bool vendorRequest(uint8_t request, uint16_t value, uint16_t index, uint8_t &answer) override {
        uint8_t byte = 0;
        size_t got = 0;
        if (!control(kVendorIn, request, value, index, &byte, 1, got) || got != 1)
            return false;
        answer = byte;
        return true;
    }

    // The server owns the interface; closing the TCP connection gives the device back.
    void release() override {}

    bool close() override {
        m_socket.shutdown();
        return true;
    }

    std::string path() const override { return m_path; }

private:
    bool control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                 uint8_t *data, size_t length, size_t &transferred) {
        uint8_t setup[8];
        setup[0] = requestType;
        setup[1] = request;
        // The setup packet's words are little-endian, like every USB field.
        putLe16(setup + 2, value);
        putLe16(setup + 4, index);
        putLe16(setup + 6, static_cast<uint16_t>(length));
        const uint32_t direction = (requestType & kEndpointDirIn) ? usbip::kDirIn : usbip::kDirOut;
        return submit(direction, kControlEndpoint, setup, data, length, transferred,
                      usbipLimits().control);
    }

    // One URB. Whatever goes wrong on the connection (time-out, short read, a reply we cannot
    // place) leaves the stream out of step, so the connection is ended and every later call
    // fails at once; the transport then reconnects.
    bool submit(uint32_t direction, uint32_t ep, const uint8_t (&setup)[8], uint8_t *data,
                size_t length, size_t &transferred, std::chrono::milliseconds limit) {
        std::lock_guard lock(m_mutex);
        transferred = 0;
        if (!cancel(m_writes, usbip::kDirOut) || !endReadAhead() || m_broken || length > UINT32_MAX)
            return false;
        const Clock::time_point deadline = Clock::now() + limit;
        uint32_t seqnum = 0;
        if (!sendSubmit(direction, ep, setup, data, length, deadline, seqnum))
            return fail();
        return receive(direction, seqnum, data, length, transferred, deadline);
    }

    bool sendSubmit(uint32_t direction, uint32_t ep, const uint8_t (&setup)[8], const uint8_t *data,
                    size_t length, Clock::time_point deadline, uint32_t &seqnum) {
        usbip::UrbHeader cmd;
        cmd.command = usbip::kCmdSubmit;
        cmd.seqnum = seqnum = ++m_seqnum;
        cmd.devid = m_devid;
        cmd.direction = direction;
        cmd.ep = ep;
        cmd.word = {0, static_cast<uint32_t>(length), 0, 0, 0};
        std::copy(std::begin(setup), std::end(setup), cmd.setup.begin());
        const auto header = usbip::encodeUrb(cmd);
        return m_socket.sendAll(header.data(), header.size(), deadline) &&
               (direction != usbip::kDirOut || length == 0 ||
                m_socket.sendAll(data, length, deadline));
    }

    // The RET_SUBMIT of URB `seqnum`, the oldest one in flight.
    bool receive(uint32_t direction, uint32_t seqnum, uint8_t *data, size_t length,
                 size_t &transferred, Clock::time_point deadline) {
        for (;;) {
            std::array<uint8_t, usbip::kUrbHeaderSize> raw{};
            if (!m_socket.recvAll(raw.data(), raw.size(), deadline))
                return fail();
            const usbip::UrbHeader ret = usbip::decodeUrb(raw);
            if (ret.command == usbip::kRetUnlink)
                continue; // fixed size, nothing follows: harmless to skip
            if (ret.command != usbip::kRetSubmit || ret.seqnum != seqnum)
                return fail(); // we cannot know how many bytes belong to it
            const auto status = static_cast<int32_t>(ret.word[0]);
            const uint32_t actual = ret.word[1];
            const uint32_t packets = ret.word[3];
            // An answer longer than the request would run past the caller's buffer.
            if (actual > length || (packets != 0 && packets != kNoIsoPackets))
                return fail();
            if (direction == usbip::kDirIn && actual > 0 &&
                !m_socket.recvAll(data, actual, deadline))
                return fail();
            transferred = actual;
            return status == 0;
        }
    }

    // (Called before every other transfer: it leaves the queue in place rather than build a new
    // one each time.)
    bool endReadAhead() {
        const bool ok = cancel(m_ahead.urbs, usbip::kDirIn); // empties the queue
        m_ahead.count = 0;
        m_ahead.reads = 0;
        return ok;
    }

    // Cancels the URBs (all in `direction`) still in flight with CMD_UNLINK. The server answers
    // each with RET_UNLINK, after the URB's own RET_SUBMIT when it had already completed (a read's
    // data are dropped). False when the connection is broken.
    bool cancel(std::deque<Urb> &urbs, uint32_t direction) {
        if (urbs.empty()) // the usual case, before every transfer: nothing to build
            return !m_broken;
        std::deque<Urb> cancelled;
        cancelled.swap(urbs);
        if (m_broken)
            return false;
        const Clock::time_point deadline = Clock::now() + usbipLimits().control;
        std::vector<uint32_t> unlinks;
        for (const Urb &urb : cancelled) {
            usbip::UrbHeader cmd;
            cmd.command = usbip::kCmdUnlink;
            cmd.seqnum = ++m_seqnum;
            cmd.devid = m_devid;
            cmd.word[0] = urb.seqnum;
            const auto header = usbip::encodeUrb(cmd);
            if (!m_socket.sendAll(header.data(), header.size(), deadline))
                return fail();
            unlinks.push_back(cmd.seqnum);
        }
        size_t longest = 0;
        for (const Urb &urb : cancelled)
            longest = std::max(longest, urb.length);
        std::vector<uint8_t> dropped(direction == usbip::kDirIn ? longest : 0);
        while (!unlinks.empty()) {
            std::array<uint8_t, usbip::kUrbHeaderSize> raw{};
            if (!m_socket.recvAll(raw.data(), raw.size(), deadline))
                return fail();
            const usbip::UrbHeader ret = usbip::decodeUrb(raw);
            if (ret.command == usbip::kRetUnlink) {
                // (an earlier cancel's late answer is skipped, as receive() skips it)
                std::erase(unlinks, ret.seqnum);
                continue;
            }
            const auto urb = std::find_if(cancelled.begin(), cancelled.end(),
                                          [&](const Urb &u) { return u.seqnum == ret.seqnum; });
            const bool in = direction == usbip::kDirIn;
            if (ret.command != usbip::kRetSubmit || urb == cancelled.end() ||
                (in && ret.word[1] > urb->length))
                return fail();
            if (in && ret.word[1] > 0 && !m_socket.recvAll(dropped.data(), ret.word[1], deadline))
                return fail();
        }
        return true;
    }

    bool fail() {
        m_broken = true;
        m_socket.shutdown();
        return false;
    }

    std::mutex m_mutex;
    Socket m_socket;
    uint32_t m_devid;
    uint32_t m_seqnum = 0;
    bool m_broken = false;
    struct ReadAheadState {
        size_t count = 0;                   // bytes of each read
        size_t reads = 0;                   // reads that may still be asked for
        size_t depth = 1;                   // reads in flight at most (transferDepth())
        std::chrono::milliseconds limit{0}; // each read's time-out
        std::deque<Urb> urbs;               // asked for and not yet received, oldest first
    } m_ahead;
    std::deque<Urb> m_writes; // blocks sent and not yet answered, oldest first
    PlayerEndpoints m_endpoints{0, 0x01, 0x82};
    std::string m_path;
};

} // namespace

std::unique_ptr<DeviceConnection> openUsbipConnection(Socket socket, uint32_t devid,
                                                      std::string path) {
    auto conn = std::make_unique<UsbipConnection>(std::move(socket), devid, std::move(path));
    if (!conn->setUp())
        return nullptr;
    return conn;
}

} // namespace kestousb
