#include "FixedTexts.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace fixedtexts {

static const QString LineEnd = QStringLiteral("\r\n");

QString helpText() {
    return QStringList{
        QStringLiteral("Charging Hub for Lumeta 1"),
        QString(),
        QStringLiteral("How to update:"),
        QStringLiteral("Step 1: Connect the Charging Hub to your computer by micro USB"),
        QStringLiteral("cable. Red LEDs on the Hub will blink when connected. It is not"),
        QStringLiteral("necessary to connect the Hub to power."),
        QStringLiteral("Step 2: Go to the Update page and click [Check Version]. This will"),
        QStringLiteral("show whether an update is available."),
        QStringLiteral("Step 3: Click [Update] to initiate the update."),
        QString(),
        QStringLiteral("Note:"),
        QStringLiteral("1 Do not connect more than one Charging Hub at the same time;"),
        QStringLiteral("2 Do not remove the USB cable during the update;"),
        QStringLiteral("3 If the update fails, repeat the above steps."),
    }
        .join(LineEnd);
}

QString releaseNotes() {
    return QStringList{
        QStringLiteral("Release Notes:") + QString(7, QLatin1Char(' ')),
        QString(61, QLatin1Char('-')),
        QStringLiteral("V1.1.15.0906"),
        QStringLiteral("* Fixed bug that occurs during extended charging,"),
        QStringLiteral("   e.g. leaving batteries in the Hub for over one"),
        QStringLiteral("   week."),
    }
        .join(LineEnd);
}

// The texts were measured in the faces the window asks for (Arial, SimSun).
// A system without them gives other faces, often wider: the face then gets
// smaller until the text fits its box, which never moves. A wrapping label
// must fit in height, any other one line by line in width.
void fitToBox(QLabel* label) {
    const QRect box = label->contentsRect();
    const auto fits = [&](const QFontMetrics& metrics) {
        if (label->wordWrap()) {
            return metrics
                       .boundingRect(QRect(0, 0, box.width(), 1 << 16),
                                     int(label->alignment()) | Qt::TextWordWrap, label->text())
                       .height() <= box.height();
        }
        const QStringList lines = label->text().split(QRegularExpression(QStringLiteral("\\r?\\n")));
        return std::all_of(lines.cbegin(), lines.cend(), [&](const QString& line) {
            return metrics.horizontalAdvance(line) <= box.width();
        });
    };
    QFont font = label->font();
    if (fits(QFontMetrics(font)))
        return;
    if (font.pixelSize() < 0) // sized in points: count in pixels from here on
        font.setPixelSize(QFontInfo(font).pixelSize());
    while (font.pixelSize() > 8 && !fits(QFontMetrics(font)))
        font.setPixelSize(font.pixelSize() - 1);
    if (font != label->font())
        label->setFont(font);
}

} // namespace fixedtexts
