#include "FirmwareImage.h"
#include "AppVersion.h"
#include "Crc32.h"
#include "ResourceLookup.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

namespace {

QStringList split(const char* text, qsizetype size) {
    return FirmwareImage::splitLines(QByteArray(text, size));
}
QStringList split(const char* text) {
    return FirmwareImage::splitLines(QByteArray(text));
}

// A well-formed data line with the given byte count (N - 3 data bytes of 0xAB).
QString dataLine(int byteCount) {
    QString line = QStringLiteral(":1%1C000").arg(byteCount, 2, 16, QLatin1Char('0')).toUpper();
    line += QString(2 * (byteCount - 3), QLatin1Char('A')) + QStringLiteral("XX");
    return line;
}

QByteArray imageOf(const QStringList& lines) {
    return lines.join(QStringLiteral("\r\n")).toLatin1() + "\r\n";
}

} // namespace

TEST(FirmwareLineSplitting, EveryKindOfBreakEndsOneLine) {
    EXPECT_EQ(split("a\r\nb\r\nc\r\n"), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(split("a\rb\rc"), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(split("a\nb\nc\n"), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(split("a\r\nb\nc\rd"), (QStringList{"a", "b", "c", "d"}));
}

TEST(FirmwareLineSplitting, LfCrEndsTwoLinesAndCrCrLeavesAnEmptyOne) {
    EXPECT_EQ(split("a\n\rb"), (QStringList{"a", "", "b"}));
    EXPECT_EQ(split("a\r\rb"), (QStringList{"a", "", "b"}));
    EXPECT_EQ(split("a\r\n\r\nb"), (QStringList{"a", "", "b"}));
}

TEST(FirmwareLineSplitting, TheEndOfTheText) {
    EXPECT_EQ(split("a\r\nb"), (QStringList{"a", "b"})) << "a last line without a break is kept";
    EXPECT_EQ(split("a\r\n"), QStringList{"a"}) << "a final break adds no empty line";
    EXPECT_TRUE(split("").isEmpty());
    EXPECT_EQ(split("\r\n"), QStringList{""});
    EXPECT_EQ(split("a\r\nb\0c\r\nd", 10), (QStringList{"a", "b"})) << "NUL ends the text";
    EXPECT_EQ(split("a\r\n\0b", 5), QStringList{"a"});
    EXPECT_TRUE(split("\0a", 2).isEmpty());
}

TEST(FirmwareLineSplitting, BytesAboveAsciiStayOneCharacterEach) {
    const QStringList lines = split("\xB5\xFF\r\n");
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0].size(), 2);
    EXPECT_EQ(lines[0].at(0).unicode(), 0xB5);
}

TEST(FirmwareLineFields, ReadsTypeCountAddressAndDataBytes) {
    QString problem;
    const auto fields = FirmwareImage::readLine(QStringLiteral(":1071234AABBccDDzz"), &problem);
    ASSERT_TRUE(fields) << problem.toStdString();
    EXPECT_TRUE(fields->isData());
    EXPECT_EQ(fields->byteCount, 7);
    EXPECT_EQ(fields->address, 0x1234);
    EXPECT_EQ(fields->data, QByteArray::fromHex("AABBCCDD"));

    const auto smallest = FirmwareImage::readLine(QStringLiteral(":103FFEE"));
    ASSERT_TRUE(smallest);
    EXPECT_EQ(smallest->address, 0xFFEE);
    EXPECT_TRUE(smallest->data.isEmpty());
}

TEST(FirmwareLineFields, OtherRecordTypesAreOnlyTypeRead) {
    const auto fields = FirmwareImage::readLine(QStringLiteral(":9ZZ not read"));
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->recordType, 9);
    EXPECT_FALSE(fields->isData());
    EXPECT_TRUE(FirmwareImage::readLine(QStringLiteral(":0")));
}

