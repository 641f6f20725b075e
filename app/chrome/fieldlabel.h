// A caption label that tells its owner when it is clicked. Its background and text colours can
// be set (the default is the button face with black text), its text can blink every 500 ms, and
// it can open a link through the desktop when clicked.
#pragma once

#include <QColor>
#include <QLabel>
#include <QTimer>
#include <QUrl>

namespace tunara::device {
class UiServices;
}

namespace tunara::chrome {

class CFieldLabel : public QLabel {
    Q_OBJECT
public:
    static constexpr int BlinkIntervalMs = 500;

    explicit CFieldLabel(const QString &text, QWidget *parent = nullptr);

    void setColours(QColor background, QColor text);
    // Button face and black text, no blinking.
    void resetColours();
    QColor backgroundColour() const { return m_background; }
    QColor textColour() const { return m_text; }

    // While blinking, the text is hidden and shown in turn every 500 ms.
    void setBlinking(bool on);
    bool isBlinking() const { return m_blink.isActive(); }
    bool textHidden() const { return m_hidden; }

    // A click opens `url` through `ui` (after the clicked signal); an empty url opens nothing.
    void setLink(const QUrl &url, device::UiServices *ui);
    QUrl link() const { return m_link; }

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    void applyColours();

    QColor m_background;
    QColor m_text;
    QTimer m_blink;
    bool m_hidden = false;
    bool m_pressed = false;
    QUrl m_link;
    device::UiServices *m_ui = nullptr;
};

} // namespace tunara::chrome
