#include "fake_player.h"

#include "library_state.h"
#include "status.h"
#include "transport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kestousb::test {

namespace {
constexpr uint8_t kReadyAnswer = 0x40;
constexpr size_t kFrameHeader = 4;
} // namespace

class FakePlayer::Connection : public DeviceConnection {
public:
    Connection(FakePlayer &player, std::string path) : m_player(player), m_path(std::move(path)) {}
    bool probe() override { return m_player.probe(); }
    bool bulkWrite(const uint8_t *data, size_t count, size_t &transferred) override {
        return m_player.write(data, count, transferred);
    }
    bool bulkRead(uint8_t *data, size_t count, size_t &transferred) override {
        return m_player.read(data, count, transferred);
    }
    bool vendorRequest(uint8_t request, uint16_t value, uint16_t index, uint8_t &answer) override {
        return m_player.vendor(request, value, index, answer);
    }
    void release() override { m_player.release(); }
    bool close() override { return m_player.close(); }
    std::string path() const override { return m_path; }

private:
    FakePlayer &m_player;
    std::string m_path;
};

Bytes FakePlayer::Packet::body() const {
    if (bytes.size() < kFrameHeader || bytes[0] != '#' || bytes[3] != ':')
        return {};
    const size_t l = bytes[2];
    if (l < 2 || 3 + l > bytes.size())
        return {};
    return Bytes(bytes.begin() + kFrameHeader, bytes.begin() + 3 + l - 1);
}

uint8_t FakePlayer::Packet::letter() const {
    const Bytes b = body();
    if (b.empty())
        return 0;
    const bool prefixed = b[0] == 'M' || b[0] == 'S' || b[0] == 0x90 || b[0] == 0x92;
    return (prefixed && b.size() >= 2) ? b[1] : b[0];
}

FakePlayer::FakePlayer(std::string path, bool install)
    : m_path(std::move(path)), m_installed(install), m_clock(std::make_shared<FakeClock>()) {
    m_poll = [](uint8_t, uint16_t, uint16_t) { return kReadyAnswer; };
    if (m_installed) {
        std::shared_ptr<FakeClock> clock = m_clock;
        resetLibraryForTesting({.backends = {this},
                                .ticks = [clock] { return (*clock)(); },
                                .sleep =
                                    [this](std::chrono::milliseconds ms) {
                                        FakeOp op{FakeOp::Kind::Sleep, {}};
                                        op.size = static_cast<size_t>(ms.count());
                                        record(op);
                                    }});
    }
}

FakePlayer::~FakePlayer() {
    if (m_installed) {
        resetLibraryForTesting();
    }
}

std::vector<std::string> FakePlayer::enumerate() {
    std::lock_guard lock(m_mutex);
    record({FakeOp::Kind::Enumerate, {}});
    if (m_faults.absent)
        return {};
    return {m_path};
}

std::unique_ptr<DeviceConnection> FakePlayer::open(const std::string &path, bool &) {
    std::lock_guard lock(m_mutex);
    FakeOp op{FakeOp::Kind::Open, {}};
    if (m_faults.absent || path != m_path || m_faults.openFailures > 0) {
        if (m_faults.openFailures > 0)
            --m_faults.openFailures;
        op.ok = false;
        record(op);
        return nullptr;
    }
    record(op);
    ++m_openConnections;
    return std::make_unique<Connection>(*this, m_path);
}

Bytes FakePlayer::frame(std::initializer_list<uint8_t> payload, size_t size) {
    return frame(Bytes(payload), size);
}

Bytes FakePlayer::frame(const Bytes &payload, size_t size) {
    Bytes out(std::max(size, kFrameHeader + payload.size() + 1), 0);
    out[0] = '#';
    out[1] = 0x00;
    out[2] = static_cast<uint8_t>(payload.size() + 2);
    out[3] = ':';
    std::copy(payload.begin(), payload.end(), out.begin() + kFrameHeader);
    out[kFrameHeader + payload.size()] = '.';
    out.resize(size);
    return out;
}

void FakePlayer::queueReply(Bytes reply) {
    std::lock_guard lock(m_mutex);
    m_queue.push_back(std::move(reply));
}

void FakePlayer::onCommand(uint8_t letter, Responder responder) {
    std::lock_guard lock(m_mutex);
    m_responders[letter] = std::move(responder);
}

void FakePlayer::setDefaultResponder(Responder responder) {
    std::lock_guard lock(m_mutex);
    m_default = std::move(responder);
}

void FakePlayer::onWrite(std::function<void(const Bytes &)> observer) {
    std::lock_guard lock(m_mutex);
    m_writeObserver = std::move(observer);
}

void FakePlayer::setPollAnswer(uint8_t answer) {
    setPollHandler([answer](uint8_t, uint16_t, uint16_t) { return answer; });
}

void FakePlayer::setPollHandler(std::function<uint8_t(uint8_t, uint16_t, uint16_t)> handler) {
    std::lock_guard lock(m_mutex);
    m_poll = std::move(handler);
}

bool FakePlayer::probe() {
    std::lock_guard lock(m_mutex);
    FakeOp op{FakeOp::Kind::Probe, {}};
    op.ok = !m_faults.probeFails && !m_faults.absent;
    record(op);
    return op.ok;
}

