// The transfer queue's speed against the virtual player over USB/IP on an unlimited link:
//  - many: 200 files of 64 KiB queued from the GUI (addDownloads to the queue's summary, the
//    flash pane re-reading the player after each file) against `kesto put` of the same files;
//    the ratio is kesto's time over the GUI's (1.0: as fast as the command line);
//  - stall: the GUI event loop's longest stall while one 64 MiB file downloads, measured by a
//    2 ms timer that records how late each tick comes; also the progress paints it took.
// Prints medians over the rounds.
//
// The virtual player shares this machine's cores with the program it serves, where a real
// player has a processor of its own: its threads run at a higher priority (nice -10, when the
// bench may raise it), so that neither kesto's nor the window's own work delays its answers.
//
//   bench_queue [--vplayer PATH] [--kesto PATH] [--rounds N] [--write-delay MS]
#include "device/playerlink.h"
#include "device/uiservices.h"
#include "qtrun.h"
#include "quietui.h"
#include "shell/mainframe.h"
#include "shell/tunaraapp.h"
#include "transfer/transferdlg.h"

#include <KestoUSB.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

#include <sys/resource.h>

using namespace tunara;
using kestousb::test::run;
using kestousb::test::VplayerProcess;

namespace {

constexpr int ManyFiles = 200;
constexpr int SmallSize = 64 * 1024;
constexpr int BigSize = 64 * 1024 * 1024;
constexpr int TickMs = 2;

bool writeFile(const QString &path, int size, char fill) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 16, fill);
    for (qsizetype done = 0; done < size; done += block.size())
        f.write(block.constData(), std::min<qsizetype>(block.size(), size - done));
    return true;
}

