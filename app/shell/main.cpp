// The program: settings and language pack, one instance, the main window.
//
//   tunara [--card] [FILE...]
//   tunara --help | --version   (texts in tunara.help, shared with the manual page)
//
// Files named on the command line (the desktop's "Open with" passes them) are queued as
// downloads into the flash memory, or the card with --card, once the player is connected (a
// folder gives the music below it, in album order); a second start hands them to the running
// program and ends (status 1, with a message on stderr, when the running program did not take
// them).
#include "device/uiservices.h"
#include "mainframe.h"
#include "programversion.h"
#include "res/format.h"
#include "settings.h"
#include "singleinstance.h"
#include "tunara_help.h"
#include "tunaraapp.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QSettings>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

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

// SIGTERM (a session that ends) and SIGINT end the program as closing its window does: the
// window's placement is kept, a running transfer is stopped and the temporary links go. The
// handler only writes a byte to a socket; the event loop reads it.
int s_signalWrite = -1;

void quitOnSignals(shell::CMainFrame &frame) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0)
        return;
    s_signalWrite = fds[0];
    auto *notifier = new QSocketNotifier(fds[1], QSocketNotifier::Read, &frame);
    QObject::connect(notifier, &QSocketNotifier::activated, &frame, [&frame, notifier] {
        char byte = 0;
        while (::read(int(notifier->socket()), &byte, 1) == 1) {
        }
        frame.close();
        QApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = [](int) {
        const int saved = errno;
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(s_signalWrite, &byte, 1);
        errno = saved;
    };
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

// The files of the command line as absolute paths (the running copy has another folder).
shell::SingleInstance::HandOver commandLineFiles(const QStringList &arguments) {
    QCommandLineParser parser;
    const QCommandLineOption card(QStringLiteral("card"));
    parser.addOption(card);
    parser.addPositionalArgument(QStringLiteral("files"), QString(), QStringLiteral("[FILE...]"));
    // Unknown options are not worth refusing to start over; they are left out.
    (void)parser.parse(arguments);
    shell::SingleInstance::HandOver h;
    h.memoryId = parser.isSet(card) ? KSUSB_MEM_CARD : KSUSB_MEM_FLASH;
    for (const QString &f : parser.positionalArguments())
        h.paths << QFileInfo(f).absoluteFilePath();
    return h;
}

// The exit status of a second start; a hand-over that did not arrive is said on stderr, since
// the files named are not queued anywhere.
int reportHandOver(shell::SingleInstance::HandOverFailure failure, int files) {
    using Failure = shell::SingleInstance::HandOverFailure;
    if (failure == Failure::None)
        return 0;
    const QString text = res::fmt(failure == Failure::TooMany ? res::StrId::HandOverTooMany
                                                              : res::StrId::HandOverFailed,
                                  files);
    std::fprintf(stderr, "tunara: %s\n", text.toUtf8().constData());
    return 1;
}

} // namespace

int main(int argc, char *argv[]) {
    // Answered before any window system is needed.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("tunara %s\n", shell::programVersionLine().toUtf8().constData());
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fwrite(shell::help::kHelp.data(), 1, shell::help::kHelp.size(), stdout);
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
    const shell::SingleInstance::HandOver files = commandLineFiles(QCoreApplication::arguments());
    shell::SingleInstance instance(className, windowName);
    if (!instance.claim(files))
        return reportHandOver(instance.handOverFailure(), int(files.paths.size()));
    profile.setValue(QStringLiteral("Init/ClassName"), className);
    profile.setValue(QStringLiteral("Init/WindowName"), windowName);

    shell::CMainFrame frame(app);
    QObject::connect(&instance, &shell::SingleInstance::raiseRequested, &frame, [&frame] {
        frame.showNormal();
        frame.raise();
        frame.activateWindow();
    });
    QObject::connect(&instance, &shell::SingleInstance::filesHandedOver, &frame,
                     [&frame](unsigned char memoryId, const QStringList &paths) {
                         frame.queueStartupFiles(memoryId, paths);
                     });
    frame.queueStartupFiles(files.memoryId, files.paths);
    frame.show();
    armGrab(frame);
    quitOnSignals(frame);
    const int rc = QApplication::exec();
    app.exit();
    return rc;
}
