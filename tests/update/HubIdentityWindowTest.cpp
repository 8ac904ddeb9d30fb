// The window tells hubs apart by their identity: kept LED levels go only to
// the hub they came from, an update follows its own hub, and a hub that
// another program is updating is left alone.

#include "HubUpdateLock.h"
#include "LedCalibrationStore.h"
#include "TestSupport.h"
#include "UpdateHistory.h"
#include "UpdateTestSupport.h"

#include <QFrame>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

using namespace updatetest;
using hubsim::HubMode;

namespace {

const std::array<std::uint8_t, 8> levelsA{11, 22, 33, 44, 55, 66, 77, 88};
const std::array<std::uint8_t, 8> levelsB{91, 92, 93, 94, 95, 96, 97, 98};

} // namespace

class WindowIdentity : public UpdateFixture {
protected:
    VirtualHub& hubWith(const QString& serial, const std::array<std::uint8_t, 8>& levels) {
        VirtualHub& hub = addHub();
        hub.setSerial(serial);
        hub.model().setLedLevels(levels);
        return hub;
    }
    bool currentIs(const QString& key) {
        return testsupport::waitUntil(
            [&] { return w->currentHub() && HubIdentity::of(w->currentHub()).key() == key; });
    }
    std::size_t framesTo(VirtualHub& hub) {
        return hub.trace().reports(hubsim::TraceEntry::Direction::ToHub).size();
    }
    LedCalibrationStore store;
};

TEST_F(WindowIdentity, AFailedHubsLevelsStayItsOwnWhileAnotherHubIsUpdated) {
    VirtualHub& a = hubWith(QStringLiteral("QA-1"), levelsA);
    VirtualHub& b = hubWith(QStringLiteral("QB-2"), levelsB);
    a.plug();
    makeWindow(QStringLiteral("smallbin"));
    ASSERT_TRUE(currentIs(QStringLiteral("serial:QA-1")));

    // A takes its first line, then refuses the second: left in its bootloader.
    int blockWrites = 0;
    watch(a, [&](const SentFrame& f) {
        if (f.command == CmdBlockWrite && ++blockWrites == 1)
            a.model().setResultOnFrame(a.model().framesReceived() + 1, 1);
    });
    w->btnUpdate->click();
    ASSERT_TRUE(logLines().contains(QStringLiteral("Timeout.")));
    EXPECT_EQ(store.load(QStringLiteral("serial:QA-1")), std::optional(levelsA));

    // B in A's place: it gets its own levels back, A's stay kept for A.
    a.unplug();
    b.plug();
    ASSERT_TRUE(currentIs(QStringLiteral("serial:QB-2")));
    w->btnUpdate->click();
    EXPECT_EQ(logLines().last(), QStringLiteral("Update completed."));
    EXPECT_FALSE(
        logLines().contains(QStringLiteral("Restoring the LED levels kept from an earlier attempt.")));
    EXPECT_EQ(b.model().savedLedLevels(), levelsB);
    EXPECT_EQ(store.load(QStringLiteral("serial:QA-1")), std::optional(levelsA));
    EXPECT_FALSE(store.load(QStringLiteral("serial:QB-2")));

    // A again, still in its bootloader: its own levels go back.
    b.unplug();
    a.plug();
    ASSERT_TRUE(currentIs(QStringLiteral("serial:QA-1")));
    w->btnUpdate->click();
    EXPECT_TRUE(
        logLines().contains(QStringLiteral("Restoring the LED levels kept from an earlier attempt.")));
    EXPECT_EQ(logLines().last(), QStringLiteral("Update completed."));
    EXPECT_EQ(a.model().savedLedLevels(), levelsA);
    EXPECT_FALSE(store.load(QStringLiteral("serial:QA-1")));

    // The history says which hub kept which calibration.
    const QList<UpdateRecord> history = UpdateHistory(store.filePath()).read();
    ASSERT_EQ(history.size(), 3);
    EXPECT_EQ(history[0].hub, QStringLiteral("serial:QA-1"));
    EXPECT_EQ(history[0].result, QStringLiteral("refused"));
    EXPECT_EQ(history[0].failure.line, 2);
    EXPECT_EQ(history[0].modeBefore, QStringLiteral("application"));
    EXPECT_EQ(history[0].levelsRead, std::optional(levelsA));
    EXPECT_FALSE(history[0].levelsWritten);
    EXPECT_EQ(history[0].calibration, QStringLiteral("kept"));
    EXPECT_EQ(history[0].image, QStringLiteral("built-in"));
    EXPECT_EQ(history[0].imageDigest, w->firmwareImage().digest());
    EXPECT_EQ(history[1].hub, QStringLiteral("serial:QB-2"));
    EXPECT_EQ(history[1].levelsWritten, std::optional(levelsB));
    EXPECT_EQ(history[1].calibration, QStringLiteral("carried"));
    EXPECT_EQ(history[2].hub, QStringLiteral("serial:QA-1"));
    EXPECT_EQ(history[2].result, QStringLiteral("completed"));
    // Found in its bootloader: no version to tell, the kept levels carried.
    EXPECT_EQ(history[2].modeBefore, QStringLiteral("bootloader"));
    EXPECT_FALSE(history[2].versionBefore);
    EXPECT_EQ(history[2].levelsWritten, std::optional(levelsA));
    EXPECT_EQ(history[2].calibration, QStringLiteral("carried"));
}

