#include "creditsdlg.h"

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

    // The list of the team sits on the picture.
    m_list = new QLabel(builtInText(res::StrId::CreditsText), m_picture);
    m_list->setObjectName(QStringLiteral("creditsList"));
    m_list->setAlignment(Qt::AlignCenter);
    m_list->setStyleSheet(QStringLiteral("color: white; background: transparent;"));
    m_list->setAccessibleName(windowTitle());
    auto *over = new QVBoxLayout(m_picture);
    over->addWidget(m_list);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_picture);
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
    return m_list->text();
}

} // namespace tunara::shell
