// Everything the library keeps between calls, in one object, and the one reset of it for tests.
//
// Threads. One thread drives the library: the caller's thread, which makes every exported call
// except the two below. Beside it run
//   - a transfer worker, started by the caller (one at a time), working on its own copy of the
//     job; it uses the connection, the polls, the stop event and the last error, nothing else;
//   - KSUSB_Stop, from any thread while a worker runs: it signals the stop event, sleeps and
//     reconnects;
//   - a device watch (KSUSB_WaitDeviceChange) on its own thread: it reads the back-end list and
//     waits inside the libusb back end, which guards itself.
//
// Who guards what:
//   link.mutex       opening, closing and reconnecting, and `link.inUse` and `link.path`. The
//                    connection itself is swapped only under it but read without it (an atomic
//                    shared_ptr), so a transfer keeps its connection while another thread
//                    reconnects, and a poll never waits for a reconnect to finish.
//   workers.mutex    the count of running workers; `workers.idle` is notified when it drops.
//   stop, lastError  atomics, any thread.
//   injection.mutex  the test injection; readers take a copy and call it outside the lock.
//   caller-only      the file tables, the status cache and the last transfer job. Only the
//                    caller's thread touches them, so they have no lock; a worker reads none.
// Lock order: link.mutex may be held while the back-end list is read (injection.mutex) and while
// a back end opens or closes (its own locks). No other lock is held while taking another.
//
// The object is created on first use and never destroyed: a detached worker may still be leaving
// the library while the process exits.
#pragma once

#include "KestoUSB.h"
#include "backend.h"
#include "libusb_backend.h"
#include "status.h"
#include "transfer_state.h"
#include "transport.h"
#include "usbip_backend.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestousb {

// What tests put in place of the outside world. An empty member keeps the real thing.
struct TestInjection {
    std::vector<Backend *> backends{}; // searched instead of USB/IP and libusb
    TickSource ticks{};                // instead of steady_clock, for the polls
    SleepFunction sleep{};             // instead of std::this_thread::sleep_for, for KSUSB_Stop
    UsbipLimits usbipLimits{};         // how long the USB/IP client waits
    size_t transferDepth = 0;          // blocks of a stream in flight; 0: kTransferDepth
    std::chrono::milliseconds usbPipeLimit{0}; // libusb bulk time-out; 0: the real 30 s
};

struct LibraryState {
    struct Link {
        std::mutex mutex;
        std::atomic<std::shared_ptr<DeviceConnection>> connection; // nullptr while closed
        bool inUse = false; // the last open found the player held by another program
        std::string path;   // the path last used to open; empty before and after a failed open
    } link;

    struct Workers {
        std::mutex mutex;
        std::condition_variable idle;
        int running = 0;
    } workers;

    struct StopEvent {
        std::atomic<bool> exists{false};
        std::atomic<bool> signalled{false};
    } stop;

    std::atomic<int> lastError{KSUSB_OK};

    struct Injection {
        std::mutex mutex;
        TestInjection current;
    } injection;

    // Caller's thread only.
    KSUSB_TOpenTable flashTable{};
    KSUSB_TOpenTable cardTable{};
    KSPlayerStatus statusCache{};
    TransferJob lastJob;

    // The real back ends, searched in this order when no test replaced them.
    UsbipBackend usbip;
    LibusbBackend libusb;

    // What tests injected (a copy), and its replacement. A new back-end list forgets the open
    // connection without talking to it: it may belong to a back end that is about to go away.
    TestInjection injected();
    void inject(TestInjection replacement);
};

LibraryState &library();

// The injected pieces, or the real ones.
TickSource tickSource();
std::chrono::milliseconds usbPipeLimit();
void pauseFor(std::chrono::milliseconds span);

// Tests: the library as just loaded (no connection, no stop event, empty tables and status
// cache, no transfer state, last error 0) with `injection` in place of the outside world. Waits
// first for a worker still running (up to 30 s), so that none works on what is being reset.
void resetLibraryForTesting(TestInjection injection = {});

} // namespace kestousb
