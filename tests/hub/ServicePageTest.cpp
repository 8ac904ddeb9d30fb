#include "FormWidgets.h"
#include "HubTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>

using namespace hubtest;

namespace {

// (channel, level) of every CmdSetLedLevel frame, in order.
std::vector<std::pair<int, int>> levelsSent(VirtualHub& hub) {
    std::vector<std::pair<int, int>> sent;
    for (const Bytes& frame : framesToHub(hub))
        if (frame[4] == CmdSetLedLevel)
            sent.emplace_back(frame[5], frame[6]);
    return sent;
}

} // namespace

class ServicePageWindow : public WindowWithHub {
protected:
    QColor highlight() const { return QApplication::palette().color(QPalette::Highlight); }
};

TEST_F(ServicePageWindow, RunDataIsShown) {
    hubsim::RunData data;
    data.voltage = 0x1234;
    data.current = 0x0201;
    data.state = 3;
    data.channel = 250;
    data.presence = 0x50;
    data.counters = {7, 8, 9};
    hub.model().setRunData(data);
    window->btnRead->click();

    EXPECT_EQ(window->edtVolt->text(), QStringLiteral("4660"));
    EXPECT_EQ(window->edtCurr->text(), QStringLiteral("513"));
    EXPECT_EQ(window->edtState->text(), QStringLiteral("3"));
    EXPECT_EQ(window->edtChannel->text(), QStringLiteral("250"));
    EXPECT_EQ(window->edtCyc1->text() + window->edtCyc2->text() + window->edtCyc3->text(),
              QStringLiteral("789"));
    EXPECT_EQ(window->shp0->brushColor(), QColor(Qt::white));
    EXPECT_EQ(window->shp1->brushColor(), highlight());
    EXPECT_EQ(window->shp2->brushColor(), QColor(Qt::white));
    EXPECT_EQ(window->shp3->brushColor(), highlight());

    data.presence = 0x0F;
    hub.model().setRunData(data);
    window->btnRead->click();
    for (const ShapeWidget* slot : {window->shp0, window->shp1, window->shp2, window->shp3})
        EXPECT_EQ(slot->brushColor(), highlight());
}

TEST_F(ServicePageWindow, FailedReadChangesNothing) {
    window->btnRead->click();
    window->timing.replyTimeoutMs = 20;
    setFaults([](auto& f) { f.silent = true; });
    hub.model().setRunData(hubsim::RunData{1, 2, 3, 4, 0, {5, 6, 7}});
    window->btnRead->click();
    EXPECT_EQ(window->edtVolt->text(), QString::number(hubsim::RunData{}.voltage));
    EXPECT_EQ(window->shp0->brushColor(), QColor(Qt::white));
}

TEST_F(ServicePageWindow, RefreshReadsWhileTheBoxIsChecked) {
    window->chkRefresh->setChecked(true);
    EXPECT_TRUE(window->tmrRefresh->isActive());
    EXPECT_EQ(window->tmrRefresh->interval(), 1000);
    window->tmrRefresh->setInterval(10);
    ASSERT_TRUE(testsupport::waitUntil([this] { return framesToHub(hub).size() >= 2; }));
    EXPECT_EQ(framesToHub(hub).front()[4], CmdReadRunData);
    window->chkRefresh->setChecked(false);
    EXPECT_FALSE(window->tmrRefresh->isActive());
}

TEST_F(ServicePageWindow, RefreshTickNeverTakesTheReplyOfAnotherExchange) {
    window->chkRefresh->setChecked(true);
    window->tmrRefresh->setInterval(1);
    setFaults([](auto& f) { f.replyDelayMs = 40; }); // ticks fall due while the hub thinks
    hub.setFirmwareVersion(0x01020304);
    EXPECT_EQ(window->SendFrame(CmdGetVersion, HubRequest{}), 0);
    EXPECT_EQ(framesToHub(hub).size(), 1u);
    EXPECT_EQ(Bytes(window->replyBuffer().begin() + 5, window->replyBuffer().begin() + 9),
              (Bytes{0x01, 0x02, 0x03, 0x04}));
    // Outside a wait the tick reads as before.
    setFaults([](auto& f) { f.replyDelayMs = 0; });
    ASSERT_TRUE(testsupport::waitUntil([this] { return framesToHub(hub).size() >= 2; }));
    EXPECT_EQ(framesToHub(hub)[1][4], CmdReadRunData);
    window->chkRefresh->setChecked(false);
}

TEST_F(ServicePageWindow, ReadingTheLevelsSendsOnlyTheBarsThatMoved) {
    hub.model().setLedLevels({10, 20, 30, 40, 50, 60, 70, 80});
    // The levels count as held only once all eight bars stand at them.
    std::vector<bool> heldWhileMoving;
    const QObject scope;
    QObject::connect(window->trkLed8, &QSlider::valueChanged, &scope,
                     [this, &heldWhileMoving] { heldWhileMoving.push_back(window->calibrationHeld()); });
    window->btnStartAdj->click();
    EXPECT_EQ(heldWhileMoving, std::vector<bool>{false});

    const auto frames = framesToHub(hub);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front()[4], CmdStartLedAdjust);
    const std::vector<std::pair<int, int>> expected{{1, 10}, {2, 20}, {3, 30}, {4, 40},
                                                    {6, 60}, {7, 70}, {8, 80}};
    EXPECT_EQ(levelsSent(hub), expected);
    EXPECT_EQ(frames.size(), 8u);
    const auto bars = window->tbshtTool->trackBars();
    for (std::size_t i = 0; i < bars.size(); ++i)
        EXPECT_EQ(bars[i]->value(), int(10 * (i + 1)));
    EXPECT_TRUE(window->calibrationHeld());

    window->btnEndAdj->click();
    EXPECT_EQ(framesToHub(hub).back()[4], CmdEndLedAdjust);
    EXPECT_TRUE(window->calibrationHeld());
}

TEST_F(ServicePageWindow, LevelAboveTheRangeIsShownAndSentAs100) {
    hub.model().setLedLevels({120, 50, 50, 50, 50, 50, 50, 50});
    window->btnStartAdj->click();
    EXPECT_EQ(window->trkLed1->value(), 100);
    EXPECT_EQ(levelsSent(hub), (std::vector<std::pair<int, int>>{{1, 100}}));
}

TEST_F(ServicePageWindow, MovingABarSendsItsChannelAndLevel) {
    window->trkLed6->setValue(73);
    EXPECT_EQ(levelsSent(hub), (std::vector<std::pair<int, int>>{{6, 73}}));
    EXPECT_EQ(hub.model().ledLevels()[5], 73);
}

TEST_F(ServicePageWindow, FailedLevelReadLeavesBarsAndFlag) {
    window->timing.replyTimeoutMs = 20;
    setFaults([](auto& f) { f.silent = true; });
    hub.model().setLedLevels({10, 20, 30, 40, 50, 60, 70, 80});
    window->btnStartAdj->click();
    EXPECT_EQ(window->trkLed1->value(), 50);
    EXPECT_FALSE(window->calibrationHeld());
    EXPECT_TRUE(levelsSent(hub).empty());
}

TEST_F(ServicePageWindow, NothingIsSentWithoutAHub) {
    ASSERT_TRUE(hub.unplug());
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->currentHub() == nullptr; }));
    window->btnStartAdj->click();
    window->trkLed2->setValue(11);
    window->btnEndAdj->click();
    window->btnRead->click();
    EXPECT_TRUE(framesToHub(hub).empty());
    EXPECT_FALSE(window->calibrationHeld());
}
