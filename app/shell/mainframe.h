// The main window: menus, tool bar, status bar (message, capacity, connection), the two memory
// panes side by side, and the connection to the player (Refresh memory and device changes).
#pragma once

#include "chrome/paintpacer.h"
#include "commandtable.h"
#include "device/folderintake.h"
#include "device/paneframe.h"
#include "device/playerlink.h"
#include "devicewatch.h"
#include "service/servicecontext.h"
#include "transfer/transferhost.h"
#include "zamo_expdoc.h"

#include <QMainWindow>

#include <functional>
#include <memory>

class QLabel;
class QMenu;
class QSplitter;
class QToolBar;

namespace tunara::device {
class CZamo_ListView;
}
namespace tunara::transfer {
class CSyncDlg;
class CTransferDlg;
} // namespace tunara::transfer

namespace tunara::shell {

class CSplashWnd;
class CTunaraApp;
class CZamo_ExpView;

class CMainFrame : public QMainWindow, public device::PaneFrame, public transfer::TransferHost {
    Q_OBJECT
public:
    static constexpr int MinimumWidth = 600;
    static constexpr int MinimumHeight = 300;
    static constexpr int MinimumColumnWidth = 100;

    explicit CMainFrame(CTunaraApp &app, QWidget *parent = nullptr);
    ~CMainFrame() override;

    CommandTable &commands() { return m_commands; }
    CZamo_ExpDoc &document() { return m_doc; }
    CZamo_ExpView *hostView(int column) const { return m_views[column]; }
    device::CZamo_ListView *list(int column) const;
    device::CZamo_ListView *activeList() const { return m_active; }
    bool cardPaneShown() const;
    bool connected() const { return m_connected; }
    QString messageText() const override;
    QString capacityText() const;
    QToolBar *toolBar() const { return m_toolBar; }
    DeviceWatch &deviceWatch() { return m_watch; }
    // The start-up splash; it posts the first Refresh when it goes away.
    CSplashWnd *splash() const { return m_splash.get(); }
    // Replaces what Shift+Alt+About runs when SysReg is set (the service dialog by default).
    void setServiceDialog(std::function<void()> run) { m_serviceDialog = std::move(run); }

    // The transfer queue's busy state; the transfer manager sets it once it exists.
    void setTransferBusy(bool busy);
    // Set while the transfer manager says so or its queue reports a running transfer.
    bool transferBusy() const;

    // The connection flow (command 32817).
    void refreshMemory();
    // The device-change flow: the player came or went.
    void onDeviceNodesChanged();
    // Watches the flags of a connected player for a card that came or went.
    void pollCardState();

    // PaneFrame
    void setMessageText(const QString &text) override;
    void setCapacityText(const QString &text) override;
    void setConnected(bool connected) override;
    int modelCode() const override;
    QFont listFont() const override;
    device::UiServices &ui() override;
    device::PlayerLink &link() override { return m_link; }
    QWidget *dialogParent() override { return this; }
    Qt::KeyboardModifiers keyboardModifiers() const override;
    void postCommand(int id, QObject *target) override;
    void setRefreshButtonEnabled(bool enabled) override;
    void paneActivated(QObject *pane) override;
    device::TransferQueue *transferQueue() override { return m_transferQueue; }
    // The transfer manager hands itself over once it exists.
    void setTransferQueue(device::TransferQueue *queue) { m_transferQueue = queue; }
    QMenu *fileMenu() override { return m_fileMenu; }
    QString downloadFolder() const override;
    void bringToFront() override;

    // The transfer manager's dialog, created hidden with the window.
    transfer::CTransferDlg *transferDialog() const { return m_transferDlg.get(); }
    // The Sync with Library dialog, once the command has opened it (mainframe_sync.cpp).
    transfer::CSyncDlg *syncDialog() const { return m_syncDlg.get(); }
    // Files named on the command line or handed over by a second start: queued as downloads
    // into `memoryId` once the first Refresh has connected (at once when it already has); a
    // folder gives its music in album order (folderintake.h).
    void queueStartupFiles(unsigned char memoryId, const QStringList &paths);
    // Hand-overs whose folders are still being scanned.
    int pendingIntakes() const { return m_intake.pending(); }

