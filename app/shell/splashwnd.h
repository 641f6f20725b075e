// The splash window: one borderless picture that fades in, used twice. At start-up it shows over
// the desktop while the main window comes up and, when it goes, asks the main window to connect;
// as the About box it runs modally and adds the program's version once the fade is complete.
// A hidden pointer path over the picture sets the credit flag.
#pragma once

#include "programversion.h"

#include <QDialog>
#include <QImage>
#include <QPixmap>
#include <QTimer>

#include <array>
#include <functional>
#include <optional>

namespace tunara::shell {

class CSplashWnd : public QDialog {
    Q_OBJECT
public:
    enum class Role { Startup, About };
    enum class State { FadingIn = 1, Holding = 3, Done = 4 };
    // Milliseconds of a steady clock.
    using Clock = std::function<qint64()>;

    static constexpr int FadeMs = 1000;
    static constexpr int HoldMs = 100;
    static constexpr int TickMs = 1;
    static constexpr int FullOpacity = 255;
    static constexpr int PathLength = 31;
    static constexpr int PathRectSize = 10;
    // A picture file larger than this, or larger than this on a side, is not decoded: the
    // built-in picture is shown instead of stalling the start.
    static constexpr qint64 MaxPictureBytes = qint64(16) * 1024 * 1024;
    static constexpr int MaxPictureSide = 4096;

    // `pictureFile`: the splash picture (any of the image formats, recognised by content);
    // the built-in picture when it is missing, too large or undecodable. `clock` empty: the
    // steady clock. The About role is modal and parented; the start-up role has no parent.
    CSplashWnd(Role role, const QString &pictureFile, Clock clock = {}, QWidget *parent = nullptr);
    ~CSplashWnd() override;

    // Start-up role: shows the window and starts the fade. When it closes it hides and emits
    // startupFinished() once.
    void start();

    Role role() const { return m_role; }
    State state() const { return m_state; }
    int opacity() const { return m_opacity; }
    bool creditFlag() const { return m_credit; }
    bool closed() const { return m_closed; }
    bool builtInPicture() const { return m_builtIn; }
    QSize pictureSize() const { return m_picture.size(); }
    // The version text the About box draws once faded in; without a version nothing is drawn.
    void setVersion(std::optional<ProgramVersion> version) { m_version = version; }
    QString versionText() const;
    // Whether the last paint drew the version text.
    bool versionDrawn() const { return m_versionDrawn; }

    // The pointer path, in picture coordinates, and how far along it the pointer has come
    // (shared by every splash window of the program).
    static const std::array<QRect, PathLength> &pointerPath();
    static int pointerPathIndex();

    // The picture shown for `file`, and whether it is the built-in one.
    static QImage loadPicture(const QString &file, bool *builtIn = nullptr);
    static QImage defaultPicture(const QSize &size = {});

signals:
    // The start-up splash went away: the main window's first connection attempt.
    void startupFinished();

protected:
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;

private:
    void startFade();
    void tick();
    void closeSplash();
    qint64 now() const { return m_clock(); }

    Role m_role;
    Clock m_clock;
    QImage m_picture;
    bool m_builtIn = false;
    QPixmap m_backdrop; // what the screen showed where the window now is
    State m_state = State::FadingIn;
    qint64 m_stateStart = 0;
    int m_opacity = 0;
    bool m_credit = false;
    bool m_started = false;
    bool m_closed = false;
    bool m_versionDrawn = false;
    bool m_grabbed = false;
    bool m_clockStarted = false;
    std::optional<ProgramVersion> m_version;
    QTimer m_timer;
};

} // namespace tunara::shell
