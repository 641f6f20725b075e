// "System Parameters R/W" (dialog 161), the hidden service dialog: the USB loop-back test
// (download one file into 'M', delete it, again and again until SHIFT is held or Stop is
// pressed), and the doors to the program and font update and to the memory dump.
#pragma once

#include "servicecontext.h"

#include <QDialog>
#include <QList>
#include <QPair>

class QPlainTextEdit;
class QPushButton;

namespace tunara::service {

class XferNotifier;

class CSysParamDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int IdLoopback = 1130;
    static constexpr int IdLog = 1095;
    static constexpr int IdFontDownloader = 1131;
    static constexpr int IdMemoryDump = 1132;

    static constexpr uint32_t Step = 10000; // bytes between progress notifications
    static constexpr int MaxLogLines = 100; // past this the oldest lines go
    static constexpr int TrimLogLines = 10;

    CSysParamDlg(const ServiceContext &context, QWidget *parent = nullptr);
    ~CSysParamDlg() override;

    QPlainTextEdit *log() const { return m_log; }
    QPushButton *loopbackButton() const { return m_loopback; }
    QPushButton *stopButton() const { return m_stop; }
    QPushButton *fontButton() const { return m_font; }
    QPushButton *dumpButton() const { return m_dump; }
    bool testRunning() const { return m_running; }

    // The loop-back test; returns when it has ended. Runs inside the button's handler and keeps
    // the window working while it waits.
    void runLoopbackTest();
    void openFontDownloader();
    void openMemoryDump();

public slots:
    void reject() override;

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void appendLog(const QString &text);
    void onNotify(unsigned code, qint64 value);
    bool stopRequested() const;
    // Lets the window work for a moment (at most `ms` milliseconds).
    static void pump(int ms);
    void waitForPlayer();
    void setRunning(bool running);

    ServiceContext m_context;
    XferNotifier *m_notifier = nullptr;
    QPushButton *m_loopback = nullptr;
    QPushButton *m_stop = nullptr;
    QPushButton *m_font = nullptr;
    QPushButton *m_dump = nullptr;
    QPlainTextEdit *m_log = nullptr;
    bool m_running = false;
    bool m_stopPressed = false;
    bool m_done = false;
    bool m_workerRunning = false;
    bool m_starting = false;                   // the start call is on the player link
    QList<QPair<unsigned, qint64>> m_deferred; // notices that came before its answer
};

} // namespace tunara::service
