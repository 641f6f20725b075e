#include "xfernotifier.h"

#include <QCoreApplication>
#include <QEvent>

namespace tunara::service {

namespace {

const QEvent::Type XferEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

class XferEvent : public QEvent {
public:
    XferEvent(unsigned c, qint64 v) : QEvent(XferEventType), code(c), value(v) {}
    const unsigned code;
    const qint64 value;
};

} // namespace

XferNotifier::XferNotifier(QObject *parent)
    : QObject(parent), KSNotifyTarget{&XferNotifier::post} {}

void XferNotifier::post(KSNotifyTarget *self, unsigned int message, uintptr_t wParam,
                        intptr_t lParam) {
    if (message != WM_XFER_NOTIFY)
        return;
    // On the worker thread: only queue. postEvent is thread-safe and takes the event.
    auto *notifier = static_cast<XferNotifier *>(self);
    QCoreApplication::postEvent(notifier,
                                new XferEvent(static_cast<unsigned>(wParam), qint64(lParam)));
}

void XferNotifier::customEvent(QEvent *event) {
    if (event->type() != XferEventType) {
        QObject::customEvent(event);
        return;
    }
    const auto *e = static_cast<const XferEvent *>(event);
    emit notified(e->code, e->value);
}

} // namespace tunara::service
