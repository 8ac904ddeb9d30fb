#include "HidFixtures.h"
#include "TestSupport.h"

#include <QSignalSpy>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

using namespace hidtest;

namespace {

class ControllerTest : public ::testing::Test {
protected:
    void install(THidDeviceController& c) {
        c.setOnArrival({&rec, &Recorder::onArrival});
        c.setOnRemoval({&rec, &Recorder::onRemoval});
        c.setOnDeviceUnplug({&rec, &Recorder::onUnplug});
        c.setOnDeviceChange({&rec, &Recorder::onChange});
    }
    VirtualHidBus bus;
    Recorder rec;
};

// The virtual bus with what a real kernel adds: a driver rebind that gives one
// instance a new node, access that changes without any notification (a
// desktop's access list), and a look at every handle that is closed.
class KernelLikeBus : public VirtualHidBus {
public:
    quint32 reboundInstance = 0;
    std::atomic<bool> denyReadWrite{false};
    std::function<void(HidAccess, HidHandle)> onOpen;
    std::function<void(HidHandle)> onClose;

    std::unique_ptr<HidDeviceSet> getClassDevices(const QUuid& classGuid) override {
        auto inner = VirtualHidBus::getClassDevices(classGuid);
        return inner ? std::make_unique<Set>(std::move(inner), reboundInstance) : nullptr;
    }
    HidHandle open(const QString& path, HidAccess access) override {
        if (denyReadWrite && access != HidAccess::None) {
            setThreadLastError(EACCES);
            return InvalidHidHandle;
        }
        QString node = path;
        if (node.endsWith(Rebound))
            node.chop(Rebound.size());
        const HidHandle handle = VirtualHidBus::open(node, access);
        if (onOpen)
            onOpen(access, handle);
        return handle;
    }
    void close(HidHandle handle) override {
        if (onClose)
            onClose(handle);
        VirtualHidBus::close(handle);
    }

    static inline const QString Rebound = QStringLiteral("#rebound");

private:
    class Set : public HidDeviceSet {
    public:
        Set(std::unique_ptr<HidDeviceSet> inner, quint32 rebound)
            : m_inner(std::move(inner)), m_rebound(rebound) {}
        bool enumInterface(int index) override { return m_inner->enumInterface(index); }
        bool interfaceDetail(int index, HidInterfaceDetail& detail) override {
            if (!m_inner->interfaceDetail(index, detail))
                return false;
            if (detail.instanceNumber == m_rebound)
                detail.path += Rebound;
            return true;
        }

