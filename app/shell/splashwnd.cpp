#include "splashwnd.h"

#include "res/format.h"
#include "res/stringtable.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QSvgRenderer>

#include <chrono>
#include <cmath>
#include <numbers>
#include <utility>

namespace tunara::shell {

namespace {

constexpr const char *BuiltInArtwork = "splash/splash";
// The version text sits in the picture shrunk by these margins, bottom right.
constexpr int VersionMarginX = 10;
constexpr int VersionMarginY = 20;
constexpr int VersionPointSize = 8;
// Decoding a picture may take at most this much memory (MiB).
constexpr int DecodeLimitMiB = 128;

// Where the pointer has come along the path; kept for the whole run of the program.
int s_pathIndex = 0;

qint64 steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

CSplashWnd::CSplashWnd(Role role, const QString &pictureFile, Clock clock, QWidget *parent)
    : QDialog(parent), m_role(role), m_clock(clock ? std::move(clock) : Clock(steadyMs)) {
    setObjectName(role == Role::About ? QStringLiteral("aboutBox")
                                      : QStringLiteral("startupSplash"));
    setAccessibleName(res::str(res::StrId::AppTitle));
    if (role == Role::Startup) {
        setWindowFlags(Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
        setAttribute(Qt::WA_ShowWithoutActivating);
    } else {
        setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
        setModal(true);
    }
    // The picture covers the window; nothing is erased under it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);

    m_picture = loadPicture(pictureFile, &m_builtIn);
    setFixedSize(m_picture.size());
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    m_version = programVersion();
    m_timer.setInterval(TickMs);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &CSplashWnd::tick);
}

CSplashWnd::~CSplashWnd() = default;

QImage CSplashWnd::defaultPicture(const QSize &size) {
    QSvgRenderer svg(res::StringTable::current().artworkPath(QLatin1String(BuiltInArtwork)));
    const QSize s = size.isValid() ? size : svg.defaultSize();
    QImage image(s.isValid() ? s : QSize(1, 1), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::black);
    QPainter p(&image);
    svg.render(&p);
    return image;
}

QImage CSplashWnd::loadPicture(const QString &file, bool *builtIn) {
    auto fallback = [builtIn] {
        if (builtIn != nullptr)
            *builtIn = true;
        return defaultPicture();
    };
    const QFileInfo info(file);
    if (file.isEmpty() || !info.isFile() || info.size() > MaxPictureBytes)
        return fallback();
    // The file's name says nothing about its format ("tunara.dat"): its content decides.
    QImageReader reader(file);
    reader.setDecideFormatFromContent(true);
    reader.setAllocationLimit(DecodeLimitMiB);
    const QSize size = reader.size();
    if (size.isValid() &&
        (size.width() > MaxPictureSide || size.height() > MaxPictureSide || size.isEmpty()))
        return fallback();
    QImage image = reader.read();
    if (image.isNull() || image.width() > MaxPictureSide || image.height() > MaxPictureSide)
        return fallback();
    if (builtIn != nullptr)
        *builtIn = false;
    return image;
}

const std::array<QRect, CSplashWnd::PathLength> &CSplashWnd::pointerPath() {
    // One turn of a circle over the upper left of the picture, clockwise from the top.
    static const std::array<QRect, PathLength> path = [] {
        constexpr double CentreX = 120.0;
        constexpr double CentreY = 100.0;
        constexpr double Radius = 60.0;
        std::array<QRect, PathLength> rects;
        for (int i = 0; i < PathLength; ++i) {
            const double angle = 2.0 * std::numbers::pi * i / PathLength;
            const int x = int(std::lround(CentreX + Radius * std::sin(angle)));
            const int y = int(std::lround(CentreY - Radius * std::cos(angle)));
            rects[size_t(i)] =
                QRect(x - PathRectSize / 2, y - PathRectSize / 2, PathRectSize, PathRectSize);
        }
        return rects;
    }();
    return path;
}

int CSplashWnd::pointerPathIndex() {
    return s_pathIndex;
}

QString CSplashWnd::versionText() const {
    if (!m_version)
        return {};
    return res::fmt(res::StrId::VersionFormat, m_version->major, m_version->minor,
                    m_version->build);
}

void CSplashWnd::start() {
    show();
}

void CSplashWnd::showEvent(QShowEvent *event) {
    QDialog::showEvent(event);
    if (m_started)
        return;
    m_started = true;
    startFade();
}

void CSplashWnd::startFade() {
    // The picture fades in over what the screen shows behind the window.
    if (QScreen *s = screen())
        m_backdrop = s->grabWindow(0, x(), y(), width(), height());
    m_state = State::FadingIn;
    m_opacity = 0;
    // The clock starts with the first paint: a start-up that is slow to reach its event loop
    // must not eat the fade before anyone has seen it.
    m_clockStarted = false;
    m_timer.start();
    // Pointer moves and clicks anywhere come to us while we show; keys too, as the start-up
    // splash is never the active window. The headless platform has nothing to grab.
    m_grabbed = QGuiApplication::platformName() != QLatin1String("offscreen");
    if (m_grabbed) {
        grabMouse();
        grabKeyboard();
    }
}

void CSplashWnd::tick() {
    if (!m_clockStarted)
        return;
    const qint64 elapsed = now() - m_stateStart;
    switch (m_state) {
    case State::FadingIn:
        m_opacity = int(std::min<double>(FullOpacity, double(elapsed) * FullOpacity / FadeMs));
        if (m_opacity < 0)
            m_opacity = 0;
        if (elapsed > FadeMs) {
            m_opacity = FullOpacity;
            if (m_role == Role::About) {
                m_state = State::Done;
                m_timer.stop();
            } else {
                m_state = State::Holding;
                m_stateStart = now();
            }
        }
        update();
        break;
    case State::Holding:
        m_opacity = FullOpacity;
        update();
        if (elapsed > HoldMs)
            closeSplash();
        break;
    case State::Done:
        m_timer.stop();
        break;
    }
}

void CSplashWnd::paintEvent(QPaintEvent *) {
    if (!m_clockStarted && m_timer.isActive()) {
        m_clockStarted = true;
        m_stateStart = now();
    }
    QPainter p(this);
    if (m_backdrop.isNull())
        p.fillRect(rect(), Qt::black);
    else
        p.drawPixmap(0, 0, m_backdrop);
    p.setOpacity(m_opacity / double(FullOpacity));
    p.drawImage(0, 0, m_picture);
    p.setOpacity(1.0);
    m_versionDrawn = false;
    if (m_role == Role::About && m_state == State::Done && m_version) {
        QFont font(QStringLiteral("Arial"));
        font.setPointSize(VersionPointSize);
        p.setFont(font);
        p.setPen(Qt::white);
        p.drawText(
            rect().adjusted(VersionMarginX, VersionMarginY, -VersionMarginX, -VersionMarginY),
            Qt::AlignRight | Qt::AlignBottom | Qt::TextSingleLine, versionText());
        m_versionDrawn = true;
    }
}

void CSplashWnd::keyPressEvent(QKeyEvent *event) {
    event->accept();
    closeSplash();
}

void CSplashWnd::mousePressEvent(QMouseEvent *event) {
    event->accept();
    if (event->button() == Qt::LeftButton || event->button() == Qt::RightButton)
        closeSplash();
}

void CSplashWnd::mouseMoveEvent(QMouseEvent *event) {
    event->accept();
    if (m_closed || s_pathIndex >= PathLength)
        return;
    // Moves outside the expected rectangle neither advance nor reset the path.
    if (!pointerPath()[size_t(s_pathIndex)].contains(event->position().toPoint()))
        return;
    if (++s_pathIndex < PathLength)
        return;
    s_pathIndex = 0;
    m_credit = true;
    closeSplash();
}

void CSplashWnd::closeSplash() {
    if (m_closed)
        return;
    m_closed = true;
    m_timer.stop();
    if (std::exchange(m_grabbed, false)) {
        releaseMouse();
        releaseKeyboard();
    }
    if (m_role == Role::About) {
        done(QDialog::Accepted);
        return;
    }
    hide();
    emit startupFinished();
}

} // namespace tunara::shell
