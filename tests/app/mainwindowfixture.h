// A main window over the scripted player, with a profile and program folder of its own.
#pragma once

#include "device/playerlink.h"
#include "fakekesto.h"
#include "shell/mainframe.h"
#include "shell/splashwnd.h"
#include "shell/tunaraapp.h"
#include "testui.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTest>

#include <functional>

#include <memory>

struct MainWindowFixture {
    QTemporaryDir dir;
    TestUi ui;
    std::unique_ptr<tunara::shell::CTunaraApp> app;
    std::unique_ptr<tunara::shell::CMainFrame> frame;
    // The splash window's clock; empty: the real one.
    std::function<qint64()> clock;

    // A player with a 32 MiB flash holding `flashFiles` files and a 64 MiB card with two.
    static void defaultPlayer(int flashFiles = 3) {
        fake::reset();
        fake::setModel("QN520");
        fake::table(KSUSB_MEM_FLASH, 33554432u, 25165824u);
        for (int i = 0; i < flashFiles; ++i)
            fake::addFile(KSUSB_MEM_FLASH, "song" + std::to_string(i + 1) + ".mp3",
                          uint32_t(1234567 + i), uint16_t((25 << 9) | (7 << 5) | 18),
                          uint16_t((13 << 11) | (45 << 5)));
        fake::table(KSUSB_MEM_CARD, 67108864u, 1048576u);
        fake::addFile(KSUSB_MEM_CARD, "memo.wav", 999);
        fake::addFile(KSUSB_MEM_CARD, "REC001.VRF", 1000);
    }

    // `closeSplash`: a key press ends the start-up splash at once (the first Refresh follows).
    void open(bool show = true, bool closeSplash = true) {
        app = std::make_unique<tunara::shell::CTunaraApp>(
            tunara::shell::CTunaraApp::Paths{dir.path(), dir.filePath("profile.ini")}, ui);
        app->clock = clock;
        app->start();
        frame = std::make_unique<tunara::shell::CMainFrame>(*app);
        if (show) {
            frame->show();
            frame->deviceWatch().stop(); // tests poll by hand
            if (closeSplash)
                endSplash(*frame);
            settle();
        }
    }

    // A key press closes the start-up splash, which posts the first Refresh.
    static void endSplash(tunara::shell::CMainFrame &frame) {
        if (frame.splash() != nullptr && !frame.splash()->closed())
            QTest::keyClick(frame.splash(), Qt::Key_Space);
    }

    // Delivers every queued command and what it queues in turn, and waits for the player
    // link's answers (each may queue more).
    static void settle() {
        using tunara::device::PlayerLink;
        for (int round = 0; round < 50; ++round) {
            // An answer handled in a batch may post the next step (a pane's re-read is a posted
            // command): settled once a whole batch started no call and left none running.
            QTRY_VERIFY(PlayerLink::busyLinks() == 0);
            const quint64 queued = PlayerLink::callsQueued();
            for (int i = 0; i < 10; ++i)
                QCoreApplication::processEvents();
            if (PlayerLink::busyLinks() == 0 && PlayerLink::callsQueued() == queued)
                return;
        }
    }
};
