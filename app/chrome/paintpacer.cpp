#include "paintpacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

namespace tunara::chrome {

PaintPacer::PaintPacer(int intervalMs, QObject *parent)
    : QObject(parent), m_intervalMs(intervalMs) {}

void PaintPacer::pace(QWidget *window) {
    if (window == nullptr || m_windows.contains(window))
        return;
    m_windows.insert(window, Window{});
    window->installEventFilter(this);
    connect(window, &QObject::destroyed, this, [this](QObject *gone) { m_windows.remove(gone); });
}

bool PaintPacer::eventFilter(QObject *watched, QEvent *event) {
    // Qt asks a window to bring its changed regions to the screen with an update request, at
    // once for a repaint() and from the event loop for an update(). Held back, the regions stay
    // marked; the request sent at the end of the interval paints them all.
    if (event->type() != QEvent::UpdateRequest)
        return false;
    const auto it = m_windows.find(watched);
    if (it == m_windows.end())
        return false;
    Window &w = it.value();
    if (!w.lastPaint.isValid() || w.lastPaint.elapsed() >= m_intervalMs) {
        w.lastPaint.restart();
        return false;
    }
    ++m_held;
    if (!w.repostPending) {
        w.repostPending = true;
        const int wait = int(std::max<qint64>(m_intervalMs - w.lastPaint.elapsed(), 0));
        QPointer<QObject> target(watched);
        QTimer::singleShot(wait, this, [this, target] {
            if (target)
                repost(target);
        });
    }
    return true;
}

void PaintPacer::repost(QObject *window) {
    const auto it = m_windows.find(window);
    if (it == m_windows.end())
        return;
    it->repostPending = false;
    // Low priority, as Qt posts its own: the window's other events go first.
    QCoreApplication::postEvent(window, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
}

} // namespace tunara::chrome
