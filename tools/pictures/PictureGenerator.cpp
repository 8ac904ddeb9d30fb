// Draws the skin's pictures: two 854 x 605 JPEG backgrounds and the 48 x 48
// PNG module pictures (white line icons with a soft shadow). Everything is
// computed here, so the same program always writes the same files.
//
//   quorvi-pictures <output directory>

#include <QColor>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTransform>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>

namespace {

constexpr int BackgroundWidth = 854;
constexpr int BackgroundHeight = 605;
constexpr int IconSize = 48;

// Small deterministic generator for the dither noise.
class Lcg {
public:
    explicit Lcg(uint32_t seed) : m_state(seed) {}
    int next(int range) {
        m_state = m_state * 1664525u + 1013904223u;
        return static_cast<int>((m_state >> 16) % static_cast<uint32_t>(range));
    }

private:
    uint32_t m_state;
};

struct BackgroundStyle {
    QColor top, band, middle, bottom;
    QColor glow;
    uint32_t seed;
};

// A soft ribbon of light across the top band: a wide curved strip, brightest
// along its middle line and fading towards both ends.
void drawRibbon(QPainter& p, qreal y0, qreal y1, qreal thickness, int alpha, qreal bend) {
    const qreal w = BackgroundWidth;
    QPainterPath path;
    path.moveTo(-20, y0);
    path.cubicTo(w * 0.35, y0 - bend, w * 0.65, y1 + bend, w + 20, y1);
    path.lineTo(w + 20, y1 + thickness);
    path.cubicTo(w * 0.65, y1 + bend + thickness * 1.6, w * 0.35, y0 - bend + thickness * 0.6, -20,
                 y0 + thickness * 0.4);
    path.closeSubpath();
    QLinearGradient g(0, 0, w, 0);
    g.setColorAt(0.0, QColor(255, 255, 255, 0));
    g.setColorAt(0.45, QColor(255, 255, 255, alpha));
    g.setColorAt(0.8, QColor(255, 255, 255, alpha / 2));
    g.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.fillPath(path, g);
}

QImage drawBackground(const BackgroundStyle& style) {
    QImage img(BackgroundWidth, BackgroundHeight, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);

    // Calm vertical gradient; darker at the foot, where white text sits.
    QLinearGradient base(0, 0, 0, BackgroundHeight);
    base.setColorAt(0.0, style.top);
    base.setColorAt(0.25, style.band);
    base.setColorAt(0.6, style.middle);
    base.setColorAt(1.0, style.bottom);
    p.fillRect(img.rect(), base);

    // Light from the upper left, behind the module bar.
    QRadialGradient glow(QPointF(150, 40), 420);
    QColor inner = style.glow;
    inner.setAlpha(70);
    QColor outer = style.glow;
    outer.setAlpha(0);
    glow.setColorAt(0, inner);
    glow.setColorAt(1, outer);
    p.fillRect(img.rect(), glow);

    drawRibbon(p, 110, 30, 26, 26, 40);
    drawRibbon(p, 135, 70, 14, 20, 30);
    drawRibbon(p, 60, 120, 40, 12, -30);

    // A hairline under the top band gives the module bar a floor.
    QLinearGradient line(0, 0, BackgroundWidth, 0);
    line.setColorAt(0.0, QColor(255, 255, 255, 0));
    line.setColorAt(0.5, QColor(255, 255, 255, 60));
    line.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.fillRect(QRectF(0, 146, BackgroundWidth, 1), line);
    p.end();

    // Dither against banding in the long gradients.
    Lcg random(style.seed);
    for (int y = 0; y < img.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < img.width(); ++x) {
            const int d = random.next(5) - 2;
            const QRgb c = row[x];
            row[x] = qRgb(std::clamp(qRed(c) + d, 0, 255), std::clamp(qGreen(c) + d, 0, 255),
                          std::clamp(qBlue(c) + d, 0, 255));
        }
    }
    return img;
}

// Icons are drawn at four times their size and scaled down, which gives even
// anti-aliasing for the thin lines.
constexpr int Scale = 4;

