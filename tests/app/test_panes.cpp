// The commands of a memory pane in the main window against the scripted player: delete,
// rename through the Rename dialog, format, arrange order, upload and download handed to the
// transfer queue, drops from the desktop, the reorder drag, the selection summary, the
// availability of the commands and the capacity pane.
#include "device/renamedlg.h"
#include "mainwindowfixture.h"
#include "paneinput.h"
#include "testframe.h"

#include "media/safefilename.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QMimeData>
#include <QScreen>
#include <QSettings>

using namespace tunara;
using device::CZamo_ListView;
using shell::Cmd;

namespace {

const QString Ready = QStringLiteral("Ready.");

QStringList names(const QTreeWidget *list) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        out << list->topLevelItem(i)->text(0);
    return out;
}

QStringList orders(const QTreeWidget *list) {
    QStringList out;
    for (int i = 0; i < list->topLevelItemCount(); ++i)
        out << list->topLevelItem(i)->text(CZamo_ListView::ColOrder);
    return out;
}

std::vector<std::string> callsLike(const std::string &prefix) {
    std::vector<std::string> out;
    for (const std::string &c : fake::player().calls) {
        if (c.rfind(prefix, 0) == 0)
            out.push_back(c);
    }
    return out;
}

QStringList strings(const std::vector<std::string> &v) {
    QStringList out;
    for (const std::string &s : v)
        out << QString::fromStdString(s);
    return out;
}

// A few silent MPEG-1 Layer III frames behind an ID3v2.3 tag that gives the track number
// (0: no tag), enough for the folder scan to read the number.
void writeMp3(const QString &path, int track) {
    QByteArray bytes;
    if (track > 0) {
        const QByteArray number = QByteArray::number(track);
        QByteArray frame = "TRCK";
        const quint32 size = quint32(number.size() + 1);
        for (int shift : {24, 16, 8, 0})
            frame += char((size >> shift) & 0xFF);
        frame += QByteArray(2, '\0') + '\0' + number; // no flags, ISO-8859-1
        bytes = QByteArray("ID3\x03\x00\x00", 6);
        for (int shift : {21, 14, 7, 0}) // synchsafe
            bytes += char((frame.size() >> shift) & 0x7F);
        bytes += frame;
    }
    // 128 kbit/s, 44.1 kHz, no padding: 417 bytes a frame.
    const QByteArray header("\xFF\xFB\x90\x64", 4);
    for (int i = 0; i < 20; ++i)
        bytes += header + QByteArray(417 - 4, '\0');
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

void writeText(const QString &path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("not music\n");
}

// A window over a flash memory holding `files`, the flash pane active.
struct Window : MainWindowFixture {
    RecordingQueue queue;
    CZamo_ListView *list = nullptr;

    explicit Window(const QStringList &files, const char *model = "QN520", uint32_t size = 1000) {
        fake::reset();
        fake::setModel(model);
        fake::table(KSUSB_MEM_FLASH, 33554432u, 25165824u);
        for (const QString &f : files)
            fake::addFile(KSUSB_MEM_FLASH, f.toStdString(), size);
        fake::table(KSUSB_MEM_CARD, 67108864u, 1048576u);
        fake::addFile(KSUSB_MEM_CARD, "memo.wav", 999);
        open();
        frame->setTransferQueue(&queue);
        list = frame->list(0);
        // On a loaded machine the first refresh may still be on its way.
        QTRY_COMPARE(list->topLevelItemCount(), int(files.size()));
        fake::player().calls.clear();
    }
    void select(const QList<int> &rows) {
        list->clearSelection();
        for (int r : rows) {
            QTreeWidgetItem *row = list->topLevelItem(r);
            QVERIFY2(row != nullptr, "no such row");
            row->setSelected(true);
        }
    }
    bool run(Cmd id) {
        const bool ran = frame->commands().execute(int(id), list);
        settle();
        return ran;
    }
};

} // namespace

