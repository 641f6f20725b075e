// The main window's small shell commands: device information, home page, help, favorites,
// voice converter, options, the list font, the tag editor, the language and the About box.
#include "creditsdlg.h"
#include "device/uiservices.h"
#include "device/voiceconverter.h"
#include "deviceinfodlg.h"
#include "languagedlg.h"
#include "mainframe.h"
#include "optiondlg.h"
#include "res/format.h"
#include "res/stringtable.h"
#include "service/servicetools.h"
#include "splashwnd.h"
#include "tageditordlg.h"
#include "tunaraapp.h"

#include <QDir>
#include <QUrl>

namespace tunara::shell {

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
    // A missing converter is not reported, nor is a converter that fails to start.
    const QString converter = device::voiceConverterPath(m_app.programDir());
    if (!converter.isEmpty())
        (void)m_app.ui().startDetached(converter, {});
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
    o.convert = chosen.convert;
    o.convertBitrate = chosen.convertBitrate;
    o.convertVbr = chosen.convertVbr;
    o.convertCover = chosen.convertCover;
    o.convertLevel = chosen.convertLevel;
    o.convertLevelTags = chosen.convertLevelTags;
    m_app.saveOptions();
}

void CMainFrame::cmdFont() {
    const std::optional<QFont> font = m_app.ui().chooseFont(this, m_app.listFont());
    if (!font)
        return;
    Options &o = m_app.options();
    o.listFontFace = font->family();
    const double points = font->pointSizeF() > 0 ? font->pointSizeF() : font->pointSize();
    o.listFontSize = static_cast<int>(points * 10.0 + 0.5);
    m_app.saveOptions();
    m_app.rebuildListFont();
    m_doc.updateAllViews(int(ViewHint::ListFont), 0);
}

void CMainFrame::cmdEditId3() {
    const QStringList paths = m_app.ui().openFiles(
        this, QString(), QString(), res::fileDialogFilter(res::str(res::StrId::FilterMp3)));
    // One editor after another, each modal, in the order the files were chosen.
    for (const QString &path : paths) {
        CTagEditorDlg dlg(m_app.ui(), this);
        dlg.setPath(path);
        dlg.exec();
    }
}

void CMainFrame::cmdAbout() {
    // Service use: with SysReg set, Shift+Alt while choosing About opens the service dialog.
    const Qt::KeyboardModifiers keys = m_app.keyboardModifiers();
    if (m_app.sysReg() != 0 && keys.testFlag(Qt::ShiftModifier) && keys.testFlag(Qt::AltModifier)) {
        // The service dialog talks to the player: not while anything else does.
        if (deviceBusy())
            return;
        if (m_serviceDialog)
            m_serviceDialog();
        else
            openServiceDialog();
        return;
    }
    bool credit = false;
    {
        CSplashWnd about(CSplashWnd::Role::About, m_app.splashFile(), m_app.clock, this);
        about.exec();
        credit = about.creditFlag();
    }
    if (credit) {
        CCreditsDlg credits(this);
        credits.exec();
    }
}

void CMainFrame::cmdLanguage() {
    CLanguageDlg dlg(m_app.programDir(), m_app.ini(), m_app.system().resourceDll, m_app.ui(), this);
    dlg.exec();
}

} // namespace tunara::shell