TEST(FirmwareLineFields, UnreadableLinesSayWhy) {
    struct Case {
        QString line;
        const char* expectInProblem;
    };
    const Case cases[] = {
        {QStringLiteral(":"), "no record type"},
        {QStringLiteral(":G16"), "character 2"},
        {QStringLiteral(":1"), "no byte count"},
        {QStringLiteral(":102FFEE"), "byte count 2"},
        {QStringLiteral(":13BFFEE"), "byte count 59"},
        {QStringLiteral(":1G5FFEE"), "character 3"},
        {QStringLiteral(":107123"), "too few"},
        {QStringLiteral(":1071234AABBCCD"), "too few"},
        {QStringLiteral(":10712x4AABBCCDD"), "character 7"},
        {QStringLiteral(":1071234AABBCCDG"), "character 16"},
        {QStringLiteral(":1071234AA BCCDD"), "character 11"},
    };
    for (const Case& c : cases) {
        QString problem;
        EXPECT_FALSE(FirmwareImage::readLine(c.line, &problem)) << c.line.toStdString();
        EXPECT_TRUE(problem.contains(QLatin1String(c.expectInProblem)))
            << c.line.toStdString() << ": " << problem.toStdString();
    }
    // The limits themselves are fine.
    EXPECT_TRUE(FirmwareImage::readLine(dataLine(3)));
    EXPECT_TRUE(FirmwareImage::readLine(dataLine(58)));
}

TEST(FirmwareImageValidation, TheBuiltInImageIsUsable) {
    const QByteArray text = resources::loadResource(QStringLiteral("APP"), QStringLiteral("appbin"));
    EXPECT_EQ(text.size(), 31300);
    FirmwareImage image;
    image.load(text);
    ASSERT_EQ(image.count(), 626);
    EXPECT_TRUE(image.isUsable()) << image.problem().toStdString();
    EXPECT_EQ(image.firstBadLine(), -1);
    EXPECT_TRUE(image.problem().isEmpty());

    int dataLines = 0;
    int previousAddress = -1;
    for (int i = 0; i < image.count(); ++i) {
        ASSERT_EQ(image.line(i).size(), 48) << "line " << i;
        ASSERT_TRUE(image.line(i).startsWith(QLatin1Char(':')));
        const auto fields = FirmwareImage::readLine(image.line(i));
        ASSERT_TRUE(fields);
        if (!fields->isData())
            continue;
        ++dataLines;
        EXPECT_EQ(fields->byteCount, 22);
        EXPECT_GT(int(fields->address), previousAddress) << "line " << i;
        previousAddress = fields->address;
    }
    EXPECT_GT(dataLines, 600);
    EXPECT_LT(dataLines, image.count()) << "at least one line of another type";
}

TEST(FirmwareImageValidation, TheFirstBrokenLineMakesTheImageUnusable) {
    const QStringList good = {dataLine(22), dataLine(22), QStringLiteral(":9160000"), dataLine(3)};
    FirmwareImage image;
    image.load(imageOf(good));
    ASSERT_TRUE(image.isUsable()) << image.problem().toStdString();

    const QString broken[] = {
        dataLine(2),           dataLine(59),
        dataLine(22).left(40), QStringLiteral(":116C0G0") + QString(40, 'A'),
        QStringLiteral(":"),
    };
    for (const QString& bad : broken) {
        QStringList lines = good;
        lines.insert(2, bad);
        lines.append(dataLine(60)); // a later bad line must not be the one reported
        image.load(imageOf(lines));
        EXPECT_FALSE(image.isUsable()) << bad.toStdString();
        EXPECT_EQ(image.firstBadLine(), 2) << bad.toStdString();
        EXPECT_TRUE(image.problem().contains(QLatin1String("line 3"))) << image.problem().toStdString();
        EXPECT_EQ(image.count(), lines.size()) << "the lines are kept as loaded";
        EXPECT_EQ(image.line(2), bad);
    }
}

TEST(FirmwareImageValidation, EmptyLinesArePassedOverLikeOtherRecordTypes) {
    const QStringList good = {dataLine(22), QStringLiteral(":9160000"), dataLine(3)};
    const QByteArray crlf = imageOf(good);
    for (QByteArray text : {crlf + "\r\n", QByteArray(crlf).replace("\r\n", "\n\r")}) {
        FirmwareImage image;
        image.load(text);
        ASSERT_GT(image.count(), good.size()) << "the breaks leave empty lines";
        EXPECT_TRUE(image.isUsable()) << image.problem().toStdString();
        int data = 0;
        for (int i = 0; i < image.count(); ++i) {
            const auto fields = FirmwareImage::readLine(image.line(i));
            ASSERT_TRUE(fields);
            data += fields->isData();
        }
        EXPECT_EQ(data, 2);
    }
    FirmwareImage blankOnly;
    blankOnly.load("\r\n\r\n");
    EXPECT_FALSE(blankOnly.isUsable()) << "empty lines alone program nothing";
}

