// One window at a time: a second start hands its files to the running copy over the local
// socket, whatever their number, and talks only to a socket of its own user.
#include "shell/singleinstance.h"

#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using tunara::shell::SingleInstance;

const char *const ListenAsNobody =
    "import socket, sys, time; s = socket.socket(socket.AF_UNIX); "
    "s.bind(sys.argv[1]); s.listen(); print(flush=True); time.sleep(60)";

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
        QProcess foreign; // user nobody listens on the shared name (needs root)
        if (squatter == "nobody") {
            foreign.start("setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                      "/usr/bin/python3", "-c", ListenAsNobody, sharedName});
            QVERIFY(foreign.waitForReadyRead(10000));
        }
        if (privateFolder)
            qputenv("XDG_RUNTIME_DIR", run.path().toUtf8());

        SingleInstance first(cls, "TUNARA"), second(cls, "TUNARA"), other(cls, "OTHER");
        QVERIFY(first.claim());
        QSignalSpy raised(&first, &SingleInstance::raiseRequested);
        QSignalSpy files(&first, &SingleInstance::filesHandedOver);
        QStringList sent;
        for (int i = 0; i < paths; ++i)
            sent << QStringLiteral("/music/%1/%2.mp3").arg(i).arg(QString(180, QLatin1Char('x')));
        QCOMPARE(second.claim({'S', sent}), squatter == "nobody"); // both start beside a stranger
        QVERIFY(!mine.waitForNewConnection(0));
        QVERIFY(QFileInfo::exists(sharedName) || squatter.isEmpty()); // not removed
        QVERIFY(other.claim()); // another window name is another program
        if (squatter == "nobody") {
            foreign.kill();
            QVERIFY(foreign.waitForFinished());
            return;
        }
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