class TestPanes : public QObject {
    Q_OBJECT
private slots:
    void deleteFiles_data() {
        QTest::addColumn<bool>("yes");
        QTest::addColumn<int>("error");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QStringList>("rowsAfter");
        const QStringList both{"Delete:M:b.mp3", "Delete:M:c.mp3"};
        QTest::newRow("yes deletes in row order")
            << true << 0 << both << QStringList{} << QStringList{"a.mp3"};
        QTest::newRow("no sends nothing") << false << 0 << QStringList{} << QStringList{}
                                          << QStringList{"a.mp3", "b.mp3", "c.mp3"};
        QTest::newRow("write-protected stops at the first")
            << true << -61 << QStringList{"Delete:M:b.mp3"}
            << QStringList{"External Memory is protected from writing."}
            << QStringList{"a.mp3", "b.mp3", "c.mp3"};
        QTest::newRow("missing file")
            << true << -11 << QStringList{"Delete:M:b.mp3"} << QStringList{"File not found!"}
            << QStringList{"a.mp3", "b.mp3", "c.mp3"};
        QTest::newRow("unplugged player")
            << true << -40 << QStringList{"Delete:M:b.mp3"}
            << QStringList{"Can't connect to player"} << QStringList{"a.mp3", "b.mp3", "c.mp3"};
        QTest::newRow("other failure")
            << true << -5 << QStringList{"Delete:M:b.mp3"} << QStringList{"Failed data transmitted"}
            << QStringList{"a.mp3", "b.mp3", "c.mp3"};
    }
    void deleteFiles() {
        QFETCH(bool, yes);
        QFETCH(int, error);
        QFETCH(QStringList, calls);
        QFETCH(QStringList, messages);
        QFETCH(QStringList, rowsAfter);
        Window w({"a.mp3", "b.mp3", "c.mp3"});
        w.ui.answerYes = yes;
        fake::player().deleteError[KSUSB_MEM_FLASH] = error;
        w.select({2, 1});
        QVERIFY(w.run(Cmd::Delete));
        QCOMPARE(w.ui.questions, QStringList{"Do you want to delete selected file(s)?"});
        QCOMPARE(strings(callsLike("Delete:")), calls);
        QCOMPARE(w.ui.messages, messages);
        // the rows are re-read after any attempt, and show what the player holds
        QCOMPARE(fake::countCalls("RefreshMemory:M"), yes ? 1 : 0);
        QCOMPARE(names(w.list), rowsAfter);
        QCOMPARE(w.frame->messageText(),
                 yes ? Ready : QStringLiteral("2 files are selected, 2.0 KB"));
    }

    void rename_data() {
        QTest::addColumn<QByteArray>("model");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<int>("error");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<QString>("how"); // menu, F2 or a click on the selected row's label
        QTest::newRow("8.3 rename on QN500")
            << QByteArray("QN500") << QStringList{"new.mp3"} << 0
            << QStringList{"Rename83:M:a.mp3:new.mp3"} << QStringList{} << "F2";
        QTest::newRow("long rename on QN520")
            << QByteArray("QN520") << QStringList{"new.mp3"} << 0
            << QStringList{"Rename:M:a.mp3:new.mp3"} << QStringList{} << "click";
        QTest::newRow("long rename on QN-Vela")
            << QByteArray("QN-Vela") << QStringList{"new.mp3"} << 0
            << QStringList{"Rename:M:a.mp3:new.mp3"} << QStringList{} << "menu";
        QTest::newRow("case only sends nothing") << QByteArray("QN520") << QStringList{"A.MP3"} << 0
                                                 << QStringList{} << QStringList{} << "menu";
        QTest::newRow("extension kept")
            << QByteArray("QN520") << QStringList{"n.txt"} << 0
            << QStringList{"Rename:M:a.mp3:n.mp3"}
            << QStringList{"You can't change the file-extension. Original extension will be kept."}
            << "menu";
        QTest::newRow("name exists") << QByteArray("QN520") << QStringList{"c.mp3"} << -10
                                     << QStringList{"Rename:M:a.mp3:c.mp3"}
                                     << QStringList{"Already file exist.\n\nFILE: c.mp3"} << "menu";
        QTest::newRow("file gone") << QByteArray("QN520") << QStringList{"x.mp3"} << -11
                                   << QStringList{"Rename:M:a.mp3:x.mp3"}
                                   << QStringList{"File not found!\n\nFILE: a.mp3"} << "menu";
        QTest::newRow("write-protected")
            << QByteArray("QN520") << QStringList{"x.mp3"} << -61
            << QStringList{"Rename:M:a.mp3:x.mp3"}
            << QStringList{"External Memory is protected from writing."} << "menu";
        QTest::newRow("two rows, first cancelled")
            << QByteArray("QN520") << QStringList{"", "d.mp3"} << 0
            << QStringList{"Rename:M:c.mp3:d.mp3"} << QStringList{} << "menu";
    }
    void rename() {
        QFETCH(QByteArray, model);
        QFETCH(QStringList, answers);
        QFETCH(int, error);
        QFETCH(QStringList, calls);
        QFETCH(QStringList, messages);
        QFETCH(QString, how);
        Window w({"a.mp3", "b.mp3", "c.mp3"}, model.constData());
        if (error == -10 || error == -11 || error == -61)
            fake::player().renameError[KSUSB_MEM_FLASH] = error;
        w.select(answers.size() == 2 ? QList<int>{0, 2} : QList<int>{0});
        RenameAnswers driver(answers);
        w.frame->activateWindow();
        w.list->setFocus();
        if (how == "F2") {
            QTest::keyClick(w.list, Qt::Key_F2);
        } else if (how == "click") {
            // editing a label in place becomes the Rename command once no double click follows
            const QPoint label = w.list->visualItemRect(w.list->topLevelItem(0)).center();
            QTest::mouseClick(w.list->viewport(), Qt::LeftButton, Qt::NoModifier, label);
        } else {
            w.frame->commands().action(Cmd::Rename)->trigger();
        }
        QTRY_COMPARE(driver.opened.size(), answers.size());
        MainWindowFixture::settle();
        QCOMPARE(driver.opened.first(), QStringLiteral("a.mp3"));
        QCOMPARE(strings(callsLike("Rename")), calls);
        QCOMPARE(w.ui.messages, messages);
        // a successful rename re-reads the rows; anything else leaves them
        QTRY_COMPARE(fake::countCalls("RefreshMemory:M"), calls.isEmpty() || error ? 0 : 1);
        if (!calls.isEmpty() && error == 0)
            QVERIFY(names(w.list).contains(calls.first().section(':', 3)));
    }

