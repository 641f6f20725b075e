// The "window" the library's transfer worker posts to. The worker's callback only queues a Qt
// event for the receiver on the UI thread. Progress notifications (one per block, tens of
// thousands a second on a fast link) are folded: while one progress event waits in the queue,
// later ones only replace its value, so the queue never floods and the value read is always
// the latest. Start, done and failed each get an event of their own, in order.
//
// The library's worker holds the bridge from the transfer call until it has posted its last
// notification (done or failed): the bridge is shared, and the worker's share goes only after
// that post has returned, so a receiver that goes away first never frees it under the worker.
#pragma once

#include <KestoUSB.h>

#include <QEvent>
#include <QMutex>
#include <QObject>
#include <QWaitCondition>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

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

class NotifyBridge : public KSNotifyTarget, public std::enable_shared_from_this<NotifyBridge> {
public:
    // Made shared (std::make_shared): a worker takes a share of it.
    explicit NotifyBridge(QObject *receiver);
    NotifyBridge(const NotifyBridge &) = delete;
    NotifyBridge &operator=(const NotifyBridge &) = delete;

    // UI thread, right before a call that hands this target to the library's worker: the
    // worker holds the bridge from now on; the run's number. workerRefused() when the call
    // started no worker.
    quint64 workerStarting();
    void workerRefused();
    // A worker may still post (its last notification has not been posted yet). Any thread.
    bool workerRunning() const;
    // Blocks the calling thread until the worker's last notification, at most `limit`.
    // Returns true when no worker runs any more.
    bool waitWorkerEnded(std::chrono::milliseconds limit);
    // Waits up to `limit` for the end of the worker of `run` (workerStarting's number): 1 it
    // reported the file done, 0 it failed, was refused or the receiver went, -1 it still runs.
    int waitOutcome(quint64 run, std::chrono::milliseconds limit);
    // A download the link began on its own was refused by the library: the receiver gets an
    // event of code RefusedEvent with the library's code. Any thread.
    static constexpr unsigned RefusedEvent = 0x100;
    void postRefused(int code);
    // A download armed to follow the running one will not begin: an event of code
    // DeclinedEvent with the number it was armed under. Any thread.
    static constexpr unsigned DeclinedEvent = 0x101;
    void postDeclined(quint64 armed);
    // No more events for the receiver (it is going away); the worker may still call post.
    void detach();
    // detach() has been called. Any thread.
    bool detached() const;
    // UI thread, on a progress event: the latest byte count, and the fold opened again.
    std::intptr_t takeProgress();

private:
    static void postThunk(KSNotifyTarget *self, unsigned int message, uintptr_t wParam,
                          intptr_t lParam);
    // An event of the link's own (not the worker's) for the receiver, while it has one.
    void postToReceiver(unsigned code, std::intptr_t value);
    // Returns the worker's share of the bridge after its last notification (empty before).
    std::shared_ptr<NotifyBridge> post(unsigned code, std::intptr_t value);

    mutable QMutex m_mutex;
    QWaitCondition m_workerEnded;
    QObject *m_receiver;                         // guarded by m_mutex
    std::shared_ptr<NotifyBridge> m_workerShare; // guarded by m_mutex
    quint64 m_started = 0;                       // guarded by m_mutex: workers announced
    quint64 m_ended = 0;                         // guarded by m_mutex: the last that ended
    bool m_endedDone = false;                    // guarded by m_mutex: it ended with the file
    std::atomic<bool> m_progressQueued{false};
    std::atomic<std::intptr_t> m_progress{0};
};

} // namespace tunara::transfer
