#include "mainframe.h"

#include "device/memoryformat.h"
#include "device/playerlink.h"
#include "device/timedmessagebox.h"
#include "device/transferqueue.h"
#include "device/uiservices.h"
#include "device/zamo_listview.h"
#include "res/stringtable.h"
#include "settings.h"
#include "splashwnd.h"
#include "transfer/syncdlg.h"
#include "transfer/transferdlg.h"
#include "tunaraapp.h"
#include "windowplacement.h"
#include "zamo_expview.h"

#include <KestoUSB.h>

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScreen>
#include <QSettings>
#include <QShowEvent>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>

#include <cstring>
#include <string_view>

namespace tunara::shell {

using res::str;
using res::StrId;

namespace {

constexpr int ToolButtonSize = 32;
constexpr int IndicatorSize = 12;
constexpr int ErrCardChanged = KSUSB_ERR_CARD_CHANGED;
constexpr int ErrNotConnected = KSUSB_ERR_NOT_CONNECTED;

// The flag notices, in the order they are shown.
struct FlagNotice {
    unsigned flag;
    StrId text;
};
constexpr FlagNotice FlagNotices[] = {
    {KSUSB_FLAG_NOT_CONNECTED, StrId::PlayerNotConnected},
    {KSUSB_FLAG_BUSY, StrId::PlayerBusy},
    {KSUSB_FLAG_CARD_CHANGED, StrId::CardUpdated},
    {KSUSB_FLAG_CARD_PROTECTED, StrId::WriteProtectTab},
    {KSUSB_FLAG_FLASH_FULL, StrId::InternalFull},
    {KSUSB_FLAG_CARD_FULL, StrId::ExternalFull},
};

// A text field of the player's status record: raw bytes, not trusted to be terminated.
template <size_t N>
QString fieldText(const char (&field)[N]) {
    return QString::fromUtf8(field, qsizetype(strnlen(field, N))).trimmed();
}

} // namespace

CMainFrame::CMainFrame(CTunaraApp &app, QWidget *parent) : QMainWindow(parent), m_app(app) {
    setObjectName(QStringLiteral("mainFrame"));
    setWindowTitle(QStringLiteral("TUNARA"));
    setWindowIcon(res::StringTable::current().icon(QStringLiteral("app/tunara")));
    setMinimumSize(MinimumWidth, MinimumHeight);
    buildCommands();
    buildMenus();
    buildToolBar();
    buildStatusBar();
    buildPanes();
    buildTransfer();
    watchServiceSelection();
    resize(900, 560);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    // While a transfer runs its worker owns the pipes: a change is acted on (which talks to the
    // player) once it is over.
    m_watch.setPaused(
        [this] { return deviceBusy() || QApplication::activeModalWidget() != nullptr; });
    connect(&m_watch, &DeviceWatch::deviceNodesChanged, this, &CMainFrame::onDeviceNodesChanged);
    connect(&m_watch, &DeviceWatch::polled, this, [this] { pollCardState(); });
    // While a player call runs, the commands that would call the player are unavailable.
    connect(&m_link, &device::PlayerLink::busyChanged, &m_commands, &CommandTable::postUpdateUi);
    // A refresh asked for while the player was busy runs once it is idle; so does the work held
    // meanwhile (hand-overs, a queue start).
    connect(&m_link, &device::PlayerLink::busyChanged, this, [this](bool busy) {
        if (busy)
            return;
        if (!m_refreshing && std::exchange(m_refreshAgain, false))
            requestRefresh();
        deviceWorkEnded();
    });
    m_commands.updateUi();
    m_pacer.pace(this);
    startSplash();
}

CMainFrame::~CMainFrame() {
    // A transfer still running is stopped on the player link, whose end the destruction waits
    // for: the windows leave the screen before that.
    hide();
    if (m_transferDlg != nullptr)
        m_transferDlg->hide();
    QGuiApplication::sync();
    m_syncDlg.reset();
    // The dialog hides as it goes; nothing may ask the half-destroyed queue whether it is busy.
    if (m_transferDlg != nullptr) {
        m_transferDlg->removeEventFilter(this);
        setTransferQueue(nullptr);
        m_transferDlg.reset();
    }
}

void CMainFrame::startSplash() {
    m_splash =
        std::make_unique<CSplashWnd>(CSplashWnd::Role::Startup, m_app.splashFile(), m_app.clock);
    // The program's first connection attempt comes when the splash goes away.
    connect(m_splash.get(), &CSplashWnd::startupFinished, this,
            [this] { postCommand(int(Cmd::Refresh), nullptr); });
    m_splash->start();
}

void CMainFrame::buildCommands() {
    auto always = CommandTable::Rule{};
    // A command that talks to the player: not while a transfer streams or a player call runs.
    auto idle = [this](QObject *) { return !deviceBusy(); };
    // Delete and Rename need selected rows in the pane and an idle player; Upload only rows.
    auto rowsIdle = [this, idle](QObject *t) {
        const device::CZamo_ListView *pane = paneFor(t);
        return pane != nullptr && !pane->selectedItems().isEmpty() && idle(t);
    };
    auto rows = [this](QObject *t) {
        const device::CZamo_ListView *pane = paneFor(t);
        return pane != nullptr && !pane->selectedItems().isEmpty();
    };
    auto onPane = [this](void (device::CZamo_ListView::*run)()) {
        return [this, run](QObject *t) {
            if (auto *pane = paneFor(t))
                (pane->*run)();
        };
    };
    m_commands.add(Cmd::Delete, onPane(&device::CZamo_ListView::deleteFiles), rowsIdle);
    m_commands.add(Cmd::Rename, onPane(&device::CZamo_ListView::renameFiles), rowsIdle);
    m_commands.add(Cmd::Format, onPane(&device::CZamo_ListView::formatMemory), idle);
    m_commands.add(Cmd::Upload, onPane(&device::CZamo_ListView::uploadToPc), rows);
    m_commands.add(Cmd::Download, onPane(&device::CZamo_ListView::downloadToDevice), always);
    m_commands.add(
        Cmd::Refresh, [this](QObject *) { refreshMemory(); }, idle);
    // The panes' re-read follows a command that already ran: it waits its turn on the link
    // rather than being refused while the player answers another call.
    m_commands.add(
        Cmd::PaneRefresh,
        [this](QObject *t) {
            if (auto *pane = paneFor(t))
                pane->refresh();
        },
        [this](QObject *) { return !transferBusy(); });
    m_commands.add(
        Cmd::ArrangeOrder,
        [this](QObject *t) {
            if (auto *pane = paneFor(t))
                pane->arrangeOrder();
        },
        idle);
    // The tag editor works on local files: it needs a memory pane to be active, nothing else.
    m_commands.add(
        Cmd::EditId3, [this](QObject *) { cmdEditId3(); },
        [this](QObject *t) { return paneFor(t) != nullptr; });
    m_commands.add(
        Cmd::DeviceInfo, [this](QObject *) { cmdDeviceInfo(); },
        [this](QObject *) { return !m_app.player().model.isEmpty(); });
    m_commands.add(
        Cmd::VoiceConverter, [this](QObject *) { cmdVoiceConverter(); },
        [this](QObject *) { return m_app.player().modelCode == device::ModelQn70; });
    m_commands.add(
        Cmd::HomePage, [this](QObject *) { cmdHomePage(); }, always);
    m_commands.add(
        Cmd::Help, [this](QObject *) { cmdHelp(); }, always);
    m_commands.add(
        Cmd::Favorites, [this](QObject *) { cmdFavorites(); }, always);
    m_commands.add(
        Cmd::Option, [this](QObject *) { cmdOption(); }, always);
    m_commands.add(
        Cmd::Font, [this](QObject *) { cmdFont(); }, always);
    m_commands.add(
        Cmd::Exit, [this](QObject *) { close(); }, always);
    m_commands.add(
        Cmd::About, [this](QObject *) { cmdAbout(); }, always);
    m_commands.add(
        Cmd::Language, [this](QObject *) { cmdLanguage(); }, always);
    m_commands.add(
        Cmd::TransferStatus, [this](QObject *) { toggleTransferStatus(); }, always,
        [this](QObject *) { return m_transferDlg != nullptr && m_transferDlg->isVisible(); });
    buildServiceCommands();
    buildSyncCommand();

    m_commands.action(Cmd::Refresh)->setShortcut(QKeySequence(Qt::Key_F5));
    m_commands.action(Cmd::Favorites)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    m_commands.action(Cmd::Upload)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_PageUp));
    m_commands.action(Cmd::Download)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_PageDown));
    m_commands.action(Cmd::Delete)->setShortcut(QKeySequence(Qt::Key_Delete));
    m_commands.action(Cmd::Rename)->setShortcut(QKeySequence(Qt::Key_F2));
    m_commands.action(Cmd::EditId3)->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
}

