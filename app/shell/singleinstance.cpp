#include "singleinstance.h"

#include <QCryptographicHash>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace tunara::shell {

namespace {
constexpr int ConnectTimeoutMs = 500;
const QByteArray RaiseRequest = "raise\n";
} // namespace

SingleInstance::SingleInstance(const QString &className, const QString &windowName, QObject *parent)
    : QObject(parent) {
    const QByteArray key = (className + QLatin1Char('\n') + windowName).toUtf8();
    const QByteArray hash =
        QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16);
    m_name = QStringLiteral("tunara-%1-%2").arg(getuid()).arg(QString::fromLatin1(hash));
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::claim() {
    QLocalSocket probe;
    probe.connectToServer(m_name);
    if (probe.waitForConnected(ConnectTimeoutMs)) {
        probe.write(RaiseRequest);
        probe.waitForBytesWritten(ConnectTimeoutMs);
        probe.disconnectFromServer();
        return false;
    }
    // Nobody answers: a socket file left by a copy that crashed is taken over.
    QLocalServer::removeServer(m_name);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_name))
        return true; // we run anyway; only the second-copy check is lost
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *s = m_server->nextPendingConnection()) {
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            emit raiseRequested();
        }
    });
    return true;
}

} // namespace tunara::shell