    private:
        std::unique_ptr<HidDeviceSet> m_inner;
        quint32 m_rebound;
    };
};

TEST_F(ControllerTest, PassSequencingFollowsTheNotificationParameter) {
    bus.plug(hubSpec());
    THidDeviceController c(nullptr, bus);
    EXPECT_EQ(c.LastNotifyParam(), 0);
    EXPECT_EQ(c.count(), 0);

    install(c); // the first pass runs at once
    EXPECT_EQ(c.count(), 1);
    EXPECT_EQ(rec.arrivals.size(), 1u);
    EXPECT_EQ(rec.changes, 1);

    c.setOnDeviceChange({&rec, &Recorder::onChange}); // same function: no pass
    EXPECT_EQ(rec.changes, 1);
    c.DeviceChange(); // nothing changed, parameter still 0
    EXPECT_EQ(rec.changes, 1);

    // The self-posted notification: a pass that fires although nothing changed.
    ASSERT_TRUE(testsupport::waitUntil([&] { return rec.changes == 2; }));
    EXPECT_EQ(c.LastNotifyParam(), -1);
    EXPECT_EQ(rec.arrivals.size(), 1u);
    c.DeviceChange(); // still -1: fires again
    EXPECT_EQ(rec.changes, 3);

    // A real broadcast sets the parameter to 0; afterwards only changes fire.
    bus.plug(keyboardSpec());
    ASSERT_TRUE(testsupport::waitUntil([&] { return rec.changes == 4; }));
    EXPECT_EQ(c.LastNotifyParam(), 0);
    EXPECT_EQ(c.count(), 2);
    EXPECT_FALSE(c.PassRunning());
    c.DeviceChange();
    EXPECT_EQ(rec.changes, 4);
}

TEST_F(ControllerTest, RemovalOfFreeAndCheckedOutDevices) {
    const VirtualDeviceId hub = bus.plug(hubSpec());
    const VirtualDeviceId kbd = bus.plug(keyboardSpec());
    THidDeviceController c(nullptr, bus);
    install(c);
    ASSERT_EQ(c.count(), 2);
    CheckedOutDevice held;
    ASSERT_TRUE(c.CheckOutAt(held, 0));
    const int changesBefore = rec.changes;

    // Free device: removed once, OnDeviceChange once.
    bus.unplug(kbd);
    c.DeviceChange();
    EXPECT_EQ(rec.removals.size(), 1u);
    EXPECT_EQ(c.count(), 1);
    EXPECT_EQ(rec.changes, changesBefore + 1);
    EXPECT_TRUE(rec.unplugs.size() == 1 && rec.unplugs[0] != held.get());

    // Checked-out device: unplug handler once, OnRemoval every pass until released.
    bus.unplug(hub);
    c.DeviceChange();
    c.DeviceChange();
    EXPECT_EQ(std::count(rec.unplugs.begin(), rec.unplugs.end(), held.get()), 1);
    EXPECT_EQ(std::count(rec.removals.begin(), rec.removals.end(), held.get()), 2);
    EXPECT_EQ(c.count(), 1);
    EXPECT_FALSE(held->Plugged());
    EXPECT_EQ(c.UnpluggedCount(), 1);
    EXPECT_EQ(c.CheckedOutCount(), 0);

    held.reset(); // check-in of a gone device drops its entry
    EXPECT_EQ(c.count(), 0);
    EXPECT_EQ(c.UnpluggedCount(), 0);
    const size_t removals = rec.removals.size();
    c.DeviceChange();
    EXPECT_EQ(rec.removals.size(), removals);
}

TEST_F(ControllerTest, AHolderMayReleaseItsDeviceFromTheUnplugOrRemovalHandler) {
    const VirtualDeviceId first = bus.plug(hubSpec());
    const VirtualDeviceId second = bus.plug(hubSpec());
    THidDeviceController c(nullptr, bus);
    c.DeviceChange();
    CheckedOutDevice heldA;
    CheckedOutDevice heldB;
    ASSERT_TRUE(c.CheckOutAt(heldA, 0));
    ASSERT_TRUE(c.CheckOutAt(heldB, 1));

    int unplugCalls = 0;
    THidDevice* const b = heldB.get();
    heldA->setUnplugHandler(THidPlugEvent(&unplugCalls, [&](THidDevice*) {
        ++unplugCalls;
        heldA.reset();
    }));
    std::vector<THidDevice*> removed;
    c.setOnRemoval(THidPlugEvent(&removed, [&](THidDevice* d) {
        removed.push_back(d);
        if (d == b)
            heldB.reset();
    }));

    bus.unplug(first);
    bus.unplug(second);
    c.DeviceChange();
    EXPECT_EQ(unplugCalls, 1);
    // Released in its unplug handler, heldA is never handed to OnRemoval.
    EXPECT_EQ(removed, std::vector<THidDevice*>{b});
    EXPECT_EQ(c.count(), 0);
    EXPECT_EQ(c.UnpluggedCount(), 0);
    EXPECT_EQ(c.CheckedOutCount(), 0);

    // Checked out and given back within the arrival and enumerate handlers:
    // a fresh object takes the slot and is not left marked as in a handler.
    const auto borrowAndReturn = [&c](THidDevice* d, int position) {
        CheckedOutDevice out;
        c.CheckOutAt(out, position);
        return d != nullptr;
    };
    c.setOnArrival(THidPlugEvent(&c, [&](THidDevice* d) { borrowAndReturn(d, 0); }));
    bus.replug(first);
    c.DeviceChange();
    ASSERT_EQ(c.count(), 1);
    EXPECT_FALSE(c.deviceAt(0)->InHandler());
    EXPECT_FALSE(c.deviceAt(0)->CheckedOut());
    c.setOnEnumerate(THidEnumerateEvent(&c, borrowAndReturn));
    EXPECT_EQ(c.EnumerateDevices(), 1);
    EXPECT_FALSE(c.deviceAt(0)->InHandler());
    EXPECT_EQ(c.CheckedInCount(), 1);
}

TEST_F(ControllerTest, DuplicatesAreDroppedAndReenumerationIsANewDevice) {
    const VirtualDeviceId hub = bus.plug(hubSpec());
    THidDeviceController c(nullptr, bus);
    install(c);
    THidDevice* first = c.deviceAt(0);
    c.DeviceChange();
    c.DeviceChange();
    EXPECT_EQ(c.count(), 1);
    EXPECT_EQ(c.deviceAt(0), first);
    EXPECT_EQ(rec.arrivals.size(), 1u);

    const quint32 oldInstance = first->PnPInfo()->InstanceNumber;
    bus.reenumerate(hub);
    c.DeviceChange();
    ASSERT_EQ(c.count(), 1);
    EXPECT_EQ(rec.removals.size(), 1u);
    EXPECT_EQ(rec.arrivals.size(), 2u);
    EXPECT_NE(c.deviceAt(0)->PnPInfo()->InstanceNumber, oldInstance);
    EXPECT_EQ(c.deviceAt(0)->PnPInfo()->InstanceNumber, bus.instanceNumber(hub));
}

TEST_F(ControllerTest, CheckOutHandsOutEachFreeEntryOnceInListOrder) {
    bus.plug(hubSpec());
    bus.plug(keyboardSpec());
    bus.plug(hubSpec());
    THidDeviceController c(nullptr, bus);
    c.DeviceChange();
    ASSERT_EQ(c.count(), 3);
    std::vector<CheckedOutDevice> held(3);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(c.CheckOutNext(held[size_t(i)]));
        EXPECT_EQ(held[size_t(i)], c.deviceAt(i));
        EXPECT_TRUE(held[size_t(i)]->CheckedOut());
    }
    EXPECT_EQ(c.CheckedOutCount(), 3);
    EXPECT_EQ(c.CheckedInCount(), 0);
    CheckedOutDevice kept = std::move(held[0]);
    EXPECT_FALSE(c.CheckOutAt(kept, 1));
    EXPECT_EQ(kept, c.deviceAt(0)); // untouched on failure
    EXPECT_TRUE(kept->CheckedOut());
    CheckedOutDevice none;
    EXPECT_FALSE(c.CheckOutNext(none));
    EXPECT_FALSE(none);
    // Emptied first: the device it held goes back and is free to take again.
    ASSERT_TRUE(c.CheckOutNext(kept));
    EXPECT_EQ(kept, c.deviceAt(0));
    EXPECT_EQ(c.CheckedOutCount(), 3);
    EXPECT_EQ(c.CheckedInCount(), 0);
    kept.reset();
    held.clear(); // check everything back in
    EXPECT_EQ(c.CheckedInCount(), 3);
    EXPECT_EQ(c.CheckedOutCount(), 0);
}

