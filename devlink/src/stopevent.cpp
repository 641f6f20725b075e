// The stop event: an auto-reset flag shared by KSUSB_Stop (caller's thread) and a transfer
// worker. It is created by the first transfer start and never destroyed.
#include "transport.h"

#include <atomic>

namespace kestousb {

namespace {
std::atomic<bool> g_exists{false};
std::atomic<bool> g_signalled{false};
} // namespace

bool stopEventExists() {
    return g_exists.load();
}

void createStopEvent() {
    // Created unsignalled, but only once: a later transfer start keeps a pending signal.
    bool expected = false;
    if (g_exists.compare_exchange_strong(expected, true))
        g_signalled.store(false);
}

void signalStopEvent() {
    g_signalled.store(true);
}

bool takeStopEvent() {
    return g_signalled.exchange(false);
}

void resetStopEventForTesting() {
    g_signalled.store(false);
    g_exists.store(false);
}

} // namespace kestousb