void CMainFrame::buildMenus() {
    QMenu *player = menuBar()->addMenu(str(StrId::MenuPlayer));
    player->addAction(m_commands.action(Cmd::Refresh));
    player->addAction(m_commands.action(Cmd::DeviceInfo));
    player->addSeparator();
    player->addAction(m_commands.action(Cmd::Favorites));
    player->addAction(m_commands.action(Cmd::VoiceConverter));
    player->addAction(m_commands.action(Cmd::SyncLibrary));
    addServiceActions(player);
    player->addSeparator();
    player->addAction(m_commands.action(Cmd::Exit));

    QMenu *file = menuBar()->addMenu(str(StrId::MenuFile));
    m_fileMenu = file;
    for (Cmd c :
         {Cmd::Upload, Cmd::Download, Cmd::Delete, Cmd::Rename, Cmd::Format, Cmd::ArrangeOrder})
        file->addAction(m_commands.action(c));
    file->addAction(m_commands.action(Cmd::EditId3));

    QMenu *view = menuBar()->addMenu(str(StrId::MenuView));
    view->addAction(m_commands.action(Cmd::TransferStatus));
    view->addSeparator();
    view->addAction(m_commands.action(Cmd::Font));
    view->addAction(m_commands.action(Cmd::Option));
    view->addAction(m_commands.action(Cmd::Language));

    QMenu *help = menuBar()->addMenu(str(StrId::MenuHelp));
    help->addAction(m_commands.action(Cmd::Help));
    help->addAction(m_commands.action(Cmd::HomePage));
    help->addSeparator();
    help->addAction(m_commands.action(Cmd::About));

    for (QMenu *menu : {player, file, view, help})
        connect(menu, &QMenu::aboutToShow, &m_commands, &CommandTable::updateUi);
}