TEST_F(ControllerTest, ReleaseOfAPluggedDevicePutsAFreshObjectInItsSlot) {
    bus.plug(keyboardSpec());
    bus.plug(hubSpec());
    THidDeviceController c(nullptr, bus);
    c.setOnDeviceUnplug({&rec, &Recorder::onUnplug});
    c.DeviceChange();
    CheckedOutDevice d;
    ASSERT_TRUE(c.CheckOutAt(d, 1));
    d->SetDataHandler({&rec, &Recorder::onData});
    d->SetSleepTime(50);
    const quint32 instance = d->PnPInfo()->InstanceNumber;
    d.reset();

    ASSERT_EQ(c.count(), 2);
    THidDevice* fresh = c.deviceAt(1);
    EXPECT_FALSE(fresh->CheckedOut());
    EXPECT_TRUE(fresh->Plugged());
    EXPECT_EQ(fresh->PnPInfo()->InstanceNumber, instance);
    EXPECT_TRUE(fresh->DataHandler() == THidDataEvent(&rec, &Recorder::onData));
    EXPECT_TRUE(fresh->UnplugHandler() == THidPlugEvent(&rec, &Recorder::onUnplug));
    EXPECT_EQ(fresh->SleepTime(), 50);
    EXPECT_EQ(fresh->Reader(), nullptr);
    EXPECT_EQ(c.CheckedInCount(), 2);
    EXPECT_EQ(c.CheckedOutCount(), 0);

    // The inherited handler starts the reader at the next check-out.
    CheckedOutDevice again;
    ASSERT_TRUE(c.CheckOutAt(again, 1));
    EXPECT_NE(again->Reader(), nullptr);
    again.reset();
}

