// Draws the program's icon: a blue rounded square in the skin's colours with
// a white charging bolt inside a circular update arrow. The drawing is a list
// of shapes on a 256-unit canvas; the same list is written as SVG and painted
// into the PNGs, so every size shows the same picture.
//
//   quorvi-make-icon <output folder>
//
// writes icon.svg and icon-<size>.png for every size in IconSizes.

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

namespace {

constexpr int Canvas = 256;
constexpr std::array IconSizes{16, 22, 24, 32, 48, 64, 128, 256};

struct Stop {
    qreal offset;
    QColor colour;
};

// A vertical or slanted two-point gradient, or a plain colour when it has one stop.
struct Paint {
    QPointF from, to;
    std::vector<Stop> stops;
};

struct Shape {
    QPainterPath path;
    std::optional<Paint> fill;
    std::optional<QColor> stroke;
    qreal strokeWidth = 0;
};

std::vector<Shape> drawing() {
    std::vector<Shape> shapes;

    // Ground: the frame's blue 0x3296BE between the lighter and darker tones
    // of the window's background.
    Shape ground;
    ground.path.addRoundedRect(QRectF(16, 16, 224, 224), 48, 48);
    ground.fill = Paint{
        QPointF(0, 16),
        QPointF(0, 240),
        {{0.0, QColor(0x47, 0xA6, 0xCE)}, {0.5, QColor(0x32, 0x96, 0xBE)}, {1.0, QColor(0x1E, 0x6E, 0x9C)}}};
    shapes.push_back(ground);

    // A soft light band across the top, as on the window's background.
    Shape shine;
    shine.path.moveTo(16, 96);
    shine.path.lineTo(16, 64);
    shine.path.arcTo(QRectF(16, 16, 96, 96), 180, -90);
    shine.path.lineTo(192, 16);
    shine.path.arcTo(QRectF(144, 16, 96, 96), 90, -90);
    shine.path.lineTo(240, 72);
    shine.path.cubicTo(180, 60, 90, 110, 16, 96);
    shine.path.closeSubpath();
    shine.fill = Paint{
        QPointF(0, 16), QPointF(0, 110), {{0.0, QColor(255, 255, 255, 90)}, {1.0, QColor(255, 255, 255, 0)}}};
    shapes.push_back(shine);

    // Update arrow: an open circle, clockwise, ending in an arrow head.
    const QPointF centre(128, 132);
    const qreal radius = 72;
    const QRectF ring(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    Shape arc;
    arc.path.arcMoveTo(ring, 115);
    arc.path.arcTo(ring, 115, -290);
    arc.stroke = QColor(Qt::white);
    arc.strokeWidth = 16;
    shapes.push_back(arc);

    const qreal end = (115.0 - 290.0) * M_PI / 180.0;
    const QPointF tip(centre.x() + radius * std::cos(end), centre.y() - radius * std::sin(end));
    // Tangent of a clockwise arc at angle a (y down): (sin a, cos a).
    const QPointF along(std::sin(end), std::cos(end));
    const QPointF across(along.y(), -along.x());
    Shape head;
    head.path.moveTo(tip + along * 26);
    head.path.lineTo(tip + across * 22 - along * 4);
    head.path.lineTo(tip - across * 22 - along * 4);
    head.path.closeSubpath();
    head.fill = Paint{{}, {}, {{0.0, QColor(Qt::white)}}};
    shapes.push_back(head);

    // Charging bolt in the middle of the ring.
    Shape bolt;
    bolt.path.moveTo(140, 76);
    bolt.path.lineTo(98, 142);
    bolt.path.lineTo(126, 142);
    bolt.path.lineTo(114, 190);
    bolt.path.lineTo(160, 120);
    bolt.path.lineTo(132, 120);
    bolt.path.closeSubpath();
    bolt.fill = Paint{{}, {}, {{0.0, QColor(Qt::white)}}};
    shapes.push_back(bolt);
    return shapes;
}

QString number(qreal v) {
    QString text = QString::number(std::round(v * 100) / 100, 'f', 2);
    while (text.endsWith(u'0'))
        text.chop(1);
    if (text.endsWith(u'.'))
        text.chop(1);
    return text == QLatin1String("-0") ? QStringLiteral("0") : text;
}

QString point(const QPointF& p) {
    return number(p.x()) + u',' + number(p.y());
}

QString colour(const QColor& c) {
    return c.name(QColor::HexRgb);
}

QString opacity(const QColor& c) {
    return number(c.alphaF());
}

// Path data; a subpath that returns to its start is closed with Z so joins,
// not caps, meet there.
QString pathData(const QPainterPath& path) {
    QString d;
    QPointF start;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        const bool last = i + 1 == path.elementCount() || path.elementAt(i + 1).isMoveTo();
        if (e.isMoveTo()) {
            start = e;
            d += u'M' + point(e);
        } else if (e.isLineTo()) {
            if (last && QPointF(e) == start) {
                d += u'Z';
                continue;
            }
            d += u'L' + point(e);
        } else if (e.isCurveTo()) {
            const QPointF c2 = path.elementAt(i + 1);
            const QPointF to = path.elementAt(i + 2);
            d += u'C' + point(e) + u' ' + point(c2) + u' ' + point(to);
            i += 2;
            if ((i + 1 == path.elementCount() || path.elementAt(i + 1).isMoveTo()) && to == start)
                d += u'Z';
        }
    }
    return d;
}

QByteArray svg(const std::vector<Shape>& shapes) {
    QString defs;
    QString body;
    int gradients = 0;
    for (const Shape& s : shapes) {
        QString attributes;
        if (s.fill && s.fill->stops.size() > 1) {
            const QString id = QStringLiteral("g%1").arg(gradients++);
            defs += QStringLiteral("    <linearGradient id=\"%1\" gradientUnits=\"userSpaceOnUse\" x1=\"%2\" "
                                   "y1=\"%3\" x2=\"%4\" y2=\"%5\">\n")
                        .arg(id, number(s.fill->from.x()), number(s.fill->from.y()), number(s.fill->to.x()),
                             number(s.fill->to.y()));
            for (const Stop& stop : s.fill->stops)
                defs += QStringLiteral("      <stop offset=\"%1\" stop-color=\"%2\" stop-opacity=\"%3\"/>\n")
                            .arg(number(stop.offset), colour(stop.colour), opacity(stop.colour));
            defs += QStringLiteral("    </linearGradient>\n");
            attributes += QStringLiteral(" fill=\"url(#%1)\"").arg(id);
        } else if (s.fill) {
            attributes += QStringLiteral(" fill=\"%1\"").arg(colour(s.fill->stops.front().colour));
        } else {
            attributes += QStringLiteral(" fill=\"none\"");
        }
        if (s.stroke)
            attributes += QStringLiteral(" stroke=\"%1\" stroke-width=\"%2\" stroke-linecap=\"round\" "
                                         "stroke-linejoin=\"round\"")
                              .arg(colour(*s.stroke), number(s.strokeWidth));
        body += QStringLiteral("  <path d=\"%1\"%2/>\n").arg(pathData(s.path), attributes);
    }
    QString text = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                  "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%1\" "
                                  "viewBox=\"0 0 %1 %1\">\n")
                       .arg(Canvas);
    if (!defs.isEmpty())
        text += QStringLiteral("  <defs>\n") + defs + QStringLiteral("  </defs>\n");
    text += body + QStringLiteral("</svg>\n");
    return text.toUtf8();
}

