// The update procedure end to end against the virtual hub.

#include "TestSupport.h"
#include "UpdateTestSupport.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFrame>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

#include <utility>

using namespace updatetest;
using hubsim::Bytes;
using hubsim::HubMode;

namespace {

const QStringList successLog{"Enter bootloader mode...", "Programming...", "Reboot...OK.",
                             "Update completed."};
const std::array<std::uint8_t, 8> customLevels{10, 20, 30, 40, 50, 60, 70, 80};
// A retry that gives back the levels an earlier, failed run read.
const QStringList retryLog{"Enter bootloader mode...", "Programming...", "Reboot...OK.",
                           "Restoring the LED levels kept from an earlier attempt.", "Update completed."};

Bytes concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

bool anyAfter(const std::vector<SentFrame>& frames, std::size_t from, std::uint8_t command) {
    for (std::size_t i = from; i < frames.size(); ++i) {
        if (frames[i].command == command)
            return true;
    }
    return false;
}

void expectBlocksEqual(const std::vector<hubsim::WrittenBlock>& written,
                       const std::vector<HubBlock>& expected) {
    ASSERT_EQ(written.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(written[i].address, expected[i].address) << "block " << i;
        EXPECT_EQ(written[i].data, expected[i].data) << "block " << i;
    }
}

} // namespace

class UpdateRun : public UpdateFixture {
protected:
    // A hub running its application with its own LED calibration, and the window on it.
    VirtualHub& hubWithCalibration(const QString& image = QStringLiteral("appbin")) {
        VirtualHub& hub = addHub();
        hub.model().setLedLevels(customLevels);
        hub.plug();
        makeWindow(image);
        EXPECT_TRUE(waitForHub());
        w->pnl2->show(); // so the status line takes texts
        return hub;
    }

    void expectIdleAgain() {
        EXPECT_TRUE(w->pnlUpdate->isEnabled());
        EXPECT_FALSE(w->updateInProgress());
        EXPECT_FALSE(w->chkRefresh->isChecked());
        EXPECT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
    }
};

