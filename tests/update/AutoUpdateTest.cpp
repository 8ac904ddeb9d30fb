// The automatic update: hubs plugged in while the box is checked.

#include "FormWidgets.h"
#include "TestSupport.h"
#include "UpdateTestSupport.h"

#include <QAccessible>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

using namespace updatetest;
using hubsim::HubMode;

namespace {

constexpr std::uint32_t ImageVersion = 0x11150906;

} // namespace

class AutomaticUpdate : public UpdateFixture {
protected:
    void watchingWindow() {
        makeWindow();
        w->chkAutoPRG->setChecked(true);
    }

    bool backToWatching() const {
        return w->chkAutoPRG->isEnabled() && w->tmrAuto->isActive() && !w->autoUpdateArmed();
    }
    // The sequence has run and the page is back to watching for hubs.
    bool sequenceDone(const VirtualHub& hub) const {
        return hub.firmwareVersion() == ImageVersion && framesOf(CmdGetVersion).size() >= 5 &&
               backToWatching();
    }

    // Version check (the taking query, then the real one), update (its
    // result read back), version check again.
    void expectOneSequence(bool checkReboot = true) {
        const std::vector<SentFrame> versions = framesOf(CmdGetVersion);
        // An update that did not get to its end reads no version back.
        if (checkReboot) {
            ASSERT_EQ(versions.size(), 5u);
        }
        ASSERT_GE(versions.size(), 4u);
        ASSERT_LE(versions.size(), 5u);
        EXPECT_TRUE(versions[0].payload.empty());
        EXPECT_EQ(versions[1].payload, hubsim::Bytes{0});
        if (versions.size() == 5) {
            EXPECT_EQ(versions[2].payload, hubsim::Bytes{0});
        }
        EXPECT_TRUE(versions[versions.size() - 2].payload.empty());
        EXPECT_EQ(versions.back().payload, hubsim::Bytes{0});
        EXPECT_EQ(frames[0].command, CmdGetVersion);
        EXPECT_EQ(frames[1].command, CmdGetVersion);
        EXPECT_EQ(frames[2].command, CmdGetMode);
        // The last check: its version query, and for a hub that tells the
        // image's version its mode as well.
        const std::size_t last = frames.size() - (frames.back().command == CmdGetMode ? 2 : 1);
        EXPECT_EQ(frames[last].command, CmdGetVersion);
        EXPECT_EQ(framesOf(CmdEnterBootloader).size(), 1u);
        if (checkReboot) {
            EXPECT_EQ(framesOf(CmdReboot).size(), 1u);
        }
    }
};

TEST_F(AutomaticUpdate, CheckBoxAndToolPageDriveButtonsTimerAndStatusPanel) {
    makeWindow();
    w->show();
    w->pgcMain->setCurrentWidget(w->tbshtTool);
    QCoreApplication::processEvents();
    EXPECT_TRUE(w->pnl2->isHidden()); // box clear: the panel stays hidden
    w->pgcMain->setCurrentWidget(w->tbshtUpdate);

    w->chkAutoPRG->setChecked(true);
    EXPECT_FALSE(w->btnConnect->isEnabled());
    EXPECT_FALSE(w->btnUpdate->isEnabled());
    EXPECT_TRUE(w->tmrAuto->isActive());
    // Greyed, but not without a word why: for the mouse and for a screen reader.
    for (QPushButton* button : {w->btnConnect, w->btnUpdate}) {
        EXPECT_TRUE(button->toolTip().contains(QStringLiteral("Automatically update")));
        EXPECT_EQ(QAccessible::queryAccessibleInterface(button)->text(QAccessible::Description),
                  button->toolTip());
    }

    w->pgcMain->setCurrentWidget(w->tbshtTool);
    EXPECT_FALSE(w->pnl2->isHidden());
    w->pgcMain->setCurrentWidget(w->tbshtUpdate);
    EXPECT_TRUE(w->pnl2->isHidden());

    w->chkAutoPRG->setChecked(false);
    EXPECT_TRUE(w->btnConnect->isEnabled());
    EXPECT_TRUE(w->btnUpdate->isEnabled());
    EXPECT_TRUE(w->btnUpdate->toolTip().isEmpty());
    EXPECT_FALSE(w->tmrAuto->isActive());
    EXPECT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
}

TEST_F(AutomaticUpdate, PluggedHubIsCheckedUpdatedAndCheckedAgain) {
    watchingWindow();
    w->show();
    w->pgcMain->setCurrentWidget(w->tbshtTool); // progress shows on the status panel too
    VirtualHub& hub = addHub();
    hub.setFirmwareVersion(ImageVersion); // already current: updated all the same
    watch(hub);
    const std::int64_t pluggedAt = hubsim::HubTrace::nowNs();
    hub.plug();

    ASSERT_TRUE(testsupport::waitUntil([&] { return sequenceDone(hub); }, 20000));

    expectOneSequence();
    // The arming tick plus one: at least one timer interval after the hub came.
    EXPECT_GE(frames.front().timeNs - pluggedAt, 450'000'000LL);
    EXPECT_EQ(w->mmoUplog->toPlainText().split('\n').last(), QStringLiteral("Update completed."));
    EXPECT_TRUE(w->lblDeviceVersion->text().contains(QStringLiteral("1.1.15.0906")));
    EXPECT_EQ(w->lblMsg->text(), QStringLiteral("APP Version: 11150906"));
    EXPECT_EQ(w->pbMsg->value(), w->pbMsg->maximum());
    EXPECT_EQ(w->pbMsg->maximum(), w->firmwareImage().count() - 1);
    for (const SentFrame& f : frames) // the box cannot be switched in the middle
        EXPECT_FALSE(f.autoBoxEnabled) << "frame " << int(f.command);

    // The hub's return after its restart armed nothing that runs later.
    const std::size_t sent = frames.size();
    testsupport::pumpFor(1200);
    EXPECT_EQ(frames.size(), sent);
    EXPECT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
    // Leave the page before the window goes: a page hidden by the window's
    // own destruction still announces it to the half-destroyed window.
    w->pgcMain->setCurrentWidget(w->tbshtUpdate);
}

