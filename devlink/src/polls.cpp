// The one-byte handshake polls on the control handle.
#include "backend.h"
#include "library_state.h"
#include "transport.h"

namespace kestousb {

namespace {

constexpr uint8_t kDoneRequest = 10;
constexpr uint16_t kDoneIndex = 0xFFFF;
constexpr uint16_t kAbortValue = 0xFFFF;

// Repeats the request with no delay until the player answers 0x40, or until more than 10 s
// have passed. The request's own failure is not acted on: only the answer byte counts.
bool poll(uint8_t request, uint16_t value, uint16_t index) {
    const TickSource ticks = tickSource();
    const int64_t start = ticks();
    for (;;) {
        // Taken anew for every request: another thread may reconnect while this one polls.
        std::shared_ptr<DeviceConnection> conn = currentConnection();
        if (!conn)
            return false; // nobody to answer: waiting 10 s could not change that
        uint8_t answer = 0;
        conn->vendorRequest(request, value, index, answer);
        if (answer == kReady)
            return true;
        if (ticks() - start > kPollLimitMs)
            return false;
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
