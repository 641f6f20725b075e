// The commands of a memory pane on its selected rows: delete, rename, format, arrange order,
// upload to the PC, download to the player, the selection summary and the context menu.
#include "busycursor.h"
#include "media/safefilename.h"
#include "memoryformat.h"
#include "paneframe.h"
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

#include <cstring>

namespace tunara::device {

using res::str;
using res::StrId;

namespace {

// Where the context menu opens when it is asked for from the keyboard: the list's top-left
// client corner plus this many pixels right and down.
constexpr int KeyboardMenuOffset = 5;
// The writable name buffer the rename calls receive.
constexpr int RenameBufferBytes = 256;

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

bool usesLongRename(int model) {
    return model == ModelQn520 || model == ModelQnVela;
}

} // namespace

QString CZamo_ListView::failureText(int code, std::initializer_list<int> codes) const {
    // An unplugged player fails before any exchange; to the user it is the same as a player
    // that does not answer.
    if (code == KSUSB_ERR_NOT_CONNECTED)
        code = KSUSB_ERR_PLAYER_NOT_READY;
    if (std::find(codes.begin(), codes.end(), code) == codes.end())
        return str(StrId::FailedDataTransmitted);
    switch (code) {
    case KSUSB_ERR_WRITE_PROTECTED:
        return str(StrId::ExternalProtected);
    case KSUSB_ERR_PLAYER_NOT_READY:
        return str(StrId::CantConnect);
    case KSUSB_ERR_NOT_FOUND:
        return str(StrId::FileNotFound);
    case KSUSB_ERR_EXISTS:
        return str(StrId::AlreadyFileExist);
    default:
        return str(StrId::FailedDataTransmitted);
    }
}

void CZamo_ListView::showFailure(int code, std::initializer_list<int> codes) {
    m_frame.ui().message(m_frame.dialogParent(), failureText(code, codes), MessageIcon::Stop);
}

bool CZamo_ListView::transferRunning() {
    const TransferQueue *queue = m_frame.transferQueue();
    return queue != nullptr && queue->busy();
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
    {
        BusyCursor busy;
        for (const QString &name : names) {
            m_frame.setMessageText(str(StrId::Deleting) + QLatin1Char('"') + name +
                                   QLatin1Char('"'));
            if (KSUSB_DeleteFileInMemory(m_memoryId, name.toUtf8().constData()) == 0) {
                const int code = KSUSB_GetLastError();
                busy.end();
                showFailure(code, {KSUSB_ERR_WRITE_PROTECTED, KSUSB_ERR_PLAYER_NOT_READY,
                                   KSUSB_ERR_NOT_FOUND});
                break;
            }
        }
    }
    refresh();
}

void CZamo_ListView::renameFiles() {
    struct Target {
        QString name;
        QRect label;
    };
    QList<Target> targets;
    for (QTreeWidgetItem *row : selectedRows(*this)) {
        const QRect r = visualRect(indexFromItem(row, ColName));
        targets.append({row->text(ColName), QRect(viewport()->mapToGlobal(r.topLeft()), r.size())});
    }
    if (m_memoryId == 0)
        return;
    for (const Target &t : targets) {
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
        char buffer[RenameBufferBytes] = {};
        const QByteArray bytes = newName.toUtf8();
        std::memcpy(buffer, bytes.constData(),
                    std::min<size_t>(size_t(bytes.size()), sizeof buffer - 1));
        const QByteArray old = t.name.toUtf8();
        int ok = 0;
        {
            BusyCursor busy;
            ok = usesLongRename(m_frame.modelCode())
                     ? KSUSB_RenameInMemory(m_memoryId, old.constData(), buffer)
                     : KSUSB_RenameInMemory83(m_memoryId, old.constData(), buffer);
        }
        if (ok != 0) {
            m_frame.postCommand(int(res::Cmd::PaneRefresh), this);
            continue;
        }
        const int code = KSUSB_GetLastError();
        m_frame.setMessageText(str(StrId::Ready));
        QString text;
        if (code == KSUSB_ERR_NOT_FOUND)
            text = str(StrId::FileNotFound) + FileTag + t.name;
        else if (code == KSUSB_ERR_EXISTS)
            text = str(StrId::AlreadyFileExist) + FileTag + newName;
        else
            text = failureText(code, {KSUSB_ERR_WRITE_PROTECTED, KSUSB_ERR_PLAYER_NOT_READY});
        m_frame.ui().message(m_frame.dialogParent(), text, MessageIcon::Stop);
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
    BusyCursor busy;
    if (KSUSB_FormatMemory(m_memoryId) == 0) {
        const int code = KSUSB_GetLastError();
        busy.end();
        showFailure(code,
                    {KSUSB_ERR_WRITE_PROTECTED, KSUSB_ERR_PLAYER_NOT_READY, KSUSB_ERR_NOT_FOUND});
    }
    refresh();
}

void CZamo_ListView::arrangeOrder() {
    if (!m_frame.ui().askYesNo(m_frame.dialogParent(), str(StrId::AskArrangeOrder)))
        return;
    int failed = 0;
    int lastCode = 0;
    {
        BusyCursor busy;
        for (int i = 0; i < topLevelItemCount(); ++i) {
            const QString name = topLevelItem(i)->text(ColName);
            m_frame.setMessageText(str(StrId::Reordering) + QLatin1Char(' ') + name);
            // A position is one byte on the wire: position 256 travels as 0 and the player
            // receives position - 1 = 255, the last place of a full table.
            const QByteArray bytes = name.toUtf8();
            // A failing row does not stop the run: the others still take their places.
            if (KSUSB_ReplaceInMemory(m_memoryId, bytes.constData(),
                                      static_cast<unsigned char>(i + 1)) == 0) {
                ++failed;
                lastCode = KSUSB_GetLastError();
            }
        }
    }
    m_frame.setMessageText(str(StrId::Ready));
    if (failed == 0)
        return;
    const QByteArray reason =
        failureText(lastCode,
                    {KSUSB_ERR_WRITE_PROTECTED, KSUSB_ERR_PLAYER_NOT_READY, KSUSB_ERR_NOT_FOUND})
            .toUtf8();
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
    if (paths.isEmpty())
        return;
    if (TransferQueue *queue = m_frame.transferQueue())
        queue->addDownloads(m_memoryId, paths);
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
