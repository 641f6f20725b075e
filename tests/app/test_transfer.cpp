// The transfer manager with real widgets, the real library and the virtual player over USB/IP:
// how files are queued and checked, queues that run to their summary (files read back from the
// player's image with mtools), audio converted on the way, Stop and Remove while a file moves or
// converts, the overall percentage, the dialog hiding itself, an unplug in the middle of a queue,
// and a queue longer than 655 rows.
#include "device/memoryformat.h"
#include "device/zamo_listview.h"
#include "media/messagesink.h"
#include "media/mpegheader.h"
#include "qtrun.h"
#include "service/fontdownloaddlg.h"
#include "shell/mainframe.h"
#include "shell/singleinstance.h"
#include "shell/tunaraapp.h"
#include "testui.h"
#include "transfer/notifybridge.h"
#include "transfer/transferdlg.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLocalSocket>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <memory>
#include <optional>

using namespace tunara;
using kestousb::test::VplayerProcess;
using transfer::CTransferDlg;

namespace {
// Generous bounds: the machine is shared and slow; nothing here measures speed.
constexpr int WaitMs = 60000;
constexpr int ImageKib = 8192;

struct RunResult {
    bool ok = false;
    QByteArray out;
};

RunResult run(const QString &program, const QStringList &args) {
    RunResult r;
    r.ok = kestousb::test::run(program, args, &r.out);
    return r;
}

// Content that differs per file and per position, so that a misplaced block shows.
QByteArray pattern(const QString &name, int size) {
    QByteArray data(size, '\0');
    const uint seed = uint(qHash(name));
    for (int i = 0; i < size; ++i)
        data[i] = char((uint(i) * 131u + seed + uint(i >> 9)) & 0xFFu);
    return data;
}

// A main window with a program folder and profile of its own and the given options.
struct Window {
    struct Options {
        bool show = true;
        bool autoStart = true;
        bool hide = false;
        bool blockMpeg = true;
        bool convert = true;
        int level = 0; // the Option dialog's levelling: 0 off, 1 track, 2 album
    };
    QTemporaryDir dir;
    TestUi ui;
    std::unique_ptr<shell::CTunaraApp> app;
    std::unique_ptr<shell::CMainFrame> frame;
    CTransferDlg *dlg = nullptr;

    explicit Window(Options o) {
        {
            QSettings p(dir.filePath("profile.ini"), QSettings::IniFormat);
            p.setValue("Option/ShowXferDlg", int(o.show));
            p.setValue("Option/AutoStartXfer", int(o.autoStart));
            p.setValue("Option/HideXferDlg", int(o.hide));
            p.setValue("Option/Convert", int(o.convert));
            p.setValue("Option/ConvertLevel", o.level);
            QSettings ini(dir.filePath("tunara.ini"), QSettings::IniFormat);
            ini.setValue("System/BlockMPEG2Ext", int(o.blockMpeg));
        }
        app = std::make_unique<shell::CTunaraApp>(
            shell::CTunaraApp::Paths{dir.path(), dir.filePath("profile.ini")}, ui);
        app->start();
        frame = std::make_unique<shell::CMainFrame>(*app);
        dlg = frame->transferDialog();
    }
    ~Window() {
        if (frame)
            frame->close();
    }
    // Shows the window and waits for its first Refresh to reach the player.
    bool connect() {
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
    QTreeView *list() const { return dlg->queueList(); }
    int rows() const { return list()->model()->rowCount(); }
    // What the list shows in column `c` of each row.
    QStringList column(int c) const {
        QStringList out;
        for (int i = 0; i < rows(); ++i)
            out << list()->model()->index(i, c).data().toString();
        return out;
    }
    QList<int> states() const {
        QList<int> out;
        for (int i = 0; i < rows(); ++i)
            out << dlg->queue().stateOf(i);
        return out;
    }
    QString info() const { return dlg->findChild<QPlainTextEdit *>("transferInfo")->toPlainText(); }
    QString label(const char *name) const { return dlg->findChild<QLabel *>(name)->text(); }
    bool waitFinished() const {
        return QTest::qWaitFor([this] { return dlg->finished() && !dlg->busy(); }, WaitMs);
    }
};

QString summary(int count, int errors) {
    return QStringLiteral("Total %1 transfer(s)\nFinished with %2 error(s)").arg(count).arg(errors);
}

// A status as expected: the same text, or matching it where it starts with '^' (a pattern).
bool statusIs(const QString &status, const QString &expected) {
    return expected.startsWith('^') ? QRegularExpression(expected).match(status).hasMatch()
                                    : status == expected;
}

// What the MPEG check says of bytes that arrived on the player.
media::MpegCheckCode mpegCheckOf(const QByteArray &bytes) {
    QTemporaryDir dir;
    QFile f(dir.filePath("arrived.mp3"));
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return media::MpegCheckCode::NoFrameHeader;
    f.close();
    media::SilentSink quiet;
    return media::CheckMpegHeader(QFile::encodeName(f.fileName()).toStdString(), quiet).code;
}

// The converted files and the ones left half-made in the conversion cache.
QStringList cacheFiles() {
    return QDir(qEnvironmentVariable("XDG_CACHE_HOME") + "/tunara/convert")
        .entryList(QDir::Files | QDir::Hidden);
}

} // namespace

class TestTransfer : public QObject {
    Q_OBJECT
    QTemporaryDir m_state;
    QTemporaryDir m_files;
    std::unique_ptr<VplayerProcess> m_player;

