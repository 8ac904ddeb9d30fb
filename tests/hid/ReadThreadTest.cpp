#include "HidFixtures.h"
#include "TestSupport.h"

#include <QPointer>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include <gtest/gtest.h>

using namespace hidtest;

namespace {

QByteArray pattern(int size, int seed) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + seed) & 0xFF);
    return bytes;
}

class ReadThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        hub = bus.plug(hubSpec(), [this](const QByteArray& report) {
            written.push_back(report);
            // Echo the data back as the reply, as a device answering a request.
            bus.queueInput(hub, 0, report.mid(1));
        });
        controller = std::make_unique<THidDeviceController>(nullptr, bus);
        controller->DeviceChange();
        ASSERT_TRUE(controller->CheckOutNext(device));
    }
    void TearDown() override {
        device.reset();
        controller.reset();
    }

    VirtualHidBus bus;
    VirtualDeviceId hub = 0;
    std::vector<QByteArray> written;
    std::unique_ptr<THidDeviceController> controller;
    CheckedOutDevice device;
    Recorder rec;
};

TEST_F(ReadThreadTest, SetDataHandlerStartsExactlyOneReaderAndStopsIt) {
    THidDevice* free = nullptr;
    bus.plug(hubSpec());
    controller->DeviceChange();
    free = controller->deviceAt(1);
    free->SetDataHandler({&rec, &Recorder::onData});
    EXPECT_EQ(free->Reader(), nullptr); // not checked out

    device->SetDataHandler({&rec, &Recorder::onData});
    QPointer<THidDeviceReadThread> reader = device->Reader();
    ASSERT_TRUE(reader);
    EXPECT_TRUE(reader->isRunning() || reader->isFinished() == false);
    device->SetDataHandler({&rec, &Recorder::onOtherData}); // another handler: same thread
    EXPECT_EQ(device->Reader(), reader.data());

    device->SetDataHandler({});
    EXPECT_EQ(device->Reader(), nullptr);
    EXPECT_TRUE(reader.isNull()); // ended and destroyed before returning
}

TEST_F(ReadThreadTest, A65ByteReportArrivesAsReportIdZeroWith64DataBytes) {
    device->SetDataHandler({&rec, &Recorder::onData});
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(bus.queueInput(hub, 0, pattern(64, i)));
    ASSERT_TRUE(testsupport::waitUntil([&] { return rec.data.size() == 5; }));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(rec.data[size_t(i)].reportId, 0);
        EXPECT_EQ(rec.data[size_t(i)].data, pattern(64, i)) << "report " << i;
        EXPECT_TRUE(rec.data[size_t(i)].onMainThread);
        EXPECT_EQ(rec.data[size_t(i)].device, device.get());
    }
}

TEST_F(ReadThreadTest, AWrittenRequestIsAnsweredThroughTheReadThread) {
    device->SetDataHandler({&rec, &Recorder::onData});
    HIDP_CAPS caps;
    device->QueryCaps(caps);
    QByteArray request(caps.OutputReportByteLength, '\0');
    request[1] = char(0x55);
    request[4] = char(0x21);
    quint32 count = 0;
    ASSERT_TRUE(device->WriteReport(request.constData(), int(request.size()), count));
    EXPECT_EQ(count, 65u);
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], request);
    ASSERT_TRUE(testsupport::waitUntil([&] { return rec.data.size() == 1; }));
    EXPECT_EQ(rec.data[0].data, request.mid(1));
}

TEST_F(ReadThreadTest, StopWhileADeliveryWaitsForTheUiThreadDoesNotDeadlock) {
    device->SetDataHandler({&rec, &Recorder::onData});
    device->SetReadBufferCount(128);
    ASSERT_TRUE(device->ReadHandleOpen());
    bus.queueInput(hub, 0, pattern(64, 1));
    // Without running the event loop, wait until the reader took the report:
    // its hand-over then waits for this thread.
    QElapsedTimer clock;
    clock.start();
    while (bus.queuedInputCount(hub) > 0 && clock.elapsed() < 5000)
        QThread::yieldCurrentThread();
    ASSERT_EQ(bus.queuedInputCount(hub), 0);
    QPointer<THidDeviceReadThread> reader = device->Reader();
    device->SetDataHandler({});
    EXPECT_TRUE(reader.isNull());
    EXPECT_LE(rec.data.size(), 1u);
    for (const auto& d : rec.data)
        EXPECT_TRUE(d.onMainThread);
    testsupport::pumpFor(10); // a stale hand-over event must find nothing to run
    EXPECT_LE(rec.data.size(), 1u);
}

TEST_F(ReadThreadTest, StopsRacingTheHandOverNeverDeadlock) {
    // The stop may come just before or just after the reader announces its
    // hand-over; either way it must end. Repeat to hit both orders.
    for (int round = 0; round < 200; ++round) {
        device->SetDataHandler({&rec, &Recorder::onData});
        ASSERT_TRUE(testsupport::waitUntil([&] { return device->ReadHandleOpen(); }));
        bus.queueInput(hub, 0, pattern(64, quint8(round)));
        while (bus.queuedInputCount(hub) > 0)
            QThread::yieldCurrentThread();
        device->SetDataHandler({});
        ASSERT_EQ(device->Reader(), nullptr) << "round " << round;
    }
    EXPECT_LE(rec.data.size(), 200u);
}

