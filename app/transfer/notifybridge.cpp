#include "notifybridge.h"

#include <QCoreApplication>
#include <QMutexLocker>

namespace tunara::transfer {

QEvent::Type XferEvent::eventType() {
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}

NotifyBridge::NotifyBridge(QObject *receiver)
    : KSNotifyTarget{&NotifyBridge::postThunk}, m_receiver(receiver) {}

void NotifyBridge::detach() {
    QMutexLocker lock(&m_mutex);
    m_receiver = nullptr;
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
    static_cast<NotifyBridge *>(self)->post(unsigned(wParam), lParam);
}

void NotifyBridge::post(unsigned code, std::intptr_t value) {
    if (code == KSUSB_XFER_PROGRESS) {
        m_progress.store(value);
        if (m_progressQueued.exchange(true))
            return;
    }
    QMutexLocker lock(&m_mutex);
    if (m_receiver != nullptr)
        QCoreApplication::postEvent(m_receiver, new XferEvent(code, value));
}

} // namespace tunara::transfer