    bool ctl(const QStringList &args) { return kestousb::test::ctl(*m_player, args); }
    QString makeFile(const QString &name, int size) {
        const QString path = m_files.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return {};
        f.write(pattern(name, size));
        return path;
    }
    // A stereo tone of `seconds` made by sox (its format by the name's extension).
    QString makeTone(const QString &name, int seconds) {
        const QString path = m_files.filePath(name);
        if (!run(QStringLiteral(TUNARA_SOX), {"-n", "-r", "44100", "-c", "2", "-b", "16", path,
                                              "synth", QString::number(seconds), "sine", "440"})
                 .ok)
            return {};
        return path;
    }
    // An MP3 stream made by the real encoder: lame's arguments decide its version and rate.
    QString makeMp3(const QString &name, const QStringList &lameArgs) {
        const QString wav = m_files.filePath("tone.wav");
        if (!QFile::exists(wav) &&
            !run(QStringLiteral(TUNARA_SOX),
                 {"-n", "-r", "44100", "-c", "2", "-b", "16", wav, "synth", "0.5", "sine", "440"})
                 .ok)
            return {};
        const QString path = m_files.filePath(name);
        if (!run(QStringLiteral(TUNARA_LAME),
                 QStringList{"--quiet"} + lameArgs + QStringList{wav, path})
                 .ok)
            return {};
        return path;
    }
    QString image(unsigned char memoryId) const {
        return m_state.filePath(memoryId == 'S' ? "card.img" : "flash.img");
    }
    RunResult playerFile(const QString &name, unsigned char memoryId = 'M') const {
        return run(QStringLiteral(TUNARA_MCOPY), {"-i", image(memoryId), "::" + name, "-"});
    }
    QStringList playerNames(unsigned char memoryId = 'M') const {
        QStringList names;
        const RunResult r = run(QStringLiteral(TUNARA_MDIR), {"-i", image(memoryId), "-b", "::"});
        for (const QByteArray &line : r.out.split('\n'))
            if (line.startsWith("::/"))
                names << QString::fromUtf8(line.mid(3));
        return names;
    }
    bool makeImage(const QString &name, const QStringList &files) {
        const QString img = m_state.filePath(name);
        if (!run(QStringLiteral(TUNARA_MKFS), {"-C", img, QString::number(ImageKib)}).ok)
            return false;
        QStringList args{"-i", img};
        for (const QString &f : files)
            args << makeFile(f, 1500);
        args << "::";
        return run(QStringLiteral(TUNARA_MCOPY), args).ok;
    }

private slots:
    void initTestCase() {
        QVERIFY(m_state.isValid() && m_files.isValid());
        QVERIFY(makeImage("flash.img", {"Exist.txt", "REC001.VRF", "Song.mp3"}));
        QVERIFY(makeImage("card.img", {"memo.wav"}));
        QFile ini(m_state.filePath("player.ini"));
        QVERIFY(ini.open(QIODevice::WriteOnly));
        ini.write("[Player]\nModel=QN520\nVersion=1.00.00.K5 \nDate=20050718\nCardPresent=1\n");
        ini.close();
        m_player = std::make_unique<VplayerProcess>(TUNARA_VPLAYER, m_state.path().toStdString());
        QVERIFY2(m_player->started(), m_player->log().c_str());
        qputenv("KESTOUSB_USBIP", QByteArray::fromStdString(m_player->address()));
        qputenv("XDG_CACHE_HOME", QFile::encodeName(m_state.filePath("cache")));
    }

    void cleanupTestCase() { m_player.reset(); }

    void cleanup() {
        QVERIFY(ctl({"fault", "clear"}));
        QVERIFY(ctl({"speed", "unlimited"}));
    }

    // Rows as they are queued: byte-wise order, refusals, the MPEG check by option and model, and
    // with conversion on, audio the player cannot play waiting under its converted name.
    void queueing_data() {
        QTest::addColumn<char>("memory");
        QTest::addColumn<int>("model");
        QTest::addColumn<bool>("blockMpeg");
        QTest::addColumn<bool>("upload");
        QTest::addColumn<bool>("convert");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("rowNames");
        QTest::addColumn<QList<int>>("states");
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<int>("messages");

        const QString wait = "Waiting for download";
        const QString noExt = "File can't be downloaded without file extension";
        const QString format = "Un-supported format";
        // The player's names compare without case: the later of two names that differ only
        // in it arrives under a free name.
        QTest::newRow("byte-wise order, case matters")
            << 'M' << int(device::ModelQn500) << true << false << false
            << QStringList{"q1b.txt", "Q1B.txt", "q1a.txt", "Q1Z.txt"}
            << QStringList{"Q1B.txt", "Q1Z.txt", "q1a.txt", "q1b (2).txt"} << QList<int>{0, 0, 0, 0}
            << QStringList{wait, wait, wait, wait} << 0;
        QTest::newRow("no extension and a bare dot are refused")
            << 'S' << int(device::ModelQn500) << true << false << false
            << QStringList{"q2noext", "q2dot.", "q2ok.txt"}
            << QStringList{"q2dot.", "q2noext", "q2ok.txt"} << QList<int>{13, 13, 0}
            << QStringList{noExt, noExt, wait} << 0;
        QTest::newRow("MPEG-2.5 refused on a QN500")
            << 'M' << int(device::ModelQn500) << true << false << false
            << QStringList{"m25.mp3", "ok128.MP3"} << QStringList{"m25.mp3", "ok128.MP3"}
            << QList<int>{13, 0} << QStringList{format, wait} << 1;
        QTest::newRow("MPEG-2.5 taken by a QN520")
            << 'M' << int(device::ModelQn520) << true << false << false << QStringList{"m25.mp3"}
            << QStringList{"m25.mp3"} << QList<int>{0} << QStringList{wait} << 0;
        QTest::newRow("check switched off")
            << 'M' << int(device::ModelQn500) << false << false << false << QStringList{"m25.mp3"}
            << QStringList{"m25.mp3"} << QList<int>{0} << QStringList{wait} << 0;
        QTest::newRow("QN70 card refuses 320 kbps")
            << 'S' << int(device::ModelQn70) << true << false << false << QStringList{"hi320.mp3"}
            << QStringList{"hi320.mp3"} << QList<int>{13} << QStringList{"Un-supported bitrate"}
            << 1;
        QTest::newRow("QN70 flash takes 320 kbps")
            << 'M' << int(device::ModelQn70) << true << false << false << QStringList{"hi320.mp3"}
            << QStringList{"hi320.mp3"} << QList<int>{0} << QStringList{wait} << 0;
        QTest::newRow("uploads keep the caller's order, unchecked")
            << 'S' << int(device::ModelQn500) << true << true << false
            << QStringList{"zz.mp3", "aa", "m25.mp3"} << QStringList{"zz.mp3", "aa", "m25.mp3"}
            << QList<int>{0, 0, 0}
            << QStringList{"Waiting for upload", "Waiting for upload", "Waiting for upload"} << 0;
        QTest::newRow("converted: FLAC and MPEG-2.5 on a QN500, no message")
            << 'M' << int(device::ModelQn500) << true << false << true
            << QStringList{"song.flac", "m25.mp3", "ok128.MP3", "q9.txt"}
            << QStringList{"m25.mp3", "ok128.MP3", "q9.txt", "song.mp3"} << QList<int>{0, 0, 0, 0}
            << QStringList{wait, wait, wait, wait} << 0;
    }

