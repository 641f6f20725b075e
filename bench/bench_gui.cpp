// The program's speed against the virtual player over USB/IP:
//  - start: from creating the application object to a shown main window whose two panes hold
//    the player's rows (the device watch off; no splash exists to exclude);
//  - refresh: one pane's refresh of a memory holding 255 files (library exchange, table copy,
//    255 rows rebuilt), timed until the pane has shown the answer (the call runs on the link);
//  - device changes through the device watch: unplug until the window shows "not connected"
//    (goal: 300 ms), plug until both panes are read again;
//  - the longest time the window's event loop was held while the watch runs with a USB/IP
//    server that takes connections and never answers listed before the player's.
// Prints median, minimum and maximum in milliseconds.
//
//   bench_gui [--vplayer PATH] [--rounds N]
#include "device/uiservices.h"
#include "device/zamo_listview.h"
#include "qtrun.h"
#include "quietui.h"
#include "shell/mainframe.h"
#include "shell/tunaraapp.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <QTimer>

#include <algorithm>
#include <cstdio>

using namespace tunara;
using kestousb::test::ctl;
using kestousb::test::run;
using kestousb::test::SilentServer;
using kestousb::test::VplayerProcess;

namespace {

constexpr int Files = 255;

// A flash image with 255 files with long names and a card image with a few.
bool makeState(const QTemporaryDir &dir) {
    const QString seed = dir.filePath("seed");
    QDir().mkpath(seed);
    QStringList flash{"-i", dir.filePath("flash.img")};
    for (int i = 0; i < Files; ++i) {
        const QString f =
            seed + QString::asprintf("/Track %03d - A song of some length.mp3", i + 1);
        QFile out(f);
        if (!out.open(QIODevice::WriteOnly))
            return false;
        out.write("x");
        flash << f;
    }
    flash << "::";
    QStringList card{"-i", dir.filePath("card.img"), flash[2], flash[3], "::"};
    return run(GUI_BENCH_MKFS,
               {"-F", "16", "-r", "1536", "-C", dir.filePath("flash.img"), "16384"}) &&
           run(GUI_BENCH_MCOPY, flash) &&
           run(GUI_BENCH_MKFS, {"-C", dir.filePath("card.img"), "8192"}) &&
           run(GUI_BENCH_MCOPY, card);
}

struct Stats {
    double median, min, max;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v.front(), v.back()};
}

