// One main window at a time: the first copy listens on a local socket named after the main
// window's class and window names; a second copy asks it to come forward, hands over the files
// it was started with, waits for its answer, and ends.
//
// The socket lives in $XDG_RUNTIME_DIR when that folder is private to the user; otherwise in
// the shared temporary folder, where another user could have made the name first: there a copy
// talks only to a socket whose other end runs as the same user, and removes only its own.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;
class QLocalSocket;

namespace tunara::shell {

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
    // The full path of the socket.
    QString serverName() const { return m_name; }

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
    bool send(QLocalSocket &socket, const QByteArray &request);
    bool listen();
    void accept(QLocalSocket *socket);
    bool handle(const QByteArray &request); // false: not a request we understand

    QString m_name;
    QLocalServer *m_server = nullptr;
    HandOverFailure m_failure = HandOverFailure::None;
};

} // namespace tunara::shell
