// The transfer manager's view of the running entry: the worker's notifications (start, progress,
// done, failed) as texts and bars, painted at most every RepaintIntervalMs.
#include "res/format.h"
#include "res/stringtable.h"
#include "transferdlg.h"
#include "transferhost.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include <algorithm>

namespace tunara::transfer {

using res::fmt;
using res::str;
using res::StrId;

namespace {

constexpr double BytesPerMegabyte = 1048576.0;
constexpr double BitsPerByte = 8.0;

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

void CTransferDlg::onStarted(std::intptr_t total) {
    m_queue->entryStarted();
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
    const int count = m_queue->count();
    const int overall = pct + std::max(m_queue->current(), 0) * MaxPercent;
    m_overall->setValue(overall);
    if (m_statusBar)
        m_statusBar->setValue(overall);
    m_file->setValue(pct);
    m_seconds = m_startTime.isValid() ? double(m_startTime.elapsed()) * 0.001 : 0.0;
    const QString percent = fmt(StrId::Percent, count > 0 ? overall / count : 0);
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
    const int count = m_queue->count();
    const int overall = std::max(m_queue->current(), 0) * MaxPercent;
    m_overall->setValue(overall);
    if (m_statusBar)
        m_statusBar->setValue(overall);
    m_file->setValue(0);
    const QString percent = fmt(StrId::Percent, count > 0 ? overall / count : 0);
    setCaptionPercent(percent);
    m_overallPercent->setText(percent);
    m_filePercent->setText(fmt(StrId::Percent, 0));
    m_bytes->clear();
}

void CTransferDlg::setCaptionPercent(const QString &text) {
    setWindowTitle(text);
    m_host.setMessageText(text);
    m_percentShown = text;
}

void CTransferDlg::clearStatusPercent() {
    // The last file's percent is no news once the queue has ended (a queue whose every row
    // failed starts no pane refresh that would write over it); a text written since stays.
    if (!m_percentShown.isEmpty() && m_host.messageText() == m_percentShown)
        m_host.setMessageText(str(StrId::Ready));
    m_percentShown.clear();
}

void CTransferDlg::onDone(std::intptr_t moved) {
    m_start->setEnabled(true);
    // The last numbers are painted exactly, whatever the throttle held back.
    m_progressBytes = std::uint64_t(std::max<std::intptr_t>(moved, 0));
    paintProgress();
    m_file->setValue(percentOf(m_progressBytes, m_size));
    m_queue->entryDone(m_seconds > 0.0 ? fmt(StrId::SecondsSpeed, m_seconds,
                                             megabitsPerSecond(double(m_size), m_seconds))
                                       : fmt(StrId::SecondsNoSpeed, m_seconds));
}

void CTransferDlg::onFailed(int code) {
    QApplication::beep();
    if (m_progressDirty)
        paintProgress();
    m_queue->entryFailed(code);
}

} // namespace tunara::transfer
