#include "HubDevice.h"
#include "HubTestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>

#include <cerrno>

using namespace hubtest;

namespace {

VirtualHidDeviceSetup deviceSetup(quint16 vendor, quint16 product, bool readWrite = true) {
    VirtualHidDeviceSetup setup = VirtualHub::deviceSetup();
    setup.vendorId = vendor;
    setup.productId = product;
    setup.readWriteAccess = readWrite;
    return setup;
}

THidDevice* listed(const TfrmMain& w, int i) {
    return w.hubAt(i);
}

// A window over a bus without hubs, past its start-up passes.
struct EmptyBus : ::testing::Test {
    void SetUp() override {
        window = std::make_unique<TfrmMain>(bus);
        window->timing.replyTimeoutMs = RoomyReplyTimeoutMs;
        window->tmrAuto->stop();
        ASSERT_TRUE(testsupport::waitUntil([this] { return window->controller()->FirstPassDone(); }));
    }
    int permissionMessages() const {
        return int(window->mmoUplog->toPlainText().count(QStringLiteral("70-quorvi-hub.rules")));
    }

    ErrorCapture errors;
    VirtualHidBus bus;
    std::unique_ptr<TfrmMain> window;
};

} // namespace

TEST_F(EmptyBus, NoHubMeansEmptyListAndRedLamp) {
    EXPECT_EQ(window->cbbPort->count(), 0);
    EXPECT_EQ(window->currentHub(), nullptr);
    EXPECT_TRUE(lampIs(*window, 1));
    EXPECT_TRUE(window->mmoUplog->toPlainText().isEmpty());
}

TEST_F(EmptyBus, OnlyTheHubsIdsMakeAHub) {
    bus.plug(deviceSetup(0xFFF0, 0x0019));
    bus.plug(deviceSetup(0x1234, 0x0018));
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->controller()->CheckedOutCount() == 2; }));
    EXPECT_EQ(window->cbbPort->count(), 0);
    EXPECT_EQ(window->currentHub(), nullptr);

    bus.plug(deviceSetup(0xFFF0, 0x0018));
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->currentHub() != nullptr; }));
    EXPECT_EQ(window->cbbPort->count(), 1);
    EXPECT_EQ(window->currentHub()->Attributes().VendorID, 0xFFF0);
}

TEST_F(EmptyBus, FirstOfTwoHubsIsCurrentAndOnlyItReads) {
    const VirtualDeviceId first = bus.plug(deviceSetup(0xFFF0, 0x0018));
    bus.plug(deviceSetup(0xFFF0, 0x0018));
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->cbbPort->count() == 2; }));
    EXPECT_EQ(window->cbbPort->itemText(0), QStringLiteral("Hub0"));
    EXPECT_EQ(window->cbbPort->itemText(1), QStringLiteral("Hub0"));
    EXPECT_EQ(window->cbbPort->currentIndex(), 0);
    EXPECT_EQ(window->currentHub(), listed(*window, 0));
    EXPECT_EQ(window->currentHub()->PnPInfo()->InstanceNumber, bus.instanceNumber(first));
    EXPECT_NE(window->currentHub()->Reader(), nullptr);
    EXPECT_EQ(listed(*window, 1)->Reader(), nullptr);
    EXPECT_EQ(window->currentHub()->ReadBufferCount(), 128);
}

TEST_F(EmptyBus, PlugAndUnplugSwitchTheLamp) {
    const VirtualDeviceId hub = bus.plug(deviceSetup(0xFFF0, 0x0018));
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->currentHub() != nullptr; }));
    EXPECT_TRUE(lampIs(*window, 0));
    EXPECT_FALSE(window->autoUpdateArmed());

    bus.unplug(hub);
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->currentHub() == nullptr; }));
    EXPECT_TRUE(lampIs(*window, 1));
    EXPECT_EQ(window->cbbPort->count(), 0);
    // The unplugged device went back to the controller, which dropped it.
    EXPECT_EQ(window->controller()->count(), 0);
}

TEST_F(EmptyBus, HubArmsTheAutomaticUpdateOnlyWhenAskedAndNoUpdateRuns) {
    const VirtualDeviceId hub = bus.plug(deviceSetup(0xFFF0, 0x0018));
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->currentHub() != nullptr; }));
    EXPECT_FALSE(window->autoUpdateArmed());

    {
        // The box alone, without its handler starting the automatic sequence.
        const QSignalBlocker blocker(window->chkAutoPRG);
        window->chkAutoPRG->setChecked(true);
    }
    TfrmMainTestAccess::setUpdateInProgress(*window, true);
    bus.reenumerate(hub);
    ASSERT_TRUE(testsupport::waitUntil([&] {
        return window->currentHub() &&
               window->currentHub()->PnPInfo()->InstanceNumber == bus.instanceNumber(hub);
    }));
    EXPECT_TRUE(lampIs(*window, 0));
    EXPECT_FALSE(window->autoUpdateArmed());

    TfrmMainTestAccess::setUpdateInProgress(*window, false);
    bus.reenumerate(hub);
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->autoUpdateArmed(); }));
}

