// The file list of one player memory: its rows are re-read from the player at each refresh,
// in the player's play order, with size, type, date and order columns; the capacity texts go
// to the status bar and the usage numbers to the caption strip's gauge.
#pragma once

#include "folderintake.h"
#include "mylistview.h"
#include "playererrors.h"
#include "res/commandid.h"

#include <KestoUSB.h>

#include <QIcon>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <vector>

class QUrl;

namespace tunara::device {

class PaneFrame;
struct TableReply;

// The numbers the caption strip's gauge shows.
struct GaugeNumbers {
    uint64_t total = 0;
    uint64_t used = 0;
    int count = 0;
};

class CZamo_ListView : public CMyListView {
    Q_OBJECT
public:
    enum Column : int { ColName = 0, ColSize = 1, ColType = 2, ColModified = 3, ColOrder = 4 };
    static constexpr int ColumnCount = 5;
    static constexpr int OrderColumnWidth = 50;
    // Set on the name cell of the row a reorder drag is over (the drop highlight).
    static constexpr int DropHighlightRole = Qt::UserRole + 1;

    // View update hints of the document (the program's one enum, as plain numbers for signals).
    static constexpr int HintListFont = int(res::ViewHint::ListFont);
    static constexpr int HintDownloadDone = int(res::ViewHint::DownloadDone);
    static constexpr int HintReRead = int(res::ViewHint::ReRead);

    explicit CZamo_ListView(PaneFrame &frame, QWidget *parent = nullptr);
    ~CZamo_ListView() override;

    // Memory id and pane name; a pane without a memory id (0) makes no library call.
    void setMemory(unsigned char memoryId);
    unsigned char memoryId() const { return m_memoryId; }
    QString paneName() const;

    void initialUpdate() override;
    void setListFont(const QFont &font);

    // Asks the player link to re-read the memory; the rows are rebuilt when the table arrives
    // (refreshed() tells). Returns whether a read was asked for.
    // `afterDownload`: only the table is read; a download changes nothing else of the player,
    // and the queue's next file waits for this read.
    bool refresh(bool afterDownload = false);
    // refresh() after a connection attempt that failed and has said so: a failed read is not
    // told again.
    bool refreshQuietly();
    // Document update: hint 1 list font, 2 refresh now, 4 post Refresh (for this memory only).
    void onUpdate(int hint, int value);
    // Activation: colours of list and caption, and the status text into status pane 1.
    void setActive(bool active);
    bool isActivePane() const { return m_active; }

    QString totalText() const { return m_totalText; }
    QString freeText() const { return m_freeText; }
    QString statusText() const;
    GaugeNumbers gauge() const { return m_gauge; }
    const KSUSB_TOpenTable &table() const { return *m_table; }

    // Arrange order: asks, then sets the player's play order to the list's order. Failing
    // rows do not stop the run; at the end they are reported and the rows re-read.
    void arrangeOrder();

    // The pane's commands on its selected rows (each asks and reports as the user expects).
    void deleteFiles();
    void renameFiles();
    void formatMemory();
    void uploadToPc();
    void downloadToDevice();

    // Files dropped from the desktop (a URL list, or plain paths one a line): local files go
    // to the transfer queue's downloads, a folder's music in album order; remote addresses are
    // refused with a notice.
    void dropFiles(const QList<QUrl> &urls, const QString &text);
    // Intakes of dropped or chosen folders whose files have not reached the queue yet.
    int pendingIntakes() const { return m_intake.pending(); }

    // The selection summary of the last list that reported a change: no row selected there.
    // Volume Label and Font Download are available while it holds.
    static bool noSelectionInLastPane() { return s_noSelection; }

    // The reorder drag: rows dragged and the row under the pointer (-1 none); for the tests.
    bool reorderDragging() const { return m_dragging; }
    int dropRow() const { return m_dropRow; }

signals:
    void gaugeChanged(const GaugeNumbers &numbers);
    void activeChanged(bool active);
    // A refresh ended: the rows were rebuilt (true) or the player failed (false).
    void refreshed(bool rebuilt);

protected:
    void afterHeaderSort() override;
    void focusInEvent(QFocusEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool edit(const QModelIndex &index, EditTrigger trigger, QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void startDrag(Qt::DropActions actions) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void drawRow(QPainter *painter, const QStyleOptionViewItem &option,
                 const QModelIndex &index) const override;

private:
    void showTable(const TableReply &reply);
    // Rebuilds the rows from the table, keeping the first `kept` (they show its first entries).
    void fillRows(int kept = 0);
    // How many of the rows already show the start of `next` (0: all are built anew).
    int keptRows(const KSUSB_TOpenTable &next) const;
    void summariseSelection();
    // A transfer streams or a player call runs: the player takes no other command now.
    bool playerOccupied();
    // The message for a library failure in the situation of the command.
    QString failureText(Situation situation, int code) const;
    void showFailure(Situation situation, int code);
    // Local files and folders for download into this pane's memory (folderintake.h).
    void queueLocalPaths(const QStringList &paths);
    // The steps of the commands, each run when the player answered the one before.
    struct RenameTarget {
        QString name;
        QRect label; // the row's name cell, global
    };
    void deleteNext(const QStringList &names, int next);
    void renameNext(const QList<RenameTarget> &targets, int next);
    void arrangeNext(const QStringList &names, int next, int failed, int lastCode);
    void reorderNext(const std::vector<int> &rows, const QStringList &names, size_t next,
                     int target);
    int rowAt(const QPoint &viewportPos) const;
    void setDropRow(int row);
    void endReorderDrag();
    void commitReorder(int target);
    void reorderRows(const std::vector<int> &rows, int target);

    PaneFrame &m_frame;
    unsigned char m_memoryId = 0;
    std::unique_ptr<KSUSB_TOpenTable> m_table;
    QString m_totalText;
    QString m_freeText;
    GaugeNumbers m_gauge;
    bool m_active = false;
    bool m_quietFailure = false; // the read under way tells no failure
    QIcon m_typeIcons[4];
    // A click on a selected row renames once no double click follows.
    QTimer m_delayedRename;

    // The reorder drag: rows selected when it began (ascending), the row under the pointer
    // then, and the row under it now.
    bool m_dragging = false;
    int m_filledModel = 0;      // the model code the rows' type texts were made for
    bool m_dragRefused = false; // begun while a transfer runs: ends without a move
    std::vector<int> m_draggedRows;
    int m_dragAnchor = -1;
    int m_dropRow = -1;
    QPoint m_pressPos;

    // Last: it waits for folder scans still running before the pane goes.
    FolderIntake m_intake;

    static bool s_noSelection;
};

} // namespace tunara::device
