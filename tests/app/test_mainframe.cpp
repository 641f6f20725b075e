// The main window against a scripted player: the connection flow, the rows and texts of both
// panes, failures, the card pane, device changes and the availability of commands.
#include "chrome/captionstrip.h"
#include "device/memoryformat.h"
#include "device/zamo_listview.h"
#include "mainwindowfixture.h"
#include "shell/deviceinfodlg.h"
#include "shell/windowplacement.h"
#include "shell/zamo_expview.h"
#include "transfer/transferdlg.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QSettings>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace tunara;
using device::CZamo_ListView;
using shell::Cmd;

namespace {
const QString NotConnectedLong = QStringLiteral(
    "Device is Not connected. Try to reconnect USB cable when the driver is installed properly.");
const QString Failed = QStringLiteral("Failed data transmitted");

QStringList rowTexts(const QTreeWidget *list, int row) {
    QStringList out;
    for (int c = 0; c < list->columnCount(); ++c)
        out << list->topLevelItem(row)->text(c);
    return out;
}
} // namespace

class TestMainFrame : public QObject {
    Q_OBJECT
private slots:
    void init() { MainWindowFixture::defaultPlayer(); }

    void startUpFillsBothPanes() {
        MainWindowFixture f;
        f.open();
        CZamo_ListView *flash = f.frame->list(0);
        CZamo_ListView *card = f.frame->list(1);
        QCOMPARE(flash->memoryId(), KSUSB_MEM_FLASH);
        QCOMPARE(card->memoryId(), KSUSB_MEM_CARD);
        QCOMPARE(flash->topLevelItemCount(), 3);
        QCOMPARE(rowTexts(flash, 0),
                 (QStringList{"song1.mp3", "1,234,567", "MP3 File", "2005-07-18 13:45", "001"}));
        QCOMPARE(rowTexts(flash, 2).last(), QStringLiteral("003"));
        // QN520: a .wav is a voice file, a .VRF is not
        QCOMPARE(rowTexts(card, 0), (QStringList{"memo.wav", "999", "Voice File", "", "001"}));
        QCOMPARE(rowTexts(card, 1), (QStringList{"REC001.VRF", "1,000", "Common File", "", "002"}));
        // the capacity pane shows the active pane's capacity: the flash pane is active
        QCOMPARE(flash->statusText(), QStringLiteral("Total : 32 MB / Free : 24 MB"));
        QCOMPARE(f.frame->capacityText(), QStringLiteral("Total : 32 MB / Free : 24 MB"));
        QCOMPARE(f.frame->messageText(), QStringLiteral("Ready."));
        QVERIFY(f.frame->connected());
        QCOMPARE(f.frame->findChild<QLabel *>("connectionIndicator")->property("connected"),
                 QVariant(true));
        auto *strip = f.frame->hostView(0)->caption();
        QCOMPARE(strip->usageText(), QStringLiteral("8.0MB Used, Total 32.0MB (25.0%)"));
        QCOMPARE(strip->countText(), QStringLiteral("3 Files"));
        QCOMPARE(f.frame->hostView(1)->caption()->countText(), QStringLiteral("2 Files"));
        QCOMPARE(f.app->player().modelCode, int(device::ModelQn520));
        QCOMPARE(f.app->player().version, QStringLiteral("1.00.00.K5"));
        QVERIFY(f.ui.timed.isEmpty());
        const std::vector<std::string> expected = {
            "InvokePlayer",  "GetPlayerVersion", "KSUSB_GetPlayerStatus",
            "GetPlayerInfo", "InvokePlayer",     "RefreshMemory:M",
            "GetFileInfo:M", "RefreshMemory:S",  "GetFileInfo:S"};
        QCOMPARE(fake::player().calls, expected);
    }

    void fullTable() {
        MainWindowFixture::defaultPlayer(255);
        MainWindowFixture f;
        f.open();
        CZamo_ListView *flash = f.frame->list(0);
        QCOMPARE(flash->topLevelItemCount(), 255);
        QCOMPARE(rowTexts(flash, 254).last(), QStringLiteral("255"));
        QCOMPARE(f.frame->hostView(0)->caption()->countText(), QStringLiteral("255 Files"));
    }

    void emptyMemory() {
        MainWindowFixture::defaultPlayer(0);
        fake::table(KSUSB_MEM_FLASH, 33554432u, 33554432u);
        MainWindowFixture f;
        f.open();
        QCOMPARE(f.frame->list(0)->topLevelItemCount(), 0);
        auto *strip = f.frame->hostView(0)->caption();
        QCOMPARE(strip->countText(), QStringLiteral("0 File"));
        QCOMPARE(strip->bar()->value(), 0);
    }

