// The transfer manager: one modeless dialog for the whole run of the program that shows the queue
// of downloads and uploads (its list shows the queue's rows, each row's icon the entry's state)
// while the queue runs one entry after another on the library's worker, and the current file's
// and the whole queue's progress. Closing it only hides it.
#pragma once

#include "device/transferqueue.h"
#include "queueentry.h"
#include "queuemodel.h"

#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QPointer>
#include <QProgressBar>
#include <QTimer>

#include <array>
#include <cstdint>
#include <memory>

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTreeView;

namespace tunara::transfer {

class NotifyBridge;
class QueueRunner;
class TransferHost;

class CTransferDlg : public QDialog, public device::TransferQueue {
    Q_OBJECT
public:
    static constexpr int ColumnCount = QueueModel::ColumnCount;
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
    bool busy() const override { return m_queue->busy(); }
    // Queues the downloads of a sync plan (QueueModel::addPlanned) and starts them, whatever
    // the options say: the user has asked for the run.
    void addPlanned(unsigned char memoryId,
                    const std::vector<QueueModel::PlannedDownload> &downloads, std::uint64_t batch);

    // The dialog's commands (buttons, row menu, and posted by the dialog to itself).
    void start();       // Start Transfer
    void removeItems(); // Remove Item: the selected rows but the running one
    void stop();        // Stop: every row but the running one
    void closeDialog(); // Close / Hide / Close And Clear: hides
    void reposition();  // places the status-bar bar in pane 0 (after every layout change)
    void openOptions(); // Transfering option
    // The host's device work has ended: a start held back meanwhile runs now.
    void resumeHeldStart();

    const QueueModel &queue() const { return *m_queue; }
    int current() const { return m_queue->current(); }
    bool finished() const { return m_queue->finished(); }
    bool hadError() const { return m_queue->hadError(); }
    // A start waits for the host's other device work to end.
    bool startHeld() const { return m_queue->startHeld(); }
    // The target the library's worker posts to; it lives until the worker's last notification.
    std::weak_ptr<const NotifyBridge> notifyBridge() const;
    QTreeView *queueList() const { return m_list; }
    QProgressBar *statusBarProgress() const { return m_statusBar.data(); }
    // Picture of each state, in icon-index order.
    const QIcon &stateIcon(int index) const { return m_icons[size_t(index)]; }
    // How many times the progress texts were painted (the bench watches the throttle).
    int progressPaints() const { return m_progressPaints; }

signals:
    // A start found no waiting row: the queue has run to its end.
    void queueFinished();

protected:
    void closeEvent(QCloseEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void reject() override;

private:
    enum class Display { Idle, Running, Finished };

    void buildControls();
    void buildList();
    void showRowMenu(const QPoint &pos);
    bool removableSelected() const;
    QList<int> selectedRows() const;

    // The queue's run as the dialog shows it.
    // The row the run has reached (converting or starting): its from/to, progress from 0.
    void showEntry(int row);
    void entryStarting(int row);
    // The row's texts and size as it starts (begun on the link, or about to be).
    void showStarting(int row);
    void onStarted(std::intptr_t total);
    void onProgress(std::intptr_t done);
    void onDone(std::intptr_t moved);
    void onFailed(int code);
    void paintProgress();
    void resetFileProgress();

    Display display() const;
    void updateDisplay();
    void updateButtons();
    void setAllBars(int maximum, int value);
    void setCaptionPercent(const QString &text);
    // Status pane 0 back to "Ready." when it still shows the percent we wrote there.
    void clearStatusPercent();

    TransferHost &m_host;
    QueueModel *m_queue = nullptr;
    QueueRunner *m_runner = nullptr;

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
    QTreeView *m_list = nullptr;
    QPointer<QProgressBar> m_statusBar; // child of the main window's status bar
    std::array<QIcon, IconCount> m_icons;
    QIcon m_menuIcon;

    // The current file: its size (the start notification's total) and its clock.
    std::uint64_t m_size = 0;
    QElapsedTimer m_startTime;
    double m_seconds = 0.0;

    // Progress painting: the latest numbers, painted at most every RepaintIntervalMs.
    std::uint64_t m_progressBytes = 0;
    bool m_progressDirty = false;
    QElapsedTimer m_lastPaint;
    QTimer m_paintTimer;
    int m_progressPaints = 0;
    QString m_percentShown; // the percent last written to status pane 0
};

} // namespace tunara::transfer
