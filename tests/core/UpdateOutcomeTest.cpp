#include "UpdateOutcome.h"
#include "AppVersion.h"
#include "HubProtocol.h"
#include "UpdatePlan.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {

using K = UpdateFailure::Kind;
using S = UpdateFailure::Step;
using Action = UpdatePlan::Action;

UpdateFailure failure(K kind, S step = S::Asking, std::uint8_t command = 0, int result = -1, int line = 0,
                      int lineCount = 0) {
    UpdateFailure f;
    f.kind = kind;
    f.step = step;
    f.command = command;
    f.result = result;
    f.line = line;
    f.lineCount = lineCount;
    return f;
}

std::string show(const UpdateOutcome& o) {
    return (o.kind + QStringLiteral(" | ") + o.text + QStringLiteral(" | ") + o.whereLeft +
            QStringLiteral(" | ") + o.nextStep)
        .toStdString();
}

} // namespace

// Every kind of failure says what happened, where the hub was left and what
// to do, under its stable name; none of them is worded as another.
TEST(UpdateOutcome, EveryKindIsToldWholeAndAsItself) {
    const std::vector<std::pair<UpdateFailure, const char*>> cases{
        {failure(K::ImageRefused, S::Preparing), "image is refused"},
        {failure(K::NoHub, S::Preparing), "unplugged before the update began"},
        {failure(K::HubBusy, S::Preparing), "Another program"},
        {failure(K::LockFailed, S::Preparing), "lock could not be made"},
        {failure(K::NoAnswer, S::Programming, CmdBlockData, -1, 4, 18), "did not answer the block data"},
        {failure(K::Refused, S::Programming, CmdBlockWrite, 1, 4, 18), "refused the block write"},
        {failure(K::Disputed, S::Programming, CmdBlockData, -1, 4, 18), "twice, each time differently"},
        {failure(K::Unplugged, S::Programming, CmdBlockData, -1, 4, 18), "unplugged at line 4 of 18"},
        {failure(K::NoReturn, S::Restarting, CmdReboot), "did not come back"},
        {failure(K::CameBackInBootloader, S::Restarting, CmdReboot), "came back in its bootloader"},
        {failure(K::WrongVersion, S::Restarting, CmdGetVersion), "did not tell its firmware version"},
        {failure(K::LevelsNotRestored, S::RestoringLevels, CmdSetLedLevel), "could not be written back"},
        {failure(K::CalibrationUnreadable, S::Preparing, CmdStartLedAdjust, 2), "refused the LED level read"},
        {failure(K::EntryNotReached, S::EnteringBootloader, CmdEnterBootloader), "did not reach the hub"},
        {failure(K::NotDowngraded), "newer than the image's"},
        {failure(K::NoAccess), "may not open the hub"},
        {failure(K::Stopped, S::Programming, 0, -1, 5, 18), "Stopped with 4 of 18 lines written"},
    };
    QStringList texts;
    for (const auto& [f, words] : cases) {
        const UpdateOutcome o = describeFailure(f, SeenMode::Application);
        SCOPED_TRACE(show(o));
        EXPECT_EQ(o.kind, failureKindName(f.kind));
        EXPECT_TRUE(o.text.contains(QLatin1String(words)));
        EXPECT_FALSE(o.whereLeft.isEmpty());
        EXPECT_FALSE(o.nextStep.isEmpty());
        // Only a silence is called one.
        EXPECT_EQ(o.text.contains(QLatin1String("did not answer")), f.kind == K::NoAnswer);
        EXPECT_FALSE(o.text.contains(QLatin1String("Timeout")));
        texts << o.text;
    }
    texts.removeDuplicates();
    EXPECT_EQ(texts.size(), qsizetype(cases.size()));
    EXPECT_TRUE(describeFailure(UpdateFailure{}).kind.isEmpty());
}

// Where a failure leaves the hub follows from how far the update got.
TEST(UpdateOutcome, TheModeLeftFollowsTheStepReached) {
    EXPECT_EQ(describeFailure(failure(K::Refused, S::Programming, CmdBlockData, 1, 3, 9)).modeLeft,
              SeenMode::Bootloader);
    EXPECT_EQ(describeFailure(failure(K::NoAnswer, S::Programming, CmdBlockData, -1, 3, 9)).modeLeft,
              SeenMode::NotAnswering);
    EXPECT_EQ(describeFailure(failure(K::Unplugged, S::Programming, CmdBlockData, -1, 3, 9)).modeLeft,
              SeenMode::Unknown);
    EXPECT_EQ(describeFailure(failure(K::WrongVersion, S::Restarting)).modeLeft, SeenMode::Application);
    // Nothing sent: the hub is where it was found.
    EXPECT_EQ(describeFailure(failure(K::HubBusy, S::Preparing), SeenMode::Bootloader).modeLeft,
              SeenMode::Bootloader);
    const UpdateOutcome written = describeFailure(failure(K::Refused, S::Programming, CmdBlockData, 1, 3, 9));
    EXPECT_TRUE(written.whereLeft.contains(QLatin1String("2 of 9 lines written"))) << show(written);
}

// A refused look at a hub is a refusal, not a silence.
TEST(UpdateOutcome, ARefusedQuestionIsNotASilence) {
    const UpdateOutcome o = describeFailure(failure(K::Refused, S::Asking, CmdGetMode, 0x02));
    EXPECT_EQ(o.text, QStringLiteral("The hub refused its mode query (0x04) (result 0x02)."));
    EXPECT_FALSE(o.whereLeft.contains(QLatin1String("bootloader"))) << show(o);
}

