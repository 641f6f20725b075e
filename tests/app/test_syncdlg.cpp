// Sync with Library with real widgets, the real library and the virtual player: a library
// folder of small MP3s (made by sox and lame) previewed against the player's memory (the rows'
// actions and names, the deletions apart with their own tick, the gauges), then synced; the
// player's files read back from its image with mtools.
#include "device/zamo_listview.h"
#include "qtrun.h"
#include "res/commandid.h"
#include "shell/mainframe.h"
#include "shell/tunaraapp.h"
#include "sync/fillhistory.h"
#include "testui.h"
#include "transfer/syncdlg.h"
#include "transfer/transferdlg.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <memory>

using namespace tunara;
using kestousb::test::VplayerProcess;
using transfer::CSyncDlg;

namespace {
// Generous bounds: the machine is shared and slow; nothing here measures speed.
constexpr int WaitMs = 90000;
constexpr int ImageKib = 8192;

// Content that is not audio, different per name.
QByteArray pattern(const QString &name, int size) {
    QByteArray data(size, '\0');
    const uint seed = uint(qHash(name));
    for (int i = 0; i < size; ++i)
        data[i] = char((uint(i) * 131u + seed) & 0xFFu);
    return data;
}

// A player over its own images, and the main window connected to it.
struct Bench {
    QTemporaryDir state;
    QTemporaryDir profile;
    TestUi ui;
    std::unique_ptr<VplayerProcess> player;
    std::unique_ptr<shell::CTunaraApp> app;
    std::unique_ptr<shell::CMainFrame> frame;

    ~Bench() {
        if (frame)
            frame->close();
    }
    QString image() const { return state.filePath("flash.img"); }
    bool makeImage(const QString &name, const QStringList &files) {
        const QString img = state.filePath(name);
        if (!kestousb::test::run(TUNARA_MKFS, {"-C", img, QString::number(ImageKib)}))
            return false;
        // -m keeps each file's time: a copy of a library file is the library's file.
        QStringList args{"-m", "-i", img};
        args << files << "::";
        return files.isEmpty() || kestousb::test::run(TUNARA_MCOPY, args);
    }
    bool start() {
        QFile ini(state.filePath("player.ini"));
        if (!ini.open(QIODevice::WriteOnly))
            return false;
        ini.write("[Player]\nModel=QN520\nVersion=1.00.00.K5 \nDate=20050718\nCardPresent=0\n");
        ini.close();
        player = std::make_unique<VplayerProcess>(TUNARA_VPLAYER, state.path().toStdString());
        if (!player->started())
            return false;
        qputenv("KESTOUSB_USBIP", QByteArray::fromStdString(player->address()));
        app = std::make_unique<shell::CTunaraApp>(
            shell::CTunaraApp::Paths{profile.path(), profile.filePath("profile.ini")}, ui);
        app->start();
        frame = std::make_unique<shell::CMainFrame>(*app);
        frame->show();
        frame->deviceWatch().stop();
        return QTest::qWaitFor([this] { return frame->connected(); }, WaitMs) &&
               QTest::qWaitFor(
                   [this] {
                       return frame->messageText() == "Ready." &&
                              frame->list(0)->topLevelItemCount() > 0;
                   },
                   WaitMs);
    }
    // The free bytes of an empty memory image of the size the tests use.
    qint64 emptyFree() const {
        QTemporaryDir scratch;
        const QString img = scratch.filePath("empty.img");
        QByteArray out;
        if (!kestousb::test::run(TUNARA_MKFS, {"-C", img, QString::number(ImageKib)}) ||
            !kestousb::test::run(TUNARA_MDIR, {"-i", img, "::"}, &out))
            return -1;
        // "    8 357 888 bytes free"
        for (const QByteArray &line : out.split('\n'))
            if (line.contains("bytes free"))
                return QString::fromLatin1(line.left(line.indexOf("bytes")))
                    .remove(' ')
                    .toLongLong();
        return -1;
    }
    // The long names of the flash in directory (play) order, and a file's bytes.
    QStringList playerNames() const {
        QByteArray out;
        if (!kestousb::test::run(TUNARA_MDIR, {"-i", image(), "-b", "::"}, &out))
            return {"<mdir failed>"};
        QStringList names;
        for (const QByteArray &line : out.split('\n'))
            if (line.startsWith("::/"))
                names << QString::fromUtf8(line.mid(3));
        return names;
    }
    QByteArray playerFile(const QString &name) const {
        QByteArray out;
        kestousb::test::run(TUNARA_MCOPY, {"-i", image(), "::" + name, "-"}, &out);
        return out;
    }
};

// "Action|player name" of each row of a list.
QStringList rowsOf(const QTreeWidget *list, bool withAction = true) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = list->topLevelItem(i);
        out << (withAction ? row->text(CSyncDlg::ColAction) + '|' : QString()) +
                   row->text(CSyncDlg::ColName);
    }
    return out;
}

