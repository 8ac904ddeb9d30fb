#include "HubTestSupport.h"

using namespace hubtest;

namespace {

HubRequest withPayload(std::initializer_list<std::uint8_t> payload) {
    HubRequest request;
    request.assign(payload);
    return request;
}

// A device with the hub's ids whose output reports have another length; it
// records what is written and answers each write with a reply carrying result 7.
struct OddHub {
    OddHub(VirtualHidBus& bus, quint8 outputBytes) : m_bus(bus) {
        const quint8 descriptor[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1,        0x01, 0x09, 0x02, 0x15,
                                     0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,        0x95, 0x40, 0x81, 0x02,
                                     0x09, 0x03, 0x75, 0x08, 0x95, outputBytes, 0x91, 0x02, 0xC0};
        VirtualHidDeviceSetup setup;
        setup.vendorId = VirtualHub::VendorId;
        setup.productId = VirtualHub::ProductId;
        setup.reportDescriptor = QByteArray(reinterpret_cast<const char*>(descriptor), sizeof descriptor);
        id = bus.plug(setup, [this](const QByteArray& report) {
            written.push_back(report);
            QByteArray reply(64, '\0');
            reply[0] = char(0x55);
            reply[4] = 7;
            m_bus.queueInput(id, 0, reply);
        });
    }
    VirtualHidBus& m_bus;
    VirtualDeviceId id = -1;
    std::vector<QByteArray> written; // written on the UI thread, inside the write
};

} // namespace

class HubLink : public WindowWithHub {};

TEST_F(HubLink, FramesAreByteExactOnTheWire) {
    EXPECT_EQ(window->SendFrame(CmdGetVersion, withPayload({0x00})), 0);
    EXPECT_GE(window->SendFrame(CmdSetLedLevel, withPayload({1, 50})), 0);
    EXPECT_GE(window->SendFrame(CmdEnterBootloader, HubRequest{}), 0);

    const auto frames = framesToHub(hub);
    ASSERT_EQ(frames.size(), 3u);
    for (const Bytes& frame : frames)
        EXPECT_EQ(frame.size(), 65u);
    EXPECT_EQ(head(frames[0], 7), (Bytes{0x00, 0x55, 0x06, 0x00, 0x01, 0x00, 0xC8}));
    EXPECT_EQ(head(frames[1], 8), (Bytes{0x00, 0x55, 0x07, 0x00, 0xF1, 0x01, 0x32, 0x73}));
    EXPECT_EQ(head(frames[2], 6), (Bytes{0x00, 0x55, 0x05, 0x00, 0x07, 0xA5}));
    // The reply stays in the buffer for the caller.
    EXPECT_EQ(window->replyBuffer()[0], 0x55);
}

TEST_F(HubLink, PayloadOf59BytesFillsTheReportAnd60AreRefused) {
    HubRequest request;
    std::vector<std::uint8_t> payload(59);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = std::uint8_t(i + 1);
    request.assign(payload);
    EXPECT_NE(window->SendFrame(CmdReadRunData, request), -1);
    auto frames = framesToHub(hub);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0][2], 64);
    EXPECT_EQ(frames[0][63], 59);
    // The hub's own check: byte 64 covers report bytes 1 to 62.
    EXPECT_EQ(frames[0][64], hubsim::crc8(std::span(frames[0]).subspan(1, 62)));

    request.setPayloadLength(60);
    hub.trace().clear();
    EXPECT_EQ(window->SendFrame(CmdReadRunData, request), -1);
    EXPECT_TRUE(framesToHub(hub).empty());
}

TEST_F(HubLink, SilentHubCostsThreeWrites) {
    window->timing.replyTimeoutMs = 50;
    setFaults([](auto& f) { f.silent = true; });
    EXPECT_EQ(window->SendFrame(CmdGetVersion, withPayload({0})), -1);
    EXPECT_EQ(framesToHub(hub).size(), 3u);
}

TEST_F(HubLink, LateReplyIsTakenByTheNextAttempt) {
    // The answer to the first write comes only once the second write is out:
    // too late for the first wait, in time for the second.
    window->timing.replyTimeoutMs = 50;
    setFaults([](auto& f) { f.silent = true; });
    int written = 0;
    hub.trace().setListener([&](const hubsim::TraceEntry& entry) { // inside the write
        if (entry.direction != hubsim::TraceEntry::Direction::ToHub || ++written != 2)
            return;
        window->timing.replyTimeoutMs = RoomyReplyTimeoutMs;
        QByteArray late(64, '\0');
        late[0] = char(0x55);
        bus.queueInput(hub.deviceId(), 0, late);
    });
    EXPECT_EQ(window->SendFrame(CmdGetVersion, withPayload({0})), 0);
    hub.trace().setListener({});
    EXPECT_EQ(written, 2);
    EXPECT_EQ(window->replyBuffer()[0], 0x55);
}

TEST_F(HubLink, ReportWithoutTheMarkerNeverEndsAWait) {
    window->timing.replyTimeoutMs = 50;
    setFaults([](auto& f) { f.wrongMarker = true; });
    EXPECT_EQ(window->SendFrame(CmdGetVersion, withPayload({0})), -1);
    EXPECT_EQ(framesToHub(hub).size(), 3u);
    EXPECT_NE(window->replyBuffer()[0], 0x55);
}

TEST_F(HubLink, NonZeroResultIsAReplyAndIsReturned) {
    // The application answers the mode query with 0xFF.
    EXPECT_EQ(window->SendFrame(CmdGetMode, HubRequest{}), 255);
    hub.model().setResultOnFrame(hub.model().framesReceived() + 1, 0x42);
    EXPECT_EQ(window->SendFrame(CmdGetVersion, withPayload({0})), 0x42);
    EXPECT_EQ(framesToHub(hub).size(), 2u);
}

TEST_F(HubLink, NothingIsSentWithoutACurrentHub) {
    ASSERT_TRUE(hub.unplug());
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->currentHub() == nullptr; }));
    EXPECT_EQ(window->SendFrame(CmdGetVersion, withPayload({0})), -1);
    EXPECT_TRUE(framesToHub(hub).empty());
}

TEST(HubLinkReportLength, LongerReportsArePaddedShorterOnesRefused) {
    ErrorCapture errors;
    VirtualHidBus bus;
    OddHub longer(bus, 80);
    TfrmMain w(bus);
    ASSERT_TRUE(testsupport::waitUntil([&] { return w.controller()->FirstPassDone(); }));
    ASSERT_NE(w.currentHub(), nullptr);
    HubRequest request;
    request.assign({0x00});
    EXPECT_EQ(w.SendFrame(CmdGetVersion, request), 7);
    ASSERT_FALSE(longer.written.empty());
    const QByteArray report = longer.written.back();
    ASSERT_EQ(report.size(), 81);
    const auto frame = *buildHubFrame(CmdGetVersion, request);
    EXPECT_EQ(report.left(65), QByteArray(reinterpret_cast<const char*>(frame.data()), 65));
    EXPECT_EQ(report.mid(65), QByteArray(16, '\0'));

    bus.unplug(longer.id);
    OddHub shorter(bus, 32);
    ASSERT_TRUE(testsupport::waitUntil([&] {
        return w.currentHub() && w.currentHub()->PnPInfo()->InstanceNumber == bus.instanceNumber(shorter.id);
    }));
    EXPECT_EQ(w.SendFrame(CmdGetVersion, request), -1);
    EXPECT_TRUE(shorter.written.empty());
    EXPECT_TRUE(errors.messages.isEmpty());
}
