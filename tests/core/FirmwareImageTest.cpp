#include "FirmwareImage.h"
#include "AppVersion.h"
#include "ResourceLookup.h"

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

} // namespace

// An image file is read as the built-in image is made: every line carries its
// own checksum and the image closes with its version.
TEST(FirmwareImageFile, TheBuiltInImagePassesEveryCheckAndCarriesItsVersion) {
    const FirmwareImage image = checked(builtInText());
    EXPECT_TRUE(image.isUsable()) << image.problem().toStdString();
    EXPECT_EQ(image.version(), AppFirmwareVersion);

    const QByteArray other = imageOf({checkedLine(1, 0x0100, QByteArray(5, '\x11')),
                                      checkedLine(9, 0, QByteArray::fromHex("12345678000000"))});
    const FirmwareImage own = checked(other);
    EXPECT_TRUE(own.isUsable()) << own.problem().toStdString();
    EXPECT_EQ(own.version(), 0x12345678u);
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
    EXPECT_TRUE(image.problem().contains(QStringLiteral("without its closing version record")));

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
    EXPECT_TRUE(image.problem().contains(QStringLiteral("follows the closing version record of line 626")));

    // A line longer than its byte count says.
    image = checked(imageOf({checkedLine(1, 0, QByteArray(4, '\x01')) + QStringLiteral("00"),
                             checkedLine(9, 0, QByteArray(4, '\x11'))}));
    EXPECT_FALSE(image.isUsable());
    EXPECT_TRUE(image.problem().contains(QStringLiteral("allows"))) << image.problem().toStdString();
}