    void queueing() {
        QFETCH(char, memory);
        QFETCH(int, model);
        QFETCH(bool, blockMpeg);
        QFETCH(bool, upload);
        QFETCH(bool, convert);
        QFETCH(QStringList, files);
        QFETCH(QStringList, rowNames);
        QFETCH(QList<int>, states);
        QFETCH(QStringList, statuses);
        QFETCH(int, messages);

        QStringList paths;
        for (const QString &f : files) {
            if (f == "m25.mp3")
                paths << makeMp3(f, {"--cbr", "-b", "16", "--resample", "8", "-m", "m"});
            else if (f == "hi320.mp3")
                paths << makeMp3(f, {"--cbr", "-b", "320"});
            else if (f == "ok128.MP3")
                paths << makeMp3(f, {"--cbr", "-b", "128"});
            else if (f.endsWith(".flac"))
                paths << makeTone(f, 1);
            else
                paths << makeFile(f, 100);
            QVERIFY(!paths.last().isEmpty());
        }
        Window w({true, false, false, blockMpeg, convert});
        w.app->player().modelCode = model;
        const auto mem = static_cast<unsigned char>(memory);
        if (upload)
            QCOMPARE(w.dlg->addUploads(mem, files, paths), 1);
        else
            QCOMPARE(w.dlg->addDownloads(mem, paths), 1);
        QCoreApplication::processEvents();

        QCOMPARE(w.column(transfer::QueueModel::ColRemote), rowNames);
        QCOMPARE(w.states(), states);
        // A row converting ahead of the run says how far it got, then waits again.
        QTRY_COMPARE_WITH_TIMEOUT(w.column(transfer::QueueModel::ColStatus), statuses, WaitMs);
        QCOMPARE(w.ui.messages.size(), messages);
        const QString memName = memory == 'S' ? "EXTERNAL" : "FLASH";
        for (const QString &m : w.column(transfer::QueueModel::ColMemory))
            QCOMPARE(m, memName);
        QVERIFY(w.dlg->isVisible()); // ShowXferDlg
        QVERIFY(!w.dlg->busy());     // AutoStartXfer off: nothing runs
        QCOMPARE(w.label("queueCount"),
                 QStringLiteral("Total %1 file(s), Current 0 file(s)").arg(files.size()));
        if (!upload) {
            QStringList sources = files; // queued in byte-wise order of their paths
            std::sort(sources.begin(), sources.end());
            for (int i = 0; i < sources.size(); ++i)
                QCOMPARE(w.column(transfer::QueueModel::ColLocal)[i], m_files.filePath(sources[i]));
            QSettings profile(w.dir.filePath("profile.ini"), QSettings::IniFormat);
            QCOMPARE(profile.value("Option/DownloadFolder").toString(), m_files.path() + "/");
        }
        if (memory == 'S' && model == int(device::ModelQn70))
            QVERIFY(w.ui.messages.value(0).endsWith("\n" + paths[0]));
    }

    // Queues that run to their summary against the player.
    void runsQueue_data() {
        QTest::addColumn<QStringList>("downloads"); // name:size, name:tone (sox), name:mpeg25
        QTest::addColumn<QStringList>("uploads");   // remote name:local name
        QTest::addColumn<QString>("prepare");
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<int>("questions");

        const QString ok = "Download OK.";
        QTest::newRow("downloads arrive sorted and byte-exact")
            << QStringList{"r1c.bin:3000", "r1a.bin:70000", "r1b.bin:20001"} << QStringList{} << ""
            << QStringList{ok, ok, ok} << summary(3, 0) << 0;
        QTest::newRow("an empty file completes") << QStringList{"r2empty.txt:0"} << QStringList{}
                                                 << "" << QStringList{ok} << summary(1, 0) << 0;
        QTest::newRow("a vanished file fails its row, the queue goes on")
            << QStringList{"r3a.bin:1000", "r3b.bin:1000"} << QStringList{} << "vanish"
            << QStringList{"File not found!", ok} << summary(2, 1) << 0;
        QTest::newRow("a name the player holds")
            << QStringList{"Exist.txt:10"} << QStringList{} << ""
            << QStringList{"Already file exist."} << summary(1, 1) << 0;
        QTest::newRow("name area full, Cancel drops the waiting rows")
            << QStringList{"r5a.bin:100", "r5b.bin:100", "r5c.bin:100"} << QStringList{}
            << "name-area"
            << QStringList{"Filename storage area is full. Try to shorten the existing filenames"}
            << summary(1, 1) << 1;
        QTest::newRow("a VRF upload starts the converter, another upload does not")
            << QStringList{} << QStringList{"REC001.VRF:rec001.vrf", "Exist.txt:exist.txt"}
            << "converter" << QStringList{"Upload OK.", "Upload OK."} << summary(2, 0) << 0;
        QTest::newRow("a VRF upload without converter reports nothing")
            << QStringList{} << QStringList{"REC001.VRF:again.VRF"} << ""
            << QStringList{"Upload OK."} << summary(1, 0) << 0;
        QTest::newRow("an unwritable destination fails and leaves nothing")
            << QStringList{} << QStringList{"Exist.txt:blocker/exist.txt"} << "blocked"
            << QStringList{"Can't open a file"} << summary(1, 1) << 0;
        // The flash's 32 MiB cannot take it: it fails before it is converted.
        QTest::newRow("a FLAC larger than the memory's free room")
            << QStringList{"big.flac:silence"} << QStringList{} << ""
            << QStringList{"^Conversion failed: /.*/big\\.flac: .* more than the free room of the "
                           "memory it goes to \\(.+\\)$"}
            << summary(1, 1) << 0;
        QTest::newRow("a FLAC arrives converted, a corrupt one fails and sends nothing")
            << QStringList{"c1.flac:tone", "c2.flac:5000", "c3.bin:100"} << QStringList{} << ""
            << QStringList{ok, "^Conversion failed: /.*/c2\\.flac: .+", ok} << summary(3, 1) << 0;
        // Levelled by track: the FLAC converted with its gain, the MP3 as a levelled copy of its
        // length under its own name, never re-encoded; its row says it is levelled.
        QTest::newRow("levelled on the way")
            << QStringList{"l1.flac:tone", "l2.mp3:mp3"} << QStringList{} << "level"
            << QStringList{ok, ok} << summary(2, 0) << 0;
        QTest::newRow("an MP3 the model's check refuses arrives converted")
            << QStringList{"c4.mp3:mpeg25"} << QStringList{} << "qn500" << QStringList{ok}
            << summary(1, 0) << 0;
    }