    void renameDialog_data() {
        QTest::addColumn<QString>("old");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QStringList>("messages");
        const QString keep =
            "You can't change the file-extension. Original extension will be kept.";
        const QString tooLong = "Filname is too long! (80 character max)";
        const QString n76 = QString(76, 'n');
        QTest::newRow("80 bytes accepted")
            << "a.mp3" << n76 + ".mp3" << true << n76 + ".mp3" << QStringList{};
        QTest::newRow("81 bytes refused")
            << "a.mp3" << n76 + "n.mp3" << false << QString() << QStringList{tooLong};
        // 25 Hangul syllables are 75 bytes of UTF-8 but 25 characters
        QTest::newRow("81 bytes of UTF-8 refused")
            << "a.mp3" << QString(25, QChar(0xD55C)) + "nn.mp3" << false << QString()
            << QStringList{tooLong};
        QTest::newRow("other extension") << "a.mp3"
                                         << "b.txt" << true << "b.mp3" << QStringList{keep};
        QTest::newRow("extension case") << "a.mp3"
                                        << "b.MP3" << true << "b.MP3" << QStringList{};
        QTest::newRow("no extension") << "readme"
                                      << "readme.txt" << true << "readme" << QStringList{keep};
        QTest::newRow("folder typed is dropped")
            << "a.mp3"
            << "../up.mp3" << true << "up.mp3" << QStringList{};
    }
    void renameDialog() {
        QFETCH(QString, old);
        QFETCH(QString, typed);
        QFETCH(bool, accepted);
        QFETCH(QString, result);
        QFETCH(QStringList, messages);
        TestUi ui;
        device::CRenameDlg dlg(ui);
        dlg.setLongName(old);
        dlg.show();
        auto *edit = dlg.findChild<QLineEdit *>("longName");
        auto *ok = dlg.findChild<QPushButton *>("ok");
        QCOMPARE(edit->selectedText(), old);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Rename"));
        edit->clear();
        QVERIFY(!ok->isEnabled()); // an empty name never reaches the caller
        edit->insert(typed);       // typed as one input (keyClicks knows only ASCII keys)
        QVERIFY(ok->isEnabled());
        QTest::mouseClick(ok, Qt::LeftButton);
        QCOMPARE(ui.messages, messages);
        QCOMPARE(dlg.isVisible(), !accepted);
        if (accepted)
            QCOMPARE(dlg.longName(), result);
        else
            QCOMPARE(edit->text(), typed);
    }

    void renamePlacement_data() {
        QTest::addColumn<int>("fromBottom");
        QTest::addColumn<bool>("above");
        QTest::newRow("row high on the screen") << 400 << false;
        QTest::newRow("row near the bottom") << 30 << true;
    }
    void renamePlacement() {
        QFETCH(int, fromBottom);
        QFETCH(bool, above);
        TestUi ui;
        device::CRenameDlg dlg(ui);
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        const QRect label(screen.x() + 40, screen.bottom() - fromBottom, 200, 18);
        dlg.setLongName("a.mp3");
        dlg.setPlacement(label);
        dlg.show();
        const int h = dlg.frameGeometry().height();
        const QPoint expected = above ? QPoint(label.x(), label.y() - h - 1)
                                      : QPoint(label.x(), label.y() + label.height());
        QCOMPARE(dlg.frameGeometry().topLeft(), expected);
    }

    void format_data() {
        QTest::addColumn<bool>("yes");
        QTest::addColumn<int>("error");
        QTest::addColumn<QStringList>("messages");
        QTest::addColumn<int>("rowsAfter");
        QTest::newRow("yes empties the memory") << true << 0 << QStringList{} << 0;
        QTest::newRow("no does nothing") << false << 0 << QStringList{} << 2;
        QTest::newRow("write-protected card")
            << true << -61 << QStringList{"External Memory is protected from writing."} << 2;
    }
    void format() {
        QFETCH(bool, yes);
        QFETCH(int, error);
        QFETCH(QStringList, messages);
        QFETCH(int, rowsAfter);
        Window w({"a.mp3", "b.mp3"});
        w.ui.answerYes = yes;
        fake::player().formatError[KSUSB_MEM_FLASH] = error;
        QVERIFY(w.run(Cmd::Format));
        QCOMPARE(w.ui.questions, QStringList{"Do you want to format the 'Flash Memory'?"});
        QCOMPARE(fake::countCalls("Format:M"), yes ? 1 : 0);
        QCOMPARE(w.ui.messages, messages);
        QCOMPARE(w.list->topLevelItemCount(), rowsAfter);
        QCOMPARE(fake::countCalls("RefreshMemory:M"), yes ? 1 : 0);
    }

