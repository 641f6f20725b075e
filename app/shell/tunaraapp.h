// The program's application object: its settings stores, the preferences read from them, the
// language pack, the list font and what the last connection learnt about the player.
#pragma once

#include "settings.h"

#include <KestoUSB.h>

#include <QFont>
#include <QString>

#include <functional>
#include <memory>

class QSettings;

namespace tunara::device {
class UiServices;
}

namespace tunara::shell {

struct PlayerInfo {
    QString model;
    QString version;
    QString date;
    KSPlayerStatus status{};
    int modelCode = 0;
};

class CTunaraApp {
public:
    struct Paths {
        QString programDir;  // folder of the program file: tunara.ini, packs, help, converter
        QString profileFile; // empty: the user's profile of "Tunara Manager"/"Tunara"
    };

    CTunaraApp(Paths paths, device::UiServices &ui);
    ~CTunaraApp();
    CTunaraApp(const CTunaraApp &) = delete;
    CTunaraApp &operator=(const CTunaraApp &) = delete;

    // Start-up: language pack, then the settings and the list font.
    void start();
    // Exit: the options back into the profile, the language pack freed.
    void exit();
    // The options into the profile now, so that a choice outlives a kill or a crash.
    void saveOptions();

    QSettings &profile() { return *m_profile; }
    QSettings &ini() { return *m_ini; }
    QString programDir() const { return m_paths.programDir; }
    QString programFile(const QString &name) const;

    Options &options() { return m_options; }
    const SystemSettings &system() const { return m_system; }
    const QFont &listFont() const { return m_listFont; }
    void rebuildListFont();

    bool packLoaded() const;
    // Name of the language section of tunara.ini: the language's name, "System" without one.
    QString languageSection() const;
    QString helpFile() const;
    QString supportUrl() const;
    // The picture of the splash window and About box: SplashFile of the language section,
    // in the program folder.
    QString splashFile() const;
    // SysReg of tunara.ini, read again on every call.
    int sysReg();

    PlayerInfo &player() { return m_player; }
    const PlayerInfo &player() const { return m_player; }

    device::UiServices &ui() { return m_ui; }

    // Key state, replaceable in tests (no keys can be held down under the offscreen platform).
    std::function<Qt::KeyboardModifiers()> keyboardModifiers;
    // Milliseconds of a steady clock for the splash window's fade (empty: the system's steady
    // clock), replaceable in tests.
    std::function<qint64()> clock;

private:
    Paths m_paths;
    device::UiServices &m_ui;
    std::unique_ptr<QSettings> m_profile;
    std::unique_ptr<QSettings> m_ini;
    Options m_options;
    SystemSettings m_system;
    QFont m_listFont;
    PlayerInfo m_player;
};

} // namespace tunara::shell