bool panesFilled(const shell::CMainFrame &frame) {
    return frame.list(0)->topLevelItemCount() == Files && frame.list(1)->topLevelItemCount() == 2;
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication qapp(argc, argv);
    QString vplayer = QCoreApplication::applicationDirPath() + "/tunara-vplayer";
    int rounds = 15;
    const QStringList args = QCoreApplication::arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "--vplayer")
            vplayer = args[++i];
        else if (args[i] == "--rounds")
            rounds = std::max(1, args[++i].toInt());
    }

    QTemporaryDir state;
    if (!makeState(state)) {
        std::fprintf(stderr, "bench_gui: could not make the player's images\n");
        return 1;
    }
    const VplayerProcess player(vplayer.toStdString(), state.path().toStdString());
    if (!player.started()) {
        std::fprintf(stderr, "bench_gui: %s did not start\n", qPrintable(vplayer));
        return 1;
    }
    qputenv("KESTOUSB_USBIP", QByteArray::fromStdString(player.address()));

    QTemporaryDir home;
    QuietUi ui;
    std::vector<double> start, refresh;
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer t;
        t.start();
        shell::CTunaraApp app({home.path(), home.filePath("profile.ini")}, ui);
        app.start();
        shell::CMainFrame frame(app);
        frame.show();
        frame.deviceWatch().stop();
        while (!panesFilled(frame) && t.elapsed() < 20000)
            QCoreApplication::processEvents();
        if (!panesFilled(frame)) {
            std::fprintf(stderr, "bench_gui: the panes were not filled (notices: %d)\n",
                         ui.notices);
            return 1;
        }
        start.push_back(double(t.nsecsElapsed()) / 1e6);

        for (int k = 0; k < 3; ++k) {
            // The rows go first, so that every row is built anew (a pane whose table only grew
            // keeps its rows), and the time runs until the pane has shown the player's answer.
            device::CZamo_ListView *pane = frame.list(0);
            pane->clear();
            QCoreApplication::processEvents();
            bool done = false;
            bool ok = false;
            const QMetaObject::Connection c =
                QObject::connect(pane, &device::CZamo_ListView::refreshed, [&](bool success) {
                    done = true;
                    ok = success;
                });
            QElapsedTimer u;
            u.start();
            if (pane->refresh()) {
                while (!done && u.elapsed() < 20000)
                    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            }
            QObject::disconnect(c);
            if (!ok) {
                std::fprintf(stderr, "bench_gui: refresh failed\n");
                return 1;
            }
            refresh.push_back(double(u.nsecsElapsed()) / 1e6);
        }
        frame.close();
    }
    // Device changes through the device watch at its ordinary interval: unplug until the
    // indicator shows "not connected", plug until both panes are read again.
    std::vector<double> unplug, plug;
    {
        shell::CTunaraApp app({home.path(), home.filePath("profile.ini")}, ui);
        app.start();
        shell::CMainFrame frame(app);
        frame.show();
        while (!panesFilled(frame))
            QCoreApplication::processEvents();
        for (int r = 0; r < 5; ++r) {
            QElapsedTimer t;
            ctl(player, {"unplug"});
            t.start();
            while (frame.connected() && t.elapsed() < 10000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            unplug.push_back(double(t.nsecsElapsed()) / 1e6);
            frame.list(0)->clear();
            ctl(player, {"plug"});
            t.restart();
            while (!panesFilled(frame) && t.elapsed() < 10000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            plug.push_back(double(t.nsecsElapsed()) / 1e6);
        }
        frame.close();
    }
    // The window while the watch asks a silent server first: the longest gap between two
    // 10 ms ticks of the UI thread over 5 s.
    double stallMs = -1;
    {
        const SilentServer silent;
        const QByteArray servers = qgetenv("KESTOUSB_USBIP");
        qputenv("KESTOUSB_USBIP", QByteArray::fromStdString(silent.address()) + "," + servers);
        shell::CTunaraApp app({home.path(), home.filePath("profile.ini")}, ui);
        app.start();
        shell::CMainFrame frame(app);
        frame.show();
        while (!panesFilled(frame))
            QCoreApplication::processEvents();
        QElapsedTimer gap, total;
        gap.start();
        total.start();
        qint64 longest = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout,
                         [&] { longest = std::max(longest, gap.restart()); });
        tick.start(10);
        while (total.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        stallMs = double(longest);
        frame.close();
        qputenv("KESTOUSB_USBIP", servers);
    }

    const Stats s = stats(start);
    const Stats f = stats(refresh);
    std::printf("start to connected window, both panes filled (255 + 2 rows): median %.1f ms "
                "(min %.1f, max %.1f, %zu rounds)\n",
                s.median, s.min, s.max, start.size());
    std::printf("refresh of a 255-entry memory pane: median %.1f ms (min %.1f, max %.1f, %zu "
                "rounds)\n",
                f.median, f.min, f.max, refresh.size());
    const Stats u = stats(unplug);
    const Stats p = stats(plug);
    std::printf("unplug to 'not connected': median %.1f ms (max %.1f, goal 300: %s); plug to both "
                "panes read: median %.1f ms (max %.1f)\n",
                u.median, u.max, u.max <= 300 ? "met" : "MISSED", p.median, p.max);
    std::printf("longest hold of the window while the watch asks a silent server: %.0f ms\n",
                stallMs);
    return 0;
}
