#include "instancebus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusReply>
#include <QEventLoop>
#include <QFileInfo>

#include <atomic>
#include <utility>

#include <unistd.h>

namespace tunara::shell {

namespace {
// What the owner answers a request it took (the local socket's answer too).
const QByteArray Answer = "ok\n";
std::atomic<int> s_connections{0};

// The session bus's address: the one the session gave, else the usual socket of the user's
// run-time folder. Empty: no session bus.
QString sessionAddress() {
    const QString given = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    if (!given.isEmpty())
        return given;
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const QString socket = runtime + QStringLiteral("/bus");
    if (!runtime.isEmpty() && QFileInfo::exists(socket))
        return QStringLiteral("unix:path=") + socket;
    return {};
}
} // namespace

InstanceBus::InstanceBus(const QString &key, QObject *parent)
    : QObject(parent), m_service(QLatin1String(ServicePrefix) + key) {
    const QString address = sessionAddress();
    if (address.isEmpty())
        return;
    // A connection of its own: a second copy in the same process (the tests) is another
    // client of the bus, as a second program is.
    m_connectionName = QStringLiteral("tunara-instance-%1-%2").arg(getpid()).arg(++s_connections);
    m_bus =
        std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(address, m_connectionName));
}

InstanceBus::~InstanceBus() {
    release();
    if (m_bus) {
        m_bus.reset();
        QDBusConnection::disconnectFromBus(m_connectionName);
    }
}

bool InstanceBus::connected() const {
    return m_bus && m_bus->isConnected() && m_bus->interface() != nullptr;
}

InstanceBus::Claim InstanceBus::claim(Handler handler) {
    if (!connected())
        return Claim::Failed;
    // The object is there before the name is: a call that comes at once finds it.
    m_handler = std::move(handler);
    if (!m_bus->registerObject(QLatin1String(ObjectPath), Interface, this,
                               QDBusConnection::ExportScriptableSlots))
        return Claim::Failed;
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        m_bus->interface()->registerService(m_service, QDBusConnectionInterface::DontQueueService,
                                            QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        m_owned = true;
        return Claim::Owned;
    }
    m_bus->unregisterObject(QLatin1String(ObjectPath));
    m_handler = {};
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceNotRegistered)
        return Claim::Taken;
    return Claim::Failed;
}

void InstanceBus::release() {
    if (!std::exchange(m_owned, false) || !connected())
        return;
    // Given up at once, not when the connection closes: a copy started next finds it free.
    (void)m_bus->interface()->unregisterService(m_service);
    m_bus->unregisterObject(QLatin1String(ObjectPath));
    m_handler = {};
}

QByteArray InstanceBus::send(const QByteArray &request, int timeoutMs) {
    if (!connected())
        return {};
    QDBusMessage call = QDBusMessage::createMethodCall(
        m_service, QLatin1String(ObjectPath), QLatin1String(Interface), QStringLiteral("HandOver"));
    call << request;
    // Not a blocking call: a first copy in this same thread (the tests) answers meanwhile.
    QDBusPendingCallWatcher watcher(m_bus->asyncCall(call, timeoutMs));
    if (!watcher.isFinished()) {
        QEventLoop loop;
        connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    const QDBusPendingReply<QByteArray> reply(watcher);
    return reply.isValid() ? reply.value() : QByteArray();
}

QByteArray InstanceBus::HandOver(const QByteArray &request) {
    // The session bus lets only the user's processes in; a bus set up otherwise still hands
    // us nothing of another user's.
    if (!m_handler || !calledFromDBus() ||
        connection().interface()->serviceUid(message().service()).value() != getuid())
        return {};
    return m_handler(request) ? Answer : QByteArray();
}

} // namespace tunara::shell
