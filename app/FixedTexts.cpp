#include "FixedTexts.h"

#include <QStringList>

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

} // namespace fixedtexts
