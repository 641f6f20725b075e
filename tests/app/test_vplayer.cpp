// The program against the real library and the virtual player over USB/IP: both panes filled
// from real FAT images, and the window following unplug/plug and card out/in through its
// device watch.
#include "chrome/captionstrip.h"
#include "device/playerlink.h"
#include "device/zamo_listview.h"
#include "paneinput.h"
#include "qtrun.h"
#include "shell/mainframe.h"
#include "shell/splashwnd.h"
#include "shell/tunaraapp.h"
#include "shell/zamo_expview.h"
#include "testui.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace tunara;
using kestousb::test::run;
using kestousb::test::SilentServer;
using kestousb::test::VplayerProcess;

namespace {
// Generous bounds for waits on the watch; the 2-second goal is measured in bench/, not here.
constexpr int WaitMs = 15000;
constexpr int PollMs = 100;

QStringList rowNames(const QTreeWidget *list) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        out << list->topLevelItem(i)->text(0);
    return out;
}
// The longest time the UI thread went without running its event loop while `during` ran.
template <typename F>
qint64 longestStall(F during) {
    QElapsedTimer gap;
    gap.start();
    qint64 longest = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { longest = std::max(longest, gap.restart()); });
    tick.start(10);
    during();
    return std::max(longest, gap.elapsed());
}
} // namespace

class TestVplayer : public QObject {
    Q_OBJECT
    QTemporaryDir m_state;
    std::unique_ptr<VplayerProcess> m_player;
    QString m_addr;

    bool ctl(const QStringList &args) { return kestousb::test::ctl(*m_player, args); }

