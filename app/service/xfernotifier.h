// The "window" a service dialog hands to the library's transfer worker: the worker's
// WM_XFER_NOTIFY posts become Qt events on the user-interface thread, where `notified` is
// emitted. The worker holds the target's address until its final notification (3 or 4), so
// the owner must stay alive until then (the service dialogs cannot be closed while sending).
#pragma once

#include <KestoUSB.h>

#include <QObject>

#include <cstdint>

namespace tunara::service {

class XferNotifier : public QObject, public KSNotifyTarget {
    Q_OBJECT
public:
    explicit XferNotifier(QObject *parent = nullptr);

    KSNotifyTarget *target() { return this; }

signals:
    // wParam 1 start (lParam size), 2 progress (bytes), 3 done (size), 4 failed (code).
    void notified(unsigned code, qint64 value);

protected:
    void customEvent(QEvent *event) override;

private:
    static void post(KSNotifyTarget *self, unsigned int message, uintptr_t wParam, intptr_t lParam);
};

} // namespace tunara::service
