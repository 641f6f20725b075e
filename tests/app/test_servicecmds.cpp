// The service tools as the main window opens them, over the scripted player: the availability
// of Volume Label and Font Download, the volume-label form and the Help command's test path.
#include "device/transferqueue.h"
#include "device/zamo_listview.h"
#include "mainwindowfixture.h"
#include "service/fontdownloaddlg.h"
#include "service/volumelabeldlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace tunara;
using shell::Cmd;

namespace {

constexpr int PollMs = 20;

// Runs `act` once on the next modal dialog other than `outer`; the watch goes when it has.
QTimer *onNextModal(std::function<void(QDialog *)> act, QWidget *outer = nullptr) {
    auto *timer = new QTimer;
    timer->setInterval(PollMs);
    QObject::connect(timer, &QTimer::timeout, [timer, act, outer] {
        auto *dlg = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (dlg == nullptr || dlg == outer)
            return;
        timer->stop();
        timer->deleteLater();
        act(dlg);
    });
    timer->start();
    return timer;
}

class RecordingQueue : public device::TransferQueue {
public:
    QList<QPair<unsigned char, QStringList>> downloads;
    int addDownloads(unsigned char memoryId, const QStringList &paths) override {
        downloads.append({memoryId, paths});
        return 1;
    }
    int addDownloadsInOrder(unsigned char memoryId, const QStringList &paths) override {
        downloads.append({memoryId, paths});
        return 1;
    }
    int addUploads(unsigned char, const QStringList &, const QStringList &) override { return 1; }
    bool busy() const override { return running; }
    bool running = false;
};

} // namespace

class TestServiceCmds : public QObject {
    Q_OBJECT

private slots:
    void init() { MainWindowFixture::defaultPlayer(); }

    void availability_data() {
        QTest::addColumn<int>("select"); // row to select in the flash pane, -1 none
        QTest::addColumn<bool>("clearAfter");
        QTest::addColumn<bool>("busy"); // a transfer runs
        QTest::addColumn<bool>("available");
        QTest::newRow("rows shown, none selected") << -1 << false << false << true;
        QTest::newRow("a row selected") << 1 << false << false << false;
        QTest::newRow("selection cleared again") << 1 << true << false << true;
        QTest::newRow("a transfer running") << -1 << false << true << false;
    }

