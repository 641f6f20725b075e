// The transfer manager's run of one entry after another: the worker's notifications (start,
// progress, done, failed), the painting of the progress texts, the pane's refresh after a
// download and the voice converter after a voice recording's upload.
#include "device/uiservices.h"
#include "notifybridge.h"
#include "res/format.h"
#include "res/stringtable.h"
#include "transferdlg.h"
#include "transferhost.h"

#include <KestoUSB.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QThread>
#include <QTreeWidget>

#include <algorithm>

namespace tunara::transfer {

using res::fmt;
using res::str;
using res::StrId;

namespace {

constexpr double BytesPerMegabyte = 1048576.0;
constexpr double BitsPerByte = 8.0;
constexpr unsigned long SettleAfterDownloadMs = 10;
// Voice recordings end in these letters; the converter takes them after an upload.
const QString VoiceSuffix = QStringLiteral("VRF");
// The converter's names in the program folder, in the order they are looked for.
const QStringList ConverterNames = {QStringLiteral("sndconv"), QStringLiteral("sndconv.exe")};

// Whole percent of `done` out of `size`, truncated; an empty file is complete at once.
int percentOf(std::uint64_t done, std::uint64_t size) {
    if (size == 0)
        return CTransferDlg::MaxPercent;
    const double pct = double(done) * 100.0 / double(size);
    return std::clamp(int(pct), 0, CTransferDlg::MaxPercent);
}

// Megabits per second of `bytes` moved in `seconds` (> 0).
double megabitsPerSecond(double bytes, double seconds) {
    return bytes / BytesPerMegabyte / seconds * BitsPerByte;
}

} // namespace

void CTransferDlg::customEvent(QEvent *event) {
    if (event->type() != XferEvent::eventType()) {
        QDialog::customEvent(event);
        return;
    }
    const auto *e = static_cast<XferEvent *>(event);
    switch (e->code()) {
    case KSUSB_XFER_START:
        onStarted(e->value());
        break;
    case KSUSB_XFER_PROGRESS:
        onProgress(m_bridge->takeProgress());
        break;
    case KSUSB_XFER_DONE:
        onDone(e->value());
        break;
    case KSUSB_XFER_FAILED:
        onFailed(int(e->value()));
        break;
    default:
        break;
    }
}

void CTransferDlg::onStarted(std::intptr_t total) {
    m_busy = true;
    m_start->setEnabled(false);
    m_size = std::uint64_t(std::max<std::intptr_t>(total, 0));
    m_info->appendPlainText(QStringLiteral("(%1 bytes)").arg(qlonglong(total)));
    m_startTime.start();
    // The file's texts start again from nothing, not from the last file's end.
    m_progressBytes = 0;
    paintProgress();
}

void CTransferDlg::onProgress(std::intptr_t done) {
    m_progressBytes = std::uint64_t(std::max<std::intptr_t>(done, 0));
    m_progressDirty = true;
    const qint64 since = m_lastPaint.elapsed();
    if (since >= RepaintIntervalMs)
        paintProgress();
    else if (!m_paintTimer.isActive())
        m_paintTimer.start(int(RepaintIntervalMs - since));
}

void CTransferDlg::paintProgress() {
    m_paintTimer.stop();
    m_progressDirty = false;
    m_lastPaint.restart();
    ++m_progressPaints;
    const int pct = percentOf(m_progressBytes, m_size);
    const int overall = pct + std::max(m_current, 0) * MaxPercent;
    m_overall->setValue(overall);
    if (m_statusBar)
        m_statusBar->setValue(overall);
    m_file->setValue(pct);
    m_seconds = m_startTime.isValid() ? double(m_startTime.elapsed()) * 0.001 : 0.0;
    const QString percent = fmt(StrId::Percent, m_count > 0 ? overall / m_count : 0);
    setCaptionPercent(percent);
    m_overallPercent->setText(percent);
    // Without measurable time there is no speed to show.
    if (m_seconds > 0.0)
        m_bytes->setText(fmt(StrId::BytesProgress, qulonglong(m_progressBytes), qulonglong(m_size),
                             m_seconds, megabitsPerSecond(double(m_progressBytes), m_seconds)));
    else
        m_bytes->setText(
            fmt(StrId::BytesProgressNoSpeed, qulonglong(m_progressBytes), qulonglong(m_size)));
    m_filePercent->setText(fmt(StrId::Percent, pct));
}

void CTransferDlg::resetFileProgress() {
    // Until the new file's start notification the texts show its beginning, not the last
    // file's end.
    m_paintTimer.stop();
    m_startTime.invalidate();
    const int overall = std::max(m_current, 0) * MaxPercent;
    m_overall->setValue(overall);
    if (m_statusBar)
        m_statusBar->setValue(overall);
    m_file->setValue(0);
    const QString percent = fmt(StrId::Percent, m_count > 0 ? overall / m_count : 0);
    setCaptionPercent(percent);
    m_overallPercent->setText(percent);
    m_filePercent->setText(fmt(StrId::Percent, 0));
    m_bytes->clear();
}

void CTransferDlg::setCaptionPercent(const QString &text) {
    setWindowTitle(text);
    m_host.setMessageText(text);
}

void CTransferDlg::onDone(std::intptr_t moved) {
    if (!m_isDownload && m_localPath.right(VoiceSuffix.size()).toUpper() == VoiceSuffix)
        startVoiceConverter(m_localPath);
    m_start->setEnabled(true);
    // The last numbers are painted exactly, whatever the throttle held back.
    m_progressBytes = std::uint64_t(std::max<std::intptr_t>(moved, 0));
    paintProgress();
    m_file->setValue(percentOf(m_progressBytes, m_size));
    if (QTreeWidgetItem *row = currentRow()) {
        setState(row, IconDone + int(m_kind),
                 str(m_isDownload ? StrId::DownloadOk : StrId::UploadOk));
        row->setText(ColStat, m_seconds > 0.0 ? fmt(StrId::SecondsSpeed, m_seconds,
                                                    megabitsPerSecond(double(m_size), m_seconds))
                                              : fmt(StrId::SecondsNoSpeed, m_seconds));
    }
    if (m_isDownload)
        refreshAfterDownload();
    m_busy = false;
    m_host.transferBusyChanged(false);
    postStart();
}

int CTransferDlg::nextWaitingRow() const {
    for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
        if (isWaiting(stateOf(m_list->topLevelItem(i))))
            return i;
    }
    return -1;
}