QImage render(const std::vector<Shape>& shapes, int size) {
    // Painted at four times the size and scaled down: even edges at 16 pixels.
    const int big = size * 4;
    QImage image(big, big, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(qreal(big) / Canvas, qreal(big) / Canvas);
        for (const Shape& s : shapes) {
            if (s.fill && s.fill->stops.size() > 1) {
                QLinearGradient g(s.fill->from, s.fill->to);
                for (const Stop& stop : s.fill->stops)
                    g.setColorAt(stop.offset, stop.colour);
                p.setBrush(g);
            } else if (s.fill) {
                p.setBrush(s.fill->stops.front().colour);
            } else {
                p.setBrush(Qt::NoBrush);
            }
            if (s.stroke) {
                QPen pen(*s.stroke, s.strokeWidth);
                pen.setCapStyle(Qt::RoundCap);
                pen.setJoinStyle(Qt::RoundJoin);
                p.setPen(pen);
            } else {
                p.setPen(Qt::NoPen);
            }
            p.drawPath(s.path);
        }
    }
    return image.scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .convertToFormat(QImage::Format_ARGB32);
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const std::vector<Shape> shapes = drawing();

    bool ok = true;
    QFile file(folder + QStringLiteral("/icon.svg"));
    ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(svg(shapes)) >= 0 && ok;
    file.close();
    for (const int size : IconSizes)
        ok = render(shapes, size).save(folder + QStringLiteral("/icon-%1.png").arg(size)) && ok;
    if (!ok)
        std::fprintf(stderr, "cannot write into %s\n", argv[1]);
    return ok ? 0 : 1;
}
