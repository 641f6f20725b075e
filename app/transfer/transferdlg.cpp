#include "transferdlg.h"

#include "notifybridge.h"
#include "queuerunner.h"
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
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

namespace tunara::transfer {

using res::fmt;
using res::str;
using res::StrId;

namespace {

constexpr int ColumnWidths[CTransferDlg::ColumnCount] = {150, 65, 150, 200, 130};

QByteArray localBytes(const QString &path) {
    return QFile::encodeName(path);
}

// The library's texts are "\r\n"-separated; the edit shows lines.
QString editText(const QString &text) {
    QString t = text;
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return t;
}

} // namespace

CTransferDlg::CTransferDlg(TransferHost &host, QWidget *parent)
    : QDialog(parent), m_host(host), m_queue(new QueueModel(host, this)),
      m_runner(new QueueRunner(host.link(), this)) {
    setObjectName(QStringLiteral("transferDialog"));
    setModal(false);
    setWindowIcon(res::StringTable::current().icon(QStringLiteral("app/tunara")));
    for (int i = 0; i < IconCount; ++i)
        m_icons[size_t(i)] = res::StringTable::current().icon(
            QStringLiteral("queue/%1").arg(i, 2, 10, QLatin1Char('0')));
    m_menuIcon = res::StringTable::current().icon(QStringLiteral("queue/delete"));
    m_queue->setIcons(m_icons);
    m_queue->setMessageParent(this);
    m_queue->setRunner(m_runner);
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

    connect(m_queue, &QueueModel::displayChanged, this, &CTransferDlg::updateDisplay);
    connect(m_queue, &QueueModel::entryStarting, this, &CTransferDlg::entryStarting);
    connect(m_queue, &QueueModel::entryFollowing, this, &CTransferDlg::showStarting);
    connect(m_queue, &QueueModel::entryConverting, this, &CTransferDlg::showEntry);
    // While the run waits for a conversion, the current file's bar shows how far it has got;
    // the overall bar counts what reached the player.
    connect(m_queue, &QueueModel::awaitedConversionProgressed, this, [this](int percent) {
        m_file->setValue(percent);
        m_filePercent->setText(fmt(StrId::Percent, percent));
    });
    connect(m_queue, &QueueModel::queueFinished, this, &CTransferDlg::queueFinished);
    connect(m_queue, &QueueModel::busyChanged, this,
            [this](bool busy) { m_host.transferBusyChanged(busy); });
    connect(m_runner, &QueueRunner::announcing, m_queue, &QueueModel::entryAnnouncing);
    connect(m_runner, &QueueRunner::refused, m_queue, &QueueModel::entryRefused);
    connect(m_runner, &QueueRunner::started, this, &CTransferDlg::onStarted);
    connect(m_runner, &QueueRunner::progress, this, &CTransferDlg::onProgress);
    connect(m_runner, &QueueRunner::done, this, &CTransferDlg::onDone);
    connect(m_runner, &QueueRunner::failed, this, &CTransferDlg::onFailed);
    updateDisplay();
}

// The runner, a child, stops a worker that still runs.
CTransferDlg::~CTransferDlg() = default;

std::weak_ptr<const NotifyBridge> CTransferDlg::notifyBridge() const {
    return m_runner->notifyBridge();
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

    m_list = new QTreeView(this);
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
    m_list->setModel(m_queue);
    m_list->setRootIsDecorated(false);
    m_list->setItemsExpandable(false);
    m_list->setUniformRowHeights(true);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_list->setAllColumnsShowFocus(true);
    m_list->setIconSize(QSize(16, 16));
    for (int c = 0; c < ColumnCount; ++c)
        m_list->setColumnWidth(c, ColumnWidths[c]);
    m_list->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CTransferDlg::updateDisplay);
    connect(m_list, &QWidget::customContextMenuRequested, this, &CTransferDlg::showRowMenu);
}

int CTransferDlg::addDownloads(unsigned char memoryId, const QStringList &localPaths) {
    m_queue->addDownloads(memoryId, localPaths, true);
    if (m_host.transferOptions().showXferDlg)
        show();
    return 1;
}

int CTransferDlg::addDownloadsInOrder(unsigned char memoryId, const QStringList &localPaths) {
    m_queue->addDownloads(memoryId, localPaths, false);
    if (m_host.transferOptions().showXferDlg)
        show();
    return 1;
}

int CTransferDlg::addUploads(unsigned char memoryId, const QStringList &remoteNames,
                             const QStringList &localPaths) {
    m_queue->addUploads(memoryId, remoteNames, localPaths);
    if (m_host.transferOptions().showXferDlg)
        show();
    return 1;
}

void CTransferDlg::addPlanned(unsigned char memoryId,
                              const std::vector<QueueModel::PlannedDownload> &downloads,
                              std::uint64_t batch) {
    m_queue->addPlanned(memoryId, downloads, batch);
    if (m_host.transferOptions().showXferDlg)
        show();
    m_queue->postStart();
}

void CTransferDlg::start() {
    m_queue->start();
}

