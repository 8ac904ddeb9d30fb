#include "PreciseTiming.h"
#include "WindowsHidPlatform.h"

#include <gtest/gtest.h>

#include <thread>

// <windows.h> stays out, as in the binding's Qt side: its macros clash with
// HidPlatform.h. The system's codes, from winerror.h:
namespace {
constexpr quint32 ERROR_ACCESS_DENIED = 5;
constexpr quint32 ERROR_GEN_FAILURE = 31;
constexpr quint32 ERROR_SHARING_VIOLATION = 32;
constexpr quint32 ERROR_DEVICE_NOT_CONNECTED = 1167;
} // namespace

// The system's codes for a hub that left and for an open that was refused.
TEST(WindowsErrors, DepartureAndRefusalAreTheSystemsOwnCodes) {
    const WindowsHidPlatform platform;
    EXPECT_TRUE(platform.deviceGoneError(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_FALSE(platform.deviceGoneError(ERROR_GEN_FAILURE));
    EXPECT_FALSE(platform.deviceGoneError(ERROR_ACCESS_DENIED));

    EXPECT_TRUE(platform.accessDeniedError(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(platform.accessDeniedError(ERROR_SHARING_VIOLATION));
    // errno's EACCES (13) is ERROR_INVALID_DATA here: not a refusal.
    EXPECT_FALSE(platform.accessDeniedError(13));
    EXPECT_FALSE(platform.accessDeniedError(ERROR_DEVICE_NOT_CONNECTED));
}

TEST(WindowsErrors, OpeningAMissingInterfaceIsNeitherRefusedNorGone) {
    WindowsHidPlatform platform;
    const HidHandle handle =
        platform.open(QStringLiteral("\\\\?\\hid#vid_fff0&pid_0018#missing"), HidAccess::ReadWrite);
    EXPECT_EQ(handle, InvalidHidHandle);
    const quint32 error = platform.lastError();
    EXPECT_NE(error, 0u);
    EXPECT_FALSE(platform.accessDeniedError(error)) << error;
}

// The request is made and given back in pairs, also across threads.
TEST(PreciseTiming, NestsAndIsGivenBackByTheLastHolder) {
    ASSERT_EQ(PreciseTiming::active(), 0);
    {
        const PreciseTiming outer;
        EXPECT_TRUE(outer.granted());
        EXPECT_EQ(PreciseTiming::active(), 1);
        bool innerGranted = false;
        int seenInside = 0;
        std::thread other([&] {
            const PreciseTiming inner;
            innerGranted = inner.granted();
            seenInside = PreciseTiming::active();
        });
        other.join();
        EXPECT_TRUE(innerGranted);
        EXPECT_EQ(seenInside, 2);
        EXPECT_EQ(PreciseTiming::active(), 1);
    }
    EXPECT_EQ(PreciseTiming::active(), 0);
}
