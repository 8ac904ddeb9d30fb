#include "PreciseTiming.h"
#include "SystemHelpers.h"
#include "ThreadExitOrder.h"
#include "WindowsHidPlatform.h"

#include <QDir>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

// <windows.h> stays out, as in the binding's Qt side: its macros clash with
// HidPlatform.h. The system's codes, from winerror.h:
namespace {
constexpr quint32 ERROR_FILE_NOT_FOUND = 2;
constexpr quint32 ERROR_ACCESS_DENIED = 5;
constexpr quint32 ERROR_INVALID_HANDLE = 6;
constexpr quint32 ERROR_GEN_FAILURE = 31;
constexpr quint32 ERROR_SHARING_VIOLATION = 32;
constexpr quint32 ERROR_OPERATION_ABORTED = 995;
constexpr quint32 ERROR_IO_PENDING = 997;
constexpr quint32 ERROR_DEVICE_NOT_CONNECTED = 1167;
} // namespace

// The system's codes for a hub that left and for an open that was refused.
// A handle whose device left fails in several ways, Windows' and wine's alike.
TEST(WindowsErrors, DepartureAndRefusalAreTheSystemsOwnCodes) {
    const WindowsHidPlatform platform;
    for (const quint32 gone : {ERROR_DEVICE_NOT_CONNECTED, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE,
                               ERROR_GEN_FAILURE, ERROR_OPERATION_ABORTED})
        EXPECT_TRUE(platform.deviceGoneError(gone)) << gone;
    for (const quint32 other : {0u, ERROR_FILE_NOT_FOUND, ERROR_SHARING_VIOLATION, ERROR_IO_PENDING})
        EXPECT_FALSE(platform.deviceGoneError(other)) << other;

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

// A read outstanding on a handle that is closed (the device left) ends at
// once, as gone, although the read keeps a duplicate of the handle.
TEST(WindowsReads, ClosingTheHandleEndsItsRead) {
    WindowsHidPlatform platform;
    void* server = wintest::createPipeServer("quorvi-close-ends-read");
    ASSERT_NE(server, nullptr);
    const HidHandle handle =
        platform.open(QStringLiteral("\\\\.\\pipe\\quorvi-close-ends-read"), HidAccess::Read);
    ASSERT_NE(handle, InvalidHidHandle) << platform.lastError();
    const std::unique_ptr<HidReadRequest> request = platform.createReadRequest();
    ASSERT_TRUE(request);
    quint8 buffer[65] = {};
    ASSERT_TRUE(platform.beginRead(handle, *request, buffer, sizeof(buffer)));
    EXPECT_EQ(platform.awaitRead(*request, 0), HidReadWait::TimedOut);

    platform.close(handle);
    EXPECT_EQ(platform.awaitRead(*request, 5000), HidReadWait::Completed);
    quint32 bytes = 1;
    EXPECT_FALSE(platform.completedReadLength(*request, bytes));
    EXPECT_EQ(bytes, 0u);
    EXPECT_TRUE(platform.deviceGoneError(platform.lastError())) << platform.lastError();
    wintest::closeServer(server);
}

// Paths past MAX_PATH open, as the system's wide calls allow.
TEST(WindowsPaths, APathLongerThanMaxPathOpens) {
    QTemporaryDir base;
    ASSERT_TRUE(base.isValid());
    const std::string folder = QDir::toNativeSeparators(base.path()).toStdString();
    const std::string file = wintest::makeLongPathFile(folder);
    ASSERT_FALSE(file.empty());
    ASSERT_GT(file.size(), 260u);
    WindowsHidPlatform platform;
    const HidHandle handle = platform.open(QString::fromStdString(file), HidAccess::ReadWrite);
    EXPECT_NE(handle, InvalidHidHandle) << platform.lastError();
    platform.close(handle);
    wintest::removeLongPathFile(file, folder);
}

// A thread-local object's destructor runs at the thread's end while the
// thread's other thread-local storage is still its own (ThreadExitOrder.cpp):
// a plain thread, and a QThread as the updater's hubs run on.
namespace {
thread_local int t_marker = 0;
std::atomic<int> g_markerSeenAtExit{-1};
struct SeesTheMarker {
    int touched = 0;
    ~SeesTheMarker() { g_markerSeenAtExit = t_marker; }
};
thread_local SeesTheMarker t_seer;
} // namespace

TEST(WindowsThreads, ThreadLocalDestructorsSeeTheirThreadsStorage) {
    EXPECT_TRUE(WinSys::threadExitOrderKept());
    EXPECT_TRUE(WinSys::threadExitOrderHolds()) << "the thread's storage was freed before the destructor ran";

    g_markerSeenAtExit = -1;
    std::unique_ptr<QThread> thread(QThread::create([] {
        t_marker = 43;
        t_seer.touched = 1;
    }));
    thread->start();
    ASSERT_TRUE(thread->wait(10000));
    EXPECT_EQ(g_markerSeenAtExit.load(), 43) << "0: the thread's storage was freed before the destructor ran";
}
