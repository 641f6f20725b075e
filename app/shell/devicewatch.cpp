#include "devicewatch.h"

#include <KestoUSB.h>

#include <chrono>

namespace tunara::shell {

DeviceWatch::DeviceWatch(QObject *parent) : QObject(parent) {
    m_probe = [] { return KSUSB_PlayerPresent() != 0; };
    m_notice = [](int ms) { return KSUSB_WaitDeviceChange(ms); };
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (!(m_paused && m_paused()))
            emit polled(m_present);
    });
}

DeviceWatch::~DeviceWatch() {
    stop();
}

void DeviceWatch::setProbe(std::function<bool()> probe) {
    std::lock_guard lock(m_mutex);
    m_probe = std::move(probe);
}

void DeviceWatch::setNotice(std::function<int(int)> notice) {
    std::lock_guard lock(m_mutex);
    m_notice = std::move(notice);
}

void DeviceWatch::start(int intervalMs, int presenceMs) {
    stop();
    m_timer.start(intervalMs);
    {
        std::lock_guard lock(m_mutex);
        m_stopping = false;
    }
    m_thread = std::thread([this, presenceMs] { run(presenceMs); });
}

void DeviceWatch::stop() {
    m_timer.stop();
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void DeviceWatch::run(int presenceMs) {
    bool noticeAvailable = true;
    for (;;) {
        std::function<int(int)> notice;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
            notice = m_notice;
        }
        // Between two asks: the hot-plug notice, which ends early when a local player comes or
        // goes, or else a plain wait that stop() cuts short.
        if (!noticeAvailable || !notice || notice(presenceMs) < 0) {
            noticeAvailable = false;
            std::unique_lock lock(m_mutex);
            if (m_wake.wait_for(lock, std::chrono::milliseconds(presenceMs),
                                [this] { return m_stopping; }))
                return;
        }
        std::function<bool()> probe;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
            probe = m_probe;
        }
        const bool present = probe();
        QMetaObject::invokeMethod(
            this, [this, present] { apply(present); }, Qt::QueuedConnection);
    }
}

bool DeviceWatch::poll() {
    if (m_paused && m_paused())
        return false;
    std::function<bool()> probe;
    {
        std::lock_guard lock(m_mutex);
        probe = m_probe;
    }
    const bool changed = apply(probe());
    emit polled(m_present);
    return changed;
}

bool DeviceWatch::apply(bool present) {
    if (m_paused && m_paused())
        return false;
    // The first answer only sets the baseline: the start-up refresh covers the player that is
    // already there.
    const bool changed = m_known && present != m_present;
    m_known = true;
    m_present = present;
    if (changed)
        emit deviceNodesChanged(present);
    return changed;
}

} // namespace tunara::shell
