#include "singleinstance.h"

#include "instancebus.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QtEndian>

#include <cerrno>
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

// A folder only the user can enter: ours, a real folder (not a link to one), mode 0700.
bool privateFolder(const QByteArray &path, bool followLink) {
    struct stat st {};
    const int rc = followLink ? ::stat(path.constData(), &st) : ::lstat(path.constData(), &st);
    return rc == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid() &&
           (st.st_mode & 07777) == S_IRWXU && path.size() <= MaxFolderBytes;
}

// The folder of the socket: the user's private run-time folder when there is one, else a folder
// of the user's in the temporary folder, made 0700 on first use. Empty when that one is not
// ours or open to others: another user may have made it to catch our requests.
QString socketFolder(bool *ownFolder) {
    *ownFolder = false;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && privateFolder(runtime, true))
        return QFile::decodeName(runtime);
    const QString folder = QDir::tempPath() + QStringLiteral("/tunara-%1").arg(getuid());
    const QByteArray path = QFile::encodeName(folder);
    if (::mkdir(path.constData(), S_IRWXU) != 0 && errno != EEXIST)
        return {};
    if (!privateFolder(path, false)) {
        qWarning("%s is not a folder of this user's that only it may enter; it is not used.",
                 path.constData());
        return {};
    }
    *ownFolder = true;
    return folder;
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
    const QString hash = QString::fromLatin1(
        QCryptographicHash::hash(key, QCryptographicHash::Sha1).toHex().left(16));
    bool ownFolder = false;
    if (const QString folder = socketFolder(&ownFolder); !folder.isEmpty()) {
        m_name = QStringLiteral("%1/tunara-%2-%3").arg(folder).arg(getuid()).arg(hash);
        if (ownFolder)
            m_folder = folder;
    }
    m_bus = new InstanceBus(hash, this);
}

// The socket goes with the server; the folder made for it goes when no other copy's socket is in
// it (rmdir takes only an empty folder), so nothing of ours stays in the temporary folder.
SingleInstance::~SingleInstance() {
    if (m_server != nullptr)
        m_server->close();
    if (!m_folder.isEmpty())
        ::rmdir(QFile::encodeName(m_folder).constData());
}

QString SingleInstance::busName() const {
    return m_bus->serviceName();
}

bool SingleInstance::busConnected() const {
    return m_bus->connected();
}

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
    switch (m_bus->claim([this](const QByteArray &request) { return handle(request); })) {
    case InstanceBus::Claim::Taken:
        deliverHandOver(handOver, [this](const QByteArray &request) {
            return m_bus->send(request, HandOverTimeoutMs);
        });
        return false;
    case InstanceBus::Claim::Owned:
        // A copy of ours that runs without the bus listens on the socket only.
        if (handOverBySocket(handOver)) {
            m_bus->release();
            return false;
        }
        break;
    case InstanceBus::Claim::Failed:
        if (handOverBySocket(handOver))
            return false;
        break;
    }
    // With the bus, a second start finds us there all the same.
    if (m_name.isEmpty()) {
        if (!m_bus->connected())
            qWarning("No session bus and no private folder for the local socket; this copy "
                     "runs without noticing a second start.");
    } else if (!listen() && !m_bus->connected()) {
        qWarning("%s cannot be used; this copy runs without noticing a second start.",
                 qUtf8Printable(m_name));
    }
    return true;
}

bool SingleInstance::handOverBySocket(const HandOver &handOver) {
    if (m_name.isEmpty())
        return false;
    QLocalSocket probe;
    probe.connectToServer(m_name);
    if (!probe.waitForConnected(ConnectTimeoutMs))
        return false;
    if (peerUid(probe.socketDescriptor()) != int(getuid())) {
        // Another user's socket under our name: it is told nothing, and we start.
        probe.abort();
        return false;
    }
    deliverHandOver(handOver,
                    [this, &probe](const QByteArray &request) { return send(probe, request); });
    return true;
}

void SingleInstance::deliverHandOver(const HandOver &handOver,
                                     const std::function<QByteArray(const QByteArray &)> &deliver) {
    const QByteArray request = encode(handOver);
    if (request.size() > MaxRequestBytes || handOver.paths.size() > qsizetype(MaxPaths)) {
        m_failure = HandOverFailure::TooMany;
        (void)deliver(encode({handOver.memoryId, {}}));
    } else if (!deliver(request).startsWith(Answer)) {
        m_failure = HandOverFailure::NoAnswer;
    }
}

// Writes the whole request and waits for the answer. A local event loop rather than blocking
// waits, so that a running copy in this same thread (the tests) can read meanwhile.
QByteArray SingleInstance::send(QLocalSocket &socket, const QByteArray &request) {
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
        return {};
    limit.start(HandOverTimeoutMs);
    loop.exec();
    if (socket.bytesAvailable() > 0)
        answer += socket.readAll();
    socket.disconnect(&loop);
    socket.abort();
    return answer;
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
