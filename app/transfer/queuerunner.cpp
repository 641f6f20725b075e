#include "queuerunner.h"

#include "device/playerlink.h"
#include "notifybridge.h"

#include <KestoUSB.h>

#include <chrono>
#include <memory>

namespace tunara::transfer {

namespace {
// How long a runner going away waits for a stopped worker's last notification.
constexpr std::chrono::milliseconds WorkerEndLimit{3000};
// How long the link waits for a transfer's end before it looks whether it is going.
constexpr std::chrono::milliseconds OutcomeSlice{100};
} // namespace

QueueRunner::QueueRunner(device::PlayerLink &link, QObject *parent)
    : QObject(parent), m_link(link), m_bridge(std::make_shared<NotifyBridge>(this)) {}

QueueRunner::~QueueRunner() {
    // Nothing begins after this; a download that began is stopped below, as any other.
    (void)m_link.followUp().takeBack();
    // Whatever we were told last, a worker may post until its last notification: it gets a
    // target that drops what it posts, and it keeps that target until then.
    m_bridge->detach();
    // The stop blocks for a second or more: it runs on the link, whose end the process waits
    // for, while the window goes at once. A start call still on the link stops its own worker.
    // The stop runs where its last holder lets go of it: on the link after the work ran, or,
    // when the link ends without running it, where the link drops it; a worker is never left
    // running with the bridge's share.
    if (!m_calling && m_bridge->workerRunning()) {
        std::shared_ptr<void> stop(nullptr, [bridge = m_bridge](void *) {
            if (!bridge->workerRunning())
                return;
            (void)KSUSB_Stop();
            (void)bridge->waitWorkerEnded(WorkerEndLimit);
        });
        // Moved, not copied: a copy left here could be the last holder once the link ran.
        m_link.finally([stop = std::move(stop)] {});
    }
}

void QueueRunner::run(unsigned char memory, bool download, const QByteArray &local,
                      const QByteArray &remote) {
    // The start call announces the file on the player link; the worker it starts reports
    // through the bridge, whose share it holds from here on.
    const quint64 ticket = m_bridge->workerStarting();
    m_calling = true;
    // The bridge keeps its share for a worker only once one started: a start call that failed,
    // or that the link dropped without making it (the window went first), gives it back.
    struct StartGuard {
        std::shared_ptr<NotifyBridge> bridge;
        bool started = false;
        ~StartGuard() {
            if (bridge && !started)
                bridge->workerRefused();
        }
    };
    const auto guard = std::make_shared<StartGuard>();
    guard->bridge = m_bridge;
    m_link.call(
        this,
        [guard, memory, download, local, remote] {
            NotifyBridge *bridge = guard->bridge.get();
            device::CallReply r;
            r.ok = (download ? KSUSB_Download(memory, local.constData(), bridge, ProgressStep)
                             : KSUSB_Upload(memory, remote.constData(), local.constData(), bridge,
                                            ProgressStep)) != 0;
            guard->started = r.ok;
            if (!r.ok)
                r.code = KSUSB_GetLastError();
            else if (bridge->detached())
                (void)KSUSB_Stop(); // the runner went while the call ran
            return r;
        },
        [this](const device::CallReply &r) {
            m_calling = false;
            if (r.ok)
                return; // the worker runs and reports through the bridge
            m_bridge->workerRefused();
            emit refused(r.code);
        },
        [this] { emit announcing(); });
    // The pane re-reads the memory after each download, and the next file waits for that:
    // the link reads it the moment the file has arrived, so the table is ready when asked.
    if (download) {
        m_download = m_link.followUp().newId();
        m_link.prefetchTableAfter(memory, m_download, [bridge = m_bridge, ticket] {
            return bridge->waitOutcome(ticket, OutcomeSlice);
        });
    }
}

bool QueueRunner::armFollowing(unsigned char memory, const QByteArray &local) {
    const auto start = [bridge = m_bridge, memory, local]() -> std::function<int()> {
        NotifyBridge *target = bridge.get();
        const quint64 ticket = target->workerStarting();
        // The runner went: nothing starts. It looks at the worker after it let go of the
        // bridge, so a worker started before that is stopped there, and one after here.
        if (target->detached()) {
            target->workerRefused();
            return {};
        }
        if (KSUSB_Download(memory, local.constData(), target, ProgressStep) == 0) {
            const int code = KSUSB_GetLastError();
            target->workerRefused();
            target->postRefused(code);
            return {};
        }
        if (target->detached())
            (void)KSUSB_Stop();
        return [bridge, ticket] { return bridge->waitOutcome(ticket, OutcomeSlice); };
    };
    // The bridge's event carries the number of the arm it declines: an older one is not heard.
    m_armed = m_link.followUp().arm(memory, m_download, start, [bridge = m_bridge](quint64 armed) {
        bridge->postDeclined(armed);
    });
    return m_armed != 0;
}

bool QueueRunner::takeBackFollowing(bool keepArmed) {
    if (!m_link.followUp().takeBack(keepArmed)) {
        if (!keepArmed)
            m_armed = 0;
        return false;
    }
    m_download = std::exchange(m_armed, 0);
    return true;
}

void QueueRunner::settleFollowing() {
    m_link.settleFollowUp();
}

void QueueRunner::afterLinkCalls(QObject *context, std::function<void()> done) {
    m_link.afterQueued(context, std::move(done));
}

void QueueRunner::customEvent(QEvent *event) {
    if (event->type() != XferEvent::eventType()) {
        QObject::customEvent(event);
        return;
    }
    const auto *e = static_cast<XferEvent *>(event);
    switch (e->code()) {
    case KSUSB_XFER_START:
        emit started(e->value());
        break;
    case KSUSB_XFER_PROGRESS:
        emit progress(m_bridge->takeProgress());
        break;
    case KSUSB_XFER_DONE:
        emit done(e->value());
        break;
    case KSUSB_XFER_FAILED:
        emit failed(int(e->value()));
        break;
    case NotifyBridge::RefusedEvent:
        emit refused(int(e->value()));
        break;
    case NotifyBridge::DeclinedEvent:
        if (m_armed != 0 && quint64(e->value()) == m_armed)
            emit declined();
        break;
    default:
        break;
    }
}

} // namespace tunara::transfer