    void runsQueue() {
        QFETCH(QStringList, downloads);
        QFETCH(QStringList, uploads);
        QFETCH(QString, prepare);
        QFETCH(QStringList, statuses);
        QFETCH(QString, summary);
        QFETCH(int, questions);

        Window::Options options;
        options.level = prepare == "level" ? 1 : 0;
        Window w(options);
        QVERIFY(w.connect());
        // Every status each row showed on the way, by its name on the player.
        QMap<QString, QStringList> seen;
        connect(&w.dlg->queue(), &QAbstractItemModel::dataChanged, this, [&] {
            const QStringList names = w.column(transfer::QueueModel::ColRemote);
            const QStringList shownNow = w.column(transfer::QueueModel::ColStatus);
            for (qsizetype i = 0; i < names.size() && i < shownNow.size(); ++i)
                if (!seen[names[i]].contains(shownNow[i]))
                    seen[names[i]] << shownNow[i];
        });
        if (prepare == "converter") {
            QFile conv(w.dir.filePath("SNDCONV")); // names compare without case
            QVERIFY(conv.open(QIODevice::WriteOnly));
        }
        if (prepare == "qn500")
            w.app->player().modelCode = device::ModelQn500;
        if (prepare == "name-area") {
            QVERIFY(ctl({"fault", "refuse", "2"}));
            w.ui.okCancelAnswers << false;
        }
        QTemporaryDir out;
        if (prepare == "blocked") {
            QFile blocker(out.filePath("blocker")); // a file where a folder should be
            QVERIFY(blocker.open(QIODevice::WriteOnly));
        }

        QStringList paths;
        QMap<QString, QByteArray> sent;     // by the name on the player
        QStringList converted;              // judged by the MPEG check, not by their bytes
        QMap<QString, QByteArray> levelled; // MP3s levelled losslessly: their sources' bytes
        for (const QString &d : downloads) {
            const QString name = d.section(':', 0, 0);
            const QString made = d.section(':', 1);
            const bool audio = name.endsWith(".flac") || made == "mpeg25";
            const bool levelledMp3 = made == "mp3";
            const QString onPlayer = audio ? QFileInfo(name).completeBaseName() + ".mp3" : name;
            if (made == "tone")
                paths << makeTone(name, 2);
            else if (made == "silence") // 25 minutes: about 36 MB at 192 kbit/s
                paths << (run(QStringLiteral(TUNARA_SOX),
                              {"-n", "-r", "8000", "-c", "1", "-b", "16", m_files.filePath(name),
                               "trim", "0", "1500"})
                                  .ok
                              ? m_files.filePath(name)
                              : QString());
            else if (made == "mpeg25")
                paths << makeMp3(name, {"--cbr", "-b", "16", "--resample", "8", "-m", "m"});
            else if (levelledMp3)
                paths << makeMp3(name, {"--cbr", "-b", "128"});
            else
                paths << makeFile(name, made.toInt());
            QVERIFY(!paths.last().isEmpty());
            sent[onPlayer] = audio || levelledMp3 ? QByteArray() : pattern(name, made.toInt());
            if (audio)
                converted << onPlayer;
            if (levelledMp3) {
                QFile source(paths.last());
                QVERIFY(source.open(QIODevice::ReadOnly));
                levelled[onPlayer] = source.readAll();
            }
        }
        if (!downloads.isEmpty())
            w.dlg->addDownloads('M', paths);
        if (prepare == "vanish")
            QVERIFY(QFile::remove(w.column(transfer::QueueModel::ColLocal).first()));
        QStringList remotes, locals;
        for (const QString &u : uploads) {
            remotes << u.section(':', 0, 0);
            locals << out.filePath(u.section(':', 1));
        }
        if (!uploads.isEmpty())
            w.dlg->addUploads('M', remotes, locals);

        QVERIFY(w.waitFinished());
        const QStringList shown = w.column(transfer::QueueModel::ColStatus);
        QCOMPARE(shown.size(), statuses.size());
        for (int i = 0; i < statuses.size(); ++i)
            QVERIFY2(statusIs(shown[i], statuses[i]), qPrintable(shown[i]));
        QCOMPARE(w.info(), summary);
        QCOMPARE(w.ui.questions.size(), questions);
        QCOMPARE(w.dlg->findChild<QPushButton *>("closeButton")->text(),
                 QStringLiteral("&Close And Clear"));
        QCOMPARE(w.dlg->windowTitle(), QStringLiteral("Transfer Manager"));
        for (int i = 0; i < statuses.size(); ++i) {
            const int kind = int(w.dlg->queue().entry(i).kind);
            const bool good = statuses[i].endsWith("OK.");
            QCOMPARE(w.dlg->queue().stateOf(i), (good ? 4 : 8) + kind);
            if (good) {
                const QString stat = w.column(transfer::QueueModel::ColStat).value(i);
                QVERIFY2(stat.contains(" sec") && !stat.contains("nan") && !stat.contains("inf"),
                         qPrintable(stat));
            }
        }

        // The player holds what was sent, in the order it was sent (sorted by path).
        QStringList arrived;
        for (int i = 0; i < statuses.size() && !downloads.isEmpty(); ++i) {
            if (statuses[i] != "Download OK.")
                continue;
            const QString name = w.column(transfer::QueueModel::ColRemote)[i];
            const RunResult r = playerFile(name);
            QVERIFY2(r.ok, qPrintable(name));
            if (converted.contains(name)) {
                QCOMPARE(mpegCheckOf(r.out), media::MpegCheckCode::Accepted);
            } else if (levelled.contains(name)) {
                // Its global gains moved, nothing else: the length stays.
                QCOMPARE(r.out.size(), levelled[name].size());
                QVERIFY(r.out != levelled[name]);
                // While it waits or runs, its row says it is levelled, never converted.
                QVERIFY2(seen[name].filter("Converting").isEmpty(),
                         qPrintable(seen[name].join('|')));
            } else
                QCOMPARE(r.out, sent[name]);
            arrived << name;
        }
        const QStringList onPlayer = playerNames();
        QCOMPARE(onPlayer.mid(onPlayer.size() - arrived.size()), arrived);
        QStringList sorted = arrived;
        sorted.sort(Qt::CaseSensitive);
        QCOMPARE(arrived, sorted);
        for (const QString &name : sent.keys())
            QCOMPARE(onPlayer.contains(name), arrived.contains(name) || name == "Exist.txt");
        // Each finished download made the flash pane re-read the player.
        for (int i = 0; i < statuses.size() && !downloads.isEmpty(); ++i) {
            if (!statuses[i].endsWith("OK."))
                continue;
            const QString name = w.column(transfer::QueueModel::ColRemote)[i];
            // The last one's re-read may still be on its way when the queue has finished.
            const bool listed = QTest::qWaitFor(
                [&] { return !w.frame->list(0)->findItems(name, Qt::MatchExactly).isEmpty(); },
                WaitMs);
            QVERIFY2(listed, qPrintable(name));
        }
        // Uploads: the bytes the player holds, the converter for voice files only.
        for (int i = 0; i < uploads.size(); ++i) {
            if (statuses[i] != "Upload OK.")
                continue;
            QFile got(locals[i]);
            QVERIFY(got.open(QIODevice::ReadOnly));
            QCOMPARE(got.readAll(), playerFile(remotes[i]).out);
        }
        if (prepare == "converter") {
            QCOMPARE(w.ui.started, QStringList{w.dir.filePath("SNDCONV")});
            QCOMPARE(w.ui.startedArguments.value(0), QStringList{locals[0]});
        } else {
            QVERIFY(w.ui.started.isEmpty());
        }
        if (prepare == "blocked")
            QCOMPARE(QDir(out.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                     QStringList{"blocker"});
        for (const QString &f : cacheFiles()) // nothing half-converted is left
            QVERIFY2(f.endsWith(".mp3") && !f.startsWith('.'), qPrintable(f));
        // Refresh is available again once the queue is idle (a pane's last re-read may still
        // be on the link: an earlier one may have listed the last file already).
        QVERIFY(QTest::qWaitFor([&] { return !w.frame->link().busy(); }, WaitMs));
        QVERIFY(w.frame->commands().isAvailable(int(shell::Cmd::Refresh)));
    }

    // Stop and the row menu's Delete while a file moves: only the running row stays, and it
    // finishes. A dialog that goes meanwhile lets its worker keep the target until it ends.
    // Another call to the player meanwhile waits for that file, and the next row, armed to
    // begin on the link as soon as the file has arrived, waits for the call.
    // While the first row converts: Stop keeps it and stops the others' conversions; Delete
    // drops its conversion and the run goes on; a window that goes stops every conversion.
    void stopOrRemoveWhileRunning_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("convert");
        QTest::newRow("Stop") << "stop" << false;
        QTest::newRow("Delete with the running row topmost") << "remove" << false;
        QTest::newRow("dialog destroyed") << "destroy" << false;
        QTest::newRow("another call while a file moves") << "call" << false;
        QTest::newRow("Stop while converting") << "stop" << true;
        QTest::newRow("Delete the converting row") << "remove" << true;
        QTest::newRow("window closed while converting") << "destroy" << true;
    }