TEST_F(ControllerTest, ReleaseWhenTheDeviceCanNoLongerBeOpenedDropsTheEntry) {
    const VirtualDeviceId hub = bus.plug(hubSpec());
    THidDeviceController c(nullptr, bus);
    c.DeviceChange();
    CheckedOutDevice d;
    ASSERT_TRUE(c.CheckOutNext(d));
    bus.unplug(hub); // gone, but no pass has seen it yet
    d.reset();
    EXPECT_EQ(c.count(), 0);
    EXPECT_EQ(c.CheckedOutCount(), 0);
    bus.replug(hub);
    c.DeviceChange();
    EXPECT_EQ(c.count(), 1);
}

TEST_F(ControllerTest, EnumerateDevices) {
    bus.plug(hubSpec());
    bus.plug(keyboardSpec());
    THidDeviceController c(nullptr, bus);
    c.DeviceChange();
    EXPECT_EQ(c.EnumerateDevices(), 1); // no handler: stops after the first

    c.setOnEnumerate({&rec, &Recorder::onEnumerate});
    EXPECT_EQ(c.EnumerateDevices(), 2);
    EXPECT_EQ(rec.enumerated.size(), 2u);
    EXPECT_FALSE(c.deviceAt(0)->SyncHandleOpen());
    rec.enumerateResult = false;
    EXPECT_EQ(c.EnumerateDevices(), 1);

    // InHandler makes the device accessible inside the handler only.
    bool openedInside = false;
    c.setOnEnumerate(THidEnumerateEvent(&openedInside, [&](THidDevice* d, int) {
        openedInside = d->InHandler() && d->OpenSync();
        return false;
    }));
    c.EnumerateDevices();
    EXPECT_TRUE(openedInside);
    EXPECT_FALSE(c.deviceAt(0)->SyncHandleOpen());
    EXPECT_FALSE(c.deviceAt(0)->InHandler());
    EXPECT_FALSE(c.deviceAt(0)->OpenSync());
}

TEST_F(ControllerTest, ASleepTimeOutOfItsRangeIsNotTaken) {
    bus.plug(hubSpec());
    THidDeviceController c(nullptr, bus);
    c.DeviceChange();
    THidDevice* d = c.deviceAt(0);
    d->SetSleepTime(50);
    d->SetSleepTime(9);
    d->SetSleepTime(10001);
    EXPECT_EQ(d->SleepTime(), 50);
    d->SetSleepTime(10);
    EXPECT_EQ(d->SleepTime(), 10);
}

// Reports go to the handler the controller names now, through a reader
// already running; a device with a handler of its own keeps getting them.
TEST_F(ControllerTest, ReportsReachTheControllersNewHandlerButADevicesOwnStays) {
    const VirtualDeviceId first = bus.plug(hubSpec());
    const VirtualDeviceId second = bus.plug(hubSpec());
    THidDeviceController c(nullptr, bus);
    c.setOnDeviceData({&rec, &Recorder::onData});
    c.DeviceChange();
    ASSERT_EQ(c.count(), 2);
    CheckedOutDevice a;
    CheckedOutDevice b;
    ASSERT_TRUE(c.CheckOutAt(a, 0));
    ASSERT_TRUE(c.CheckOutAt(b, 1));
    // Handlers are told apart by their function alone: each recorder's is its own.
    const auto recording = [](Recorder& into) {
        return THidDataEvent(&into, [&into](THidDevice* d, quint8 id, const quint8* data, quint16 size) {
            into.onData(d, id, data, size);
        });
    };
    Recorder own;
    b->SetDataHandler(recording(own));
    Recorder later;
    c.setOnDeviceData(recording(later));

    const VirtualDeviceId firstBus =
        a->PnPInfo()->InstanceNumber == bus.instanceNumber(first) ? first : second;
    const VirtualDeviceId secondBus = firstBus == first ? second : first;
    ASSERT_TRUE(bus.queueInput(firstBus, 0, QByteArray(64, '\x11')));
    ASSERT_TRUE(bus.queueInput(secondBus, 0, QByteArray(64, '\x22')));
    ASSERT_TRUE(testsupport::waitUntil([&] { return !later.data.empty() && !own.data.empty(); }));
    ASSERT_EQ(later.data.size(), 1u);
    EXPECT_EQ(later.data[0].device, a.get());
    EXPECT_TRUE(later.data[0].data.startsWith('\x11'));
    ASSERT_EQ(own.data.size(), 1u);
    EXPECT_TRUE(own.data[0].data.startsWith('\x22'));
    EXPECT_TRUE(rec.data.empty()) << "the handler replaced still got a report";
}

