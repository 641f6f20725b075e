// One window at a time: a second start hands its files to the running copy over the local
// socket, whatever their number, and talks only to a socket of its own user.
#include "shell/singleinstance.h"

#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using tunara::shell::SingleInstance;

namespace {
// User `nobody` listens on `path` in a child process (the test runs as root for this).
pid_t foreignSocket(const QString &path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    ::strncpy(a.sun_path, QFile::encodeName(path).constData(), sizeof a.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const pid_t pid = ::fork();
    if (pid == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0 &&
        ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(fd, 8) == 0)
        ::pause();
    if (pid == 0)
        ::_exit(1);
    return pid;
}
} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT
private slots:
    void handOver_data() {
        QTest::addColumn<bool>("privateFolder"); // XDG_RUNTIME_DIR set and private
        QTest::addColumn<QString>("squatter");   // who made a socket first in the shared folder
        QTest::addColumn<int>("paths");
        QTest::newRow("3,000 long paths all arrive") << true << QString() << 3000;
        QTest::newRow("shared folder, 3,000 paths") << false << QString() << 3000;
        QTest::newRow("private folder passes a socket in the shared one") << true << "me" << 3;
        QTest::newRow("another user's socket is told nothing") << false << "nobody" << 3;
    }
    void handOver() {
        QFETCH(bool, privateFolder);
        QFETCH(QString, squatter);
        QFETCH(int, paths);
        if (squatter == "nobody" && ::getuid() != 0)
            QSKIP("making another user's socket needs root");
        QTemporaryDir shared, run;
        QCOMPARE(::chmod(QFile::encodeName(shared.path()).constData(), 01777), 0);
        const QByteArray oldTmp = qgetenv("TMPDIR");
        auto restore = qScopeGuard([&] {
            qputenv("TMPDIR", oldTmp);
            qunsetenv("XDG_RUNTIME_DIR");
        });
        qputenv("TMPDIR", shared.path().toUtf8());
        qunsetenv("XDG_RUNTIME_DIR");
        const QString cls = QStringLiteral("test-%1").arg(QCoreApplication::applicationPid());
        const QString sharedName = SingleInstance(cls, "TUNARA").serverName();
        QLocalServer mine;
        QVERIFY(squatter != "me" || mine.listen(sharedName));
        const pid_t foreign = squatter == "nobody" ? foreignSocket(sharedName) : -1;
        auto stop = qScopeGuard([foreign] {
            if (foreign > 0 && ::kill(foreign, SIGKILL) == 0)
                ::waitpid(foreign, nullptr, 0);
        });
        QTRY_VERIFY(foreign < 0 || QFileInfo::exists(sharedName));
        if (privateFolder)
            qputenv("XDG_RUNTIME_DIR", run.path().toUtf8());

        SingleInstance first(cls, "TUNARA"), second(cls, "TUNARA"), other(cls, "OTHER");
        QVERIFY(first.serverName().startsWith((privateFolder ? run : shared).path() + '/'));
        QVERIFY(first.claim());
        QSignalSpy raised(&first, &SingleInstance::raiseRequested);
        QSignalSpy files(&first, &SingleInstance::filesHandedOver);
        QStringList sent;
        for (int i = 0; i < paths; ++i)
            sent << QStringLiteral("/music/%1/%2.mp3").arg(i).arg(QString(180, QLatin1Char('x')));
        QCOMPARE(second.claim({'S', sent}), foreign > 0); // both start beside a stranger
        QVERIFY(!mine.waitForNewConnection(0));
        QVERIFY(QFileInfo::exists(sharedName) || squatter.isEmpty()); // not removed
        QVERIFY(other.claim()); // another window name is another program
        if (foreign > 0)
            return;
        QCOMPARE(second.handOverFailure(), SingleInstance::HandOverFailure::None);
        QCOMPARE(raised.size(), 1);
        const QStringList received = files.value(0).value(1).toStringList();
        QCOMPARE(received.size(), paths); // counted where they arrive
        QVERIFY(received == sent);

        // A request cut off by a second start that died is said, not dropped without a word.
        QLocalSocket cut;
        cut.connectToServer(first.serverName());
        QVERIFY(cut.waitForConnected(5000));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cut off after"));
        cut.write(SingleInstance::encode({'M', {"/a.mp3", "/b.mp3"}}).chopped(3));
        cut.disconnectFromServer();
        QTRY_COMPARE(raised.size(), 2);
        QCOMPARE(files.size(), 1);
    }

    // A running copy that hangs up leaves the second start with a failure to report.
    void runningCopyHangsUp() {
        SingleInstance second(QStringLiteral("hang-up-%1").arg(::getpid()), "TUNARA");
        QLocalServer hangUp;
        QVERIFY(hangUp.listen(second.serverName()));
        connect(&hangUp, &QLocalServer::newConnection, &hangUp,
                [&hangUp] { hangUp.nextPendingConnection()->abort(); });
        QVERIFY(!second.claim({'M', {"/a.mp3"}}));
        QCOMPARE(second.handOverFailure(), SingleInstance::HandOverFailure::NoAnswer);
    }
};

QTEST_MAIN(TestSingleInstance)
#include "test_singleinstance.moc"
