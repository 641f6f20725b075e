// The program: settings and language pack, one instance, the main window.
#include "device/uiservices.h"
#include "mainframe.h"
#include "programversion.h"
#include "settings.h"
#include "singleinstance.h"
#include "tunaraapp.h"

#include <QApplication>
#include <QSettings>
#include <QTimer>

#include <cstdio>
#include <cstring>

using namespace tunara;

namespace {

// Debug aid: TUNARA_GRAB=FILE.png grabs the window to FILE once both panes have been read
// (after TUNARA_GRAB_DELAY_MS, default 2500) and quits.
void armGrab(shell::CMainFrame &frame) {
    const QString file = qEnvironmentVariable("TUNARA_GRAB");
    if (file.isEmpty())
        return;
    bool ok = false;
    int delay = qEnvironmentVariableIntValue("TUNARA_GRAB_DELAY_MS", &ok);
    if (!ok)
        delay = 2500;
    QTimer::singleShot(delay, &frame, [&frame, file] {
        frame.grab().save(file);
        frame.close();
    });
}

} // namespace

int main(int argc, char *argv[]) {
    // Answered before any window system is needed.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tunara %s\n", shell::programVersionLine().toUtf8().constData());
            return 0;
        }
    }
    QApplication qapp(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Tunara Manager"));
    QApplication::setApplicationName(QStringLiteral("Tunara"));
    QApplication::setApplicationDisplayName(QStringLiteral("TUNARA"));

    device::DesktopUiServices ui;
    shell::CTunaraApp app({QCoreApplication::applicationDirPath(), QString()}, ui);
    app.start();

    QSettings &profile = app.profile();
    const QString className = shell::readString(profile, QStringLiteral("Init/ClassName"),
                                                QLatin1String(shell::defaults::ClassName),
                                                shell::defaults::ResourceDllChars);
    const QString windowName = shell::readString(profile, QStringLiteral("Init/WindowName"),
                                                 QLatin1String(shell::defaults::WindowName));
    shell::SingleInstance instance(className, windowName);
    if (!instance.claim())
        return 0;
    profile.setValue(QStringLiteral("Init/ClassName"), className);
    profile.setValue(QStringLiteral("Init/WindowName"), windowName);

    shell::CMainFrame frame(app);
    QObject::connect(&instance, &shell::SingleInstance::raiseRequested, &frame, [&frame] {
        frame.showNormal();
        frame.raise();
        frame.activateWindow();
    });
    frame.show();
    armGrab(frame);
    const int rc = QApplication::exec();
    app.exit();
    return rc;
}
