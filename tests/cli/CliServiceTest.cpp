// quorvi-hub data and levels, run in this process on virtual hubs.

#include "DataCommand.h"
#include "HubRun.h"
#include "HubUpdateLock.h"
#include "LedCalibrationStore.h"
#include "LevelsCommand.h"
#include "UpdateHistory.h"
#include "VirtualHub.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <mutex>

using namespace cli;

namespace {

class CliService : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    // Runs the command line on fast virtual hubs; out and err get what it wrote.
    int run(const QString& line) {
        const ParseResult parsed = parseArguments(line.split(QLatin1Char(' '), Qt::SkipEmptyParts));
        EXPECT_TRUE(parsed.error.isEmpty()) << parsed.error.toStdString();
        hubRun = std::make_unique<HubRun>(parsed.options);
        hubRun->timing.writePauseMs = 1;
        hubRun->timing.replyTimeoutMs = 200;
        hubRun->timing.ledWritePauseMs = 1;
        hubRun->virtualUsbTiming = false;
        hubRun->stateFile = stateFile;
        out.clear();
        err.clear();
        const auto sink = [this](const QByteArray& text, bool error) {
            std::lock_guard lock(mutex);
            (error ? err : out) += QString::fromUtf8(text);
        };
        if (parsed.options.command == Command::Data) {
            DataCommand command(parsed.options, *hubRun, sink);
            return command.run();
        }
        LevelsCommand command(parsed.options, *hubRun, sink);
        return command.run();
    }
    QStringList outLines() const { return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
    hubsim::HubModel& model(int i = 0) const { return hubRun->virtualHubs().at(std::size_t(i))->model(); }
    QString write(const QByteArray& content) {
        QFile file(dir.filePath(QStringLiteral("backup.json")));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return file.fileName();
    }

    QTemporaryDir dir;
    std::optional<QString> stateFile = QString(); // nothing kept unless a test gives a file
    std::unique_ptr<HubRun> hubRun;
    std::mutex mutex;
    QString out, err;
};

// Reply bytes as the frame protocol counts them: 0 the marker, 4 the result.
TEST(DataReading, EachReplyByteLandsInItsValueLowByteFirst) {
    hubreply::Reply reply{};
    reply[0] = 0x55;
    const std::uint8_t bytes[] = {0x34, 0x12, 0xCD, 0xAB, 7, 3, 0x50, 9, 8, 250};
    std::copy(std::begin(bytes), std::end(bytes), reply.begin() + 5);
    const std::optional<hubreply::RunData> data = hubreply::runData(reply);
    ASSERT_TRUE(data);
    Reading r;
    r.hub = 2;
    r.identity = QStringLiteral("serial:A,1");
    r.path = QStringLiteral("/dev/hidraw4");
    r.data = *data;
    const QJsonObject d = readingJson(r).value(QStringLiteral("data")).toObject();
    EXPECT_EQ(d.value(QStringLiteral("voltage")).toInt(), 4660);
    EXPECT_EQ(d.value(QStringLiteral("current")).toInt(), 43981);
    EXPECT_EQ(d.value(QStringLiteral("state")).toInt(), 7);
    EXPECT_EQ(d.value(QStringLiteral("channel")).toInt(), 3);
    EXPECT_EQ(d.value(QStringLiteral("values")).toArray(), (QJsonArray{9, 8, 250}));
    EXPECT_EQ(d.value(QStringLiteral("batteries")).toArray(), (QJsonArray{true, false, true, false}));
    EXPECT_EQ(readingText(r, false),
              QStringLiteral("Hub 2 (/dev/hidraw4): 4660 mV, 43981 mA, channel 3, state 7, "
                             "values 9 8 250, batteries 1 present, 2 empty, 3 present, 4 empty"));
    // The identity holds a comma: quoted, so every row keeps the header's columns.
    const QStringList cells = csvRow(r).split(QLatin1Char(','));
    EXPECT_TRUE(csvRow(r).contains(QStringLiteral(",\"serial:A,1\",")));
    EXPECT_EQ(cells.size() - 1, csvHeader().split(QLatin1Char(',')).size());
    EXPECT_TRUE(csvRow(r).endsWith(QStringLiteral(",ok,4660,43981,3,7,9,8,250,1,0,1,0")));
    r.status = Reading::Status::NoAnswer;
    EXPECT_EQ(csvRow(r).split(QLatin1Char(',')).size() - 1, csvHeader().split(QLatin1Char(',')).size());
    EXPECT_TRUE(csvRow(r).endsWith(QStringLiteral(",no-answer,,,,,,,,,,,")));
}

TEST(DataOptions, WatchCountAndCsvAreCheckedBeforeAnyHub) {
    const auto error = [](const QString& line) { return parseArguments(line.split(QLatin1Char(' '))).error; };
    EXPECT_TRUE(error(QStringLiteral("data --watch 0.2 --count 3 --csv")).isEmpty());
    EXPECT_TRUE(error(QStringLiteral("data --watch 0.1")).contains(QStringLiteral("at least 0.2")));
    EXPECT_TRUE(error(QStringLiteral("data --watch x")).contains(QStringLiteral("--watch")));
    EXPECT_TRUE(error(QStringLiteral("data --count 3")).contains(QStringLiteral("needs --watch")));
    EXPECT_TRUE(error(QStringLiteral("data --csv --json")).contains(QStringLiteral("exclude")));
    EXPECT_TRUE(error(QStringLiteral("check --watch 1")).contains(QStringLiteral("(it belongs to data)")));
    EXPECT_TRUE(error(QStringLiteral("levels --from x.json")).contains(QStringLiteral("levels set")));
    EXPECT_TRUE(error(QStringLiteral("levels set")).contains(QStringLiteral("needs eight levels")));
    EXPECT_TRUE(
        error(QStringLiteral("data --verbose")).contains(QStringLiteral("data does not take --verbose")));
    EXPECT_EQ(parseArguments({QStringLiteral("levels"), QStringLiteral("set"), QStringLiteral("-5"),
                              QStringLiteral("2=7"), QStringLiteral("--json")})
                  .options.levelArguments,
              (QStringList{QStringLiteral("-5"), QStringLiteral("2=7")}));
}

TEST(LevelArguments, EveryRefusalNamesWhatIsWrong) {
    const auto refusal = [](const QStringList& arguments) {
        QString why;
        EXPECT_FALSE(parseLevelArguments(arguments, &why)) << arguments.join(QLatin1Char(' ')).toStdString();
        return why;
    };
    const QString eight = QStringLiteral("1 2 3 4 5 6 7 8");
    EXPECT_TRUE(refusal(QStringLiteral("1 2 3 4 5 6 7").split(QLatin1Char(' ')))
                    .contains(QStringLiteral("7 levels given")));
    EXPECT_TRUE(
        refusal((eight + QStringLiteral(" 9")).split(QLatin1Char(' '))).contains(QStringLiteral("9 levels")));
    EXPECT_TRUE(refusal(QStringLiteral("1 2 101 4 5 6 7 8").split(QLatin1Char(' ')))
                    .contains(QStringLiteral("Level 101 for channel 3")));
    EXPECT_TRUE(refusal(QStringLiteral("1 2 3 4 5 6 7 -1").split(QLatin1Char(' ')))
                    .contains(QStringLiteral("Level -1 for channel 8")));
    EXPECT_TRUE(refusal({QStringLiteral("9=50")}).contains(QStringLiteral("Channel 9")));
    EXPECT_TRUE(refusal({QStringLiteral("0=50")}).contains(QStringLiteral("Channel 0")));
    EXPECT_TRUE(refusal({QStringLiteral("red=50")}).contains(QStringLiteral("Channel red")));
    EXPECT_TRUE(refusal({QStringLiteral("3=")}).contains(QStringLiteral("Level  for channel 3")));
    EXPECT_TRUE(refusal({QStringLiteral("3=4"), QStringLiteral("3=5")}).contains(QStringLiteral("twice")));
    EXPECT_TRUE(refusal({QStringLiteral("3=4"), QStringLiteral("5")}).contains(QStringLiteral("5 is not a")));

    const std::optional<LevelPlan> pairs =
        parseLevelArguments({QStringLiteral("6=73"), QStringLiteral("1=0")}, nullptr);
    ASSERT_TRUE(pairs);
    EXPECT_EQ((*pairs)[0], 0);
    EXPECT_EQ((*pairs)[5], 73);
    EXPECT_FALSE((*pairs)[1]);
    const std::optional<LevelPlan> all = parseLevelArguments(eight.split(QLatin1Char(' ')), nullptr);
    ASSERT_TRUE(all);
    EXPECT_EQ((*all)[7], 8);
}

TEST_F(CliService, OneReadingPerHubInEachShape) {
    EXPECT_EQ(run(QStringLiteral("data --virtual 2 --all --json")), ExitOk);
    const QJsonObject root = QJsonDocument::fromJson(out.toUtf8()).object();
    const QJsonArray hubs = root.value(QStringLiteral("hubs")).toArray();
    ASSERT_EQ(hubs.size(), 2);
    EXPECT_EQ(hubs.at(1).toObject().value(QStringLiteral("identity")).toString(),
              QStringLiteral("serial:VH0002"));
    const hubsim::RunData sim;
    EXPECT_EQ(hubs.at(0)
                  .toObject()
                  .value(QStringLiteral("data"))
                  .toObject()
                  .value(QStringLiteral("voltage"))
                  .toInt(),
              sim.voltage);

    // Several hubs and neither --all nor --path: as update, nothing is read.
    EXPECT_EQ(run(QStringLiteral("data --virtual 2")), ExitFailure);
    EXPECT_TRUE(err.contains(QStringLiteral("choose one with --path P, or all with --all")));
    EXPECT_TRUE(out.isEmpty());
}

TEST_F(CliService, CsvAndJsonLinesKeepOneShapeEveryReading) {
    ASSERT_EQ(run(QStringLiteral("data --virtual 2 --all --watch 0.2 --count 2 --csv")), ExitOk);
    QStringList lines = outLines();
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(lines.first(), csvHeader());
    for (const QString& row : lines.mid(1)) {
        EXPECT_EQ(row.split(QLatin1Char(',')).size(), csvHeader().split(QLatin1Char(',')).size())
            << row.toStdString();
        EXPECT_TRUE(row.contains(QStringLiteral(",ok,")));
    }
    EXPECT_EQ(lines.filter(QStringLiteral(",2,serial:VH0002,")).size(), 2);

    ASSERT_EQ(run(QStringLiteral("data --virtual 1 --watch 0.2 --count 3 --json")), ExitOk);
    lines = outLines();
    ASSERT_EQ(lines.size(), 3);
    for (const QString& line : lines) {
        const QJsonObject o = QJsonDocument::fromJson(line.toUtf8()).object();
        EXPECT_EQ(o.value(QStringLiteral("status")).toString(), QStringLiteral("ok"));
        EXPECT_EQ(o.value(QStringLiteral("hub")).toInt(), 1);
        EXPECT_TRUE(o.value(QStringLiteral("data")).isObject());
    }
}

TEST_F(CliService, AWatchOutlivesAnUnplugAndFollowsTheHubBack) {
    // Driven by the rows, not by the clock: unplugged after two readings,
    // plugged in again after two more.
    QTimer driver;
    int phase = 0;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        std::lock_guard lock(mutex);
        const qsizetype rows = out.count(QLatin1Char('\n'));
        if (phase == 0 && rows >= 2 && hubRun->virtualHubs().at(0)->unplug())
            phase = 1;
        else if (phase == 1 && out.count(QStringLiteral("unplugged")) >= 2 &&
                 hubRun->virtualHubs().at(0)->plug())
            phase = 2;
    });
    driver.start(10);
    EXPECT_EQ(run(QStringLiteral("data --virtual 1 --watch 0.2 --count 7")), ExitOk);
    const QStringList lines = outLines();
    ASSERT_EQ(lines.size(), 8) << out.toStdString();
    EXPECT_TRUE(lines.at(0).contains(QStringLiteral(" mV")));
    EXPECT_GE(lines.filter(QStringLiteral("unplugged, waiting for serial:VH0001")).size(), 2);
    EXPECT_EQ(lines.filter(QStringLiteral("Hub 1 is plugged in again as serial:VH0001")).size(), 1);
    EXPECT_TRUE(lines.last().contains(QStringLiteral(" mV"))) << out.toStdString();
}

