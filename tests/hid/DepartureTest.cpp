// A device whose I/O says it has left, while the same interface is listed
// again (a hub back on the same port), and the comparison of handlers.

#include "HidFixtures.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

using namespace hidtest;

namespace {

// The virtual bus with a binding's "device not connected" code: writes and
// read starts fail with the chosen code while failing is set.
class DepartingBus : public VirtualHidBus {
public:
    static constexpr quint32 GoneCode = 1167;
    std::atomic<quint32> failWith{0};

    bool write(HidHandle handle, const quint8* buffer, quint32 length, quint32& written) override {
        if (const quint32 code = failWith.load()) {
            written = 0;
            setThreadLastError(code);
            return false;
        }
        return VirtualHidBus::write(handle, buffer, length, written);
    }
    bool beginRead(HidHandle handle, HidReadRequest& request, quint8* buffer, quint32 length) override {
        if (const quint32 code = failWith.load()) {
            setThreadLastError(code);
            return false;
        }
        return VirtualHidBus::beginRead(handle, request, buffer, length);
    }
    bool deviceGoneError(quint32 error) const override { return error == GoneCode; }
};

class Departure : public ::testing::Test {
protected:
    CheckedOutDevice checkOutHub() {
        bus.plug(hubSpec());
        controller = std::make_unique<THidDeviceController>(nullptr, bus);
        controller->setOnDeviceUnplug({&rec, &Recorder::onUnplug});
        controller->DeviceChange();
        CheckedOutDevice device;
        EXPECT_TRUE(controller->CheckOutNext(device));
        return device;
    }
    bool writeOnce(THidDevice* device) {
        quint8 report[65] = {};
        quint32 written = 0;
        return device->WriteReport(report, int(sizeof(report)), written);
    }

    DepartingBus bus;
    Recorder rec;
    std::unique_ptr<THidDeviceController> controller;
};

TEST_F(Departure, AWriteThatSaysTheDeviceLeftEndsTheEntryAtTheNextPass) {
    CheckedOutDevice dead = checkOutHub();
    bus.failWith = DepartingBus::GoneCode;
    EXPECT_FALSE(writeOnce(dead.get()));
    bus.failWith = 0;

    // The same interface is listed again: the pass must not take the dead entry for it.
    controller->DeviceChange();
    EXPECT_FALSE(dead->Plugged());
    ASSERT_EQ(rec.unplugs.size(), 1u);
    EXPECT_EQ(rec.unplugs[0], dead.get());

    CheckedOutDevice fresh;
    ASSERT_TRUE(controller->CheckOutNext(fresh));
    EXPECT_NE(fresh.get(), dead.get());
    EXPECT_TRUE(fresh->Plugged());
    EXPECT_TRUE(writeOnce(fresh.get()));
}

TEST_F(Departure, AWriteThatSaysTheDeviceLeftLooksForItAgainAtOnce) {
    CheckedOutDevice dead = checkOutHub();
    bus.failWith = DepartingBus::GoneCode;
    EXPECT_FALSE(writeOnce(dead.get()));
    bus.failWith = 0;

    // No notice from the system and no pass asked for: the failed write queued one.
    ASSERT_TRUE(testsupport::waitUntil([&] { return !dead->Plugged(); }));
    EXPECT_EQ(rec.unplugs.size(), 1u);
    CheckedOutDevice fresh;
    ASSERT_TRUE(controller->CheckOutNext(fresh));
    EXPECT_TRUE(writeOnce(fresh.get()));
}

TEST_F(Departure, OtherWriteFailuresKeepTheEntry) {
    CheckedOutDevice device = checkOutHub();
    bus.failWith = EIO;
    EXPECT_FALSE(writeOnce(device.get()));
    bus.failWith = 0;
    controller->DeviceChange();
    EXPECT_TRUE(device->Plugged());
    EXPECT_TRUE(rec.unplugs.empty());
    EXPECT_TRUE(writeOnce(device.get()));
}

TEST_F(Departure, AReadThatSaysTheDeviceLeftEndsTheEntryToo) {
    CheckedOutDevice dead = checkOutHub();
    bus.failWith = DepartingBus::GoneCode;
    dead->setDataErrorHandler({&rec, &Recorder::onError});
    dead->SetDataHandler({&rec, &Recorder::onData});
    ASSERT_TRUE(testsupport::waitUntil([&] { return !rec.errors.empty(); }));
    EXPECT_EQ(rec.errors[0], DepartingBus::GoneCode);
    bus.failWith = 0;
    controller->DeviceChange();
    EXPECT_FALSE(dead->Plugged());
    EXPECT_EQ(rec.unplugs.size(), 1u);
}

// Handlers compare by their function part, whatever object they are bound to.
struct Left {
    virtual ~Left() = default;
    int left = 0;
};
struct Sink : Left {
    virtual void first(THidDevice*) {}
    void second(THidDevice*) {}
};
struct Derived : Sink {
    void first(THidDevice*) override {}
};

TEST(HidHandler, ComparesTheFunctionPartOnly) {
    Sink a;
    Sink b;
    Derived d;
    const THidPlugEvent firstOfA(&a, &Sink::first);
    EXPECT_TRUE(firstOfA == THidPlugEvent(&b, &Sink::first));
    EXPECT_FALSE(firstOfA == THidPlugEvent(&a, &Sink::second));
    // The same virtual function named through the derived class is another key type.
    EXPECT_FALSE(firstOfA == THidPlugEvent(&d, &Derived::first));
    EXPECT_TRUE(THidPlugEvent(&a, &Sink::second) == THidPlugEvent(&b, &Sink::second));

    static const int tagA = 0;
    static const int tagB = 0;
    const auto call = [](THidDevice*) {};
    EXPECT_TRUE(THidPlugEvent(&tagA, call) == THidPlugEvent(&tagA, call));
    EXPECT_FALSE(THidPlugEvent(&tagA, call) == THidPlugEvent(&tagB, call));

    EXPECT_TRUE(THidPlugEvent() == THidPlugEvent(nullptr));
    EXPECT_FALSE(THidPlugEvent() == firstOfA);
    EXPECT_FALSE(THidPlugEvent(&tagA, nullptr).isSet());
}

} // namespace