// Nobody is asked to give up a calibration: the hub is left alone.
TEST_F(AutomaticUpdate, AHubWhoseCalibrationCannotBeReadIsLeftAlone) {
    watchingWindow();
    VirtualHub& hub = addHub();
    hub.model().setLedLevels({10, 20, 30, 40, 50, 60, 70, 80});
    watch(hub, [&hub](const SentFrame& f) {
        if (f.command == CmdStartLedAdjust)
            hub.model().setResultOnFrame(hub.model().framesReceived() + 1, 0x05);
    });
    QuestionAnswerer yes(QMessageBox::Yes);
    hub.plug();

    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return framesOf(CmdGetVersion).size() >= 4 && backToWatching(); }, 20000));
    EXPECT_TRUE(yes.asked.isEmpty());
    EXPECT_EQ(framesOf(CmdStartLedAdjust).size(), 2u);
    EXPECT_TRUE(framesOf(CmdEnterBootloader).empty());
    EXPECT_EQ(hub.mode(), HubMode::Application);
    EXPECT_NE(hub.firmwareVersion(), ImageVersion);
    EXPECT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
}

TEST_F(AutomaticUpdate, SecondHubPluggedAfterTheFirstIsUpdatedToo) {
    watchingWindow();
    VirtualHub& first = addHub();
    watch(first);
    first.plug();
    ASSERT_TRUE(testsupport::waitUntil([&] { return sequenceDone(first); }, 20000));
    first.unplug();
    ASSERT_TRUE(testsupport::waitUntil([&] { return w->currentHub() == nullptr; }));

    frames.clear();
    VirtualHub& second = addHub();
    watch(second);
    second.plug();
    ASSERT_TRUE(testsupport::waitUntil([&] { return sequenceDone(second); }, 20000));

    expectOneSequence();
    EXPECT_EQ(second.model().writtenBlocks().size(), 625u);
    EXPECT_EQ(second.mode(), HubMode::Application);
    EXPECT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
}

TEST_F(AutomaticUpdate, ReenumerationDuringTheUpdateStartsNoSecondRun) {
    watchingWindow();
    VirtualHub& hub = addHub();
    int blockData = 0;
    watch(hub, [&](const SentFrame& f) {
        if (f.command == CmdBlockData && ++blockData == 5) {
            // While the reply is awaited, as a flaky cable would.
            QMetaObject::invokeMethod(
                qApp, [&] { bus.reenumerate(hub.deviceId()); }, Qt::QueuedConnection);
        }
    });
    hub.plug();

    // Whether the update survives a re-enumeration is the link's matter; here
    // only that the sequence runs once and ends.
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return backToWatching() && framesOf(CmdGetVersion).size() >= 4; }, 20000));

    expectOneSequence(false);
    EXPECT_LE(framesOf(CmdReboot).size(), 1u);
    // The hub found again mid-run did arm the automatic update...
    bool armedDuringRun = false;
    for (std::size_t i = firstIndexOf(frames, CmdBlockData) + 5; i < frames.size(); ++i)
        armedDuringRun = armedDuringRun || frames[i].armed;
    EXPECT_TRUE(armedDuringRun);
    // ...and the end of the sequence wiped it out.
    const std::size_t sent = frames.size();
    testsupport::pumpFor(1200);
    EXPECT_EQ(frames.size(), sent);
    EXPECT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
}

// Checking the box during a manual update: the hub coming back after its
// reboot arms the sequence, whose ticks fall into the update's waits; it
// starts only once that update has ended.
TEST_F(AutomaticUpdate, CheckingTheBoxDuringAManualUpdateStartsNothingInsideIt) {
    VirtualHub& hub = addHub();
    hub.plug();
    makeWindow(QStringLiteral("smallbin"));
    ASSERT_TRUE(waitForHub());
    w->timing.ledWritePauseMs = 200; // two timer ticks while the levels go back
    int open = 0, mostOpen = 0, starts = 0;
    QObject::connect(&w->session(), &HubSession::stageChanged, w.get(), [&](HubSession::Stage stage) {
        if (stage != HubSession::Stage::Started)
            return;
        ++starts;
        mostOpen = std::max(mostOpen, ++open);
    });
    QObject::connect(&w->session(), &HubSession::updateFinished, w.get(), [&] { --open; });
    bool checked = false;
    watch(hub, [&](const SentFrame& f) {
        if (f.command == CmdBlockData && !checked) {
            checked = true;
            QMetaObject::invokeMethod(
                w.get(), [this] { w->chkAutoPRG->setChecked(true); }, Qt::QueuedConnection);
        }
    });

    w->btnUpdate->click();

    EXPECT_EQ(starts, 1);
    EXPECT_TRUE(w->chkAutoPRG->isChecked());
    EXPECT_TRUE(w->autoUpdateArmed()); // by the hub's return, kept for later
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return framesOf(CmdEnterBootloader).size() == 2 && backToWatching(); }, 20000));
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(mostOpen, 1);
    EXPECT_EQ(hub.mode(), HubMode::Application);
    EXPECT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
}