QString megabytes(quint64 bytes) {
    return QString::asprintf("%.1f MB", double(bytes) / 1048576.0);
}

} // namespace

class TestSyncDlg : public QObject {
    Q_OBJECT
    QTemporaryDir m_files;

    // A short MP3 made by the real encoder at `path` (its folders made); a FLAC made by sox
    // for a name ending in ".flac".
    bool makeMp3(const QString &path, const QString &title) {
        if (!QDir().mkpath(QFileInfo(path).absolutePath()))
            return false;
        if (path.endsWith(".flac"))
            return kestousb::test::run(TUNARA_SOX, {"-n", "-r", "44100", "-c", "2", "-b", "16",
                                                    path, "synth", "0.5", "sine", "440"});
        const QString wav = m_files.filePath("tone.wav");
        if (!QFile::exists(wav) &&
            !kestousb::test::run(TUNARA_SOX, {"-n", "-r", "44100", "-c", "2", "-b", "16", wav,
                                              "synth", "0.5", "sine", "440"}))
            return false;
        return QDir().mkpath(QFileInfo(path).absolutePath()) &&
               kestousb::test::run(TUNARA_LAME,
                                   {"--quiet", "--cbr", "-b", "128", "--tt", title, wav, path});
    }

private slots:
    void initTestCase() {
        QVERIFY(m_files.isValid());
        qputenv("XDG_CACHE_HOME", QFile::encodeName(m_files.filePath("cache")));
        qputenv("TZ", "UTC"); // the player's times and the library's compare in one zone
    }