TEST_F(ControllerTest, AHubWithoutPermissionIsListedWithoutReadWriteAccess) {
    const VirtualDeviceId hub = bus.plug(hubSpec(false));
    THidDeviceController c(nullptr, bus);
    c.setOnDeviceData({&rec, &Recorder::onData});
    c.DeviceChange();
    ASSERT_EQ(c.count(), 1);
    CheckedOutDevice d;
    ASSERT_TRUE(c.CheckOutNext(d));
    EXPECT_EQ(d->Attributes().VendorID, 0xFFF0);
    EXPECT_EQ(d->Attributes().ProductID, 0x0018);
    EXPECT_FALSE(d->ReadWriteAccess());
    EXPECT_EQ(d->OpenError(), quint32(EACCES));
    EXPECT_EQ(d->Reader(), nullptr);
    quint32 written = 99;
    const QByteArray report(65, '\0');
    EXPECT_FALSE(d->WriteReport(report.constData(), 65, written));
    EXPECT_EQ(written, 0u);

    // Once the rule grants access, the next open has it.
    bus.setAccess(hub, true);
    d->CloseSync();
    ASSERT_TRUE(d->OpenSync());
    EXPECT_TRUE(d->ReadWriteAccess());
    EXPECT_EQ(d->OpenError(), 0u);
    d.reset();
}

TEST_F(ControllerTest, AnUnreadableInterfaceDoesNotStopTheWalk) {
    bus.plug(keyboardSpec());
    bus.plug(hubSpec());
    bus.setUnreadableDetailIndex(0);
    THidDeviceController c(nullptr, bus);
    c.DeviceChange();
    ASSERT_EQ(c.count(), 1);
    EXPECT_EQ(c.deviceAt(0)->Attributes().VendorID, 0xFFF0);
}

TEST_F(ControllerTest, ARaisingHandlerDoesNotLeaveNotificationsBlocked) {
    bus.plug(hubSpec());
    THidDeviceController c(nullptr, bus);
    QSignalSpy failed(&c, &THidDeviceController::handlerFailed);
    rec.throwOnChange = true;
    EXPECT_THROW(install(c), std::runtime_error); // direct pass: the error reaches the caller
    // The self-posted notification's pass raises too, and is reported.
    ASSERT_TRUE(testsupport::waitUntil([&] { return failed.count() == 1; }));
    EXPECT_FALSE(c.PassRunning());
    rec.throwOnChange = false;
    const int changes = rec.changes;
    bus.plug(keyboardSpec()); // the next notification starts a pass again
    ASSERT_TRUE(testsupport::waitUntil([&] { return rec.changes == changes + 1; }));
    EXPECT_EQ(c.count(), 2);
}