// A stop names what asked for it, and says how far the update had come.
TEST(UpdateOutcome, AStopNamesItsSignalAndHowFarItGot) {
    UpdateFailure f = failure(K::Stopped, S::Programming, 0, -1, 1, 18);
    f.stoppedBy = QStringLiteral("SIGTERM");
    const UpdateOutcome first = describeFailure(f);
    EXPECT_EQ(first.text, QStringLiteral("Stopped by SIGTERM with 0 of 18 lines written."));
    // Programming had begun: it was not stopped before it.
    EXPECT_FALSE(first.text.contains(QLatin1String("before programming")));
    EXPECT_EQ(first.modeLeft, SeenMode::Bootloader);

    f.step = S::Asking;
    f.stoppedBy = QStringLiteral("SIGHUP");
    EXPECT_EQ(describeFailure(f).text, QStringLiteral("Stopped by SIGHUP before the update began."));
    f.step = S::Restarting;
    EXPECT_TRUE(describeFailure(f).whereLeft.contains(QLatin1String("Every line was written")));
    f.stoppedBy.clear();
    f.step = S::EnteringBootloader;
    EXPECT_EQ(describeFailure(f).text, QStringLiteral("Stopped before programming."));
}

TEST(UpdateOutcome, OnlyASilentLineIsLoggedAsATimeout) {
    EXPECT_EQ(exchangeFailedWord(K::NoAnswer), QStringLiteral("Timeout."));
    for (const K kind : {K::Refused, K::Disputed, K::Unplugged, K::ImageRefused})
        EXPECT_NE(exchangeFailedWord(kind), QStringLiteral("Timeout."))
            << failureKindName(kind).toStdString();
}

TEST(UpdateOutcome, CheckVerdictsByModeAndVersion) {
    constexpr std::uint32_t image = 0x11150906;
    using V = CheckVerdict::Kind;
    EXPECT_EQ(checkVerdict(SeenMode::Application, image, image).kind, V::UpToDate);
    EXPECT_EQ(checkVerdict(SeenMode::Application, image, image).text, QStringLiteral("up to date"));
    const CheckVerdict older = checkVerdict(SeenMode::Application, image - 1, image);
    EXPECT_EQ(older.text, QStringLiteral("update available (1.1.15.0906)"));
    EXPECT_TRUE(older.needsUpdate());
    EXPECT_EQ(checkVerdict(SeenMode::Application, image + 1, image).kind, V::NewerThanImage);
    EXPECT_FALSE(checkVerdict(SeenMode::Application, image + 1, image).needsUpdate());
    // The bootloader tells no version: it needs the update whatever it was.
    const CheckVerdict boot = checkVerdict(SeenMode::Bootloader, std::nullopt, image);
    EXPECT_EQ(boot.text, QStringLiteral("in its bootloader: needs the update"));
    EXPECT_TRUE(boot.needsUpdate());
    for (const SeenMode mode : {SeenMode::Application, SeenMode::NotAnswering, SeenMode::Unknown}) {
        const CheckVerdict unchecked = checkVerdict(mode, std::nullopt, image);
        EXPECT_EQ(unchecked.kind, V::NotChecked);
        EXPECT_EQ(unchecked.text, QStringLiteral("could not be checked"));
    }
}

TEST(UpdateOutcome, ModeNamesGoBothWays) {
    for (const SeenMode mode :
         {SeenMode::Application, SeenMode::Bootloader, SeenMode::NotAnswering, SeenMode::Unknown})
        EXPECT_EQ(seenModeNamed(seenModeName(mode)), mode);
    EXPECT_EQ(seenModeNamed(QStringLiteral("Application")), SeenMode::Unknown);
    EXPECT_EQ(seenMode(hubreply::Mode::None), SeenMode::NotAnswering);
}

// What the update does with a hub, by what it runs and what was asked.
TEST(UpdatePlan, DecidesByVersionForceAndKeptLevels) {
    constexpr std::uint32_t image = 0x11150906;
    struct Case {
        UpdatePlan::Facts facts;
        Action action;
        bool levelsGoBack;
        bool forced;
    };
    const std::vector<Case> cases{
        {{SeenMode::Bootloader, std::nullopt, image}, Action::Update, false, false},
        {{SeenMode::Application, image - 1, image}, Action::Update, false, false},
        {{SeenMode::Application, image, image}, Action::SkipUpToDate, false, false},
        {{SeenMode::Application, image, image, true}, Action::Update, false, true},
        {{SeenMode::Application, image, image, false, true}, Action::Update, true, false},
        {{SeenMode::Application, image + 1, image}, Action::RefuseDowngrade, false, false},
        // Kept levels are no reason to downgrade a hub.
        {{SeenMode::Application, image + 1, image, false, true}, Action::RefuseDowngrade, false, false},
        {{SeenMode::Application, image + 1, image, true}, Action::Update, false, true},
        // Whatever did not tell its version is updated, and the update asks again.
        {{SeenMode::NotAnswering, std::nullopt, image}, Action::Update, false, false},
        {{SeenMode::Application, std::nullopt, image}, Action::Update, false, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const UpdatePlan plan = UpdatePlan::decide(cases[i].facts);
        EXPECT_EQ(plan.action, cases[i].action);
        EXPECT_EQ(plan.levelsGoBack, cases[i].levelsGoBack);
        EXPECT_EQ(plan.forced, cases[i].forced);
        EXPECT_EQ(plan.refusal().failed(), cases[i].action == Action::RefuseDowngrade);
    }
    const UpdatePlan refused = UpdatePlan::decide({SeenMode::Application, image + 1, image});
    EXPECT_EQ(describeFailure(refused.refusal()).text,
              QStringLiteral("The hub runs firmware 1.1.15.0907, newer than the image's 1.1.15.0906."));
}