TEST_F(UpdateRun, FullUpdateProgramsEveryDataLineAndCarriesTheLedLevels) {
    VirtualHub& hub = hubWithCalibration();
    w->chkRefresh->setChecked(true); // the update must stop the refresh
    EnabledChangeCounter panelChanges(w->pnlUpdate);
    watch(hub);

    w->btnUpdate->click();

    EXPECT_EQ(logLines(), successLog);
    EXPECT_EQ(w->lblMsg->text(), QStringLiteral("Update completed."));
    EXPECT_EQ(hub.firmwareVersion(), 0x11150906u);
    EXPECT_EQ(hub.mode(), HubMode::Application);
    const std::vector<HubBlock> image = expectedBlocks(QStringLiteral(":/APP/APPBIN"));
    ASSERT_EQ(image.size(), 625u);
    expectBlocksEqual(hub.model().writtenBlocks(), image);
    // The new firmware starts at factory levels: these came back only by being written.
    EXPECT_EQ(hub.model().savedLedLevels(), customLevels);
    EXPECT_EQ(hub.model().ledLevels(), customLevels);
    EXPECT_TRUE(w->calibrationHeld());

    EXPECT_EQ(w->pbProgram->maximum(), w->firmwareImage().count() - 1);
    EXPECT_EQ(w->pbProgram->value(), w->pbProgram->maximum());
    EXPECT_EQ(w->pbMsg->maximum(), w->pbProgram->maximum());
    EXPECT_EQ(w->pbMsg->value(), w->pbMsg->maximum());
    EXPECT_EQ(panelChanges.count, 2); // disabled once, enabled once
    EXPECT_TRUE(lampIs(0));
    expectIdleAgain();

    // Order on the wire: mode, LED read (the bars that moved echo their level),
    // bootloader entry, pairs, reboot, write-back.
    ASSERT_GE(frames.size(), 4u);
    EXPECT_EQ(frames[0].command, CmdGetMode);
    EXPECT_EQ(frames[1].command, CmdStartLedAdjust);
    const std::size_t entry = firstIndexOf(frames, CmdEnterBootloader);
    ASSERT_LT(entry, frames.size());
    for (std::size_t i = 2; i < entry; ++i)
        EXPECT_EQ(frames[i].command, CmdSetLedLevel);
    EXPECT_TRUE(frames[entry].updateInProgress);
    EXPECT_FALSE(frames[1].updateInProgress);
    for (const SentFrame& f : frames)
        EXPECT_FALSE(f.panelEnabled) << "frame " << int(f.command) << " sent with the panel usable";
    EXPECT_TRUE(framesOf(CmdReadRunData).empty());

    const std::vector<SentFrame> data = framesOf(CmdBlockData);
    const std::vector<SentFrame> writes = framesOf(CmdBlockWrite);
    ASSERT_EQ(data.size(), image.size());
    ASSERT_EQ(writes.size(), image.size());
    for (std::size_t i = 0; i < image.size(); ++i) {
        const std::uint32_t a = image[i].address;
        EXPECT_EQ(data[i].payload, concat({0, 0, 0, 0}, image[i].data)) << "line " << i;
        EXPECT_EQ(writes[i].payload, concat({std::uint8_t(a), std::uint8_t(a >> 8), 0, 0}, image[i].data))
            << "line " << i;
        EXPECT_FALSE(writes[i].updateInProgress);
    }
    const std::size_t firstData = firstIndexOf(frames, CmdBlockData);
    for (std::size_t i = firstData; i < firstData + 2 * image.size(); ++i)
        EXPECT_EQ(frames[i].command, (i - firstData) % 2 == 0 ? CmdBlockData : CmdBlockWrite);

    const std::size_t reboot = firstIndexOf(frames, CmdReboot);
    ASSERT_LT(reboot, frames.size());
    EXPECT_EQ(framesOf(CmdReboot).size(), 1u);
    std::vector<SentFrame> levels;
    for (std::size_t i = reboot; i < frames.size(); ++i) {
        if (frames[i].command == CmdSetLedLevel)
            levels.push_back(frames[i]);
    }
    ASSERT_EQ(levels.size(), 8u);
    for (std::size_t c = 0; c < 8; ++c) {
        EXPECT_EQ(levels[c].payload, (Bytes{std::uint8_t(c + 1), customLevels[c]}));
        if (c > 0) { // each level is followed by its pause before the next goes out
            EXPECT_GE(levels[c].timeNs - levels[c - 1].timeNs, (w->timing.ledWritePauseMs - 1) * 1'000'000LL);
        }
    }
    // Then the version is read back, the update's last frame.
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[frames.size() - 2].command, CmdEndLedAdjust);
    EXPECT_EQ(frames.back().command, CmdGetVersion);
}

TEST_F(UpdateRun, LineFieldsReachTheHubAsTheirTwoFrames) {
    VirtualHub& hub = addHub();
    hub.setMode(HubMode::Bootloader);
    hub.plug();
    makeWindow(QStringLiteral("smallbin"));
    ASSERT_TRUE(waitForHub());
    ASSERT_EQ(w->firmwareImage().count(), 5);
    watch(hub);

    w->btnUpdateClick();

    // Nothing kept for it: completed, and said that its calibration stays the new firmware's.
    QStringList expectedLog = successLog;
    expectedLog.prepend(
        QStringLiteral("The hub is in its bootloader and no LED levels are kept for it: its "
                       "calibration cannot be carried; it keeps the new firmware's defaults."));
    EXPECT_EQ(logLines(), expectedLog);
    expectIdleAgain();
    EXPECT_EQ(w->pbProgram->maximum(), 4);
    // Already in the bootloader: no LED read, the entry is still asked for.
    EXPECT_TRUE(framesOf(CmdStartLedAdjust).empty());
    EXPECT_EQ(framesOf(CmdEnterBootloader).size(), 1u);
    EXPECT_TRUE(framesOf(CmdSetLedLevel).empty());
    EXPECT_TRUE(framesOf(CmdEndLedAdjust).empty());

    const std::size_t first = firstIndexOf(frames, CmdBlockData);
    ASSERT_GE(frames.size(), first + 7);
    const std::vector<std::pair<std::uint8_t, Bytes>> expected{
        {CmdBlockData, {0, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD}},
        {CmdBlockWrite, {0x34, 0x12, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD}},
        {CmdBlockData, {0, 0, 0, 0}},
        {CmdBlockWrite, {0x10, 0, 0, 0}},
        {CmdBlockData, {0, 0, 0, 0, 0x11, 0x22}},
        {CmdBlockWrite, {0x78, 0x56, 0, 0, 0x11, 0x22}},
        {CmdReboot, {}},
    };
    const std::vector<int> progressAt{1, 1, 2, 2, 4, 4, 4};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(frames[first + i].command, expected[i].first) << "frame " << i;
        EXPECT_EQ(frames[first + i].payload, expected[i].second) << "frame " << i;
        EXPECT_EQ(frames[first + i].progress, progressAt[i]) << "frame " << i;
    }
    EXPECT_EQ(hub.model().writtenBlocks().size(), 3u);
    EXPECT_EQ(hub.firmwareVersion(), 0x11150906u);
}

