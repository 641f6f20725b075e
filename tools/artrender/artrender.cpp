// artrender: draws an SVG picture into a PNG file at build time (the desktop icons in their
// sizes, the splash picture beside the installed program).
//
//   artrender SVG PNG [SIZE] [--background COLOR]
//
// SIZE is "N" (a square) or "WxH"; without it the picture's own size is taken. The background
// is transparent unless given.
#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

namespace {

bool parseSize(const QString &text, QSize &size) {
    const QStringList parts = text.split(QLatin1Char('x'));
    bool okW = false;
    bool okH = false;
    const int w = parts.value(0).toInt(&okW);
    const int h = parts.size() == 2 ? parts[1].toInt(&okH) : w;
    if (!okW || (parts.size() == 2 && !okH) || parts.size() > 2 || w <= 0 || h <= 0 || w > 4096 ||
        h > 4096)
        return false;
    size = QSize(w, h);
    return true;
}

} // namespace

int main(int argc, char **argv) {
    // Drawing needs no screen; the build may run without one.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QStringList args = QGuiApplication::arguments().mid(1);
    QColor background(Qt::transparent);
    const qsizetype at = args.indexOf(QStringLiteral("--background"));
    if (at >= 0 && at + 1 < args.size()) {
        background = QColor(args[at + 1]);
        args.remove(at, 2);
    }
    if (args.size() < 2 || args.size() > 3 || !background.isValid()) {
        std::fprintf(stderr, "usage: artrender SVG PNG [SIZE|WxH] [--background COLOR]\n");
        return 2;
    }
    QSvgRenderer svg(args[0]);
    if (!svg.isValid()) {
        std::fprintf(stderr, "artrender: %s is not a readable SVG picture\n", qPrintable(args[0]));
        return 1;
    }
    QSize size = svg.defaultSize();
    if (args.size() == 3 && !parseSize(args[2], size)) {
        std::fprintf(stderr, "artrender: bad size %s\n", qPrintable(args[2]));
        return 2;
    }
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(background);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        svg.render(&p);
    }
    if (!image.save(args[1], "PNG")) {
        std::fprintf(stderr, "artrender: cannot write %s\n", qPrintable(args[1]));
        return 1;
    }
    return 0;
}
