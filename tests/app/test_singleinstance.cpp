// One window at a time: a second start hands its files to the running copy over the session bus
// or, without one, the local socket, whatever their number; it talks only to a socket of its own
// user in a folder only that user may enter.
#include "shell/singleinstance.h"

#include <cerrno>

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

// A session bus of the test's own: dbus-daemon with a configuration that names only what the
// hand-over needs.
const char *const BusConfig =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig>\n"
    "  <type>session</type>\n"
    "  <listen>unix:dir=%1</listen>\n"
    "  <auth>EXTERNAL</auth>\n"
    "  <policy context=\"default\">\n"
    "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
    "    <allow eavesdrop=\"true\"/>\n"
    "    <allow own=\"*\"/>\n"
    "  </policy>\n"
    "</busconfig>\n";

class TestSingleInstance : public QObject {
    Q_OBJECT
    QTemporaryDir m_busDir;
    QProcess m_bus;
    QByteArray m_busAddress;

private slots:
    void initTestCase() {
        QVERIFY(m_busDir.isValid());
        QFile config(m_busDir.filePath("bus.conf"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(QString::fromLatin1(BusConfig).arg(m_busDir.path()).toUtf8());
        config.close();
        m_bus.start(QStringLiteral(TUNARA_DBUS_DAEMON),
                    {"--config-file=" + config.fileName(), "--nofork", "--print-address=1"});
        QVERIFY(m_bus.waitForReadyRead(10000));
        m_busAddress = m_bus.readLine().trimmed();
        QVERIFY(m_busAddress.startsWith("unix:"));
    }
    void cleanupTestCase() {
        m_bus.terminate();
        m_bus.waitForFinished();
    }

    void handOver_data() {
        QTest::addColumn<bool>("bus");           // a session bus is there
        QTest::addColumn<bool>("privateFolder"); // XDG_RUNTIME_DIR set and private
        // What was made first where the socket's folder goes in the temporary folder: a socket
        // of ours, a folder of another user's with a socket in it, a folder of ours open to
        // others, a link to a private folder.
        QTest::addColumn<QString>("planted");
        QTest::addColumn<int>("paths");
        QTest::newRow("3,000 long paths all arrive") << false << true << QString() << 3000;
        QTest::newRow("shared folder, 3,000 paths") << false << false << QString() << 3000;
        QTest::newRow("private folder passes a socket in the shared one")
            << false << true << "socket" << 3;
        QTest::newRow("another user's folder is not used") << false << false << "foreign" << 3;
        QTest::newRow("a folder open to others is not used") << false << false << "open" << 3;
        QTest::newRow("a link for the folder is not used") << false << false << "link" << 3;
        QTest::newRow("the session bus, 3,000 long paths") << true << false << QString() << 3000;
        QTest::newRow("the session bus beside another user's folder")
            << true << false << "foreign" << 3;
    }
    void handOver() {
        QFETCH(bool, bus);
        QFETCH(bool, privateFolder);
        QFETCH(QString, planted);
        QFETCH(int, paths);
        if (planted == "foreign" && ::getuid() != 0)
            QSKIP("making another user's folder needs root");
        QTemporaryDir shared, run, elsewhere;
        QCOMPARE(::chmod(QFile::encodeName(shared.path()).constData(), 01777), 0);
        const QByteArray oldTmp = qgetenv("TMPDIR");
        auto restore = qScopeGuard([&] {
            qputenv("TMPDIR", oldTmp);
            qunsetenv("XDG_RUNTIME_DIR");
            qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        });
        qputenv("TMPDIR", shared.path().toUtf8());
        qunsetenv("XDG_RUNTIME_DIR");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        const QString folder = shared.filePath(QStringLiteral("tunara-%1").arg(::getuid()));
        const QByteArray folderBytes = QFile::encodeName(folder);
        if (planted == "foreign") { // user nobody made it first
            QCOMPARE(::mkdir(folderBytes.constData(), 0700), 0);
            QCOMPARE(::chown(folderBytes.constData(), 65534, 65534), 0);
        } else if (planted == "open") {
            QCOMPARE(::mkdir(folderBytes.constData(), 0700), 0);
            QCOMPARE(::chmod(folderBytes.constData(), 0755), 0);
        } else if (planted == "link") {
            QCOMPARE(::chmod(QFile::encodeName(elsewhere.path()).constData(), 0700), 0);
            QVERIFY(QFile::link(elsewhere.path(), folder));
        }
        const bool folderUsable = planted.isEmpty() || planted == "socket";
        const QString cls = QStringLiteral("test-%1").arg(QCoreApplication::applicationPid());
        const QString hash = SingleInstance(cls, "TUNARA").busName().section('W', -1);
        // The name the socket would have in the planted folder: someone listens there.
        const QString plantedName =
            QStringLiteral("%1/tunara-%2-%3").arg(folder).arg(::getuid()).arg(hash);
        // An instance that ends removes the socket folder it made when nothing else is in it.
        if (planted == "socket")
            QVERIFY(::mkdir(folderBytes.constData(), 0700) == 0 || errno == EEXIST);
        QLocalServer squatter;
        if (!planted.isEmpty())
            QVERIFY(squatter.listen(plantedName));
        if (privateFolder)
            qputenv("XDG_RUNTIME_DIR", run.path().toUtf8());
        if (bus)
            qputenv("DBUS_SESSION_BUS_ADDRESS", m_busAddress);

        SingleInstance first(cls, "TUNARA"), second(cls, "TUNARA"), other(cls, "OTHER");
        QCOMPARE(first.busConnected(), bus);
        QCOMPARE(first.serverName().isEmpty(), !folderUsable && !privateFolder);
        QVERIFY(first.claim());
        QSignalSpy raised(&first, &SingleInstance::raiseRequested);
        QSignalSpy files(&first, &SingleInstance::filesHandedOver);
        QStringList sent;
        for (int i = 0; i < paths; ++i)
            sent << QStringLiteral("/music/%1/%2.mp3").arg(i).arg(QString(180, QLatin1Char('x')));
        // Without a bus and a folder of our own, both start: nothing is handed to a stranger.
        const bool found = bus || folderUsable || privateFolder;
        QCOMPARE(second.claim({'S', sent}), !found);
        QVERIFY(!squatter.waitForNewConnection(0));
        QVERIFY(QFileInfo::exists(plantedName) || planted.isEmpty()); // not removed
        QVERIFY(other.claim()); // another window name is another program
        if (!found)
            return;
        QCOMPARE(second.handOverFailure(), SingleInstance::HandOverFailure::None);
        QCOMPARE(raised.size(), 1);
        const QStringList received = files.value(0).value(1).toStringList();
        QCOMPARE(files.value(0).value(0).value<unsigned char>(), (unsigned char)'S');
        QCOMPARE(received.size(), paths); // counted where they arrive
        QVERIFY(received == sent);
        if (first.serverName().isEmpty())
            return;

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
