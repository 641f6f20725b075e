#include "timedmessagebox.h"

#include "res/stringtable.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

namespace tunara::device {

using res::str;
using res::StrId;

CTimedMessageBox::CTimedMessageBox(const QString &text, QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint) {
    setObjectName(QStringLiteral("timedMessageBox"));
    setFrameless();
    m_text = new QPlainTextEdit(this);
    m_text->setObjectName(QStringLiteral("messageText"));
    m_text->setReadOnly(true);
    m_text->setFocusPolicy(Qt::ClickFocus); // not a tab stop, but a click gives it the focus
    m_text->setPlainText(text);
    m_text->setFrameShape(QFrame::NoFrame);
    m_text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_text->document()->setDefaultTextOption(QTextOption(Qt::AlignCenter));
    m_text->installEventFilter(this);
    m_text->viewport()->installEventFilter(this);

    m_button = new QPushButton(str(StrId::TimedOk), this);
    m_button->setObjectName(QStringLiteral("closeButton"));
    m_button->setFlat(true);
    connect(m_button, &QPushButton::clicked, this, &QDialog::reject);

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->addWidget(m_text, 1);
    layout->addWidget(m_button);
    // 299 x 34 dialog units at the usual 6 x 13 pixel font cell
    resize(450, 56);

    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &CTimedMessageBox::onTimer);
}

void CTimedMessageBox::setFrameless() {
    setStyleSheet(QStringLiteral("#timedMessageBox { border: 1px solid palette(dark); }"));
}

QString CTimedMessageBox::text() const {
    return m_text->toPlainText();
}

void CTimedMessageBox::start(unsigned timeoutMs) {
    m_timed = timeoutMs != 0;
    m_held = false;
    // The button shows in both cases: Esc and the button close the box at any time.
    if (m_timed)
        m_timer->start(static_cast<int>(timeoutMs));
    m_button->setFocus();
}

int CTimedMessageBox::runTimed(unsigned timeoutMs) {
    m_modal = true;
    start(timeoutMs);
    return exec();
}

void CTimedMessageBox::showTimed(unsigned timeoutMs) {
    m_modal = false;
    setAttribute(Qt::WA_DeleteOnClose);
    start(timeoutMs);
    show();
}

bool CTimedMessageBox::eventFilter(QObject *watched, QEvent *event) {
    if ((watched == m_text || watched == m_text->viewport()) &&
        (event->type() == QEvent::FocusIn || event->type() == QEvent::MouseButtonPress)) {
        if (!m_held) {
            m_held = true;
            m_button->setText(str(StrId::TimedClose));
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CTimedMessageBox::onTimer() {
    if (m_held)
        return;
    if (m_modal)
        reject();
    else
        close();
}

} // namespace tunara::device
