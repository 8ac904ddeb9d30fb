// Draws the two link lamps: a round lamp with a dark rim and a light spot,
// 24 x 24 pixels on a transparent ground. Raster drawing with fixed inputs
// gives the same bytes on every run.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRadialGradient>
#include <cstdio>

static QImage lamp(const QColor& light, const QColor& dark) {
    QImage image(24, 24, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QRadialGradient glow(QPointF(9.5, 9.5), 11.0);
    glow.setColorAt(0.0, Qt::white);
    glow.setColorAt(0.35, light);
    glow.setColorAt(1.0, dark);
    painter.setPen(QPen(dark.darker(160), 1.2));
    painter.setBrush(glow);
    painter.drawEllipse(QRectF(2.0, 2.0, 20.0, 20.0));
    return image;
}

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <output folder>\n", argv[0]);
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const bool ok = lamp(QColor(0x3C, 0xE0, 0x3C), QColor(0x0A, 0x78, 0x0A)).save(folder + "/LedGreen.png") &&
                    lamp(QColor(0xF0, 0x40, 0x30), QColor(0x90, 0x10, 0x08)).save(folder + "/LedRed.png");
    return ok ? 0 : 1;
}
