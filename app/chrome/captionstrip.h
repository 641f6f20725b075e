// The strip across the top of a memory pane: icon, title and the memory's usage gauge (a thin
// bar, the usage text right-aligned and the file count).
#pragma once

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QWidget>

#include <cstdint>

class QProgressBar;

namespace tunara::chrome {

class CaptionStrip : public QWidget {
    Q_OBJECT
public:
    static constexpr int Height = 30;
    static constexpr int GaugeBarHeight = 8;

    explicit CaptionStrip(QWidget *parent = nullptr);

    void setTitle(const QString &title);
    void setIcon(const QIcon &icon);
    void setColours(QColor first, QColor text);
    void setTextColour(QColor text);
    void setTitleFont(const QFont &font);

    // The usage numbers: total and used bytes, file count.
    void setGauge(uint64_t total, uint64_t used, int count);

    QString title() const { return m_title; }
    bool gaugeDrawn() const { return m_drawn; }
    QString usageText() const { return m_usage; }
    QString countText() const { return m_count; }
    QProgressBar *bar() const { return m_bar; }
    QColor textColour() const { return m_text; }

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void placeBar();

    QString m_title;
    QIcon m_icon;
    QColor m_first;
    QColor m_text = Qt::white;
    QFont m_titleFont;
    QProgressBar *m_bar = nullptr;
    bool m_drawn = false;
    QString m_usage;
    QString m_count;
};

} // namespace tunara::chrome
