// One main window at a time: the first copy listens on a local socket named after the main
// window's class and window names; a second copy asks it to come forward and ends.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

namespace tunara::shell {

class SingleInstance : public QObject {
    Q_OBJECT
public:
    SingleInstance(const QString &className, const QString &windowName, QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this copy is the first; false after asking the first one to come forward.
    bool claim();
    QString serverName() const { return m_name; }

signals:
    void raiseRequested();

private:
    QString m_name;
    QLocalServer *m_server = nullptr;
};

} // namespace tunara::shell