void CTransferDlg::showEntry(int row) {
    const QueueModel::Entry &e = m_queue->entry(row);
    m_list->scrollTo(m_queue->index(row, 0));
    if (m_statusBar) {
        m_statusBar->show();
        m_statusBar->raise();
    }
    m_progressBytes = 0;
    m_progressDirty = false;
    resetFileProgress();
    const QByteArray local = localBytes(e.local);
    const QByteArray remote = e.remote.toUtf8();
    m_info->setPlainText(editText(
        isDownload(e.kind) ? fmt(StrId::FromPcToDevice, local.constData(), remote.constData())
                           : fmt(StrId::FromDeviceToPc, remote.constData(), local.constData())));
}

void CTransferDlg::showStarting(int row) {
    showEntry(row);
    const QueueModel::Entry &e = m_queue->entry(row);
    if (isDownload(e.kind))
        m_size = std::uint64_t(std::max<qint64>(QFileInfo(m_queue->sendPath(row)).size(), 0));
}

void CTransferDlg::entryStarting(int row) {
    showStarting(row);
    const QueueModel::Entry &e = m_queue->entry(row);
    // Notifications already waiting are handled before the library is called again.
    QCoreApplication::sendPostedEvents(m_runner);
    // A converted file goes through a link with the player's name for it.
    m_runner->run(memoryOf(e.kind), isDownload(e.kind), localBytes(m_queue->sendPath(row)),
                  e.remote.toUtf8());
}

QList<int> CTransferDlg::selectedRows() const {
    QList<int> rows;
    for (const QModelIndex &i : m_list->selectionModel()->selectedRows())
        rows << i.row();
    return rows;
}

void CTransferDlg::removeItems() {
    m_queue->removeRows(selectedRows());
}

void CTransferDlg::stop() {
    m_queue->stopWaiting();
}

void CTransferDlg::closeDialog() {
    // The button says "Close And Clear" on a finished queue: its failed rows go too.
    m_queue->clearFinished();
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
    m_queue->clearIfFinished();
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
    m_queue->resumeHeldStart();
}

void CTransferDlg::showRowMenu(const QPoint &pos) {
    if (!m_list->indexAt(pos).isValid())
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
    if (m_queue->finished() && m_queue->count() > 0)
        return Display::Finished;
    if (m_queue->current() == -1 && !m_queue->busy())
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
    const int count = m_queue->count();
    const QString zero = fmt(StrId::Percent, 0);
    switch (display()) {
    case Display::Idle:
        setWindowTitle(str(StrId::TransferManager));
        setAllBars(MaxPercent, 0);
        m_overallPercent->setText(zero);
        m_filePercent->setText(zero);
        m_bytes->clear();
        m_queueCount->setText(fmt(StrId::TransferCount, count, 0));
        m_info->setPlainText(editText(str(StrId::LoadFilesHint)));
        clearStatusPercent();
        m_close->setText(str(StrId::Close));
        m_start->setEnabled(count > 0);
        break;
    case Display::Finished:
        setWindowTitle(str(StrId::TransferManager));
        setAllBars(MaxPercent, MaxPercent);
        m_overallPercent->setText(fmt(StrId::Percent, MaxPercent));
        m_queueCount->setText(fmt(StrId::TransferCount, count, count));
        m_close->setText(str(StrId::CloseAndClear));
        m_bytes->clear();
        m_filePercent->clear();
        m_info->setPlainText(editText(fmt(StrId::TransferSummary, count, m_queue->failedCount())));
        if (m_statusBar)
            m_statusBar->hide();
        clearStatusPercent();
        m_start->setEnabled(count > 0);
        if (m_queue->hadError() && !m_queue->failuresKept())
            show();
        else if (m_host.transferOptions().hideXferDlg && isVisible())
            QMetaObject::invokeMethod(this, &CTransferDlg::closeDialog, Qt::QueuedConnection);
        break;
    case Display::Running:
        // Qt's bars take an int: the range never wraps, however long the queue.
        for (QProgressBar *bar : {m_overall, m_statusBar.data()}) {
            if (bar != nullptr)
                bar->setRange(0, std::max(count, 1) * MaxPercent);
        }
        m_file->setRange(0, MaxPercent);
        m_queueCount->setText(fmt(StrId::TransferCount, count, m_queue->current() + 1));
        m_close->setText(str(StrId::Hide));
        m_start->setEnabled(!m_queue->busy() && !m_queue->awaitingConversion());
        break;
    }
    updateButtons();
}

bool CTransferDlg::removableSelected() const {
    const QList<int> rows = selectedRows();
    return std::any_of(rows.begin(), rows.end(),
                       [this](int row) { return !m_queue->busy() || row != m_queue->current(); });
}

void CTransferDlg::updateButtons() {
    const QList<int> rows = selectedRows();
    // While an entry runs, the button follows the first selected row in list order.
    const bool removable =
        !rows.isEmpty() &&
        (!m_queue->busy() || *std::min_element(rows.begin(), rows.end()) != m_queue->current());
    m_remove->setEnabled(removable);
    m_stop->setEnabled(m_queue->count() > 0);
}

} // namespace tunara::transfer