TEST_F(ReadThreadTest, StopWakesTheReaderAtOnceEvenWithALongSlice) {
    device->SetSleepTime(10000);
    device->SetDataHandler({&rec, &Recorder::onData});
    ASSERT_TRUE(testsupport::waitUntil([&] { return device->ReadHandleOpen(); }));
    QElapsedTimer clock;
    clock.start();
    device->SetDataHandler({});
    // Far below the 10 s slice: the stop interrupted the wait.
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_EQ(device->Reader(), nullptr);
}

TEST_F(ReadThreadTest, UnplugReportsReadErrorsUntilTheHolderReleases) {
    controller->setOnDeviceDataError({&rec, &Recorder::onError});
    device->setDataErrorHandler({&rec, &Recorder::onError});
    device->SetSleepTime(10);
    device->SetDataHandler({&rec, &Recorder::onData});
    bus.queueInput(hub, 0, pattern(64, 3));
    ASSERT_TRUE(testsupport::waitUntil([&] { return rec.data.size() == 1; }));
    bus.unplug(hub);
    controller->DeviceChange();
    EXPECT_FALSE(device->Plugged());
    EXPECT_NE(device->Reader(), nullptr); // unplugging alone does not end it
    ASSERT_TRUE(testsupport::waitUntil([&] { return rec.errors.size() >= 2; }));
    const size_t errors = rec.errors.size();
    testsupport::pumpFor(50);
    // Paced by the slice, not a flood of hand-overs.
    EXPECT_LT(rec.errors.size(), errors + 20);
}

TEST_F(ReadThreadTest, DestroyingTheControllerLeavesHeldDevicesSafe) {
    device->SetDataHandler({&rec, &Recorder::onData});
    bus.queueInput(hub, 0, pattern(64, 9));
    ASSERT_TRUE(testsupport::waitUntil([&] { return rec.data.size() == 1; }));
    controller.reset();
    EXPECT_EQ(device->Controller(), nullptr);
    EXPECT_FALSE(device->Plugged());
    EXPECT_NE(device->Reader(), nullptr); // still running until released
    testsupport::pumpFor(20);
    device.reset(); // touches no list
}

TEST_F(ReadThreadTest, ARaisingDataHandlerDoesNotStallTheReader) {
    int calls = 0;
    device->SetDataHandler(THidDataEvent(&calls, [&](THidDevice*, quint8, const quint8*, quint16) {
        if (++calls == 1)
            throw std::runtime_error("bad report");
    }));
    bus.queueInput(hub, 0, pattern(64, 1));
    bus.queueInput(hub, 0, pattern(64, 2));
    EXPECT_TRUE(testsupport::waitUntil([&] { return calls == 2; }));
}

} // namespace

// A holder that takes reports under its own lock has them on the read thread:
// they arrive in order while this thread runs no events, the reader says when
// it has read all there was, and going back to the hand-over restarts it.
TEST_F(ReadThreadTest, DeliveredOnTheReadThreadReportsNeedNoEventLoop) {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<QByteArray> got;
    bool anyOnMainThread = false;
    int caughtUp = 0;
    const auto waitFor = [&](const std::function<bool()>& done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), done);
    };
    device->SetDeliverOnReadThread(true, [&] {
        std::lock_guard lock(mutex);
        ++caughtUp;
        changed.notify_all();
    });
    static const int key = 0;
    device->SetDataHandler(THidDataEvent(&key, [&](THidDevice*, quint8 id, const quint8* data, quint16 size) {
        std::lock_guard lock(mutex);
        anyOnMainThread |= QThread::currentThread() == QCoreApplication::instance()->thread();
        got.push_back(QByteArray(1, char(id)) + QByteArray(reinterpret_cast<const char*>(data), size));
        changed.notify_all();
    }));
    THidDeviceReadThread* const reader = device->Reader();
    ASSERT_TRUE(reader);
    ASSERT_TRUE(waitFor([&] { return caughtUp > 0; })); // the first look found nothing

    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(bus.queueInput(hub, 0, pattern(64, i)));
    ASSERT_TRUE(waitFor([&] { return got.size() == 5; }));
    const qint64 lastArrival = reader->ArrivedNs;
    ASSERT_TRUE(waitFor([&] { return reader->CaughtUpNs.load() > lastArrival; }));
    {
        std::lock_guard lock(mutex);
        EXPECT_FALSE(anyOnMainThread);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(got[size_t(i)], QByteArray(1, '\0') + pattern(64, i)) << "report " << i;
    }

    // Handed over again: a new reader, and the reports come on this thread.
    device->SetDeliverOnReadThread(false);
    EXPECT_FALSE(device->DeliversOnReadThread());
    ASSERT_TRUE(device->Reader());
    device->SetDataHandler({&rec, &Recorder::onData});
    ASSERT_TRUE(bus.queueInput(hub, 0, pattern(64, 9)));
    ASSERT_TRUE(testsupport::waitUntil([&] { return rec.data.size() == 1; }));
    EXPECT_TRUE(rec.data[0].onMainThread);
    EXPECT_EQ(rec.data[0].data, pattern(64, 9));
    const int looksBefore = [&] {
        std::lock_guard lock(mutex);
        return caughtUp;
    }();
    ASSERT_TRUE(bus.queueInput(hub, 0, pattern(64, 10)));
    ASSERT_TRUE(testsupport::waitUntil([&] { return rec.data.size() == 2; }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(caughtUp, looksBefore); // the hook went with the mode
}