    void arrangeOrderReportsFailures() {
        Window w({"a.mp3", "b.mp3", "c.mp3"});
        fake::player().replaceError[KSUSB_MEM_FLASH] = -11;
        fake::player().replaceFailFrom = 2;
        QVERIFY(w.run(Cmd::ArrangeOrder));
        // every row is still tried; the two failures are reported once, then the rows re-read
        QCOMPARE(strings(callsLike("Replace:")),
                 (QStringList{"Replace:M:a.mp3:1", "Replace:M:b.mp3:2", "Replace:M:c.mp3:3"}));
        QCOMPARE(
            w.ui.messages,
            QStringList{"2 file(s) could not be placed in the play order.\n\nFile not found!"});
        QCOMPARE(fake::countCalls("RefreshMemory:M"), 1);
    }

    void upload_data() {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("saveAnswers");
        QTest::addColumn<bool>("sameFolder");
        QTest::addColumn<int>("dialogs");
        QTest::addColumn<int>("questions");
        QTest::addColumn<QStringList>("remote");
        QTest::addColumn<QStringList>("local"); // relative to the chosen folder
        const QStringList three{"a.mp3", "b.mp3", "c.mp3"};
        QTest::newRow("yes: one dialog") << three << QStringList{"D/a.mp3"} << true << 1 << 1
                                         << three << QStringList{"a.mp3", "b.mp3", "c.mp3"};
        QTest::newRow("no: a dialog each")
            << three << QStringList{"D/x.mp3", "D/b.mp3", "D/c.mp3"} << false << 3 << 2 << three
            << QStringList{"x.mp3", "b.mp3", "c.mp3"};
        QTest::newRow("cancel drops one file")
            << three << QStringList{"D/a.mp3", "", "D/c.mp3"} << false << 3 << 1
            << QStringList{"a.mp3", "c.mp3"} << QStringList{"a.mp3", "c.mp3"};
        QTest::newRow("names that climb out stay in the folder")
            << QStringList{"../../escape.bin", "a/b.mp3", ".."} << QStringList{"D/_.._escape.bin"}
            << true << 1 << 1 << QStringList{"../../escape.bin", "a/b.mp3", ".."}
            << QStringList{"_.._escape.bin", "a_b.mp3", "_"};
    }
    void upload() {
        QFETCH(QStringList, files);
        QFETCH(QStringList, saveAnswers);
        QFETCH(bool, sameFolder);
        QFETCH(int, dialogs);
        QFETCH(int, questions);
        QFETCH(QStringList, remote);
        QFETCH(QStringList, local);
        Window w(files);
        QTemporaryDir pc;
        for (QString &a : saveAnswers)
            if (!a.isEmpty())
                a = pc.filePath(a);
        w.ui.saveFileAnswers = saveAnswers;
        w.ui.answerYes = sameFolder;
        w.select({0, 1, 2});
        QVERIFY(w.run(Cmd::Upload));
        QCOMPARE(w.ui.fileDialogs.size(), dialogs);
        // the Save As dialog proposes the player's name made safe as one PC name
        QCOMPARE(QFileInfo(w.ui.fileDialogs.first().at(1)).fileName(),
                 QString::fromStdString(media::SafeFileName(files.first().toStdString())));
        QCOMPARE(w.ui.questions.size(), questions);
        QCOMPARE(w.queue.uploads.size(), 1);
        QCOMPARE(w.queue.uploads[0].memory, KSUSB_MEM_FLASH);
        QCOMPARE(w.queue.uploads[0].remote, remote);
        QStringList expected;
        for (const QString &l : local)
            expected << QDir(pc.filePath("D")).filePath(l);
        QCOMPARE(w.queue.uploads[0].local, expected);
        for (const QString &l : w.queue.uploads[0].local)
            QCOMPARE(QFileInfo(l).absolutePath(), pc.filePath("D"));
    }

