#include "AppVersion.h"

QString FormatVersion(const QString& text) {
    if (text.size() != 8)
        return text;
    return text.left(1) + QLatin1Char('.') + text.mid(1, 1) + QLatin1Char('.') + text.mid(2, 2) +
           QLatin1Char('.') + text.mid(4, 4);
}

QString versionHexText(std::uint32_t version) {
    return QStringLiteral("%1").arg(version, 8, 16, QLatin1Char('0')).toUpper();
}

QString versionText(std::uint32_t version) {
    return FormatVersion(versionHexText(version));
}
