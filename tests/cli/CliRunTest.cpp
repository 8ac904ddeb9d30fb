#include "HidIap.h"
#include "HubRun.h"
#include "HubUpdateLock.h"
#include "HubWire.h"
#include "LedCalibrationStore.h"
#include "TestSupport.h"
#include "UpdateHistory.h"
#include "VirtualHub.h"

#include <QDir>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPushButton>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

using namespace cli;

namespace {

constexpr int DataLines = 16;

QByteArray lineAt(int k) {
    QByteArray line = ":113" + QByteArray::number(0x2000 + 16 * k, 16).rightJustified(4, '0').toUpper();
    for (int b = 0; b < 16; ++b)
        line += QByteArray::number((k * 7 + b) & 0xFF, 16).rightJustified(2, '0').toUpper();
    return line;
}

std::vector<hubsim::WrittenBlock> expectedBlocks() {
    std::vector<hubsim::WrittenBlock> blocks;
    for (int k = 0; k < DataLines; ++k) {
        hubsim::WrittenBlock block;
        block.address = std::uint32_t(0x2000 + 16 * k);
        for (int b = 0; b < 16; ++b)
            block.data.push_back(std::uint8_t((k * 7 + b) & 0xFF));
        blocks.push_back(block);
    }
    return blocks;
}

class CliRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        QByteArray lines = ":00000000\r\n";
        for (int k = 0; k < DataLines; ++k)
            lines += lineAt(k) + "\r\n";
        image = write(QStringLiteral("image.txt"), lines);
    }

    QString write(const QString& name, const QByteArray& content) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return file.fileName();
    }

    // Runs the command in this process on fast virtual hubs.
    int run(const QString& line) {
        const ParseResult parsed = parseArguments(line.split(QLatin1Char(' '), Qt::SkipEmptyParts));
        EXPECT_TRUE(parsed.error.isEmpty()) << parsed.error.toStdString();
        hubRun = std::make_unique<HubRun>(parsed.options);
        hubRun->timing.writePauseMs = 1;
        hubRun->timing.replyTimeoutMs = 1000; // the wait ends with the reply
        hubRun->timing.modePollMs = 25;
        hubRun->timing.modeWaitMs = 3000;
        hubRun->timing.ledWritePauseMs = 1;
        hubRun->virtualUsbTiming = false;
        hubRun->virtualRestartMs = 40;
        hubRun->stateFile = stateFile;
        const int status = hubRun->run();
        json = QJsonDocument::fromJson(toJson(hubRun->report())).object();
        text = toText(hubRun->report());
        return status;
    }

    QJsonObject hubJson(int i) const { return json.value(QStringLiteral("hubs")).toArray().at(i).toObject(); }
    VirtualHub& virtualHub(int i) const { return *hubRun->virtualHubs().at(std::size_t(i)); }

    QTemporaryDir dir;
    QString image;
    std::optional<QString> stateFile; // the run's default unless set
    std::unique_ptr<HubRun> hubRun;
    QJsonObject json;
    QString text;
};

} // namespace

TEST_F(CliRun, CheckSaysUpToDateOrUpdateAvailable) {
    EXPECT_EQ(run(QStringLiteral("--virtual 2 --virtual-version 1.1.15.0906 check --json")), ExitOk);
    EXPECT_EQ(json.value(QStringLiteral("hubs")).toArray().size(), 2);
    EXPECT_EQ(hubJson(1).value(QStringLiteral("version")).toString(), QStringLiteral("1.1.15.0906"));
    EXPECT_FALSE(hubJson(1).value(QStringLiteral("updateAvailable")).toBool(true));
    EXPECT_TRUE(text.contains(
        QStringLiteral("Hub 2 (virtual:hidraw/2): application, firmware 1.1.15.0906: up to date")))
        << text.toStdString();

    EXPECT_EQ(run(QStringLiteral("check --virtual 1 --json")), ExitUpdateAvailable);
    EXPECT_EQ(hubJson(0).value(QStringLiteral("version")).toString(), QStringLiteral("1.1.15.0905"));
    EXPECT_EQ(hubJson(0).value(QStringLiteral("mode")).toString(), QStringLiteral("application"));
    EXPECT_TRUE(hubJson(0).value(QStringLiteral("updateAvailable")).toBool());
    EXPECT_EQ(json.value(QStringLiteral("exitCode")).toInt(), ExitUpdateAvailable);
    EXPECT_TRUE(virtualHub(0).model().writtenBlocks().empty());
}