    void download_data() {
        QTest::addColumn<QByteArray>("model");
        QTest::addColumn<QString>("filter");
        QTest::newRow("QN520 offers WMA")
            << QByteArray("QN520") << "Music Files(*.mp3,*.wma) (*.mp3 *.wma);;All Files(*.*) (*)";
        QTest::newRow("QN500 MP3 only")
            << QByteArray("QN500") << "Music Files(*.mp3) (*.mp3);;All Files(*.*) (*)";
    }
    void download() {
        QFETCH(QByteArray, model);
        QFETCH(QString, filter);
        Window w({"a.mp3"}, model.constData());
        w.app->profile().setValue("Option/DownloadFolder", "/music/in");
        w.ui.openFilesAnswers = {{"/music/in/z.mp3", "/music/in/a.mp3"}};
        QVERIFY(w.run(Cmd::Download));
        QCOMPARE(w.ui.fileDialogs.first().mid(1), (QStringList{"/music/in", filter}));
        QCOMPARE(w.queue.downloads.size(), 1);
        QCOMPARE(w.queue.downloads[0].local, (QStringList{"/music/in/z.mp3", "/music/in/a.mp3"}));
        // cancelled: nothing queued
        QVERIFY(w.run(Cmd::Download));
        QCOMPARE(w.queue.downloads.size(), 1);
    }

