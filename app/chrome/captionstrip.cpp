#include "captionstrip.h"

#include "device/memoryformat.h"

#include <QPainter>
#include <QProgressBar>

namespace tunara::chrome {

namespace {
constexpr int IconSize = 24;
constexpr int Margin = 4;
constexpr int BarWidth = 90;
constexpr int BarBottomGap = 4;
} // namespace

CaptionStrip::CaptionStrip(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("captionStrip"));
    setFixedHeight(Height);
    m_titleFont = QFont(QStringLiteral("Arial"));
    m_titleFont.setPixelSize(20);
    m_titleFont.setBold(true);
    m_bar = new QProgressBar(this);
    m_bar->setObjectName(QStringLiteral("usageBar"));
    m_bar->setTextVisible(false);
    m_bar->setFixedHeight(GaugeBarHeight);
    m_bar->setFixedWidth(BarWidth);
    m_bar->setStyleSheet(QStringLiteral(
        "QProgressBar { border: 1px solid #303030; background: #f4f4f4; border-radius: 2px; }"
        "QProgressBar::chunk { background: #2f8f4f; }"));
    m_bar->hide();
}

void CaptionStrip::setTitle(const QString &title) {
    m_title = title;
    update();
}

void CaptionStrip::setIcon(const QIcon &icon) {
    m_icon = icon;
    update();
}

void CaptionStrip::setColours(QColor first, QColor text) {
    m_first = first;
    m_text = text;
    update();
}

void CaptionStrip::setTextColour(QColor text) {
    m_text = text;
    update();
}

void CaptionStrip::setTitleFont(const QFont &font) {
    m_titleFont = font;
    update();
}

void CaptionStrip::setGauge(uint64_t total, uint64_t used, int count) {
    const device::GaugeTexts g = device::gaugeTexts(total, used, count);
    m_drawn = g.drawn;
    m_usage = g.usage;
    m_count = g.count;
    m_bar->setRange(0, g.range);
    m_bar->setValue(std::min(g.position, g.range));
    m_bar->setVisible(g.drawn);
    placeBar();
    update();
}

void CaptionStrip::placeBar() {
    // The bar sits at the bottom right, under the right end of the usage text.
    m_bar->move(std::max(Margin, width() - Margin - BarWidth),
                height() - GaugeBarHeight - BarBottomGap);
}

void CaptionStrip::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    placeBar();
}

void CaptionStrip::paintEvent(QPaintEvent *) {
    QPainter p(this);
    QLinearGradient g(0, 0, width(), 0);
    g.setColorAt(0, m_first.isValid() ? m_first : palette().color(QPalette::Dark));
    g.setColorAt(1, m_first.isValid() ? m_first.darker(130) : palette().color(QPalette::Dark));
    p.fillRect(rect(), g);
    p.setPen(QColor(0x80, 0x80, 0x80));
    p.drawLine(0, height() - 1, width(), height() - 1);

    int x = Margin;
    if (!m_icon.isNull()) {
        m_icon.paint(&p, QRect(x, (height() - IconSize) / 2, IconSize, IconSize));
        x += IconSize + Margin;
    }

    // Right block: the usage text on the upper line, the file count and the bar on the lower.
    const QFontMetrics fm(font());
    const int half = height() / 2;
    int right = width() - Margin;
    if (m_drawn) {
        const int countRight = m_bar->x() - Margin;
        const int usageLeft = right - fm.horizontalAdvance(m_usage);
        const int countLeft = countRight - fm.horizontalAdvance(m_count);
        p.setFont(font());
        p.setPen(m_text);
        p.drawText(QRect(usageLeft, 0, right - usageLeft, half + 1),
                   Qt::AlignRight | Qt::AlignVCenter, m_usage);
        p.drawText(QRect(countLeft, half, countRight - countLeft, height() - half),
                   Qt::AlignRight | Qt::AlignVCenter, m_count);
        right = std::min(usageLeft, countLeft) - 2 * Margin;
    }
    // The title takes what is left, shortened with an ellipsis in a narrow pane.
    p.setPen(m_text);
    p.setFont(m_titleFont);
    const int room = std::max(0, right - x);
    const QString title = QFontMetrics(m_titleFont).elidedText(m_title, Qt::ElideRight, room);
    p.drawText(QRect(x, 0, room, height()), Qt::AlignLeft | Qt::AlignVCenter, title);
}

} // namespace tunara::chrome