void CMainFrame::buildToolBar() {
    m_toolBar = addToolBar(QString());
    m_toolBar->setObjectName(QStringLiteral("mainToolBar"));
    m_toolBar->setIconSize(QSize(ToolButtonSize, ToolButtonSize));
    m_toolBar->setMovable(false);
    struct Button {
        Cmd cmd;
        const char *art;
    };
    const Button buttons[] = {
        {Cmd::Refresh, "toolbar/refresh"},
        {Cmd(0), nullptr},
        {Cmd::Upload, "toolbar/upload"},
        {Cmd::Download, "toolbar/download"},
        {Cmd(0), nullptr},
        {Cmd::Delete, "toolbar/delete"},
        {Cmd::Rename, "toolbar/rename"},
        {Cmd(0), nullptr},
        {Cmd::Favorites, "toolbar/favorites"},
        {Cmd::TransferStatus, "toolbar/transfer"},
        {Cmd::Option, "toolbar/option"},
        {Cmd(0), nullptr},
        {Cmd::HomePage, "toolbar/home"},
        {Cmd::Help, "toolbar/help"},
        {Cmd::About, "toolbar/about"},
    };
    for (const Button &b : buttons) {
        if (b.art == nullptr) {
            m_toolBar->addSeparator();
            continue;
        }
        QAction *a = m_commands.action(b.cmd);
        a->setIcon(res::StringTable::current().icon(QLatin1String(b.art)));
        m_toolBar->addAction(a);
    }
}

void CMainFrame::buildStatusBar() {
    m_message = new QLabel(str(StrId::Ready), this);
    m_message->setObjectName(QStringLiteral("messagePane"));
    m_message->installEventFilter(this);
    m_capacity = new QLabel(this);
    m_capacity->setObjectName(QStringLiteral("capacityPane"));
    m_capacity->setMinimumWidth(160);
    m_capacity->setAlignment(Qt::AlignCenter);
    m_connection = new QLabel(this);
    m_connection->setObjectName(QStringLiteral("connectionIndicator"));
    m_connection->setFixedSize(IndicatorSize + 4, IndicatorSize + 4);
    m_connection->setAlignment(Qt::AlignCenter);
    statusBar()->addWidget(m_message, 1);
    statusBar()->addPermanentWidget(m_capacity);
    statusBar()->addPermanentWidget(m_connection);
    setConnected(false);
}

