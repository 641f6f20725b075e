// A small borderless notice that closes itself after a time-out unless the user clicks into its
// text. Used for the connection notices, so that none of them waits for a click while the user
// is away.
#pragma once

#include <QDialog>

class QPushButton;
class QTimer;
class QPlainTextEdit;

namespace tunara::device {

class CTimedMessageBox : public QDialog {
    Q_OBJECT
public:
    static constexpr int DefaultTimeoutMs = 3000;

    explicit CTimedMessageBox(const QString &text, QWidget *parent = nullptr);

    // Runs modally; a time-out of 0 gives a box that only the user closes. Returns when closed.
    int runTimed(unsigned timeoutMs);
    // Shows the box without waiting (for callers that must not block); closes by itself likewise.
    void showTimed(unsigned timeoutMs);

    bool held() const { return m_held; }
    bool timed() const { return m_timed; }
    QString text() const;
    QPushButton *button() const { return m_button; }
    QPlainTextEdit *textControl() const { return m_text; }

    // Control numbers other code may refer to.
    static constexpr int TextControlId = 1097;
    static constexpr int CancelButtonId = 2;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setFrameless();
    void start(unsigned timeoutMs);
    void onTimer();

    QPlainTextEdit *m_text = nullptr;
    QPushButton *m_button = nullptr;
    QTimer *m_timer = nullptr;
    bool m_timed = false;
    bool m_modal = false;
    bool m_held = false;
};

} // namespace tunara::device