TEST_F(WindowIdentity, AHubPluggedInDuringAnUpdateGetsNeitherLevelsNorResult) {
    VirtualHub& a = hubWith(QStringLiteral("QA-1"), levelsA);
    VirtualHub& b = hubWith(QStringLiteral("QB-2"), levelsB);
    a.plug();
    makeWindow(QStringLiteral("smallbin"));
    ASSERT_TRUE(currentIs(QStringLiteral("serial:QA-1")));
    // B arrives while A restarts into its bootloader: A comes back behind it.
    watch(a, [&](const SentFrame& f) {
        if (f.command == CmdEnterBootloader)
            b.plug();
    });

    w->btnUpdate->click();

    EXPECT_EQ(logLines().last(), QStringLiteral("Update completed."));
    EXPECT_EQ(framesTo(b), 0u);
    EXPECT_TRUE(a.model().isWriteComplete());
    EXPECT_EQ(a.model().savedLedLevels(), levelsA);
    EXPECT_EQ(b.model().ledLevels(), levelsB);
    EXPECT_EQ(b.firmwareVersion(), hubsim::DefaultFirmwareVersion);
    EXPECT_EQ(b.mode(), HubMode::Application);
    EXPECT_EQ(HubIdentity::of(w->currentHub()).key(), QStringLiteral("serial:QA-1"));
    // Once the update is over the window takes the first hub again.
    ASSERT_TRUE(w->RefreshHubs());
    EXPECT_FALSE(w->roster().isFollowing());
}

TEST_F(WindowIdentity, AHubThatAnotherProgramIsUpdatingIsLeftAlone) {
    VirtualHub& hub = hubWith(QStringLiteral("QA-1"), levelsA);
    hub.plug();
    makeWindow(QStringLiteral("smallbin"));
    ASSERT_TRUE(currentIs(QStringLiteral("serial:QA-1")));
    w->pnl2->show();
    HubUpdateLock other(HubUpdateLock::folderFor(store.filePath()),
                        HubIdentity::serial(QStringLiteral("QA-1")));
    ASSERT_TRUE(other.tryLock());
    watch(hub);

    w->btnUpdate->click();

    ASSERT_EQ(logLines().size(), 3);
    EXPECT_TRUE(logLines().first().startsWith(QStringLiteral("Another program is updating hub serial:QA-1")))
        << logLines().first().toStdString();
    EXPECT_EQ(w->lblMsg->text(), logLines().first());
    EXPECT_TRUE(frames.empty());
    EXPECT_TRUE(w->pnlUpdate->isEnabled());

    // Free again: the window updates it, and holds the lock while it does.
    other.unlock();
    bool lockedMeanwhile = false;
    watch(hub, [&](const SentFrame& f) {
        if (f.command == CmdBlockData && !lockedMeanwhile) {
            HubUpdateLock probe(HubUpdateLock::folderFor(store.filePath()),
                                HubIdentity::serial(QStringLiteral("QA-1")));
            lockedMeanwhile = !probe.tryLock();
        }
    });
    w->btnUpdate->click();
    EXPECT_EQ(logLines().last(), QStringLiteral("Update completed."));
    EXPECT_TRUE(lockedMeanwhile);
    EXPECT_TRUE(other.tryLock()); // given back at the end
}