TEST(FirmwareImageValidation, AnImageWithNothingToProgramIsRefused) {
    FirmwareImage image;
    EXPECT_FALSE(image.isUsable()) << "a fresh image is empty";
    image.load(QByteArray());
    EXPECT_FALSE(image.isUsable());
    EXPECT_EQ(image.firstBadLine(), -1);
    image.load(":9160000\r\n:0160000\r\n");
    EXPECT_FALSE(image.isUsable());
    EXPECT_FALSE(image.problem().isEmpty());
    image.load(imageOf({dataLine(22)}));
    EXPECT_TRUE(image.isUsable());
    image.clear();
    EXPECT_EQ(image.count(), 0);
    EXPECT_FALSE(image.isUsable());
}

namespace {

QByteArray builtInText() {
    return resources::loadResource(QStringLiteral("APP"), QStringLiteral("appbin"));
}

// A line in the file format, its checksum computed here from its bytes.
QString checkedLine(int type, std::uint16_t address, const QByteArray& data) {
    const int count = int(data.size()) + 3;
    unsigned sum = unsigned(type + count + (address >> 8) + (address & 0xFF));
    QString line = QStringLiteral(":%1%2%3")
                       .arg(type, 1, 16)
                       .arg(count, 2, 16, QLatin1Char('0'))
                       .arg(address, 4, 16, QLatin1Char('0'));
    for (const char byte : data) {
        line += QStringLiteral("%1").arg(std::uint8_t(byte), 2, 16, QLatin1Char('0'));
        sum += std::uint8_t(byte);
    }
    line += QStringLiteral("%1").arg((0x100 - (sum & 0xFF)) & 0xFF, 2, 16, QLatin1Char('0'));
    return line.toUpper();
}

FirmwareImage checked(const QByteArray& text) {
    FirmwareImage image;
    image.loadChecked(text);
    return image;
}

// Data lines closed by a closing record that states them (or, with a summary
// given, states that).
QByteArray wholeImage(const QStringList& dataLines, std::uint32_t version,
                      std::optional<ImageSummary> summary = std::nullopt) {
    ImageSummary s{version, 0, 0, 0};
    Crc32 crc;
    for (const QString& line : dataLines) {
        const QByteArray bytes = QByteArray::fromHex(line.mid(2, line.size() - 4).toLatin1());
        crc.add(bytes);
        ++s.dataLines;
        s.dataBytes += std::uint32_t(bytes.size() - 3);
    }
    s.crc = crc.value();
    if (summary)
        s = *summary;
    QByteArray closing;
    for (const std::uint32_t field : {s.version, s.dataLines, s.dataBytes, s.crc})
        for (int shift = 24; shift >= 0; shift -= 8)
            closing += char(field >> shift);
    return imageOf(dataLines + QStringList{checkedLine(9, 0, closing)});
}

// The line with one character changed and its checksum made right again.
QString edited(const QString& line, int position, QChar digit) {
    QString changed = line;
    changed[position] = digit;
    const QByteArray bytes = QByteArray::fromHex(changed.mid(2, changed.size() - 4).toLatin1());
    return checkedLine(changed.mid(1, 1).toInt(nullptr, 16),
                       std::uint16_t(bytes.at(1) << 8 | std::uint8_t(bytes.at(2))), bytes.mid(3));
}

} // namespace

// An image file is read as the built-in image is made: every line carries its
// own checksum and the image closes with its version.
TEST(FirmwareImageFile, TheBuiltInImagePassesEveryCheckAndCarriesItsVersion) {
    const FirmwareImage image = checked(builtInText());
    EXPECT_TRUE(image.isUsable()) << image.problem().toStdString();
    EXPECT_EQ(image.version(), AppFirmwareVersion);

    EXPECT_EQ(image.origin(), QString());
    // The closing record states the digest, high byte first, in its data bytes 13 to 16.
    EXPECT_EQ(image.digest(), image.line(625).mid(32, 8).toLower());

    FirmwareImage builtIn;
    builtIn.loadBuiltIn();
    EXPECT_TRUE(builtIn.isUsable()) << builtIn.problem().toStdString();
    EXPECT_EQ(builtIn.version(), AppFirmwareVersion);
    EXPECT_EQ(builtIn.origin(), QStringLiteral("built-in"));
    EXPECT_EQ(builtIn.digest(), image.digest());
    EXPECT_EQ(builtIn.digest().size(), 8);

    const FirmwareImage own = checked(wholeImage(
        {checkedLine(1, 0x0100, QByteArray(5, '\x11')), checkedLine(1, 0x0105, QByteArray(2, '\x22'))},
        0x12345678));
    EXPECT_TRUE(own.isUsable()) << own.problem().toStdString();
    EXPECT_EQ(own.version(), 0x12345678u);
}

