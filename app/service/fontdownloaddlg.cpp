#include "fontdownloaddlg.h"

#include "device/playererrors.h"
#include "device/playerlink.h"
#include "device/uiservices.h"
#include "res/format.h"
#include "xfernotifier.h"

#include <KestoUSB.h>

#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>

#include <algorithm>

namespace tunara::service {

using res::fmt;
using res::str;
using res::StrId;

namespace {

constexpr const char *Section = "FontDown";
constexpr int PercentMax = 100;

// A byte count as the texts print it (64-bit unsigned: images past 2 GiB stay positive).
qulonglong byteCount(qint64 bytes) {
    return qulonglong(std::max<qint64>(bytes, 0));
}

// The message for a transfer that could not be started.
StrId startFailureText(int code) {
    return device::playerMessageId(device::Situation::FontStart, code);
}

// The status line for a transfer that failed on the worker.
StrId workerFailureText(qint64 code) {
    return device::playerMessageId(device::Situation::FontRun, int(code));
}

} // namespace

const CFontDownloadDlg::Action CFontDownloadDlg::Actions[13] = {
    {"[Firmware Upgrade]", FirmwareKind},
    {"Booting code", 0},
    {"FONT-KOR", 1},
    {"FONT-ENG", 2},
    {"FONT-CHN(SMPL)", 3},
    {"FONT-CHN(TRAD)", 4},
    {"FONT-JPN", 5},
    {"FONT-LATIN1", 6},
    {"FONT-CYRILLIC", 7},
    {"ICON-ICON", 224},
    {"LOGO-LOGOSYS", 225},
    {"LOGO-LOGOUSER", 226},
    {"FONT-ASCII", 227},
};

CFontDownloadDlg::CFontDownloadDlg(const ServiceContext &context, QWidget *parent)
    : QDialog(parent), m_context(context), m_notifier(new XferNotifier(this)) {
    setObjectName(QStringLiteral("fontDownloadDlg"));
    setWindowTitle(str(StrId::FontDlgCaption));

    auto *actionLabel = new QLabel(str(StrId::FontAction), this);
    m_action = new QComboBox(this);
    m_action->setObjectName(QStringLiteral("action"));
    // The slot names are also the settings keys of the remembered paths: never translated.
    for (const Action &a : Actions)
        m_action->addItem(QString::fromLatin1(a.text), a.kind);
    m_action->setCurrentIndex(-1);
    actionLabel->setBuddy(m_action);

    auto *pathLabel = new QLabel(str(StrId::FontPath), this);
    m_path = new QLineEdit(str(StrId::SelectActionFirst), this);
    m_path->setObjectName(QStringLiteral("path"));
    pathLabel->setBuddy(m_path);
    m_browse = new QPushButton(str(StrId::Browse), this);
    m_browse->setObjectName(QStringLiteral("browse"));

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(QStringLiteral("progress"));
    m_progress->setRange(0, PercentMax);
    m_progress->setValue(0);
    m_progress->setAccessibleName(str(StrId::FontDlgCaption));
    m_status = new QLabel(str(StrId::FontWaiting), this);
    m_status->setObjectName(QStringLiteral("status"));
    m_percent = new QLabel(fmt(StrId::Percent, 0), this);
    m_percent->setObjectName(QStringLiteral("percent"));

    m_download = new QPushButton(str(StrId::FontDownload), this);
    m_download->setObjectName(QStringLiteral("download"));
    m_close = new QPushButton(str(StrId::TimedClose), this);
    m_close->setObjectName(QStringLiteral("close"));

    auto *grid = new QGridLayout(this);
    grid->addWidget(actionLabel, 0, 0);
    grid->addWidget(m_action, 0, 1, 1, 2);
    grid->addWidget(pathLabel, 1, 0);
    grid->addWidget(m_path, 1, 1);
    grid->addWidget(m_browse, 1, 2);
    grid->addWidget(m_progress, 2, 0, 1, 2);
    grid->addWidget(m_percent, 2, 2);
    grid->addWidget(m_status, 3, 0, 1, 3);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(m_download);
    buttons->addWidget(m_close);
    grid->addLayout(buttons, 4, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    setMinimumWidth(420);

    connect(m_action, &QComboBox::activated, this, &CFontDownloadDlg::actionChosen);
    connect(m_browse, &QPushButton::clicked, this, &CFontDownloadDlg::browse);
    connect(m_download, &QPushButton::clicked, this, &CFontDownloadDlg::download);
    connect(m_close, &QPushButton::clicked, this, &CFontDownloadDlg::reject);
    connect(m_notifier, &XferNotifier::notified, this, &CFontDownloadDlg::onNotify);
}

CFontDownloadDlg::~CFontDownloadDlg() {
    if (m_sending)
        m_context.setServiceRunning(false);
}

QString CFontDownloadDlg::settingsKey(const QString &actionText) {
    return QLatin1String(Section) + QLatin1Char('/') + actionText;
}

QString CFontDownloadDlg::defaultPath() const {
    // The described default is the root of the first drive; here the documents folder.
    return QDir::toNativeSeparators(m_context.documentsFolder) + QDir::separator();
}

QString CFontDownloadDlg::statusText() const {
    return m_status->text();
}

QString CFontDownloadDlg::percentText() const {
    return m_percent->text();
}

int CFontDownloadDlg::progressValue() const {
    return m_progress->value();
}

void CFontDownloadDlg::actionChosen(int index) {
    if (index < 0)
        return;
    const QString key = settingsKey(m_action->itemText(index));
    m_path->setText(m_context.settings.value(key, defaultPath()).toString());
    // The firmware item's kind -1 shows as FFFFFFFF, as an unsigned 32-bit number would.
    m_status->setText(
        fmt(StrId::ActionCode, static_cast<unsigned>(m_action->itemData(index).toInt())));
}

void CFontDownloadDlg::browse() {
    const QFileInfo current(m_path->text());
    const QString start = current.isDir() ? current.filePath() : current.absolutePath();
    const QString chosen = m_context.ui.openFile(this, windowTitle(), start, QString());
    if (!chosen.isEmpty())
        m_path->setText(chosen);
}

void CFontDownloadDlg::download() {
    const int index = m_action->currentIndex();
    if (index < 0) {
        m_context.ui.message(this, str(StrId::SelectAction), device::MessageIcon::Warning);
        return;
    }
    const QString path = m_path->text();
    m_context.settings.setValue(settingsKey(m_action->itemText(index)), path);
    m_context.settings.sync();
    // The worker of a queued transfer owns the player: an image must not land in its stream.
    if (m_context.busyElsewhere()) {
        m_context.ui.message(this, str(StrId::PlayerBusy), device::MessageIcon::Warning);
        return;
    }
    const auto kind = static_cast<unsigned char>(m_action->itemData(index).toInt());
    const QByteArray file = path.toUtf8();
    // The start call runs on the player link; from it on the worker holds our notifier.
    setIdle(false);
    m_context.playerLink().call(
        this,
        [kind, file, target = m_notifier->target()] {
            device::CallReply r;
            r.ok = KSUSB_SystemReg(kind, file.constData(), target, Step) != 0;
            if (!r.ok)
                r.code = KSUSB_GetLastError();
            return r;
        },
        [this](const device::CallReply &r) {
            if (r.ok)
                return;
            setIdle(true);
            // Download stays disabled: only a finished or failed transfer enables it again.
            m_download->setEnabled(false);
            m_context.ui.message(this, str(startFailureText(r.code)), device::MessageIcon::Stop);
        });
}

void CFontDownloadDlg::setIdle(bool idle) {
    if (m_sending == idle)
        m_context.setServiceRunning(!idle);
    m_sending = !idle;
    m_download->setEnabled(idle);
    m_close->setEnabled(idle);
}

void CFontDownloadDlg::onNotify(unsigned code, qint64 value) {
    switch (code) {
    case KSUSB_XFER_START:
        m_size = value;
        m_progress->setRange(0, PercentMax);
        m_status->setText(fmt(StrId::StartDownload, byteCount(m_size)));
        setIdle(false);
        break;
    case KSUSB_XFER_PROGRESS: {
        // An empty image has nothing to count; never divide by its size.
        const int percent = m_size > 0 ? int(value * PercentMax / m_size) : PercentMax;
        m_progress->setValue(qBound(0, percent, PercentMax));
        m_status->setText(fmt(StrId::BytesOfBytes, byteCount(value), byteCount(m_size)));
        m_percent->setText(fmt(StrId::Percent, percent));
        break;
    }
    case KSUSB_XFER_DONE:
        m_status->setText(fmt(StrId::FinishDownload, byteCount(m_size)));
        setIdle(true);
        m_context.ui.message(this, str(StrId::DownloadFinished), device::MessageIcon::Information);
        break;
    case KSUSB_XFER_FAILED:
        m_status->setText(str(workerFailureText(value)));
        setIdle(true);
        break;
    default:
        break;
    }
}

void CFontDownloadDlg::reject() {
    if (m_sending)
        return; // Close is disabled while sending; Escape and the title bar obey it too
    QDialog::reject();
}

void CFontDownloadDlg::closeEvent(QCloseEvent *event) {
    if (m_sending) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

} // namespace tunara::service