    void flagNoticesInOrder_data() {
        QTest::addColumn<int>("flags");
        QTest::addColumn<QStringList>("notices");
        QTest::newRow("none") << 0 << QStringList{};
        QTest::newRow("busy") << 0x40 << QStringList{"Player is busy."};
        QTest::newRow("all six in order")
            << 0xFC
            << QStringList{"Player is not connected",         "Player is busy.",
                           "External memory card is updated", "Write protection tab is detected",
                           "Internal memory is full",         "External memory is full"};
        QTest::newRow("full and protected")
            << 0x1C
            << QStringList{"Write protection tab is detected", "Internal memory is full",
                           "External memory is full"};
        QTest::newRow("no card is no notice") << 0x02 << QStringList{};
    }
    void flagNoticesInOrder() {
        QFETCH(int, flags);
        QFETCH(QStringList, notices);
        fake::player().flagQueue = {static_cast<unsigned char>(flags), 0};
        MainWindowFixture f;
        // The notices come before the version question, which a busy player answers slowly.
        bool versionAsked = false;
        f.ui.onTimed = [&] { versionAsked |= fake::countCalls("GetPlayerVersion") > 0; };
        f.open();
        QCOMPARE(f.ui.timed, notices);
        QVERIFY(!versionAsked);
    }

    void connectionFailures_data() {
        QTest::addColumn<int>("versionError");
        QTest::addColumn<int>("statusError");
        QTest::addColumn<bool>("inUse");
        QTest::addColumn<QStringList>("notices");
        QTest::addColumn<bool>("connected");
        QTest::newRow("no player")
            << int(KSUSB_ERR_NOT_CONNECTED) << 0 << false << QStringList{NotConnectedLong} << false;
        QTest::newRow("player in use by another program")
            << int(KSUSB_ERR_NOT_CONNECTED) << 0 << true
            << QStringList{QStringLiteral("The player is in use by another program")} << false;
        QTest::newRow("send failed")
            << int(KSUSB_ERR_SEND) << 0 << false << QStringList{Failed} << false;
        QTest::newRow("status failed")
            << 0 << int(KSUSB_ERR_RECEIVE) << false << QStringList{Failed} << false;
        QTest::newRow("card changed is no failure")
            << int(KSUSB_ERR_CARD_CHANGED) << 0 << false << QStringList{} << true;
    }
    void connectionFailures() {
        QFETCH(int, versionError);
        QFETCH(int, statusError);
        QFETCH(bool, inUse);
        QFETCH(QStringList, notices);
        QFETCH(bool, connected);
        fake::player().versionError = versionError;
        fake::player().statusError = statusError;
        fake::player().inUse = inUse;
        // The panes read again after a failed connect; a player that did not answer the
        // connection does not answer them either, and that is not told twice.
        if (!connected)
            for (const unsigned char m : {KSUSB_MEM_FLASH, KSUSB_MEM_CARD})
                fake::player().refreshError[m] = versionError != 0 ? versionError : statusError;
        MainWindowFixture f;
        f.open();
        QCOMPARE(f.ui.timed, notices);
        QCOMPARE(f.frame->connected(), connected);
        QCOMPARE(f.frame->list(0)->topLevelItemCount(), connected ? 3 : 0);
        QCOMPARE(f.frame->messageText(), QStringLiteral("Ready."));
    }

