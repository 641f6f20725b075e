#include "zamo_listview.h"

#include "memoryformat.h"
#include "paneframe.h"
#include "playerlink.h"
#include "res/format.h"
#include "res/stringtable.h"
#include "timedmessagebox.h"
#include "uiservices.h"

#include <QHeaderView>

#include <cstring>
#include <utility>

namespace tunara::device {

using res::str;
using res::StrId;

namespace {

constexpr int ErrNotConnected = KSUSB_ERR_NOT_CONNECTED;
const QColor ActiveBackground(255, 255, 238);

// A name from the player's table; the table is the player's reply, so the terminator is not
// taken for granted.
QString entryName(const KSUSB_TFileEntry &e) {
    return QString::fromUtf8(e.name, qsizetype(strnlen(e.name, sizeof e.name)));
}

} // namespace

bool CZamo_ListView::s_noSelection = false;

CZamo_ListView::CZamo_ListView(PaneFrame &frame, QWidget *parent)
    : CMyListView(parent), m_frame(frame), m_table(std::make_unique<KSUSB_TOpenTable>()) {
    std::memset(m_table.get(), 0, sizeof(KSUSB_TOpenTable));
    setObjectName(QStringLiteral("memoryList"));
    setColumnCount(ColumnCount);
    setHeaderLabels({str(StrId::ColName), str(StrId::ColSize), str(StrId::ColType),
                     str(StrId::ColModified), str(StrId::ColOrder)});
    headerItem()->setTextAlignment(ColSize, Qt::AlignRight | Qt::AlignVCenter);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    // Label editing starts as in any list (F2, a click on a selected row) and is turned into
    // the Rename command; rows are dragged to reorder, files dropped from the desktop.
    setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    setDragEnabled(true);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(false);
    setDragDropMode(QAbstractItemView::DragDrop);
    connect(this, &QTreeWidget::itemSelectionChanged, this, &CZamo_ListView::summariseSelection);
    m_delayedRename.setSingleShot(true);
    connect(&m_delayedRename, &QTimer::timeout, this,
            [this] { m_frame.postCommand(int(res::Cmd::Rename), this); });
    const char *names[] = {"common", "mp3", "wma", "voice"};
    for (int i = 0; i < 4; ++i)
        m_typeIcons[i] = res::StringTable::current().icon(QStringLiteral("type/") + names[i]);
}

CZamo_ListView::~CZamo_ListView() = default;

void CZamo_ListView::setMemory(unsigned char memoryId) {
    m_memoryId = memoryId;
    setObjectName(memoryId == KSUSB_MEM_CARD ? QStringLiteral("cardList")
                                             : QStringLiteral("flashList"));
}

QString CZamo_ListView::paneName() const {
    if (m_memoryId == KSUSB_MEM_FLASH)
        return str(StrId::FlashMemory);
    if (m_memoryId == KSUSB_MEM_CARD)
        return str(StrId::MemoryCard);
    return {};
}

void CZamo_ListView::initialUpdate() {
    CMyListView::initialUpdate();
    const int w = viewport()->width();
    header()->setStretchLastSection(false);
    setColumnWidth(ColName, w * 45 / 100);
    setColumnWidth(ColSize, w * 15 / 100);
    setColumnWidth(ColType, w * 15 / 100);
    setColumnWidth(ColModified, w * 25 / 100);
    setColumnWidth(ColOrder, OrderColumnWidth);
    setListFont(m_frame.listFont());
}

void CZamo_ListView::setListFont(const QFont &font) {
    setFont(font);
    viewport()->update();
}

QString CZamo_ListView::statusText() const {
    if (m_totalText.isEmpty())
        return str(StrId::PlayerNotConnected);
    return m_totalText + QStringLiteral(" / ") + m_freeText;
}

bool CZamo_ListView::refresh(bool afterDownload) {
    if (m_memoryId == 0)
        return false;
    const Qt::KeyboardModifiers held = m_frame.keyboardModifiers();
    if ((held & Qt::ShiftModifier) && (held & Qt::ControlModifier)) {
        m_frame.ui().timedMessage(m_frame.dialogParent(), str(StrId::RefreshSkipped),
                                  CTimedMessageBox::DefaultTimeoutMs);
        return false;
    }
    m_frame.setMessageText(str(StrId::RefreshRemote));
    m_frame.setRefreshButtonEnabled(false);
    // The text names the memory being read now: another pane's read may come first.
    m_frame.link().readTable(
        this, m_memoryId, [this](const TableReply &r) { showTable(r); },
        [this] {
            m_frame.setRefreshButtonEnabled(false);
            m_frame.setMessageText(res::fmt(StrId::Refreshing, paneName().toUtf8().constData()));
        },
        afterDownload);
    return true;
}

bool CZamo_ListView::refreshQuietly() {
    m_quietFailure = refresh();
    return m_quietFailure;
}

void CZamo_ListView::showTable(const TableReply &reply) {
    const bool quiet = std::exchange(m_quietFailure, false);
    if (!reply.ok || !reply.table) {
        m_frame.setRefreshButtonEnabled(true);
        m_frame.setMessageText(str(StrId::Ready));
        // The rows, texts and gauge keep what they showed.
        // After a failed connection attempt its notice and its verdict on the connection stand.
        if (!quiet) {
            const bool gone = reply.code == ErrNotConnected;
            m_frame.setConnected(!gone);
            m_frame.ui().timedMessage(m_frame.dialogParent(),
                                      str(!gone         ? StrId::FailedDataTransmitted
                                          : reply.inUse ? StrId::PlayerInUse
                                                        : StrId::DeviceNotConnected),
                                      CTimedMessageBox::DefaultTimeoutMs);
        }
        emit refreshed(false);
        return;
    }
    // After a download the player's table has only grown at its end: the rows there are kept
    // and the new ones added, which keeps a long queue from rebuilding the pane for every file.
    const int kept = keptRows(*reply.table);
    *m_table = *reply.table;
    const KSUSB_TOpenTable &t = *m_table;
    m_totalText = device::totalText(t.total);
    m_freeText = device::freeText(t.free);
    // A player reporting more free than total space would wrap the used bytes round.
    m_gauge = {t.total, t.free > t.total ? 0u : uint64_t(t.total) - t.free, int(t.count)};
    emit gaugeChanged(m_gauge);
    // The capacity pane belongs to the active pane; the other one writes it on activation.
    if (m_active)
        m_frame.setCapacityText(statusText());
    fillRows(kept);
    m_frame.setRefreshButtonEnabled(true);
    m_frame.setMessageText(str(StrId::Ready));
    emit refreshed(true);
}

namespace {

bool sameEntry(const KSUSB_TFileEntry &a, const KSUSB_TFileEntry &b) {
    return std::memcmp(a.name, b.name, sizeof a.name) == 0 &&
           std::memcmp(a.name83, b.name83, sizeof a.name83) == 0 && a.attr == b.attr &&
           std::memcmp(a.rawTimes, b.rawTimes, sizeof a.rawTimes) == 0 && a.time == b.time &&
           a.date == b.date && a.cluster == b.cluster && a.size == b.size;
}

} // namespace

int CZamo_ListView::keptRows(const KSUSB_TOpenTable &next) const {
    // The rows must show the whole current table in play order (not sorted by a header, not
    // held by a drag) for the same model, and the new table must begin with it.
    const int shown = topLevelItemCount();
    if (m_dragging || shown == 0 || shown != m_table->count || next.count < m_table->count ||
        m_filledModel != m_frame.modelCode())
        return 0;
    for (int i = 0; i < shown; ++i) {
        if (!sameEntry(m_table->entries[i], next.entries[i]) ||
            topLevelItem(i)->text(ColOrder) != res::formatText(QStringLiteral("%03d"), i + 1))
            return 0;
    }
    return shown;
}

void CZamo_ListView::fillRows(int kept) {
    const int model = m_frame.modelCode();
    // The rows a reorder drag holds are about to go.
    if (m_dragging)
        endReorderDrag();
    setUpdatesEnabled(false);
    if (kept == 0)
        clear();
    QList<QTreeWidgetItem *> rows;
    rows.reserve(m_table->count - kept);
    for (int i = kept; i < m_table->count; ++i) {
        const KSUSB_TFileEntry &e = m_table->entries[i];
        const QString name = entryName(e);
        const FileType type = fileTypeOf(name, model);
        auto *row = new QTreeWidgetItem;
        row->setText(ColName, name);
        row->setIcon(ColName, m_typeIcons[int(type.icon)]);
        row->setText(ColSize, sizeText(e.size));
        row->setTextAlignment(ColSize, Qt::AlignRight | Qt::AlignVCenter);
        row->setText(ColType, str(type.text));
        row->setText(ColModified, dateText(e.date, e.time));
        row->setText(ColOrder, res::formatText(QStringLiteral("%03d"), i + 1));
        rows.append(row);
    }
    addTopLevelItems(rows);
    m_filledModel = model;
    setUpdatesEnabled(true);
}

void CZamo_ListView::onUpdate(int hint, int value) {
    switch (hint) {
    case HintListFont:
        setListFont(m_frame.listFont());
        break;
    case HintDownloadDone:
        if (value == m_memoryId)
            refresh(true);
        break;
    case HintReRead:
        if (value == m_memoryId)
            m_frame.postCommand(int(res::Cmd::PaneRefresh), this);
        break;
    default:
        break;
    }
}

void CZamo_ListView::setActive(bool active) {
    m_active = active;
    QPalette p = palette();
    const QColor bg = active ? ActiveBackground : QColor(Qt::white);
    p.setColor(QPalette::Base, bg);
    p.setColor(QPalette::Window, bg);
    setPalette(p);
    if (active)
        m_frame.setCapacityText(statusText());
    viewport()->update();
    emit activeChanged(active);
}

void CZamo_ListView::focusInEvent(QFocusEvent *event) {
    CMyListView::focusInEvent(event);
    m_frame.paneActivated(this);
}

void CZamo_ListView::afterHeaderSort() {
    m_frame.postCommand(int(res::Cmd::ArrangeOrder), this);
}

} // namespace tunara::device