QPen iconPen(qreal width = 3.0) {
    QPen pen(Qt::white, width);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    return pen;
}

QImage blurAlpha(const QImage& src, int radius) {
    QImage out(src.size(), QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    const int w = src.width(), h = src.height();
    std::vector<int> alpha(static_cast<size_t>(w * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            alpha[static_cast<size_t>(y * w + x)] = qAlpha(src.pixel(x, y));
    for (int pass = 0; pass < 2; ++pass) {
        std::vector<int> next(alpha.size());
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                int sum = 0, n = 0;
                for (int d = -radius; d <= radius; ++d) {
                    const int xx = pass == 0 ? x + d : x;
                    const int yy = pass == 0 ? y : y + d;
                    if (xx < 0 || yy < 0 || xx >= w || yy >= h)
                        continue;
                    sum += alpha[static_cast<size_t>(yy * w + xx)];
                    ++n;
                }
                next[static_cast<size_t>(y * w + x)] = sum / (2 * radius + 1);
                (void)n;
            }
        }
        alpha.swap(next);
    }
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            out.setPixel(x, y, qPremultiply(qRgba(0, 0, 0, alpha[static_cast<size_t>(y * w + x)])));
    return out;
}

QImage drawIcon(const std::function<void(QPainter&)>& draw) {
    QImage big(IconSize * Scale, IconSize * Scale, QImage::Format_ARGB32_Premultiplied);
    big.fill(Qt::transparent);
    {
        QPainter p(&big);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(Scale, Scale);
        draw(p);
    }
    const QImage shape = big.scaled(IconSize, IconSize, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);

    // Soft shadow below the white lines keeps them readable on light blue.
    QImage shadow = blurAlpha(shape, 1);
    QImage icon(IconSize, IconSize, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::transparent);
    QPainter p(&icon);
    p.setOpacity(0.45);
    p.drawImage(QPoint(0, 1), shadow);
    p.setOpacity(1.0);
    p.drawImage(QPoint(0, 0), shape);
    p.end();
    return icon.convertToFormat(QImage::Format_ARGB32);
}

void drawHome(QPainter& p) {
    p.setPen(iconPen());
    p.setBrush(Qt::NoBrush);
    QPainterPath roof;
    roof.moveTo(6, 24);
    roof.lineTo(24, 8);
    roof.lineTo(42, 24);
    p.drawPath(roof);
    QPainterPath body;
    body.moveTo(11, 20);
    body.lineTo(11, 40);
    body.lineTo(37, 40);
    body.lineTo(37, 20);
    p.drawPath(body);
    QPainterPath door;
    door.moveTo(20, 40);
    door.lineTo(20, 30);
    door.lineTo(28, 30);
    door.lineTo(28, 40);
    p.drawPath(door);
    p.drawLine(QPointF(33, 10), QPointF(33, 15));
}

void drawShield(QPainter& p) {
    p.setPen(iconPen());
    p.setBrush(Qt::NoBrush);
    QPainterPath shield;
    shield.moveTo(24, 6);
    shield.cubicTo(29, 9, 34, 10.5, 39, 11);
    shield.lineTo(39, 23);
    shield.cubicTo(39, 32, 33, 38.5, 24, 42.5);
    shield.cubicTo(15, 38.5, 9, 32, 9, 23);
    shield.lineTo(9, 11);
    shield.cubicTo(14, 10.5, 19, 9, 24, 6);
    shield.closeSubpath();
    p.drawPath(shield);
    QPainterPath tick;
    tick.moveTo(17, 24);
    tick.lineTo(22, 29);
    tick.lineTo(31, 19);
    p.drawPath(tick);
}

void drawTools(QPainter& p) {
    // Wrench outline: round head with an open jaw, and a handle with a hole.
    QPainterPath head;
    head.addEllipse(QPointF(31, 17), 9.5, 9.5);
    const QTransform axis = QTransform().translate(31, 17).rotate(45); // local +y: down and left
    QPainterPath handle;
    handle.addRoundedRect(QRectF(-4, 0, 8, 27), 4, 4);
    handle = axis.map(handle);
    QPainterPath jaw;
    jaw.addRect(QRectF(-3, -14, 6, 10));
    jaw = axis.map(jaw);
    QPainterPath wrench = head.united(handle).subtracted(jaw).simplified();
    p.setPen(iconPen(2.6));
    p.setBrush(Qt::NoBrush);
    p.drawPath(wrench);
    p.setPen(iconPen(2.2));
    p.drawEllipse(axis.map(QPointF(0, 22)), 1.6, 1.6);
}

void drawClockFace(QPainter& p, qreal hourLen, qreal minuteLen) {
    p.drawLine(QPointF(24, 24), QPointF(24, 24 - minuteLen));
    p.drawLine(QPointF(24, 24), QPointF(24 + hourLen * 0.8, 24 + hourLen * 0.6));
}

void drawClock(QPainter& p) {
    p.setPen(iconPen());
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(24, 24), 17, 17);
    drawClockFace(p, 8, 10);
    p.setPen(iconPen(2.4));
    for (int i = 0; i < 4; ++i) {
        const qreal a = i * M_PI / 2;
        p.drawPoint(QPointF(24 + 12.5 * std::sin(a), 24 - 12.5 * std::cos(a)));
    }
}

