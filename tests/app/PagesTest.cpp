// The pages on their own, each over a port of the test's making: what they
// show and send, without the window around them.

#include "CheckedOutDevice.h"
#include "EventWait.h"
#include "FirmwareImage.h"
#include "HidControllerClass.h"
#include "HubPort.h"
#include "ServicePage.h"
#include "UpdatePage.h"
#include "VirtualHidBus.h"
#include "VirtualHub.h"

#include <QAccessible>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <gtest/gtest.h>

namespace {

// A hub port over a session of its own, on at most one virtual hub.
class TestPort : public HubPort {
public:
    HubSession& session() override { return m_session; }
    bool busy() const override { return busyNow || exchanges > 0; }
    void exchangeBegins() override { ++exchanges; }
    void exchangeEnds() override { --exchanges; }
    bool takeSelectedHub() override { return false; }
    QString whyNoHub() const override { return why; }
    HubSession::UpdateResult runUpdate(const FirmwareImage& image) override {
        return m_session.runUpdate(image);
    }
    void showLink() override {}
    void showStatus(const QString& text) override { status << text; }
    void tell(const QString& text) override { told << text; }

    bool busyNow = false;
    int exchanges = 0;
    QString why;
    QStringList status, told;

private:
    HubSession m_session;
};

class PageAlone : public ::testing::Test {
protected:
    // The port's session on the hub, plugged.
    void attachHub() {
        ASSERT_TRUE(hub.plug());
        controller = std::make_unique<THidDeviceController>(nullptr, bus);
        ASSERT_TRUE(processEventsUntil([this] { return controller->FirstPassDone(); }, 3000));
        ASSERT_TRUE(controller->CheckOutNext(device));
        port.session().attach(device.get());
        hub.trace().clear();
    }
    std::vector<hubsim::Bytes> payloadsOf(std::uint8_t command) {
        std::vector<hubsim::Bytes> payloads;
        for (const hubsim::Bytes& frame : hub.trace().reports(hubsim::TraceEntry::Direction::ToHub)) {
            if (frame.size() > 5 && frame[4] == command)
                payloads.emplace_back(frame.begin() + 5, frame.begin() + 5 + (frame[2] - 5));
        }
        return payloads;
    }
    void TearDown() override {
        port.session().detach();
        device.reset();
    }

    VirtualHidBus bus;
    VirtualHub hub{bus};
    std::unique_ptr<THidDeviceController> controller;
    CheckedOutDevice device;
    TestPort port;
};

} // namespace

TEST_F(PageAlone, EachLedBarSendsItsOwnChannel) {
    attachHub();
    ServicePage page(port);
    const auto bars = page.trackBars();
    for (std::size_t i = 0; i < bars.size(); ++i)
        bars[i]->setValue(int(60 + i));
    const std::vector<hubsim::Bytes> sent = payloadsOf(CmdSetLedLevel);
    ASSERT_EQ(sent.size(), 8u);
    for (std::size_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(sent[i], (hubsim::Bytes{std::uint8_t(i + 1), std::uint8_t(60 + i)}));
    EXPECT_EQ(port.exchanges, 0);
}

TEST_F(PageAlone, ServiceButtonsSayWhyTheyWaitAndSendNothing) {
    attachHub();
    ServicePage page(port);
    port.busyNow = true;
    page.btnRead->click();
    page.btnStartAdj->click();
    page.trkLed3->setValue(7);
    EXPECT_EQ(port.told.size(), 3);
    EXPECT_TRUE(port.told.value(2).startsWith(QStringLiteral("LED level 3: not now")));
    EXPECT_TRUE(hub.trace().reports(hubsim::TraceEntry::Direction::ToHub).empty());
}

TEST_F(PageAlone, WithoutAHubTheUpdatePageSaysWhyEveryTime) {
    FirmwareImage image;
    image.loadBuiltIn();
    UpdatePage page(port, image);
    port.why = QStringLiteral("A Charging Hub is connected, but this user may not use it.");
    page.btnConnect->click();
    page.btnConnect->click();
    EXPECT_EQ(page.mmoUplog->toPlainText().count(QStringLiteral("Device disconnected.\n") + port.why), 2);
    page.btnUpdate->click();
    EXPECT_EQ(page.mmoUplog->toPlainText(), QStringLiteral("Device disconnected.\n") + port.why);
}

TEST_F(PageAlone, AutomaticModeGreysTheButtonsWithItsReason) {
    FirmwareImage image;
    UpdatePage page(port, image);
    page.setAutomatic(true);
    for (QPushButton* button : {page.btnConnect, page.btnUpdate}) {
        EXPECT_FALSE(button->isEnabled());
        EXPECT_FALSE(button->toolTip().isEmpty());
        EXPECT_EQ(button->accessibleDescription(), button->toolTip());
    }
    ASSERT_EQ(port.status.size(), 1);
    EXPECT_EQ(port.status[0], page.btnUpdate->toolTip());
    page.setAutomatic(false);
    EXPECT_TRUE(page.btnConnect->isEnabled());
    EXPECT_TRUE(page.btnConnect->accessibleDescription().isEmpty());
}
