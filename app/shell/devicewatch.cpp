#include "devicewatch.h"

#include <KestoUSB.h>

namespace tunara::shell {

DeviceWatch::DeviceWatch(QObject *parent) : QObject(parent) {
    m_probe = [] { return KSUSB_PlayerPresent() != 0; };
    connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
}

void DeviceWatch::start(int intervalMs) {
    m_timer.start(intervalMs);
}

bool DeviceWatch::poll() {
    if (m_paused && m_paused())
        return false;
    const bool present = m_probe();
    // The first answer only sets the baseline: the start-up refresh covers the player that is
    // already there.
    const bool changed = m_known && present != m_present;
    m_known = true;
    m_present = present;
    if (changed)
        emit deviceNodesChanged(present);
    emit polled(present);
    return changed;
}

} // namespace tunara::shell
