#include "HubDevice.h"

#include <gtest/gtest.h>

#include <cerrno>

// What a user who may not open the hub is told fits the system it runs on.
#ifdef _WIN32
TEST(AccessMessage, WindowsRefusalsPointAtAnotherProgramNotAtUdev) {
    constexpr quint32 AccessDenied = 5;
    constexpr quint32 SharingViolation = 32;
    for (const quint32 code : {AccessDenied, SharingViolation, quint32(0)}) {
        const QString text = hubdevice::accessMessage(code);
        EXPECT_FALSE(text.contains(QStringLiteral("udev"))) << code;
        EXPECT_TRUE(text.contains(QStringLiteral("Close any other program"))) << code;
    }
    const QString other = hubdevice::accessMessage(1167);
    EXPECT_TRUE(other.contains(QStringLiteral("Windows error 1167"))) << other.toStdString();
    EXPECT_FALSE(other.contains(QStringLiteral("udev")));
}
#else
TEST(AccessMessage, RefusalsNameTheUdevRuleAndOtherErrorsTheirText) {
    for (const quint32 code : {quint32(EACCES), quint32(EPERM), quint32(0)})
        EXPECT_TRUE(hubdevice::accessMessage(code).contains(QStringLiteral("70-quorvi-hub.rules"))) << code;
    const QString other = hubdevice::accessMessage(ENODEV);
    EXPECT_FALSE(other.contains(QStringLiteral("udev")));
    EXPECT_TRUE(other.contains(QStringLiteral("(No such device)"))) << other.toStdString();
}
#endif
