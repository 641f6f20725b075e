#include "transferdlg.h"

#include "device/memoryformat.h"
#include "device/playerlink.h"
#include "device/uiservices.h"
#include "media/mpegheader.h"
#include "notifybridge.h"
#include "res/format.h"
#include "res/stringtable.h"
#include "transferhost.h"

#include <KestoUSB.h>

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <utility>

namespace tunara::transfer {

using res::fmt;
using res::str;
using res::StrId;

namespace {

constexpr int KindRole = Qt::UserRole;
constexpr int StateRole = Qt::UserRole + 1;
constexpr int ColumnWidths[CTransferDlg::ColumnCount] = {150, 65, 150, 200, 130};
constexpr StrId ColumnHeaders[CTransferDlg::ColumnCount] = {
    StrId::Status, StrId::Memory, StrId::RemoteFile, StrId::LocalFile, StrId::Stat};
// How long a dialog going away waits for a stopped worker's last notification.
constexpr std::chrono::milliseconds WorkerEndLimit{3000};

QByteArray localBytes(const QString &path) {
    return QFile::encodeName(path);
}

// The library's texts are "\r\n"-separated; the edit shows lines.
QString editText(const QString &text) {
    QString t = text;
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return t;
}

device::MessageIcon iconOf(media::MessageIcon icon) {
    switch (icon) {
    case media::MessageIcon::Stop:
        return device::MessageIcon::Stop;
    case media::MessageIcon::Warning:
        return device::MessageIcon::Warning;
    case media::MessageIcon::Info:
        return device::MessageIcon::Information;
    }
    return device::MessageIcon::None;
}

// The MPEG check reports through the program's message boxes.
class UiSink final : public media::MessageSink {
public:
    UiSink(device::UiServices &ui, QWidget *parent) : m_ui(ui), m_parent(parent) {}
    void showMessage(media::MessageIcon icon, std::string_view, std::string_view text) override {
        m_ui.message(m_parent, QString::fromUtf8(text.data(), qsizetype(text.size())),
                     iconOf(icon));
    }

private:
    device::UiServices &m_ui;
    QWidget *m_parent;
};

} // namespace

CTransferDlg::CTransferDlg(TransferHost &host, QWidget *parent)
    : QDialog(parent), m_host(host), m_bridge(std::make_shared<NotifyBridge>(this)) {
    setObjectName(QStringLiteral("transferDialog"));
    setModal(false);
    setWindowIcon(res::StringTable::current().icon(QStringLiteral("app/tunara")));
    for (int i = 0; i < IconCount; ++i)
        m_icons[i] = res::StringTable::current().icon(
            QStringLiteral("queue/%1").arg(i, 2, 10, QLatin1Char('0')));
    m_menuIcon = res::StringTable::current().icon(QStringLiteral("queue/delete"));
    buildControls();
    buildList();

    m_statusBar = new QProgressBar(host.statusBarWidget());
    m_statusBar->setObjectName(QStringLiteral("statusBarProgress"));
    m_statusBar->setAccessibleName(str(StrId::TransferManager));
    m_statusBar->setTextVisible(false);
    m_statusBar->setGeometry(QRect());
    m_statusBar->hide();

    m_paintTimer.setSingleShot(true);
    connect(&m_paintTimer, &QTimer::timeout, this, &CTransferDlg::paintProgress);
    m_lastPaint.start();
    updateDisplay();
}

CTransferDlg::~CTransferDlg() {
    // Whatever the busy flag says, a worker may post until its last notification: it gets a
    // target that drops what it posts, and it keeps that target until then. A running one is
    // stopped and given a moment to end, so that it leaves the player alone.
    m_bridge->detach();
    // A start call still on the player link stops its own worker (the link waits for it).
    if (!m_startCalling && m_bridge->workerRunning()) {
        (void)KSUSB_Stop();
        (void)m_bridge->waitWorkerEnded(WorkerEndLimit);
    }
}

void CTransferDlg::buildControls() {
    auto *programIcon = new QLabel(this);
    programIcon->setPixmap(windowIcon().pixmap(32, 32));
    auto *queueLabel = new QLabel(str(StrId::TransferInQueue), this);
    m_queueCount = new QLabel(this);
    m_queueCount->setObjectName(QStringLiteral("queueCount"));
    m_overall = new QProgressBar(this);
    m_overall->setObjectName(QStringLiteral("overallProgress"));
    m_overall->setTextVisible(false);
    m_overall->setAccessibleName(str(StrId::TransferInQueue));
    m_overallPercent = new QLabel(this);
    m_overallPercent->setObjectName(QStringLiteral("overallPercent"));
    m_overallPercent->setMinimumWidth(40);

    auto *top = new QGridLayout;
    top->addWidget(programIcon, 0, 0, 2, 1);
    top->addWidget(queueLabel, 0, 1);
    top->addWidget(m_queueCount, 0, 2, 1, 2);
    top->addWidget(m_overall, 1, 1, 1, 2);
    top->addWidget(m_overallPercent, 1, 3);
    top->setColumnStretch(2, 1);

    auto *group = new QGroupBox(str(StrId::CurrentTransfer), this);
    m_info = new QPlainTextEdit(group);
    m_info->setObjectName(QStringLiteral("transferInfo"));
    m_info->setReadOnly(true);
    m_info->setAccessibleName(str(StrId::CurrentTransfer));
    m_info->setMaximumHeight(70);
    m_file = new QProgressBar(group);
    m_file->setObjectName(QStringLiteral("fileProgress"));
    m_file->setTextVisible(false);
    m_file->setAccessibleName(str(StrId::CurrentTransfer));
    m_filePercent = new QLabel(group);
    m_filePercent->setObjectName(QStringLiteral("filePercent"));
    m_filePercent->setMinimumWidth(40);
    m_bytes = new QLabel(group);
    m_bytes->setObjectName(QStringLiteral("fileBytes"));
    auto *groupLayout = new QGridLayout(group);
    groupLayout->addWidget(m_info, 0, 0, 1, 2);
    groupLayout->addWidget(m_file, 1, 0);
    groupLayout->addWidget(m_filePercent, 1, 1);
    groupLayout->addWidget(m_bytes, 2, 0, 1, 2);

    m_start = new QPushButton(str(StrId::StartTransfer), this);
    m_start->setObjectName(QStringLiteral("startButton"));
    m_remove = new QPushButton(str(StrId::RemoveItem), this);
    m_remove->setObjectName(QStringLiteral("removeButton"));
    m_remove->hide();
    m_stop = new QPushButton(str(StrId::StopTransfer), this);
    m_stop->setObjectName(QStringLiteral("stopButton"));
    m_stop->setEnabled(false);
    m_close = new QPushButton(this);
    m_close->setObjectName(QStringLiteral("closeButton"));
    m_option = new QPushButton(str(StrId::TransferOption), this);
    m_option->setObjectName(QStringLiteral("optionButton"));
    for (QPushButton *b : {m_start, m_remove, m_stop, m_close, m_option})
        b->setAutoDefault(false);
    connect(m_start, &QPushButton::clicked, this, &CTransferDlg::start);
    connect(m_remove, &QPushButton::clicked, this, &CTransferDlg::removeItems);
    connect(m_stop, &QPushButton::clicked, this, &CTransferDlg::stop);
    connect(m_close, &QPushButton::clicked, this, &CTransferDlg::closeDialog);
    connect(m_option, &QPushButton::clicked, this, &CTransferDlg::openOptions);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_start);
    buttons->addWidget(m_stop);
    buttons->addWidget(m_close);