// What each line's checksum cannot see: lines missing, repeated, moved or
// retyped. The first line that does not fit is named.
TEST(FirmwareImageFile, ACutStitchedReorderedOrRetypedImageIsRefused) {
    const QStringList lines = FirmwareImage::splitLines(builtInText());
    ASSERT_EQ(lines.size(), 626);
    struct Case {
        const char* what;
        QStringList lines;
        int firstBad;
        const char* why;
    };
    QStringList cut = lines; // sed '100,500d'
    cut.erase(cut.begin() + 99, cut.begin() + 500);
    QStringList stitched = lines;
    stitched.insert(200, lines.at(199));
    QStringList swapped = lines;
    swapped.swapItemsAt(299, 300);
    QStringList retyped = lines;
    retyped[399] = edited(lines.at(399), 1, QLatin1Char('0'));
    QStringList closedEarly = lines;
    closedEarly[399] = edited(lines.at(399), 1, QLatin1Char('9'));
    QStringList lastLost = lines;
    lastLost.removeAt(624);
    QStringList changedData = lines;
    changedData[10] = edited(lines.at(10), 20, lines.at(10).at(20) == QLatin1Char('0') ? '1' : '0');
    QStringList pastTheEnd = {checkedLine(1, 0xFFF0, QByteArray(17, 'x'))};

    const Case cases[] = {
        {"cut", cut, 99, "its address 0x251C leaves a gap after line 99, which ends before 0x0759"},
        {"stitched", stitched, 200, "its address 0x0EC5 falls inside line 200"},
        {"swapped", swapped, 299, "leaves a gap after line 299"},
        {"retyped", retyped, 399, "its record type 0 is none of this format's"},
        {"closed early", closedEarly, 399, "but 399 lines of 7581 bytes come before it"},
        {"last data line lost", lastLost, 624,
         "states 625 data lines of 11875 bytes, but 624 lines of 11856"},
        {"data changed", changedData, 625, "data CRC-32"},
        {"past the end", pastTheEnd, 0, "past the end of the 16-bit address space"},
    };
    for (const Case& c : cases) {
        const FirmwareImage image = checked(imageOf(c.lines));
        EXPECT_FALSE(image.isUsable()) << c.what;
        EXPECT_EQ(image.firstBadLine(), c.firstBad) << c.what;
        EXPECT_TRUE(image.problem().startsWith(
            QStringLiteral("Firmware image line %1 is refused: ").arg(c.firstBad + 1)))
            << c.what << ": " << image.problem().toStdString();
        EXPECT_TRUE(image.problem().contains(QLatin1String(c.why)))
            << c.what << ": " << image.problem().toStdString();
    }
}

TEST(FirmwareImageFile, AClosingRecordThatDoesNotStateTheDataIsRefused) {
    const QStringList data = {checkedLine(1, 0x0100, QByteArray(5, '\x11')),
                              checkedLine(1, 0x0105, QByteArray(2, '\x22'))};
    const std::uint32_t crc = [&] {
        FirmwareImage image;
        image.loadChecked(wholeImage(data, 1));
        return image.digest().toUInt(nullptr, 16);
    }();
    const struct {
        ImageSummary summary;
        const char* why;
    } cases[] = {
        {{1, 3, 7, crc}, "states 3 data lines of 7 bytes, but 2 lines of 7"},
        {{1, 2, 8, crc}, "states 2 data lines of 8 bytes"},
        {{1, 2, 7, crc ^ 1}, "data CRC-32"},
    };
    for (const auto& c : cases) {
        const FirmwareImage image = checked(wholeImage(data, 1, c.summary));
        EXPECT_EQ(image.firstBadLine(), 2);
        EXPECT_TRUE(image.problem().contains(QLatin1String(c.why))) << image.problem().toStdString();
    }
    // The closing record of old, with the version alone.
    const FirmwareImage versionOnly =
        checked(imageOf(data + QStringList{checkedLine(9, 0, QByteArray::fromHex("11150906"))}));
    EXPECT_TRUE(versionOnly.problem().contains(QStringLiteral("fewer than the 16")))
        << versionOnly.problem().toStdString();
}

TEST(FirmwareImageFile, OneChangedDigitIsRefusedNamingTheLineAndItsChecksum) {
    QByteArray text = builtInText();
    // Line 200, a data digit: '0' becomes '1' or anything else becomes '0'.
    const qsizetype at = 199 * 50 + 20;
    text[at] = text[at] == '0' ? '1' : '0';
    const FirmwareImage image = checked(text);
    EXPECT_FALSE(image.isUsable());
    EXPECT_EQ(image.firstBadLine(), 199);
    EXPECT_TRUE(
        image.problem().startsWith(QStringLiteral("Firmware image line 200 is refused: its checksum is")))
        << image.problem().toStdString();

    // The built-in reading does not look at checksums; a file's does.
    FirmwareImage lenient;
    lenient.load(text);
    EXPECT_TRUE(lenient.isUsable());
}

