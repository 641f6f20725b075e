// One main window at a time: the first copy listens on a local socket named after the main
// window's class and window names; a second copy asks it to come forward, hands over the files
// it was started with, and ends.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class QLocalServer;

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
    static constexpr qsizetype MaxRequestBytes = 4 * 1024 * 1024;

    SingleInstance(const QString &className, const QString &windowName, QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this copy is the first; false after asking the first one to come forward (and
    // to queue `handOver`'s files).
    bool claim(const HandOver &handOver = {});
    QString serverName() const { return m_name; }

    // The request bytes for a hand-over, and back; parse returns false for anything else
    // (another program's bytes, relative paths, an unknown memory).
    static QByteArray encode(const HandOver &handOver);
    static bool parse(const QByteArray &request, HandOver &out);

signals:
    void raiseRequested();
    void filesHandedOver(unsigned char memoryId, const QStringList &paths);

private:
    void handle(const QByteArray &request);

    QString m_name;
    QLocalServer *m_server = nullptr;
};

} // namespace tunara::shell