TEST_F(ControllerTest, DeviceOperationsWithoutAccessReportFailure) {
    bus.plug(hubSpec());
    THidDeviceController c(nullptr, bus);
    c.DeviceChange();
    THidDevice* free = c.deviceAt(0); // not checked out: not accessible
    EXPECT_FALSE(free->Accessible());
    HIDP_CAPS caps;
    std::memset(static_cast<void*>(&caps), 0xAB, sizeof(caps));
    free->QueryCaps(caps);
    const HIDP_CAPS zeros{};
    EXPECT_EQ(std::memcmp(&caps, &zeros, sizeof(caps)), 0);
    quint32 written = 0;
    EXPECT_FALSE(free->WriteReport("\0", 1, written));
    free->SetInputBufferCount(128);
    EXPECT_EQ(free->InputBufferCount(), 0);
    EXPECT_FALSE(free->OpenRead());

    CheckedOutDevice d;
    ASSERT_TRUE(c.CheckOutNext(d));
    d->QueryCaps(caps);
    EXPECT_EQ(caps.InputReportByteLength, 65);
    EXPECT_EQ(caps.OutputReportByteLength, 65);
    EXPECT_EQ(caps.UsagePage, 0xFF00);
    EXPECT_FALSE(d->SyncHandleOpen()); // the fetch closes it again

    const int calls = bus.setNumInputBuffersCalls();
    d->SetInputBufferCount(128);
    d->SetInputBufferCount(128);
    EXPECT_EQ(bus.setNumInputBuffersCalls(), calls + 1);
    EXPECT_EQ(d->InputBufferCount(), 128);
    d->CloseSync(); // a close forgets the count
    EXPECT_EQ(d->InputBufferCount(), 0);
    d->SetInputBufferCount(128);
    EXPECT_EQ(bus.setNumInputBuffersCalls(), calls + 2);
    d->SetReadBufferCount(128);
    EXPECT_EQ(d->ReadBufferCount(), 128);
    EXPECT_TRUE(d->ReadHandleOpen());
    d.reset();
}

TEST_F(ControllerTest, MarkUnpluggedCallsTheUnplugHandlerOnce) {
    bus.plug(hubSpec());
    THidDeviceController c(nullptr, bus);
    c.setOnDeviceUnplug({&rec, &Recorder::onUnplug});
    c.DeviceChange();
    CheckedOutDevice d;
    ASSERT_TRUE(c.CheckOutNext(d));
    ASSERT_TRUE(d->OpenSync());
    d->MarkUnplugged();
    d->MarkUnplugged();
    EXPECT_EQ(rec.unplugs.size(), 1u);
    EXPECT_FALSE(d->UnplugHandler().isSet());
    EXPECT_FALSE(d->SyncHandleOpen());
    EXPECT_FALSE(d->OpenSync());
    d.reset();
    EXPECT_EQ(c.count(), 0);
}

TEST_F(ControllerTest, ANewNodeUnderTheSameInstanceIsANewDevice) {
    KernelLikeBus kbus;
    const VirtualDeviceId hub = kbus.plug(hubSpec());
    THidDeviceController c(nullptr, kbus);
    install(c);
    ASSERT_EQ(c.count(), 1);
    const QString oldNode = c.deviceAt(0)->PnPInfo()->InterfacePath;
    CheckedOutDevice held;
    ASSERT_TRUE(c.CheckOutNext(held));

    // The holder must learn that its node is dead, and the new node is listed.
    kbus.reboundInstance = kbus.instanceNumber(hub);
    c.DeviceChange();
    EXPECT_FALSE(held->Plugged());
    EXPECT_EQ(rec.removals.size(), 1u);
    ASSERT_EQ(rec.arrivals.size(), 2u);
    EXPECT_EQ(rec.arrivals.back()->PnPInfo()->InstanceNumber, kbus.instanceNumber(hub));
    EXPECT_EQ(rec.arrivals.back()->PnPInfo()->InterfacePath, oldNode + KernelLikeBus::Rebound);
    held.reset();
    EXPECT_EQ(c.count(), 1);
    c.DeviceChange(); // and that is stable
    EXPECT_EQ(rec.arrivals.size(), 2u);
    EXPECT_EQ(rec.removals.size(), 1u);
}