    void stopOrRemoveWhileRunning() {
        QFETCH(QString, action);
        QFETCH(bool, convert);
        const bool remove = action == "remove";
        // Converting, the run is started by hand: it meets its first row's conversion begun.
        Window w({true, !convert});
        QVERIFY(w.connect());
        QVERIFY(ctl({"speed", "full"}));
        const QString tag = (convert ? "v" : "") + action.left(2);
        const QString ext = convert ? ".mp3" : ".bin";
        QStringList paths;
        for (const char *n : {"a", "b", "c"})
            paths << (convert ? makeTone(tag + n + ".flac", 20)
                              : makeFile(tag + n + ".bin", 400000));
        const int cached = int(cacheFiles().size());
        w.dlg->addDownloads('M', paths);
        if (convert) {
            w.dlg->start();
            QVERIFY(w.dlg->queue().awaitingConversion());
            QCOMPARE(w.states().value(0), 12);
            QVERIFY(statusIs(w.column(0).value(0), "^Converting\\.\\.\\. \\d+%$"));
            QVERIFY(!w.dlg->busy()); // the player is not held for a conversion
            // The current file's bar follows the conversion the run waits for.
            const auto barFollows = [&w] {
                const QString status = w.column(0).value(0);
                if (!status.startsWith("Converting"))
                    return true; // converted meanwhile
                const QString percent = status.section(' ', 1);
                return w.dlg->findChild<QLabel *>("filePercent")->text() == percent &&
                       w.dlg->findChild<QProgressBar *>("fileProgress")->value() ==
                           percent.chopped(1).toInt();
            };
            QVERIFY(barFollows());
            QSignalSpy progressed(&w.dlg->queue(),
                                  &transfer::QueueModel::awaitedConversionProgressed);
            QVERIFY(progressed.wait(WaitMs)); // returns at the next percent, still converting
            QVERIFY(barFollows());
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(w.dlg->busy() && w.states().value(0) == 12, WaitMs);
            // Nothing else may talk to the player meanwhile, a posted Refresh included.
            QVERIFY(!w.frame->commands().isAvailable(int(shell::Cmd::Refresh)));
            QSignalSpy refused(&w.frame->commands(), &shell::CommandTable::refused);
            w.frame->postCommand(int(shell::Cmd::Refresh), nullptr);
            QTRY_COMPARE(refused.size(), 1);
        }

        if (action == "destroy" && convert) {
            w.frame.reset(); // the workers stop; nothing half-made stays in the cache
            QCOMPARE(cacheFiles().size(), cached);
            return;
        }
        if (action == "destroy") {
            const std::weak_ptr<const transfer::NotifyBridge> bridge = w.dlg->notifyBridge();
            w.frame.reset();
            QTRY_VERIFY_WITH_TIMEOUT(bridge.expired(), WaitMs);
            return;
        }
        QStringList left{tag + "a" + ext};
        if (action == "call") {
            std::optional<QList<int>> statesAnswered;
            bool connected = false;
            w.frame->link().checkConnect(w.frame.get(), [&](bool answer) {
                connected = answer;
                statesAnswered = w.states();
            });
            QTRY_VERIFY_WITH_TIMEOUT(statesAnswered.has_value(), WaitMs);
            QVERIFY(connected);
            const int flash = int(transfer::EntryKind::DownloadFlash);
            QCOMPARE(statesAnswered->value(0), transfer::IconDone + flash);
            QCOMPARE(statesAnswered->value(1), transfer::IconWaiting + flash);
            left << tag + "b" + ext << tag + "c" + ext;
        } else if (remove && convert) {
            w.list()->selectionModel()->select(w.list()->model()->index(0, 0),
                                               QItemSelectionModel::Select |
                                                   QItemSelectionModel::Rows);
            QVERIFY(w.dlg->findChild<QPushButton *>("removeButton")->isEnabled());
            w.dlg->removeItems();
            left = QStringList{tag + "b" + ext, tag + "c" + ext};
        } else if (remove) {
            w.list()->selectAll();
            QVERIFY(!w.dlg->findChild<QPushButton *>("removeButton")->isEnabled());
            bool offered = false;
            QTimer::singleShot(0, [&offered] {
                auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
                offered = menu != nullptr && menu->actions().value(0)->isEnabled();
                menu->close();
            });
            const QRect row = w.list()->visualRect(w.list()->model()->index(1, 0));
            emit w.list()->customContextMenuRequested(row.center());
            QVERIFY(offered); // Delete is offered; it removes the rows but the running one
            w.dlg->removeItems();
        } else {
            QVERIFY(w.dlg->findChild<QPushButton *>("stopButton")->isEnabled());
            QTest::mouseClick(w.dlg->findChild<QPushButton *>("stopButton"), Qt::LeftButton);
        }
        QCOMPARE(w.column(transfer::QueueModel::ColRemote), left);
        if (!(remove && convert) && action != "call")
            QCOMPARE(w.dlg->current(), 0);
        QVERIFY(w.waitFinished());
        QCOMPARE(w.info(), summary(int(left.size()), 0));
        for (const QString &name : left) {
            const QByteArray arrived = playerFile(name).out;
            if (convert)
                QCOMPARE(mpegCheckOf(arrived), media::MpegCheckCode::Accepted);
            else
                QCOMPARE(arrived, pattern(name, 400000));
        }
        for (const char *n : {"a", "b", "c"})
            QCOMPARE(playerNames().contains(tag + n + ext), left.contains(tag + n + ext));
        // The conversions of the rows that went were stopped before they were cached.
        if (convert)
            QCOMPARE(cacheFiles().size(), cached + left.size());
    }

