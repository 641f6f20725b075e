// Dragging in a memory pane: rows dragged inside the list set the player's play order, files
// and folders dropped from the desktop are queued for download.
#include "paneframe.h"
#include "playerlink.h"
#include "res/format.h"
#include "res/stringtable.h"
#include "transferqueue.h"
#include "uiservices.h"
#include "zamo_listview.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QUrl>

namespace tunara::device {

using res::str;
using res::StrId;

namespace {

// The reorder cursor: an arrow with a bar where the rows will stand; its hot spot is the tip.
QCursor reorderCursor() {
    static const QCursor cursor(
        res::StringTable::current().icon(QStringLiteral("cursor/reorder")).pixmap(32, 32), 1, 1);
    return cursor;
}

bool canTake(const QMimeData *data) {
    return data != nullptr && (data->hasUrls() || data->hasText());
}

} // namespace

int CZamo_ListView::rowAt(const QPoint &viewportPos) const {
    QTreeWidgetItem *row = itemAt(viewportPos);
    return row != nullptr ? indexOfTopLevelItem(row) : -1;
}

void CZamo_ListView::mousePressEvent(QMouseEvent *event) {
    if (m_dragging) {
        // Another button while dragging ends the drag without a move.
        endReorderDrag();
        clearSelection();
        return;
    }
    m_pressPos = event->position().toPoint();
    CMyListView::mousePressEvent(event);
}

void CZamo_ListView::startDrag(Qt::DropActions actions) {
    (void)actions;
    const int anchor = rowAt(m_pressPos);
    if (anchor < 0)
        return;
    // The player takes no command while a transfer streams or a call runs: the drag runs its
    // course under the not-allowed pointer and ends without a move.
    m_dragRefused = playerOccupied();
    m_draggedRows.clear();
    for (int i = 0; i < topLevelItemCount(); ++i) {
        if (topLevelItem(i)->isSelected())
            m_draggedRows.push_back(i);
    }
    m_dragAnchor = anchor;
    m_dropRow = anchor;
    m_dragging = true;
    viewport()->grabMouse();
    if (m_dragRefused) {
        viewport()->setCursor(Qt::ForbiddenCursor);
        m_frame.setMessageText(str(StrId::ReorderBusy));
    }
}

void CZamo_ListView::setDropRow(int row) {
    if (row == m_dropRow || m_dragRefused)
        return;
    if (QTreeWidgetItem *old = topLevelItem(m_dropRow))
        old->setData(ColName, DropHighlightRole, QVariant());
    viewport()->update();
    const bool allowed = row != m_dragAnchor && row != m_dragAnchor + 1;
    viewport()->setCursor(allowed ? reorderCursor() : QCursor(Qt::ForbiddenCursor));
    if (QTreeWidgetItem *now = topLevelItem(row)) {
        now->setData(ColName, DropHighlightRole, true);
        selectionModel()->setCurrentIndex(indexFromItem(now, ColName),
                                          QItemSelectionModel::NoUpdate);
    }
    m_dropRow = row < 0 || row >= topLevelItemCount() ? -1 : row;
}

void CZamo_ListView::drawRow(QPainter *painter, const QStyleOptionViewItem &option,
                             const QModelIndex &index) const {
    QStyleOptionViewItem look = option;
    if (index.siblingAtColumn(ColName).data(DropHighlightRole).toBool())
        look.state |= QStyle::State_Selected;
    CMyListView::drawRow(painter, look, index);
}

void CZamo_ListView::mouseMoveEvent(QMouseEvent *event) {
    if (!m_dragging) {
        CMyListView::mouseMoveEvent(event);
        return;
    }
    setDropRow(rowAt(event->position().toPoint()));
}

void CZamo_ListView::endReorderDrag() {
    m_dragging = false;
    viewport()->releaseMouse();
    viewport()->unsetCursor();
    for (int i = 0; i < topLevelItemCount(); ++i)
        topLevelItem(i)->setData(ColName, DropHighlightRole, QVariant());
    viewport()->update();
}

void CZamo_ListView::mouseReleaseEvent(QMouseEvent *event) {
    if (!m_dragging) {
        CMyListView::mouseReleaseEvent(event);
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    endReorderDrag();
    clearSelection();
    if (m_dragRefused) {
        m_frame.setMessageText(str(StrId::ReorderBusy));
        return;
    }
    const int t = rowAt(event->position().toPoint());
    m_dropRow = t;
    if (t == m_dragAnchor || t == m_dragAnchor + 1 || t < 0)
        return;
    commitReorder(std::min(t, topLevelItemCount()));
}

void CZamo_ListView::keyPressEvent(QKeyEvent *event) {
    if (m_dragging) {
        if (event->key() == Qt::Key_Escape) {
            endReorderDrag();
            clearSelection();
        }
        return;
    }
    CMyListView::keyPressEvent(event);
}

void CZamo_ListView::commitReorder(int target) {
    // A transfer may have started while the rows were dragged.
    if (playerOccupied()) {
        m_frame.setMessageText(str(StrId::ReorderBusy));
        return;
    }
    QStringList names;
    for (int r : m_draggedRows) {
        if (topLevelItem(r) == nullptr)
            return;
        names << topLevelItem(r)->text(ColName);
    }
    m_frame.setMessageText(str(StrId::Reordering));
    reorderNext(m_draggedRows, names, 0, target);
}

void CZamo_ListView::reorderNext(const std::vector<int> &rows, const QStringList &names,
                                 size_t next, int target) {
    if (next >= rows.size()) {
        m_frame.setMessageText(str(StrId::Ready));
        // The rows moved on the player; the list follows unless it was re-read meanwhile.
        for (size_t k = 0; k < rows.size(); ++k) {
            if (topLevelItem(rows[k]) == nullptr ||
                topLevelItem(rows[k])->text(ColName) != names[qsizetype(k)]) {
                refresh();
                return;
            }
        }
        reorderRows(rows, target);
        return;
    }
    // Rows above the target leave a gap that the target closes; rows below it go in after the
    // ones already moved.
    const int r = rows[next];
    const int position = r < target ? target : target + int(next) + 1;
    m_frame.link().setPosition(this, m_memoryId, names[qsizetype(next)].toUtf8(),
                               static_cast<unsigned char>(position),
                               [this, rows, names, next, target](const CallReply &reply) {
                                   if (reply.ok) {
                                       reorderNext(rows, names, next + 1, target);
                                       return;
                                   }
                                   showFailure(Situation::PaneRename, reply.code);
                                   m_frame.setMessageText(str(StrId::Ready));
                                   // The player may have moved some of the files already:
                                   // show what it holds.
                                   refresh();
                               });
}

void CZamo_ListView::reorderRows(const std::vector<int> &rows, int target) {
    QTreeWidgetItem *before = target < topLevelItemCount() ? topLevelItem(target) : nullptr;
    QList<QTreeWidgetItem *> moved;
    for (int r : rows)
        moved << topLevelItem(r);
    QSignalBlocker blocker(selectionModel());
    for (auto it = rows.rbegin(); it != rows.rend(); ++it)
        takeTopLevelItem(*it);
    const int at = before != nullptr ? indexOfTopLevelItem(before) : topLevelItemCount();
    insertTopLevelItems(at, moved);
    for (QTreeWidgetItem *row : moved)
        row->setSelected(true);
    for (int i = 0; i < topLevelItemCount(); ++i)
        topLevelItem(i)->setText(ColOrder, res::formatText(QStringLiteral("%03d"), i + 1));
    blocker.unblock();
    emit itemSelectionChanged();
}

void CZamo_ListView::dragEnterEvent(QDragEnterEvent *event) {
    if (canTake(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void CZamo_ListView::dragMoveEvent(QDragMoveEvent *event) {
    if (canTake(event->mimeData()))
        event->acceptProposedAction();
    else
        event->ignore();
}

void CZamo_ListView::dropEvent(QDropEvent *event) {
    const QMimeData *dropped = event->mimeData();
    if (!canTake(dropped)) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    // The file manager waits for the drop to return: the queue and any notice come after it.
    const QList<QUrl> urls = dropped->hasUrls() ? dropped->urls() : QList<QUrl>();
    const QString text = dropped->hasUrls() ? QString() : dropped->text();
    QMetaObject::invokeMethod(
        this, [this, urls, text] { dropFiles(urls, text); }, Qt::QueuedConnection);
}

void CZamo_ListView::dropFiles(const QList<QUrl> &urls, const QString &text) {
    QList<QUrl> items = urls;
    // Plain text: one path (or file: address) a line, as some file managers and terminals send.
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString entry = line.trimmed();
        if (entry.isEmpty())
            continue;
        items << (QDir::isAbsolutePath(entry) ? QUrl::fromLocalFile(entry) : QUrl(entry));
    }
    QStringList local;
    QStringList remote;
    for (const QUrl &url : items) {
        if (url.isLocalFile())
            local << url.toLocalFile();
        else
            remote << url.toDisplayString();
    }
    m_frame.bringToFront();
    if (!remote.isEmpty())
        m_frame.ui().message(
            m_frame.dialogParent(),
            res::fmt(StrId::DropNotLocal, remote.join(QLatin1Char('\n')).toUtf8().constData()),
            MessageIcon::Warning);
    if (!local.isEmpty())
        queueLocalPaths(local);
}

} // namespace tunara::device