TEST_F(UpdateRun, WithoutAHubNothingIsSentAndThePanelStaysUsable) {
    makeWindow();
    w->pnl2->show();
    w->mmoUplog->appendPlainText(QStringLiteral("from before"));
    w->pbProgram->setValue(40);
    const QImage lamp = w->imgIndicator->pixmap().toImage();
    EnabledChangeCounter panelChanges(w->pnlUpdate);

    w->btnUpdate->click();

    EXPECT_EQ(logLines(), QStringList{"Device disconnected."});
    EXPECT_EQ(w->lblMsg->text(), QStringLiteral("Device disconnected..."));
    EXPECT_EQ(w->pbProgram->value(), 0);
    EXPECT_EQ(panelChanges.count, 0);
    EXPECT_EQ(w->imgIndicator->pixmap().toImage(), lamp);
    EXPECT_TRUE(errors.messages.isEmpty());
}

TEST_F(UpdateRun, BrokenImageIsRefusedBeforeAnyFrame) {
    VirtualHub& hub = addHub();
    hub.plug();
    makeWindow(QStringLiteral("brokenbin"));
    ASSERT_TRUE(waitForHub());
    ASSERT_FALSE(w->firmwareImage().isUsable());
    EnabledChangeCounter panelChanges(w->pnlUpdate);
    const std::uint64_t before = hub.model().framesReceived();
    watch(hub);

    w->btnUpdate->click();

    const QStringList log = logLines();
    ASSERT_EQ(log.size(), 3) << "what happened, where the hub was left, what to do";
    EXPECT_TRUE(log[0].contains(QStringLiteral("line 2"))) << log[0].toStdString();
    EXPECT_TRUE(frames.empty());
    EXPECT_EQ(hub.model().framesReceived(), before);
    EXPECT_EQ(panelChanges.count, 0);
    EXPECT_TRUE(w->btnUpdate->isEnabled());
    EXPECT_EQ(hub.mode(), HubMode::Application);
}

TEST_F(UpdateRun, SilentHubIsNotSentToItsBootloader) {
    VirtualHub& hub = addHub();
    hubsim::HubFaults faults;
    faults.silent = true;
    hub.setFaults(faults);
    hub.plug();
    makeWindow();
    w->timing.replyTimeoutMs = 20;
    ASSERT_TRUE(waitForHub());
    w->pnl2->show();
    watch(hub);

    QuestionAnswerer no(QMessageBox::No);
    w->btnUpdate->click();

    ASSERT_EQ(no.asked.size(), 1);
    EXPECT_TRUE(no.defaultWasNo);
    const QStringList log = logLines();
    ASSERT_EQ(log.size(), 3);
    EXPECT_TRUE(log[0].startsWith(QStringLiteral("The hub's mode could not be read")))
        << log[0].toStdString();
    EXPECT_EQ(w->lblMsg->text(), log[0]);
    EXPECT_EQ(w->pbProgram->value(), 0);
    EXPECT_TRUE(framesOf(CmdStartLedAdjust).empty()); // mode unknown: no levels read
    EXPECT_TRUE(framesOf(CmdEnterBootloader).empty());
    EXPECT_FALSE(w->calibrationHeld());
    expectIdleAgain();
}