    bool makeImage(const QString &name, int kib, const QStringList &files) {
        const QString img = m_state.filePath(name);
        if (!run(QStringLiteral(TUNARA_MKFS), {"-C", img, QString::number(kib)}))
            return false;
        QStringList args{"-i", img};
        for (const QString &f : files) {
            QFile out(m_state.filePath(f));
            if (!out.open(QIODevice::WriteOnly))
                return false;
            out.write(QByteArray(1234, 'x'));
            args << m_state.filePath(f);
        }
        args << "::";
        return run(QStringLiteral(TUNARA_MCOPY), args);
    }

private slots:
    void initTestCase() {
        QVERIFY(
            makeImage("flash.img", 4096, {"One.mp3", "Two.mp3", QString::fromUtf8("세 번째.mp3")}));
        QVERIFY(makeImage("card.img", 4096, {"memo.wav"}));
        QFile ini(m_state.filePath("player.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Player]\nModel=QN520\nVersion=1.00.00.K5 \nDate=20050718\nCardPresent=1\n");
        ini.close();
        m_player = std::make_unique<VplayerProcess>(TUNARA_VPLAYER, m_state.path().toStdString());
        QVERIFY2(m_player->started(), m_player->log().c_str());
        m_addr = QString::fromStdString(m_player->address());
        qputenv("KESTOUSB_USBIP", m_addr.toLatin1());
    }

    // The long names of a memory image in directory (play) order, read by mtools, and whether
    // fsck.fat finds the image clean.
    QStringList readBack(const QString &image, bool *clean) {
        QByteArray out;
        if (!run(QStringLiteral(TUNARA_MDIR), {"-b", "-i", m_state.filePath(image), "::"}, &out))
            return {"<mdir failed>"};
        QStringList names;
        for (const QString &line : QString::fromUtf8(out).split('\n', Qt::SkipEmptyParts))
            names << line.trimmed().mid(3); // "::/"
        *clean = run(QStringLiteral(TUNARA_FSCK), {"-n", m_state.filePath(image)});
        return names;
    }

    void cleanupTestCase() { m_player.reset(); }

    void followsThePlayer() {
        QTemporaryDir dir;
        TestUi ui;
        shell::CTunaraApp app({dir.path(), dir.filePath("profile.ini")}, ui);
        app.start();
        shell::CMainFrame frame(app);
        frame.show();
        frame.deviceWatch().start(PollMs);
        QTRY_COMPARE_WITH_TIMEOUT(frame.list(0)->topLevelItemCount(), 3, WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(frame.list(1)->topLevelItemCount(), 1, WaitMs);
        QCOMPARE(frame.list(0)->topLevelItem(2)->text(0), QString::fromUtf8("세 번째.mp3"));
        QCOMPARE(frame.list(0)->topLevelItem(0)->text(1), QStringLiteral("1,234"));
        QCOMPARE(frame.list(1)->topLevelItem(0)->text(2), QStringLiteral("Voice File"));
        QCOMPARE(frame.list(0)->totalText(), QStringLiteral("Total : 3 MB"));
        QCOMPARE(app.player().modelCode, 0xC003);
        QVERIFY(frame.connected());
        QVERIFY(frame.hostView(0)->caption()->gaugeDrawn());

        QVERIFY(ctl({"card", "out"}));
        QTRY_VERIFY_WITH_TIMEOUT(!frame.cardPaneShown(), WaitMs);
        QVERIFY(ctl({"card", "in"}));
        QTRY_VERIFY_WITH_TIMEOUT(frame.cardPaneShown(), WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(frame.list(1)->topLevelItemCount(), 1, WaitMs);
        QVERIFY(ui.timed.contains(QStringLiteral("External memory card is updated")));

        QVERIFY(ctl({"unplug"}));
        QTRY_VERIFY_WITH_TIMEOUT(!frame.connected(), WaitMs);
        QCOMPARE(frame.list(0)->topLevelItemCount(), 3); // the rows stay
        QVERIFY(ctl({"plug"}));
        QTRY_VERIFY_WITH_TIMEOUT(frame.connected(), WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(frame.messageText(), QStringLiteral("Ready."), WaitMs);
        QCOMPARE(frame.list(0)->topLevelItemCount(), 3);
        frame.close();
    }

    // Keyboard and mouse on the flash pane change the player; mtools reads each result back
    // from the player's image, which fsck.fat finds clean.
    void paneCommandsChangeThePlayer() {
        QTemporaryDir dir;
        TestUi ui;
        shell::CTunaraApp app({dir.path(), dir.filePath("profile.ini")}, ui);
        app.start();
        shell::CMainFrame frame(app);
        frame.show();
        frame.activateWindow();
        frame.deviceWatch().stop();
        device::CZamo_ListView *list = frame.list(0);
        QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 3, WaitMs);
        // A drag while the refresh still reads the card is refused: the player is busy.
        QTRY_VERIFY_WITH_TIMEOUT(device::PlayerLink::busyLinks() == 0 && !frame.deviceBusy(),
                                 WaitMs);
        const QString third = QString::fromUtf8("세 번째.mp3");
        bool clean = false;

        // the last row dragged to the top
        dragRows(list, {2}, 2, 0);
        QTRY_COMPARE_WITH_TIMEOUT(rowNames(list), (QStringList{third, "One.mp3", "Two.mp3"}),
                                  WaitMs);
        QCOMPARE(readBack("flash.img", &clean), (QStringList{third, "One.mp3", "Two.mp3"}));
        QVERIFY(clean);

        // Del on a selected row, Yes
        list->setFocus();
        list->clearSelection();
        list->topLevelItem(1)->setSelected(true);
        QTest::keyClick(list, Qt::Key_Delete);
        QTRY_COMPARE_WITH_TIMEOUT(rowNames(list), (QStringList{third, "Two.mp3"}), WaitMs);
        QCOMPARE(ui.questions.last(), QStringLiteral("Do you want to delete selected file(s)?"));
        QCOMPARE(readBack("flash.img", &clean), (QStringList{third, "Two.mp3"}));
        QVERIFY(clean);

        // F2 renames through the dialog (a QN520 keeps long names)
        list->clearSelection();
        list->topLevelItem(1)->setSelected(true);
        {
            RenameAnswers answers({"Second track.mp3"});
            QTest::keyClick(list, Qt::Key_F2);
            QTRY_COMPARE_WITH_TIMEOUT(rowNames(list), (QStringList{third, "Second track.mp3"}),
                                      WaitMs);
            QCOMPARE(answers.opened, QStringList{"Two.mp3"});
        }
        QCOMPARE(readBack("flash.img", &clean), (QStringList{third, "Second track.mp3"}));
        QVERIFY(clean);

        // Format after Yes empties the memory
        QVERIFY(frame.commands().execute(int(shell::Cmd::Format), list));
        QTRY_COMPARE_WITH_TIMEOUT(list->topLevelItemCount(), 0, WaitMs);
        QCOMPARE(readBack("flash.img", &clean), QStringList{});
        QVERIFY(clean);
        QCOMPARE(frame.messageText(), QStringLiteral("Ready."));
        frame.close();
    }

    // The watch asks the servers on its own thread: a server that never answers (each ask of
    // it waits out the library's one-second limit) holds up neither the window nor the notice
    // of an unplug of the player on the server that does answer.
    void watchNeverHoldsTheWindow_data() {
        QTest::addColumn<bool>("silentFirst");
        QTest::newRow("player's server only") << false;
        QTest::newRow("silent server before the player's") << true;
    }
    void watchNeverHoldsTheWindow() {
        QFETCH(bool, silentFirst);
        SilentServer silent;
        QVERIFY(silent.ok());
        qputenv("KESTOUSB_USBIP",
                (silentFirst ? QString::fromStdString(silent.address()) + "," + m_addr : m_addr)
                    .toLatin1());
        QTemporaryDir dir;
        TestUi ui;
        shell::CTunaraApp app({dir.path(), dir.filePath("profile.ini")}, ui);
        app.start();
        shell::CMainFrame frame(app);
        frame.show();
        if (frame.splash() != nullptr && !frame.splash()->closed())
            QTest::keyClick(frame.splash(), Qt::Key_Space);
        QTRY_VERIFY_WITH_TIMEOUT(frame.connected(), WaitMs);
        frame.deviceWatch().start(shell::DeviceWatch::DefaultIntervalMs, PollMs);
        // Several asks of the silent server fall into this time.
        const qint64 stall = longestStall([] { QTest::qWait(3000); });
        QVERIFY2(stall < 600, qPrintable(QStringLiteral("window held for %1 ms").arg(stall)));

        QVERIFY(ctl({"unplug"}));
        QTRY_VERIFY_WITH_TIMEOUT(!frame.connected(), WaitMs);
        QVERIFY(ctl({"plug"}));
        QTRY_VERIFY_WITH_TIMEOUT(frame.connected(), WaitMs);
        frame.close();
        qputenv("KESTOUSB_USBIP", m_addr.toLatin1());
    }
};

QTEST_MAIN(TestVplayer)
#include "test_vplayer.moc"