// Every hub runs its whole update on its own thread; each must end with
// exactly the image's blocks, whatever the others did meanwhile.
TEST_F(CliRun, ParallelUpdatesWriteTheWholeImageIntoEveryHub) {
    EXPECT_EQ(run(QStringLiteral("--virtual 4 update --all --json --image ") + image), ExitOk)
        << text.toStdString();
    ASSERT_EQ(json.value(QStringLiteral("hubs")).toArray().size(), 4);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const QJsonObject h = hubJson(i);
        EXPECT_EQ(h.value(QStringLiteral("hub")).toInt(), i + 1);
        EXPECT_EQ(h.value(QStringLiteral("result")).toString(), QStringLiteral("Completed"));
        EXPECT_TRUE(h.value(QStringLiteral("completed")).toBool());
        EXPECT_EQ(h.value(QStringLiteral("versionAfter")).toString(), QStringLiteral("1.1.15.0906"));
        EXPECT_EQ(h.value(QStringLiteral("log")).toArray().last().toString(),
                  QStringLiteral("Update completed."));
        EXPECT_EQ(virtualHub(i).model().writtenBlocks(), expectedBlocks());
        EXPECT_EQ(virtualHub(i).mode(), hubsim::HubMode::Application);
        EXPECT_FALSE(virtualHub(i).model().isLedAdjustOpen());
    }
    EXPECT_EQ(json.value(QStringLiteral("image")).toObject().value(QStringLiteral("lines")).toInt(),
              DataLines + 1);
}

// The hub that fails must not take the other down with it, and the run
// must not count as a success.
TEST_F(CliRun, OneOfTwoHubsFailsMidUpdate) {
    EXPECT_EQ(run(QStringLiteral("update --all --image %1 --virtual 2 --virtual-fault 2:fail@12").arg(image)),
              ExitFailure);
    EXPECT_EQ(virtualHub(0).model().writtenBlocks(), expectedBlocks());
    EXPECT_EQ(virtualHub(0).mode(), hubsim::HubMode::Application);
    EXPECT_EQ(virtualHub(1).mode(), hubsim::HubMode::Bootloader);
    EXPECT_LT(virtualHub(1).model().writtenBlocks().size(), std::size_t(DataLines));

    const HubOutcome& failed = hubRun->report().hubs.at(1);
    EXPECT_TRUE(hubRun->report().hubs.at(0).completed);
    EXPECT_FALSE(failed.completed);
    EXPECT_EQ(failed.result, QStringLiteral("Timeout"));
    EXPECT_EQ(failed.log.last(), QStringLiteral("Timeout."));
    EXPECT_TRUE(failed.state.contains(QStringLiteral("waits in its bootloader")))
        << failed.state.toStdString();
    EXPECT_TRUE(
        failed.state.contains(QStringLiteral("LED levels before the update were: 50 50 50 50 50 50 50 50")));
    EXPECT_TRUE(text.contains(
        QStringLiteral("Hub 2 (virtual:hidraw/2): FAILED (Timeout)\n    Enter bootloader mode...")))
        << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("1 of 2 hubs updated.")));
}

TEST_F(CliRun, ABrokenImageIsRefusedBeforeAnyHubIsTouched) {
    const QString broken = write(QStringLiteral("broken.txt"), ":00000000\r\n" + lineAt(0) + "\r\n:1XYZ\r\n");
    EXPECT_EQ(run(QStringLiteral("--virtual 1 update --all --json --image ") + broken), ExitFailure);
    const QString error = json.value(QStringLiteral("error")).toString();
    EXPECT_TRUE(error.contains(broken)) << error.toStdString();
    EXPECT_TRUE(error.contains(QStringLiteral("line 3 cannot be read"))) << error.toStdString();
    EXPECT_TRUE(error.endsWith(QStringLiteral("Nothing was sent.")));
    EXPECT_TRUE(hubRun->virtualHubs().empty());

    EXPECT_EQ(run(QStringLiteral("--virtual 1 check --image ") + dir.filePath(QStringLiteral("missing.txt"))),
              ExitFailure);
    EXPECT_TRUE(text.contains(QStringLiteral("Cannot read the firmware image"))) << text.toStdString();
}

