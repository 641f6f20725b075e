// The commands of a memory pane on its selected rows: delete, rename, format, arrange order,
// upload to the PC, download to the player, the selection summary and the context menu.
#include "media/safefilename.h"
#include "memoryformat.h"
#include "paneframe.h"
#include "playerlink.h"
#include "renamedlg.h"
#include "res/format.h"
#include "res/stringtable.h"
#include "transferqueue.h"
#include "uiservices.h"
#include "zamo_listview.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>

namespace tunara::device {

using res::str;
using res::StrId;

namespace {

// Where the context menu opens when it is asked for from the keyboard: the list's top-left
// client corner plus this many pixels right and down.
constexpr int KeyboardMenuOffset = 5;

constexpr uint64_t MiB = 1048576;
constexpr uint64_t KiB = 1024;

const QString FileTag = QStringLiteral("\n\nFILE: ");

// A filter of the string table ("Music Files(*.mp3)|*.mp3|All Files(*.*)|*.*||") in the file
// dialog's form ("Music Files(*.mp3) (*.mp3);;All Files(*.*) (*)").
QString qtFilter(const QString &tableFilter) {
    const QStringList parts = tableFilter.split(QLatin1Char('|'));
    QStringList out;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty())
            break;
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (QString &p : patterns) {
            if (p == QLatin1String("*.*"))
                p = QStringLiteral("*");
        }
        out << parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
    }
    return out.join(QStringLiteral(";;"));
}

// The rows a command acts on, in ascending row order.
QList<QTreeWidgetItem *> selectedRows(const QTreeWidget &list) {
    QList<QTreeWidgetItem *> out;
    for (int i = 0; i < list.topLevelItemCount(); ++i) {
        if (list.topLevelItem(i)->isSelected())
            out << list.topLevelItem(i);
    }
    return out;
}

} // namespace

QString CZamo_ListView::failureText(Situation situation, int code) const {
    return str(playerMessageId(situation, code));
}

void CZamo_ListView::showFailure(Situation situation, int code) {
    m_frame.ui().message(m_frame.dialogParent(), failureText(situation, code), MessageIcon::Stop);
}

bool CZamo_ListView::playerOccupied() {
    const TransferQueue *queue = m_frame.transferQueue();
    return (queue != nullptr && queue->busy()) || m_frame.link().busy();
}

void CZamo_ListView::deleteFiles() {
    const QList<QTreeWidgetItem *> rows = selectedRows(*this);
    if (rows.isEmpty() || m_memoryId == 0)
        return;
    if (!m_frame.ui().askYesNo(m_frame.dialogParent(), str(StrId::AskDelete)))
        return;
    QStringList names;
    for (const QTreeWidgetItem *row : rows)
        names << row->text(ColName);
    deleteNext(names, 0);
}

void CZamo_ListView::deleteNext(const QStringList &names, int next) {
    if (next >= names.size()) {
        refresh();
        return;
    }
    const QString &name = names[next];
    m_frame.setMessageText(str(StrId::Deleting) + QLatin1Char('"') + name + QLatin1Char('"'));
    m_frame.link().deleteFile(this, m_memoryId, name.toUtf8(),
                              [this, names, next](const CallReply &r) {
                                  if (r.ok) {
                                      deleteNext(names, next + 1);
                                      return;
                                  }
                                  // The first failure ends the run.
                                  showFailure(Situation::PaneDelete, r.code);
                                  refresh();
                              });
}

void CZamo_ListView::renameFiles() {
    QList<RenameTarget> targets;
    for (QTreeWidgetItem *row : selectedRows(*this)) {
        const QRect r = visualRect(indexFromItem(row, ColName));
        targets.append({row->text(ColName), QRect(viewport()->mapToGlobal(r.topLeft()), r.size())});
    }
    if (m_memoryId == 0)
        return;
    renameNext(targets, 0);
}