TEST_F(UpdateRun, AnUnreadableCalibrationIsGivenUpOnlyWhenTheUserSaysSo) {
    VirtualHub& hub = hubWithCalibration(QStringLiteral("smallbin"));
    watch(hub, [&hub](const SentFrame& f) {
        if (f.command == CmdStartLedAdjust)
            hub.model().setResultOnFrame(hub.model().framesReceived() + 1, 0x05);
    });
    {
        QuestionAnswerer no(QMessageBox::No);
        w->btnUpdate->click();
        ASSERT_EQ(no.asked.size(), 1);
        EXPECT_TRUE(no.asked[0].contains(QStringLiteral("LED calibration could not be read")));
        EXPECT_TRUE(no.defaultWasNo);
    }
    EXPECT_EQ(framesOf(CmdStartLedAdjust).size(), 2u); // read once more before giving up
    EXPECT_TRUE(framesOf(CmdEnterBootloader).empty());
    EXPECT_EQ(hub.mode(), HubMode::Application);
    expectIdleAgain();

    QuestionAnswerer yes(QMessageBox::Yes);
    w->btnUpdate->click();
    EXPECT_EQ(yes.asked.size(), 1);
    EXPECT_EQ(logLines().last(), QStringLiteral("Update completed."));
    EXPECT_EQ(hub.firmwareVersion(), 0x11150906u);
    EXPECT_FALSE(w->session().calibrationCarried());
    EXPECT_FALSE(w->session().discardCalibration()); // the next update asks again
    expectIdleAgain();
}

TEST_F(UpdateRun, HubThatNeverReachesTheBootloaderKeepsItsLevelsUnwritten) {
    VirtualHub& hub = hubWithCalibration();
    hub.setRestartDelays(60'000, 40); // gone for longer than the wait
    w->timing.modeWaitMs = 300;
    watch(hub);

    w->btnUpdate->click();

    EXPECT_EQ(logLines(),
              (QStringList{"Enter bootloader mode...", "Enter bootloader error.",
                           "Nothing was written; it may wait in its bootloader, or have been unplugged.",
                           "Unplug it, plug it in again and run the update again."}));
    EXPECT_EQ(w->lblMsg->text(), QStringLiteral("Enter bootloader error."));
    EXPECT_EQ(w->trkLed1->value(), 10); // the levels read stay on the bars
    EXPECT_EQ(w->trkLed8->value(), 80);
    EXPECT_FALSE(anyAfter(frames, firstIndexOf(frames, CmdEnterBootloader), CmdSetLedLevel));
    EXPECT_TRUE(framesOf(CmdBlockData).empty());
    EXPECT_EQ(w->currentHub(), nullptr);
    EXPECT_TRUE(lampIs(1));
    EXPECT_EQ(w->pbProgram->value(), 0);
    expectIdleAgain();
}

TEST_F(UpdateRun, RefusedLineEndsInTimeoutAndASecondRunFromTheBootloaderCompletes) {
    VirtualHub& hub = hubWithCalibration();
    int blockWrites = 0;
    watch(hub, [&](const SentFrame& f) {
        if (f.command == CmdBlockWrite && ++blockWrites == 3)
            hub.model().setResultOnFrame(hub.model().framesReceived() + 1, 1);
    });

    w->btnUpdate->click();

    EXPECT_EQ(logLines(), (QStringList{"Enter bootloader mode...", "Programming...", "Timeout.",
                                       "The hub waits in its bootloader with 2 of 626 lines written, its "
                                       "firmware incomplete.",
                                       "Run the update again."}));
    EXPECT_EQ(w->lblMsg->text(), QStringLiteral("Programming...")); // the status keeps it
    EXPECT_NE(w->currentHub(), nullptr);
    EXPECT_TRUE(lampIs(0)) << "the lamp shows the link, which still stands";
    EXPECT_EQ(w->pbProgram->value(), 2);
    EXPECT_EQ(w->pbMsg->value(), 2);
    EXPECT_TRUE(framesOf(CmdReboot).empty());
    EXPECT_EQ(framesOf(CmdBlockWrite).size(), 3u);
    EXPECT_EQ(hub.mode(), HubMode::Bootloader);
    expectIdleAgain();

    frames.clear();
    w->btnUpdate->click();

    EXPECT_EQ(logLines(), retryLog);
    EXPECT_TRUE(framesOf(CmdStartLedAdjust).empty());
    // The levels the first run read, not the new firmware's factory levels.
    EXPECT_EQ(framesOf(CmdSetLedLevel).size(), 8u);
    EXPECT_EQ(hub.model().savedLedLevels(), customLevels);
    EXPECT_FALSE(w->session().writeBackOwed());
    EXPECT_EQ(hub.firmwareVersion(), 0x11150906u);
    expectBlocksEqual(hub.model().writtenBlocks(), expectedBlocks(QStringLiteral(":/APP/APPBIN")));
    EXPECT_TRUE(lampIs(0));
    expectIdleAgain();
}

TEST_F(UpdateRun, UnplugWhileLinesAreSentEndsInTimeout) {
    VirtualHub& hub = hubWithCalibration();
    int blockData = 0;
    watch(hub, [&](const SentFrame& f) {
        if (f.command == CmdBlockData && ++blockData == 10) {
            hubsim::HubFaults faults = hub.faults();
            faults.unplugAfterFrame = hub.model().framesReceived() + 1;
            hub.model().setFaults(faults);
        }
    });

    w->btnUpdate->click();

    EXPECT_EQ(logLines(), (QStringList{"Enter bootloader mode...", "Programming...", "Timeout.",
                                       "Its firmware is incomplete (9 of 626 lines written); plugged in "
                                       "again, it starts in its bootloader.",
                                       "Plug it in again and run the update again."}));
    EXPECT_EQ(w->currentHub(), nullptr);
    EXPECT_TRUE(lampIs(1));
    EXPECT_EQ(w->pbProgram->value(), 9);
    EXPECT_TRUE(framesOf(CmdReboot).empty());
    expectIdleAgain();
}

TEST_F(UpdateRun, TimersRunWhileLinesAreSent) {
    // The replies are taken on the read thread, but the window's events still
    // run between the lines: a timer set to unplug the hub fires in time.
    VirtualHub& hub = hubWithCalibration();
    int blockData = 0;
    int seenAt = -1;
    watch(hub, [&](const SentFrame& f) { blockData += f.command == CmdBlockData ? 1 : 0; });
    QTimer tick;
    tick.setInterval(2);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (blockData >= 20 && seenAt < 0)
            seenAt = blockData;
    });
    tick.start();
    w->btnUpdate->click();
    EXPECT_GE(seenAt, 20);
    EXPECT_LT(seenAt, 100); // of 625 lines
}

