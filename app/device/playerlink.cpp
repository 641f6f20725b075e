#include "playerlink.h"

#include <QApplication>

#include <memory>
#include <utility>

namespace tunara::device {

int PlayerLink::s_busyLinks = 0;
quint64 PlayerLink::s_callsQueued = 0;

PlayerLink::PlayerLink(QObject *parent)
    : QObject(parent), m_worker(new PlayerLinkWorker(m_followUp)) {
    m_thread.setObjectName(QStringLiteral("playerLink"));
    m_worker->moveToThread(&m_thread);
    connect(m_worker, &PlayerLinkWorker::started, this, &PlayerLink::onStarted);
    connect(m_worker, &PlayerLinkWorker::finished, this, &PlayerLink::onFinished);
    m_thread.start();
}

PlayerLink::~PlayerLink() {
    // The thread ends after the work handed to finally(); the calls queued before are dropped
    // unless they have begun.
    m_worker->close();
    QThread *thread = &m_thread;
    QMetaObject::invokeMethod(
        m_worker, [thread] { thread->quit(); }, Qt::QueuedConnection);
    m_thread.wait();
    delete m_worker;
    m_waiting.clear();
    // Nobody is told: the owner is going too.
    if (m_busyShown) {
        m_busyShown = false;
        --s_busyLinks;
        QApplication::restoreOverrideCursor();
    }
}

void PlayerLink::enqueue(QObject *context, std::function<QVariant()> work,
                         std::function<void(const QVariant &)> done, std::function<void()> started,
                         bool besideTransfer) {
    // The call goes to the player before any download armed to follow the running one.
    if (!besideTransfer)
        m_followUp->drop();
    const quint64 ticket = m_nextTicket++;
    ++s_callsQueued;
    m_waiting.emplace(ticket,
                      Pending{context, context != nullptr, std::move(done), std::move(started)});
    setBusy(true);
    PlayerLinkWorker *worker = m_worker;
    QMetaObject::invokeMethod(
        worker,
        [worker, ticket, job = std::move(work), besideTransfer] {
            worker->run(ticket, job, besideTransfer);
        },
        Qt::QueuedConnection);
}

void PlayerLink::finally(std::function<void()> work) {
    // The work and what it holds end on the link thread: the posted call's functor may be let go
    // last by this thread (after the link ran it), so the work is taken out of it and ends
    // where it ran.
    auto held = std::make_shared<std::function<void()>>(std::move(work));
    QMetaObject::invokeMethod(
        m_worker,
        [held] {
            std::function<void()> run = std::exchange(*held, {});
            run();
        },
        Qt::QueuedConnection);
}

void PlayerLink::onStarted(quint64 ticket) {
    auto it = m_waiting.find(ticket);
    if (it == m_waiting.end() || !it->second.started)
        return;
    if (it->second.hasContext && it->second.context.isNull())
        return;
    it->second.started();
}

void PlayerLink::onFinished(quint64 ticket, const QVariant &result) {
    auto it = m_waiting.find(ticket);
    if (it == m_waiting.end())
        return;
    Pending p = std::move(it->second);
    m_waiting.erase(it);
    if (m_waiting.empty())
        setBusy(false);
    if (p.hasContext && p.context.isNull())
        return;
    p.done(result);
}

void PlayerLink::setBusy(bool busy) {
    if (busy == m_busyShown)
        return;
    m_busyShown = busy;
    s_busyLinks += busy ? 1 : -1;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
    emit busyChanged(busy);
}

} // namespace tunara::device
