#include "scrolltext.h"

#include <QEvent>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>

namespace tunara::chrome {

namespace {
constexpr int LineGap = 2; // pixels between two lines
} // namespace

CScrollText::CScrollText(QWidget *parent) : QWidget(parent) {
    m_colours[index(LineStyle::Normal)] = Qt::white;
    m_colours[index(LineStyle::Title)] = QColor(255, 255, 160);
    m_colours[index(LineStyle::TopGroup)] = QColor(160, 255, 255);
    m_colours[index(LineStyle::GroupHeading)] = QColor(255, 210, 120);
    m_colours[index(LineStyle::Picture)] = Qt::white;
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(static_cast<int>(m_speed));
    connect(&m_timer, &QTimer::timeout, this, &CScrollText::step);
}

void CScrollText::setScrollText(const QString &text, QChar separator) {
    m_text = text;
    m_lines = text.split(separator);
    m_position = 0;
    // Readers of the screen get the whole text at once rather than the moving picture.
    QStringList shown;
    for (const QString &line : std::as_const(m_lines))
        if (styleOf(line) != LineStyle::Picture)
            shown << shownText(line);
    setAccessibleDescription(shown.join(QLatin1Char('\n')).trimmed());
    update();
}

CScrollText::LineStyle CScrollText::styleOf(const QString &line) {
    if (line.isEmpty())
        return LineStyle::Normal;
    switch (line.back().unicode()) {
    case '\t':
        return LineStyle::Title;
    case '\n':
        return LineStyle::TopGroup;
    case '\r':
        return LineStyle::GroupHeading;
    case '^':
        return LineStyle::Picture;
    default:
        return LineStyle::Normal;
    }
}

QString CScrollText::shownText(const QString &line) {
    return styleOf(line) == LineStyle::Normal ? line : line.left(line.size() - 1);
}

void CScrollText::setSpeed(Speed speed) {
    m_speed = speed;
    m_timer.setInterval(static_cast<int>(speed));
}

void CScrollText::setBackground(QColor left, QColor right) {
    m_left = left;
    m_right = right;
    update();
}

void CScrollText::setTextColour(LineStyle style, QColor colour) {
    m_colours[index(style)] = colour;
    update();
}

void CScrollText::setPicture(const QString &name, const QPixmap &picture) {
    m_pictures.insert(name, picture);
    update();
}

void CScrollText::start() {
    m_timer.start();
}

void CScrollText::stop() {
    m_timer.stop();
}

QFont CScrollText::fontOf(LineStyle style) const {
    QFont f = font();
    switch (style) {
    case LineStyle::Title:
        f.setBold(true);
        f.setPointSizeF(f.pointSizeF() * 1.3);
        break;
    case LineStyle::TopGroup:
        f.setBold(true);
        f.setPointSizeF(f.pointSizeF() * 1.15);
        break;
    case LineStyle::GroupHeading:
        f.setBold(true);
        break;
    case LineStyle::Normal:
    case LineStyle::Picture:
        break;
    }
    return f;
}

int CScrollText::lineHeight(const QString &line) const {
    const LineStyle style = styleOf(line);
    if (style == LineStyle::Picture) {
        const auto it = m_pictures.constFind(shownText(line));
        if (it != m_pictures.constEnd() && !it->isNull())
            return it->height() + LineGap;
    }
    return QFontMetrics(fontOf(style)).height() + LineGap;
}

int CScrollText::contentHeight() const {
    int h = 0;
    for (const QString &line : m_lines)
        h += lineHeight(line);
    return h;
}

QSize CScrollText::sizeHint() const {
    return {160, 120};
}

void CScrollText::step() {
    ++m_position;
    // A round ends when the last line has passed the top edge.
    if (m_position > height() + contentHeight()) {
        m_position = 0;
        emit wrapped();
    }
    update();
}

void CScrollText::changeEvent(QEvent *event) {
    if (event->type() == QEvent::FontChange)
        update();
    QWidget::changeEvent(event);
}

void CScrollText::paintEvent(QPaintEvent *) {
    QPainter p(this);
    QLinearGradient shade(0, 0, width(), 0);
    shade.setColorAt(0, m_left);
    shade.setColorAt(1, m_right);
    p.fillRect(rect(), shade);

    int y = height() - m_position;
    for (const QString &line : m_lines) {
        const int h = lineHeight(line);
        if (y + h > 0 && y < height()) {
            const LineStyle style = styleOf(line);
            const QString shown = shownText(line);
            if (style == LineStyle::Picture) {
                const QPixmap picture = m_pictures.value(shown);
                if (!picture.isNull())
                    p.drawPixmap((width() - picture.width()) / 2, y, picture);
            } else if (!shown.isEmpty()) {
                p.setFont(fontOf(style));
                p.setPen(m_colours[index(style)]);
                // The background shows through: text is drawn without a fill of its own.
                p.drawText(QRect(0, y, width(), h), Qt::AlignHCenter | Qt::AlignTop, shown);
            }
        }
        y += h;
        if (y >= height())
            break;
    }
}

} // namespace tunara::chrome