// Raises the priority of every thread of process `pid`; false when one could not be raised
// (the bench then runs with the player at the usual priority).
bool favourPlayer(pid_t pid) {
    constexpr int PlayerNice = -10;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    const QStringList ids = tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    bool all = !ids.isEmpty();
    for (const QString &id : ids)
        all = setpriority(PRIO_PROCESS, id_t(id.toInt()), PlayerNice) == 0 && all;
    return all;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Runs the event loop (blocking, as the program's own loop does) until the queue finishes.
bool waitFinished(transfer::CTransferDlg &dlg, int limitMs) {
    QEventLoop loop;
    QObject::connect(&dlg, &transfer::CTransferDlg::queueFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    loop.exec();
    return dlg.finished() && !dlg.busy();
}

// Empties the flash memory between rounds on the program's player link, and waits until the
// panes have read the player again.
bool formatFlash(shell::CMainFrame &frame) {
    if (!frame.link().await([] { return KSUSB_FormatMemory(KSUSB_MEM_FLASH) != 0; }))
        return false;
    frame.refreshMemory();
    QElapsedTimer wait;
    wait.start();
    while (device::PlayerLink::busyLinks() > 0 && wait.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    return device::PlayerLink::busyLinks() == 0;
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication qapp(argc, argv);
    QString vplayer = QCoreApplication::applicationDirPath() + "/tunara-vplayer";
    QString kesto = QCoreApplication::applicationDirPath() + "/kesto";
    int rounds = 3;
    int writeDelayMs = 0; // a slow flash: each file that arrives takes this long to be kept
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "--vplayer")
            vplayer = args[++i];
        else if (args[i] == "--kesto")
            kesto = args[++i];
        else if (args[i] == "--rounds")
            rounds = std::max(1, args[++i].toInt());
        else if (args[i] == "--write-delay")
            writeDelayMs = std::max(0, args[++i].toInt());
    }

    QTemporaryDir state;
    QTemporaryDir files;
    QDir().mkpath(files.filePath("many"));
    QStringList many;
    for (int i = 0; i < ManyFiles; ++i) {
        many << files.filePath(QString::asprintf("many/f%03d.bin", i));
        if (!writeFile(many.last(), SmallSize, char('a' + i % 26)))
            return 1;
    }
    const QString big = files.filePath("big.bin");
    if (!writeFile(big, BigSize, 'b') ||
        !run(QUEUE_BENCH_MKFS, {"-F", "16", "-C", state.filePath("flash.img"), "98304"}) ||
        !run(QUEUE_BENCH_MKFS, {"-C", state.filePath("card.img"), "8192"})) {
        std::fprintf(stderr, "bench_queue: could not make the files and images\n");
        return 1;
    }
    const VplayerProcess player(vplayer.toStdString(), state.path().toStdString());
    if (!player.started()) {
        std::fprintf(stderr, "bench_queue: %s did not start\n", qPrintable(vplayer));
        return 1;
    }
    if (!favourPlayer(player.pid()))
        std::fprintf(stderr, "bench_queue: the player runs at the usual priority\n");
    qputenv("KESTOUSB_USBIP", QByteArray::fromStdString(player.address()));
    if (writeDelayMs > 0 &&
        player.ctl({"fault", "write-delay", std::to_string(writeDelayMs)}) != 0) {
        std::fprintf(stderr, "bench_queue: the player took no write delay\n");
        return 1;
    }

    // The command line first: it needs the player to itself.
    std::vector<double> cli;
    for (int r = 0; r < rounds; ++r) {
        if (!run(kesto, {"format", "M", "--yes"}))
            return 1;
        QElapsedTimer t;
        t.start();
        if (!run(kesto, QStringList{"put", "-m", "M"} + many)) {
            std::fprintf(stderr, "bench_queue: kesto put failed\n");
            return 1;
        }
        cli.push_back(double(t.elapsed()));
    }

    QTemporaryDir home;
    {
        QSettings p(home.filePath("profile.ini"), QSettings::IniFormat);
        p.setValue("Option/ShowXferDlg", 1);
        p.setValue("Option/AutoStartXfer", 1);
        p.setValue("Option/HideXferDlg", 0);
    }
    QuietUi ui;
    shell::CTunaraApp app({home.path(), home.filePath("profile.ini")}, ui);
    app.start();
    shell::CMainFrame frame(app);
    frame.show();
    frame.deviceWatch().stop();
    QElapsedTimer wait;
    wait.start();
    while (!frame.connected() && wait.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    transfer::CTransferDlg &dlg = *frame.transferDialog();

    std::vector<double> gui;
    for (int r = 0; r < rounds; ++r) {
        if (!formatFlash(frame))
            return 1;
        dlg.hide(); // clears the last round's finished queue
        QElapsedTimer t;
        t.start();
        dlg.addDownloads(KSUSB_MEM_FLASH, many);
        if (!waitFinished(dlg, 600000)) {
            std::fprintf(stderr, "bench_queue: the queue did not finish\n");
            return 1;
        }
        gui.push_back(double(t.elapsed()));
    }

    std::vector<double> stalls, seconds, paints;
    for (int r = 0; r < rounds; ++r) {
        if (!formatFlash(frame))
            return 1;
        dlg.hide();
        const int paintsBefore = dlg.progressPaints();
        QElapsedTimer clock;
        clock.start();
        qint64 last = 0;
        qint64 worst = 0;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 now = clock.elapsed();
            worst = std::max(worst, now - last - TickMs);
            last = now;
        });
        ticker.start(TickMs);
        dlg.addDownloads(KSUSB_MEM_FLASH, {big});
        if (!waitFinished(dlg, 600000) || dlg.hadError()) {
            std::fprintf(stderr, "bench_queue: the big download failed\n");
            return 1;
        }
        ticker.stop();
        stalls.push_back(double(worst));
        seconds.push_back(double(clock.elapsed()) / 1000.0);
        paints.push_back(double(dlg.progressPaints() - paintsBefore));
    }

    const double cliMs = median(cli);
    const double guiMs = median(gui);
    std::printf(
        "many: %d x %d KiB  kesto put %.0f ms  GUI queue %.0f ms  ratio %.2f (goal >= 0.9)\n",
        ManyFiles, SmallSize / 1024, cliMs, guiMs, cliMs / guiMs);
    std::printf("stall: 64 MiB download %.2f s (%.1f MB/s)  longest loop stall %.0f ms (goal <= "
                "20)  progress paints %.0f\n",
                median(seconds), BigSize / 1048576.0 / median(seconds), median(stalls),
                median(paints));
    frame.close();
    return 0;
}