void CZamo_ListView::renameNext(const QList<RenameTarget> &targets, int next) {
    for (; next < targets.size(); ++next) {
        const RenameTarget &t = targets[next];
        CRenameDlg dlg(m_frame.ui(), m_frame.dialogParent());
        dlg.setLongName(t.name);
        dlg.setPlacement(t.label);
        if (dlg.exec() != QDialog::Accepted)
            continue;
        const QString newName = dlg.longName();
        // The player's names ignore letter case: a change of case alone is no rename.
        if (newName.compare(t.name, Qt::CaseInsensitive) == 0)
            continue;
        m_frame.setMessageText(str(StrId::Renaming));
        m_frame.link().renameFile(
            this, m_memoryId, t.name.toUtf8(), newName.toUtf8(),
            usesLongRename(m_frame.modelCode()),
            [this, targets, next, newName](const CallReply &r) {
                if (r.ok) {
                    m_frame.postCommand(int(res::Cmd::PaneRefresh), this);
                } else {
                    m_frame.setMessageText(str(StrId::Ready));
                    QString text;
                    if (r.code == KSUSB_ERR_NOT_FOUND)
                        text = str(StrId::FileNotFound) + FileTag + targets[next].name;
                    else if (r.code == KSUSB_ERR_EXISTS)
                        text = str(StrId::AlreadyFileExist) + FileTag + newName;
                    else
                        text = failureText(Situation::PaneRename, r.code);
                    m_frame.ui().message(m_frame.dialogParent(), text, MessageIcon::Stop);
                }
                renameNext(targets, next + 1);
            });
        return;
    }
}

void CZamo_ListView::formatMemory() {
    if (m_memoryId == 0)
        return;
    const QByteArray pane = paneName().toUtf8();
    if (!m_frame.ui().askYesNo(m_frame.dialogParent(),
                               res::fmt(StrId::AskFormat, pane.constData())))
        return;
    m_frame.setMessageText(res::fmt(StrId::Formatting, pane.constData()));
    m_frame.link().formatMemory(this, m_memoryId, [this](const CallReply &r) {
        if (!r.ok)
            showFailure(Situation::PaneDelete, r.code);
        refresh();
    });
}

void CZamo_ListView::arrangeOrder() {
    if (!m_frame.ui().askYesNo(m_frame.dialogParent(), str(StrId::AskArrangeOrder)))
        return;
    QStringList names;
    for (int i = 0; i < topLevelItemCount(); ++i)
        names << topLevelItem(i)->text(ColName);
    arrangeNext(names, 0, 0, 0);
}

void CZamo_ListView::arrangeNext(const QStringList &names, int next, int failed, int lastCode) {
    if (next < names.size()) {
        const QString &name = names[next];
        m_frame.setMessageText(str(StrId::Reordering) + QLatin1Char(' ') + name);
        // A position is one byte on the wire: position 256 travels as 0 and the player
        // receives position - 1 = 255, the last place of a full table.
        m_frame.link().setPosition(
            this, m_memoryId, name.toUtf8(), static_cast<unsigned char>(next + 1),
            [this, names, next, failed, lastCode](const CallReply &r) {
                // A failing row does not stop the run: the others still take their places.
                arrangeNext(names, next + 1, failed + (r.ok ? 0 : 1), r.ok ? lastCode : r.code);
            });
        return;
    }
    m_frame.setMessageText(str(StrId::Ready));
    if (failed == 0)
        return;
    const QByteArray reason = failureText(Situation::PaneDelete, lastCode).toUtf8();
    m_frame.ui().message(m_frame.dialogParent(),
                         res::fmt(StrId::ArrangeFailed, failed, reason.constData()),
                         MessageIcon::Stop);
    // The rows show the list's order, which the player no longer matches.
    refresh();
}