    // The whole path: the command, the dialog's controls, the preview of a library folder
    // against the player, the deletions' own tick, Sync and what the player holds afterwards.
    void previewsAndSyncs_data() {
        // The library: folders of MP3s, "folder/file". The player: names of files that are not
        // audio, or "=file" for a copy of a library file (kept) or "~file" for a different
        // file under its name (replaced).
        QTest::addColumn<QStringList>("library");
        QTest::addColumn<QStringList>("player");
        // "delete": Delete files not in the library; "tick": the deletions' tick; "stop": Stop
        // as the queue starts its first file; "playlist": the library's files in a playlist;
        // "waits": Sync waits for the deletions' tick (given with "tick"); "fault:NAME": the
        // player's fault NAME once, as Sync starts; "fill": Fill instead of Mirror; "level":
        // the Option dialog's levelling by track (MP3s arrive levelled, their length kept, and
        // the next preview keeps them).
        QTest::addColumn<QString>("options");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QStringList>("deletions");
        QTest::addColumn<QString>("slotsBefore");
        QTest::addColumn<QString>("slotsAfter");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QStringList>("after");       // the player's names in play order
        QTest::addColumn<QStringList>("fromLibrary"); // those that hold the library's bytes
        // The name slots before a second preview after the run (none when empty).
        QTest::addColumn<QString>("again");

        const QStringList lib = {"Band/First/01 Alpha.mp3", "Band/First/02 Beta.mp3",
                                 "Band/Second/01 Gamma.mp3"};
        const QStringList sent = {"Send|01 Alpha.mp3", "Send|02 Beta.mp3", "Send|01 Gamma.mp3"};
        const QStringList inOrder = {"01 Alpha.mp3", "02 Beta.mp3", "01 Gamma.mp3"};
        const QStringList old = {"Old.mp3"};
        const QStringList none;
        QTest::newRow("mirror, extras kept")
            << lib << old << "" << sent << none << "2 used of 512"
            << "8 used of 512"
            << "Sync finished: 3 sent, 0 replaced, 0 deleted, 0 did not fit, 0 failed."
            << inOrder + old << inOrder << QString();
        QTest::newRow("deletions listed, not ticked")
            << lib << old << "delete" << sent << old << "2 used of 512"
            << "8 used of 512"
            << "Sync finished: 3 sent, 0 replaced, 0 deleted, 0 did not fit, 0 failed."
            << inOrder + old << inOrder << QString();
        QTest::newRow("deletions ticked")
            << lib << old << "delete tick" << sent << old << "2 used of 512"
            << "6 used of 512"
            << "Sync finished: 3 sent, 0 replaced, 1 deleted, 0 did not fit, 0 failed." << inOrder
            << inOrder << QString();
        QTest::newRow("kept, replaced and reordered")
            << lib << QStringList{"~Band/First/02 Beta.mp3", "=Band/Second/01 Gamma.mp3", "Old.mp3"}
            << "" << QStringList{"Send|01 Alpha.mp3", "Replace|02 Beta.mp3", "Keep|01 Gamma.mp3"}
            << none << "6 used of 512"
            << "8 used of 512"
            << "Sync finished: 1 sent, 1 replaced, 0 deleted, 0 did not fit, 0 failed."
            << inOrder + old << inOrder << QString();
        QTest::newRow("fits only with the deletions")
            << lib << QStringList{"Big.bin:rest-20000"} << "delete waits tick" << sent
            << QStringList{"Big.bin"} << "2 used of 512"
            << "6 used of 512"
            << "Sync finished: 3 sent, 0 replaced, 1 deleted, 0 did not fit, 0 failed." << inOrder
            << inOrder << QString();
        // A replacement puts the old copy aside only once the new one is there: the player
        // refusing to delete the old copy keeps it and takes the new one away; refusing the
        // rename leaves the new copy under its staging name. Either way nothing is lost.
        const QStringList replacing = {"~Band/First/02 Beta.mp3", "=Band/Second/01 Gamma.mp3",
                                       "Old.mp3"};
        const QStringList replaceRows = {"Send|01 Alpha.mp3", "Replace|02 Beta.mp3",
                                         "Keep|01 Gamma.mp3"};
        QTest::newRow("old copy not deleted")
            << lib << replacing << "fault:refuse-delete" << replaceRows << none << "6 used of 512"
            << "8 used of 512"
            << "Sync finished: 1 sent, 0 replaced, 0 deleted, 0 did not fit, 1 failed."
            << inOrder + old << QStringList{"01 Alpha.mp3", "01 Gamma.mp3"} << QString();
        QTest::newRow("new copy not renamed")
            << lib << replacing << "fault:refuse-rename" << replaceRows << none << "6 used of 512"
            << "8 used of 512"
            << "Sync finished: 1 sent, 0 replaced, 0 deleted, 0 did not fit, 1 failed."
            << QStringList{"01 Alpha.mp3", "01 Gamma.mp3", "Old.mp3", "kesto-sync-new.mp3"}
            << QStringList{"01 Alpha.mp3", "01 Gamma.mp3"} << QString();
        // A refusal for want of name records teaches the directory's size: the next preview
        // plans with it, and what does not fit is left out before anything is sent.
        QTest::newRow("name slots learned from a refusal")
            << lib << old << "fault:refuse=2" << sent << none << "2 used of 512"
            << "8 used of 512"
            << "Sync finished: 2 sent, 0 replaced, 0 deleted, 0 did not fit, 1 failed."
            << QStringList{"02 Beta.mp3", "01 Gamma.mp3", "Old.mp3"}
            << QStringList{"02 Beta.mp3", "01 Gamma.mp3"} << "6 used of 6";
        // Fill: whole albums chosen (here the only one), and remembered for the next fill.
        QTest::newRow("fill remembers its albums")
            << QStringList{"Band/First/01 Alpha.mp3", "Band/First/02 Beta.mp3"} << old << "fill"
            << QStringList{"Send|01 Alpha.mp3", "Send|02 Beta.mp3"} << none << "2 used of 512"
            << "6 used of 512"
            << "Sync finished: 2 sent, 0 replaced, 0 deleted, 0 did not fit, 0 failed."
            << QStringList{"01 Alpha.mp3", "02 Beta.mp3", "Old.mp3"}
            << QStringList{"01 Alpha.mp3", "02 Beta.mp3"} << QString();
        // A file the player cannot play is converted on its way under an MP3 name.
        QTest::newRow("converted on the way")
            << QStringList{"Band/First/01 Alpha.mp3", "Band/First/02 Delta.flac"} << old << ""
            << QStringList{"Send|01 Alpha.mp3", "Convert and send|02 Delta.mp3"} << none
            << "2 used of 512"
            << "6 used of 512"
            << "Sync finished: 2 sent, 0 replaced, 0 deleted, 0 did not fit, 0 failed."
            << QStringList{"01 Alpha.mp3", "02 Delta.mp3", "Old.mp3"} << QStringList{"01 Alpha.mp3"}
            << QString();
        QTest::newRow("a playlist in its order")
            << lib << old << "playlist"
            << QStringList{"Send|01 Gamma.mp3", "Send|02 Beta.mp3", "Send|01 Alpha.mp3"} << none
            << "2 used of 512"
            << "8 used of 512"
            << "Sync finished: 3 sent, 0 replaced, 0 deleted, 0 did not fit, 0 failed."
            << QStringList{"01 Gamma.mp3", "02 Beta.mp3", "01 Alpha.mp3", "Old.mp3"} << inOrder
            << QString();
        // Levelled by track: the MP3s go as levelled copies, and the FLAC converted, levelled.
        QTest::newRow("levelled on the way")
            << QStringList{"Band/First/01 Alpha.mp3", "Band/First/02 Delta.flac"} << old << "level"
            << QStringList{"Send|01 Alpha.mp3", "Convert and send|02 Delta.mp3"} << none
            << "2 used of 512"
            << "6 used of 512"
            << "Sync finished: 2 sent, 0 replaced, 0 deleted, 0 did not fit, 0 failed."
            << QStringList{"01 Alpha.mp3", "02 Delta.mp3", "Old.mp3"} << none << QString();
        // The file that moves arrives; the rest stays as it was: the old copy of a file to be
        // replaced stays, no staging copy is left, and the order is not set.
        QTest::newRow("stopped as the first file goes")
            << lib << QStringList{"~Band/First/02 Beta.mp3", "Old.mp3"} << "stop"
            << QStringList{"Send|01 Alpha.mp3", "Replace|02 Beta.mp3", "Send|01 Gamma.mp3"} << none
            << "4 used of 512"
            << "8 used of 512"
            << "Sync stopped: 1 sent, 0 replaced, 0 deleted, 0 did not fit, 2 failed."
            << QStringList{"02 Beta.mp3", "Old.mp3", "01 Alpha.mp3"} << QStringList{"01 Alpha.mp3"}
            << QString();
    }

