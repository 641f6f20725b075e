// The one-byte handshake polls on the control handle.
#include "backend.h"
#include "library_state.h"
#include "transport.h"

#include <algorithm>
#include <chrono>

namespace kestousb {

namespace {

constexpr uint8_t kDoneRequest = 10;
constexpr uint16_t kDoneIndex = 0xFFFF;
constexpr uint16_t kAbortValue = 0xFFFF;

constexpr std::chrono::milliseconds kFirstBackOff{1};
constexpr std::chrono::milliseconds kLongestBackOff{8};

// Repeats the request with no delay until the player answers 0x40, or until more than 10 s
// have passed. A request that fails brings no answer; while requests fail (a server that hangs
// up at once fails them without any wait) the poll pauses between them, 1 ms after the first
// failure and twice as long after each further one up to 8 ms, so that it does not spin a core
// for its 10 s. An answered request ends the pauses.
bool poll(uint8_t request, uint16_t value, uint16_t index) {
    const TickSource ticks = tickSource();
    const int64_t start = ticks();
    std::chrono::milliseconds backOff{0};
    for (;;) {
        // Taken anew for every request: another thread may reconnect while this one polls.
        std::shared_ptr<DeviceConnection> conn = currentConnection();
        if (!conn)
            return false; // nobody to answer: waiting 10 s could not change that
        uint8_t answer = 0;
        if (conn->vendorRequest(request, value, index, answer)) {
            if (answer == kReady)
                return true;
            backOff = std::chrono::milliseconds{0};
        } else {
            backOff = backOff.count() == 0 ? kFirstBackOff : std::min(backOff * 2, kLongestBackOff);
        }
        if (ticks() - start > kPollLimitMs)
            return false;
        if (backOff.count() != 0)
            pauseFor(backOff);
    }
}

} // namespace

bool waitReady(Phase phase) {
    return poll(static_cast<uint8_t>(phase), 0, 0);
}
bool waitDone() {
    return poll(kDoneRequest, 0, kDoneIndex);
}
bool waitAbortDone() {
    return poll(kDoneRequest, kAbortValue, kDoneIndex);
}

} // namespace kestousb
