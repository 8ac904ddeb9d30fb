#include "FirmwareImage.h"

#include <QCryptographicHash>

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

QString hexByte(unsigned value) {
    return QStringLiteral("%1").arg(value & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
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

namespace {

// The address and the data bytes of a line whose byte count is read and whose
// length holds them.
bool readAddressAndData(const QString& line, FirmwareLine& fields, QString* problem) {
    const int address = hexField(line, 4, 4, problem);
    if (address < 0)
        return false;
    fields.address = static_cast<std::uint16_t>(address);
    const int dataBytes = fields.byteCount - 3;
    fields.data.resize(dataBytes);
    for (int k = 0; k < dataBytes; ++k) {
        const int byte = hexField(line, 8 + 2 * k, 2, problem);
        if (byte < 0)
            return false;
        fields.data[k] = static_cast<char>(byte);
    }
    return true;
}

} // namespace

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
    if (!readAddressAndData(line, fields, problem))
        return std::nullopt;
    return fields;
}

std::optional<FirmwareLine> FirmwareImage::readCheckedLine(const QString& line, QString* problem) {
    const auto refuse = [problem](const QString& why) -> std::optional<FirmwareLine> {
        if (problem)
            *problem = why;
        return std::nullopt;
    };
    FirmwareLine fields;
    if (line.isEmpty()) {
        fields.recordType = FirmwareLine::NoRecord;
        return fields;
    }
    if (line.at(0) != QLatin1Char(':'))
        return refuse(QStringLiteral("it does not start with ':'"));
    if (line.size() < 4)
        return refuse(QStringLiteral("it has %1 characters, too few for a record type and a byte count")
                          .arg(line.size()));
    fields.recordType = hexField(line, 1, 1, problem);
    if (fields.recordType < 0)
        return std::nullopt;
    fields.byteCount = hexField(line, 2, 2, problem);
    if (fields.byteCount < 0)
        return std::nullopt;
    if (fields.byteCount < FirmwareLine::MinByteCount || fields.byteCount > FirmwareLine::MaxByteCount)
        return refuse(QStringLiteral("its byte count %1 is outside %2 to %3")
                          .arg(fields.byteCount)
                          .arg(FirmwareLine::MinByteCount)
                          .arg(FirmwareLine::MaxByteCount));
    // ':' and the type digit, then N bytes (count, address, data) and the checksum.
    const qsizetype wanted = 2 * qsizetype(fields.byteCount) + 4;
    if (line.size() < wanted)
        return refuse(QStringLiteral("it has %1 characters where its byte count %2 needs %3: it is cut short")
                          .arg(line.size())
                          .arg(fields.byteCount)
                          .arg(wanted));
    if (line.size() > wanted)
        return refuse(QStringLiteral("it has %1 characters where its byte count %2 allows %3")
                          .arg(line.size())
                          .arg(fields.byteCount)
                          .arg(wanted));
    if (!readAddressAndData(line, fields, problem))
        return std::nullopt;
    unsigned sum =
        unsigned(fields.recordType + fields.byteCount + (fields.address >> 8) + (fields.address & 0xFF));
    for (const char byte : fields.data)
        sum += static_cast<std::uint8_t>(byte);
    const int checksum = hexField(line, wanted - 2, 2, problem);
    if (checksum < 0)
        return std::nullopt;
    const unsigned expected = (0x100 - (sum & 0xFF)) & 0xFF;
    if (unsigned(checksum) != expected)
        return refuse(QStringLiteral("its checksum is %1, but its bytes give %2")
                          .arg(hexByte(checksum), hexByte(expected)));
    return fields;
}

void FirmwareImage::load(const QByteArray& text) {
    m_lines = splitLines(text);
    m_version = AppFirmwareVersion;
    validate();
}

void FirmwareImage::loadChecked(const QByteArray& text) {
    m_lines = splitLines(text);
    m_version = 0;
    validateChecked();
}

void FirmwareImage::clear() {
    m_lines.clear();
    m_version = AppFirmwareVersion;
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

void FirmwareImage::validateChecked() {
    m_firstBadLine = -1;
    m_problem.clear();
    const auto refuse = [this](int index, const QString& why) {
        m_firstBadLine = index;
        m_problem = QStringLiteral("Firmware image line %1 is refused: %2.").arg(index + 1).arg(why);
    };
    bool hasData = false;
    int versionLine = -1;
    for (int i = 0; i < count(); ++i) {
        if (m_lines.at(i).isEmpty())
            continue;
        if (versionLine >= 0) {
            refuse(i,
                   QStringLiteral("it follows the closing version record of line %1").arg(versionLine + 1));
            return;
        }
        QString why;
        const std::optional<FirmwareLine> fields = readCheckedLine(m_lines.at(i), &why);
        if (!fields) {
            refuse(i, why);
            return;
        }
        if (fields->recordType == FirmwareLine::VersionRecord) {
            if (fields->data.size() < 4) {
                refuse(i, QStringLiteral("its version record holds %1 bytes, fewer than the 4 of a version")
                              .arg(fields->data.size()));
                return;
            }
            const auto byte = [&fields](int k) { return std::uint32_t(std::uint8_t(fields->data.at(k))); };
            m_version = byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
            versionLine = i;
        }
        hasData = hasData || fields->isData();
    }
    if (!hasData) {
        m_problem = emptyProblem();
        return;
    }
    if (versionLine < 0) {
        // A file cut after whole lines reads well up to its end.
        refuse(count() - 1, QStringLiteral("the image ends here without its closing version record: it is "
                                           "cut short, or not an image for this hub"));
        m_version = 0;
    }
}

QString FirmwareImage::digest() const {
    return QString::fromLatin1(
        QCryptographicHash::hash(m_lines.join(QLatin1Char('\n')).toLatin1(), QCryptographicHash::Sha256)
            .toHex());
}
