// Watches for the player coming and going. The library's presence test only enumerates (it
// opens nothing), so it is polled from a timer on the UI thread; a change of its answer is our
// "device nodes changed" event. Polls are skipped while a device call is in progress.
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

namespace tunara::shell {

class DeviceWatch : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultIntervalMs = 700;

    explicit DeviceWatch(QObject *parent = nullptr);

    // The presence test; KSUSB_PlayerPresent unless replaced.
    void setProbe(std::function<bool()> probe) { m_probe = std::move(probe); }
    // Whether polling must wait (a device call or a modal loop is running).
    void setPaused(std::function<bool()> paused) { m_paused = std::move(paused); }
    void start(int intervalMs = DefaultIntervalMs);
    void stop() { m_timer.stop(); }

    // One poll now; returns whether it reported a change.
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
    // Fires on every poll that was not skipped, after any change was reported.
    void polled(bool present);

private:
    QTimer m_timer;
    std::function<bool()> m_probe;
    std::function<bool()> m_paused;
    bool m_known = false;
    bool m_present = false;
};

} // namespace tunara::shell
