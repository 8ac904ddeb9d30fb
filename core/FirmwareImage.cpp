#include "FirmwareImage.h"

namespace {

int hexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    return -1;
}

// Reads the hexadecimal field at 0-based position pos; -1 when any digit is bad.
int hexField(const QString& line, qsizetype pos, qsizetype digits, QString* problem) {
    int value = 0;
    for (qsizetype i = pos; i < pos + digits; ++i) {
        const int d = hexDigit(line.at(i));
        if (d < 0) {
            if (problem)
                *problem = QStringLiteral("character %1 ('%2') is not a hexadecimal digit")
                               .arg(i + 1)
                               .arg(line.at(i));
            return -1;
        }
        value = value * 16 + d;
    }
    return value;
}

} // namespace

QStringList FirmwareImage::splitLines(const QByteArray& text) {
    QStringList lines;
    const qsizetype size = text.size();
    qsizetype pos = 0;
    while (pos < size && text.at(pos) != '\0') {
        qsizetype end = pos;
        while (end < size && text.at(end) != '\r' && text.at(end) != '\n' && text.at(end) != '\0')
            ++end;
        lines.append(QString::fromLatin1(text.constData() + pos, end - pos));
        pos = end;
        if (pos < size && text.at(pos) == '\r')
            ++pos;
        if (pos < size && text.at(pos) == '\n')
            ++pos;
    }
    return lines;
}

std::optional<FirmwareLine> FirmwareImage::readLine(const QString& line, QString* problem) {
    FirmwareLine fields;
    // Empty lines come from doubled or LF CR line breaks; they carry nothing
    // and are passed over like lines of another type.
    if (line.isEmpty()) {
        fields.recordType = FirmwareLine::NoRecord;
        return fields;
    }
    if (line.size() < 2) {
        if (problem)
            *problem = QStringLiteral("it has no record type");
        return std::nullopt;
    }
    fields.recordType = hexField(line, 1, 1, problem);
    if (fields.recordType < 0)
        return std::nullopt;
    if (!fields.isData())
        return fields;

    if (line.size() < 4) {
        if (problem)
            *problem = QStringLiteral("it has no byte count");
        return std::nullopt;
    }
    fields.byteCount = hexField(line, 2, 2, problem);
    if (fields.byteCount < 0)
        return std::nullopt;
    if (fields.byteCount < FirmwareLine::MinByteCount || fields.byteCount > FirmwareLine::MaxByteCount) {
        if (problem)
            *problem = QStringLiteral("its byte count %1 is outside %2 to %3")
                           .arg(fields.byteCount)
                           .arg(FirmwareLine::MinByteCount)
                           .arg(FirmwareLine::MaxByteCount);
        return std::nullopt;
    }
    const int dataBytes = fields.byteCount - 3;
    const qsizetype needed = 2 * qsizetype(fields.byteCount) + 2;
    if (line.size() < needed) {
        if (problem)
            *problem = QStringLiteral("it has %1 characters, too few for its %2 data bytes")
                           .arg(line.size())
                           .arg(dataBytes);
        return std::nullopt;
    }
    const int address = hexField(line, 4, 4, problem);
    if (address < 0)
        return std::nullopt;
    fields.address = static_cast<std::uint16_t>(address);
    fields.data.resize(dataBytes);
    for (int k = 0; k < dataBytes; ++k) {
        const int byte = hexField(line, 8 + 2 * k, 2, problem);
        if (byte < 0)
            return std::nullopt;
        fields.data[k] = static_cast<char>(byte);
    }
    return fields;
}

void FirmwareImage::load(const QByteArray& text) {
    m_lines = splitLines(text);
    validate();
}

void FirmwareImage::clear() {
    m_lines.clear();
    validate();
}

QString FirmwareImage::emptyProblem() {
    return QStringLiteral("The firmware image holds no data lines.");
}

void FirmwareImage::validate() {
    m_firstBadLine = -1;
    m_problem.clear();
    bool hasData = false;
    for (int i = 0; i < count(); ++i) {
        QString why;
        const std::optional<FirmwareLine> fields = readLine(m_lines.at(i), &why);
        if (!fields) {
            m_firstBadLine = i;
            m_problem = QStringLiteral("Firmware image line %1 cannot be read: %2.").arg(i + 1).arg(why);
            return;
        }
        hasData = hasData || fields->isData();
    }
    if (!hasData)
        m_problem = emptyProblem();
}