bool FakePlayer::write(const uint8_t *data, size_t count, size_t &transferred) {
    std::function<void(const Bytes &)> observer;
    Bytes bytes(data, data + count);
    {
        std::lock_guard lock(m_mutex);
        FakeOp op{FakeOp::Kind::Write, bytes};
        op.size = count;
        transferred = count;
        if (m_faults.writeFailures > 0) {
            --m_faults.writeFailures;
            transferred = 0;
            op.ok = false;
        } else if (m_faults.shortWrite) {
            transferred = std::min(*m_faults.shortWrite, count);
            m_faults.shortWrite.reset();
        }
        op.data.resize(transferred);
        record(op);
        if (!op.ok)
            return false;
        Packet packet{bytes};
        if (!packet.body().empty())
            m_lastCommand = packet;
        observer = m_writeObserver;
    }
    if (observer)
        observer(bytes);
    return true;
}

bool FakePlayer::read(uint8_t *data, size_t count, size_t &transferred) {
    std::lock_guard lock(m_mutex);
    FakeOp op{FakeOp::Kind::Read, {}};
    op.size = count;
    transferred = 0;
    if (m_faults.readFailures > 0) {
        --m_faults.readFailures;
        op.ok = false;
        record(op);
        return false;
    }
    std::optional<Bytes> reply;
    if (!m_queue.empty()) {
        reply = std::move(m_queue.front());
        m_queue.pop_front();
    } else {
        const Packet command = m_lastCommand.value_or(Packet{});
        auto it = m_responders.find(command.letter());
        if (m_lastCommand && it != m_responders.end())
            reply = it->second(command, count);
        else if (m_default)
            reply = m_default(command, count);
    }
    if (!reply) {
        // Nothing scripted: the player sends nothing and the transfer fails.
        op.ok = false;
        record(op);
        return false;
    }
    size_t n = std::min(reply->size(), count);
    if (m_faults.shortRead) {
        n = std::min(n, *m_faults.shortRead);
        m_faults.shortRead.reset();
    }
    std::memcpy(data, reply->data(), n);
    transferred = n;
    op.data.assign(reply->begin(), reply->begin() + static_cast<std::ptrdiff_t>(n));
    record(op);
    return true;
}

bool FakePlayer::vendor(uint8_t request, uint16_t value, uint16_t index, uint8_t &answer) {
    std::lock_guard lock(m_mutex);
    FakeOp op{FakeOp::Kind::Vendor, {}};
    op.request = request;
    op.value = value;
    op.index = index;
    if (m_faults.vendorFails || m_faults.vendorFailures > 0) {
        if (m_faults.vendorFailures > 0)
            --m_faults.vendorFailures;
        op.ok = false;
        record(op);
        return false;
    }
    answer = m_poll(request, value, index);
    op.data = {answer};
    record(op);
    return true;
}

void FakePlayer::release() {
    std::lock_guard lock(m_mutex);
    record({FakeOp::Kind::Release, {}});
}

bool FakePlayer::close() {
    std::lock_guard lock(m_mutex);
    FakeOp op{FakeOp::Kind::Close, {}};
    --m_openConnections;
    if (m_faults.closeFailures > 0) {
        --m_faults.closeFailures;
        op.ok = false;
    }
    record(op);
    return op.ok;
}

void FakePlayer::record(FakeOp op) {
    std::lock_guard lock(m_mutex);
    m_ops.push_back(std::move(op));
}

std::vector<FakeOp> FakePlayer::ops() const {
    std::lock_guard lock(m_mutex);
    return m_ops;
}

static std::string describe(const FakeOp &op) {
    char text[64];
    switch (op.kind) {
    case FakeOp::Kind::Enumerate:
        return "enumerate";
    case FakeOp::Kind::Open:
        return "open";
    case FakeOp::Kind::Probe:
        return "probe";
    case FakeOp::Kind::Release:
        return "release";
    case FakeOp::Kind::Close:
        return "close";
    case FakeOp::Kind::Write:
        return "write " + std::to_string(op.size);
    case FakeOp::Kind::Read:
        return "read " + std::to_string(op.size);
    case FakeOp::Kind::Sleep:
        return "sleep " + std::to_string(op.size);
    case FakeOp::Kind::Vendor:
        if (op.value == 0 && op.index == 0 && op.request >= 10 && op.request <= 12)
            return "ready" + std::to_string(op.request);
        if (op.request == 10 && op.value == 0 && op.index == 0xFFFF)
            return "done";
        if (op.request == 10 && op.value == 0xFFFF && op.index == 0xFFFF)
            return "abort";
        std::snprintf(text, sizeof text, "vendor %X,%X,%X", op.request, op.value, op.index);
        return text;
    }
    return "?";
}

std::vector<std::string> FakePlayer::trace() const {
    std::vector<std::string> out;
    for (const FakeOp &op : ops())
        out.push_back(describe(op));
    return out;
}

std::vector<std::string> FakePlayer::wireTrace() const {
    std::vector<std::string> out;
    for (const FakeOp &op : ops())
        if (op.kind == FakeOp::Kind::Write || op.kind == FakeOp::Kind::Read ||
            op.kind == FakeOp::Kind::Vendor)
            out.push_back(describe(op));
    return out;
}

std::vector<Bytes> FakePlayer::writes() const {
    std::vector<Bytes> out;
    for (const FakeOp &op : ops())
        if (op.kind == FakeOp::Kind::Write)
            out.push_back(op.data);
    return out;
}

void FakePlayer::clearOps() {
    std::lock_guard lock(m_mutex);
    m_ops.clear();
}

} // namespace kestousb::test