TEST_F(UpdateRun, QuittingTheApplicationLetsTheRunningUpdateFinish) {
    // The last window closing asks the application to quit while the update
    // still waits for the hub; the update must go on to the end, not break off
    // with the hub half-programmed in its bootloader.
    VirtualHub& hub = hubWithCalibration();
    watch(hub, [](const SentFrame& f) {
        if (f.command == CmdEnterBootloader)
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    });
    QTimer::singleShot(0, w.get(), [this] { w->btnUpdate->click(); });

    QCoreApplication::exec(); // returns once the click handler has returned

    EXPECT_EQ(logLines(), successLog);
    expectBlocksEqual(hub.model().writtenBlocks(), expectedBlocks(QStringLiteral(":/APP/APPBIN")));
    EXPECT_EQ(hub.firmwareVersion(), 0x11150906u);
    // Broken off after the restart, the new firmware would keep its factory levels.
    EXPECT_EQ(hub.mode(), HubMode::Application);
    EXPECT_EQ(hub.model().savedLedLevels(), customLevels);
    expectIdleAgain();
}

TEST_F(UpdateRun, HubNeverBackAfterRebootEndsInUpdateFail) {
    VirtualHub& hub = hubWithCalibration(QStringLiteral("smallbin"));
    hubsim::HubFaults faults;
    faults.neverReturnAfterReboot = true;
    hub.setFaults(faults);
    watch(hub);

    w->btnUpdate->click();

    EXPECT_EQ(logLines(), (QStringList{"Enter bootloader mode...", "Programming...", "Reboot...",
                                       "Update fail.", "Every line was written; its state is unknown.",
                                       "Unplug it, plug it in again and check it."}));
    EXPECT_EQ(w->lblMsg->text(), QStringLiteral("Update fail."));
    EXPECT_EQ(w->pbProgram->value(), 0) << "a full bar would say it went well";
    EXPECT_EQ(w->pbMsg->value(), 0);
    EXPECT_TRUE(w->calibrationHeld());
    EXPECT_TRUE(lampIs(1));
    expectIdleAgain();

    // Plugged in again by hand it runs the new firmware at its factory
    // levels: the next run gives back the levels the failed one read.
    hub.setFaults({});
    hub.plug();
    ASSERT_TRUE(waitForHub());
    ASSERT_EQ(hub.model().ledLevels(), hubsim::factoryLedLevels());
    w->btnUpdate->click();

    EXPECT_EQ(logLines(), retryLog);
    EXPECT_EQ(hub.model().savedLedLevels(), customLevels);
    expectIdleAgain();
}

