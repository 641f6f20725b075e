// A main window over the scripted player, with a profile and program folder of its own.
#pragma once

#include "fakekesto.h"
#include "shell/mainframe.h"
#include "shell/tunaraapp.h"
#include "testui.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <memory>

struct MainWindowFixture {
    QTemporaryDir dir;
    TestUi ui;
    std::unique_ptr<tunara::shell::CTunaraApp> app;
    std::unique_ptr<tunara::shell::CMainFrame> frame;

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

    void open(bool show = true) {
        app = std::make_unique<tunara::shell::CTunaraApp>(
            tunara::shell::CTunaraApp::Paths{dir.path(), dir.filePath("profile.ini")}, ui);
        app->start();
        frame = std::make_unique<tunara::shell::CMainFrame>(*app);
        if (show) {
            frame->show();
            frame->deviceWatch().stop(); // tests poll by hand
            settle();
        }
    }

    // Delivers every queued command and what it queues in turn.
    static void settle() {
        for (int i = 0; i < 10; ++i)
            QCoreApplication::processEvents();
    }
};