    void drops_data() {
        QTest::addColumn<int>("files");
        QTest::addColumn<bool>("folder");
        QTest::addColumn<bool>("remote");
        QTest::addColumn<bool>("plainText");
        QTest::addColumn<int>("messages");
        QTest::newRow("two files") << 2 << false << false << false << 0;
        QTest::newRow("plain paths") << 2 << false << false << true << 0;
        QTest::newRow("an empty folder: a notice") << 0 << true << false << false << 1;
        QTest::newRow("remote address refused") << 1 << false << true << false << 1;
        QTest::newRow("500 files") << 500 << false << false << false << 0;
    }
    void drops() {
        QFETCH(int, files);
        QFETCH(bool, folder);
        QFETCH(bool, remote);
        QFETCH(bool, plainText);
        QFETCH(int, messages);
        Window w({"a.mp3"});
        QTemporaryDir pc;
        QList<QUrl> urls;
        QStringList paths;
        for (int i = 0; i < files; ++i) {
            const QString p = pc.filePath(QString("f%1.mp3").arg(i));
            QFile(p).open(QIODevice::WriteOnly);
            paths << p;
            urls << QUrl::fromLocalFile(p);
        }
        if (folder)
            urls << QUrl::fromLocalFile(pc.path());
        if (remote)
            urls << QUrl("https://example.org/x.mp3");
        auto *data = new QMimeData;
        if (plainText)
            data->setText(paths.join('\n'));
        else
            data->setUrls(urls);
        QWidget *vp = w.list->viewport();
        const QPoint at = vp->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(vp, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(at, Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(vp, &drop);
        QVERIFY(drop.isAccepted());
        MainWindowFixture::settle();
        QTRY_COMPARE(w.list->pendingIntakes(), 0); // a folder is scanned on a worker
        QCOMPARE(w.queue.downloads.size(), files > 0 ? 1 : 0);
        if (files > 0)
            QCOMPARE(w.queue.downloads[0].local, paths);
        QCOMPARE(w.ui.messages.size(), messages);
        delete data;
    }

    // A folder handed in by any way gives the music below it in album order (by folder, its own
    // files before its subfolders', then by track number, then by name), queued as it is;
    // hidden and non-audio files are left out and counted in the status bar.
    void folders_data() {
        QTest::addColumn<QString>("how"); // drop, download (the dialog's answer), command line
        QTest::addColumn<QStringList>("given"); // relative to the computer's folder
        QTest::addColumn<char>("memory");
        QTest::addColumn<QStringList>("plain");   // queued through addDownloads
        QTest::addColumn<QStringList>("inOrder"); // queued as given
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("messages");
        const QStringList album{"Music/intro.mp3", "Music/A/z.mp3", "Music/A/y.flac",
                                "Music/B Side/02 b.mp3", "Music/B Side/01 a.mp3"};
        const QString skipped = "Skipped 2 hidden and 2 non-audio file(s)";
        QTest::newRow("dropped folder") << "drop" << QStringList{"Music"} << 'M' << QStringList{}
                                        << album << skipped << QStringList{};
        QTest::newRow("dropped folder and file")
            << "drop" << QStringList{"loose.mp3", "Music"} << 'M' << QStringList{"loose.mp3"}
            << album << skipped << QStringList{};
        QTest::newRow("folder chosen in Download to Device")
            << "download" << QStringList{"Music"} << 'M' << QStringList{} << album << skipped
            << QStringList{};
        QTest::newRow("folder on the command line, --card")
            << "command line" << QStringList{"Music"} << 'S' << QStringList{} << album << skipped
            << QStringList{};
        QTest::newRow("nested folder alone")
            << "drop" << QStringList{"Music/B Side"} << 'M' << QStringList{}
            << QStringList{"Music/B Side/02 b.mp3", "Music/B Side/01 a.mp3"} << "Ready."
            << QStringList{};
        QTest::newRow("folder without music")
            << "drop" << QStringList{"Docs"} << 'M' << QStringList{} << QStringList{}
            << "Skipped 1 non-audio file(s)"
            << QStringList{"No music was found in these folders:\n\n%1/Docs"};
        QTest::newRow("plain files only: as before")
            << "drop" << QStringList{"loose.mp3"} << 'M' << QStringList{"loose.mp3"}
            << QStringList{} << QString() << QStringList{};
    }
    void folders() {
        QFETCH(QString, how);
        QFETCH(QStringList, given);
        QFETCH(char, memory);
        QFETCH(QStringList, plain);
        QFETCH(QStringList, inOrder);
        QFETCH(QString, status);
        QFETCH(QStringList, messages);
        QTemporaryDir pc;
        const QString root = QDir(pc.path()).canonicalPath();
        const auto at = [&root](const QStringList &relative) {
            QStringList out;
            for (const QString &r : relative)
                out << root + '/' + r;
            return out;
        };
        writeMp3(root + "/loose.mp3", 0);
        writeMp3(root + "/Music/intro.mp3", 0);
        writeText(root + "/Music/notes.txt");
        writeMp3(root + "/Music/.hidden.mp3", 1);
        writeMp3(root + "/Music/.git/x.mp3", 1);
        writeMp3(root + "/Music/A/z.mp3", 1);
        writeMp3(root + "/Music/A/y.flac", 0); // no tag read: after the numbered files
        writeText(root + "/Music/A/cover.jpg");
        writeMp3(root + "/Music/B Side/02 b.mp3", 1);
        writeMp3(root + "/Music/B Side/01 a.mp3", 2);
        writeText(root + "/Docs/readme.txt");
        for (QString &m : messages)
            m = m.arg(root);

        Window w({"a.mp3"});
        w.frame->setMessageText("before");
        const QStringList paths = at(given);
        const bool folder = !inOrder.isEmpty() || !messages.isEmpty();
        if (how == "drop") {
            auto *data = new QMimeData;
            QList<QUrl> urls;
            for (const QString &p : paths)
                urls << QUrl::fromLocalFile(p);
            data->setUrls(urls);
            QWidget *vp = w.list->viewport();
            QDragEnterEvent enter(vp->rect().center(), Qt::CopyAction, data, Qt::LeftButton,
                                  Qt::NoModifier);
            QApplication::sendEvent(vp, &enter);
            QDropEvent drop(vp->rect().center(), Qt::CopyAction, data, Qt::LeftButton,
                            Qt::NoModifier);
            QApplication::sendEvent(vp, &drop);
            QVERIFY(drop.isAccepted());
            MainWindowFixture::settle(); // the drop's queued handling runs
            delete data;
        } else if (how == "download") {
            w.ui.openFilesAnswers = {paths};
            QVERIFY(w.frame->commands().execute(int(Cmd::Download), w.list));
        } else {
            w.frame->queueStartupFiles(static_cast<unsigned char>(memory), paths);
        }
        if (how != "drop" && folder) { // the scan runs on a worker meanwhile
            QCOMPARE(w.frame->messageText(),
                     QString("Looking for music in '%1'...").arg(paths.join(", ")));
            QVERIFY(w.list->pendingIntakes() + w.frame->pendingIntakes() > 0);
        }
        QTRY_COMPARE(w.list->pendingIntakes() + w.frame->pendingIntakes(), 0);
        MainWindowFixture::settle();

        QCOMPARE(w.queue.downloads.size(), plain.isEmpty() ? 0 : 1);
        if (!plain.isEmpty()) {
            QCOMPARE(w.queue.downloads[0].memory, static_cast<unsigned char>(memory));
            QCOMPARE(w.queue.downloads[0].local, at(plain));
        }
        QCOMPARE(w.queue.downloadsInOrder.size(), inOrder.isEmpty() ? 0 : 1);
        if (!inOrder.isEmpty()) {
            QCOMPARE(w.queue.downloadsInOrder[0].memory, static_cast<unsigned char>(memory));
            QCOMPARE(w.queue.downloadsInOrder[0].local, at(inOrder));
        }
        QCOMPARE(w.frame->messageText(), status.isNull() ? QString("before") : status);
        QCOMPARE(w.ui.messages, messages);
    }

    void reorderDrag_data() {
        QTest::addColumn<QList<int>>("rows");
        QTest::addColumn<int>("from");
        QTest::addColumn<int>("to");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<int>("cursor");
        const QStringList same{"V", "W", "X", "Y", "Z"};
        QTest::newRow("0 and 1 onto 4")
            << QList<int>{0, 1} << 0 << 4 << QStringList{"Replace:M:V:4", "Replace:M:W:4"}
            << QStringList{"X", "Y", "V", "W", "Z"} << int(Qt::BitmapCursor);
        QTest::newRow("3 and 4 onto 1")
            << QList<int>{3, 4} << 3 << 1 << QStringList{"Replace:M:Y:2", "Replace:M:Z:3"}
            << QStringList{"V", "Y", "Z", "W", "X"} << int(Qt::BitmapCursor);
        QTest::newRow("onto the anchor")
            << QList<int>{1, 2} << 2 << 2 << QStringList{} << same << int(Qt::ArrowCursor);
        QTest::newRow("onto the row below the anchor")
            << QList<int>{1} << 1 << 2 << QStringList{} << same << int(Qt::ForbiddenCursor);
        QTest::newRow("below the last row")
            << QList<int>{1} << 1 << -1 << QStringList{} << same << int(Qt::BitmapCursor);
    }
    void reorderDrag() {
        QFETCH(QList<int>, rows);
        QFETCH(int, from);
        QFETCH(int, to);
        QFETCH(QStringList, calls);
        QFETCH(QStringList, after);
        QFETCH(int, cursor);
        Window w({"V", "W", "X", "Y", "Z"});
        const Qt::CursorShape shape = dragRows(w.list, rows, from, to);
        MainWindowFixture::settle();
        QCOMPARE(int(shape), cursor);
        QVERIFY(!w.list->reorderDragging());
        QCOMPARE(strings(callsLike("Replace:")), calls);
        QCOMPARE(names(w.list), after);
        QCOMPARE(orders(w.list), (QStringList{"001", "002", "003", "004", "005"}));
        QCOMPARE(w.list->selectedItems().size(), calls.isEmpty() ? 0 : rows.size());
        QCOMPARE(fake::countCalls("RefreshMemory:M"), 0);
    }

    // A player that takes its time: the window goes on handling events, shows the busy pointer
    // and the call's text, refuses the commands that call the player, and ends the command the
    // usual way once the player answers.
    void slowPlayerLeavesWindowAnswering_data() {
        QTest::addColumn<int>("command");
        QTest::addColumn<QString>("held");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("rowsAfter");
        const QStringList both{"a.mp3", "b.mp3"};
        QTest::newRow("Refresh") << int(Cmd::Refresh) << "RefreshMemory:M"
                                 << "Refreshing 'Flash Memory'..." << both;
        QTest::newRow("Delete") << int(Cmd::Delete) << "Delete:M:b.mp3"
                                << "Deleting...\"b.mp3\"" << QStringList{"a.mp3"};
        QTest::newRow("Format") << int(Cmd::Format) << "Format:M"
                                << "Formatting 'Flash Memory'..." << QStringList{};
        QTest::newRow("Rename") << int(Cmd::Rename) << "Rename:M:b.mp3"
                                << "Renaming..." << QStringList{"a.mp3", "x.mp3"};
    }
    void slowPlayerLeavesWindowAnswering() {
        QFETCH(int, command);
        QFETCH(QString, held);
        QFETCH(QString, text);
        QFETCH(QStringList, rowsAfter);
        Window w({"a.mp3", "b.mp3"});
        w.ui.answerYes = true;
        w.select({1});
        RenameAnswers driver({"x.mp3"});
        const struct Release {
            ~Release() { fake::releaseCalls(); }
        } release;
        fake::holdCalls(held.toStdString());
        QVERIFY(w.frame->commands().execute(command, w.list));
        QTRY_VERIFY(fake::callHeld());
        bool ticked = false;
        QTimer::singleShot(0, [&] { ticked = true; });
        QTRY_VERIFY(ticked);
        QCOMPARE(w.frame->messageText(), text);
        QVERIFY(QApplication::overrideCursor() != nullptr);
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        for (Cmd c : {Cmd::Refresh, Cmd::Delete, Cmd::Rename, Cmd::Format, Cmd::ArrangeOrder}) {
            QVERIFY(!w.frame->commands().isAvailable(int(c), w.list));
            QVERIFY(!w.frame->commands().action(c)->isEnabled());
        }
        QVERIFY(fake::callHeld());
        fake::releaseCalls();
        MainWindowFixture::settle();
        QCOMPARE(names(w.list), rowsAfter);
        QCOMPARE(w.frame->messageText(), Ready);
        QVERIFY(QApplication::overrideCursor() == nullptr);
        QVERIFY(w.frame->commands().isAvailable(int(Cmd::Refresh)));
    }

    void reorderDragRefused_data() {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QString>("message");
        QTest::newRow("failure part way re-reads the rows")
            << false << "External Memory is protected from writing.";
        QTest::newRow("transfer running") << true << "";
    }
    void reorderDragRefused() {
        QFETCH(bool, busy);
        QFETCH(QString, message);
        Window w({"V", "W", "X", "Y", "Z"});
        w.queue.running = busy;
        fake::player().replaceError[KSUSB_MEM_FLASH] = -61;
        fake::player().replaceFailFrom = 2;
        dragRows(w.list, {0, 1}, 0, 4);
        MainWindowFixture::settle();
        const QStringList sent =
            busy ? QStringList() : QStringList{"Replace:M:V:4", "Replace:M:W:4"};
        QCOMPARE(strings(callsLike("Replace:")), sent);
        QCOMPARE(w.ui.messages, message.isEmpty() ? QStringList{} : QStringList{message});
        QCOMPARE(fake::countCalls("RefreshMemory:M"), busy ? 0 : 1);
        if (busy)
            QCOMPARE(
                w.frame->messageText(),
                QStringLiteral("The play order can't be changed while a transfer is running."));
    }

    void summary_data() {
        QTest::addColumn<QList<uint>>("sizes");
        QTest::addColumn<QList<int>>("rows");
        QTest::addColumn<QString>("text");
        QTest::newRow("nothing") << QList<uint>{100} << QList<int>{}
                                 << "0 file is selected, 0.0 Bytes";
        QTest::newRow("one of 2048")
            << QList<uint>{2048} << QList<int>{0} << "1 file is selected, 2.0 KB";
        QTest::newRow("two of 600")
            << QList<uint>{600, 600} << QList<int>{0, 1} << "2 files are selected, 1.2 KB";
        QTest::newRow("megabytes")
            << QList<uint>{3145728, 1048576} << QList<int>{0, 1} << "2 files are selected, 4.0 MB";
    }
    void summary() {
        QFETCH(QList<uint>, sizes);
        QFETCH(QList<int>, rows);
        QFETCH(QString, text);
        Window w({});
        fake::table(KSUSB_MEM_FLASH, 33554432u, 25165824u);
        for (int i = 0; i < sizes.size(); ++i)
            fake::addFile(KSUSB_MEM_FLASH, "f" + std::to_string(i), sizes[i]);
        w.frame->commands().execute(int(Cmd::PaneRefresh), w.list);
        MainWindowFixture::settle();
        w.select({0});
        w.select(rows);
        QCOMPARE(w.frame->messageText(), text);
        QCOMPARE(CZamo_ListView::noSelectionInLastPane(), rows.isEmpty());
    }

    void availability_data() {
        QTest::addColumn<bool>("busy");
        QTest::addColumn<bool>("selected");
        QTest::addColumn<QList<bool>>(
            "available"); // Delete Rename Format Arrange Refresh Upload Download
        QTest::newRow("idle, rows") << false << true << QList<bool>{1, 1, 1, 1, 1, 1, 1};
        QTest::newRow("idle, no rows") << false << false << QList<bool>{0, 0, 1, 1, 1, 0, 1};
        QTest::newRow("busy, rows") << true << true << QList<bool>{0, 0, 0, 0, 0, 1, 1};
    }
    void availability() {
        QFETCH(bool, busy);
        QFETCH(bool, selected);
        QFETCH(QList<bool>, available);
        Window w({"a.mp3", "b.mp3"});
        w.queue.running = busy;
        w.select(selected ? QList<int>{1} : QList<int>{});
        const Cmd cmds[] = {Cmd::Delete,  Cmd::Rename, Cmd::Format,  Cmd::ArrangeOrder,
                            Cmd::Refresh, Cmd::Upload, Cmd::Download};
        w.frame->commands().updateUi();
        for (int i = 0; i < 7; ++i) {
            QCOMPARE(w.frame->commands().isAvailable(int(cmds[i]), w.list), available[i]);
            QCOMPARE(w.frame->commands().action(cmds[i])->isEnabled(), available[i]);
        }
        // a refused command does not reach the player
        w.ui.answerYes = true;
        w.run(Cmd::Delete);
        QCOMPARE(fake::countCalls("Delete:M:b.mp3"), available[0] ? 1 : 0);
    }

    void capacityFollowsActivePane() {
        Window w({"a.mp3"});
        QCOMPARE(w.frame->capacityText(), QStringLiteral("Total : 32 MB / Free : 24 MB"));
        // the card pane's refresh leaves the flash pane's text alone
        w.frame->commands().execute(int(Cmd::PaneRefresh), w.frame->list(1));
        MainWindowFixture::settle();
        QCOMPARE(w.frame->capacityText(), QStringLiteral("Total : 32 MB / Free : 24 MB"));
        w.frame->paneActivated(w.frame->list(1));
        QCOMPARE(w.frame->capacityText(), QStringLiteral("Total : 64 MB / Free : 1024 KB"));
    }

    void contextMenuFromKeyboard() {
        Window w({"a.mp3"});
        // the whole window on the screen, so that the menu is not pushed back onto it
        w.frame->setGeometry(
            QGuiApplication::primaryScreen()->availableGeometry().adjusted(20, 20, -20, -20));
        MainWindowFixture::settle();
        QPoint shownAt;
        QString first;
        QTimer::singleShot(50, [&] {
            if (auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget())) {
                shownAt = menu->pos();
                first = menu->actions().first()->text();
                menu->close();
            }
        });
        QContextMenuEvent key(QContextMenuEvent::Keyboard, QPoint(), QPoint());
        QApplication::sendEvent(w.list->viewport(), &key);
        QCOMPARE(first, QStringLiteral("&Upload to PC..."));
        QCOMPARE(shownAt, w.list->viewport()->mapToGlobal(QPoint(5, 5)));
    }
};

QTEST_MAIN(TestPanes)
#include "test_panes.moc"
