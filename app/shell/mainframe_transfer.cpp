// The main window's side of the transfer manager: the dialog created hidden with the window,
// File Transfer Status, what the dialog asks of the window, and files handed in from the
// command line or by a second start.
#include "device/folderintake.h"
#include "device/zamo_listview.h"
#include "mainframe.h"
#include "res/stringtable.h"
#include "settings.h"
#include "transfer/transferdlg.h"
#include "tunaraapp.h"

#include <QLabel>
#include <QSettings>
#include <QStatusBar>

namespace tunara::shell {

void CMainFrame::buildTransfer() {
    m_transferDlg = std::make_unique<transfer::CTransferDlg>(*this, this);
    setTransferQueue(m_transferDlg.get());
    // The check mark of File Transfer Status follows the dialog however it is shown or hidden.
    m_transferDlg->installEventFilter(this);
    m_pacer.pace(m_transferDlg.get());
}

void CMainFrame::toggleTransferStatus() {
    if (m_transferDlg->isVisible()) {
        m_transferDlg->hide();
    } else {
        m_transferDlg->show();
        m_transferDlg->raise();
    }
}

transfer::TransferOptions CMainFrame::transferOptions() const {
    const Options &o = m_app.options();
    transfer::TransferOptions t;
    t.showXferDlg = o.showXferDlg != 0;
    t.autoStartXfer = o.autoStartXfer != 0;
    t.hideXferDlg = o.hideXferDlg != 0;
    t.blockMpeg2Ext = m_app.system().blockMpeg2Ext != 0;
    t.convert = o.convert != 0;
    t.convertKbps = o.convertBitrate;
    t.convertVbr = o.convertVbr != 0;
    t.convertCover = o.convertCover != 0;
    t.level = o.convertLevel == LevelAlbum   ? media::LevelMode::Album
              : o.convertLevel == LevelTrack ? media::LevelMode::Track
                                             : media::LevelMode::Off;
    t.levelTags = o.convertLevelTags != 0;
    return t;
}

void CMainFrame::storeDownloadFolder(const QString &folder) {
    m_app.profile().setValue(QLatin1String(keys::Option) + QLatin1Char('/') +
                                 QLatin1String(keys::DownloadFolder),
                             folder);
}

QWidget *CMainFrame::statusBarWidget() {
    return statusBar();
}

QRect CMainFrame::messagePaneRect() const {
    return m_message->geometry();
}

void CMainFrame::openOptions() {
    m_commands.execute(int(Cmd::Option));
}

QString CMainFrame::programDir() const {
    return m_app.programDir();
}

void CMainFrame::queueStartupFiles(unsigned char memoryId, const QStringList &paths) {
    if (paths.isEmpty())
        return;
    if (device::anyFolder(paths))
        setMessageText(device::scanningText(paths));
    m_intake.start(paths, [this, memoryId](const device::Intake &intake) {
        m_startupFiles.append({memoryId, intake});
        if (intake.folders > 0) // what was left out is said once they are queued
            setMessageText(res::str(res::StrId::Ready));
        if (m_refreshedOnce && m_connected)
            flushStartupFiles();
    });
}

void CMainFrame::flushStartupFiles() {
    // Only a connected player takes them; otherwise they wait for the next Refresh. While other
    // work talks to the player (a firmware stream in a nested event loop, say) they wait for
    // its end, so that no download's commands land inside it.
    if (!m_connected || m_transferQueue == nullptr || deviceBusy())
        return;
    const auto batches = std::exchange(m_startupFiles, {});
    for (const auto &[memoryId, intake] : batches) {
        device::queueIntake(*m_transferQueue, memoryId, intake);
        if (intake.folders > 0) {
            setMessageText(device::intakeStatusText(intake));
            device::reportIntake(m_app.ui(), this, intake);
        }
    }
}

bool CMainFrame::deviceBusy() const {
    return m_link.busy() || m_refreshing || transferBusy() || m_serviceRuns > 0;
}

void CMainFrame::setServiceRunning(bool running) {
    m_serviceRuns += running ? 1 : -1;
    if (!running)
        deviceWorkEnded();
}

void CMainFrame::deviceWorkEnded() {
    if (std::exchange(m_resumePosted, true))
        return;
    QMetaObject::invokeMethod(this, &CMainFrame::resumeHeldWork, Qt::QueuedConnection);
}

void CMainFrame::resumeHeldWork() {
    m_resumePosted = false;
    // Work that began meanwhile ends with another call here.
    if (deviceBusy())
        return;
    if (m_refreshedOnce)
        flushStartupFiles();
    if (m_transferDlg != nullptr)
        m_transferDlg->resumeHeldStart();
}

} // namespace tunara::shell