    m_list = new QTreeWidget(this);
    m_list->setObjectName(QStringLiteral("queueList"));
    m_list->setAccessibleName(str(StrId::TransferInQueue));

    auto *bottom = new QHBoxLayout;
    bottom->addStretch(1);
    bottom->addWidget(m_option);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(group);
    layout->addLayout(buttons);
    layout->addWidget(m_list, 1);
    layout->addLayout(bottom);
    resize(560, 480);
}

void CTransferDlg::buildList() {
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setAllColumnsShowFocus(true);
    m_list->setIconSize(QSize(16, 16));
    m_list->setColumnCount(ColumnCount);
    QStringList headers;
    for (StrId h : ColumnHeaders)
        headers << str(h);
    m_list->setHeaderLabels(headers);
    for (int c = 0; c < ColumnCount; ++c)
        m_list->setColumnWidth(c, ColumnWidths[c]);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, &CTransferDlg::updateDisplay);
    connect(m_list, &QWidget::customContextMenuRequested, this, &CTransferDlg::showRowMenu);
}

int CTransferDlg::stateOf(const QTreeWidgetItem *row) {
    return row->data(ColStatus, StateRole).toInt();
}

void CTransferDlg::setState(QTreeWidgetItem *row, int icon, const QString &status) {
    row->setData(ColStatus, StateRole, icon);
    row->setIcon(ColStatus, m_icons[icon]);
    row->setText(ColStatus, status);
}

