#include "FirmwareImage.h"

#include "Crc32.h"
#include "RegularFile.h"
#include "ResourceLookup.h"

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

std::optional<ImageSummary> ImageSummary::read(const QByteArray& data) {
    if (data.size() < Size)
        return std::nullopt;
    const auto word = [&data](int at) {
        std::uint32_t value = 0;
        for (int k = at; k < at + 4; ++k)
            value = value << 8 | std::uint8_t(data.at(k));
        return value;
    };
    return ImageSummary{word(0), word(4), word(8), word(12)};
}

namespace {

QString hexAddress(std::uint32_t address) {
    return QStringLiteral("0x") + QString::number(address, 16).rightJustified(4, QLatin1Char('0')).toUpper();
}

QString versionHex(std::uint32_t version) {
    return QString::number(version, 16).rightJustified(8, QLatin1Char('0')).toUpper();
}

// The data lines met so far: what the closing record must state of them, and
// where the next one must begin.
class DataTally {
public:
    // Why the line does not run on from the data line before it, or empty.
    QString breakIn(const FirmwareLine& line) const {
        const std::uint32_t start = line.address;
        if (m_lines > 0 && start > m_next)
            return QStringLiteral("its address %1 leaves a gap after line %2, which ends before %3: lines "
                                  "are missing or out of order")
                .arg(hexAddress(start), QString::number(m_lastLine + 1), hexAddress(m_next));
        if (m_lines > 0 && start < m_next)
            return QStringLiteral("its address %1 falls inside line %2, which ends before %3: a line is "
                                  "repeated or out of order")
                .arg(hexAddress(start), QString::number(m_lastLine + 1), hexAddress(m_next));
        if (start + std::uint32_t(line.data.size()) > 0x10000)
            return QStringLiteral("its data run past the end of the 16-bit address space");
        return QString();
    }

    void add(const FirmwareLine& line, int index) {
        ++m_lines;
        m_bytes += std::uint32_t(line.data.size());
        m_crc.add(std::uint8_t(line.byteCount));
        m_crc.add(std::uint8_t(line.address >> 8));
        m_crc.add(std::uint8_t(line.address));
        m_crc.add(line.data);
        m_next = line.address + std::uint32_t(line.data.size());
        m_lastLine = index;
    }

    // Why the closing record's data do not state these lines, or empty.
    QString mismatch(const FirmwareLine& closing, std::optional<std::uint32_t> wantedVersion) const {
        const std::optional<ImageSummary> summary = ImageSummary::read(closing.data);
        if (!summary)
            return QStringLiteral(
                       "its closing record holds %1 data bytes, fewer than the %2 of version, line "
                       "count, byte count and CRC-32")
                .arg(closing.data.size())
                .arg(ImageSummary::Size);
        if (summary->dataLines != m_lines || summary->dataBytes != m_bytes)
            return QStringLiteral("its closing record states %1 data lines of %2 bytes, but %3 lines of %4 "
                                  "bytes come before it: lines are missing, added or retyped")
                .arg(summary->dataLines)
                .arg(summary->dataBytes)
                .arg(m_lines)
                .arg(m_bytes);
        if (summary->crc != crc())
            return QStringLiteral("its closing record states the data CRC-32 %1, but the data lines give %2: "
                                  "a line was changed or moved")
                .arg(summary->crc, 8, 16, QLatin1Char('0'))
                .arg(crc(), 8, 16, QLatin1Char('0'));
        if (wantedVersion && summary->version != *wantedVersion)
            return QStringLiteral("its closing record states version %1, but this program was built for %2")
                .arg(versionHex(summary->version), versionHex(*wantedVersion));
        return QString();
    }

    std::uint32_t lines() const { return m_lines; }
    std::uint32_t crc() const { return m_crc.value(); }

private:
    std::uint32_t m_lines = 0;
    std::uint32_t m_bytes = 0;
    Crc32 m_crc;
    std::uint32_t m_next = 0;
    int m_lastLine = -1;
};

} // namespace

