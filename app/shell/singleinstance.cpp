#include "singleinstance.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QtEndian>

#include <memory>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tunara::shell {

namespace {
constexpr int ConnectTimeoutMs = 500;
constexpr quint32 MaxPaths = 100000;
// A request: "raise\n", the payload's length (4 bytes, big-endian), the payload (memory,
// count, paths). The running copy answers "ok\n" once it has taken the files.
const QByteArray RaiseRequest = "raise\n";
constexpr qsizetype HeaderBytes = 6 + 4;
const QByteArray Answer = "ok\n";
// A socket path holds at most 107 bytes, and the server binds first under a name a few bytes
// longer before renaming it into place.
constexpr qsizetype MaxFolderBytes = 60;

// The folder of the socket: the user's private run-time folder when there is one.
QString socketFolder() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (!runtime.isEmpty() && runtime.size() <= MaxFolderBytes &&
        ::stat(runtime.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
        (st.st_mode & (S_IRWXG | S_IRWXO)) == 0)
        return QFile::decodeName(runtime);
    return QDir::tempPath();
}

// The whole request's size once its header has arrived: -1 while it has not, 0 when the
// bytes are not framed as ours (another program's; taken as they are at hang-up).
qsizetype requestSize(const QByteArray &data) {
    if (data.size() < HeaderBytes)
        return data.startsWith(RaiseRequest.left(data.size())) ? -1 : 0;
    if (!data.startsWith(RaiseRequest))
        return 0;
    const quint32 payload = qFromBigEndian<quint32>(data.constData() + RaiseRequest.size());
    if (payload > quint32(SingleInstance::MaxRequestBytes - HeaderBytes))
        return 0;
    return HeaderBytes + qsizetype(payload);
}
} // namespace

SingleInstance::SingleInstance(const QString &className, const QString &windowName, QObject *parent)
    : QObject(parent) {
    const QByteArray key = (className + QLatin1Char('\n') + windowName).toUtf8();
    const QByteArray hash =
        QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16);
    m_name = QStringLiteral("%1/tunara-%2-%3")
                 .arg(socketFolder())
                 .arg(getuid())
                 .arg(QString::fromLatin1(hash));
}

SingleInstance::~SingleInstance() = default;

int SingleInstance::peerUid(qintptr socketDescriptor) {
    struct ucred cred {};
    socklen_t size = sizeof cred;
    if (socketDescriptor < 0 ||
        ::getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0)
        return -1;
    return int(cred.uid);
}

QByteArray SingleInstance::encode(const HandOver &handOver) {
    QByteArray payload;
    QDataStream p(&payload, QIODevice::WriteOnly);
    p.setVersion(QDataStream::Qt_6_0);
    p << quint8(handOver.memoryId) << quint32(handOver.paths.size());
    for (const QString &path : handOver.paths)
        p << path;
    QByteArray out = RaiseRequest;
    QDataStream s(&out, QIODevice::Append);
    s << quint32(payload.size());
    return out + payload;
}

bool SingleInstance::parse(const QByteArray &request, HandOver &out) {
    out = HandOver{};
    if (requestSize(request) != request.size() || request.size() < HeaderBytes)
        return false;
    QDataStream s(request.mid(HeaderBytes));
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
    m_failure = HandOverFailure::None;
    QLocalSocket probe;
    probe.connectToServer(m_name);
    if (probe.waitForConnected(ConnectTimeoutMs)) {
        if (peerUid(probe.socketDescriptor()) == int(getuid())) {
            const QByteArray request = encode(handOver);
            if (request.size() > MaxRequestBytes || handOver.paths.size() > qsizetype(MaxPaths)) {
                m_failure = HandOverFailure::TooMany;
                (void)send(probe, encode({handOver.memoryId, {}}));
            } else if (!send(probe, request)) {
                m_failure = HandOverFailure::NoAnswer;
            }
            return false;
        }
        // Another user's socket under our name: it is told nothing, and we start.
        probe.abort();
    }
    if (!listen())
        qWarning("%s cannot be used; this copy runs without noticing a second start.",
                 qUtf8Printable(m_name));
    return true;
}

// Writes the whole request and waits for the answer. A local event loop rather than blocking
// waits, so that a running copy in this same thread (the tests) can read meanwhile.
bool SingleInstance::send(QLocalSocket &socket, const QByteArray &request) {
    QEventLoop loop;
    QByteArray answer;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(&socket, &QLocalSocket::readyRead, &loop, [&] {
        if (socket.bytesAvailable() > 0)
            answer += socket.readAll();
        if (answer.size() >= Answer.size())
            loop.quit();
    });
    connect(&socket, &QLocalSocket::disconnected, &loop, &QEventLoop::quit);
    connect(&socket, &QLocalSocket::errorOccurred, &loop, &QEventLoop::quit);
    if (socket.write(request) != request.size())
        return false;
    limit.start(HandOverTimeoutMs);
    loop.exec();
    if (socket.bytesAvailable() > 0)
        answer += socket.readAll();
    socket.disconnect(&loop);
    socket.abort();
    return answer.startsWith(Answer);
}

bool SingleInstance::listen() {
    const QByteArray path = QFile::encodeName(m_name);
    struct stat st {};
    if (::lstat(path.constData(), &st) == 0) {
        // Only a socket of our own is one a copy of ours left behind when it crashed.
        if (!S_ISSOCK(st.st_mode) || st.st_uid != getuid())
            return false;
        QLocalServer::removeServer(m_name);
    }
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_name))
        return false;
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *s = m_server->nextPendingConnection())
            accept(s);
    });
    return true;
}

void SingleInstance::accept(QLocalSocket *s) {
    if (peerUid(s->socketDescriptor()) != int(getuid())) {
        s->abort();
        s->deleteLater();
        return;
    }
    auto data = std::make_shared<QByteArray>();
    auto done = std::make_shared<bool>(false);
    connect(s, &QLocalSocket::readyRead, s, [this, s, data, done] {
        if (*done)
            return;
        data->append(s->readAll());
        if (data->size() > MaxRequestBytes) {
            *done = true;
            qWarning("A second start sent more than %lld bytes; it was not taken.",
                     static_cast<long long>(MaxRequestBytes));
            s->abort();
            return;
        }
        const qsizetype size = requestSize(*data);
        if (size <= 0 || data->size() < size)
            return;
        *done = true;
        if (handle(*data))
            s->write(Answer);
        s->disconnectFromServer();
    });
    auto finish = [this, s, data, done] {
        s->deleteLater();
        if (*done)
            return;
        *done = true;
        data->append(s->readAll());
        const qsizetype size = requestSize(*data);
        if (size > 0 && data->size() < size) {
            qWarning("A second start's files were cut off after %lld of %lld bytes; "
                     "none of them was queued.",
                     static_cast<long long>(data->size()), static_cast<long long>(size));
            emit raiseRequested();
            return;
        }
        (void)handle(*data);
    };
    if (s->state() == QLocalSocket::UnconnectedState)
        finish();
    else
        connect(s, &QLocalSocket::disconnected, this, finish);
}

bool SingleInstance::handle(const QByteArray &request) {
    HandOver h;
    const bool understood = parse(request, h);
    // A request we do not understand is still a second start asking us to come forward.
    if (understood && !h.paths.isEmpty())
        emit filesHandedOver(h.memoryId, h.paths);
    emit raiseRequested();
    return understood;
}

} // namespace tunara::shell