void drawHistory(QPainter& p) {
    p.setPen(iconPen());
    p.setBrush(Qt::NoBrush);
    // An open circle running anticlockwise back to its start, with an arrow head.
    const QRectF box(7, 7, 34, 34);
    QPainterPath arc;
    arc.arcMoveTo(box, 150);
    arc.arcTo(box, 150, -300);
    p.drawPath(arc);
    QPainterPath arrow;
    const QPointF tip(24 + 17 * std::cos(150 * M_PI / 180), 24 - 17 * std::sin(150 * M_PI / 180));
    arrow.moveTo(tip + QPointF(-6.5, -1.5));
    arrow.lineTo(tip);
    arrow.lineTo(tip + QPointF(1.5, -6.5));
    p.drawPath(arrow);
    drawClockFace(p, 6, 9);
}

void drawSearch(QPainter& p) {
    p.setPen(iconPen());
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(21, 21), 12, 12);
    p.setPen(iconPen(5));
    p.drawLine(QPointF(30.5, 30.5), QPointF(39, 39));
}

bool save(const QImage& image, const QDir& dir, const char* name, const char* format, int quality) {
    const QString path = dir.filePath(QString::fromLatin1(name));
    if (!image.save(path, format, quality)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    // The frame's own blue is 0x3296BE; the first background stays close to it.
    const BackgroundStyle sky{QColor(0x1F, 0x7F, 0xB4), QColor(0x33, 0x98, 0xC4), QColor(0x47, 0xA6, 0xCE),
                              QColor(0x1E, 0x6E, 0x9C), QColor(0xC8, 0xEC, 0xFF), 0x51A7u};
    const BackgroundStyle dusk{QColor(0x1B, 0x5E, 0x8E), QColor(0x2A, 0x7C, 0xA8), QColor(0x3A, 0x8E, 0xB4),
                               QColor(0x17, 0x4C, 0x74), QColor(0xB0, 0xE0, 0xF0), 0x2E91u};

    bool ok = save(drawBackground(sky), dir, "BKIMAGE1_JPG", "JPG", 92);
    ok = save(drawBackground(dusk), dir, "BKIMAGE2_JPG", "JPG", 92) && ok;
    ok = save(drawIcon(drawHome), dir, "MODULE_HOME_PNG", "PNG", -1) && ok;
    ok = save(drawIcon(drawShield), dir, "MODULE_PROTEC_PNG", "PNG", -1) && ok;
    ok = save(drawIcon(drawTools), dir, "MODULE_TOOLS_PNG", "PNG", -1) && ok;
    ok = save(drawIcon(drawClock), dir, "MODULE_CLOCK_PNG", "PNG", -1) && ok;
    ok = save(drawIcon(drawHistory), dir, "MODULE_HISTORY_PNG", "PNG", -1) && ok;
    ok = save(drawIcon(drawSearch), dir, "MODULE_SEARCH_PNG", "PNG", -1) && ok;
    return ok ? 0 : 1;
}