    // Files arrive under the names the queue shows: two discs of an album named on the command
    // line both arrive, the second under a free name; names the player's FAT cannot hold arrive
    // with '_' and stop nothing.
    void arrivalNames_data() {
        QTest::addColumn<QStringList>("files"); // relative to a folder of their own
        QTest::addColumn<bool>("folder");       // the folder named on the command line
        QTest::addColumn<QStringList>("names"); // as they arrive, in queue order
        QTest::newRow("two discs of one album")
            << QStringList{"CD1/01 Track 1.mp3", "CD2/01 Track 1.mp3"} << true
            << QStringList{"01 Track 1.mp3", "01 Track 1 (2).mp3"};
        // The player holds Song.mp3 from the start: the folder's one is named against it.
        QTest::newRow("a folder's song the player holds")
            << QStringList{"Album/Song.mp3"} << true << QStringList{"Song (2).mp3"};
        QTest::newRow("names the player cannot hold")
            << QStringList{QString::fromUtf8("02 Ça va, Zoë?.bin"), "a*b.bin", "AC:DC - Song.bin"}
            << false
            << QStringList{QString::fromUtf8("02 Ça va, Zoë_.bin"), "AC_DC - Song.bin", "a_b.bin"};
    }

    void arrivalNames() {
        QFETCH(QStringList, files);
        QFETCH(bool, folder);
        QFETCH(QStringList, names);
        QTemporaryDir top;
        QStringList paths;
        for (const QString &f : files) {
            const QString path =
                top.filePath(QString::fromUtf8(QTest::currentDataTag()).left(8) + "/" + f);
            QVERIFY(QDir().mkpath(QFileInfo(path).path()));
            QFile out(path);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(pattern(f, 3000));
            paths << path;
        }
        Window w({});
        const QString root = QFileInfo(paths.first()).path().section('/', 0, -1 - int(folder));
        // As `tunara FOLDER` or `tunara FILE...`: queued once the player has answered.
        w.frame->queueStartupFiles('M', folder ? QStringList{root} : paths);
        QVERIFY(w.connect());
        QVERIFY(w.waitFinished());
        QCOMPARE(w.column(transfer::QueueModel::ColRemote), names);
        QCOMPARE(w.column(transfer::QueueModel::ColStatus),
                 QStringList(names.size(), QStringLiteral("Download OK.")));
        QVERIFY(w.ui.questions.isEmpty());
        QVERIFY(w.ui.messages.isEmpty());
        QCOMPARE(w.info(), summary(int(names.size()), 0));
        const QStringList sources = w.column(transfer::QueueModel::ColLocal);
        for (int i = 0; i < names.size(); ++i) {
            // The pane lists it as the player's table has it.
            QVERIFY2(
                QTest::qWaitFor(
                    [&] {
                        return !w.frame->list(0)->findItems(names[i], Qt::MatchExactly).isEmpty();
                    },
                    WaitMs),
                qPrintable(names[i]));
            // The bytes are the source's (mtools reads ASCII names whatever the locale).
            const QString source = QDir(top.path()).relativeFilePath(sources[i]).section('/', 1);
            if (names[i].toUtf8().size() == names[i].size())
                QCOMPARE(playerFile(names[i]).out, pattern(source, 3000));
        }
    }

