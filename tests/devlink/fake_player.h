// An in-memory player for library tests: a Backend and its DeviceConnection that record every
// operation in order and answer from a script. Tests of file operations and transfers script a
// whole conversation with it and then compare the exact bytes and polls on the wire.
//
//   FakePlayer player;              // installs itself as the only back end, with a fake clock
//   player.onCommand('I', [](const FakePlayer::Packet &) { return FakePlayer::frame({0x00}); });
//   EXPECT_EQ(InvokePlayer(), 0x00);
//   EXPECT_EQ(player.trace(), (std::vector<std::string>{"probe", "ready10", "write 64", ...}));
#pragma once

#include "backend.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestousb::test {

using Bytes = std::vector<uint8_t>;

// One operation seen by the fake, in the order the library made them.
struct FakeOp {
    enum class Kind { Enumerate, Open, Probe, Write, Read, Vendor, Release, Close, Sleep };
    Kind kind;
    Bytes data;      // Write: the bytes written; Read: the bytes delivered
    size_t size = 0; // Write/Read: the byte count the library asked for; Sleep: milliseconds
    uint8_t request = 0;
    uint16_t value = 0, index = 0;
    bool ok = true; // what the fake answered
};

// A clock for the polls that moves on by `step` milliseconds each time it is read, so a poll
// that never sees 0x40 ends after a known number of requests without any waiting.
class FakeClock {
public:
    explicit FakeClock(int64_t step = 1) : m_step(step) {}
    int64_t operator()() { return m_now += m_step; }
    void setStep(int64_t step) { m_step = step; }
    int64_t now() const { return m_now; }

private:
    int64_t m_now = 0;
    int64_t m_step;
};

class FakePlayer : public Backend {
public:
    // A command as the library wrote it: the whole block-aligned write.
    struct Packet {
        Bytes bytes;
        // The body between ':' and the closing '.' (by the L byte), or empty for unframed data.
        Bytes body() const;
        // The command letter: body()[0] for 'I', 'Y', 'F'; the byte after a memory id or
        // command prefix otherwise (mem 'G', 0x90 'S').
        uint8_t letter() const;
    };
    using Responder = std::function<Bytes(const Packet &command, size_t requested)>;

    // Installs itself as the only back end, a fake clock (step 1 ms) for the polls and a sleep
    // that only records itself ("sleep 1000"); the destructor restores the defaults.
    explicit FakePlayer(std::string path = "fake:1-1", bool install = true);
    ~FakePlayer() override;
    FakePlayer(const FakePlayer &) = delete;
    FakePlayer &operator=(const FakePlayer &) = delete;

    // ---- Backend
    std::vector<std::string> enumerate() override;
    using Backend::open;
    std::unique_ptr<DeviceConnection> open(const std::string &path, bool &inUse) override;

    // ---- replies
    // Framed reply: '#', 0x00, L, ':', payload, '.', zero-filled to `size` bytes. The payload
    // starts at reply byte 4 (so a status flags byte is payload[0]).
    static Bytes frame(std::initializer_list<uint8_t> payload, size_t size = 64);
    static Bytes frame(const Bytes &payload, size_t size = 64);

    // Replies handed out by the next reads, one per read, in order; they win over responders.
    void queueReply(Bytes reply);
    // Answers the reads that follow a command whose letter() is `letter` (until the next write).
    void onCommand(uint8_t letter, Responder responder);
    // Answers every read that nothing else answers.
    void setDefaultResponder(Responder responder);
    // Called for each write (commands and streamed data); may queue replies.
    void onWrite(std::function<void(const Bytes &data)> observer);

    // ---- polls
    // The byte answered to vendor requests (default 0x40, ready).
    void setPollAnswer(uint8_t answer);
    // Full control: the answer for a request/value/index.
    void setPollHandler(std::function<uint8_t(uint8_t request, uint16_t value, uint16_t index)>);

    // ---- faults (each counter fails that many of the next operations)
    struct Faults {
        bool absent = false;              // enumerate() finds nothing
        int openFailures = 0;             // open() returns nullptr
        bool probeFails = false;          // every probe fails
        int closeFailures = 0;            // close() reports failure
        int writeFailures = 0;            // bulkWrite fails (after taking nothing)
        int readFailures = 0;             // bulkRead fails
        std::optional<size_t> shortWrite; // the next write takes only this many bytes (ok)
        std::optional<size_t> shortRead;  // the next read delivers only this many bytes (ok)
        bool vendorFails = false;         // vendor requests fail (answer untouched)
        int vendorFailures = 0;           // as vendorFails, for the next that many requests
    };
    Faults &faults() { return m_faults; }

    // ---- what happened
    std::vector<FakeOp> ops() const;
    // Compact form of ops(): "enumerate", "open", "probe", "write 64", "read 192", "release",
    // "close", "sleep 1000", and for vendor requests "ready10"/"ready11"/"ready12" (value 0, index
    // 0), "done" (10, 0, 0xFFFF), "abort" (10, 0xFFFF, 0xFFFF), else "vendor R,V,I" (hex).
    std::vector<std::string> trace() const;
    // trace() without enumerate/open/probe/release/close: just the wire traffic and polls.
    std::vector<std::string> wireTrace() const;
    std::vector<Bytes> writes() const;
    void clearOps();
    int openConnections() const { return m_openConnections; }

    FakeClock &clock() { return *m_clock; }

private:
    class Connection;
    friend class Connection;

    bool probe();
    bool write(const uint8_t *data, size_t count, size_t &transferred);
    bool read(uint8_t *data, size_t count, size_t &transferred);
    bool vendor(uint8_t request, uint16_t value, uint16_t index, uint8_t &answer);
    void release();
    bool close();
    void record(FakeOp op);

    std::string m_path;
    bool m_installed;
    mutable std::recursive_mutex m_mutex;
    std::vector<FakeOp> m_ops;
    std::deque<Bytes> m_queue;
    std::map<uint8_t, Responder> m_responders;
    Responder m_default;
    std::function<void(const Bytes &)> m_writeObserver;
    std::function<uint8_t(uint8_t, uint16_t, uint16_t)> m_poll;
    Faults m_faults;
    std::optional<Packet> m_lastCommand;
    int m_openConnections = 0;
    std::shared_ptr<FakeClock> m_clock;
};

} // namespace kestousb::test
