// The session bus side of one main window at a time. The first copy owns a well-known name on
// the user's session bus (which only the user's own processes reach) and takes a second start's
// request by a method call; a second copy finds the name owned and calls it. The request and the
// answer are the bytes the local socket carries (singleinstance.h), so both ways end alike.
#pragma once

#include <QByteArray>
#include <QDBusContext>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QDBusConnection;

namespace tunara::shell {

class InstanceBus : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.tunara.Tunara.Instance")
public:
    // The name a copy owns: this prefix, then the key that tells programs apart.
    static constexpr const char *ServicePrefix = "org.tunara.Tunara.W";
    static constexpr const char *ObjectPath = "/org/tunara/Tunara";
    static constexpr const char *Interface = "org.tunara.Tunara.Instance";

    // The first copy hands each request to `handle`, which says whether it understood it.
    using Handler = std::function<bool(const QByteArray &request)>;

    // Opens a connection of its own to the session bus of DBUS_SESSION_BUS_ADDRESS, else of
    // $XDG_RUNTIME_DIR/bus; without either there is no bus. `key`: letters and digits.
    explicit InstanceBus(const QString &key, QObject *parent = nullptr);
    // Gives the name up and closes the connection.
    ~InstanceBus() override;
    InstanceBus(const InstanceBus &) = delete;
    InstanceBus &operator=(const InstanceBus &) = delete;

    bool connected() const;
    QString serviceName() const { return m_service; }

    enum class Claim {
        Owned, // this copy is the first: requests go to `handler` from now on
        Taken, // another copy of the user's owns the name: send() to it
        Failed // no bus, or it did not answer
    };
    Claim claim(Handler handler);
    // Gives the name up again (another channel found the first copy after all).
    void release();
    // A second copy: the owner's answer to `request`, empty when it gave none within
    // `timeoutMs` or failed. Runs a local event loop meanwhile.
    QByteArray send(const QByteArray &request, int timeoutMs);

public slots:
    // The method a second copy calls: the answer bytes, empty for a request not understood.
    Q_SCRIPTABLE QByteArray HandOver(const QByteArray &request);

private:
    QString m_connectionName;
    QString m_service;
    std::unique_ptr<QDBusConnection> m_bus;
    Handler m_handler;
    bool m_owned = false;
};

} // namespace tunara::shell
