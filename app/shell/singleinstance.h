// One main window at a time: the first copy owns a name on the session bus and listens on a
// local socket, both named after the main window's class and window names; a second copy asks
// it to come forward, hands over the files it was started with, waits for its answer, and ends.
//
// The session bus comes first: only the user's own processes reach it (instancebus.h). The
// socket is the way without a bus. It lives in $XDG_RUNTIME_DIR when that folder is private to
// the user, else in a folder "tunara-UID" of the temporary folder that the user made with mode
// 0700; a folder of that name that is not ours or open to others is not used (another user
// could have made it first), and a copy then notices no second start without a bus. A copy
// talks only to a socket whose other end runs as the same user, and removes only its own.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QLocalServer;
class QLocalSocket;

namespace tunara::shell {

class InstanceBus;

// Files a second start hands to the first: downloads into memory 'M' or 'S'.
struct InstanceHandOver {
    unsigned char memoryId = 'M';
    QStringList paths; // absolute
};

class SingleInstance : public QObject {
    Q_OBJECT
public:
    using HandOver = InstanceHandOver;
    // A request larger than this is not a request of ours; it is dropped.
    static constexpr qsizetype MaxRequestBytes = 16 * 1024 * 1024;
    // How long a second copy waits for the first to take its request and answer.
    static constexpr int HandOverTimeoutMs = 15000;

    // Why a second copy's hand-over did not arrive.
    enum class HandOverFailure {
        None,
        NoAnswer, // the running copy did not take the request in time, or hung up
        TooMany,  // more files than one request carries; only the raise was asked for
    };

    SingleInstance(const QString &className, const QString &windowName, QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this copy is the first; false after asking the first one to come forward (and
    // to queue `handOver`'s files); then handOverFailure() says whether that arrived. Runs a
    // local event loop while it waits for the answer (at most HandOverTimeoutMs).
    bool claim(const HandOver &handOver = {});
    HandOverFailure handOverFailure() const { return m_failure; }
    // The full path of the socket; empty when no private folder could be had for it.
    QString serverName() const { return m_name; }
    // The name this copy owns or calls on the session bus.
    QString busName() const;
    // Whether a session bus could be reached.
    bool busConnected() const;

    // The request bytes for a hand-over, and back; parse returns false for anything else
    // (another program's bytes, relative paths, an unknown memory, a cut-off request).
    static QByteArray encode(const HandOver &handOver);
    static bool parse(const QByteArray &request, HandOver &out);
    // The user a connected local socket's other end runs as; -1 when the system does not say.
    static int peerUid(qintptr socketDescriptor);

signals:
    void raiseRequested();
    void filesHandedOver(unsigned char memoryId, const QStringList &paths);

private:
    // The request for `handOver` (a raise alone when the files do not fit in one) sent by
    // `deliver`, which returns the answer; sets m_failure.
    void deliverHandOver(const HandOver &handOver,
                         const std::function<QByteArray(const QByteArray &)> &deliver);
    // A copy of ours answers on the socket: the request went there.
    bool handOverBySocket(const HandOver &handOver);
    QByteArray send(QLocalSocket &socket, const QByteArray &request);
    bool listen();
    void accept(QLocalSocket *socket);
    bool handle(const QByteArray &request); // false: not a request we understand

    QString m_name;
    QString m_folder; // the socket's folder when we made it in the temporary folder
    InstanceBus *m_bus = nullptr;
    QLocalServer *m_server = nullptr;
    HandOverFailure m_failure = HandOverFailure::None;
};

} // namespace tunara::shell