void CMainFrame::buildPanes() {
    m_splitter = new QSplitter(Qt::Horizontal, this);
    m_splitter->setObjectName(QStringLiteral("paneSplitter"));
    m_splitter->setChildrenCollapsible(false);
    for (int i = 0; i < 2; ++i) {
        m_views[i] =
            new CZamo_ExpView(m_doc, *this, i == 0 ? KSUSB_MEM_FLASH : KSUSB_MEM_CARD, m_splitter);
        m_views[i]->setMinimumWidth(MinimumColumnWidth);
        // The application object outlives the window, so the lists may write when they go.
        CTunaraApp *app = &m_app;
        m_views[i]->list()->setWidthsWriter(
            [app](const QString &section, const QString &key, const QString &value) {
                app->profile().setValue(section + QLatin1Char('/') + key, value);
            });
    }
    setCentralWidget(m_splitter);
    m_active = m_views[0]->list();
    // Delete, Rename and Upload follow the selection on the tool bar too.
    for (CZamo_ExpView *v : m_views)
        connect(v->list(), &QTreeWidget::itemSelectionChanged, &m_commands,
                &CommandTable::updateUi);
}

device::CZamo_ListView *CMainFrame::list(int column) const {
    return m_views[column] != nullptr ? m_views[column]->list() : nullptr;
}

bool CMainFrame::cardPaneShown() const {
    return !m_views[1]->isHidden();
}

QString CMainFrame::messageText() const {
    return m_message->text();
}
QString CMainFrame::capacityText() const {
    return m_capacity->text();
}

bool CMainFrame::transferBusy() const {
    return m_transferBusy || (m_transferQueue != nullptr && m_transferQueue->busy());
}

QString CMainFrame::downloadFolder() const {
    return m_app.profile()
        .value(QLatin1String(keys::Option) + QLatin1Char('/') + QLatin1String(keys::DownloadFolder))
        .toString();
}

void CMainFrame::bringToFront() {
    if (isMinimized())
        showNormal();
    raise();
    activateWindow();
}

void CMainFrame::setTransferBusy(bool busy) {
    m_transferBusy = busy;
    m_commands.postUpdateUi();
    if (!busy)
        deviceWorkEnded();
}

void CMainFrame::halveColumns() {
    const int half = std::max(MinimumColumnWidth, m_splitter->width() / 2);
    m_splitter->setSizes({half, std::max(MinimumColumnWidth, m_splitter->width() - half)});
}

void CMainFrame::showEvent(QShowEvent *event) {
    QMainWindow::showEvent(event);
    // A saved placement, or the default size on a small or scaled screen, may reach past the
    // screen: the whole window goes inside the screen's available area.
    if (const QScreen *where = screen(); where && !event->spontaneous()) {
        const QRect frame = frameGeometry();
        const QSize margins = frame.size() - size();
        const QRect fitted =
            fitIntoArea(frame, where->availableGeometry(), minimumSize() + margins);
        if (fitted != frame) {
            resize(fitted.size() - margins);
            move(fitted.topLeft());
        }
    }
    halveColumns();
    if (m_firstShow) {
        m_firstShow = false;
        // The flash pane is the active view until the user picks another.
        paneActivated(m_views[0]->list());
        m_watch.start();
        // The splash stays over the window until it goes (without a window manager to keep it
        // on top, the window shown last would cover it).
        if (m_splash != nullptr && m_splash->isVisible())
            m_splash->raise();
    }
}

void CMainFrame::closeEvent(QCloseEvent *event) {
    if (!m_placementSaved) {
        m_placementSaved = true;
        const QRect r = normalGeometry();
        QSettings &p = m_app.profile();
        p.setValue(QStringLiteral("Init/VertPos"), r.top());
        p.setValue(QStringLiteral("Init/HorizPos"), r.left());
        p.setValue(QStringLiteral("Init/Height"), r.height());
        p.setValue(QStringLiteral("Init/Width"), r.width());
        for (CZamo_ExpView *v : m_views)
            v->list()->saveWidths();
    }
    m_watch.stop();
    QMainWindow::closeEvent(event);
}

