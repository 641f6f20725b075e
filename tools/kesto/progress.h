// Running one library transfer from the command line: a notification target that queues the
// worker's posts for the main thread, a terminal progress bar (percent, bytes, speed, time
// left) and Ctrl-C, which stops the transfer through KSUSB_Stop.
#pragma once

#include "KestoUSB.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <signal.h>

namespace kesto {

// How often a loop that waits looks whether Ctrl-C was pressed.
inline constexpr std::chrono::milliseconds kInterruptPoll{100};

// While it lives, Ctrl-C (SIGINT) only raises a flag the waiting loop reads; the previous
// handling comes back when it ends. A second Ctrl-C ends the program the usual way. Guards nest
// (a run's guard around the guards of its transfers and conversions): the outermost one clears
// the flag and installs the handler. Main thread only.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;

    // Ctrl-C was pressed since the guard was made.
    bool interrupted() const;

private:
    struct sigaction m_previous {};
    bool m_installed = false;
};

// One WM_XFER_NOTIFY as the worker posted it.
struct Notification {
    uintptr_t what = 0;
    intptr_t value = 0;
};

// The CLI's "window": post() runs on the library's worker thread and only queues; the main
// thread takes the notifications in order with next().
class NotifyQueue : public KSNotifyTarget {
public:
    NotifyQueue();
    NotifyQueue(const NotifyQueue &) = delete;
    NotifyQueue &operator=(const NotifyQueue &) = delete;

    // The next notification, or nullopt when none came within `wait`.
    std::optional<Notification> next(std::chrono::milliseconds wait);

private:
    static void postThunk(KSNotifyTarget *self, unsigned int message, uintptr_t wParam,
                          intptr_t lParam);

    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Notification> m_queue;
};

// `s` as it may go to a terminal: a control character or a byte outside valid UTF-8 (a file
// name in another encoding, a short name in the player's code page) is shown as \xNN, so that
// no name can move the cursor or change the terminal's state.
std::string terminalText(std::string_view s);

// "1.5 MiB", "512 B".
std::string formatBytes(uint64_t bytes);
// "1:05", "1:02:03".
std::string formatDuration(double seconds);

// The bar on one terminal line, redrawn at most ten times a second. Draws nothing when `out`
// is not a terminal (unless forced), so scripts get clean output.
class ProgressBar {
public:
    using Clock = std::function<double()>; // seconds since an arbitrary start

    ProgressBar(std::string label, FILE *out, bool enabled, Clock clock = {});
    void start(uint64_t total);
    void update(uint64_t done);
    // Draws the last state and ends the line.
    void finish();

    // The line as it would be drawn now: "label [####    ]  42%  1.2 MiB/3.0 MiB  1.1 MiB/s
    // 0:02 left".
    std::string render() const;

private:
    std::string m_label;
    FILE *m_out;
    bool m_enabled;
    Clock m_clock;
    uint64_t m_total = 0;
    uint64_t m_done = 0;
    double m_started = 0;
    double m_lastDraw = -1;
};

// The bar of the conversion a run waits for: the conversion workers report every job's
// progress (the fraction of its source decoded), and only the awaited job's bar is drawn, as
// "converting NAME [###   ]  42%  1.2 MiB/3.0 MiB ...", the sizes those of the source.
class ConversionBars {
public:
    ConversionBars(FILE *out, bool enabled, ProgressBar::Clock clock = {});
    ConversionBars(const ConversionBars &) = delete;
    ConversionBars &operator=(const ConversionBars &) = delete;

    // For the conversion queue; called on its worker threads.
    std::function<void(std::size_t index, double fraction)> reporter();
    // The run now waits for job `index`, converting `source` of `size` bytes.
    void await(std::size_t index, const std::string &source, uint64_t size);
    // The awaited job has ended: its bar's last state and the end of its line.
    void finish();

private:
    void report(std::size_t index, double fraction);

    std::mutex m_mutex;
    FILE *m_out;
    bool m_enabled;
    ProgressBar::Clock m_clock;
    std::optional<std::size_t> m_awaited;
    std::optional<ProgressBar> m_bar;
    uint64_t m_size = 0;
    bool m_reported = false; // the awaited job has reported since await()
};

// The conversion bars on stderr, drawn only when stderr is a terminal.
ConversionBars &terminalConversionBars();

// Prints "kesto VERB: error CODE (NAME): MESSAGE" to stderr, or with a `subject` (the file the
// failure concerns) "kesto VERB: SUBJECT: error CODE (NAME): MESSAGE", and returns kExitFailed.
int reportFailure(std::string_view verb, int code, std::string_view subject = {});

// The bar for a transfer on stderr, drawn only when stderr is a terminal.
ProgressBar terminalBar(std::string label);

// Starts a transfer with `start` (one of the KSUSB_ transfer calls, given the queue as its
// window) and follows it to its end, drawing `bar`. Ctrl-C during the transfer calls KSUSB_Stop
// once. Result: 0 on success, else the library's (negative) error code.
int followTransfer(const std::function<int(KSNotifyTarget *)> &start, ProgressBar &bar);

} // namespace kesto
