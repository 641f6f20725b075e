// One window at a time: a second start hands its files to the running copy over the local
// socket, whatever their number, and talks only to a socket of its own user.
#include "shell/singleinstance.h"

#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
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
// Sets (or, with a null value, unsets) an environment variable for one scope.
struct EnvScope {
    EnvScope(const char *variable, const QString &value) : name(variable), old(qgetenv(variable)) {
        value.isNull() ? qunsetenv(name) : qputenv(name, value.toUtf8());
    }
    ~EnvScope() { old.isNull() ? qunsetenv(name) : qputenv(name, old); }
    const char *name;
    QByteArray old;
};

// A socket that user `nobody` listens on at `path` (the test runs as root for this).
struct ForeignSocket {
    explicit ForeignSocket(const QString &path) {
        const QByteArray name = QFile::encodeName(path);
        int ready[2];
        if (path.isEmpty() || ::pipe(ready) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            ::close(ready[0]);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            ::strncpy(a.sun_path, name.constData(), sizeof a.sun_path - 1);
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0 ||
                ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
                ::listen(fd, 8) != 0 || ::write(ready[1], "x", 1) != 1)
                ::_exit(1);
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char c = 0;
        listening = pid > 0 && ::read(ready[0], &c, 1) == 1;
        ::close(ready[0]);
    }
    ~ForeignSocket() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    pid_t pid = -1;
    bool listening = false;
};
} // namespace

class TestSingleInstance : public QObject {
    Q_OBJECT
private slots:
    void handOver_data() {
        QTest::addColumn<bool>("privateFolder"); // XDG_RUNTIME_DIR set and private
        QTest::addColumn<QString>("squatter");   // who made a socket first in the shared folder
        QTest::addColumn<int>("paths");
        QTest::addColumn<bool>("handedOver");
        QTest::newRow("raise only") << true << QString() << 0 << true;
        QTest::newRow("3,000 long paths all arrive") << true << QString() << 3000 << true;
        QTest::newRow("shared folder, 3,000 paths") << false << QString() << 3000 << true;
        QTest::newRow("private folder passes a socket in the shared one")
            << true << QStringLiteral("me") << 3 << true;
        QTest::newRow("another user's socket is told nothing")
            << false << QStringLiteral("nobody") << 3 << false;
    }
    void handOver() {
        QFETCH(bool, privateFolder);
        QFETCH(QString, squatter);
        QFETCH(int, paths);
        QFETCH(bool, handedOver);
        if (squatter == "nobody" && ::getuid() != 0)
            QSKIP("making another user's socket needs root");
        QTemporaryDir shared, run;
        QCOMPARE(::chmod(QFile::encodeName(shared.path()).constData(), 01777), 0);
        EnvScope tmp("TMPDIR", shared.path()), xdg("XDG_RUNTIME_DIR", QString());
        const QString cls = QStringLiteral("test-%1").arg(QCoreApplication::applicationPid());
        const QString sharedName = SingleInstance(cls, "TUNARA").serverName();
        QVERIFY(sharedName.startsWith(shared.path() + '/'));
        QLocalServer mine;
        if (squatter == "me")
            QVERIFY(mine.listen(sharedName));
        ForeignSocket foreign(squatter == "nobody" ? sharedName : QString());
        QCOMPARE(foreign.listening, squatter == "nobody");
        EnvScope runtime("XDG_RUNTIME_DIR", privateFolder ? run.path() : QString());

        SingleInstance first(cls, "TUNARA"), second(cls, "TUNARA"), other(cls, "OTHER");
        QVERIFY(first.serverName().startsWith((privateFolder ? run : shared).path() + '/'));
        QVERIFY(first.claim());
        QSignalSpy raised(&first, &SingleInstance::raiseRequested);
        QSignalSpy files(&first, &SingleInstance::filesHandedOver);
        QStringList sent;
        for (int i = 0; i < paths; ++i)
            sent << QStringLiteral("/music/%1/%2.mp3").arg(i).arg(QString(180, QLatin1Char('x')));
        QCOMPARE(second.claim({'S', sent}), !handedOver);
        QVERIFY(!mine.waitForNewConnection(0));
        QVERIFY(QFileInfo::exists(sharedName) || squatter.isEmpty()); // not removed
        QVERIFY(other.claim()); // another window name is another program
        if (!handedOver)
            return;
        QCOMPARE(second.handOverFailure(), SingleInstance::HandOverFailure::None);
        QCOMPARE(raised.size(), 1);
        QCOMPARE(files.size(), paths > 0 ? 1 : 0);
        const QStringList received = files.value(0).value(1).toStringList();
        QCOMPARE(received.size(), sent.size()); // counted where they arrive
        QVERIFY(received == sent);

        // A request cut off by a second start that died is said, not dropped without a word.
        QLocalSocket cut;
        cut.connectToServer(first.serverName());
        QVERIFY(cut.waitForConnected(5000));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cut off after"));
        cut.write(SingleInstance::encode({'M', {"/a.mp3", "/b.mp3"}}).chopped(3));
        cut.waitForBytesWritten(5000);
        cut.disconnectFromServer();
        QTRY_COMPARE(raised.size(), 2);
        QCOMPARE(files.size(), paths > 0 ? 1 : 0);
    }

    // A running copy that hangs up leaves the second start with a failure to report.
    void runningCopyHangsUp() {
        QTemporaryDir run;
        EnvScope runtime("XDG_RUNTIME_DIR", run.path());
        SingleInstance second(QStringLiteral("hang-up"), "TUNARA");
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