TEST_F(UpdateRun, HubBackInItsBootloaderEndsInUpdateFailThenASecondRunCompletes) {
    VirtualHub& hub = hubWithCalibration(QStringLiteral("smallbin"));
    hubsim::HubFaults faults;
    faults.stayInBootloaderAfterReboot = true;
    hub.setFaults(faults);
    watch(hub);
    QElapsedTimer clock;
    clock.start();

    w->btnUpdate->click();

    EXPECT_GE(clock.elapsed(), w->timing.modeWaitMs); // it waited the whole limit
    EXPECT_EQ(logLines(),
              (QStringList{"Enter bootloader mode...", "Programming...", "Reboot...", "Update fail.",
                           "Every line was written, but the hub waits in its bootloader.",
                           "Run the update again; if it stays in its bootloader, the image may not suit "
                           "this hub."}));
    EXPECT_EQ(hub.mode(), HubMode::Bootloader);
    EXPECT_FALSE(anyAfter(frames, firstIndexOf(frames, CmdReboot), CmdSetLedLevel));
    EXPECT_TRUE(lampIs(0));
    expectIdleAgain();

    hub.setFaults({});
    frames.clear();
    w->btnUpdate->click();

    EXPECT_EQ(logLines(), retryLog);
    EXPECT_TRUE(framesOf(CmdStartLedAdjust).empty());
    EXPECT_EQ(hub.model().ledLevels(), customLevels);
    EXPECT_EQ(hub.mode(), HubMode::Application);
    EXPECT_EQ(hub.firmwareVersion(), 0x11150906u);
    expectIdleAgain();
}

TEST_F(UpdateRun, ModeQueryAndModeWait) {
    VirtualHub& hub = addHub();
    hub.plug();
    makeWindow();
    ASSERT_TRUE(waitForHub());

    EXPECT_EQ(w->QueryHubMode(), 2);
    hub.setMode(HubMode::Bootloader);
    EXPECT_EQ(w->QueryHubMode(), 1);
    hub.model().setResultOnFrame(hub.model().framesReceived() + 1, 0x05);
    EXPECT_EQ(w->QueryHubMode(), 0);
    hubsim::HubFaults silent;
    silent.silent = true;
    hub.setFaults(silent);
    const int answeredLimit = std::exchange(w->timing.replyTimeoutMs, 20);
    EXPECT_EQ(w->QueryHubMode(), 0);
    w->timing.replyTimeoutMs = answeredLimit;
    hub.setFaults({});

    // The first poll comes after one pause, never at once.
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(w->WaitForHubMode(800, 1));
    EXPECT_GE(clock.elapsed(), w->timing.modePollMs);

    // The wrong mode for the whole limit: false, once the limit has passed.
    clock.restart();
    EXPECT_FALSE(w->WaitForHubMode(200, 2));
    EXPECT_GE(clock.elapsed(), 200);
    EXPECT_LT(clock.elapsed(), 2000);
}

TEST_F(UpdateRun, ReenumerationWhileLinesAreSentDoesNotStopTheUpdate) {
    VirtualHub& hub = hubWithCalibration(QStringLiteral("smallbin"));
    int blockData = 0;
    watch(hub, [&](const SentFrame& f) {
        if (f.command == CmdBlockData && ++blockData == 3)
            QTimer::singleShot(0, [&] { bus.reenumerate(hub.deviceId()); });
    });

    w->btnUpdate->click();

    EXPECT_EQ(logLines(), (QStringList{"Enter bootloader mode...", "Programming...", "Reboot...OK.",
                                       "Update completed."}));
}