    // The next download begins on the player link the moment the last one has arrived, while
    // the window is still busy with that one's end; it shows running once the pane lists the
    // last one.
    void nextFileBeginsWithoutTheWindow() {
        Window w({});
        QVERIFY(w.connect());
        QVERIFY(ctl({"fault", "write-delay", "300"})); // each file is kept for 0.3 s
        QStringList paths;
        for (const char *n : {"na", "nb", "nc"})
            paths << makeFile(QString(n) + ".bin", 20000);
        bool held = false;
        bool nextMoved = false;
        connect(&w.dlg->queue(), &QAbstractItemModel::dataChanged, this, [&] {
            if (held || w.states().value(0) != transfer::IconDone)
                return;
            held = true;
            // The window does nothing for a while: the link begins the next file meanwhile.
            QThread::msleep(150);
            nextMoved = w.dlg->notifyBridge().lock()->workerRunning();
        });
        w.dlg->addDownloads('M', paths);
        QVERIFY(w.waitFinished());
        QVERIFY(held);
        QVERIFY(nextMoved);
        QCOMPARE(w.info(), summary(3, 0));
        for (const char *n : {"na", "nb", "nc"})
            QCOMPARE(playerFile(QString(n) + ".bin").out, pattern(QString(n) + ".bin", 20000));
    }

    // The overall percentage is (file % + 100 x row) / rows; with three rows and the second at
    // 50 % it shows 50 %. Every pair of texts painted while the second row moves must obey it.
    void overallPercentage() {
        Window w({});
        QVERIFY(w.connect());
        QVERIFY(ctl({"speed", "full"}));
        QStringList paths;
        for (const char *n : {"pa", "pb", "pc"})
            paths << makeFile(QString(n) + ".bin", 300000);
        w.dlg->addDownloads('M', paths);
        int seen = 0;
        QStringList broken;
        QStringList late; // finished downloads the pane did not list while the next one ran
        QVERIFY(QTest::qWaitFor(
            [&] {
                const int running = w.dlg->current();
                if (w.dlg->busy() && w.states().value(running) == 12)
                    for (const QString &name :
                         w.column(transfer::QueueModel::ColRemote).mid(0, running))
                        if (w.frame->list(0)->findItems(name, Qt::MatchExactly).isEmpty())
                            late << name;
                if (w.dlg->current() == 1 && w.dlg->busy() && w.states().value(1) == 12) {
                    const int file = w.label("filePercent").chopped(1).toInt();
                    const int overall = w.label("overallPercent").chopped(1).toInt();
                    if (file > 0) {
                        ++seen;
                        if (overall != (file + 100) / 3)
                            broken << QStringLiteral("%1 -> %2").arg(file).arg(overall);
                    }
                }
                return w.dlg->finished();
            },
            WaitMs));
        QVERIFY2(broken.isEmpty(), qPrintable(broken.join(", ")));
        QVERIFY2(late.isEmpty(), qPrintable(late.join(", ")));
        QVERIFY2(seen > 0, "no progress seen on the second row");
        QVERIFY(w.waitFinished());
        QCOMPARE(w.dlg->findChild<QProgressBar *>("overallProgress")->value(), 100);
        QCOMPARE(w.info(), summary(3, 0));
    }

    // HideXferDlg: a clean queue hides and clears itself; one with a failure stays shown, and
    // keeps its failed rows, counted in the summary, until Close And Clear.
    void hideWhenFinished_data() {
        QTest::addColumn<bool>("failure");
        QTest::addColumn<bool>("alsoOk"); // a file that arrives beside the failed one
        QTest::newRow("no failure") << false << false;
        QTest::newRow("one failure") << true << false;
        QTest::newRow("one failure of two, hidden and shown again") << true << true;
    }