    // A Refresh whose connect fails re-reads the panes before a queue start held meanwhile
    // calls the library, so that the start runs against the player's table, not an older one.
    void failedConnectReReadsPanes_data() {
        QTest::addColumn<int>("refreshError"); // what the panes' reads answer
        QTest::addColumn<int>("flashRows");
        QTest::newRow("the tables answer") << 0 << 4;
        QTest::newRow("the tables fail too, untold") << int(KSUSB_ERR_RECEIVE) << 3;
    }
    void failedConnectReReadsPanes() {
        QFETCH(int, refreshError);
        MainWindowFixture f;
        f.open();
        fake::addFile(KSUSB_MEM_FLASH, "changed.mp3", 10); // the player changed meanwhile
        fake::player().statusError = KSUSB_ERR_RECEIVE;
        fake::player().refreshError[KSUSB_MEM_FLASH] = refreshError;
        fake::player().refreshError[KSUSB_MEM_CARD] = refreshError;
        fake::player().calls.clear();
        fake::holdCalls("GetPlayerVersion");
        QVERIFY(f.frame->commands().execute(int(Cmd::Refresh)));
        QTRY_VERIFY(fake::callHeld());
        QFile file(f.dir.filePath("held.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        f.frame->transferDialog()->addDownloads(KSUSB_MEM_FLASH, {file.fileName()});
        QCoreApplication::processEvents();
        QVERIFY(f.frame->transferDialog()->startHeld());
        fake::releaseCalls();
        f.settle();
        const auto &calls = fake::player().calls;
        const auto at = [&calls](const char *name) {
            return std::find(calls.begin(), calls.end(), std::string(name)) - calls.begin();
        };
        QVERIFY(at("KSUSB_Download") < qsizetype(calls.size()));
        QVERIFY(at("KSUSB_GetPlayerStatus") < at("RefreshMemory:M"));
        QVERIFY(at("RefreshMemory:M") < at("KSUSB_Download"));
        QVERIFY(at("RefreshMemory:S") < at("KSUSB_Download"));
        QTEST(f.frame->list(0)->topLevelItemCount(), "flashRows");
        QCOMPARE(f.ui.timed, QStringList{Failed});
    }

    // Closing the window while a file moves: the window goes at once; the transfer is stopped
    // on the player link, not on the window's thread, and has ended once the window is gone.
    void closeWhileTransferring() {
        MainWindowFixture f;
        f.open();
        fake::player().downloadRuns = true;
        QFile file(f.dir.filePath("moving.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        f.frame->transferDialog()->addDownloads(KSUSB_MEM_FLASH, {file.fileName()});
        QTRY_VERIFY(f.frame->transferDialog()->busy() && fake::workerRunning());
        f.frame->close();
        QVERIFY(!f.frame->isVisible());
        QVERIFY(fake::player().stopThreads.empty());
        f.frame.reset();
        QCOMPARE(fake::player().stopThreads.size(), size_t(1));
        QVERIFY(fake::player().stopThreads.front() != std::this_thread::get_id());
        QVERIFY(!fake::workerRunning());
    }

    // The flash pane reads the table again after every download, and the next file waits for
    // that read: the player link makes it the moment the file has arrived, while the window is
    // still to hear of it, and the pane takes that table instead of asking again. After a
    // failure nothing is read ahead.
    void tableReadAheadAfterDownload_data() {
        QTest::addColumn<bool>("arrived");
        QTest::addColumn<int>("readsAhead");
        QTest::addColumn<int>("flashRows");
        QTest::newRow("the file arrived") << true << 1 << 4;
        QTest::newRow("the file failed") << false << 0 << 3;
    }
    void tableReadAheadAfterDownload() {
        QFETCH(bool, arrived);
        QFETCH(int, readsAhead);
        MainWindowFixture f;
        f.open();
        fake::player().downloadRuns = true;
        QFile file(f.dir.filePath("arriving.bin"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        f.frame->transferDialog()->addDownloads(KSUSB_MEM_FLASH, {file.fileName()});
        QTRY_VERIFY(f.frame->transferDialog()->busy() && fake::workerRunning());
        if (arrived)
            fake::addFile(KSUSB_MEM_FLASH, "arriving.bin", 10);
        fake::player().calls.clear();
        fake::endDownload(arrived);
        // No event of the window is taken meanwhile: the read cannot come from the pane.
        for (int i = 0; i < 300 && fake::countCalls("GetFileInfo:M") < readsAhead; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        for (int i = 0; i < 300 && fake::workerRunning(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // a read after a failure
        QCOMPARE(fake::countCalls("KSUSB_RefreshMemory:M"), readsAhead);
        f.settle();
        QCOMPARE(fake::countCalls("KSUSB_RefreshMemory:M"), readsAhead);
        QCOMPARE(fake::countCalls("RefreshMemory:M"), 0);
        QTEST(f.frame->list(0)->topLevelItemCount(), "flashRows");
    }

    // What a pane asks the player when it reads again: the version, status and table after a
    // Refresh; the table alone after a download into it, which is all a download changes (the
    // queue's next file waits for this read).
    void paneReadCalls_data() {
        QTest::addColumn<bool>("afterDownload");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("a pane's refresh")
            << false << QStringList{"RefreshMemory:M", "GetFileInfo:M"};
        QTest::newRow("after a download")
            << true << QStringList{"KSUSB_RefreshMemory:M", "GetFileInfo:M"};
    }
    void paneReadCalls() {
        QFETCH(bool, afterDownload);
        MainWindowFixture f;
        f.open();
        fake::addFile(KSUSB_MEM_FLASH, "arrived.mp3", 10);
        fake::player().calls.clear();
        if (afterDownload)
            f.frame->downloadFinished(KSUSB_MEM_FLASH);
        else
            QVERIFY(f.frame->list(0)->refresh());
        f.settle();
        QStringList calls;
        for (const std::string &c : fake::player().calls)
            calls << QString::fromStdString(c);
        QTEST(calls, "calls");
        QCOMPARE(f.frame->list(0)->topLevelItemCount(), 4);
    }

    void cardPaneFollowsFlag() {
        fake::player().flagQueue = {0, KSUSB_FLAG_NO_CARD};
        MainWindowFixture f;
        f.open();
        QVERIFY(!f.frame->cardPaneShown());
        QCOMPARE(fake::countCalls("RefreshMemory:S"), 0);
        QCOMPARE(f.frame->activeList(), f.frame->list(0));
        QCOMPARE(f.frame->list(1)->memoryId(), KSUSB_MEM_CARD); // kept while hidden

        // the card comes back: the pane returns and both memories are read
        fake::player().calls.clear();
        QVERIFY(f.frame->commands().execute(int(Cmd::Refresh)));
        f.settle();
        QVERIFY(f.frame->cardPaneShown());
        QCOMPARE(fake::countCalls("RefreshMemory:M"), 1);
        QCOMPARE(fake::countCalls("RefreshMemory:S"), 1);
        QCOMPARE(f.frame->list(1)->topLevelItemCount(), 2);
    }

    void cardPollRunsRefresh_data() {
        QTest::addColumn<int>("polledFlags");
        QTest::addColumn<bool>("refreshes");
        QTest::addColumn<bool>("cardShown");
        QTest::addColumn<QStringList>("notices");
        QTest::newRow("nothing changed") << 0 << false << true << QStringList{};
        QTest::newRow("card taken out")
            << int(KSUSB_FLAG_NO_CARD) << true << false << QStringList{};
        QTest::newRow("card exchanged") << int(KSUSB_FLAG_CARD_CHANGED) << true << true
                                        << QStringList{"External memory card is updated"};
    }
    void cardPollRunsRefresh() {
        QFETCH(int, polledFlags);
        QFETCH(bool, refreshes);
        QFETCH(bool, cardShown);
        QFETCH(QStringList, notices);
        MainWindowFixture f;
        f.open();
        fake::player().calls.clear();
        // the poll consumes the one-shot flag; the refresh must still tell the user
        const auto after = static_cast<unsigned char>(polledFlags & KSUSB_FLAG_NO_CARD);
        fake::player().flagQueue = {static_cast<unsigned char>(polledFlags), after, after};
        f.frame->pollCardState();
        f.settle();
        QCOMPARE(fake::countCalls("GetPlayerVersion") == 1, refreshes);
        QCOMPARE(f.frame->cardPaneShown(), cardShown);
        QCOMPARE(f.ui.timed, notices);
    }

    void shiftCtrlSkipsRefresh() {
        MainWindowFixture f;
        f.open();
        fake::table(KSUSB_MEM_FLASH, 33554432u, 0u); // the player changed meanwhile
        fake::player().calls.clear();
        f.app->keyboardModifiers = [] { return Qt::ShiftModifier | Qt::ControlModifier; };
        QVERIFY(f.frame->commands().execute(int(Cmd::PaneRefresh), f.frame->list(0)));
        f.settle();
        QCOMPARE(fake::countCalls("RefreshMemory:M"), 0);
        QCOMPARE(f.ui.timed, QStringList{QStringLiteral(
                                 "Refreshing job is skipped by user request.(holding down "
                                 "[SHIFT]+[CTRL])")});
        QCOMPARE(f.frame->list(0)->topLevelItemCount(), 3);
        QCOMPARE(f.frame->list(0)->freeText(), QStringLiteral("Free : 24 MB"));
        // Shift alone does not skip
        f.app->keyboardModifiers = [] { return Qt::KeyboardModifiers(Qt::ShiftModifier); };
        QVERIFY(f.frame->commands().execute(int(Cmd::PaneRefresh), f.frame->list(0)));
        f.settle();
        QCOMPARE(fake::countCalls("RefreshMemory:M"), 1);
        QCOMPARE(f.frame->list(0)->freeText(), QStringLiteral("Free : 0 Bytes"));
    }

    void playerVanishesMidRefresh_data() {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("notice");
        QTest::addColumn<bool>("connected");
        QTest::newRow("unplugged") << int(KSUSB_ERR_NOT_CONNECTED) << NotConnectedLong << false;
        QTest::newRow("reply lost") << int(KSUSB_ERR_RESULT_REPLY) << Failed << true;
    }
    void playerVanishesMidRefresh() {
        QFETCH(int, error);
        QFETCH(QString, notice);
        QFETCH(bool, connected);
        MainWindowFixture f;
        f.open();
        const QStringList before = rowTexts(f.frame->list(0), 1);
        fake::player().duringRefresh = [error](unsigned char) {
            fake::player().refreshError[KSUSB_MEM_FLASH] = error;
        };
        f.frame->list(0)->refresh();
        f.settle();
        QCOMPARE(f.ui.timed, QStringList{notice});
        QCOMPARE(f.frame->connected(), connected);
        QCOMPARE(f.frame->list(0)->topLevelItemCount(), 3);
        QCOMPARE(rowTexts(f.frame->list(0), 1), before);
        QCOMPARE(f.frame->hostView(0)->caption()->countText(), QStringLiteral("3 Files"));
        QCOMPARE(f.frame->messageText(), QStringLiteral("Ready."));
        QVERIFY(QApplication::overrideCursor() == nullptr);
    }

    void commandAvailability_data() {
        QTest::addColumn<QString>("model");
        QTest::addColumn<bool>("connect");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("deviceInfo");
        QTest::addColumn<bool>("voice");
        QTest::addColumn<bool>("refresh");
        QTest::addColumn<bool>("sync"); // Sync with Library: a connected player, no transfer
        QTest::newRow("before any connection")
            << "QN70" << false << false << false << false << true << false;
        QTest::newRow("QN70 connected") << "QN70" << true << false << true << true << true << true;
        QTest::newRow("QN7 prefix") << "qn7x" << true << false << true << true << true << true;
        QTest::newRow("QN520 connected")
            << "QN520" << true << false << true << false << true << true;
        QTest::newRow("transfer running")
            << "QN520" << true << true << true << false << false << false;
    }
    void commandAvailability() {
        QFETCH(QString, model);
        QFETCH(bool, connect);
        QFETCH(bool, busy);
        fake::setModel(model.toLatin1().constData());
        if (!connect)
            fake::player().connected = false;
        MainWindowFixture f;
        f.open();
        f.frame->setTransferBusy(busy);
        // The tool bar follows on the next pass of the event loop.
        QCoreApplication::processEvents();
        auto &cmds = f.frame->commands();
        QTEST(cmds.action(Cmd::DeviceInfo)->isEnabled(), "deviceInfo");
        QTEST(cmds.action(Cmd::VoiceConverter)->isEnabled(), "voice");
        QTEST(cmds.action(Cmd::Refresh)->isEnabled(), "refresh");
        QTEST(cmds.isAvailable(int(Cmd::ArrangeOrder)), "refresh");
        QTEST(cmds.action(Cmd::SyncLibrary)->isEnabled(), "sync");
        QVERIFY(cmds.action(Cmd::Favorites)->isEnabled());
    }

    void postedRefreshRetestedOnDelivery() {
        MainWindowFixture f;
        f.open();
        fake::player().calls.clear();
        f.frame->postCommand(int(Cmd::Refresh), nullptr);
        f.frame->setTransferBusy(true); // a transfer started before the command arrived
        f.settle();
        QCOMPARE(fake::countCalls("InvokePlayer"), 0);
        f.frame->setTransferBusy(false);
        f.frame->postCommand(int(Cmd::Refresh), nullptr);
        f.settle();
        QCOMPARE(fake::countCalls("GetPlayerVersion"), 1);
    }

    void refreshKeyIsF5() {
        MainWindowFixture f;
        f.open();
        QCOMPARE(f.frame->commands().action(Cmd::Refresh)->shortcut(), QKeySequence(Qt::Key_F5));
        QCOMPARE(f.frame->commands().action(Cmd::Favorites)->shortcut(),
                 QKeySequence(Qt::CTRL | Qt::Key_F));
        fake::player().calls.clear();
        f.frame->activateWindow();
        QTest::keyClick(f.frame.get(), Qt::Key_F5);
        f.settle();
        QCOMPARE(fake::countCalls("GetPlayerVersion"), 1);
    }

    void deviceChanges_data() {
        QTest::addColumn<bool>("presentAfter");
        QTest::addColumn<bool>("connectsAfter");
        QTest::addColumn<bool>("refreshes");
        QTest::addColumn<QString>("message");
        QTest::newRow("unplugged") << false << false << false << "Player is not connected";
        QTest::newRow("plugged") << true << true << true << "Ready.";
    }
    void deviceChanges() {
        QFETCH(bool, presentAfter);
        QFETCH(bool, connectsAfter);
        QFETCH(bool, refreshes);
        QFETCH(QString, message);
        fake::player().present = !presentAfter;
        fake::player().connected = !presentAfter;
        MainWindowFixture f;
        f.open();
        shell::DeviceWatch &watch = f.frame->deviceWatch();
        QVERIFY(!watch.poll()); // the first answer is the baseline
        f.settle();
        fake::player().present = presentAfter;
        fake::player().connected = connectsAfter;
        fake::player().calls.clear();
        f.ui.timed.clear();
        QVERIFY(watch.poll());
        f.settle();
        QCOMPARE(fake::countCalls("KSUSB_CheckConnect"), 2);
        QCOMPARE(fake::countCalls("GetPlayerVersion"), refreshes ? 1 : 0);
        QCOMPARE(f.frame->connected(), connectsAfter);
        QCOMPARE(f.frame->messageText(), message);
        // unplugging keeps the rows; plugging in reads them
        QCOMPARE(f.frame->list(0)->topLevelItemCount(), 3);
    }

    void unplugBeforeTheFirstPollIsNoticed() {
        MainWindowFixture f;
        f.open(); // connected by the start-up refresh; the watch has not polled yet
        fake::player().present = false;
        fake::player().connected = false;
        QVERIFY(f.frame->deviceWatch().poll());
        f.settle();
        QVERIFY(!f.frame->connected());
        QCOMPARE(f.frame->messageText(), QStringLiteral("Player is not connected"));
    }

    void devicePollWaitsForDeviceCalls() {
        MainWindowFixture f;
        f.open();
        shell::DeviceWatch &watch = f.frame->deviceWatch();
        int probes = 0;
        watch.setProbe([&] { return ++probes, true; });
        // a poll that arrives while a timed notice of a refresh is up is skipped
        fake::player().flagQueue = {KSUSB_FLAG_BUSY, 0};
        f.ui.onTimed = [&] { watch.poll(); };
        f.frame->refreshMemory();
        f.settle();
        QCOMPARE(probes, 0);
        watch.poll();
        QCOMPARE(probes, 1);
    }

    // A change is acted on by talking to the player, so the watch holds its answers while a
    // transfer's worker owns the pipes, and while a device call runs.
    void watchHoldsAnswersWhileThePipesAreBusy_data() {
        QTest::addColumn<bool>("transfer");
        QTest::addColumn<bool>("held");
        QTest::newRow("transfer running") << true << true;
        QTest::newRow("idle") << false << false;
    }
    void watchHoldsAnswersWhileThePipesAreBusy() {
        QFETCH(bool, transfer);
        QFETCH(bool, held);
        MainWindowFixture f;
        f.open();
        shell::DeviceWatch &watch = f.frame->deviceWatch();
        QVERIFY(!watch.poll()); // baseline: present
        f.settle();
        fake::player().present = false;
        fake::player().connected = false;
        fake::player().calls.clear();
        f.frame->setTransferBusy(transfer);
        QCOMPARE(watch.poll(), !held);
        f.settle();
        QCOMPARE(fake::countCalls("KSUSB_CheckConnect"), held ? 0 : 2);
        f.frame->setTransferBusy(false);
        if (held) {
            QVERIFY(watch.poll()); // noticed once the transfer is over
            f.settle();
            QVERIFY(!f.frame->connected());
        }
    }

    void deviceInfoDialog_data() {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("picture");
        QTest::newRow("LUMA") << "LUMA"
                              << "device/luma";
        QTest::newRow("QN500") << "QN500"
                               << "device/qn500";
        QTest::newRow("QN520") << "QN520"
                               << "device/qn520";
        QTest::newRow("QN70") << "QN70"
                              << "device/qn70";
        QTest::newRow("QN-Vela") << "QN-Vela"
                                 << "device/qnvela";
        QTest::newRow("unknown shows QN520") << "ZZ9"
                                             << "device/qn520";
    }
    void deviceInfoDialog() {
        QFETCH(QString, model);
        QFETCH(QString, picture);
        fake::setModel(model.toLatin1().constData(), "2.01.00.K5 ", "20060102");
        MainWindowFixture f;
        f.open();
        QString seenPicture, seenText;
        bool pictureDrawn = false;
        QTimer::singleShot(0, [&] {
            auto *dlg = qobject_cast<shell::CDeviceInfoDlg *>(QApplication::activeModalWidget());
            QVERIFY(dlg != nullptr);
            seenPicture = dlg->picture()->property("artwork").toString();
            pictureDrawn = !dlg->picture()->pixmap().isNull();
            seenText = dlg->textBox()->toPlainText();
            dlg->accept();
        });
        QVERIFY(f.frame->commands().execute(int(Cmd::DeviceInfo)));
        QCOMPARE(seenPicture, picture);
        QVERIFY(pictureDrawn);
        QCOMPARE(seenText, QStringLiteral("\nVERSION\n    2.01.00.K5\n\nDATE\n    20060102"));
    }

    void unterminatedModelField() {
        KSPlayerStatus &s = fake::player().status;
        std::memset(s.model, 'Q', sizeof s.model); // no terminator anywhere in the field
        std::memset(s.date, '9', sizeof s.date);
        MainWindowFixture f;
        f.open();
        QCOMPARE(f.app->player().model.size(), qsizetype(sizeof s.model));
        QCOMPARE(f.app->player().modelCode, 0);
        QCOMPARE(f.app->player().date.size(), qsizetype(sizeof s.date));
    }

    void shellCommands_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("opened");
        QTest::newRow("home page") << int(Cmd::HomePage) << "https://tunara.example.org/";
        QTest::newRow("help") << int(Cmd::Help) << "file://%1/tunara.chm";
        QTest::newRow("favorites") << int(Cmd::Favorites) << "file://%1/fav";
    }
    void shellCommands() {
        QFETCH(int, command);
        QFETCH(QString, opened);
        MainWindowFixture f;
        f.open();
        f.app->options().favoriteFolder = f.dir.filePath("fav");
        QVERIFY(f.frame->commands().execute(command));
        QCOMPARE(f.ui.opened.size(), 1);
        QCOMPARE(f.ui.opened[0].toString(),
                 opened.contains("%1") ? opened.arg(f.dir.path()) : opened);
    }

    void helpAndHomeFromIni() {
        MainWindowFixture f;
        QSettings ini(f.dir.filePath("tunara.ini"), QSettings::IniFormat);
        ini.setValue("English/HelpFile", "manual.html");
        ini.setValue("English/SupportURL", "https://example.net/support");
        ini.sync();
        f.open();
        QVERIFY(f.frame->commands().execute(int(Cmd::Help)));
        QVERIFY(f.frame->commands().execute(int(Cmd::HomePage)));
        QCOMPARE(f.ui.opened.value(0), QUrl::fromLocalFile(f.dir.filePath("manual.html")));
        QCOMPARE(f.ui.opened.value(1), QUrl("https://example.net/support"));
    }

    void voiceConverterOnlyOnQn70_data() {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("started"); // empty: nothing started
        QTest::newRow("windows name")
            << "QN70" << QStringList{"sndconv.exe"} << true << "sndconv.exe";
        QTest::newRow("any letter case")
            << "QN70" << QStringList{"SNDCONV.EXE"} << true << "SNDCONV.EXE";
        QTest::newRow("plain name first")
            << "QN70" << QStringList{"SndConv.exe", "sndconv"} << true << "sndconv";
        QTest::newRow("missing is not reported") << "QN70" << QStringList{} << true << "";
        QTest::newRow("other names are not it")
            << "QN70" << QStringList{"sndconv.exe.bak", "sndconv2"} << true << "";
        QTest::newRow("other model") << "QN520" << QStringList{"sndconv"} << false << "";
    }
    void voiceConverterOnlyOnQn70() {
        QFETCH(QString, model);
        QFETCH(QStringList, files);
        QFETCH(bool, enabled);
        QFETCH(QString, started);
        fake::setModel(model.toLatin1().constData());
        MainWindowFixture f;
        for (const QString &name : files) {
            QFile file(f.dir.filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        f.open();
        QCOMPARE(f.frame->commands().action(Cmd::VoiceConverter)->isEnabled(), enabled);
        QCOMPARE(f.frame->commands().execute(int(Cmd::VoiceConverter)), enabled);
        QCOMPARE(f.ui.started,
                 started.isEmpty() ? QStringList() : QStringList{f.dir.filePath(started)});
        QVERIFY(f.ui.messages.isEmpty());
        QVERIFY(f.ui.timed.isEmpty());
    }

    // The totals box, the capacity texts and the gauge, 64-bit from the player's numbers on.
    void totalsBox_data() {
        QTest::addColumn<bool>("connect");
        QTest::addColumn<quint32>("total"); // 0: the default 32 MiB flash
        QTest::addColumn<quint32>("free");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("capacity");
        QTest::addColumn<QString>("usage");
        QTest::newRow("before the first refresh")
            << false << 0u << 0u
            << "Total Memory :         0 Bytes\n\nFree Memory :         0 Bytes"
            << ""
            << "";
        QTest::newRow("after") << true << 0u << 0u
                               << "Total Memory :  33554432 Bytes\n\nFree Memory :  25165824 Bytes"
                               << "Total : 32 MB / Free : 24 MB"
                               << "8.0MB Used, Total 32.0MB (25.0%)";
        QTest::newRow("a memory past 2 GiB")
            << true << 3221225472u << 2684354560u
            << "Total Memory : 3221225472 Bytes\n\nFree Memory : 2684354560 Bytes"
            << "Total : 3072 MB / Free : 2560 MB"
            << "512.0MB Used, Total 3072.0MB (16.7%)";
        QTest::newRow("the most the player reports")
            << true << 0xFFFFFFFFu << 0xFFFFFFFFu
            << "Total Memory : 4294967295 Bytes\n\nFree Memory : 4294967295 Bytes"
            << "Total : 4095 MB / Free : 4095 MB"
            << "0.0MB Used, Total 4096.0MB (0.0%)";
    }
    void totalsBox() {
        QFETCH(bool, connect);
        QFETCH(quint32, total);
        QFETCH(quint32, free);
        QFETCH(QString, text);
        fake::player().connected = connect;
        if (total != 0) {
            fake::table(KSUSB_MEM_FLASH, total, free);
            fake::addFile(KSUSB_MEM_FLASH, "big.mp3", 1000);
        }
        MainWindowFixture f;
        f.open();
        auto *strip = f.frame->hostView(0)->caption();
        QTest::mouseClick(strip, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        QCOMPARE(f.ui.messages, QStringList{text});
        if (connect)
            QTEST(f.frame->list(0)->statusText(), "capacity");
        QTEST(strip->usageText(), "usage");
    }

    void activation() {
        MainWindowFixture f;
        f.open();
        f.frame->paneActivated(f.frame->list(1));
        QCOMPARE(f.frame->capacityText(), QStringLiteral("Total : 64 MB / Free : 1024 KB"));
        QCOMPARE(f.frame->list(1)->palette().color(QPalette::Base), QColor(255, 255, 238));
        QCOMPARE(f.frame->list(0)->palette().color(QPalette::Base), QColor(Qt::white));
        QCOMPARE(f.frame->hostView(1)->caption()->textColour(), QColor(Qt::white));
        QCOMPARE(f.frame->hostView(0)->caption()->textColour(), QColor(64, 64, 64));
    }

    void minimumSizeAndPlacement() {
        MainWindowFixture f;
        f.open();
        f.frame->resize(100, 100);
        QVERIFY(f.frame->width() >= 600);
        QVERIFY(f.frame->height() >= 300);
        f.frame->setGeometry(40, 50, 700, 400);
        const QRect g = f.frame->normalGeometry();
        f.frame->close();
        QSettings &p = f.app->profile();
        QCOMPARE(p.value("Init/VertPos").toInt(), g.top());
        QCOMPARE(p.value("Init/HorizPos").toInt(), g.left());
        QCOMPARE(p.value("Init/Width").toInt(), g.width());
        QCOMPARE(p.value("Init/Height").toInt(), g.height());
        const QString widths = p.value("Settings/Control").toString();
        QVERIFY(widths.endsWith(','));
        QCOMPARE(widths.count(','), 5);
    }

    void fontCommandAppliesToLists() {
        MainWindowFixture f;
        f.open();
        QFont chosen(QStringLiteral("DejaVu Serif"));
        chosen.setPointSizeF(12.0);
        f.ui.font = chosen;
        QVERIFY(f.frame->commands().execute(int(Cmd::Font)));
        QCOMPARE(f.app->options().listFontSize, 120);
        QCOMPARE(f.app->options().listFontFace, chosen.family());
        QCOMPARE(f.frame->list(0)->font().pointSizeF(), 12.0);
        QCOMPARE(f.frame->list(1)->font().pointSizeF(), 12.0);
        // In the profile at once: a kill before a normal exit keeps the choice.
        QSettings stored(f.dir.filePath("profile.ini"), QSettings::IniFormat);
        QCOMPARE(stored.value("Option/ListFontSize").toInt(), 120);
        f.ui.font.reset(); // cancelled: nothing changes
        QVERIFY(f.frame->commands().execute(int(Cmd::Font)));
        QCOMPARE(f.app->options().listFontSize, 120);
    }

    void thirdPaneIsRefused() {
        MainWindowFixture f;
        f.open();
        shell::CZamo_ExpView third(f.frame->document(), *f.frame, KSUSB_MEM_CARD);
        QCOMPARE(f.ui.messages, QStringList{"ERROR : more than two memory pane created"});
        QCOMPARE(third.list()->memoryId(), 0);
        fake::player().calls.clear();
        QVERIFY(!third.list()->refresh());
        QVERIFY(fake::player().calls.empty());
    }

    void arrangeOrderAfterSort_data() {
        QTest::addColumn<bool>("yes");
        QTest::addColumn<int>("replaces");
        QTest::newRow("yes sets the play order") << true << 3;
        QTest::newRow("no leaves it") << false << 0;
    }
    void arrangeOrderAfterSort() {
        QFETCH(bool, yes);
        QFETCH(int, replaces);
        MainWindowFixture f;
        f.open();
        f.ui.answerYes = yes;
        fake::player().calls.clear();
        QHeaderView *h = f.frame->list(0)->header();
        QTest::mouseClick(h->viewport(), Qt::LeftButton, Qt::NoModifier,
                          QPoint(h->sectionViewportPosition(1) + 5, h->height() / 2));
        f.settle();
        QCOMPARE(f.ui.questions.size(), 1);
        int n = 0;
        for (const std::string &c : fake::player().calls)
            n += c.rfind("Replace:M:", 0) == 0;
        QCOMPARE(n, replaces);
        if (yes)
            QCOMPARE(fake::player().calls.back(), std::string("Replace:M:song3.mp3:3"));
    }

    // When shown, the whole window lies inside the available area of its screen: moved, and
    // shrunk where it must be; a placement that fits is kept. Rows are offsets from that area.
    void windowLiesOnTheScreen_data() {
        QTest::addColumn<QRect>("placed");   // x, y from the area's top left; width, height
        QTest::addColumn<QRect>("expected"); // the same way; width -1: the whole area
        QTest::newRow("fits: kept") << QRect(40, 30, 640, 400) << QRect(40, 30, 640, 400);
        QTest::newRow("left and top edges off screen")
            << QRect(-300, -200, 640, 400) << QRect(0, 0, 640, 400);
        QTest::newRow("larger than the screen")
            << QRect(-50, -50, 5000, 4000) << QRect(0, 0, -1, -1);
    }
    void windowLiesOnTheScreen() {
        QFETCH(QRect, placed);
        QFETCH(QRect, expected);
        MainWindowFixture f;
        f.open(false);
        const QRect area = f.frame->screen()->availableGeometry();
        f.frame->resize(placed.size());
        f.frame->move(area.topLeft() + placed.topLeft());
        f.frame->show();
        f.frame->deviceWatch().stop();
        f.settle();
        // Sizes in the rows are the window's own; the frame adds the platform's margins.
        const QSize margins = f.frame->frameGeometry().size() - f.frame->size();
        const QRect want(area.topLeft() + expected.topLeft(),
                         expected.width() < 0 ? area.size() : expected.size() + margins);
        QCOMPARE(f.frame->frameGeometry(), want);
        QVERIFY(area.contains(f.frame->frameGeometry()));
    }

    // Never below the 600 x 300 minimum, even on a screen smaller than that: the top left
    // corner stays on the screen then.
    void windowKeepsItsMinimum_data() {
        QTest::addColumn<QRect>("frame");
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QRect>("expected");
        QTest::newRow("area smaller than the minimum")
            << QRect(100, 80, 900, 560) << QRect(0, 0, 500, 250) << QRect(0, 0, 600, 300);
        QTest::newRow("area on a second screen")
            << QRect(0, 0, 900, 560) << QRect(1280, 0, 853, 533) << QRect(1280, 0, 853, 533);
    }
    void windowKeepsItsMinimum() {
        QFETCH(QRect, frame);
        QFETCH(QRect, area);
        QFETCH(QRect, expected);
        QCOMPARE(tunara::shell::fitIntoArea(frame, area, QSize(600, 300)), expected);
    }
};

QTEST_MAIN(TestMainFrame)
#include "test_mainframe.moc"
