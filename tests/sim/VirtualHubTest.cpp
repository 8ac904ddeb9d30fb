#include "VirtualHub.h"
#include "BusHost.h"
#include "HidControllerClass.h"
#include "HubProtocol.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include <optional>

using namespace hubsim;

namespace {

QByteArray frameBytes(std::uint8_t command, std::initializer_list<std::uint8_t> payload = {}) {
    HubRequest request;
    request.assign(payload);
    const auto report = buildHubFrame(command, request);
    return QByteArray(reinterpret_cast<const char*>(report->data()), int(report->size()));
}

QByteArray blockFrame(std::uint8_t command, std::uint32_t address, const Bytes& data) {
    HubRequest request;
    Bytes payload{std::uint8_t(address), std::uint8_t(address >> 8), 0, 0};
    payload.insert(payload.end(), data.begin(), data.end());
    request.assign(payload);
    const auto report = buildHubFrame(command, request);
    return QByteArray(reinterpret_cast<const char*>(report->data()), int(report->size()));
}

Bytes toBytes(const QByteArray& a) {
    return Bytes(reinterpret_cast<const std::uint8_t*>(a.constData()),
                 reinterpret_cast<const std::uint8_t*>(a.constData()) + a.size());
}

class VirtualHubTest : public ::testing::Test {
protected:
    void SetUp() override {
        hub.setRestartDelays(30, 30);
        ASSERT_TRUE(hub.plug());
        ASSERT_TRUE(host.open(hub.deviceId()));
    }

    // Waits until the hub left and came back, then reopens it.
    void reopenAfterRestart(quint32 oldInstance) {
        ASSERT_TRUE(testsupport::waitUntil(
            [&] {
                const quint32 instance = bus.instanceNumber(hub.deviceId()); // 0 while detached
                return instance != 0 && instance != oldInstance;
            },
            3000));
        ASSERT_TRUE(host.open(hub.deviceId()));
    }

    std::optional<QByteArray> exchange(const QByteArray& request) {
        if (!host.write(request))
            return std::nullopt;
        return host.read(1000);
    }

    VirtualHidBus bus;
    VirtualHub hub{bus};
    BusHost host{bus};
};

} // namespace

TEST_F(VirtualHubTest, PresentsTheHubsIdentityAndReportLengths) {
    HIDD_ATTRIBUTES attributes;
    ASSERT_TRUE(bus.getAttributes(host.writeHandle(), attributes));
    EXPECT_EQ(attributes.VendorID, 0xFFF0);
    EXPECT_EQ(attributes.ProductID, 0x0018);
    HidPreparsedData* data = bus.getPreparsedData(host.writeHandle());
    ASSERT_NE(data, nullptr);
    HIDP_CAPS caps;
    ASSERT_TRUE(bus.getCaps(data, caps));
    bus.freePreparsedData(data);
    EXPECT_EQ(caps.InputReportByteLength, 65);
    EXPECT_EQ(caps.OutputReportByteLength, 65);
    EXPECT_EQ(caps.UsagePage, 0xFF00);
}

TEST_F(VirtualHubTest, WriteYieldsTheReplyThroughARead) {
    QSignalSpy spy(&hub, &VirtualHub::traceAppended);
    hub.setFirmwareVersion(0x11150906);
    const QByteArray request = frameBytes(CmdGetVersion, {0});
    const auto reply = exchange(request);
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->size(), 65);
    EXPECT_EQ(quint8(reply->at(0)), 0);
    EXPECT_EQ(quint8(reply->at(1)), 0x55);
    EXPECT_EQ(quint8(reply->at(5)), 0);
    EXPECT_EQ(reply->mid(6, 4), QByteArray::fromHex("11150906"));

    // The trace holds exactly what crossed the cable, in order.
    const auto entries = hub.trace().entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].direction, TraceEntry::Direction::ToHub);
    EXPECT_EQ(entries[0].bytes, toBytes(request));
    EXPECT_EQ(entries[1].direction, TraceEntry::Direction::FromHub);
    EXPECT_EQ(entries[1].bytes, toBytes(*reply));
    EXPECT_LE(entries[0].timeNs, entries[1].timeNs);

    // The same reports reach the UI thread as signals, in order.
    ASSERT_TRUE(testsupport::waitUntil([&] { return spy.size() == 2; }));
    EXPECT_EQ(spy[0][0].toLongLong(), entries[0].timeNs);
    EXPECT_FALSE(spy[0][1].toBool());
    EXPECT_EQ(spy[0][2].toByteArray(), request);
    EXPECT_TRUE(spy[1][1].toBool());
    EXPECT_EQ(spy[1][2].toByteArray(), *reply);
}

