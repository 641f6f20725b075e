// The "window" the library's transfer worker posts to. The worker's callback only queues a Qt
// event for the receiver on the UI thread. Progress notifications (one per block, tens of
// thousands a second on a fast link) are folded: while one progress event waits in the queue,
// later ones only replace its value, so the queue never floods and the value read is always
// the latest. Start, done and failed each get an event of their own, in order.
#pragma once

#include <KestoUSB.h>

#include <QEvent>
#include <QMutex>
#include <QObject>

#include <atomic>
#include <cstdint>

namespace tunara::transfer {

class XferEvent : public QEvent {
public:
    static QEvent::Type eventType();
    XferEvent(unsigned code, std::intptr_t value)
        : QEvent(eventType()), m_code(code), m_value(value) {}
    unsigned code() const { return m_code; }
    std::intptr_t value() const { return m_value; }

private:
    unsigned m_code;
    std::intptr_t m_value;
};

class NotifyBridge : public KSNotifyTarget {
public:
    explicit NotifyBridge(QObject *receiver);
    NotifyBridge(const NotifyBridge &) = delete;
    NotifyBridge &operator=(const NotifyBridge &) = delete;

    // No more events for the receiver (it is going away); the worker may still call post.
    void detach();
    // UI thread, on a progress event: the latest byte count, and the fold opened again.
    std::intptr_t takeProgress();

private:
    static void postThunk(KSNotifyTarget *self, unsigned int message, uintptr_t wParam,
                          intptr_t lParam);
    void post(unsigned code, std::intptr_t value);

    QMutex m_mutex;
    QObject *m_receiver; // guarded by m_mutex
    std::atomic<bool> m_progressQueued{false};
    std::atomic<std::intptr_t> m_progress{0};
};

} // namespace tunara::transfer
