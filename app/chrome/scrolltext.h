// A panel whose lines scroll upwards one pixel per tick over a horizontally shaded background,
// as used for the tag editor's MPEG information and for credits lists. A line's last character
// picks its style and is not drawn:
//   '\t' title, '\n' top group, '\r' group heading, '^' a picture (the rest of the line names
//   it), anything else normal text.
// When the last line has left the top edge, the text starts again from the bottom edge.
#pragma once

#include <QColor>
#include <QFont>
#include <QHash>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <array>

namespace tunara::chrome {

class CScrollText : public QWidget {
    Q_OBJECT
public:
    // Milliseconds per one-pixel step.
    enum class Speed { Slow = 70, Medium = 40, Fast = 10 };
    enum class LineStyle { Normal, Title, TopGroup, GroupHeading, Picture };

    explicit CScrollText(QWidget *parent = nullptr);

    // Replaces the text: `text` is cut into lines at every `separator`. The scroll position
    // goes back to the start (the first line just below the bottom edge).
    void setScrollText(const QString &text, QChar separator);
    QString scrollText() const { return m_text; }
    QStringList lines() const { return m_lines; }
    // The style a line's last character picks.
    static LineStyle styleOf(const QString &line);
    // The line without its style character.
    static QString shownText(const QString &line);

    void setSpeed(Speed speed);
    Speed speed() const { return m_speed; }

    // Background shaded from `left` at the left edge to `right` at the right edge.
    void setBackground(QColor left, QColor right);
    QColor backgroundLeft() const { return m_left; }
    QColor backgroundRight() const { return m_right; }
    void setTextColour(LineStyle style, QColor colour);
    QColor textColour(LineStyle style) const { return m_colours[index(style)]; }
    // The picture a "name^" line shows; a name without a picture leaves an empty line.
    void setPicture(const QString &name, const QPixmap &picture);

    void start();
    void stop();
    bool isScrolling() const { return m_timer.isActive(); }
    // Pixels scrolled since the start of the current round.
    int scrollPosition() const { return m_position; }
    // Height of all lines together, in pixels.
    int contentHeight() const;

    QSize sizeHint() const override;

signals:
    // A round ended: the last line left the top edge and the text starts again.
    void wrapped();

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    static constexpr std::size_t index(LineStyle s) { return static_cast<std::size_t>(s); }
    QFont fontOf(LineStyle style) const;
    int lineHeight(const QString &line) const;
    void step();

    QString m_text;
    QStringList m_lines;
    Speed m_speed = Speed::Medium;
    QColor m_left = Qt::blue;
    QColor m_right = Qt::black;
    std::array<QColor, 5> m_colours;
    QHash<QString, QPixmap> m_pictures;
    QTimer m_timer;
    int m_position = 0;
};

} // namespace tunara::chrome
