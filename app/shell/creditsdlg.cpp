#include "creditsdlg.h"

#include "chrome/scrolltext.h"
#include "res/stringtable.h"

#include <QLabel>
#include <QPainter>
#include <QSvgRenderer>
#include <QVBoxLayout>

namespace tunara::shell {

namespace {
// The program's own picture and texts, never a pack's.
constexpr const char *CreditsArtwork = ":/tunara/art/splash/credits.svg";

QString builtInText(res::StrId id) {
    return res::StringTable::builtIn().value(static_cast<int>(id));
}
} // namespace

// Control 1164: the picture drawn over a black ground with the current opacity.
class CCreditsDlg::Picture : public QWidget {
public:
    explicit Picture(QWidget *parent) : QWidget(parent) {
        setObjectName(QStringLiteral("creditsPicture"));
        setProperty("controlId", PictureControl);
        QSvgRenderer svg{QString::fromLatin1(CreditsArtwork)};
        m_image = QImage(svg.defaultSize(), QImage::Format_ARGB32_Premultiplied);
        m_image.fill(Qt::black);
        QPainter p(&m_image);
        svg.render(&p);
        setFixedSize(m_image.size());
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    int opacity = 0;

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        p.fillRect(rect(), Qt::black);
        p.setOpacity(opacity / 255.0);
        p.drawImage(0, 0, m_image);
    }

private:
    QImage m_image;
};

CCreditsDlg::CCreditsDlg(QWidget *parent) : QDialog(parent) {
    setObjectName(QStringLiteral("creditsDialog"));
    setWindowTitle(builtInText(res::StrId::CreditsCaption));
    m_picture = new Picture(this);

    // The list of the team scrolls up under the picture.
    m_list = new chrome::CScrollText(this);
    m_list->setObjectName(QStringLiteral("creditsList"));
    m_list->setAccessibleName(windowTitle());
    m_list->setScrollText(builtInText(res::StrId::CreditsText), QLatin1Char('\n'));
    m_list->setSpeed(chrome::CScrollText::Speed::Medium);
    m_list->setBackground(QColor(0x10, 0x20, 0x60), Qt::black);
    m_list->setFixedHeight(ListHeight);
    m_list->start();

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_picture);
    layout->addWidget(m_list);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    m_timer.setInterval(TickMs);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_picture->opacity = (m_picture->opacity + 1) % OpacitySteps;
        m_picture->update();
    });
    m_timer.start();
}

int CCreditsDlg::opacity() const {
    return m_picture->opacity;
}

QString CCreditsDlg::creditsText() const {
    return m_list->scrollText();
}

} // namespace tunara::shell
