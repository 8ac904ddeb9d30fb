#include "AppVersion.h"
#include "HubTestSupport.h"

#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

using namespace hubtest;

namespace {

struct Outcome {
    quint32 hubVersion;
    const char* deviceText;
    const char* verdict;
    bool newVersionShown;
};

} // namespace

class VersionCheck : public WindowWithHub, public ::testing::WithParamInterface<Outcome> {};

TEST_P(VersionCheck, ShowsTheHubsVersionAndTheVerdict) {
    const Outcome outcome = GetParam();
    hub.setFirmwareVersion(outcome.hubVersion);
    window->pnl2->show();
    window->btnConnect->click();

    EXPECT_EQ(window->lblDeviceVersion->text(), QString::fromLatin1(outcome.deviceText));
    EXPECT_EQ(window->lblUpdateAvail->text(), QString::fromLatin1(outcome.verdict));
    EXPECT_EQ(!window->lblThisVersion->isHidden(), outcome.newVersionShown);
    if (outcome.newVersionShown) {
        EXPECT_EQ(window->lblThisVersion->text(), QStringLiteral("New version: 1.1.15.0906"));
    }
    EXPECT_EQ(window->lblMsg->text(), QStringLiteral("APP Version: ") + versionHexText(outcome.hubVersion));
    EXPECT_TRUE(lampIs(*window, 0));

    // A first query without payload, then the one whose answer counts; a
    // hub that seems up to date is asked its mode, as only that tells a
    // bootloader that still knows the old version.
    const auto frames = framesToHub(hub);
    ASSERT_EQ(frames.size(), outcome.newVersionShown ? 2u : 3u);
    EXPECT_EQ(head(frames[0], 6), (Bytes{0x00, 0x55, 0x05, 0x00, 0x01, 0xA5}));
    EXPECT_EQ(head(frames[1], 7), (Bytes{0x00, 0x55, 0x06, 0x00, 0x01, 0x00, 0xC8}));
    if (!outcome.newVersionShown) {
        EXPECT_EQ(frames[2][4], CmdGetMode);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, VersionCheck,
    ::testing::Values(Outcome{0x11150906, "Version: 1.1.15.0906", "No update available.", false},
                      Outcome{0x11150905, "Version: 1.1.15.0905", "Update available.", true},
                      Outcome{0x12000000, "Version: 1.2.00.0000", "No update available.", false},
                      Outcome{0x0A0B0C0D, "Version: 0.A.0B.0C0D", "Update available.", true}));

class VersionCheckFailure : public WindowWithHub {};

TEST_F(VersionCheckFailure, HubInItsBootloaderNeedsAnUpdateWhateverVersionItTells) {
    hub.setFirmwareVersion(0x11150906);
    hub.setMode(hubsim::HubMode::Bootloader);
    window->btnConnect->click();
    EXPECT_EQ(window->lblUpdateAvail->text(), QStringLiteral("Update available."));
    EXPECT_FALSE(window->lblThisVersion->isHidden());
    EXPECT_EQ(window->mmoUplog->toPlainText(),
              QStringLiteral("The hub is in its bootloader: needs the update."));
}

TEST_F(VersionCheckFailure, SilentHubIsSaidToBeSilent) {
    window->btnConnect->click(); // an earlier check's texts stay on screen
    const QString device = window->lblDeviceVersion->text();
    window->SetIndicator(1);
    window->timing.replyTimeoutMs = 20;
    setFaults([](auto& f) { f.silent = true; });
    hub.trace().clear();

    window->btnConnect->click();
    EXPECT_EQ(framesToHub(hub).size(), 6u);
    EXPECT_EQ(window->lblDeviceVersion->text(), device);
    EXPECT_EQ(window->lblUpdateAvail->text(), QStringLiteral("Update available."));
    EXPECT_TRUE(lampIs(*window, 0));
    const QStringList log = window->mmoUplog->toPlainText().split('\n');
    ASSERT_EQ(log.size(), 2);
    EXPECT_TRUE(log[0].startsWith(QStringLiteral("The hub did not answer its version query")))
        << log[0].toStdString();
    EXPECT_FALSE(log[1].isEmpty()) << "what to do";
}

TEST_F(VersionCheckFailure, NoHubOnlyLogsAndTurnsTheLampRed) {
    ASSERT_TRUE(hub.unplug());
    ASSERT_TRUE(testsupport::waitUntil([this] { return window->currentHub() == nullptr; }));
    const QString device = window->lblDeviceVersion->text();
    window->btnConnect->click();
    EXPECT_EQ(window->mmoUplog->toPlainText(), QStringLiteral("Device disconnected."));
    EXPECT_EQ(window->lblDeviceVersion->text(), device);
    EXPECT_TRUE(window->lblUpdateAvail->text().isEmpty());
    EXPECT_TRUE(lampIs(*window, 1));
}

// The hub leaves while the check waits for its answers.
TEST_F(VersionCheckFailure, HubGoneDuringTheCheckLeavesTheLampRed) {
    window->timing.replyTimeoutMs = 40;
    setFaults([](auto& f) { f.silent = true; });
    QTimer::singleShot(200, &hub, [this] { hub.unplug(); }); // after the first query's three attempts
    window->btnConnect->click();
    EXPECT_FALSE(hub.isPlugged());
    EXPECT_EQ(window->currentHub(), nullptr);
    EXPECT_TRUE(lampIs(*window, 1));
}