    void previewsAndSyncs() {
        QFETCH(QStringList, library);
        QFETCH(QStringList, player);
        QFETCH(QString, options);
        QFETCH(QStringList, rows);
        QFETCH(QStringList, deletions);
        QFETCH(QString, slotsBefore);
        QFETCH(QString, slotsAfter);
        QFETCH(QString, summary);
        QFETCH(QStringList, after);
        QFETCH(QStringList, fromLibrary);
        QFETCH(QString, again);
        const QStringList words = options.split(' ', Qt::SkipEmptyParts);
        const auto has = [&words](const char *word) { return words.contains(word); };
        const bool stop = has("stop");

        // Each row starts with no levelling records: an earlier row's player is gone.
        QFile::remove(QString::fromStdString(sync::LevelRecords::defaultPath()));
        QTemporaryDir libDir;
        for (const QString &file : library)
            QVERIFY(makeMp3(libDir.filePath(file), QFileInfo(file).completeBaseName()));
        Bench b;
        QStringList onPlayer;
        for (const QString &p : player) {
            const QString file = p.mid(1);
            if (p.startsWith('=')) {
                onPlayer << libDir.filePath(file);
            } else {
                // Not audio, or not the library's copy: a file of its own under the name;
                // "name:rest-N" fills all but N bytes of the memory.
                const QString name =
                    QFileInfo(p.startsWith('~') ? file : p.section(':', 0, 0)).fileName();
                const QString size = p.section(':', 1);
                const qint64 bytes =
                    size.startsWith("rest-") ? b.emptyFree() - size.mid(5).toLongLong() : 1500;
                QVERIFY(bytes > 0);
                const QString path = b.state.filePath(name);
                QFile f(path);
                QVERIFY(f.open(QIODevice::WriteOnly));
                f.write(pattern(name, int(bytes)));
                onPlayer << path;
            }
        }
        QVERIFY(b.makeImage("flash.img", onPlayer));
        {
            QSettings profile(b.profile.filePath("profile.ini"), QSettings::IniFormat);
            profile.setValue("Option/ConvertLevel", has("level") ? 1 : 0);
        }
        QVERIFY2(b.start(), b.player ? b.player->log().c_str() : "no player");

        // Offered on the Player menu while the player is connected and idle.
        QVERIFY(b.frame->commands().isAvailable(int(res::Cmd::SyncLibrary)));
        QCOMPARE(b.frame->commands().action(res::Cmd::SyncLibrary)->text(),
                 QStringLiteral("Sync with Library..."));
        QVERIFY(b.frame->commands().execute(int(res::Cmd::SyncLibrary)));
        CSyncDlg *dlg = b.frame->syncDialog();
        QVERIFY(dlg != nullptr && dlg->isVisible());
        QCOMPARE(dlg->windowTitle(), QStringLiteral("Sync with Library"));
        QCOMPARE(dlg->findChild<QComboBox *>("syncMemory")->currentText(),
                 QStringLiteral("Flash Memory"));
        // Every control has a name for assistive technology.
        for (QWidget *w : dlg->findChildren<QWidget *>()) {
            if (w->objectName().startsWith("sync") && !qobject_cast<QLabel *>(w))
                QVERIFY2(!w->accessibleName().isEmpty(), qPrintable(w->objectName()));
        }

        // The library as a folder, or as a playlist of its files from the last to the first
        // album (relative paths), whose order is the play order.
        QString source = QDir::cleanPath(libDir.path());
        if (has("playlist")) {
            source = libDir.filePath("mix.m3u");
            QFile list(source);
            QVERIFY(list.open(QIODevice::WriteOnly));
            list.write("#EXTM3U\n");
            for (qsizetype i = library.size(); i-- > 0;)
                list.write(library[i].toUtf8() + "\n");
            list.close();
            b.ui.openFileAnswers << source;
            QTest::mouseClick(dlg->findChild<QPushButton *>("syncAddPlaylist"), Qt::LeftButton);
        } else {
            b.ui.folder = libDir.path();
            QTest::mouseClick(dlg->findChild<QPushButton *>("syncAddFolder"), Qt::LeftButton);
        }
        QCOMPARE(dlg->choice().sources, QStringList{source});
        dlg->findChild<QCheckBox *>("syncDeleteExtras")->setChecked(has("delete"));
        if (has("fill"))
            dlg->findChild<QRadioButton *>("syncFill")->click();
        QCOMPARE(dlg->choice().fill, has("fill"));
        auto *previewButton = dlg->findChild<QPushButton *>("syncPreview");
        QVERIFY(previewButton->isEnabled());
        QTest::mouseClick(previewButton, Qt::LeftButton);
        // Planning runs off the window's thread: the window answers meanwhile.
        QTRY_VERIFY_WITH_TIMEOUT(dlg->plan() != nullptr, WaitMs);
        QVERIFY(!dlg->findChild<QProgressBar *>("syncProgress")->isVisible());

        QCOMPARE(rowsOf(dlg->planList()), rows);
        QCOMPARE(rowsOf(dlg->deletionList(), false), deletions);
        auto *deleteTick = dlg->findChild<QCheckBox *>("syncDeleteTick");
        QCOMPARE(deleteTick->text(), QString("Delete %1 files").arg(deletions.size()));
        QCOMPARE(deleteTick->isEnabled(), !deletions.isEmpty());
        QVERIFY(!deleteTick->isChecked());
        QCOMPARE(dlg->findChild<QProgressBar *>("syncSlotsBefore")->format(), slotsBefore);
        const KSUSB_TOpenTable &table = b.frame->list(0)->table();
        QCOMPARE(dlg->findChild<QProgressBar *>("syncBytesBefore")->format(),
                 megabytes(table.total - table.free) + " used of " + megabytes(table.total));
        // The cells are what assistive technology reads.
        QAccessibleInterface *cells = QAccessible::queryAccessibleInterface(dlg->planList());
        QVERIFY(cells != nullptr && cells->tableInterface() != nullptr);
        if (!rows.isEmpty())
            QCOMPARE(cells->tableInterface()->cellAt(0, CSyncDlg::ColName)->text(QAccessible::Name),
                     rows.first().section('|', 1));

        // Files that fit only with the deletions wait for their tick.
        auto *needs = dlg->findChild<QLabel *>("syncNeedsDeletions");
        QCOMPARE(needs->isVisible(), has("waits"));
        QCOMPARE(dlg->findChild<QPushButton *>("syncRun")->isEnabled(), !has("waits"));
        // The gauges after the run count the deletions only with their tick.
        if (has("tick"))
            deleteTick->setChecked(true);
        QCOMPARE(dlg->findChild<QProgressBar *>("syncSlotsAfter")->format(), slotsAfter);
        const QString bytesAfter = dlg->findChild<QProgressBar *>("syncBytesAfter")->format();
        auto *syncButton = dlg->findChild<QPushButton *>("syncRun");
        QVERIFY(syncButton->isEnabled());
        if (stop)
            connect(
                &b.frame->transferDialog()->queue(), &transfer::QueueModel::entryStarting, dlg,
                [dlg] {
                    QTest::mouseClick(dlg->findChild<QPushButton *>("syncStop"), Qt::LeftButton);
                },
                Qt::SingleShotConnection);
        for (const QString &word : words)
            if (word.startsWith("fault:"))
                QVERIFY(kestousb::test::ctl(
                    *b.player, {"fault", word.mid(6).section('=', 0, 0),
                                word.contains('=') ? word.section('=', 1) : QString("1")}));
        QTest::mouseClick(syncButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(dlg->statusText().startsWith("Sync "), WaitMs);
        // One summary, then a line for each file that failed.
        QCOMPARE(dlg->statusText().section('\n', 0, 0), summary);
        QTRY_VERIFY_WITH_TIMEOUT(b.frame->list(0)->topLevelItemCount() == after.size() &&
                                     !b.frame->transferBusy(),
                                 WaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(b.playerNames(), after, WaitMs);
        for (const QString &file : library) {
            const QString name = QFileInfo(file).fileName();
            QFile original(libDir.filePath(file));
            QVERIFY(original.open(QIODevice::ReadOnly));
            const QByteArray bytes = original.readAll();
            if (fromLibrary.contains(name)) {
                QCOMPARE(b.playerFile(name), bytes);
            } else if (has("level") && name.endsWith(".mp3")) {
                // Only its global gains moved.
                QCOMPARE(b.playerFile(name).size(), bytes.size());
                QVERIFY(b.playerFile(name) != bytes);
            } else if (after.contains(name) && !has("level")) {
                QCOMPARE(b.playerFile(name), pattern(name, 1500));
            }
        }
        if (has("level")) {
            // Recorded as levelled: the next preview keeps what arrived.
            QTest::mouseClick(previewButton, Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(dlg->plan() != nullptr, WaitMs);
            QCOMPARE(rowsOf(dlg->planList()),
                     (QStringList{"Keep|01 Alpha.mp3", "Keep|02 Delta.mp3"}));
        }
        // The prediction of the bytes after the run, against what the player says now.
        QTRY_VERIFY_WITH_TIMEOUT(b.frame->list(0)->table().count == after.size(), WaitMs);
        const KSUSB_TOpenTable &now = b.frame->list(0)->table();
        if (!stop && !options.contains("fault:"))
            QCOMPARE(bytesAfter,
                     megabytes(now.total - now.free) + " used of " + megabytes(now.total));
        if (has("fill")) {
            const sync::FillHistory history =
                sync::FillHistory::load(sync::FillHistory::defaultPath());
            QVERIFY(!history.fills.empty() && history.fills.back().size() == 1);
            QVERIFY(QString::fromStdString(history.fills.back().front()).endsWith("Band/First"));
        }
        if (!again.isEmpty()) {
            QTest::mouseClick(previewButton, Qt::LeftButton);
            QTRY_VERIFY_WITH_TIMEOUT(dlg->plan() != nullptr, WaitMs);
            QCOMPARE(dlg->findChild<QProgressBar *>("syncSlotsBefore")->format(), again);
            QCOMPARE(rowsOf(dlg->planList()).first(), QStringLiteral("Did not fit|01 Alpha.mp3"));
        }
        // The sources are the memory's, kept in the profile.
        QSettings profile(b.profile.filePath("profile.ini"), QSettings::IniFormat);
        QCOMPARE(profile.value("Sync/FlashSources").toStringList(), QStringList{source});
    }
};

QTEST_MAIN(TestSyncDlg)
#include "test_syncdlg.moc"