TEST_F(EmptyBus, RefreshKeepsTheSameHubCurrent) {
    const VirtualDeviceId hub = bus.plug(deviceSetup(0xFFF0, 0x0018));
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->currentHub() != nullptr; }));
    EXPECT_TRUE(window->RefreshHubs());
    ASSERT_NE(window->currentHub(), nullptr);
    EXPECT_EQ(window->currentHub()->PnPInfo()->InstanceNumber, bus.instanceNumber(hub));
}

TEST_F(EmptyBus, HubWithoutAccessIsReportedOncePerPlugIn) {
    const VirtualDeviceId locked = bus.plug(deviceSetup(0xFFF0, 0x0018, false));
    // Said once the access list had its time to arrive.
    ASSERT_TRUE(testsupport::waitUntil([this] { return permissionMessages() == 1; }, 12000));
    EXPECT_TRUE(window->mmoUplog->toPlainText().contains(QStringLiteral("plug it in again")));
    EXPECT_EQ(window->currentHub(), nullptr);
    EXPECT_TRUE(lampIs(*window, 1));

    // Later passes do not repeat it; a usable hub beside it becomes current.
    const VirtualDeviceId usable = bus.plug(deviceSetup(0xFFF0, 0x0018));
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->currentHub() != nullptr; }));
    EXPECT_TRUE(window->currentHub()->ReadWriteAccess());
    EXPECT_EQ(permissionMessages(), 1);

    // Without a usable hub, every "Device disconnected." says why.
    bus.unplug(usable);
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->currentHub() == nullptr; }));
    const QString disconnected = QStringLiteral("Device disconnected.\n") + hubdevice::accessMessage(EACCES);
    window->btnConnect->click();
    EXPECT_TRUE(window->mmoUplog->toPlainText().endsWith(disconnected));
    window->btnUpdate->click();
    EXPECT_EQ(window->mmoUplog->toPlainText(), disconnected);
    window->mmoUplog->clear();

    bus.unplug(locked);
    bus.replug(locked);
    ASSERT_TRUE(testsupport::waitUntil([this] { return permissionMessages() == 1; }, 12000));
    testsupport::pumpFor(50);
    EXPECT_EQ(permissionMessages(), 1);
    EXPECT_TRUE(errors.messages.isEmpty());
}

// On a desktop the access list reaches the node just after it appears; the
// hub must become usable then, without a replug and without the message.
TEST_F(EmptyBus, HubGrantedAccessShortlyAfterThePlugBecomesCurrentWithoutAMessage) {
    const VirtualDeviceId hub = bus.plug(deviceSetup(0xFFF0, 0x0018, false));
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->controller()->count() == 1; }));
    EXPECT_EQ(window->currentHub(), nullptr);
    bus.setAccess(hub, true);
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->currentHub() != nullptr; }));
    EXPECT_TRUE(window->currentHub()->ReadWriteAccess());
    EXPECT_TRUE(lampIs(*window, 0));
    EXPECT_EQ(permissionMessages(), 0);
    EXPECT_TRUE(errors.messages.isEmpty());
}

TEST(HubRelease, ClosingTheWindowStopsTheReaderAndClosesTheHub) {
    VirtualHidBus bus;
    const VirtualDeviceId hub = bus.plug(deviceSetup(0xFFF0, 0x0018));
    bus.plug(deviceSetup(0x1234, 0x5678));
    {
        TfrmMain w(bus);
        ASSERT_NE(w.currentHub(), nullptr);
        ASSERT_NE(w.currentHub()->Reader(), nullptr);
        EXPECT_GT(bus.openHandleCount(hub), 0);
    }
    EXPECT_EQ(bus.openHandleCount(hub), 0);
}

TEST_F(WindowWithHub, ReenumeratedHubAnswersAtOnce) {
    THidDevice* before = window->currentHub();
    ASSERT_TRUE(bus.reenumerate(hub.deviceId()));
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return window->currentHub() != before && window->currentHub(); }));
    HubRequest request;
    request.assign({0x00});
    EXPECT_EQ(window->SendFrame(CmdGetVersion, request), 0);
    EXPECT_EQ(framesToHub(hub).size(), 1u);
}

TEST_F(WindowWithHub, ReenumerationDuringAWaitLeavesAWorkingHub) {
    setFaults([](hubsim::HubFaults& f) { f.replyDelayMs = 60; });
    QTimer::singleShot(10, [&] { bus.reenumerate(hub.deviceId()); });
    HubRequest request;
    request.assign({0x00});
    const int first = window->SendFrame(CmdGetVersion, request);
    setFaults([](hubsim::HubFaults& f) { f.replyDelayMs = 0; });
    hub.trace().clear();
    const int second = window->SendFrame(CmdGetVersion, request);
    EXPECT_EQ(second, 0) << "first " << first;
    EXPECT_EQ(framesToHub(hub).size(), 1u);
}