void CTransferDlg::refreshAfterDownload() {
    // Posted before the next start, so it runs first; the pane's re-read also refreshes the
    // library's table, against which the next file's short name is chosen.
    if (m_paneRefreshPending && m_pendingMemory != m_memory)
        flushPaneRefresh();
    if (!m_paneRefreshPending)
        QMetaObject::invokeMethod(this, &CTransferDlg::flushPaneRefresh, Qt::QueuedConnection);
    m_paneRefreshPending = true;
    m_pendingMemory = m_memory;
}

void CTransferDlg::flushPaneRefresh() {
    if (!m_paneRefreshPending)
        return;
    m_paneRefreshPending = false;
    // Lets the player settle before the pane asks it for its new table.
    QThread::msleep(SettleAfterDownloadMs);
    m_host.downloadFinished(m_pendingMemory);
}

void CTransferDlg::onFailed(int code) {
    QApplication::beep();
    if (m_progressDirty)
        paintProgress();
    m_busy = false;
    m_host.transferBusyChanged(false);
    if (QTreeWidgetItem *row = currentRow())
        setState(row, IconFailed + int(m_kind), str(runFailure(code)));
    m_hadError = true;
    updateDisplay();
    // After a stop the queue waits for Start; the pane shows what arrived before it (the
    // refresh posted after the last download).
    if (code != KSUSB_ERR_STOPPED)
        postStart();
}

void CTransferDlg::startVoiceConverter(const QString &localPath) {
    const QDir folder(m_host.programDir());
    const QStringList files = folder.entryList(QDir::Files, QDir::Name);
    for (const QString &wanted : ConverterNames) {
        for (const QString &file : files) {
            if (file.compare(wanted, Qt::CaseInsensitive) == 0) {
                // The converter's outcome is not ours to report.
                (void)m_host.ui().startDetached(folder.filePath(file), {localPath});
                return;
            }
        }
    }
}

} // namespace tunara::transfer