TEST_F(CliRun, NoHubAndAHubWithoutAccess) {
    EXPECT_EQ(run(QStringLiteral("--virtual 0 check")), ExitFailure);
    EXPECT_EQ(text, QStringLiteral("No Charging Hub is plugged in.\n"));
    EXPECT_EQ(run(QStringLiteral("--virtual 0 list")), ExitOk);
    EXPECT_EQ(text, QStringLiteral("No Charging Hub is plugged in.\n"));

    const QString hint =
        QStringLiteral("A Charging Hub is connected, but this user may not use it. Install the udev rule");
    EXPECT_EQ(run(QStringLiteral("--virtual 2 --virtual-fault 2:no-access list --json")), ExitOk);
    EXPECT_TRUE(hubJson(0).value(QStringLiteral("access")).toBool());
    EXPECT_FALSE(hubJson(1).value(QStringLiteral("access")).toBool(true));
    EXPECT_TRUE(hubJson(1).value(QStringLiteral("accessHint")).toString().startsWith(hint));
    EXPECT_TRUE(text.contains(
        QStringLiteral("Hub 2 (virtual:hidraw/2): serial:VH0002, instance 2, no access\n    ") + hint))
        << text.toStdString();

    EXPECT_EQ(run(QStringLiteral("--virtual 2 --virtual-fault 2:no-access update --all --image ") + image),
              ExitFailure);
    EXPECT_TRUE(hubRun->report().hubs.at(0).completed);
    EXPECT_FALSE(hubRun->report().hubs.at(1).completed);
    EXPECT_EQ(virtualHub(1).model().framesReceived(), 0u);

    // Several hubs and no choice: none is touched.
    EXPECT_EQ(run(QStringLiteral("--virtual 2 update --image ") + image), ExitFailure);
    EXPECT_TRUE(
        text.contains(QStringLiteral("2 hubs are plugged in: choose one with --path P, or all with --all.")));
    EXPECT_EQ(virtualHub(0).model().framesReceived() + virtualHub(1).model().framesReceived(), 0u);
}

// Ctrl+C in the middle of programming: each hub finishes the line it is on,
// no block is left half-written, and the report says where each hub stopped.
TEST_F(CliRun, StoppingMidUpdateFinishesTheRunningLineAndSaysWhereEachHubIs) {
    const ParseResult parsed = parseArguments(
        QStringLiteral("--virtual 2 update --all --image %1").arg(image).split(QLatin1Char(' ')));
    ASSERT_TRUE(parsed.error.isEmpty());
    hubRun = std::make_unique<HubRun>(parsed.options);
    hubRun->timing.writePauseMs = 10; // programming takes long enough to stop in the middle
    hubRun->timing.modePollMs = 25;
    hubRun->virtualUsbTiming = false;
    hubRun->virtualRestartMs = 40;
    // Once both are programming, so each has lines written and lines to go.
    std::map<int, int> reached;
    QObject::connect(hubRun.get(), &HubRun::progress, hubRun.get(), [this, &reached](int hub, int value) {
        reached[hub] = value;
        if (reached.size() == 2 && reached.begin()->second >= 4 && reached.rbegin()->second >= 4)
            hubRun->requestStop();
    });
    EXPECT_EQ(hubRun->run(), ExitFailure);
    const RunReport& report = hubRun->report();
    EXPECT_TRUE(report.interrupted);
    const QRegularExpression written(
        QStringLiteral("Stopped by Ctrl\\+C with (\\d+) of %1 lines written").arg(DataLines + 1));
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const HubOutcome& hub = report.hubs.at(std::size_t(i));
        EXPECT_TRUE(hub.interrupted);
        EXPECT_EQ(hub.result, QStringLiteral("Interrupted"));
        EXPECT_FALSE(hub.log.contains(QStringLiteral("Timeout.")));
        const QRegularExpressionMatch m = written.match(hub.state);
        ASSERT_TRUE(m.hasMatch()) << hub.state.toStdString();
        const int lines = m.captured(1).toInt();
        EXPECT_GE(lines, 1);
        EXPECT_LT(lines, DataLines + 1);
        // The first line carries no data: every written line is one whole block.
        const std::vector<hubsim::WrittenBlock> blocks = virtualHub(i).model().writtenBlocks();
        const std::vector<hubsim::WrittenBlock> all = expectedBlocks();
        EXPECT_EQ(blocks, std::vector<hubsim::WrittenBlock>(all.begin(), all.begin() + (lines - 1)));
        EXPECT_TRUE(virtualHub(i).model().isWriteComplete());
        EXPECT_EQ(virtualHub(i).mode(), hubsim::HubMode::Bootloader);
    }
}