void CZamo_ListView::uploadToPc() {
    QStringList names;
    for (const QTreeWidgetItem *row : selectedRows(*this))
        names << row->text(ColName);
    QStringList remote;
    QStringList local;
    QString folder;
    bool sameFolder = false;
    for (qsizetype i = 0; i < names.size(); ++i) {
        // The player's table is device data: a name becomes exactly one file name inside the
        // chosen folder, whatever separators or dots it holds.
        const QString safe =
            QString::fromStdString(media::SafeFileName(names[i].toUtf8().toStdString()));
        QString path;
        if (sameFolder) {
            path = QDir(folder).filePath(safe);
        } else {
            const QString initial = folder.isEmpty() ? safe : QDir(folder).filePath(safe);
            path = m_frame.ui().saveFile(m_frame.dialogParent(), QString(), initial, QString());
            if (path.isEmpty())
                continue;
            folder = QFileInfo(path).absolutePath();
            if (i + 1 < names.size())
                sameFolder =
                    m_frame.ui().askYesNo(m_frame.dialogParent(), str(StrId::AskSameFolder));
        }
        remote << names[i];
        local << path;
    }
    if (remote.isEmpty())
        return;
    if (TransferQueue *queue = m_frame.transferQueue())
        queue->addUploads(m_memoryId, remote, local);
}

void CZamo_ListView::downloadToDevice() {
    const StrId filter =
        usesLongRename(m_frame.modelCode()) ? StrId::FilterMp3Wma : StrId::FilterMp3;
    const QStringList paths = m_frame.ui().openFiles(
        m_frame.dialogParent(), QString(), m_frame.downloadFolder(), qtFilter(str(filter)));
    if (!paths.isEmpty())
        queueLocalPaths(paths);
}

void CZamo_ListView::queueLocalPaths(const QStringList &paths) {
    if (m_memoryId == 0)
        return;
    const bool folders = anyFolder(paths);
    if (folders)
        m_frame.setMessageText(scanningText(paths));
    m_intake.start(paths, [this](const Intake &intake) {
        if (TransferQueue *queue = m_frame.transferQueue())
            queueIntake(*queue, m_memoryId, intake);
        if (intake.folders == 0)
            return;
        m_frame.setMessageText(intakeStatusText(intake));
        reportIntake(m_frame.ui(), m_frame.dialogParent(), intake);
    });
}

void CZamo_ListView::summariseSelection() {
    const QList<QTreeWidgetItem *> rows = selectedRows(*this);
    const int n = int(rows.size());
    s_noSelection = n == 0;
    uint64_t sum = 0;
    for (const QTreeWidgetItem *row : rows) {
        uint64_t size = 0;
        for (const QChar c : row->text(ColSize)) {
            if (c.isDigit())
                size = size * 10 + uint64_t(c.digitValue());
        }
        sum += size;
    }
    const char *unit = "Bytes";
    uint64_t divisor = 1;
    if (sum > MiB) {
        unit = "MB";
        divisor = MiB;
    } else if (sum > KiB) {
        unit = "KB";
        divisor = KiB;
    }
    m_frame.setMessageText(res::fmt(n < 2 ? StrId::FileSelected : StrId::FilesSelected, n,
                                    double(sum) / double(divisor), unit));
}

void CZamo_ListView::contextMenuEvent(QContextMenuEvent *event) {
    QMenu *menu = m_frame.fileMenu();
    if (menu == nullptr)
        return;
    const QPoint at = event->reason() == QContextMenuEvent::Keyboard
                          ? viewport()->mapToGlobal(QPoint(KeyboardMenuOffset, KeyboardMenuOffset))
                          : event->globalPos();
    menu->exec(at);
}

bool CZamo_ListView::edit(const QModelIndex &index, EditTrigger trigger, QEvent *event) {
    // Labels are never edited in place: an attempt the list allows becomes the Rename command
    // (through the window, so that its availability holds).
    (void)event;
    if (!index.isValid() || !(editTriggers() & trigger))
        return false;
    if (trigger == SelectedClicked)
        m_delayedRename.start(QApplication::doubleClickInterval());
    else
        m_frame.postCommand(int(res::Cmd::Rename), this);
    return false;
}

void CZamo_ListView::mouseDoubleClickEvent(QMouseEvent *event) {
    m_delayedRename.stop();
    CMyListView::mouseDoubleClickEvent(event);
}

} // namespace tunara::device
