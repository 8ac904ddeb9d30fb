#include "AppVersion.h"

#include <gtest/gtest.h>

TEST(FormatVersion, SplitsEightDigitsOneOneTwoFour) {
    EXPECT_EQ(FormatVersion(QStringLiteral("11150906")), QStringLiteral("1.1.15.0906"));
    EXPECT_EQ(FormatVersion(QStringLiteral("0A0B0C0D")), QStringLiteral("0.A.0B.0C0D"));
    EXPECT_EQ(FormatVersion(QStringLiteral("abcdefgh")), QStringLiteral("a.b.cd.efgh"));
}

TEST(FormatVersion, OtherLengthsComeBackUnchanged) {
    for (const char* text : {"", "1115090", "111509061", "1.1.15.0906", " "})
        EXPECT_EQ(FormatVersion(QString::fromLatin1(text)), QString::fromLatin1(text)) << text;
}

TEST(FormatVersion, HexTextKeepsLeadingZerosInUpperCase) {
    EXPECT_EQ(versionHexText(AppFirmwareVersion), QStringLiteral("11150906"));
    EXPECT_EQ(versionHexText(0x0A0B0C0D), QStringLiteral("0A0B0C0D"));
    EXPECT_EQ(versionHexText(0), QStringLiteral("00000000"));
    EXPECT_EQ(versionHexText(0xFFFFFFFF), QStringLiteral("FFFFFFFF"));
}