// The program as a script calls it.
TEST_F(CliRun, TheProgramAnswersAsDocumented) {
    const auto program = [](const QStringList& arguments, QByteArray* out = nullptr,
                            QByteArray* err = nullptr) {
        QProcess p;
        p.start(QStringLiteral(QUORVI_HUB_PROGRAM), arguments);
        EXPECT_TRUE(p.waitForFinished(60000));
        if (out)
            *out = p.readAllStandardOutput();
        if (err)
            *err = p.readAllStandardError();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    };
    QByteArray out, err;
    EXPECT_EQ(program({QStringLiteral("--help")}, &out), ExitOk);
    EXPECT_TRUE(out.startsWith("Usage: quorvi-hub"));
    EXPECT_EQ(program({QStringLiteral("--virtual"), QStringLiteral("1"), QStringLiteral("check")}, &out),
              ExitUpdateAvailable);
    EXPECT_TRUE(out.contains("update available (1.1.15.0906)")) << out.constData();
    EXPECT_EQ(program({QStringLiteral("--virtual"), QStringLiteral("1"), QStringLiteral("update"),
                       QStringLiteral("--all"), QStringLiteral("--image"), image},
                      &out),
              ExitOk);
    EXPECT_TRUE(out.endsWith("updated, firmware 1.1.15.0906\n1 of 1 hubs updated.\n")) << out.constData();
    EXPECT_EQ(program({QStringLiteral("check"), QStringLiteral("--frob")}, &out, &err), ExitFailure);
    EXPECT_EQ(err, "quorvi-hub: Unknown option --frob.\nTry 'quorvi-hub --help'.\n");
    EXPECT_TRUE(out.isEmpty());
}

// The window and the command line share the kept levels, the update locks
// and the history, all under the hub's identity. Virtual hub 1 of a run has
// the serial number VH0001, as the window's virtual hub here.
class SharedState : public CliRun {
protected:
    void SetUp() override {
        CliRun::SetUp();
        stateFile = dir.filePath(QStringLiteral("state/led-calibration.ini"));
    }
    // A window on a bus of its own with one hub (serial VH0001) running its application.
    void makeWindow(const LedCalibrationStore::Levels& levels) {
        windowHub = std::make_unique<VirtualHub>(windowBus);
        windowHub->setRestartDelays(20, 20);
        windowHub->model().setLedLevels(levels);
        ASSERT_TRUE(windowHub->plug());
        window = std::make_unique<TfrmMain>(windowBus);
        window->timing.writePauseMs = 1;
        window->timing.replyTimeoutMs = 1000;
        window->timing.modePollMs = 25;
        window->timing.modeWaitMs = 800;
        ASSERT_TRUE(testsupport::waitUntil([this] { return window->currentHub() != nullptr; }));
    }
    void TearDown() override {
        window.reset();
        windowHub.reset();
        // The window keeps its levels in this run's state folder.
        QFile::remove(LedCalibrationStore::defaultPath());
    }
    QStringList windowLog() const { return window->mmoUplog->toPlainText().split(QLatin1Char('\n')); }

    VirtualHidBus windowBus;
    std::unique_ptr<VirtualHub> windowHub;
    std::unique_ptr<TfrmMain> window;
};

TEST_F(SharedState, LevelsKeptByTheWindowAreRestoredByTheCommandLine) {
    const LedCalibrationStore::Levels levels{11, 22, 33, 44, 55, 66, 77, 88};
    stateFile = LedCalibrationStore::defaultPath(); // the window's
    makeWindow(levels);
    window->timing.modeWaitMs = 0; // the bootloader is never reached: the levels stay kept
    window->btnUpdate->click();
    ASSERT_TRUE(windowLog().contains(QStringLiteral("Enter bootloader error.")));
    ASSERT_EQ(LedCalibrationStore(*stateFile).load(QStringLiteral("serial:VH0001")), std::optional(levels));

    EXPECT_EQ(run(QStringLiteral("--virtual 2 update --all --image ") + image), ExitOk);
    EXPECT_EQ(virtualHub(0).model().savedLedLevels(), levels);
    EXPECT_NE(virtualHub(1).model().savedLedLevels(), levels); // VH0002 keeps its own
    EXPECT_TRUE(hubRun->report().hubs.at(0).log.contains(
        QStringLiteral("Restoring the LED levels kept from an earlier attempt.")));
    EXPECT_FALSE(hubRun->report().hubs.at(1).log.contains(
        QStringLiteral("Restoring the LED levels kept from an earlier attempt.")));
    EXPECT_FALSE(LedCalibrationStore(*stateFile).load(QStringLiteral("serial:VH0001")));
}