// A reader that reopens the path while the device is being unplugged could
// take the node of the next device (hidraw minors are reused): the device no
// longer counts as plugged when its read handle goes.
TEST_F(ControllerTest, TheReadHandleClosesOnlyOnceTheDeviceCountsAsUnplugged) {
    KernelLikeBus kbus;
    kbus.plug(hubSpec());
    THidDeviceController c(nullptr, kbus);
    c.DeviceChange();
    CheckedOutDevice d;
    ASSERT_TRUE(c.CheckOutNext(d));
    ASSERT_TRUE(d->OpenRead());
    int closes = 0;
    bool pluggedAtAClose = false;
    kbus.onClose = [&](HidHandle) {
        ++closes;
        pluggedAtAClose = pluggedAtAClose || d->Plugged();
    };
    d->MarkUnplugged();
    kbus.onClose = {};
    EXPECT_GE(closes, 1);
    EXPECT_FALSE(pluggedAtAClose);
    EXPECT_FALSE(d->OpenRead());
    EXPECT_FALSE(d->ReadHandleOpen());
    d.reset();
}

TEST_F(ControllerTest, APermissionRefusalIsTriedAgainUntilItIsFinal) {
    KernelLikeBus kbus;
    kbus.denyReadWrite = true;
    kbus.plug(hubSpec());
    THidDeviceController c(nullptr, kbus);
    install(c);
    CheckedOutDevice d;
    ASSERT_TRUE(c.CheckOutNext(d));
    EXPECT_FALSE(d->ReadWriteAccess());
    EXPECT_EQ(d->OpenError(), quint32(EACCES));
    EXPECT_FALSE(d->AccessSettled()); // the access list may still be on its way

    // Access arrives without any notification: a retry pass tells the holder.
    const int changes = rec.changes;
    kbus.denyReadWrite = false;
    ASSERT_TRUE(testsupport::waitUntil([&] { return rec.changes > changes; }, 3000));
    d.reset(); // the check-in opens it anew
    ASSERT_TRUE(c.CheckOutNext(d));
    EXPECT_TRUE(d->ReadWriteAccess());
    EXPECT_FALSE(d->AccessSettled());
    d.reset();

    // Refused for good: once final, the holder hears of it once more, then
    // the retries stop.
    kbus.denyReadWrite = true;
    kbus.plug(hubSpec());
    ASSERT_TRUE(testsupport::waitUntil([&] { return c.count() == 2; }));
    CheckedOutDevice refused;
    ASSERT_TRUE(c.CheckOutAt(refused, 1));
    EXPECT_FALSE(refused->AccessSettled());
    ASSERT_TRUE(testsupport::waitUntil([&] { return refused->AccessSettled(); }, 12000));
    const int settledChanges = rec.changes;
    testsupport::pumpFor(600);
    EXPECT_EQ(rec.changes, settledChanges);
    refused.reset();
}