    // TransferHost (ui, modelCode and setMessageText are shared with PaneFrame)
    transfer::TransferOptions transferOptions() const override;
    void storeDownloadFolder(const QString &folder) override;
    QWidget *statusBarWidget() override;
    QRect messagePaneRect() const override;
    void downloadFinished(unsigned char memoryId) override;
    QStringList playerNames(unsigned char memoryId) const override;
    std::optional<std::uint64_t> freeBytes(unsigned char memoryId) const override;
    void openOptions() override;
    void transferBusyChanged(bool busy) override { setTransferBusy(busy); }
    // The one answer to "does anything talk to the player now": a call of the player link
    // (queued or running), a refresh, the transfer queue or a service transfer. Files handed in
    // and queue starts wait while it holds (mainframe_transfer.cpp).
    bool deviceBusy() const override;
    QString programDir() const override;

    // The service tools (mainframe_service.cpp). The About command opens the service dialog
    // with SHIFT and ALT held when "SysReg" is set.
    service::ServiceContext serviceContext();
    void openServiceDialog();
    // Volume Label and Font Download are offered while no row is selected in the pane whose
    // rows changed last and no transfer runs.
    bool serviceCommandsAllowed() const { return m_serviceCommandsAllowed; }

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildCommands();
    void buildMenus();
    void buildToolBar();
    void buildStatusBar();
    void buildPanes();
    void buildTransfer();
    void toggleTransferStatus();
    void flushStartupFiles();
    void showCardPane(bool show);
    void halveColumns();
    void showFlagNotices(unsigned flags);
    void timedMessage(const QString &text);
    device::CZamo_ListView *paneFor(QObject *target) const;
    // Runs the connection flow from the event loop (a player change, a poll, a refresh asked
    // again); unlike the command it waits for a busy link instead of being refused.
    void requestRefresh();
    void connectAnswered(const device::ConnectReply &reply);
    void refreshEnded();
    // Device work has ended: once nothing talks to the player, held hand-overs are queued and
    // a held queue start runs (posted, so that the ending work has returned first).
    void deviceWorkEnded();
    void resumeHeldWork();
    void setServiceRunning(bool running);

    void cmdDeviceInfo();
    void cmdHomePage();
    void cmdHelp();
    void cmdFavorites();
    void cmdVoiceConverter();
    void cmdOption();
    void cmdFont();
    void cmdEditId3();
    void cmdAbout();
    void cmdLanguage();
    void startSplash();
    void buildServiceCommands();
    void buildSyncCommand();
    void cmdSyncLibrary();
    void addServiceActions(QMenu *menu);
    void watchServiceSelection();

    CTunaraApp &m_app;
    CZamo_ExpDoc m_doc;
    CommandTable m_commands;
    // Declared after the commands and before the panes: it goes after them, waiting for a
    // call in progress, and nothing answers into a half-destroyed window.
    device::PlayerLink m_link;
    // The main window and the transfer dialog paint at most once per interval.
    chrome::PaintPacer m_pacer;
    DeviceWatch m_watch;
    QToolBar *m_toolBar = nullptr;
    QMenu *m_fileMenu = nullptr;
    QLabel *m_message = nullptr;
    QLabel *m_capacity = nullptr;
    QLabel *m_connection = nullptr;
    QSplitter *m_splitter = nullptr;
    CZamo_ExpView *m_views[2] = {nullptr, nullptr};
    device::CZamo_ListView *m_active = nullptr;
    bool m_connected = false;
    bool m_transferBusy = false;
    device::TransferQueue *m_transferQueue = nullptr;
    std::unique_ptr<transfer::CTransferDlg> m_transferDlg;
    // Goes before the transfer dialog, whose queue a sync run watches.
    std::unique_ptr<transfer::CSyncDlg> m_syncDlg;
    // Files waiting for the first connection: memory id and what was handed in (folders
    // scanned), in the order handed in.
    QList<QPair<unsigned char, device::Intake>> m_startupFiles;
    // Scans the folders handed in, on a worker thread.
    device::FolderIntake m_intake;
    bool m_refreshedOnce = false;
    bool m_firstShow = true;
    std::unique_ptr<CSplashWnd> m_splash;
    std::function<void()> m_serviceDialog;
    bool m_refreshing = false;
    bool m_refreshAgain = false;
    int m_serviceRuns = 0; // service transfers in progress
    bool m_resumePosted = false;
    unsigned m_pendingFlags = 0;
    bool m_placementSaved = false;
    bool m_serviceCommandsAllowed = false;
    // Context of the selection watch: it goes first, before the commands and the panes.
    QObject m_serviceWatch;
};

} // namespace tunara::shell
