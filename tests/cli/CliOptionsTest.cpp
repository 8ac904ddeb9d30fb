#include "CliOptions.h"
#include "HidControllerClass.h"
#include "HubReport.h"
#include "VirtualHidBus.h"
#include "VirtualHub.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace cli;

namespace {

ParseResult parse(const QString& line) {
    return parseArguments(line.split(QLatin1Char(' '), Qt::SkipEmptyParts));
}

} // namespace

TEST(CliOptions, OptionsMayStandBeforeOrAfterTheCommand) {
    for (const QString& line : {QStringLiteral("--virtual 4 update --all --json --image=fw.txt"),
                                QStringLiteral("update --all --json --virtual 4 --image fw.txt"),
                                QStringLiteral("--json --image fw.txt update --virtual=4 --all")}) {
        SCOPED_TRACE(line.toStdString());
        const ParseResult r = parse(line);
        ASSERT_TRUE(r.error.isEmpty()) << r.error.toStdString();
        EXPECT_EQ(r.options.command, Command::Update);
        EXPECT_TRUE(r.options.all);
        EXPECT_TRUE(r.options.json);
        EXPECT_EQ(r.options.virtualHubs, 4);
        EXPECT_EQ(r.options.imageFile, QStringLiteral("fw.txt"));
    }
    const ParseResult help = parse(QStringLiteral("--help"));
    EXPECT_TRUE(help.error.isEmpty());
    EXPECT_TRUE(help.options.help);
    const ParseResult faults =
        parse(QStringLiteral("check --virtual 3 --virtual-fault 2:fail@40 --virtual-fault silent "
                             "--virtual-version 1.1.15.0906"));
    ASSERT_TRUE(faults.error.isEmpty()) << faults.error.toStdString();
    ASSERT_EQ(faults.options.faults.size(), 2u);
    EXPECT_EQ(faults.options.faults[0].hub, 2);
    EXPECT_EQ(faults.options.faults[0].kind, VirtualFault::Kind::Fail);
    EXPECT_EQ(faults.options.faults[0].value, 40);
    EXPECT_EQ(faults.options.faults[1].hub, 0);
    EXPECT_EQ(faults.options.faults[1].kind, VirtualFault::Kind::Silent);
    EXPECT_EQ(faults.options.virtualVersion, 0x11150906u);
}

