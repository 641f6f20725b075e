// The transfer manager: one modeless dialog for the whole run of the program that holds the
// queue of downloads and uploads (its list is the queue: one row per entry, the row's icon the
// entry's state) and runs it one entry after another on the library's worker, showing the
// current file's and the whole queue's progress. Closing it only hides it.
#pragma once

#include "device/transferqueue.h"
#include "queueentry.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QPointer>
#include <QProgressBar>
#include <QTimer>

#include <cstdint>
#include <memory>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tunara::device {
struct CallReply;
}

namespace tunara::transfer {

class NotifyBridge;
class TransferHost;

class CTransferDlg : public QDialog, public device::TransferQueue {
    Q_OBJECT
public:
    enum Column : int { ColStatus = 0, ColMemory, ColRemote, ColLocal, ColStat, ColumnCount };
    // Bytes between progress notifications asked of the library.
    static constexpr std::uint32_t ProgressStep = 10000;
    // Texts and bars are repainted at most this often while a file moves.
    static constexpr int RepaintIntervalMs = 33;
    // The status-bar bar: pane 0 shrunk by this, its left edge moved right by that.
    static constexpr int StatusBarInset = 1;
    static constexpr int StatusBarTextRoom = 40;
    // The bars count whole percent per row.
    static constexpr int MaxPercent = 100;

    explicit CTransferDlg(TransferHost &host, QWidget *parent = nullptr);
    ~CTransferDlg() override;

    // TransferQueue
    int addDownloads(unsigned char memoryId, const QStringList &localPaths) override;
    int addDownloadsInOrder(unsigned char memoryId, const QStringList &localPaths) override;
    int addUploads(unsigned char memoryId, const QStringList &remoteNames,
                   const QStringList &localPaths) override;
    bool busy() const override { return m_busy; }

    // The dialog's commands (buttons, row menu, and posted by the dialog to itself).
    void start();       // Start Transfer
    void removeItems(); // Remove Item: the selected rows but the running one
    void stop();        // Stop: every row but the running one
    void closeDialog(); // Close / Hide / Close And Clear: hides
    void reposition();  // places the status-bar bar in pane 0 (after every layout change)
    void openOptions(); // Transfering option
    // The host's device work has ended: a start held back meanwhile runs now.
    void resumeHeldStart();

    int current() const { return m_current; }
    bool finished() const { return m_finished; }
    bool hadError() const { return m_hadError; }
    // A start waits for the host's other device work to end.
    bool startHeld() const { return m_startHeld; }
    // The target the library's worker posts to; it lives until the worker's last notification.
    std::weak_ptr<const NotifyBridge> notifyBridge() const { return m_bridge; }
    QTreeWidget *queueList() const { return m_list; }
    QProgressBar *statusBarProgress() const { return m_statusBar.data(); }
    // The state (icon index) of a row.
    static int stateOf(const QTreeWidgetItem *row);
    // Picture of each state, in icon-index order.
    const QIcon &stateIcon(int index) const { return m_icons[index]; }
    // How many times the progress texts were painted (the bench watches the throttle).
    int progressPaints() const { return m_progressPaints; }

signals:
    // A start found no waiting row: the queue has run to its end.
    void queueFinished();

protected:
    void customEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void reject() override;

private:
    enum class Display { Idle, Running, Finished };

    void buildControls();
    void buildList();
    void postStart();
    void postStop();
    QTreeWidgetItem *appendRow(EntryKind kind, res::StrId status, const QString &remote,
                               const QString &local);
    void setState(QTreeWidgetItem *row, int icon, const QString &status);
    void queued();
    bool refusedByMpegCheck(QTreeWidgetItem *row, unsigned char memoryId, const QString &path);
    void failCurrent(const QString &message);
    QTreeWidgetItem *currentRow() const;
    void showRowMenu(const QPoint &pos);
    bool removableSelected() const;

    void onStarted(std::intptr_t total);
    void onProgress(std::intptr_t done);
    void onDone(std::intptr_t moved);
    void onFailed(int code);
    void paintProgress();
    void resetFileProgress();
    void startVoiceConverter(const QString &localPath);
    int nextWaitingRow() const;
    void refreshAfterDownload();
    void flushPaneRefresh();
    // The start call's answer from the player link: a refused start fails the row.
    void startAnswered(const device::CallReply &reply);

    Display display() const;
    void updateDisplay();
    void updateButtons();
    void setAllBars(int maximum, int value);
    void setCaptionPercent(const QString &text);

    TransferHost &m_host;
    // Shared with the running worker, which lets go of it after its last notification.
    std::shared_ptr<NotifyBridge> m_bridge;

    QLabel *m_queueCount = nullptr;    // "Total %d file(s), Current %d file(s)"
    QProgressBar *m_overall = nullptr; // the whole queue
    QLabel *m_overallPercent = nullptr;
    QPlainTextEdit *m_info = nullptr; // from/to of the current file, hints, summary
    QProgressBar *m_file = nullptr;   // the current file
    QLabel *m_filePercent = nullptr;
    QLabel *m_bytes = nullptr; // bytes, time and speed of the current file
    QPushButton *m_start = nullptr;
    QPushButton *m_remove = nullptr; // hidden; reached through the row menu
    QPushButton *m_stop = nullptr;
    QPushButton *m_close = nullptr;
    QPushButton *m_option = nullptr;
    QTreeWidget *m_list = nullptr;
    QPointer<QProgressBar> m_statusBar; // child of the main window's status bar
    QIcon m_icons[IconCount];
    QIcon m_menuIcon;

    int m_count = 0;
    int m_current = -1;
    std::uint64_t m_size = 0;
    bool m_busy = false;
    bool m_startHeld = false;
    bool m_startCalling = false; // the start call is on the player link
    bool m_finished = false;
    bool m_hadError = false;
    EntryKind m_kind = EntryKind::DownloadFlash;
    unsigned char m_memory = 0;
    bool m_isDownload = true;
    QString m_localPath;
    QElapsedTimer m_startTime;
    double m_seconds = 0.0;

    // Progress painting: the latest numbers, painted at most every RepaintIntervalMs.
    std::uint64_t m_progressBytes = 0;
    bool m_progressDirty = false;
    QElapsedTimer m_lastPaint;
    QTimer m_paintTimer;
    int m_progressPaints = 0;

    // The pane refresh after a download, posted once: downloads finishing before it runs share it.
    bool m_paneRefreshPending = false;
    unsigned char m_pendingMemory = 0;
};

} // namespace tunara::transfer
