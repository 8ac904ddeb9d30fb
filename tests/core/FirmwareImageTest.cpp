#include "FirmwareImage.h"
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
