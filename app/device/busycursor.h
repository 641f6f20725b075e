// The busy pointer for the length of a device call; ends when the scope does, or earlier.
#pragma once

#include <QApplication>

namespace tunara::device {

class BusyCursor {
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { end(); }
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;
    void end() {
        if (m_on) {
            m_on = false;
            QApplication::restoreOverrideCursor();
        }
    }

private:
    bool m_on = true;
};

} // namespace tunara::device