TEST_F(SharedState, LevelsKeptByTheCommandLineAreRestoredByTheWindow) {
    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-fault fail@12 update --image ") + image),
              ExitFailure);
    const std::optional<LedCalibrationStore::Levels> kept =
        LedCalibrationStore(*stateFile).load(QStringLiteral("serial:VH0001"));
    ASSERT_TRUE(kept);
    EXPECT_EQ(*kept, virtualHub(0).model().savedLedLevels());

    // The window's hub VH0001 reports other levels now (its firmware's
    // defaults after the failed update): the kept ones win.
    QFile::remove(LedCalibrationStore::defaultPath());
    ASSERT_TRUE(QDir().mkpath(QFileInfo(LedCalibrationStore::defaultPath()).absolutePath()));
    ASSERT_TRUE(QFile::copy(*stateFile, LedCalibrationStore::defaultPath()));
    makeWindow({1, 1, 1, 1, 1, 1, 1, 1});
    window->btnUpdate->click();
    EXPECT_TRUE(
        windowLog().contains(QStringLiteral("Restoring the LED levels kept from an earlier attempt.")));
    EXPECT_EQ(windowLog().last(), QStringLiteral("Update completed."));
    EXPECT_EQ(windowHub->model().savedLedLevels(), *kept);
}

TEST_F(SharedState, AHubAnotherProgramIsUpdatingIsLeftAloneAndCountsAsFailed) {
    HubUpdateLock other(HubUpdateLock::folderFor(*stateFile), HubIdentity::serial(QStringLiteral("VH0001")));
    ASSERT_TRUE(other.tryLock());
    EXPECT_EQ(run(QStringLiteral("--virtual 2 update --all --json --image ") + image), ExitFailure);
    EXPECT_EQ(hubJson(0).value(QStringLiteral("result")).toString(), QStringLiteral("HubBusy"));
    EXPECT_TRUE(hubJson(0)
                    .value(QStringLiteral("log"))
                    .toArray()
                    .at(0)
                    .toString()
                    .startsWith(QStringLiteral("Another program is updating hub serial:VH0001")));
    EXPECT_EQ(hubJson(1).value(QStringLiteral("result")).toString(), QStringLiteral("Completed"));
    for (const hubsim::Bytes& frame : virtualHub(0).trace().reports(hubsim::TraceEntry::Direction::ToHub))
        EXPECT_NE(hubsim::parseRequest(frame).command, CmdEnterBootloader);
    EXPECT_EQ(virtualHub(0).mode(), hubsim::HubMode::Application);
}

TEST_F(SharedState, EveryAttemptIsInTheHistoryThatTheHistoryCommandShows) {
    EXPECT_EQ(run(QStringLiteral("--virtual 2 --virtual-fault 2:fail@12 update --all --image ") + image),
              ExitFailure);
    const QList<UpdateRecord> records = UpdateHistory(*stateFile).read();
    ASSERT_EQ(records.size(), 2);
    QMap<QString, UpdateRecord> byHub;
    for (const UpdateRecord& r : records)
        byHub.insert(r.hub, r);
    ASSERT_TRUE(byHub.contains(QStringLiteral("serial:VH0001")));
    ASSERT_TRUE(byHub.contains(QStringLiteral("serial:VH0002")));
    const UpdateRecord& ok = byHub[QStringLiteral("serial:VH0001")];
    const UpdateRecord& failed = byHub[QStringLiteral("serial:VH0002")];
    EXPECT_EQ(ok.result, QStringLiteral("Completed"));
    EXPECT_EQ(ok.versionBefore, std::optional<std::uint32_t>(hubsim::DefaultFirmwareVersion));
    EXPECT_TRUE(ok.levelsRead && ok.levelsWritten && *ok.levelsRead == *ok.levelsWritten);
    EXPECT_EQ(failed.result, QStringLiteral("Timeout"));
    EXPECT_TRUE(failed.levelsRead);
    EXPECT_FALSE(failed.levelsWritten);

    const QString table = historyText(records);
    EXPECT_TRUE(table.startsWith(QStringLiteral("time"))) << table.toStdString();
    EXPECT_EQ(table.count(QLatin1Char('\n')), 3);
    EXPECT_TRUE(table.contains(QStringLiteral("kept for the next update")));
    const QJsonArray updates =
        QJsonDocument::fromJson(historyJson(records)).object().value(QStringLiteral("updates")).toArray();
    ASSERT_EQ(updates.size(), 2);
    EXPECT_EQ(updates.at(0).toObject().value(QStringLiteral("hub")).toString(), records.at(0).hub);
}
