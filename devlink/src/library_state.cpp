// The library's one state object, the accessors of what tests may inject, the stop event and the
// reset.
#include "library_state.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace kestousb {

namespace {

int64_t steadyTicks() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

constexpr uint32_t kResetWaitMs = 30000;

} // namespace

LibraryState &library() {
    static auto *state = new LibraryState;
    return *state;
}

TestInjection LibraryState::injected() {
    std::lock_guard lock(injection.mutex);
    return injection.current;
}

void LibraryState::inject(TestInjection replacement) {
    std::erase(replacement.backends, nullptr);
    std::lock_guard linkLock(link.mutex);
    std::lock_guard lock(injection.mutex);
    if (replacement.backends != injection.current.backends) {
        link.connection.store(nullptr);
        link.inUse = false;
        link.path.clear();
    }
    injection.current = std::move(replacement);
}

std::vector<Backend *> defaultBackends() {
    LibraryState &state = library();
    {
        std::lock_guard lock(state.injection.mutex);
        if (!state.injection.current.backends.empty())
            return state.injection.current.backends;
    }
    return {&state.usbip, &state.libusb};
}

TickSource tickSource() {
    LibraryState &state = library();
    std::lock_guard lock(state.injection.mutex);
    return state.injection.current.ticks ? state.injection.current.ticks : TickSource(steadyTicks);
}

void pauseFor(std::chrono::milliseconds span) {
    LibraryState &state = library();
    SleepFunction sleep;
    {
        std::lock_guard lock(state.injection.mutex);
        sleep = state.injection.current.sleep;
    }
    if (sleep)
        sleep(span);
    else
        std::this_thread::sleep_for(span);
}

UsbipLimits usbipLimits() {
    LibraryState &state = library();
    std::lock_guard lock(state.injection.mutex);
    return state.injection.current.usbipLimits;
}

size_t transferDepth() {
    LibraryState &state = library();
    std::lock_guard lock(state.injection.mutex);
    const size_t depth = state.injection.current.transferDepth;
    return depth == 0 ? kTransferDepth : std::min(depth, kMaxTransferDepth);
}

std::chrono::milliseconds usbPipeLimit() {
    constexpr std::chrono::milliseconds kUsbPipeLimit{30000};
    LibraryState &state = library();
    std::lock_guard lock(state.injection.mutex);
    const auto limit = state.injection.current.usbPipeLimit;
    return limit.count() > 0 ? limit : kUsbPipeLimit;
}

// ---- the stop event -------------------------------------------------------------------------

bool stopEventExists() {
    return library().stop.exists.load();
}

void createStopEvent() {
    // Created unsignalled, but only once: a later transfer start keeps a pending signal.
    LibraryState::StopEvent &stop = library().stop;
    bool expected = false;
    if (stop.exists.compare_exchange_strong(expected, true))
        stop.signalled.store(false);
}

void signalStopEvent() {
    library().stop.signalled.store(true);
}

bool takeStopEvent() {
    // Asked after every block of a stream: only a signalled event is written to.
    std::atomic<bool> &signalled = library().stop.signalled;
    return signalled.load() && signalled.exchange(false);
}

bool stopEventSignalled() {
    return library().stop.signalled.load();
}

// ---- the reset ------------------------------------------------------------------------------

void resetLibraryForTesting(TestInjection injection) {
    waitTransferIdle(kResetWaitMs);
    LibraryState &state = library();
    std::erase(injection.backends, nullptr);
    {
        std::lock_guard linkLock(state.link.mutex);
        state.link.connection.store(nullptr);
        state.link.inUse = false;
        state.link.path.clear();
        std::lock_guard lock(state.injection.mutex);
        state.injection.current = std::move(injection);
    }
    state.stop.signalled.store(false);
    state.stop.exists.store(false);
    state.lastError.store(KSUSB_OK);
    state.flashTable = {};
    state.cardTable = {};
    state.statusCache = {};
    state.lastJob = {};
}

} // namespace kestousb
