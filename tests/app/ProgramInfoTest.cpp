#include "ProgramInfo.h"

#include <QImage>
#include <QRegularExpression>
#include <gtest/gtest.h>

using programinfo::StartRequest;

namespace {
StartRequest scan(std::initializer_list<const char*> args) {
    QStringList list{QStringLiteral("quorvi-hub-updater")};
    for (const char* a : args)
        list << QString::fromLatin1(a);
    return programinfo::scanArguments(list);
}
} // namespace

TEST(ProgramArguments, HelpAndVersionAreFoundAmongQtOptions) {
    EXPECT_EQ(scan({}), StartRequest::Run);
    EXPECT_EQ(scan({"-platform", "offscreen", "-style", "fusion"}), StartRequest::Run);
    EXPECT_EQ(scan({"--help"}), StartRequest::Help);
    EXPECT_EQ(scan({"-h"}), StartRequest::Help);
    EXPECT_EQ(scan({"--version"}), StartRequest::Version);
    EXPECT_EQ(scan({"-v"}), StartRequest::Version);
    EXPECT_EQ(scan({"-platform", "offscreen", "--version"}), StartRequest::Version);
    // The first of the two wins, as with Qt's own parser.
    EXPECT_EQ(scan({"--version", "--help"}), StartRequest::Version);
    EXPECT_EQ(scan({"--help", "--version"}), StartRequest::Help);
}

TEST(ProgramArguments, OnlyExactOptionsBeforeTheEndMarkerCount) {
    EXPECT_EQ(scan({"--", "--help"}), StartRequest::Run);
    EXPECT_EQ(scan({"--helpme", "--versions", "-hv", "help", "version"}), StartRequest::Run);
    // The program's own name is no option, whatever it is called.
    EXPECT_EQ(programinfo::scanArguments({QStringLiteral("--help")}), StartRequest::Run);
    EXPECT_EQ(programinfo::scanArguments({}), StartRequest::Run);
}

TEST(ProgramArguments, TextsNameTheProgramItsVersionAndTheBuiltInFirmware) {
    const QString version = programinfo::versionText(QStringLiteral("prog"));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^prog \\d+\\.\\d+\\.\\d+\\n")).match(version).hasMatch())
        << version.toStdString();
    EXPECT_TRUE(version.startsWith(QStringLiteral("prog ") + programinfo::version() + u'\n'));
    EXPECT_TRUE(version.contains(QStringLiteral("1.1.15.0906")));

    const QString help = programinfo::helpText(QStringLiteral("prog"), QStringLiteral("Does things."));
    EXPECT_TRUE(help.startsWith(QStringLiteral("Usage: prog [options]\nDoes things.\n")));
    EXPECT_TRUE(help.contains(QStringLiteral("--help")));
    EXPECT_TRUE(help.contains(QStringLiteral("--version")));
    EXPECT_TRUE(help.contains(QStringLiteral("prog(1)")));
}

TEST(ProgramIcon, HasEverySizeOfTheDrawing) {
    const QIcon icon = programinfo::programIcon();
    ASSERT_FALSE(icon.isNull());
    const QList<QSize> sizes = icon.availableSizes();
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
        EXPECT_TRUE(sizes.contains(QSize(size, size))) << size;

    // Transparent corners around the rounded square, the white bolt in the middle.
    const QImage image = icon.pixmap(QSize(256, 256)).toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(image.size(), QSize(256, 256));
    EXPECT_EQ(qAlpha(image.pixel(2, 2)), 0);
    EXPECT_EQ(qAlpha(image.pixel(253, 253)), 0);
    EXPECT_EQ(image.pixel(128, 132), qRgba(255, 255, 255, 255));
    const QRgb ground = image.pixel(40, 200);
    EXPECT_EQ(qAlpha(ground), 255);
    EXPECT_GT(qBlue(ground), qRed(ground));
}

TEST(ProgramIcon, ApplicationIdIsReverseDns) {
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[a-z][a-z0-9]*(\\.[a-zA-Z][a-zA-Z0-9_]*){2,}$"))
                    .match(programinfo::applicationId())
                    .hasMatch())
        << programinfo::applicationId().toStdString();
}