TEST_F(CliService, AHubAnotherProgramIsUpdatingIsLeftAlone) {
    stateFile = dir.filePath(QStringLiteral("state/led-calibration.ini"));
    HubUpdateLock other(HubUpdateLock::folderFor(*stateFile), HubIdentity::serial(QStringLiteral("VH0001")));
    ASSERT_TRUE(other.tryLock());
    EXPECT_EQ(run(QStringLiteral("data --virtual 1")), ExitFailure);
    EXPECT_TRUE(err.contains(QStringLiteral("Another program is updating hub serial:VH0001")))
        << err.toStdString();
    EXPECT_EQ(run(QStringLiteral("levels set 1=10 --virtual 1")), ExitFailure);
    EXPECT_TRUE(err.contains(QStringLiteral("Another program is updating hub serial:VH0001")));
    EXPECT_EQ(model().framesReceived(), 0u);
}

TEST_F(CliService, LevelsSetWritesAsThePageDoesAndReadsBack) {
    stateFile = dir.filePath(QStringLiteral("state/led-calibration.ini"));
    // Kept from a failed update: the set replaces them, so the next update gives back these.
    LedCalibrationStore store(*stateFile);
    ASSERT_TRUE(store.save(QStringLiteral("serial:VH0001"), {1, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_EQ(run(QStringLiteral("levels set 10 20 30 40 50 60 70 80 --virtual 1")), ExitOk)
        << err.toStdString();
    const LedCalibrationStore::Levels wanted{10, 20, 30, 40, 50, 60, 70, 80};
    EXPECT_EQ(model().savedLedLevels(), wanted);
    EXPECT_FALSE(model().isLedAdjustOpen());
    EXPECT_TRUE(
        out.contains(QStringLiteral("now holds red 10 20 30 40, green 50 60 70 80 (was red 50 50 50 50, "
                                    "green 50 50 50 50)")));
    EXPECT_EQ(store.load(QStringLiteral("serial:VH0001")), wanted);

    const QList<UpdateRecord> records = UpdateHistory(*stateFile).read();
    ASSERT_EQ(records.size(), 1);
    EXPECT_EQ(records[0].result, CalibrationChangedResult);
    EXPECT_EQ(records[0].hub, QStringLiteral("serial:VH0001"));
    EXPECT_EQ(records[0].levelsRead, (LedCalibrationStore::Levels{50, 50, 50, 50, 50, 50, 50, 50}));
    EXPECT_EQ(records[0].levelsWritten, wanted);
    EXPECT_TRUE(historyText(HistoryRead{records, 0, true}).contains(QStringLiteral("changed by hand")));

    // A hub with nothing kept gets nothing kept.
    ASSERT_TRUE(store.clear(QStringLiteral("serial:VH0001")));
    ASSERT_EQ(run(QStringLiteral("levels set 2=33 --virtual 1")), ExitOk);
    EXPECT_EQ(model().savedLedLevels()[1], 33);
    EXPECT_EQ(model().savedLedLevels()[0], 50);
    EXPECT_FALSE(store.load(QStringLiteral("serial:VH0001")));
}

TEST_F(CliService, ABackupIsRestoredOntoItsOwnHubAndOntoAnotherOnlyWithForce) {
    ASSERT_EQ(run(QStringLiteral("levels --virtual 1 --json")), ExitOk);
    QString why;
    const auto taken = parseLevelsBackup(out.toUtf8(), &why);
    ASSERT_TRUE(taken) << why.toStdString();
    ASSERT_EQ(taken->size(), 1u);
    EXPECT_EQ(taken->front().identity, QStringLiteral("serial:VH0001"));
    EXPECT_EQ(taken->front().levels, (HubSession::LedLevels{50, 50, 50, 50, 50, 50, 50, 50}));

    QJsonObject root = QJsonDocument::fromJson(out.toUtf8()).object();
    QJsonArray hubs = root.value(QStringLiteral("hubs")).toArray();
    QJsonObject hub = hubs.at(0).toObject();
    hub[QStringLiteral("levels")] = QJsonArray{11, 22, 33, 44, 55, 66, 77, 88};
    hubs[0] = hub;
    root[QStringLiteral("hubs")] = hubs;
    const QString file = write(QJsonDocument(root).toJson());
    ASSERT_EQ(run(QStringLiteral("levels set --from %1 --virtual 1").arg(file)), ExitOk) << err.toStdString();
    EXPECT_EQ(model().savedLedLevels(), (HubSession::LedLevels{11, 22, 33, 44, 55, 66, 77, 88}));

    hub[QStringLiteral("identity")] = QStringLiteral("serial:ELSEWHERE");
    hubs[0] = hub;
    root[QStringLiteral("hubs")] = hubs;
    write(QJsonDocument(root).toJson());
    EXPECT_EQ(run(QStringLiteral("levels set --from %1 --virtual 1").arg(file)), ExitFailure);
    EXPECT_TRUE(err.contains(QStringLiteral("holds the levels of hub serial:ELSEWHERE")));
    EXPECT_TRUE(err.contains(QStringLiteral("--force")));
    EXPECT_EQ(model().framesReceived(), 0u);

    ASSERT_EQ(run(QStringLiteral("levels set --from %1 --virtual 1 --force").arg(file)), ExitOk);
    EXPECT_TRUE(out.contains(
        QStringLiteral("the levels of hub serial:ELSEWHERE are restored onto this hub (--force)")));
    EXPECT_EQ(model().savedLedLevels(), (HubSession::LedLevels{11, 22, 33, 44, 55, 66, 77, 88}));

    write("{\"command\": \"check\"}");
    EXPECT_EQ(run(QStringLiteral("levels set --from %1 --virtual 1").arg(file)), ExitFailure);
    EXPECT_TRUE(err.contains(QStringLiteral("is no levels backup")));
}

TEST_F(CliService, ARefusedSetNeverReachesAHub) {
    EXPECT_EQ(run(QStringLiteral("levels set 1 2 3 --virtual 1")), ExitFailure);
    EXPECT_TRUE(err.contains(QStringLiteral("3 levels given"))) << err.toStdString();
    EXPECT_TRUE(err.contains(QStringLiteral("Nothing was sent.")));
    EXPECT_TRUE(hubRun->virtualHubs().empty());
}

} // namespace
