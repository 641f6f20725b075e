// Paces the painting of top-level windows: a window repaints at most once per interval, however
// often its widgets change. A long queue of small files changes the queue's rows, the pane and
// the status texts for every file, hundreds of times a second; painting each change would keep
// the window's thread from answering the player. What a held paint would have shown is painted
// at the end of the interval, so the last state always shows.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>

class QWidget;

namespace tunara::chrome {

class PaintPacer : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultIntervalMs = 40;

    explicit PaintPacer(int intervalMs = DefaultIntervalMs, QObject *parent = nullptr);
    // Paces `window` (a top-level widget) from now on, until it goes.
    void pace(QWidget *window);
    // How many paints were held back and painted later (the bench reads it).
    int heldPaints() const { return m_held; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Window {
        QElapsedTimer lastPaint;
        bool repostPending = false;
    };
    void repost(QObject *window);

    const int m_intervalMs;
    QHash<QObject *, Window> m_windows;
    int m_held = 0;
};

} // namespace tunara::chrome
