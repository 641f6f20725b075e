#include "queuerunner.h"

#include "device/playerlink.h"
#include "notifybridge.h"

#include <KestoUSB.h>

#include <chrono>

namespace tunara::transfer {

namespace {
// How long a runner going away waits for a stopped worker's last notification.
constexpr std::chrono::milliseconds WorkerEndLimit{3000};
} // namespace

QueueRunner::QueueRunner(device::PlayerLink &link, QObject *parent)
    : QObject(parent), m_link(link), m_bridge(std::make_shared<NotifyBridge>(this)) {}

QueueRunner::~QueueRunner() {
    // Whatever we were told last, a worker may post until its last notification: it gets a
    // target that drops what it posts, and it keeps that target until then.
    m_bridge->detach();
    if (!m_calling && m_bridge->workerRunning()) {
        (void)KSUSB_Stop();
        (void)m_bridge->waitWorkerEnded(WorkerEndLimit);
    }
}

void QueueRunner::run(unsigned char memory, bool download, const QByteArray &local,
                      const QByteArray &remote) {
    // The start call announces the file on the player link; the worker it starts reports
    // through the bridge, whose share it holds from here on.
    m_bridge->workerStarting();
    m_calling = true;
    m_link.call(
        this,
        [bridge = m_bridge, memory, download, local, remote] {
            device::CallReply r;
            r.ok = (download ? KSUSB_Download(memory, local.constData(), bridge.get(), ProgressStep)
                             : KSUSB_Upload(memory, remote.constData(), local.constData(),
                                            bridge.get(), ProgressStep)) != 0;
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
    default:
        break;
    }
}

} // namespace tunara::transfer