QTreeWidgetItem *CTransferDlg::appendRow(EntryKind kind, StrId status, const QString &remote,
                                         const QString &local) {
    auto *row = new QTreeWidgetItem;
    row->setData(ColStatus, KindRole, int(kind));
    row->setText(ColMemory, str(memoryOf(kind) == KSUSB_MEM_CARD ? StrId::External : StrId::Flash));
    row->setText(ColRemote, remote);
    row->setText(ColLocal, local);
    setState(row, IconWaiting, str(status));
    m_list->addTopLevelItem(row);
    return row;
}

int CTransferDlg::addDownloads(unsigned char memoryId, const QStringList &localPaths) {
    // Byte-wise order of the paths as the file system spells them (case matters).
    std::vector<std::pair<QByteArray, QString>> sorted;
    sorted.reserve(size_t(localPaths.size()));
    for (const QString &p : localPaths)
        sorted.emplace_back(localBytes(p), p);
    std::sort(sorted.begin(), sorted.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    QStringList ordered;
    for (const auto &[bytes, path] : sorted)
        ordered << path;
    return addDownloadsInOrder(memoryId, ordered);
}

int CTransferDlg::addDownloadsInOrder(unsigned char memoryId, const QStringList &localPaths) {
    const TransferOptions options = m_host.transferOptions();
    const EntryKind kind = kindFor(memoryId, true);
    for (const QString &path : localPaths) {
        const QFileInfo info(path);
        m_host.storeDownloadFolder(QDir::toNativeSeparators(info.absolutePath()) +
                                   QDir::separator());
        const QString name = info.fileName();
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        const QString extension = dot < 0 ? QString() : name.mid(dot);
        QTreeWidgetItem *row = appendRow(kind, StrId::WaitingDownload, name, path);
        if (extension.size() <= 1) {
            setState(row, IconRefused, str(StrId::NoExtension));
            continue;
        }
        const int model = m_host.modelCode();
        if (options.blockMpeg2Ext && model != device::ModelQn520 && model != device::ModelQnVela &&
            extension.compare(QLatin1String(".mp3"), Qt::CaseInsensitive) == 0)
            refusedByMpegCheck(row, memoryId, path);
    }
    queued();
    return 1;
}

bool CTransferDlg::refusedByMpegCheck(QTreeWidgetItem *row, unsigned char memoryId,
                                      const QString &path) {
    UiSink sink(m_host.ui(), this);
    const media::MpegCheck check = media::CheckMpegHeader(localBytes(path).toStdString(), sink);
    switch (check.code) {
    case media::MpegCheckCode::Mpeg25:
    case media::MpegCheckCode::NoFrameHeader:
        // The check has said why in its own message.
        setState(row, IconRefused, str(StrId::UnsupportedFormat));
        return true;
    case media::MpegCheckCode::BitRateTooHigh:
        if (memoryId != KSUSB_MEM_CARD || m_host.modelCode() != device::ModelQn70)
            return false;
        m_host.ui().message(this, str(StrId::BitrateTooHigh) + QLatin1Char('\n') + path,
                            device::MessageIcon::Stop);
        setState(row, IconRefused, str(StrId::UnsupportedBitrate));
        return true;
    case media::MpegCheckCode::Accepted:
        break;
    }
    return false;
}

int CTransferDlg::addUploads(unsigned char memoryId, const QStringList &remoteNames,
                             const QStringList &localPaths) {
    const EntryKind kind = kindFor(memoryId, false);
    // The lists are the same length; a caller's mistake must not read past either.
    const qsizetype n = std::min(remoteNames.size(), localPaths.size());
    for (qsizetype i = 0; i < n; ++i)
        appendRow(kind, StrId::WaitingUpload, remoteNames[i], localPaths[i]);
    queued();
    return 1;
}

void CTransferDlg::queued() {
    m_count = m_list->topLevelItemCount();
    m_finished = false;
    updateDisplay();
    const TransferOptions options = m_host.transferOptions();
    if (options.showXferDlg)
        show();
    if (options.autoStartXfer && !m_busy)
        postStart();
}

void CTransferDlg::postStart() {
    QMetaObject::invokeMethod(this, &CTransferDlg::start, Qt::QueuedConnection);
}

void CTransferDlg::postStop() {
    QMetaObject::invokeMethod(this, &CTransferDlg::stop, Qt::QueuedConnection);
}

QTreeWidgetItem *CTransferDlg::currentRow() const {
    return m_current >= 0 ? m_list->topLevelItem(m_current) : nullptr;
}

void CTransferDlg::start() {
    m_count = m_list->topLevelItemCount();
    if (m_busy) {
        updateDisplay();
        return;
    }
    // The pane shows the last download before the next one starts: its re-read (a call of the
    // player link) goes first, once nothing else talks to the player.
    if (!m_host.deviceBusy())
        flushPaneRefresh();
    // Nothing is sent while another part of the program talks to the player (a pane's call, a
    // service transfer running its own event loop): the host resumes the start afterwards.
    if (m_host.deviceBusy()) {
        m_startHeld = true;
        updateDisplay();
        return;
    }
    m_startHeld = false;
    const int next = nextWaitingRow();
    if (next < 0) {
        m_finished = true;
        updateDisplay();
        emit queueFinished();
        return;
    }
    updateDisplay();
    m_busy = true;
    m_host.transferBusyChanged(true);
    m_current = next;
    updateDisplay();
    QTreeWidgetItem *row = m_list->topLevelItem(next);
    m_list->scrollToItem(row);

    if (m_statusBar) {
        m_statusBar->show();
        m_statusBar->raise();
    }
    const QString remote = row->text(ColRemote);
    m_localPath = row->text(ColLocal);
    m_kind = EntryKind(row->data(ColStatus, KindRole).toInt());
    m_memory = memoryOf(m_kind);
    m_isDownload = isDownload(m_kind);
    m_progressBytes = 0;
    m_progressDirty = false;
    resetFileProgress();
    QCoreApplication::sendPostedEvents(this);

    const QByteArray local = localBytes(m_localPath);
    const QByteArray remoteBytes = remote.toUtf8();
    if (m_isDownload) {
        m_size = std::uint64_t(std::max<qint64>(QFileInfo(m_localPath).size(), 0));
        m_info->setPlainText(
            editText(fmt(StrId::FromPcToDevice, local.constData(), remoteBytes.constData())));
        setState(row, IconRunning, str(StrId::Downloading));
    } else {
        m_info->setPlainText(
            editText(fmt(StrId::FromDeviceToPc, remoteBytes.constData(), local.constData())));
        setState(row, IconRunning, str(StrId::Uploading));
    }
    // The start call announces the file on the player link; the worker it starts reports
    // through the bridge, whose share it holds from here on.
    m_bridge->workerStarting();
    m_startCalling = true;
    m_host.link().call(
        this,
        [bridge = m_bridge, memory = m_memory, download = m_isDownload, local, remoteBytes] {
            device::CallReply r;
            r.ok = (download ? KSUSB_Download(memory, local.constData(), bridge.get(), ProgressStep)
                             : KSUSB_Upload(memory, remoteBytes.constData(), local.constData(),
                                            bridge.get(), ProgressStep)) != 0;
            if (!r.ok)
                r.code = KSUSB_GetLastError();
            else if (bridge->detached())
                (void)KSUSB_Stop(); // the dialog went while the call ran
            return r;
        },
        [this](const device::CallReply &r) { startAnswered(r); });
}

void CTransferDlg::startAnswered(const device::CallReply &reply) {
    m_startCalling = false;
    if (reply.ok)
        return; // the worker runs and reports through the bridge
    m_bridge->workerRefused();
    const StrId message =
        m_isDownload ? downloadStartFailure(reply.code) : uploadStartFailure(reply.code);
    if (QTreeWidgetItem *row = currentRow())
        setState(row, IconFailed + int(m_kind), str(message));
    m_hadError = true;
    m_busy = false;
    m_host.transferBusyChanged(false);
    if (m_isDownload && reply.code == KSUSB_ERR_NAME_AREA_FULL) {
        const QString question =
            str(StrId::NameAreaFull) + QStringLiteral("\n\n") + str(StrId::ProceedNextItem);
        if (!m_host.ui().askOkCancel(this, question, device::MessageIcon::Warning))
            postStop();
    }
    updateDisplay();
    postStart();
}

void CTransferDlg::removeItems() {
    const QSignalBlocker quiet(m_list);
    for (int i = m_list->topLevelItemCount() - 1; i >= 0; --i) {
        QTreeWidgetItem *row = m_list->topLevelItem(i);
        if (!row->isSelected())
            continue;
        if (i == m_current && m_busy)
            continue;
        delete row;
        if (i < m_current)
            --m_current;
        else if (i == m_current)
            m_current = -1; // the last run entry is gone; nothing points at another row
    }
    m_count = m_list->topLevelItemCount();
    updateDisplay();
}

void CTransferDlg::stop() {
    const QSignalBlocker quiet(m_list);
    for (int i = m_list->topLevelItemCount() - 1; i >= 0; --i) {
        if (i == m_current)
            continue;
        delete m_list->topLevelItem(i);
        if (i < m_current)
            --m_current;
    }
    m_count = m_list->topLevelItemCount();
    updateDisplay();
}

void CTransferDlg::closeDialog() {
    hide();
}

void CTransferDlg::reject() {
    hide();
}

void CTransferDlg::closeEvent(QCloseEvent *event) {
    event->ignore();
    hide();
}

void CTransferDlg::hideEvent(QHideEvent *event) {
    QDialog::hideEvent(event);
    // A minimised main window hides us too; only a real hide clears a finished queue.
    if (event->spontaneous())
        return;
    if (m_finished) {
        m_current = -1;
        m_count = 0;
        m_hadError = false;
        const QSignalBlocker quiet(m_list);
        m_list->clear();
    }
    updateDisplay();
}

void CTransferDlg::reposition() {
    if (!m_statusBar)
        return;
    QRect r = m_host.messagePaneRect().adjusted(StatusBarInset, StatusBarInset, -StatusBarInset,
                                                -StatusBarInset);
    r.setLeft(r.left() + StatusBarTextRoom);
    m_statusBar->setGeometry(r);
    m_statusBar->raise();
}

void CTransferDlg::openOptions() {
    m_host.openOptions();
}

void CTransferDlg::resumeHeldStart() {
    if (std::exchange(m_startHeld, false))
        postStart();
}

void CTransferDlg::showRowMenu(const QPoint &pos) {
    if (m_list->itemAt(pos) == nullptr)
        return;
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("rowMenu"));
    QAction *remove = menu.addAction(m_menuIcon, str(StrId::DeleteRow));
    // Unlike the hidden button, which follows the first selected row, Delete is offered while
    // any selected row can go: the running one stays.
    remove->setEnabled(removableSelected());
    if (menu.exec(m_list->viewport()->mapToGlobal(pos)) == remove)
        removeItems();
}

