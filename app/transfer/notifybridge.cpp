#include "notifybridge.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMutexLocker>

namespace tunara::transfer {

QEvent::Type XferEvent::eventType() {
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}

NotifyBridge::NotifyBridge(QObject *receiver)
    : KSNotifyTarget{&NotifyBridge::postThunk}, m_receiver(receiver) {}

quint64 NotifyBridge::workerStarting() {
    QMutexLocker lock(&m_mutex);
    m_workerShare = shared_from_this();
    return ++m_started;
}

void NotifyBridge::workerRefused() {
    QMutexLocker lock(&m_mutex);
    m_workerShare.reset();
    if (m_ended < m_started) {
        m_ended = m_started;
        m_endedDone = false;
    }
    m_workerEnded.wakeAll();
}

bool NotifyBridge::detached() const {
    QMutexLocker lock(&m_mutex);
    return m_receiver == nullptr;
}

bool NotifyBridge::workerRunning() const {
    QMutexLocker lock(&m_mutex);
    return m_workerShare != nullptr;
}

bool NotifyBridge::waitWorkerEnded(std::chrono::milliseconds limit) {
    QDeadlineTimer deadline(limit);
    QMutexLocker lock(&m_mutex);
    while (m_workerShare != nullptr) {
        if (!m_workerEnded.wait(&m_mutex, deadline))
            break;
    }
    return m_workerShare == nullptr;
}

int NotifyBridge::waitOutcome(quint64 run, std::chrono::milliseconds limit) {
    QMutexLocker lock(&m_mutex);
    if (m_ended < run && m_receiver != nullptr)
        m_workerEnded.wait(&m_mutex, QDeadlineTimer(limit));
    if (m_receiver == nullptr || m_ended > run)
        return 0;
    if (m_ended < run)
        return -1;
    return m_endedDone ? 1 : 0;
}

void NotifyBridge::detach() {
    QMutexLocker lock(&m_mutex);
    m_receiver = nullptr;
    m_workerEnded.wakeAll();
}

void NotifyBridge::postRefused(int code) {
    postToReceiver(RefusedEvent, code);
}

void NotifyBridge::postDeclined(quint64 armed) {
    postToReceiver(DeclinedEvent, std::intptr_t(armed));
}

void NotifyBridge::postToReceiver(unsigned code, std::intptr_t value) {
    QMutexLocker lock(&m_mutex);
    if (m_receiver != nullptr)
        QCoreApplication::postEvent(m_receiver, new XferEvent(code, value));
}

std::intptr_t NotifyBridge::takeProgress() {
    // Open the fold first: a value stored after this queues an event of its own.
    m_progressQueued.store(false);
    return m_progress.load();
}

void NotifyBridge::postThunk(KSNotifyTarget *self, unsigned int message, uintptr_t wParam,
                             intptr_t lParam) {
    if (message != WM_XFER_NOTIFY)
        return;
    // The worker's share outlives the post: when the receiver has let go already, the bridge
    // is freed here, after its mutex has been released.
    const std::shared_ptr<NotifyBridge> share =
        static_cast<NotifyBridge *>(self)->post(unsigned(wParam), lParam);
}

std::shared_ptr<NotifyBridge> NotifyBridge::post(unsigned code, std::intptr_t value) {
    if (code == KSUSB_XFER_PROGRESS) {
        m_progress.store(value);
        if (m_progressQueued.exchange(true))
            return {};
    }
    QMutexLocker lock(&m_mutex);
    std::shared_ptr<NotifyBridge> share;
    if (code == KSUSB_XFER_DONE || code == KSUSB_XFER_FAILED) {
        m_ended = m_started;
        m_endedDone = code == KSUSB_XFER_DONE;
        share = std::move(m_workerShare);
        m_workerEnded.wakeAll();
    }
    if (m_receiver != nullptr)
        QCoreApplication::postEvent(m_receiver, new XferEvent(code, value));
    return share;
}

} // namespace tunara::transfer
