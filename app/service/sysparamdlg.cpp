#include "sysparamdlg.h"

#include "device/playererrors.h"
#include "device/playerlink.h"
#include "device/uiservices.h"
#include "fontdownloaddlg.h"
#include "memorydumpdlg.h"
#include "res/format.h"
#include "xfernotifier.h"

#include <KestoUSB.h>

#include <QCloseEvent>
#include <QEventLoop>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>

#include <utility>

namespace tunara::service {

using res::fmt;
using res::str;
using res::StrId;

namespace {

constexpr unsigned char Memory = KSUSB_MEM_FLASH;
constexpr int PumpMs = 20;
constexpr const char *StartMark = "[START";
constexpr const char *ProgressMark = ".";
constexpr const char *EndMark = ".END]";

QString lineBreaks(QString text) {
    return text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

} // namespace

CSysParamDlg::CSysParamDlg(const ServiceContext &context, QWidget *parent)
    : QDialog(parent), m_context(context), m_notifier(new XferNotifier(this)) {
    setObjectName(QStringLiteral("sysParamDlg"));
    setWindowTitle(str(StrId::SysParamCaption));

    auto *instructions = new QLabel(str(StrId::LoopbackInstructions), this);
    instructions->setWordWrap(true);
    m_loopback = new QPushButton(str(StrId::LoopbackTest), this);
    m_loopback->setObjectName(QStringLiteral("loopback"));
    m_stop = new QPushButton(str(StrId::StopTest), this);
    m_stop->setObjectName(QStringLiteral("stop"));
    m_stop->setEnabled(false);
    m_font = new QPushButton(str(StrId::FontDownloader), this);
    m_font->setObjectName(QStringLiteral("fontDownloader"));
    m_dump = new QPushButton(str(StrId::MemoryDump), this);
    m_dump->setObjectName(QStringLiteral("memoryDump"));
    m_log = new QPlainTextEdit(this);
    m_log->setObjectName(QStringLiteral("log"));
    m_log->setReadOnly(true);
    m_log->setAccessibleName(str(StrId::LoopbackTest));
    m_log->setMinimumSize(420, 240);

    auto *grid = new QGridLayout(this);
    grid->addWidget(instructions, 0, 0, 1, 2);
    grid->addWidget(m_loopback, 1, 0);
    grid->addWidget(m_stop, 1, 1);
    grid->addWidget(m_log, 2, 0, 1, 2);
    grid->addWidget(m_font, 3, 0);
    grid->addWidget(m_dump, 3, 1);

    connect(m_loopback, &QPushButton::clicked, this, &CSysParamDlg::runLoopbackTest);
    connect(m_stop, &QPushButton::clicked, this, [this] { m_stopPressed = true; });
    connect(m_font, &QPushButton::clicked, this, &CSysParamDlg::openFontDownloader);
    connect(m_dump, &QPushButton::clicked, this, &CSysParamDlg::openMemoryDump);
    connect(m_notifier, &XferNotifier::notified, this, &CSysParamDlg::onNotify);
}

CSysParamDlg::~CSysParamDlg() {
    if (m_running)
        m_context.setServiceRunning(false);
}

void CSysParamDlg::appendLog(const QString &text) {
    if (m_log == nullptr)
        return;
    if (m_log->blockCount() > MaxLogLines) {
        QTextCursor cut(m_log->document());
        cut.movePosition(QTextCursor::Start);
        cut.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, TrimLogLines);
        cut.removeSelectedText();
    }
    QTextCursor end(m_log->document());
    end.movePosition(QTextCursor::End);
    end.insertText(lineBreaks(text));
    m_log->setTextCursor(end);
    m_log->ensureCursorVisible();
}

void CSysParamDlg::onNotify(unsigned code, qint64 value) {
    // The worker may report before its start call has come back from the player link: its
    // notices follow the start's line in the log.
    if (m_starting) {
        m_deferred.append({code, value});
        return;
    }
    switch (code) {
    case KSUSB_XFER_START:
        appendLog(QLatin1String(StartMark));
        break;
    case KSUSB_XFER_PROGRESS:
        appendLog(QLatin1String(ProgressMark));
        break;
    case KSUSB_XFER_DONE:
        m_workerRunning = false;
        appendLog(QLatin1String(EndMark));
        m_done = true;
        break;
    case KSUSB_XFER_FAILED:
        m_workerRunning = false;
        // The failure replaces the log; the cycle then waits for SHIFT (or Stop).
        if (const auto text = device::playerMessage(device::Situation::SysParamRun, int(value)))
            m_log->setPlainText(str(*text));
        else
            m_log->clear();
        break;
    default:
        break;
    }
}

bool CSysParamDlg::stopRequested() const {
    return m_stopPressed || m_context.shiftHeld();
}

void CSysParamDlg::pump(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void CSysParamDlg::waitForPlayer() {
    // A player that never answers again would hold the test here: SHIFT or Stop leave.
    device::PlayerLink &link = m_context.playerLink();
    while (link.await([] { return KSUSB_GetPlayerStatus() != 0; }) == false && !stopRequested())
        pump(PumpMs);
}

void CSysParamDlg::setRunning(bool running) {
    if (m_running != running)
        m_context.setServiceRunning(running);
    m_running = running;
    m_loopback->setEnabled(!running);
    m_font->setEnabled(!running);
    m_dump->setEnabled(!running);
    m_stop->setEnabled(running);
}

void CSysParamDlg::runLoopbackTest() {
    if (m_running)
        return;
    if (m_context.busyElsewhere()) {
        m_context.ui.message(this, str(StrId::PlayerBusy), device::MessageIcon::Warning);
        return;
    }
    const QString path =
        m_context.ui.openFile(this, str(StrId::LoopbackTest), QString(), QString());
    if (path.isEmpty())
        return;
    const QByteArray pathBytes = path.toUtf8();
    const QString name = QFileInfo(path).fileName();
    const QByteArray nameBytes = name.toUtf8();

    m_stopPressed = false;
    device::PlayerLink &link = m_context.playerLink();
    setRunning(true);
    appendLog(str(StrId::LogHeader));
    while (!stopRequested()) {
        m_done = false;
        m_starting = true;
        const bool started = link.await([&pathBytes, target = m_notifier->target()] {
            return KSUSB_Download(Memory, pathBytes.constData(), target, Step) != 0;
        });
        m_starting = false;
        if (started) {
            m_workerRunning = true;
            appendLog(fmt(StrId::LogDownloading, pathBytes.constData()));
            for (const auto &[code, value] : std::exchange(m_deferred, {}))
                onNotify(code, value);
            // A running worker is always waited for: no other library call may meet it.
            while (!m_done && (m_workerRunning || !stopRequested()))
                pump(PumpMs);
        } else {
            appendLog(fmt(StrId::LogDownloadFailed, pathBytes.constData()));
            m_done = true;
        }
        appendLog(str(StrId::LogNextStep));
        waitForPlayer();
        (void)link.await([] { return KSUSB_RefreshMemory(Memory); });
        waitForPlayer();
        if (link.await([&nameBytes] {
                return KSUSB_DeleteFileInMemory(Memory, nameBytes.constData()) != 0;
            }))
            appendLog(fmt(StrId::LogDeleted, nameBytes.constData()));
        else
            appendLog(fmt(StrId::LogDeleteFailed, nameBytes.constData()));
        waitForPlayer();
        (void)link.await([] { return KSUSB_RefreshMemory(Memory); });
        waitForPlayer();
    }
    appendLog(str(StrId::LogEnded));
    setRunning(false);
}

void CSysParamDlg::openFontDownloader() {
    CFontDownloadDlg dlg(m_context, this);
    dlg.exec();
}

void CSysParamDlg::openMemoryDump() {
    CMemoryDumpDlg dlg(m_context, this);
    dlg.exec();
}

void CSysParamDlg::reject() {
    if (m_running)
        return; // the test ends by SHIFT or Stop first
    QDialog::reject();
}

void CSysParamDlg::closeEvent(QCloseEvent *event) {
    if (m_running) {
        event->ignore();
        return;
    }
    QDialog::closeEvent(event);
}

} // namespace tunara::service