bool CMainFrame::eventFilter(QObject *watched, QEvent *event) {
    // A click into the message pane shows or hides the transfer window.
    if (watched == m_message && event->type() == QEvent::MouseButtonPress &&
        static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton)
        m_commands.execute(int(Cmd::TransferStatus));
    // Every layout change of the status bar places the transfer's bar in pane 0 again.
    if (watched == m_message && m_transferDlg != nullptr &&
        (event->type() == QEvent::Resize || event->type() == QEvent::Move))
        m_transferDlg->reposition();
    if (m_transferDlg != nullptr && watched == m_transferDlg.get() &&
        (event->type() == QEvent::Show || event->type() == QEvent::Hide))
        m_commands.updateUi();
    return QMainWindow::eventFilter(watched, event);
}

void CMainFrame::setMessageText(const QString &text) {
    m_message->setText(text);
}

void CMainFrame::setCapacityText(const QString &text) {
    m_capacity->setText(text);
}

void CMainFrame::setConnected(bool connected) {
    m_connected = connected;
    m_connection->setProperty("connected", connected);
    const QIcon icon = res::StringTable::current().icon(
        connected ? QStringLiteral("status/connected") : QStringLiteral("status/disconnected"));
    m_connection->setPixmap(icon.pixmap(QSize(IndicatorSize, IndicatorSize), devicePixelRatioF()));
    statusBar()->update();
}

int CMainFrame::modelCode() const {
    return m_app.player().modelCode;
}
QFont CMainFrame::listFont() const {
    return m_app.listFont();
}
device::UiServices &CMainFrame::ui() {
    return m_app.ui();
}
Qt::KeyboardModifiers CMainFrame::keyboardModifiers() const {
    return m_app.keyboardModifiers();
}

void CMainFrame::postCommand(int id, QObject *target) {
    m_commands.post(id, target);
}

void CMainFrame::setRefreshButtonEnabled(bool enabled) {
    QAction *a = m_commands.action(Cmd::Refresh);
    a->setEnabled(enabled && m_commands.isAvailable(int(Cmd::Refresh)));
    if (m_toolBar != nullptr)
        m_toolBar->update();
}

void CMainFrame::paneActivated(QObject *pane) {
    auto *list = qobject_cast<device::CZamo_ListView *>(pane);
    if (list == nullptr)
        return;
    for (CZamo_ExpView *v : m_views) {
        if (v->list() != list && v->list()->isActivePane())
            v->list()->setActive(false);
    }
    m_active = list;
    if (!list->isActivePane())
        list->setActive(true);
    m_commands.updateUi();
}

device::CZamo_ListView *CMainFrame::paneFor(QObject *target) const {
    if (target == nullptr)
        return m_active;
    return qobject_cast<device::CZamo_ListView *>(target);
}

void CMainFrame::timedMessage(const QString &text) {
    m_app.ui().timedMessage(this, text, device::CTimedMessageBox::DefaultTimeoutMs);
}

void CMainFrame::showFlagNotices(unsigned flags) {
    for (const FlagNotice &n : FlagNotices) {
        if (flags & n.flag)
            timedMessage(str(n.text));
    }
}

void CMainFrame::showCardPane(bool show) {
    if (show == cardPaneShown())
        return;
    m_views[1]->setVisible(show);
    if (show)
        halveColumns();
}

void CMainFrame::requestRefresh() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!transferBusy())
                refreshMemory();
        },
        Qt::QueuedConnection);
}

void CMainFrame::refreshMemory() {
    // A refresh asked for while one runs, or while the player answers another call, comes
    // once the link is idle.
    if (m_refreshing || m_link.busy()) {
        m_refreshAgain = true;
        return;
    }
    m_refreshing = true;
    m_commands.updateUi();
    setMessageText(str(StrId::Communicate));
    // The flags' notices ("Player is busy.") show as soon as the player told them, before the
    // version and status questions, which a busy player answers only slowly.
    m_link.pollFlags(this, [this](unsigned flags) {
        // The card-changed flag is one-shot: a poll that consumed it hands it on to us.
        const unsigned status = flags | std::exchange(m_pendingFlags, 0u);
        if (status != 0)
            showFlagNotices(status);
        m_link.connectPlayer(this, [this](const device::ConnectReply &r) { connectAnswered(r); });
    });
}