TEST_F(VirtualHubTest, ProgrammingFlowAcrossRestarts) {
    QSignalSpy modes(&hub, &VirtualHub::modeChanged);
    QSignalSpy versions(&hub, &VirtualHub::versionChanged);
    QSignalSpy gone(&hub, &VirtualHub::unplugged);

    quint32 instance = bus.instanceNumber(hub.deviceId());
    const auto entered = exchange(frameBytes(CmdEnterBootloader));
    ASSERT_TRUE(entered);
    EXPECT_EQ(quint8(entered->at(5)), 0);
    // It leaves the bus (only briefly: watch the signal, not the bus), and the
    // open handles stop working.
    ASSERT_TRUE(testsupport::waitUntil([&] { return gone.size() == 1; }, 2000));
    EXPECT_FALSE(host.write(frameBytes(CmdGetMode)));
    reopenAfterRestart(instance);
    EXPECT_EQ(gone.size(), 1);

    auto mode = exchange(frameBytes(CmdGetMode));
    ASSERT_TRUE(mode);
    EXPECT_EQ(quint8(mode->at(5)), 0);
    EXPECT_EQ(quint8(mode->at(6)), 1);

    const std::vector<std::pair<std::uint32_t, Bytes>> lines{{0x0000, Bytes(19, 0x11)},
                                                             {0x0013, Bytes(19, 0x22)}};
    for (const auto& [address, data] : lines) {
        auto r = exchange(blockFrame(CmdBlockData, 0, data));
        ASSERT_TRUE(r);
        EXPECT_EQ(quint8(r->at(5)), 0);
        r = exchange(blockFrame(CmdBlockWrite, address, data));
        ASSERT_TRUE(r);
        EXPECT_EQ(quint8(r->at(5)), 0);
    }
    EXPECT_EQ(hub.model().writtenBlocks(),
              (std::vector<WrittenBlock>{{0x0000, Bytes(19, 0x11)}, {0x0013, Bytes(19, 0x22)}}));

    instance = bus.instanceNumber(hub.deviceId());
    ASSERT_TRUE(exchange(frameBytes(CmdReboot)));
    reopenAfterRestart(instance);
    mode = exchange(frameBytes(CmdGetMode));
    ASSERT_TRUE(mode);
    EXPECT_EQ(quint8(mode->at(5)), 0xFF);
    const auto version = exchange(frameBytes(CmdGetVersion, {0}));
    ASSERT_TRUE(version);
    EXPECT_EQ(version->mid(6, 4), QByteArray::fromHex("11150906"));

    ASSERT_TRUE(testsupport::waitUntil([&] { return modes.size() == 2 && versions.size() == 1; }));
    EXPECT_EQ(modes[0][0].value<HubMode>(), HubMode::Bootloader);
    EXPECT_EQ(modes[1][0].value<HubMode>(), HubMode::Application);
    EXPECT_EQ(versions[0][0].toUInt(), 0x11150906u);
}

TEST_F(VirtualHubTest, DelayedAndUsbTimedRepliesComeNoSooner) {
    HubFaults f;
    f.replyDelayMs = 40;
    hub.setFaults(f);
    ASSERT_TRUE(exchange(frameBytes(CmdGetMode)));
    auto entries = hub.trace().entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_GE(entries[1].timeNs - entries[0].timeNs, 40'000'000);

    hub.trace().clear();
    f = {};
    f.usbTiming = true;
    hub.setFaults(f);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(host.write(frameBytes(CmdGetMode)));
    EXPECT_GE(clock.nsecsElapsed(), 1'000'000); // the output transfer takes its frame
    ASSERT_TRUE(host.read(1000));
    entries = hub.trace().entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_GE(entries[1].timeNs - entries[0].timeNs, 2'000'000);
}