    void availability() {
        QFETCH(int, select);
        QFETCH(bool, clearAfter);
        QFETCH(bool, busy);
        QFETCH(bool, available);
        MainWindowFixture f;
        f.open();
        QTRY_COMPARE(f.frame->list(0)->topLevelItemCount(), 3);
        device::CZamo_ListView *list = f.frame->list(0);
        if (select >= 0) {
            const QRect r = list->visualItemRect(list->topLevelItem(select));
            QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, r.center());
            QVERIFY(list->topLevelItem(select)->isSelected());
        }
        if (clearAfter)
            list->clearSelection();
        f.frame->setTransferBusy(busy);
        f.frame->commands().updateUi();
        for (Cmd c : {Cmd::VolumeLabel, Cmd::FontDownload}) {
            QCOMPARE(f.frame->commands().isAvailable(int(c)), available);
            QCOMPARE(f.frame->commands().action(c)->isEnabled(), available);
        }
        bool opened = false;
        if (available)
            onNextModal([&](QDialog *dlg) {
                opened = dlg->windowTitle() == "Edit Volume Label";
                dlg->reject();
            });
        QCOMPARE(f.frame->commands().execute(int(Cmd::VolumeLabel)), available);
        QCOMPARE(opened, available);
    }

    void volumeLabel_data() {
        QTest::addColumn<QList<bool>>("ticked");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("focused"); // edit holding the focus afterwards, -1 any
        const QString blocked = "This function has been modified and blocked (2005-07-18).\n"
                                "Nothing is written to the player.";
        QTest::newRow("internal empty")
            << QList<bool>{true, false, false} << QStringList{"", "", ""}
            << QStringList{blocked, "Insert Internal Memory Volume!"} << 0;
        QTest::newRow("internal and external 2 named")
            << QList<bool>{true, false, true} << QStringList{"MUSIC", "skip", "CARD2"}
            << QStringList{blocked, "MUSIC", "CARD2"} << -1;
        QTest::newRow("external 1 empty stops there")
            << QList<bool>{true, true, true} << QStringList{"MUSIC", "", "CARD2"}
            << QStringList{blocked, "MUSIC", "Insert External Memory1 Volume!"} << 1;
    }

    void volumeLabel() {
        QFETCH(QList<bool>, ticked);
        QFETCH(QStringList, labels);
        QFETCH(QStringList, messages);
        QFETCH(int, focused);
        MainWindowFixture f;
        f.open();
        QTRY_VERIFY(f.frame->commands().isAvailable(int(Cmd::VolumeLabel)));
        int focus = -2;
        onNextModal([&](QDialog *d) {
            auto *dlg = qobject_cast<service::CVolumeLabelDlg *>(d);
            if (dlg == nullptr)
                return d->reject();
            for (int i = 0; i < service::CVolumeLabelDlg::MemoryCount; ++i) {
                if (dlg->memoryBox(i)->isChecked() != ticked[i])
                    QTest::mouseClick(dlg->memoryBox(i), Qt::LeftButton);
                if (dlg->labelEdit(i)->isEnabled())
                    QTest::keyClicks(dlg->labelEdit(i), labels[i]);
            }
            QTest::mouseClick(dlg->updateButton(), Qt::LeftButton);
            focus = -1;
            for (int i = 0; i < service::CVolumeLabelDlg::MemoryCount; ++i)
                if (QApplication::focusWidget() == dlg->labelEdit(i))
                    focus = i;
            dlg->reject();
        });
        QVERIFY(f.frame->commands().execute(int(Cmd::VolumeLabel)));
        QCOMPARE(f.ui.messages, messages);
        if (focused >= 0)
            QCOMPARE(focus, focused);
        QCOMPARE(fake::countCalls("KSUSB_Download"), 0); // nothing goes to the player
    }

    void helpTestPath_data() {
        QTest::addColumn<QByteArray>("list"); // content of the test list; null: no list
        QTest::addColumn<bool>("withQueue");
        QTest::addColumn<QStringList>("queued");
        QTest::addColumn<bool>("running"); // a transfer runs: no update dialog
        QTest::newRow("no list opens the help file")
            << QByteArray() << true << QStringList() << false;
        QTest::newRow("every line queued for 'M'")
            << QByteArray("/music/a.mp3\r\n\r\n/music/b c.mp3\n/music/" + QByteArray(300, 'x') +
                          ".mp3\r/music/last.mp3")
            << true
            << QStringList{"/music/a.mp3", "/music/b c.mp3", "/music/" + QString(300, 'x') + ".mp3",
                           "/music/last.mp3"}
            << false;
        QTest::newRow("no transfer queue yet")
            << QByteArray("/music/a.mp3\n") << false << QStringList() << false;
        QTest::newRow("a running transfer keeps the dialog closed")
            << QByteArray("/music/a.mp3\n") << true << QStringList{"/music/a.mp3"} << true;
    }

    void helpTestPath() {
        QFETCH(QByteArray, list);
        QFETCH(bool, withQueue);
        QFETCH(QStringList, queued);
        QFETCH(bool, running);
        MainWindowFixture f;
        f.open();
        RecordingQueue queue;
        queue.running = running;
        if (withQueue)
            f.frame->setTransferQueue(&queue);
        if (!list.isNull()) {
            QFile file(f.dir.filePath("flash_test_files.txt"));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(list);
        }
        QString shown;
        bool queuedWhileOpen = false;
        QPointer<QTimer> watch;
        if (!list.isNull())
            watch = onNextModal([&](QDialog *dlg) {
                shown = dlg->windowTitle();
                queuedWhileOpen = !queue.downloads.isEmpty();
                dlg->reject();
            });
        QVERIFY(f.frame->commands().execute(int(Cmd::Help)));
        delete watch.data(); // still watching when no dialog came
        if (list.isNull()) {
            QCOMPARE(f.ui.opened, QList<QUrl>{QUrl::fromLocalFile(f.dir.filePath("tunara.chm"))});
            QVERIFY(queue.downloads.isEmpty());
            return;
        }
        QCOMPARE(shown, running ? QString() : QStringLiteral("Program & Font Update"));
        QVERIFY(!queuedWhileOpen); // the files follow the dialog
        QVERIFY(f.ui.opened.isEmpty());
        if (queued.isEmpty()) {
            QVERIFY(queue.downloads.isEmpty());
            return;
        }
        QCOMPARE(queue.downloads.size(), 1);
        QCOMPARE(queue.downloads[0].first, (unsigned char)'M');
        QCOMPARE(queue.downloads[0].second, queued);
    }
};

QTEST_MAIN(TestServiceCmds)
#include "test_servicecmds.moc"
