#include "singleinstance.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <memory>

#include <unistd.h>

namespace tunara::shell {

namespace {
constexpr int ConnectTimeoutMs = 500;
constexpr int WriteTimeoutMs = 2000;
const QByteArray RaiseRequest = "raise\n";
constexpr quint32 MaxPaths = 100000;
} // namespace

SingleInstance::SingleInstance(const QString &className, const QString &windowName, QObject *parent)
    : QObject(parent) {
    const QByteArray key = (className + QLatin1Char('\n') + windowName).toUtf8();
    const QByteArray hash =
        QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16);
    m_name = QStringLiteral("tunara-%1-%2").arg(getuid()).arg(QString::fromLatin1(hash));
}

SingleInstance::~SingleInstance() = default;

QByteArray SingleInstance::encode(const HandOver &handOver) {
    QByteArray out = RaiseRequest;
    if (handOver.paths.isEmpty())
        return out;
    QDataStream s(&out, QIODevice::Append);
    s.setVersion(QDataStream::Qt_6_0);
    s << quint8(handOver.memoryId) << quint32(handOver.paths.size());
    for (const QString &p : handOver.paths)
        s << p;
    return out;
}

bool SingleInstance::parse(const QByteArray &request, HandOver &out) {
    out = HandOver{};
    if (!request.startsWith(RaiseRequest))
        return false;
    const QByteArray body = request.mid(RaiseRequest.size());
    if (body.isEmpty())
        return true;
    QDataStream s(body);
    s.setVersion(QDataStream::Qt_6_0);
    quint8 memory = 0;
    quint32 count = 0;
    s >> memory >> count;
    if (s.status() != QDataStream::Ok || (memory != 'M' && memory != 'S') || count > MaxPaths)
        return false;
    QStringList paths;
    for (quint32 i = 0; i < count; ++i) {
        QString p;
        s >> p;
        if (s.status() != QDataStream::Ok || !QDir::isAbsolutePath(p))
            return false;
        paths << p;
    }
    if (!s.atEnd())
        return false;
    out.memoryId = memory;
    out.paths = paths;
    return true;
}

bool SingleInstance::claim(const HandOver &handOver) {
    QLocalSocket probe;
    probe.connectToServer(m_name);
    if (probe.waitForConnected(ConnectTimeoutMs)) {
        probe.write(encode(handOver));
        probe.waitForBytesWritten(WriteTimeoutMs);
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
            // The request is complete when the second copy hangs up.
            auto data = std::make_shared<QByteArray>();
            connect(s, &QLocalSocket::readyRead, s, [s, data] {
                data->append(s->readAll());
                if (data->size() > MaxRequestBytes)
                    s->abort();
            });
            auto finish = [this, s, data] {
                data->append(s->readAll());
                s->deleteLater();
                if (data->size() <= MaxRequestBytes)
                    handle(*data);
            };
            if (s->state() == QLocalSocket::UnconnectedState)
                finish();
            else
                connect(s, &QLocalSocket::disconnected, this, finish);
        }
    });
    return true;
}

void SingleInstance::handle(const QByteArray &request) {
    HandOver h;
    if (!parse(request, h)) {
        // Not a hand-over we understand: still a second start asking us to come forward.
        emit raiseRequested();
        return;
    }
    if (!h.paths.isEmpty())
        emit filesHandedOver(h.memoryId, h.paths);
    emit raiseRequested();
}

} // namespace tunara::shell