TEST_F(VirtualHubTest, SilentAndWrongMarkerHubs) {
    HubFaults f;
    f.silent = true;
    hub.setFaults(f);
    ASSERT_TRUE(host.write(frameBytes(CmdGetMode)));
    EXPECT_FALSE(host.read(150));

    f = {};
    f.wrongMarker = true;
    hub.setFaults(f);
    ASSERT_TRUE(host.write(frameBytes(CmdGetMode)));
    const auto reply = host.read(1000);
    ASSERT_TRUE(reply);
    EXPECT_NE(quint8(reply->at(1)), 0x55);
}

TEST_F(VirtualHubTest, ResultByteAndUnplugOnAChosenFrame) {
    const std::uint64_t next = hub.model().framesReceived() + 1;
    hub.model().setResultOnFrame(next + 1, 0x01);
    HubFaults f = hub.faults();
    f.unplugAfterFrame = next + 2;
    hub.setFaults(f);
    EXPECT_EQ(quint8(exchange(frameBytes(CmdGetVersion))->at(5)), 0);
    EXPECT_EQ(quint8(exchange(frameBytes(CmdGetVersion))->at(5)), 0x01);
    EXPECT_TRUE(exchange(frameBytes(CmdGetVersion)));
    ASSERT_TRUE(testsupport::waitUntil([&] { return !bus.isPlugged(hub.deviceId()); }));
    // It stays away until plugged by hand.
    testsupport::pumpFor(60);
    EXPECT_FALSE(hub.isPlugged());
    EXPECT_TRUE(hub.plug());
    EXPECT_TRUE(bus.isPlugged(hub.deviceId()));
}

TEST_F(VirtualHubTest, RebootKnobs) {
    HubFaults f;
    f.stayInBootloaderAfterReboot = true;
    hub.setFaults(f);
    quint32 instance = bus.instanceNumber(hub.deviceId());
    ASSERT_TRUE(exchange(frameBytes(CmdReboot)));
    reopenAfterRestart(instance);
    auto mode = exchange(frameBytes(CmdGetMode));
    ASSERT_TRUE(mode);
    EXPECT_EQ(quint8(mode->at(6)), 1);

    f = {};
    f.neverReturnAfterReboot = true;
    hub.setFaults(f);
    ASSERT_TRUE(exchange(frameBytes(CmdReboot)));
    ASSERT_TRUE(testsupport::waitUntil([&] { return !bus.isPlugged(hub.deviceId()); }));
    testsupport::pumpFor(120); // four times the restart delay
    EXPECT_FALSE(bus.isPlugged(hub.deviceId()));
}

