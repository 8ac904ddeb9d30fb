#include "SafeText.h"

#include <algorithm>

QString safeText(const QString& text) {
    const auto isControl = [](char16_t u) { return u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0); };
    if (std::none_of(text.cbegin(), text.cend(), [&](QChar c) { return isControl(c.unicode()); }))
        return text;
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (isControl(c.unicode()))
            out += QStringLiteral("\\x%1").arg(int(c.unicode()), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}