// Update clicked while Check Version waits on a slow hub: nesting the two
// waits would give the update the version's answer as its mode reply.
TEST_F(UpdateRun, UpdateClickedDuringCheckVersionOnASlowHubWaitsItsTurnAndSaysWhy) {
    VirtualHub& hub = addHub();
    hubsim::HubFaults faults = hub.faults();
    faults.replyDelayMs = 80;
    hub.setFaults(faults);
    hub.plug();
    makeWindow(QStringLiteral("smallbin"));
    ASSERT_TRUE(waitForHub());
    watch(hub);

    bool clickedInsideTheWait = false;
    QTimer::singleShot(20, w.get(), [&] {
        clickedInsideTheWait = w->session().inReplyWait();
        w->btnUpdate->click();
    });
    w->btnConnectClick();
    ASSERT_TRUE(clickedInsideTheWait);
    const QString refused =
        QStringLiteral("Update: not now, another exchange with the hub is still running.");
    EXPECT_TRUE(logLines().contains(refused)) << logLines().join('|').toStdString();
    EXPECT_TRUE(framesOf(CmdGetMode).empty());
    EXPECT_TRUE(framesOf(CmdEnterBootloader).empty());
    EXPECT_EQ(w->lblDeviceVersion->text(), QStringLiteral("Version: 1.1.15.0905"));
    EXPECT_EQ(w->lblUpdateAvail->text(), QStringLiteral("Update available."));

    // Its turn come, the same click updates the hub.
    faults.replyDelayMs = 0;
    hub.setFaults(faults);
    w->btnUpdate->click();
    EXPECT_EQ(logLines().last(), QStringLiteral("Update completed."));
    EXPECT_EQ(hub.firmwareVersion(), 0x11150906u);
}

TEST_F(UpdateRun, AfterTheUpdateTheVersionGroupShowsWhatTheHubToldThen) {
    VirtualHub& hub = hubWithCalibration();
    hub.setFirmwareVersion(0x11150905);
    w->btnConnect->click();
    ASSERT_EQ(w->lblUpdateAvail->text(), QStringLiteral("Update available."));

    w->btnUpdate->click();

    ASSERT_EQ(logLines(), successLog);
    EXPECT_EQ(w->lblDeviceVersion->text(), QStringLiteral("Version: 1.1.15.0906"));
    EXPECT_EQ(w->lblUpdateAvail->text(), QStringLiteral("No update available."));
    EXPECT_TRUE(w->lblThisVersion->isHidden());
}

TEST_F(UpdateRun, AHubBackWithTheWrongVersionIsShownAsItIsAndItsLinkStaysGreen) {
    VirtualHub& hub = hubWithCalibration();
    hub.model().setImageVersion(0x11150905); // flashes into a version the image does not carry

    w->btnUpdate->click();

    const QStringList log = logLines();
    ASSERT_EQ(log.size(), 6) << log.join('\n').toStdString();
    EXPECT_TRUE(log[3].startsWith(QStringLiteral("Update failed: the hub runs firmware 1.1.15.0905")));
    EXPECT_EQ(log[4], QStringLiteral("It runs its application, but not the image's firmware."));
    EXPECT_EQ(w->lblDeviceVersion->text(), QStringLiteral("Version: 1.1.15.0905"));
    EXPECT_EQ(w->lblUpdateAvail->text(), QStringLiteral("Update available."));
    EXPECT_NE(w->currentHub(), nullptr);
    EXPECT_TRUE(lampIs(0));
    EXPECT_EQ(w->pbProgram->value(), 0);
    expectIdleAgain();
}

TEST_F(UpdateRun, ClosingTheWindowDuringAnUpdateWaitsForItsEnd) {
    VirtualHub& hub = hubWithCalibration(QStringLiteral("smallbin"));
    w->show();
    bool shownAtReboot = false;
    watch(hub, [&](const SentFrame& f) {
        if (f.command == CmdEnterBootloader)
            QTimer::singleShot(0, w.get(), [this] { w->close(); });
        if (f.command == CmdReboot)
            shownAtReboot = w->isVisible();
    });

    w->btnUpdate->click();

    EXPECT_TRUE(shownAtReboot);
    EXPECT_TRUE(w->mmoUplog->toPlainText().contains(QStringLiteral("closes once it has ended")));
    EXPECT_EQ(framesOf(CmdReboot).size(), 1u);
    EXPECT_TRUE(testsupport::waitUntil([this] { return !w->isVisible(); }));
}