    void hideWhenFinished() {
        QFETCH(bool, failure);
        QFETCH(bool, alsoOk);
        Window w({true, true, true, true});
        QVERIFY(w.connect());
        const QString name = failure ? "h-fail.bin" : "h-ok.bin";
        const QString path = makeFile(name, 5000);
        QStringList paths{path};
        if (alsoOk)
            paths << makeFile("h-ok2.bin", 5000);
        w.dlg->addDownloads('M', paths);
        if (failure)
            QVERIFY(QFile::remove(path));
        QVERIFY(w.waitFinished());
        if (failure) {
            QVERIFY(w.dlg->isVisible());
            QCOMPARE(w.info(), summary(int(paths.size()), 1));
            QCOMPARE(w.rows(), paths.size());
            QVERIFY(w.dlg->hadError());
        }
        if (alsoOk) {
            // Hidden another way than Close And Clear: what failed stays, the rest goes.
            QAction *toggle = w.frame->commands().action(shell::Cmd::TransferStatus);
            toggle->trigger();
            QVERIFY(!w.dlg->isVisible());
            QCOMPARE(w.rows(), 1);
            QCOMPARE(w.column(transfer::QueueModel::ColRemote), QStringList{name});
            QVERIFY(w.dlg->hadError());
            QCoreApplication::processEvents();
            QVERIFY(!w.dlg->isVisible()); // it does not come forward by itself again
            toggle->trigger();
            QVERIFY(w.dlg->isVisible());
            QCOMPARE(w.info(), summary(1, 1));
            QCOMPARE(w.dlg->findChild<QPushButton *>("closeButton")->text(),
                     QStringLiteral("&Close And Clear"));
        }
        if (failure)
            QTest::mouseClick(w.dlg->findChild<QPushButton *>("closeButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!w.dlg->isVisible(), WaitMs);
        QCOMPARE(w.rows(), 0);
        QCOMPARE(w.dlg->current(), -1);
        QVERIFY(!w.dlg->hadError());
        QCOMPARE(w.info(),
                 QStringLiteral("Load files in transfer queue and press 'Start Transfer' button"));
        QVERIFY(!w.dlg->statusBarProgress()->isVisible());
    }

    // The player goes in the middle of a queue: the running row fails, the next ones fail to
    // start, nothing hangs and the window keeps answering; the player comes back afterwards.
    void unplugMidQueue() {
        Window w({});
        QVERIFY(w.connect());
        QStringList paths;
        for (const char *n : {"ua", "ub", "uc"})
            paths << makeFile(QString(n) + ".bin", 200000);
        QVERIFY(ctl({"fault", "unplug-after", "100000"}));
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
        ticker.start(50);
        w.dlg->addDownloads('M', paths);
        QVERIFY(w.waitFinished());
        QCOMPARE(w.states(), (QList<int>{8, 8, 8}));
        const QStringList st = w.column(transfer::QueueModel::ColStatus);
        const QString notConnected = "Device is Not connected. Try to reconnect USB cable when "
                                     "the driver is installed properly.";
        QVERIFY2(st[0] == "Failed Data Transmitted" || st[0] == "Failed data transmitted" ||
                     st[0] == notConnected,
                 qPrintable(st[0]));
        QCOMPARE(st[1], notConnected);
        QCOMPARE(st[2], notConnected);
        QCOMPARE(w.info(), summary(3, 3));
        // No file arrived, so no pane wrote over the last row's percent: the queue's end did.
        QCOMPARE(w.frame->messageText(), QStringLiteral("Ready."));
        QVERIFY(ticks > 0); // the loop ran while the queue failed
        QVERIFY(ctl({"plug"}));
        w.frame->refreshMemory();
        QTRY_VERIFY_WITH_TIMEOUT(w.frame->connected(), WaitMs);
    }

    // More than 655 rows: the overall range is counted in ints and does not wrap.
    void longQueue() {
        Window w({false, false, false, true});
        QVERIFY(w.connect());
        QStringList remotes, locals;
        QTemporaryDir out;
        for (int i = 0; i < 700; ++i) {
            remotes << QStringLiteral("none%1.bin").arg(i);
            locals << out.filePath(remotes.last());
        }
        w.dlg->addUploads('M', remotes, locals);
        QVERIFY(!w.dlg->isVisible()); // ShowXferDlg off
        w.dlg->start();
        QCOMPARE(w.dlg->findChild<QProgressBar *>("overallProgress")->maximum(), 70000);
        QCOMPARE(w.dlg->statusBarProgress()->maximum(), 70000);
        QVERIFY(w.waitFinished());
        QCOMPARE(w.info(), summary(700, 700));
        QCOMPARE(w.column(transfer::QueueModel::ColStatus).value(699),
                 QStringLiteral("File not found!"));
    }

    // Files named on the command line wait for the first connection; files of a second start
    // come over the single-instance channel. Either way they arrive sorted and byte-exact.
    void handOver_data() {
        QTest::addColumn<bool>("secondStart");
        QTest::addColumn<char>("memory");
        QTest::addColumn<int>("imageSize"); // a font image sent meanwhile (0: none)
        QTest::newRow("first start, flash") << false << 'M' << 0;
        QTest::newRow("second start, --card") << true << 'S' << 0;
        QTest::newRow("second start during a font download") << true << 'M' << 1500000;
    }

    void handOver() {
        QFETCH(bool, secondStart);
        QFETCH(char, memory);
        QFETCH(int, imageSize);
        const auto mem = static_cast<unsigned char>(memory);
        const QString tag = imageSize > 0 ? "fo" : secondStart ? "so" : "fs";
        QStringList paths;
        for (const char *n : {"2", "1", "3"})
            paths << makeFile(tag + n + ".bin", 30000);
        Window w({});
        const QString cls = QStringLiteral("xfer-%1").arg(QCoreApplication::applicationPid());
        shell::SingleInstance first(cls, tag);
        QVERIFY(first.claim());
        connect(&first, &shell::SingleInstance::filesHandedOver, w.frame.get(),
                [&w](unsigned char m, const QStringList &p) { w.frame->queueStartupFiles(m, p); });
        QSignalSpy raised(&first, &shell::SingleInstance::raiseRequested);
        if (!secondStart) {
            w.frame->queueStartupFiles(mem, paths);
            QCOMPARE(w.rows(), 0); // not before the player answered
            QVERIFY(w.connect());
        } else {
            QVERIFY(w.connect());
            std::unique_ptr<service::CFontDownloadDlg> font;
            if (imageSize > 0) {
                QVERIFY(ctl({"speed", "full"}));
                font = std::make_unique<service::CFontDownloadDlg>(w.frame->serviceContext());
                font->actionBox()->setCurrentIndex(font->actionBox()->findText("FONT-KOR"));
                font->pathEdit()->setText(makeFile("font.img", imageSize));
                QTest::mouseClick(font->downloadButton(), Qt::LeftButton);
            }
            shell::SingleInstance second(cls, tag);
            QVERIFY(!second.claim({mem, paths}));
            QTRY_COMPARE_WITH_TIMEOUT(raised.size(), 1, WaitMs);
            if (font) { // the files wait for the image's end, then run
                QVERIFY(font->sending());
                QCOMPARE(w.rows(), 0);
                QTRY_VERIFY_WITH_TIMEOUT(!font->sending(), WaitMs);
            }
        }
        QVERIFY(w.waitFinished());
        QCOMPARE(w.info(), summary(3, 0));
        const QStringList names{tag + "1.bin", tag + "2.bin", tag + "3.bin"};
        const QStringList onPlayer = playerNames(mem);
        QCOMPARE(onPlayer.mid(onPlayer.size() - 3), names);
        for (const QString &n : names)
            QCOMPARE(playerFile(n, mem).out, pattern(n, 30000));

        // Bytes of another program only ask us to come forward.
        QLocalSocket stranger;
        stranger.connectToServer(first.serverName());
        QVERIFY(stranger.waitForConnected(5000));
        stranger.write("raise\nnot a list of files");
        stranger.waitForBytesWritten(5000);
        stranger.disconnectFromServer();
        QTRY_COMPARE_WITH_TIMEOUT(raised.size(), secondStart ? 2 : 1, WaitMs);
        QCOMPARE(w.rows(), 3);
    }

    // File Transfer Status shows and hides the dialog with its check mark; a click into the
    // message pane sends it; the status-bar bar sits in pane 0 after its text.
    void transferStatus() {
        Window w({});
        w.frame->show();
        w.frame->deviceWatch().stop();
        QAction *toggle = w.frame->commands().action(shell::Cmd::TransferStatus);
        QVERIFY(!w.dlg->isVisible());
        QVERIFY(toggle->isCheckable() && !toggle->isChecked());
        toggle->trigger();
        QVERIFY(w.dlg->isVisible());
        QVERIFY(toggle->isChecked());
        auto *pane = w.frame->findChild<QLabel *>("messagePane");
        QTest::mouseClick(pane, Qt::LeftButton);
        QVERIFY(!w.dlg->isVisible());
        QVERIFY(!toggle->isChecked());
        w.dlg->reposition();
        const QRect bar = w.dlg->statusBarProgress()->geometry();
        QCOMPARE(bar.left(), pane->geometry().left() + 1 + 40);
        QCOMPARE(bar.right(), pane->geometry().right() - 1);
        QCOMPARE(w.dlg->statusBarProgress()->parentWidget(), w.frame->statusBar());
    }
};

QTEST_MAIN(TestTransfer)
#include "test_transfer.moc"
