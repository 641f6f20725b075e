// Watches for the player coming and going without calling the library on the UI thread. A
// watcher thread asks the library's presence test (which only enumerates: it opens nothing and
// never touches the open connection's pipes) every PresenceIntervalMs, and between two asks
// waits on libusb's hot-plug notice where the library has it, so that a local player is seen at
// once. USB/IP servers give no notice; polling their device list is what finds a remote player,
// and an unreachable server only holds up the watcher thread, never the window.
//
// The answers are delivered to the UI thread; a change of the answer is our "device nodes
// changed" event. An answer that arrives while a device call or a modal loop runs is left
// aside: the next one, a moment later, is measured instead. A slower timer on the UI thread
// fires polled() for the card-state check, which does talk to the player and so stays on the
// thread that owns the connection.
#pragma once

#include <QObject>
#include <QTimer>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace tunara::shell {

class DeviceWatch : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultIntervalMs = 700;  // card-state polls (UI thread)
    static constexpr int PresenceIntervalMs = 100; // presence asks (watcher thread)

    explicit DeviceWatch(QObject *parent = nullptr);
    ~DeviceWatch() override;

    // The presence test; KSUSB_PlayerPresent unless replaced. Runs on the watcher thread (and
    // on the caller's for poll()), so it must not touch what the UI thread uses.
    void setProbe(std::function<bool()> probe);
    // Waits up to the given milliseconds for a device change notice: 1 notice, 0 time passed,
    // -1 no notice available (the thread then just sleeps). KSUSB_WaitDeviceChange unless
    // replaced. Watcher thread.
    void setNotice(std::function<int(int)> notice);
    // Whether an answer must wait (a device call or a modal loop is running). UI thread.
    void setPaused(std::function<bool()> paused) { m_paused = std::move(paused); }
    void start(int intervalMs = DefaultIntervalMs, int presenceMs = PresenceIntervalMs);
    // Ends the watcher thread; waits for an ask in progress (bounded by the library's connect
    // limit) so that nothing of the watch outlives it.
    void stop();
    bool running() const { return m_thread.joinable(); }

    // One presence ask now, on the caller's thread; returns whether it reported a change.
    bool poll();
    bool lastPresent() const { return m_present; }
    // What the last connection attempt found: a change is measured against it, so that a
    // player that goes between the start-up refresh and the first poll is still noticed.
    void setBaseline(bool present) {
        m_known = true;
        m_present = present;
    }

signals:
    void deviceNodesChanged(bool present);
    // Fires on every card-state tick that was not skipped, and after every poll() that was not.
    void polled(bool present);

private:
    bool apply(bool present);
    void run(int presenceMs);

    QTimer m_timer;
    std::function<bool()> m_paused;
    bool m_known = false;
    bool m_present = false;

    // Shared with the watcher thread.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::function<bool()> m_probe;
    std::function<int(int)> m_notice;
    std::thread m_thread;
};

} // namespace tunara::shell
