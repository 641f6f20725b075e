// The hidden credits: a picture that keeps fading in and the list of the people behind the
// program. It always shows the program's own texts and picture, whatever language pack is in use.
#pragma once

#include <QDialog>
#include <QImage>
#include <QTimer>

namespace tunara::chrome {
class CScrollText;
}

namespace tunara::shell {

class CCreditsDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int PictureControl = 1164;
    static constexpr int TickMs = 100;
    static constexpr int OpacitySteps = 256; // from transparent to opaque, then again
    static constexpr int ListHeight = 120;

    explicit CCreditsDlg(QWidget *parent = nullptr);

    // The picture's opacity, 0-255; one step up on every tick.
    int opacity() const;
    QString creditsText() const;

private:
    class Picture;
    Picture *m_picture = nullptr;
    chrome::CScrollText *m_list = nullptr;
    QTimer m_timer;
};

} // namespace tunara::shell