// The hand-back: whoever holds the device, and however often it was moved,
// it goes back to its controller exactly once.
TEST_F(ControllerTest, AHeldDeviceGoesBackExactlyOnceWhereverItWasMoved) {
    bus.plug(hubSpec());
    bus.plug(keyboardSpec());
    THidDeviceController c(nullptr, bus);
    c.DeviceChange();
    CheckedOutDevice first;
    ASSERT_TRUE(c.CheckOutAt(first, 0));
    THidDevice* const hub = first.get();

    CheckedOutDevice moved(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(moved, hub);
    first.reset(); // empty: gives nothing back
    CheckedOutDevice& alias = moved;
    moved = std::move(alias); // onto itself: keeps it
    EXPECT_EQ(moved, hub);
    EXPECT_EQ(c.deviceAt(0), hub);
    EXPECT_EQ(c.CheckedOutCount(), 1);

    // Assigned over another held device: that one goes back, this one stays out.
    CheckedOutDevice other;
    ASSERT_TRUE(c.CheckOutAt(other, 1));
    other = std::move(moved);
    EXPECT_FALSE(moved);
    EXPECT_EQ(other, hub);
    EXPECT_TRUE(hub->CheckedOut());
    EXPECT_FALSE(c.deviceAt(1)->CheckedOut());
    EXPECT_EQ(c.CheckedOutCount(), 1);
    EXPECT_EQ(c.CheckedInCount(), 1);

    {
        std::vector<CheckedOutDevice> holders;
        holders.push_back(std::move(other));
        holders.resize(16); // moved again as the vector grows
        EXPECT_EQ(c.CheckedOutCount(), 1);
    }
    EXPECT_EQ(c.count(), 2);
    EXPECT_FALSE(c.deviceAt(0)->CheckedOut());
    EXPECT_EQ(c.CheckedOutCount(), 0);
    EXPECT_EQ(c.CheckedInCount(), 2);
    other.reset();
    moved.reset();
    EXPECT_EQ(c.CheckedInCount(), 2);
    CheckedOutDevice again;
    EXPECT_TRUE(c.CheckOutAt(again, 0)); // the fresh object in the slot is free
}

// Nothing of the check-in may change what the device sees: the old object's
// handles are all closed before the device is opened and identified anew.
TEST_F(ControllerTest, ACheckInClosesTheHeldHandlesBeforeTheDeviceIsOpenedAnew) {
    KernelLikeBus kbus;
    const VirtualDeviceId hub = kbus.plug(hubSpec());
    THidDeviceController c(nullptr, kbus);
    c.DeviceChange();
    CheckedOutDevice d;
    ASSERT_TRUE(c.CheckOutNext(d));
    d->SetDataHandler({&rec, &Recorder::onData}); // the reader opens its own handle
    ASSERT_TRUE(d->OpenSync());
    ASSERT_TRUE(d->ReadHandleOpen());
    QStringList calls;
    kbus.onOpen = [&](HidAccess access, HidHandle) {
        calls << (access == HidAccess::ReadWrite ? QStringLiteral("open read-write")
                                                 : QStringLiteral("open other"));
    };
    kbus.onClose = [&](HidHandle) { calls << QStringLiteral("close"); };
    d.reset();
    kbus.onOpen = {};
    kbus.onClose = {};
    EXPECT_EQ(calls, QStringList({"close", "close", "open read-write", "close"}));
    EXPECT_EQ(kbus.openHandleCount(hub), 0);
    ASSERT_EQ(c.count(), 1);
    EXPECT_FALSE(c.deviceAt(0)->CheckedOut());
    EXPECT_FALSE(c.deviceAt(0)->SyncHandleOpen());
}

// A holder may keep its devices past the controller; when the controller
// goes it tells each holder the device is gone, and a holder that answers by
// giving back another of its devices must not leave the controller walking
// over a released object.
TEST_F(ControllerTest, HeldDevicesOutliveTheirController) {
    const VirtualDeviceId hubA = bus.plug(hubSpec());
    const VirtualDeviceId hubB = bus.plug(hubSpec());
    CheckedOutDevice heldA;
    CheckedOutDevice heldB;
    int unplugs = 0;
    {
        THidDeviceController c(nullptr, bus);
        c.DeviceChange();
        ASSERT_TRUE(c.CheckOutAt(heldA, 0));
        ASSERT_TRUE(c.CheckOutAt(heldB, 1));
        ASSERT_TRUE(heldB->OpenSync());
        heldA->setUnplugHandler(THidPlugEvent(&unplugs, [&](THidDevice*) {
            ++unplugs;
            heldB.reset();
        }));
    }
    EXPECT_EQ(unplugs, 1);
    EXPECT_FALSE(heldB);
    EXPECT_EQ(bus.openHandleCount(hubB), 0);
    ASSERT_TRUE(heldA);
    EXPECT_EQ(heldA->Controller(), nullptr);
    EXPECT_FALSE(heldA->Plugged());
    heldA.reset(); // no list left to touch: simply released
    EXPECT_EQ(bus.openHandleCount(hubA), 0);
}

// Waiting for the first pass must not depend on catching the moment between
// the self-posted notification and a broadcast that follows it at once.
TEST_F(ControllerTest, TheFirstPassStaysDoneWhenABroadcastFollowsAtOnce) {
    bus.plug(hubSpec());
    THidDeviceController c(nullptr, bus);
    install(c);
    EXPECT_FALSE(c.FirstPassDone()); // that pass was a direct one
    bus.plug(keyboardSpec());        // queued right behind the self-posted notification
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(c.LastNotifyParam(), 0);
    EXPECT_TRUE(c.FirstPassDone());
    EXPECT_EQ(c.count(), 2);
}

} // namespace