void CMainFrame::connectAnswered(const device::ConnectReply &reply) {
    if (!reply.ok && reply.code != ErrCardChanged) {
        // A player held by another program is there: no cable advice for it.
        timedMessage(str(reply.code != ErrNotConnected ? StrId::FailedDataTransmitted
                         : reply.inUse                 ? StrId::PlayerInUse
                                                       : StrId::DeviceNotConnected));
        if (reply.code == ErrNotConnected)
            m_watch.setBaseline(false);
        setConnected(false);
        setMessageText(str(StrId::Ready));
        // The library's tables may be older than the player (a card changed while the link was
        // down): the panes read them again before a start held meanwhile runs, which the link
        // takes after these reads.
        m_views[0]->list()->refreshQuietly();
        if (cardPaneShown())
            m_views[1]->list()->refreshQuietly();
        refreshEnded();
        return;
    }
    setConnected(true);
    m_watch.setBaseline(true);
    if (reply.infoOk) {
        const KSPlayerStatus &st = reply.status;
        PlayerInfo &info = m_app.player();
        info.model = fieldText(st.model);
        info.version = fieldText(st.version);
        info.date = fieldText(st.date);
        info.status = st;
        // The model name is compared as the player sent it, terminated within its field.
        const QByteArray model(st.model, qsizetype(strnlen(st.model, sizeof st.model)));
        info.modelCode = device::playerModelFor(
            std::string_view(model.constData(), size_t(model.size())), info.modelCode);
    }
    const bool noCard = (reply.flagsAfter & KSUSB_FLAG_NO_CARD) != 0;
    showCardPane(!noCard);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    if (noCard)
        paneActivated(m_views[0]->list());
    m_doc.updateAllViews(int(ViewHint::ReRead), KSUSB_MEM_FLASH);
    if (!noCard)
        m_doc.updateAllViews(int(ViewHint::ReRead), KSUSB_MEM_CARD);
    setMessageText(str(StrId::Ready));
    refreshEnded();
    // The files handed in at the start wait for the panes' reads, whose commands were posted
    // just now: a folder's file is named against what the player holds. Once those commands
    // have put the reads on the link, the files go when it is idle (resumeHeldWork()).
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_refreshedOnce = true;
            flushStartupFiles();
        },
        Qt::QueuedConnection);
}

void CMainFrame::refreshEnded() {
    m_refreshing = false;
    m_commands.updateUi();
    if (std::exchange(m_refreshAgain, false))
        requestRefresh();
    deviceWorkEnded();
}

void CMainFrame::onDeviceNodesChanged() {
    m_link.checkConnect(this, [this](bool connected) {
        if (!connected)
            setMessageText(str(StrId::PlayerNotConnected));
        setConnected(connected);
        if (connected)
            requestRefresh();
    });
}

void CMainFrame::downloadFinished(unsigned char memoryId) {
    m_doc.updateAllViews(device::CZamo_ListView::HintDownloadDone, memoryId);
}

QStringList CMainFrame::playerNames(unsigned char memoryId) const {
    QStringList names;
    for (int column = 0; column < 2; ++column) {
        const device::CZamo_ListView *pane = list(column);
        if (pane == nullptr || pane->memoryId() != memoryId)
            continue;
        const KSUSB_TOpenTable &t = pane->table();
        for (int i = 0; i < t.count; ++i)
            names << QString::fromUtf8(t.entries[i].name);
    }
    return names;
}

std::optional<std::uint64_t> CMainFrame::freeBytes(unsigned char memoryId) const {
    for (int column = 0; column < 2; ++column) {
        const device::CZamo_ListView *pane = list(column);
        if (pane != nullptr && pane->memoryId() == memoryId && pane->table().total > 0)
            return pane->table().free;
    }
    return std::nullopt;
}

void CMainFrame::pollCardState() {
    // Only a connected, idle player is asked; a card that came or went (or a pane that does
    // not match the card) runs the refresh.
    if (!m_connected || deviceBusy())
        return;
    m_link.pollFlags(this, [this](unsigned flags) {
        // A failed exchange also answers 0; a player that went away is the presence watch's
        // business, and a card pane that shows wrongly after it is put right by the next
        // refresh.
        const bool noCard = (flags & KSUSB_FLAG_NO_CARD) != 0;
        const bool changed = (flags & KSUSB_FLAG_CARD_CHANGED) != 0;
        if (changed || noCard == cardPaneShown()) {
            m_pendingFlags |= flags & KSUSB_FLAG_CARD_CHANGED;
            requestRefresh();
        }
    });
}

} // namespace tunara::shell
