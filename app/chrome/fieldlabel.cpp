#include "fieldlabel.h"

#include "device/uiservices.h"

#include <QMouseEvent>
#include <QPalette>

namespace tunara::chrome {

CFieldLabel::CFieldLabel(const QString &text, QWidget *parent) : QLabel(text, parent) {
    setAutoFillBackground(true);
    setAccessibleName(text);
    m_blink.setInterval(BlinkIntervalMs);
    connect(&m_blink, &QTimer::timeout, this, [this] {
        m_hidden = !m_hidden;
        applyColours();
    });
    resetColours();
}

void CFieldLabel::setColours(QColor background, QColor text) {
    m_background = background;
    m_text = text;
    applyColours();
}

void CFieldLabel::resetColours() {
    setBlinking(false);
    setColours(palette().color(QPalette::Button), Qt::black);
}

void CFieldLabel::setBlinking(bool on) {
    if (on) {
        m_blink.start();
    } else {
        m_blink.stop();
        m_hidden = false;
    }
    applyColours();
}

void CFieldLabel::setLink(const QUrl &url, device::UiServices *ui) {
    m_link = url;
    m_ui = ui;
    setCursor(url.isEmpty() ? Qt::ArrowCursor : Qt::PointingHandCursor);
}

void CFieldLabel::applyColours() {
    QPalette pal = palette();
    pal.setColor(QPalette::Window, m_background);
    // A hidden blink phase draws the text in the background colour, so the layout never moves.
    pal.setColor(QPalette::WindowText, m_hidden ? m_background : m_text);
    setPalette(pal);
}

void CFieldLabel::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton)
        m_pressed = true;
    QLabel::mousePressEvent(event);
}

void CFieldLabel::mouseReleaseEvent(QMouseEvent *event) {
    const bool click = m_pressed && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    m_pressed = false;
    QLabel::mouseReleaseEvent(event);
    if (!click)
        return;
    emit clicked();
    if (!m_link.isEmpty() && m_ui != nullptr)
        (void)m_ui->openUrl(m_link);
}

} // namespace tunara::chrome