TEST(CliOptions, BadArgumentsAreRefusedWithTheReason) {
    const struct {
        const char* line;
        const char* says;
    } cases[] = {
        {"", "No command given"},
        {"frobnicate", "Unknown command 'frobnicate'"},
        {"check --bogus", "Unknown option --bogus."},
        {"check update", "Only one command"},
        {"check --virtual", "--virtual needs a number"},
        {"check --virtual 17", "--virtual needs a number of hubs from 1 to 16"},
        {"check --virtual 0", "--virtual needs a number of hubs from 1 to 16"},
        {"check --virtual -1", "--virtual needs a number"},
        {"check --virtual 1 --virtual=2", "--virtual is given twice"},
        {"update --path /dev/a --path /dev/b", "--path is given twice"},
        {"check --image a --image=b", "--image is given twice"},
        {"check --virtual 1 --virtual-version 11150905 --virtual-version 11150906",
         "--virtual-version is given twice"},
        {"check --quiet --verbose", "--quiet and --verbose exclude each other"},
        {"check -q -v", "exclude each other"},
        {"check --no-progress=1", "--no-progress takes no value"},
        {"update --path", "--path needs"},
        {"update --image --all", "--image needs"},
        {"update --all --path /dev/hidraw3", "exclude each other"},
        {"list --image fw.txt", "list does not take --image (it belongs to check and update); list takes"},
        {"check --all", "check does not take --all (it belongs to update, data and levels)"},
        {"check --discard-calibration", "check does not take --discard-calibration (it belongs to update)"},
        // Every command refuses what it does not use, naming it and what it takes.
        {"history --all", "history does not take --all (it belongs to update, data and levels); history "
                          "takes --verbose, --hub, --since, --last and --json."},
        {"history --no-progress", "history does not take --no-progress"},
        {"list --virtual 1 --virtual-scene idle", "list does not take --virtual-scene"},
        {"levels --no-lock", "levels does not take --no-lock"},
        {"updte", "Unknown command 'updte': did you mean update? Use list"},
        {"check --forse", "Unknown option --forse: did you mean --force?"},
        {"check -x", "Unknown option -x."},
        // Short options go together, and are then checked as if given apart.
        {"check -qv", "--quiet and --verbose exclude each other"},
        {"check --json=yes", "--json takes no value"},
        {"check --virtual-fault silent", "need --virtual N"},
        {"check --virtual 1 --virtual-fault 2:silent", "names hub 2, but there are 1"},
        {"check --virtual 1 --virtual-fault melt", "unknown kind 'melt'"},
        {"check --virtual 1 --virtual-fault fail", "needs a positive number"},
        {"check --virtual 1 --virtual-fault silent@3", "takes no '@' value"},
        {"check --virtual 1 --virtual-fault 0:silent", "hub number"},
        {"check --virtual 1 --virtual-version 1.1.15", "--virtual-version needs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const ParseResult r = parse(QString::fromLatin1(c.line));
        EXPECT_TRUE(r.error.contains(QLatin1String(c.says))) << r.error.toStdString();
    }
}

// "--" ends the options, as everywhere; short options may be run together.
TEST(CliOptions, DoubleDashAndJoinedShortOptionsAreTaken) {
    const ParseResult joined = parse(QStringLiteral("-qV"));
    ASSERT_TRUE(joined.error.isEmpty()) << joined.error.toStdString();
    EXPECT_TRUE(joined.options.quiet && joined.options.version);
    const ParseResult dashes = parse(QStringLiteral("--virtual 2 -q -- check"));
    ASSERT_TRUE(dashes.error.isEmpty()) << dashes.error.toStdString();
    EXPECT_EQ(dashes.options.command, Command::Check);
    EXPECT_TRUE(dashes.options.quiet);
    // After "--" a negative level is a level, not an option.
    const ParseResult levels = parse(QStringLiteral("levels set --json -- -5 2=7"));
    ASSERT_TRUE(levels.error.isEmpty()) << levels.error.toStdString();
    EXPECT_EQ(levels.options.levelArguments, (QStringList{QStringLiteral("-5"), QStringLiteral("2=7")}));
    EXPECT_TRUE(
        parse(QStringLiteral("check -- --json")).error.contains(QLatin1String("Unknown command '--json'")));
}

TEST(CliOptions, VersionsAreReadAsShownOrAsDigits) {
    EXPECT_EQ(parseVersion(QStringLiteral("1.1.15.0906")), 0x11150906u);
    EXPECT_EQ(parseVersion(QStringLiteral("11150905")), 0x11150905u);
    EXPECT_FALSE(parseVersion(QStringLiteral("11.1.5.0906")));
    EXPECT_FALSE(parseVersion(QStringLiteral("1115090G")));
    EXPECT_FALSE(parseVersion(QStringLiteral("111509060")));
}

namespace {

HubOutcome hub(HubMode mode, std::optional<std::uint32_t> version, bool available) {
    HubOutcome h;
    h.mode = mode;
    h.version = version;
    h.updateAvailable = available;
    h.chosen = true;
    return h;
}

} // namespace

TEST(CliExitCode, CheckTellsUpToDateUpdateAvailableAndFailure) {
    RunReport r;
    r.command = Command::Check;
    EXPECT_EQ(exitCode(r), ExitFailure); // no hub
    r.hubs = {hub(HubMode::Application, 0x11150906, false)};
    EXPECT_EQ(exitCode(r), ExitOk);
    r.hubs.push_back(hub(HubMode::Application, 0x11150905, true));
    EXPECT_EQ(exitCode(r), ExitUpdateAvailable);
    r.hubs.push_back(hub(HubMode::Bootloader, std::nullopt, true));
    EXPECT_EQ(exitCode(r), ExitUpdateAvailable); // a hub in its bootloader needs the update
    r.hubs.push_back(hub(HubMode::NotAnswering, std::nullopt, false));
    EXPECT_EQ(exitCode(r), ExitFailure);
    r.hubs.back() = hub(HubMode::Application, std::nullopt, false); // version unreadable
    EXPECT_EQ(exitCode(r), ExitFailure);
    r.hubs.back() = hub(HubMode::Unknown, std::nullopt, false);
    r.hubs.back().access = false;
    EXPECT_EQ(exitCode(r), ExitFailure);
}

TEST(CliExitCode, UpdateSucceedsOnlyWhenEveryChosenHubCompleted) {
    RunReport r;
    r.command = Command::Update;
    HubOutcome done = hub(HubMode::Application, 0x11150905, true);
    done.completed = true;
    HubOutcome other = hub(HubMode::Application, 0x11150905, true);
    other.chosen = false;
    r.hubs = {done, other};
    EXPECT_EQ(exitCode(r), ExitOk); // a hub not chosen does not count
    r.interrupted = true;
    EXPECT_EQ(exitCode(r), ExitFailure);
    r.interrupted = false;
    r.hubs.push_back(hub(HubMode::Application, 0x11150905, true)); // chosen, not completed
    EXPECT_EQ(exitCode(r), ExitFailure);
    r.hubs = {other};
    EXPECT_EQ(exitCode(r), ExitFailure); // nothing updated
    r.hubs = {done};
    r.error = QStringLiteral("No hub at /dev/x");
    EXPECT_EQ(exitCode(r), ExitFailure);

    r.command = Command::List;
    r.error.clear();
    r.hubs.clear();
    EXPECT_EQ(exitCode(r), ExitOk);
    EXPECT_EQ(joinLines(toTextLines(r), TextLine::Err), QStringLiteral("No Charging Hub is plugged in.\n"));
    const QJsonObject json = QJsonDocument::fromJson(toJson(r)).object();
    EXPECT_EQ(json.value(QStringLiteral("exitCode")).toInt(-1), ExitOk);
}

// Controllers on several threads share one virtual bus: one that ends must
// leave the others able to enumerate.
TEST(VirtualBusShared, AControllerThatEndsLeavesTheOthersEnumerating) {
    VirtualHidBus bus;
    VirtualHub hub(bus);
    ASSERT_TRUE(hub.plug());
    THidDeviceController staying(nullptr, bus);
    { THidDeviceController leaving(nullptr, bus); }
    EXPECT_TRUE(bus.hidLibraryLoaded());
    staying.DeviceChange();
    EXPECT_EQ(staying.count(), 1);
}