TEST(FirmwareImageFile, TruncatedFilesAreRefused) {
    const QByteArray text = builtInText();
    // Cut after three whole lines: every line reads well, the version record is missing.
    FirmwareImage image = checked(text.left(3 * 50));
    EXPECT_FALSE(image.isUsable());
    EXPECT_EQ(image.firstBadLine(), 2);
    EXPECT_TRUE(image.problem().contains(QStringLiteral("line 3 is refused")));
    EXPECT_TRUE(image.problem().contains(QStringLiteral("without its closing record")));

    // Cut in the middle of a line.
    image = checked(text.left(10 * 50 + 30));
    EXPECT_FALSE(image.isUsable());
    EXPECT_EQ(image.firstBadLine(), 10);
    EXPECT_TRUE(image.problem().contains(QStringLiteral("cut short"))) << image.problem().toStdString();

    // The version record cut off its last line.
    image = checked(text.left(text.size() - 6));
    EXPECT_FALSE(image.isUsable());
    EXPECT_EQ(image.firstBadLine(), 625);
}

TEST(FirmwareImageFile, ForeignFilesAreRefused) {
    // Intel HEX: a byte count where this format has its type.
    FirmwareImage image = checked(":10010000214601360121470136007EFE09D2190140\r\n:00000001FF\r\n");
    EXPECT_FALSE(image.isUsable());
    EXPECT_EQ(image.firstBadLine(), 0);
    EXPECT_TRUE(image.problem().startsWith(QStringLiteral("Firmware image line 1 is refused")));

    image = checked("#!/bin/sh\necho hello\n");
    EXPECT_FALSE(image.isUsable());
    EXPECT_TRUE(image.problem().contains(QStringLiteral("does not start with ':'")));

    // Lines after the closing record belong to no image of ours.
    const QByteArray trailing = builtInText() + checkedLine(1, 0x4000, QByteArray(19, '\x22')).toLatin1();
    image = checked(trailing);
    EXPECT_FALSE(image.isUsable());
    EXPECT_EQ(image.firstBadLine(), 626);
    EXPECT_TRUE(image.problem().contains(QStringLiteral("follows the closing record of line 626")));

    // A line longer than its byte count says.
    image = checked(wholeImage({checkedLine(1, 0, QByteArray(4, '\x01')) + QStringLiteral("00")}, 1));
    EXPECT_FALSE(image.isUsable());
    EXPECT_TRUE(image.problem().contains(QStringLiteral("allows"))) << image.problem().toStdString();
}

// A name that is not a regular file is refused before it is read, so that
// nothing blocks and nothing fills the memory.
TEST(FirmwareImageFile, OnlyARegularFileOfBoundedSizeIsRead) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const auto refusal = [](const QString& path) {
        QString why;
        const std::optional<QByteArray> text = FirmwareImage::readFile(path, &why);
        EXPECT_FALSE(text) << path.toStdString();
        return why;
    };
    EXPECT_TRUE(refusal(dir.path()).contains(QStringLiteral("directory")))
        << refusal(dir.path()).toStdString();
    EXPECT_FALSE(refusal(dir.filePath(QStringLiteral("missing"))).isEmpty());

    const QString large = dir.filePath(QStringLiteral("large"));
    QFile file(large);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(file.resize(FirmwareImage::MaxFileSize + 1));
    file.close();
    EXPECT_TRUE(refusal(large).contains(QStringLiteral("1048577 bytes, more than the 1048576")))
        << refusal(large).toStdString();
    ASSERT_TRUE(QFile::resize(large, FirmwareImage::MaxFileSize));
    const std::optional<QByteArray> atTheLimit = FirmwareImage::readFile(large, nullptr);
    ASSERT_TRUE(atTheLimit);
    EXPECT_EQ(atTheLimit->size(), FirmwareImage::MaxFileSize);

#ifndef Q_OS_WIN
    EXPECT_TRUE(refusal(QStringLiteral("/dev/zero")).contains(QStringLiteral("device")));
    // Without O_NONBLOCK the open would wait for a writer for ever.
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    EXPECT_TRUE(refusal(fifo).contains(QStringLiteral("FIFO")));
#endif
}
