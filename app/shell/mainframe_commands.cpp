// The main window's small shell commands: device information, home page, help, favorites,
// voice converter, options and the list font.
#include "device/uiservices.h"
#include "deviceinfodlg.h"
#include "mainframe.h"
#include "optiondlg.h"
#include "service/servicetools.h"
#include "tunaraapp.h"

#include <QDir>
#include <QUrl>

namespace tunara::shell {

namespace {
constexpr const char *VoiceConverterName = "sndconv.exe";
constexpr int HintListFont = 1;
} // namespace

void CMainFrame::cmdDeviceInfo() {
    const PlayerInfo &p = m_app.player();
    CDeviceInfoDlg dlg(p.modelCode, p.version, p.date, this);
    dlg.exec();
}

void CMainFrame::cmdHomePage() {
    // Failures of the desktop's "open" are not reported.
    (void)m_app.ui().openUrl(QUrl(m_app.supportUrl()));
}

void CMainFrame::cmdHelp() {
    if (service::runHelpTestPath(serviceContext(), m_app.programDir(), m_transferQueue, this))
        return;
    (void)m_app.ui().openUrl(QUrl::fromLocalFile(m_app.programFile(m_app.helpFile())));
}

void CMainFrame::cmdFavorites() {
    (void)m_app.ui().openUrl(QUrl::fromLocalFile(m_app.options().favoriteFolder));
}

void CMainFrame::cmdVoiceConverter() {
    (void)m_app.ui().startDetached(m_app.programFile(QLatin1String(VoiceConverterName)), {});
}

void CMainFrame::cmdOption() {
    COptionDlg dlg(m_app.options(), m_app.ui(), this);
    if (dlg.exec() != QDialog::Accepted)
        return;
    Options &o = m_app.options();
    const Options &chosen = dlg.values();
    o.showXferDlg = chosen.showXferDlg;
    o.autoStartXfer = chosen.autoStartXfer;
    o.hideXferDlg = chosen.hideXferDlg;
    o.favoriteFolder = chosen.favoriteFolder;
}

void CMainFrame::cmdFont() {
    const std::optional<QFont> font = m_app.ui().chooseFont(this, m_app.listFont());
    if (!font)
        return;
    Options &o = m_app.options();
    o.listFontFace = font->family();
    const double points = font->pointSizeF() > 0 ? font->pointSizeF() : font->pointSize();
    o.listFontSize = static_cast<int>(points * 10.0 + 0.5);
    m_app.rebuildListFont();
    m_doc.updateAllViews(HintListFont, 0);
}

} // namespace tunara::shell