CTransferDlg::Display CTransferDlg::display() const {
    // A finished queue shows its summary until it is cleared (an all-refused queue too); a
    // cleared one is idle again.
    if (m_finished && m_count > 0)
        return Display::Finished;
    if (m_current == -1 && !m_busy)
        return Display::Idle;
    return Display::Running;
}

void CTransferDlg::setAllBars(int maximum, int value) {
    for (QProgressBar *bar : {m_overall, m_file, m_statusBar.data()}) {
        if (bar == nullptr)
            continue;
        bar->setRange(0, maximum);
        bar->setValue(value);
    }
}

void CTransferDlg::updateDisplay() {
    m_count = m_list->topLevelItemCount();
    const QString zero = fmt(StrId::Percent, 0);
    switch (display()) {
    case Display::Idle:
        setWindowTitle(str(StrId::TransferManager));
        setAllBars(MaxPercent, 0);
        m_overallPercent->setText(zero);
        m_filePercent->setText(zero);
        m_bytes->clear();
        m_queueCount->setText(fmt(StrId::TransferCount, m_count, 0));
        m_info->setPlainText(editText(str(StrId::LoadFilesHint)));
        m_close->setText(str(StrId::Close));
        m_start->setEnabled(m_count > 0);
        break;
    case Display::Finished: {
        setWindowTitle(str(StrId::TransferManager));
        setAllBars(MaxPercent, MaxPercent);
        m_overallPercent->setText(fmt(StrId::Percent, MaxPercent));
        m_queueCount->setText(fmt(StrId::TransferCount, m_count, m_count));
        m_close->setText(str(StrId::CloseAndClear));
        int failed = 0;
        for (int i = 0; i < m_count; ++i)
            failed += isFailed(stateOf(m_list->topLevelItem(i))) ? 1 : 0;
        m_bytes->clear();
        m_filePercent->clear();
        m_info->setPlainText(editText(fmt(StrId::TransferSummary, m_count, failed)));
        if (m_statusBar)
            m_statusBar->hide();
        m_start->setEnabled(m_count > 0);
        if (m_hadError)
            show();
        else if (m_host.transferOptions().hideXferDlg && isVisible())
            QMetaObject::invokeMethod(this, &CTransferDlg::closeDialog, Qt::QueuedConnection);
        break;
    }
    case Display::Running:
        // Qt's bars take an int: the range never wraps, however long the queue.
        for (QProgressBar *bar : {m_overall, m_statusBar.data()}) {
            if (bar != nullptr)
                bar->setRange(0, std::max(m_count, 1) * MaxPercent);
        }
        m_file->setRange(0, MaxPercent);
        m_queueCount->setText(fmt(StrId::TransferCount, m_count, m_current + 1));
        m_close->setText(str(StrId::Hide));
        m_start->setEnabled(!m_busy);
        break;
    }
    updateButtons();
}

bool CTransferDlg::removableSelected() const {
    const QList<QTreeWidgetItem *> selected = m_list->selectedItems();
    return std::any_of(selected.begin(), selected.end(), [this](QTreeWidgetItem *row) {
        return !m_busy || m_list->indexOfTopLevelItem(row) != m_current;
    });
}

void CTransferDlg::updateButtons() {
    const QList<QTreeWidgetItem *> selected = m_list->selectedItems();
    bool removable = !selected.isEmpty();
    if (removable && m_busy) {
        // The first selected row in list order.
        int first = m_list->topLevelItemCount();
        for (QTreeWidgetItem *row : selected)
            first = std::min(first, m_list->indexOfTopLevelItem(row));
        removable = first != m_current;
    }
    m_remove->setEnabled(removable);
    m_stop->setEnabled(m_count > 0);
}

} // namespace tunara::transfer