TEST_F(VirtualHubTest, RestartingHubLeavesOnlyOnceItsAnswerWasRead) {
    // As on USB, the answer is in the host's hands before the hub detaches.
    const quint32 instance = bus.instanceNumber(hub.deviceId());
    ASSERT_TRUE(host.write(frameBytes(CmdEnterBootloader)));
    testsupport::pumpFor(60); // twice the restart delay, nothing read
    EXPECT_TRUE(bus.isPlugged(hub.deviceId()));
    EXPECT_EQ(bus.instanceNumber(hub.deviceId()), instance);
    const auto answer = host.read(1000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(quint8(answer->at(1)), 0x55);
    reopenAfterRestart(instance);
    EXPECT_EQ(hub.mode(), HubMode::Bootloader);

    // Nobody reading: it leaves after a grace all the same.
    QSignalSpy gone(&hub, &VirtualHub::unplugged);
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(host.write(frameBytes(CmdReboot)));
    ASSERT_TRUE(testsupport::waitUntil([&] { return gone.size() == 1; }, 5000));
    EXPECT_GE(clock.elapsed(), 900);
}

TEST_F(VirtualHubTest, UnplugDuringARestartCancelsTheReturn) {
    hub.setRestartDelays(300, 300);
    ASSERT_TRUE(exchange(frameBytes(CmdEnterBootloader)));
    ASSERT_TRUE(testsupport::waitUntil([&] { return !bus.isPlugged(hub.deviceId()); }));
    EXPECT_FALSE(hub.unplug()); // already off the bus
    testsupport::pumpFor(400);
    EXPECT_FALSE(bus.isPlugged(hub.deviceId()));
    // Plugging it in finishes the restart it was in.
    ASSERT_TRUE(hub.plug());
    EXPECT_EQ(hub.mode(), HubMode::Bootloader);
    ASSERT_TRUE(host.open(hub.deviceId()));
    EXPECT_EQ(quint8(exchange(frameBytes(CmdGetMode))->at(6)), 1);
}

TEST_F(VirtualHubTest, PluggingAHubStillOnTheBusLetsItsRestartRun) {
    HubFaults f;
    f.replyDelayMs = 40; // the hub is still on the bus while its answer is due
    hub.setFaults(f);
    const quint32 instance = bus.instanceNumber(hub.deviceId());
    ASSERT_TRUE(host.write(frameBytes(CmdEnterBootloader)));
    EXPECT_TRUE(hub.plug());
    reopenAfterRestart(instance);
    hub.setFaults({});
    const auto mode = exchange(frameBytes(CmdGetMode));
    ASSERT_TRUE(mode);
    EXPECT_EQ(quint8(mode->at(6)), 1);
}

TEST_F(VirtualHubTest, UnsolicitedReportsArriveUnasked) {
    HubFaults f;
    f.unsolicitedIntervalMs = 5;
    hub.setFaults(f);
    for (int i = 0; i < 3; ++i) {
        const auto report = host.read(1000);
        ASSERT_TRUE(report) << i;
        EXPECT_EQ(toBytes(*report), hub.model().unsolicitedReport());
    }
    hub.setFaults({});
    EXPECT_TRUE(hub.trace().reports(TraceEntry::Direction::ToHub).empty());
    EXPECT_TRUE(hub.sendUnsolicited());
}

TEST(VirtualHubLifetime, DestroyingTheHubLeavesTheBus) {
    VirtualHidBus bus;
    VirtualDeviceId id;
    BusHost host(bus);
    {
        VirtualHub hub(bus);
        HubFaults f;
        f.unsolicitedIntervalMs = 1;
        f.replyDelayMs = 50;
        hub.setFaults(f);
        ASSERT_TRUE(hub.plug());
        id = hub.deviceId();
        ASSERT_TRUE(host.open(id));
        ASSERT_TRUE(host.write(frameBytes(CmdEnterBootloader))); // reply and restart still pending
    }
    EXPECT_FALSE(bus.isPlugged(id));
    EXPECT_FALSE(host.write(frameBytes(CmdGetMode)));
}

// The HID layer's own device and read thread deliver the hub's answer.
TEST(VirtualHubOnController, ReplyReachesTheDataHandler) {
    VirtualHidBus bus;
    VirtualHub hub(bus);
    ASSERT_TRUE(hub.plug());
    THidDeviceController controller(nullptr, bus);
    controller.DeviceChange();
    CheckedOutDevice device;
    ASSERT_TRUE(controller.CheckOutNext(device));
    ASSERT_EQ(device->Attributes().VendorID, 0xFFF0);

    QByteArray received;
    int reportId = -1;
    static const char key = 0;
    device->SetDataHandler(THidDataEvent(&key, [&](THidDevice*, quint8 id, const quint8* data, quint16 size) {
        reportId = id;
        received = QByteArray(reinterpret_cast<const char*>(data), size);
    }));
    HIDP_CAPS caps;
    device->QueryCaps(caps);
    ASSERT_EQ(caps.OutputReportByteLength, 65);
    // A report that comes before the reader has its handle is dropped, as on a real node.
    ASSERT_TRUE(testsupport::waitUntil([&] { return device->ReadHandleOpen(); }));
    const QByteArray request = frameBytes(CmdStartLedAdjust);
    quint32 written = 0;
    ASSERT_TRUE(device->WriteReport(request.constData(), request.size(), written));
    ASSERT_TRUE(testsupport::waitUntil([&] { return !received.isEmpty(); }));
    EXPECT_EQ(reportId, 0);
    ASSERT_EQ(received.size(), 64);
    EXPECT_EQ(quint8(received[0]), 0x55);
    EXPECT_EQ(quint8(received[4]), 0);
    EXPECT_EQ(received.mid(5, 8), QByteArray(8, char(FactoryLedLevel)));
}