std::optional<QByteArray> FirmwareImage::readFile(const QString& path, QString* problem) {
    return readRegularFile(path, MaxFileSize, problem);
}

void FirmwareImage::load(const QByteArray& text) {
    m_lines = splitLines(text);
    m_origin = QStringLiteral("built-in");
    m_version = AppFirmwareVersion;
    validate();
}

void FirmwareImage::loadBuiltIn() {
    m_lines = splitLines(resources::loadResource(QStringLiteral("APP"), QStringLiteral("appbin")));
    m_origin = QStringLiteral("built-in");
    validateChecked(AppFirmwareVersion);
    m_version = AppFirmwareVersion;
}

void FirmwareImage::loadChecked(const QByteArray& text, const QString& origin) {
    m_lines = splitLines(text);
    m_origin = origin;
    validateChecked(std::nullopt);
}

void FirmwareImage::clear() {
    m_lines.clear();
    m_origin.clear();
    m_version = AppFirmwareVersion;
    validate();
}

QString FirmwareImage::digest() const {
    return QStringLiteral("%1").arg(m_crc, 8, 16, QLatin1Char('0'));
}

QString FirmwareImage::emptyProblem() {
    return QStringLiteral("The firmware image holds no data lines.");
}

void FirmwareImage::validate() {
    m_firstBadLine = -1;
    m_problem.clear();
    m_crc = 0;
    DataTally tally;
    for (int i = 0; i < count(); ++i) {
        QString why;
        const std::optional<FirmwareLine> fields = readLine(m_lines.at(i), &why);
        if (!fields) {
            m_firstBadLine = i;
            m_problem = QStringLiteral("Firmware image line %1 cannot be read: %2.").arg(i + 1).arg(why);
            return;
        }
        if (fields->isData())
            tally.add(*fields, i);
    }
    m_crc = tally.crc();
    if (tally.lines() == 0)
        m_problem = emptyProblem();
}

void FirmwareImage::refuse(int index, const QString& why) {
    m_firstBadLine = index;
    m_problem = QStringLiteral("Firmware image line %1 is refused: %2.").arg(index + 1).arg(why);
}

void FirmwareImage::validateChecked(std::optional<std::uint32_t> wantedVersion) {
    m_firstBadLine = -1;
    m_problem.clear();
    m_crc = 0;
    m_version = 0;
    DataTally tally;
    int closingLine = -1;
    for (int i = 0; i < count(); ++i) {
        if (m_lines.at(i).isEmpty())
            continue;
        if (closingLine >= 0)
            return refuse(i, QStringLiteral("it follows the closing record of line %1").arg(closingLine + 1));
        QString why;
        const std::optional<FirmwareLine> fields = readCheckedLine(m_lines.at(i), &why);
        if (!fields)
            return refuse(i, why);
        if (fields->isData()) {
            why = tally.breakIn(*fields);
            if (!why.isEmpty())
                return refuse(i, why);
            tally.add(*fields, i);
        } else if (fields->recordType == FirmwareLine::ClosingRecord) {
            why = tally.mismatch(*fields, wantedVersion);
            if (!why.isEmpty())
                return refuse(i, why);
            m_version = ImageSummary::read(fields->data)->version;
            closingLine = i;
        } else {
            return refuse(i, QStringLiteral("its record type %1 is none of this format's: 1 for data, 9 for "
                                            "the closing record")
                                 .arg(QString::number(fields->recordType, 16).toUpper()));
        }
    }
    m_crc = tally.crc();
    if (tally.lines() == 0) {
        m_problem = emptyProblem();
        return;
    }
    if (closingLine < 0) {
        // A file cut after whole lines reads well up to its end.
        refuse(count() - 1, QStringLiteral("the image ends here without its closing record: it is cut short, "
                                           "or not an image for this hub"));
    }
}
