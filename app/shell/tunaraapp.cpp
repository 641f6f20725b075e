#include "tunaraapp.h"

#include "res/stringtable.h"

#include <QDir>
#include <QGuiApplication>
#include <QSettings>
#include <QStandardPaths>

namespace tunara::shell {

namespace {
constexpr const char *Organisation = "Tunara Manager";
constexpr const char *Application = "Tunara";
constexpr const char *IniName = "tunara.ini";
} // namespace

CTunaraApp::CTunaraApp(Paths paths, device::UiServices &ui) : m_paths(std::move(paths)), m_ui(ui) {
    if (m_paths.profileFile.isEmpty())
        m_profile =
            std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                        QLatin1String(Organisation), QLatin1String(Application));
    else
        m_profile = std::make_unique<QSettings>(m_paths.profileFile, QSettings::IniFormat);
    m_ini = std::make_unique<QSettings>(programFile(QLatin1String(IniName)), QSettings::IniFormat);
    keyboardModifiers = [] { return QGuiApplication::queryKeyboardModifiers(); };
    m_listFont = shell::listFont(m_options.listFontFace, m_options.listFontSize);
}

CTunaraApp::~CTunaraApp() = default;

QString CTunaraApp::programFile(const QString &name) const {
    return QDir(m_paths.programDir).filePath(name);
}

void CTunaraApp::start() {
    m_system = readSystem(*m_ini);
    // A pack that does not load leaves the built-in English; nothing is reported.
    if (!m_system.resourceDll.isEmpty()) {
        const QString name = QFileInfo(m_system.resourceDll).fileName();
        res::StringTable::current().loadPack(programFile(name));
    }
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    m_options = readOptions(*m_profile, documents);
    rebuildListFont();
}

void CTunaraApp::exit() {
    saveOptions();
    res::StringTable::current().unloadPack();
}

void CTunaraApp::saveOptions() {
    writeOptions(*m_profile, m_options);
    m_profile->sync();
}

void CTunaraApp::rebuildListFont() {
    m_listFont = shell::listFont(m_options.listFontFace, m_options.listFontSize);
}

bool CTunaraApp::packLoaded() const {
    return res::StringTable::current().packLoaded();
}

QString CTunaraApp::languageSection() const {
    const QString name = res::str(res::StrId::LanguageName);
    return name.isEmpty() ? QStringLiteral("System") : name;
}

QString CTunaraApp::helpFile() const {
    return languageValue(*m_ini, languageSection(), keys::HelpFile,
                         QLatin1String(defaults::HelpFile));
}

QString CTunaraApp::splashFile() const {
    return programFile(languageValue(*m_ini, languageSection(), keys::SplashFile,
                                     QLatin1String(defaults::SplashFile)));
}

int CTunaraApp::sysReg() {
    m_ini->sync();
    return readInt(*m_ini, QLatin1String(keys::System) + QLatin1Char('/') + keys::SysReg, 0);
}

QString CTunaraApp::supportUrl() const {
    return languageValue(*m_ini, languageSection(), keys::SupportUrl,
                         QLatin1String(defaults::SupportUrl));
}

} // namespace tunara::shell
