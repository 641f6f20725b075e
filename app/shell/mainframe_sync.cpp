// The main window's side of Sync with Library (command 32830): offered while a player is
// connected and no transfer runs; it opens the one Sync dialog of the window, whose choices
// are kept per memory in the profile.
#include "mainframe.h"
#include "settings.h"
#include "transfer/syncdlg.h"
#include "transfer/transferdlg.h"
#include "tunaraapp.h"

#include <KestoUSB.h>

namespace tunara::shell {

void CMainFrame::buildSyncCommand() {
    m_commands.add(
        Cmd::SyncLibrary, [this](QObject *) { cmdSyncLibrary(); },
        [this](QObject *) {
            return m_connected && !transferBusy() &&
                   (m_syncDlg == nullptr || !m_syncDlg->running());
        });
}

void CMainFrame::cmdSyncLibrary() {
    if (m_transferDlg == nullptr)
        return;
    if (m_syncDlg == nullptr) {
        CTunaraApp *app = &m_app; // outlives the window and its dialogs
        m_syncDlg = std::make_unique<transfer::CSyncDlg>(
            *this, *m_transferDlg,
            [app](unsigned char memory) { return readSyncChoice(app->profile(), memory); },
            [app](unsigned char memory, const transfer::SyncChoice &choice) {
                writeSyncChoice(app->profile(), memory, choice);
            },
            this);
        // Its runs and their end change what the window offers.
        connect(m_syncDlg.get(), &transfer::CSyncDlg::syncFinished, &m_commands,
                &CommandTable::postUpdateUi);
    }
    std::vector<unsigned char> memories{KSUSB_MEM_FLASH};
    if (cardPaneShown())
        memories.push_back(KSUSB_MEM_CARD);
    m_syncDlg->setMemories(memories);
    m_syncDlg->show();
    m_syncDlg->raise();
    m_syncDlg->activateWindow();
}

} // namespace tunara::shell
