// The CLI's notification queue, progress bar and transfer loop.
#include "progress.h"
#include "messages.h"
#include "verb.h"

#include "playerformat.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>

#include <unistd.h>

namespace kesto {

namespace {

constexpr double kRedrawSeconds = 0.1;
constexpr int kBarWidth = 24;
constexpr double kKibi = 1024.0;

std::atomic<bool> g_interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "used from a signal handler");

extern "C" void onInterrupt(int) {
    g_interrupted.store(true);
}

double steadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

// Ctrl-C only raises a flag while a transfer or a conversion is awaited; the waiting loop turns
// it into KSUSB_Stop (which sleeps and reconnects, so it cannot run inside the handler) or stops
// the conversions.
// Guards alive on the main thread: only the outermost installs the handler and clears the flag,
// so that a Ctrl-C between two waits of a run is still seen by the run.
static int g_guardDepth = 0;

InterruptGuard::InterruptGuard() {
    if (g_guardDepth++ > 0)
        return;
    g_interrupted.store(false);
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND; // a second Ctrl-C ends the program the usual way
    sigemptyset(&action.sa_mask);
    m_installed = sigaction(SIGINT, &action, &m_previous) == 0;
}

InterruptGuard::~InterruptGuard() {
    --g_guardDepth;
    if (m_installed)
        sigaction(SIGINT, &m_previous, nullptr);
}

bool InterruptGuard::interrupted() const {
    return g_interrupted.load();
}

NotifyQueue::NotifyQueue() : KSNotifyTarget{&NotifyQueue::postThunk} {}

void NotifyQueue::postThunk(KSNotifyTarget *self, unsigned int message, uintptr_t wParam,
                            intptr_t lParam) {
    if (message != WM_XFER_NOTIFY)
        return;
    auto *queue = static_cast<NotifyQueue *>(self);
    // Notified under the lock: the main thread may destroy the queue as soon as it has taken
    // the final notification, which it cannot do before this unlocks.
    std::lock_guard lock(queue->m_mutex);
    queue->m_queue.push_back({wParam, lParam});
    queue->m_ready.notify_one();
}

std::optional<Notification> NotifyQueue::next(std::chrono::milliseconds wait) {
    std::unique_lock lock(m_mutex);
    if (!m_ready.wait_for(lock, wait, [this] { return !m_queue.empty(); }))
        return std::nullopt;
    Notification n = m_queue.front();
    m_queue.pop_front();
    return n;
}

std::string terminalText(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const size_t len = tunara::media::validUtf8Length(s, i);
        const auto c = static_cast<unsigned char>(s[i]);
        // C1 controls (U+0080-U+009F, "\xC2\x80".."\xC2\x9F") act on terminals too.
        const bool c1 = len == 2 && c == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
        if (len == 0 || c < 0x20 || c == 0x7F || c1) {
            for (size_t k = 0; k < (c1 ? 2 : 1); ++k) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(s[i + k]));
                out += esc;
            }
            i += c1 ? 2 : 1;
        } else {
            out.append(s.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::string formatBytes(uint64_t bytes) {
    static const char *const units[] = {"B", "KiB", "MiB", "GiB"};
    double value = double(bytes);
    size_t unit = 0;
    while (value >= kKibi && unit + 1 < std::size(units)) {
        value /= kKibi;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    else
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string formatDuration(double seconds) {
    const auto total = static_cast<unsigned long>(seconds < 0 ? 0 : seconds + 0.5);
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lu:%02lu:%02lu", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(text, sizeof text, "%lu:%02lu", total / 60, total % 60);
    return text;
}

ProgressBar::ProgressBar(std::string label, FILE *out, bool enabled, Clock clock)
    : m_label(std::move(label)), m_out(out), m_enabled(enabled),
      m_clock(clock ? std::move(clock) : Clock(steadySeconds)) {}

void ProgressBar::start(uint64_t total) {
    m_total = total;
    m_done = 0;
    m_started = m_clock();
    m_lastDraw = -1;
}

void ProgressBar::update(uint64_t done) {
    m_done = done;
    if (!m_enabled || m_out == nullptr)
        return;
    const double now = m_clock();
    if (m_lastDraw >= 0 && now - m_lastDraw < kRedrawSeconds)
        return;
    m_lastDraw = now;
    std::fprintf(m_out, "\r%s\033[K", render().c_str());
    std::fflush(m_out);
}

void ProgressBar::finish() {
    if (!m_enabled || m_out == nullptr)
        return;
    std::fprintf(m_out, "\r%s\033[K\n", render().c_str());
    std::fflush(m_out);
}

ConversionBars::ConversionBars(FILE *out, bool enabled, ProgressBar::Clock clock)
    : m_out(out), m_enabled(enabled), m_clock(std::move(clock)) {}

std::function<void(std::size_t, double)> ConversionBars::reporter() {
    return [this](std::size_t index, double fraction) { report(index, fraction); };
}

void ConversionBars::await(std::size_t index, const std::string &source, uint64_t size) {
    std::lock_guard lock(m_mutex);
    m_awaited = index;
    m_size = size;
    m_reported = false;
    m_bar.emplace("converting " + terminalText(source), m_out, m_enabled, m_clock);
    m_bar->start(size);
}

void ConversionBars::report(std::size_t index, double fraction) {
    std::lock_guard lock(m_mutex);
    if (m_awaited != index || !m_bar)
        return;
    const double clamped = std::clamp(fraction, 0.0, 1.0);
    m_reported = true;
    m_bar->update(uint64_t(clamped * double(m_size)));
}

void ConversionBars::finish() {
    std::lock_guard lock(m_mutex);
    // A conversion that had ended before the run came to it drew nothing and leaves no line.
    if (m_bar && m_reported) {
        m_bar->update(m_size);
        m_bar->finish();
    }
    m_bar.reset();
    m_awaited.reset();
    m_reported = false;
}

ConversionBars &terminalConversionBars() {
    static ConversionBars bars(stderr, ::isatty(STDERR_FILENO) != 0);
    return bars;
}

std::string ProgressBar::render() const {
    const double fraction = m_total == 0 ? 1.0 : double(m_done) / double(m_total);
    const int filled = int(fraction * kBarWidth + 0.5);
    std::string bar(size_t(filled < 0 ? 0 : filled > kBarWidth ? kBarWidth : filled), '#');
    bar.resize(kBarWidth, ' ');
    const double elapsed = m_clock() - m_started;
    const double speed = elapsed > 0 ? double(m_done) / elapsed : 0;
    char line[256];
    std::string rate = speed > 0 ? formatBytes(uint64_t(speed)) + "/s" : "-";
    std::string left = m_done >= m_total ? "0:00"
                       : speed > 0       ? formatDuration(double(m_total - m_done) / speed)
                                         : "--:--"; // no speed measured yet
    std::snprintf(line, sizeof line, "%s [%s] %3d%%  %s/%s  %s  %s left", m_label.c_str(),
                  bar.c_str(), int(fraction * 100), formatBytes(m_done).c_str(),
                  formatBytes(m_total).c_str(), rate.c_str(), left.c_str());
    return line;
}

int followTransfer(const std::function<int(KSNotifyTarget *)> &start, ProgressBar &bar) {
    NotifyQueue queue;
    InterruptGuard guard;
    if (start(&queue) == 0) {
        const int code = KSUSB_GetLastError();
        return code < 0 ? code : -1;
    }
    bool stopRequested = false;
    for (;;) {
        if (guard.interrupted() && !stopRequested) {
            stopRequested = true;
            KSUSB_Stop(); // the worker ends with -43 after its current block
        }
        const auto n = queue.next(kInterruptPoll);
        if (!n)
            continue;
        switch (n->what) {
        case KSUSB_XFER_START:
            bar.start(uint64_t(n->value));
            bar.update(0);
            break;
        case KSUSB_XFER_PROGRESS:
            bar.update(uint64_t(n->value));
            break;
        case KSUSB_XFER_DONE:
            bar.update(uint64_t(n->value));
            bar.finish();
            return 0;
        case KSUSB_XFER_FAILED:
            bar.finish();
            return n->value < 0 ? int(n->value) : -1;
        default:
            break;
        }
    }
}

} // namespace kesto

namespace kesto {

int reportFailure(std::string_view verb, int code, std::string_view subject) {
    const std::string about = subject.empty() ? std::string() : terminalText(subject) + ": ";
    std::fprintf(stderr, "kesto %.*s: %s%s\n", int(verb.size()), verb.data(), about.c_str(),
                 describeError(code).c_str());
    return kExitFailed;
}

ProgressBar terminalBar(std::string label) {
    return ProgressBar(terminalText(label), stderr, isatty(STDERR_FILENO) != 0);
}

} // namespace kesto
