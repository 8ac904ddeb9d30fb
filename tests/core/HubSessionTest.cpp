#include "HubSession.h"
#include "EventWait.h"
#include "FirmwareImage.h"
#include "HidControllerClass.h"
#include "HubWire.h"
#include "LedCalibrationStore.h"
#include "TestSupport.h"
#include "UpdateHistory.h"
#include "VirtualHidBus.h"
#include "VirtualHub.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <vector>

namespace {

using hubsim::Bytes;
using Stage = HubSession::Stage;
using Result = HubSession::UpdateResult;

constexpr int DataLines = 24;

QByteArray lineAt(int k) {
    // Type 1, N = 0x13 (16 data bytes), an address of its own, data that differs per line.
    QByteArray line = ":113" + QByteArray::number(0x4000 + 16 * k, 16).rightJustified(4, '0').toUpper();
    for (int b = 0; b < 16; ++b)
        line += QByteArray::number((k * 16 + b) & 0xFF, 16).rightJustified(2, '0').toUpper();
    return line;
}

FirmwareImage smallImage() {
    QByteArray text = ":00000000\r\n";
    for (int k = 0; k < DataLines; ++k)
        text += lineAt(k) + "\r\n";
    FirmwareImage image;
    image.load(text);
    return image;
}

std::vector<hubsim::WrittenBlock> expectedBlocks() {
    std::vector<hubsim::WrittenBlock> blocks;
    for (int k = 0; k < DataLines; ++k) {
        hubsim::WrittenBlock block;
        block.address = std::uint32_t(0x4000 + 16 * k);
        for (int b = 0; b < 16; ++b)
            block.data.push_back(std::uint8_t((k * 16 + b) & 0xFF));
        blocks.push_back(block);
    }
    return blocks;
}

void quicken(HubSession::Timing& t) {
    t.writePauseMs = 1;
    t.replyTimeoutMs = 1000; // the wait ends with the reply
    t.modePollMs = 25;
    t.modeWaitMs = 2000;
}

// Follows one virtual hub across its restarts by the instance number the bus
// gives it now; the other hubs on the bus stay with the controller.
class FollowOneHub : public HubLocator {
public:
    FollowOneHub(THidDeviceController& controller, HubSession& session, std::function<quint32()> instance)
        : m_controller(controller), m_session(session), m_instance(std::move(instance)) {}
    ~FollowOneHub() override { release(); }

    THidDevice* refreshHub() override {
        m_controller.DeviceChange();
        if (m_held && !m_held->Plugged())
            release();
        const quint32 wanted = m_instance();
        for (int i = 0; i < m_controller.count() && !m_held && wanted != 0; ++i) {
            const THidDevice* device = m_controller.deviceAt(i);
            if (device->Plugged() && device->PnPInfo()->InstanceNumber == wanted)
                m_controller.CheckOutAt(m_held, i);
        }
        return m_held.get();
    }

    void release() {
        if (m_session.device() == m_held.get())
            m_session.detach();
        m_held.reset();
    }

private:
    THidDeviceController& m_controller;
    HubSession& m_session;
    std::function<quint32()> m_instance;
    CheckedOutDevice m_held;
};

// What a session reported, gathered on its own thread.
struct Report {
    Result result = Result::NoHub;
    QStringList log;
    QStringList status;
    std::vector<Stage> stages;
    int maximum = -1;
    int lastProgress = -1;
    HubSession::LedLevels levelsRead{};
    bool readerOnSessionThread = false;
    bool signalsOnSessionThread = true;

    void listen(HubSession& session) {
        QThread* const own = QThread::currentThread();
        const auto here = [this, own] { signalsOnSessionThread &= QThread::currentThread() == own; };
        QObject::connect(&session, &HubSession::logLine, [this, here](const QString& text) {
            here();
            log << text;
        });
        QObject::connect(&session, &HubSession::logAppend, [this](const QString& text) {
            if (log.isEmpty())
                log << QString();
            log.last() += text;
        });
        QObject::connect(&session, &HubSession::statusText, [this](const QString& text) { status << text; });
        QObject::connect(&session, &HubSession::stageChanged,
                         [this](Stage stage) { stages.push_back(stage); });
        QObject::connect(&session, &HubSession::progressRange, [this](int top) { maximum = top; });
        QObject::connect(&session, &HubSession::progress, [this, here](int value) {
            here();
            lastProgress = value;
        });
        QObject::connect(&session, &HubSession::ledLevelsRead,
                         [this](const HubSession::LedLevels& levels) { levelsRead = levels; });
    }
};

// Everything of one hub's update on the calling thread: its own controller,
// session and locator, as a program updating several hubs at once would run it.
Report updateOnThisThread(VirtualHidBus& bus, VirtualHub& hub, const FirmwareImage& image) {
    Report report;
    THidDeviceController controller(nullptr, bus);
    if (!processEventsUntil([&] { return controller.FirstPassDone(); }, 3000))
        return report;
    HubSession session;
    quicken(session.timing);
    FollowOneHub locator(controller, session, [&bus, &hub] { return bus.instanceNumber(hub.deviceId()); });
    session.setLocator(&locator);
    report.listen(session);

    session.attach(locator.refreshHub());
    if (THidDevice* device = session.device())
        report.readerOnSessionThread =
            device->Reader() && device->Reader()->QObject::thread() == QThread::currentThread();
    report.result = session.runUpdate(image);
    return report;
}

const QStringList CompletedLog = {QStringLiteral("Enter bootloader mode..."),
                                  QStringLiteral("Programming..."), QStringLiteral("Reboot...OK."),
                                  QStringLiteral("Update completed.")};

} // namespace

// Two hubs updated at the same time, each session on a thread of its own with
// a controller of its own. The main thread only waits, running no events, so
// a report handed to any thread but the session's would never arrive.
TEST(HubSessionThreads, TwoHubsUpdateAtOnceEachOnItsOwnThread) {
    VirtualHidBus bus;
    VirtualHub first(bus);
    VirtualHub second(bus);
    const HubSession::LedLevels firstLevels{10, 20, 30, 40, 50, 60, 70, 80};
    // Levels above the range go back as its top, the rest as read.
    const HubSession::LedLevels secondLevels{5, 101, 200, 0, 100, 1, 99, 42};
    const HubSession::LedLevels secondRestored{5, 100, 100, 0, 100, 1, 99, 42};
    for (VirtualHub* hub : {&first, &second}) {
        hub->setRestartDelays(40, 40);
        hub->setFirmwareVersion(0x11140000);
        ASSERT_TRUE(hub->plug());
    }
    first.model().setLedLevels(firstLevels);
    second.model().setLedLevels(secondLevels);
    const FirmwareImage image = smallImage();
    ASSERT_TRUE(image.isUsable());

    Report firstReport, secondReport;
    // Handed over through an atomic: the thread sanitizer cannot see what
    // QThread::wait() guarantees.
    std::atomic<int> finished{0};
    const auto finish = [&finished](Report& to, Report from) {
        to = std::move(from);
        finished.fetch_add(1, std::memory_order_release);
    };
    std::unique_ptr<QThread> a(
        QThread::create([&] { finish(firstReport, updateOnThisThread(bus, first, image)); }));
    std::unique_ptr<QThread> b(
        QThread::create([&] { finish(secondReport, updateOnThisThread(bus, second, image)); }));
    a->start();
    b->start();
    ASSERT_TRUE(a->wait(QDeadlineTimer(60000)));
    ASSERT_TRUE(b->wait(QDeadlineTimer(60000)));
    ASSERT_EQ(finished.load(std::memory_order_acquire), 2);

    for (const Report* report : {&firstReport, &secondReport}) {
        EXPECT_TRUE(report->readerOnSessionThread);
        EXPECT_TRUE(report->signalsOnSessionThread);
        EXPECT_EQ(report->result, Result::Completed);
        EXPECT_EQ(report->log, CompletedLog);
        EXPECT_EQ(report->status, (QStringList{QStringLiteral("Programming..."), QStringLiteral("Reboot..."),
                                               QStringLiteral("Update completed.")}));
        EXPECT_EQ(report->stages,
                  (std::vector<Stage>{Stage::Started, Stage::EnteringBootloader, Stage::Programming,
                                      Stage::Rebooting, Stage::RestoringLevels}));
        EXPECT_EQ(report->maximum, DataLines);
        EXPECT_EQ(report->lastProgress, DataLines);
    }
    EXPECT_EQ(firstReport.levelsRead, firstLevels);
    EXPECT_EQ(secondReport.levelsRead, secondLevels); // announced as read

    for (VirtualHub* hub : {&first, &second}) {
        EXPECT_EQ(hub->model().writtenBlocks(), expectedBlocks());
        EXPECT_EQ(hub->mode(), hubsim::HubMode::Application);
        EXPECT_FALSE(hub->model().isLedAdjustOpen());
    }
    EXPECT_EQ(first.model().ledLevels(), firstLevels);
    EXPECT_EQ(second.model().ledLevels(), secondRestored);
}

class HubSessionOnMainThread : public ::testing::Test {
protected:
    void SetUp() override {
        hub.setRestartDelays(40, 40);
        ASSERT_TRUE(hub.plug());
        controller = std::make_unique<THidDeviceController>(nullptr, bus);
        ASSERT_TRUE(testsupport::waitUntil([this] { return controller->FirstPassDone(); }));
        ASSERT_TRUE(controller->CheckOutNext(device));
        quicken(session.timing);
        report.listen(session);
    }
    void TearDown() override {
        session.detach();
        device.reset();
    }

    std::vector<std::uint8_t> commandsToHub() {
        std::vector<std::uint8_t> commands;
        for (const Bytes& frame : hub.trace().reports(hubsim::TraceEntry::Direction::ToHub))
            commands.push_back(hubsim::parseRequest(frame).command);
        return commands;
    }

    VirtualHidBus bus;
    VirtualHub hub{bus};
    std::unique_ptr<THidDeviceController> controller;
    CheckedOutDevice device;
    HubSession session;
    Report report;
};

TEST_F(HubSessionOnMainThread, RefusesWhatCannotBeUpdatedBeforeAnyFrame) {
    FirmwareImage broken;
    broken.load(":00000000\r\n:1XYZ\r\n");
    ASSERT_FALSE(broken.isUsable());
    session.attach(device.get());
    EXPECT_EQ(session.runUpdate(broken), Result::ImageUnusable);
    EXPECT_EQ(report.log, QStringList{broken.problem()});

    session.detach();
    EXPECT_EQ(session.runUpdate(smallImage()), Result::NoHub);
    EXPECT_EQ(report.log.last(), QStringLiteral("Device disconnected."));
    EXPECT_EQ(report.status.last(), QStringLiteral("Device disconnected..."));
    EXPECT_TRUE(report.stages.empty());
    EXPECT_TRUE(commandsToHub().empty());
}

// The hub enters its bootloader by restarting, so it comes back as another
// device object: a session that cannot find it again waits in vain.
TEST_F(HubSessionOnMainThread, WithoutALocatorTheRestartedHubIsLost) {
    session.timing.replyTimeoutMs = 50;
    session.timing.modeWaitMs = 300;
    session.attach(device.get());
    EXPECT_EQ(session.runUpdate(smallImage()), Result::BootloaderError);
    EXPECT_EQ(report.log, (QStringList{QStringLiteral("Enter bootloader mode..."),
                                       QStringLiteral("Enter bootloader error.")}));
    EXPECT_EQ(hub.mode(), hubsim::HubMode::Bootloader);
    EXPECT_TRUE(hub.model().writtenBlocks().empty());
    EXPECT_FALSE(session.updateInProgress());
}

// The wait count that keeps a refresh out of another exchange's reply wait
// belongs to one session: another hub's session may send meanwhile.
TEST_F(HubSessionOnMainThread, ReplyWaitsAreCountedPerSession) {
    HubSession other;
    session.timing.replyTimeoutMs = 50;
    hubsim::HubFaults faults = hub.faults();
    faults.silent = true;
    hub.setFaults(faults);
    session.attach(device.get());

    bool insideOwn = false;
    bool insideOther = true;
    QTimer::singleShot(10, [&] {
        insideOwn = session.inReplyWait();
        insideOther = other.inReplyWait();
    });
    EXPECT_EQ(session.link().SendFrame(CmdGetVersion, HubRequest{}), -1);
    EXPECT_TRUE(insideOwn);
    EXPECT_FALSE(insideOther);
    EXPECT_FALSE(session.inReplyWait());
}

namespace {

// The hub's frames in order, as commands.
std::vector<std::uint8_t> commandsOf(VirtualHub& hub) {
    std::vector<std::uint8_t> commands;
    for (const Bytes& frame : hub.trace().reports(hubsim::TraceEntry::Direction::ToHub))
        commands.push_back(hubsim::parseRequest(frame).command);
    return commands;
}

class SerialLocator : public FollowOneHub {
public:
    using FollowOneHub::FollowOneHub;
    QString serial;
    // The hub's own identity unless a serial is given.
    HubIdentity hubIdentity(THidDevice* device) override {
        return serial.isEmpty() ? HubIdentity::of(device) : HubIdentity::serial(serial);
    }
};

} // namespace

// Updates on the main thread with a locator and a calibration store of its own.
class HubSessionReplies : public ::testing::Test {
protected:
    void SetUp() override {
        hub.setRestartDelays(10, 10);
        hub.setFirmwareVersion(0x11140000);
        ASSERT_TRUE(hub.plug());
        quicken(session.timing);
        session.timing.replyTimeoutMs = 60;
        session.timing.modePollMs = 60; // past the restart: the frame count stays fixed
        session.setLocator(&locator);
        session.setCalibrationStore(&store);
        report.listen(session);
        session.attach(locator.refreshHub());
        ASSERT_TRUE(session.device());
    }
    void TearDown() override { session.detach(); }

    void setFaults(const std::function<void(hubsim::HubFaults&)>& change) {
        hubsim::HubFaults faults = hub.faults();
        change(faults);
        hub.setFaults(faults);
    }
    // A run that finds the hub in its application, on this image, sends these frames.
    std::vector<std::uint8_t> normalRunCommands() {
        std::vector<std::uint8_t> c{CmdGetMode, CmdStartLedAdjust, CmdEnterBootloader, CmdGetMode};
        for (int k = 0; k < DataLines; ++k) {
            c.push_back(CmdBlockData);
            c.push_back(CmdBlockWrite);
        }
        c.insert(c.end(), {CmdReboot, CmdGetMode});
        for (int i = 0; i < 8; ++i)
            c.push_back(CmdSetLedLevel);
        c.push_back(CmdEndLedAdjust);
        c.push_back(CmdGetVersion); // the result checked
        return c;
    }

    QTemporaryDir folder;
    LedCalibrationStore store{folder.path() + QStringLiteral("/state/levels.ini")};
    VirtualHidBus bus;
    VirtualHub hub{bus};
    THidDeviceController controller{nullptr, bus};
    HubSession session;
    SerialLocator locator{controller, session, [this] { return bus.instanceNumber(hub.deviceId()); }};
    Report report;
    const HubSession::LedLevels userLevels{11, 22, 33, 44, 55, 66, 77, 88};
};

TEST_F(HubSessionReplies, ShortReportsAreNoRepliesAndCarryNoData) {
    setFaults([](hubsim::HubFaults& f) { f.replyLength = 1; }); // the marker alone
    EXPECT_EQ(session.link().SendFrame(CmdGetVersion, HubRequest{}), -1);
    EXPECT_EQ(session.QueryHubMode(), HubSession::Mode::None);

    setFaults([](hubsim::HubFaults& f) { f.replyLength = 5; }); // up to the result byte
    EXPECT_EQ(session.link().SendFrame(CmdGetVersion, HubRequest{}), 0);
    EXPECT_EQ(session.link().replyLength(), 5);
    EXPECT_FALSE(session.readVersion());
    EXPECT_FALSE(session.readRunData());
    EXPECT_FALSE(session.startLedAdjust());
    EXPECT_FALSE(session.calibrationHeld());

    setFaults([](hubsim::HubFaults& f) { f.replyLength = 1; });
    session.timing.modeWaitMs = 300;
    EXPECT_EQ(session.runUpdate(smallImage()), Result::CalibrationUnreadable);
    EXPECT_FALSE(report.log.contains(QStringLiteral("Update completed.")));
}

// "Reply after" past the wait: the late answer and the retry's answer are one
// too many; the next frame must still get its own.
TEST_F(HubSessionReplies, ALateReplyDoesNotShiftTheAnswersAfterIt) {
    setFaults([](hubsim::HubFaults& f) { f.replyDelayMs = 90; });
    EXPECT_EQ(session.readVersion(), std::optional<std::uint32_t>(0x11140000));
    EXPECT_EQ(session.QueryHubMode(), HubSession::Mode::Application); // not the version's second answer
    setFaults([](hubsim::HubFaults& f) { f.replyDelayMs = 0; });
    EXPECT_EQ(session.readVersion(), std::optional<std::uint32_t>(0x11140000));
    EXPECT_EQ(session.QueryHubMode(), HubSession::Mode::Application);
}

TEST_F(HubSessionReplies, OneLateReplyInTheMiddleOfAnUpdateChangesNothingElse) {
    // Frame 10 is the fourth line's block write.
    setFaults([](hubsim::HubFaults& f) { f.replyDelayOnFrame[10] = 90; });
    EXPECT_EQ(session.runUpdate(smallImage()), Result::Completed);
    EXPECT_EQ(report.log, CompletedLog);
    EXPECT_EQ(hub.model().writtenBlocks(), expectedBlocks());
    std::vector<std::uint8_t> expected = normalRunCommands();
    expected.insert(expected.begin() + 10, CmdBlockWrite); // the one retry
    EXPECT_EQ(commandsOf(hub), expected);
}

// A report read before a frame went out (a repeat of an earlier answer) is
// not that frame's reply.
TEST_F(HubSessionReplies, AReportFromBeforeTheFrameIsNotItsReply) {
    const std::uint8_t repeat[hubframe::ReplySize] = {hubframe::Marker, 0, 0, 0, 0};
    session.link().HubDataReceived(nullptr, 0, repeat, sizeof repeat);
    EXPECT_EQ(session.link().replyLength(), 0);
    setFaults([](hubsim::HubFaults& f) { f.silent = true; });
    QTimer::singleShot(0, [&] { session.link().HubDataReceived(nullptr, 0, repeat, 4); }); // no result byte
    EXPECT_EQ(session.link().SendFrame(CmdGetVersion, HubRequest{}), -1);
}

// The hub says its version answer twice. The repeat reaches the read thread
// before the next frame goes out but is handed over only inside that frame's
// wait: it is older than the frame, so the mode query still gets its own answer.
TEST_F(HubSessionReplies, ARepeatReadBeforeTheNextFrameIsNotItsAnswer) {
    const std::uint64_t versionFrame = hub.model().framesReceived() + 1;
    setFaults([&](hubsim::HubFaults& f) { f.repeatReplyOnFrame.insert(versionFrame); });
    ASSERT_EQ(session.readVersion(), std::optional<std::uint32_t>(0x11140000));
    // No events run here: the reader takes the repeat off the bus and waits
    // for this thread to take it.
    const auto repliesSent = [this] {
        return hub.trace().reports(hubsim::TraceEntry::Direction::FromHub).size();
    };
    QDeadlineTimer limit(3000);
    while ((repliesSent() < 2 || bus.queuedInputCount(hub.deviceId()) > 0) && !limit.hasExpired())
        QThread::yieldCurrentThread();
    ASSERT_EQ(repliesSent(), 2u);
    ASSERT_EQ(bus.queuedInputCount(hub.deviceId()), 0);

    EXPECT_EQ(session.QueryHubMode(), HubSession::Mode::Application);
}

// The hub answers the last line's data twice, then refuses its block write:
// the repeat must not pass for the write's answer.
TEST_F(HubSessionReplies, ARepeatedAnswerDoesNotHideARefusedLastLine) {
    const std::uint64_t lastData = hub.model().framesReceived() + 2 * DataLines + 3;
    setFaults([&](hubsim::HubFaults& f) { f.repeatReplyOnFrame.insert(lastData); });
    hub.model().setResultOnFrame(lastData + 1, 0x01);
    EXPECT_EQ(session.runUpdate(smallImage()), Result::LineNotTaken);
    EXPECT_EQ(commandsOf(hub).at(lastData), CmdBlockWrite);
}

TEST_F(HubSessionReplies, LevelsOfTheFirstAttemptSurviveEveryFailedRunAndARestart) {
    hub.model().setLedLevels(userLevels);
    locator.serial = QStringLiteral("QH-0001");
    // Bootloader entry fails: no time to wait for the hub at all.
    session.timing.modeWaitMs = 0;
    EXPECT_EQ(session.runUpdate(smallImage()), Result::BootloaderError);
    EXPECT_EQ(store.load(QStringLiteral("serial:QH-0001")), std::optional(userLevels));
    EXPECT_FALSE(store.load(QStringLiteral("serial:QH-0002")));
    ASSERT_TRUE(testsupport::waitUntil(
        [this] { return hub.isPlugged() && hub.mode() == hubsim::HubMode::Bootloader; }));

    // A refused line in this session, then a fresh session (a new run of the
    // program) that finds the hub in its bootloader.
    session.attach(locator.refreshHub());
    session.timing.modeWaitMs = 2000;
    hub.model().setResultOnFrame(hub.model().framesReceived() + 6, 0x01); // the second line's data
    EXPECT_EQ(session.runUpdate(smallImage()), Result::LineNotTaken);
    EXPECT_EQ(hub.mode(), hubsim::HubMode::Bootloader);
    EXPECT_TRUE(session.writeBackOwed());
    locator.release(); // the program ends

    HubSession later;
    quicken(later.timing);
    SerialLocator laterLocator(controller, later, [this] { return bus.instanceNumber(hub.deviceId()); });
    laterLocator.serial = QStringLiteral("QH-0001");
    LedCalibrationStore reopened(store.filePath());
    later.setLocator(&laterLocator);
    later.setCalibrationStore(&reopened);
    Report laterReport;
    laterReport.listen(later);
    later.attach(laterLocator.refreshHub());
    EXPECT_EQ(later.runUpdate(smallImage()), Result::Completed);
    EXPECT_TRUE(
        laterReport.log.contains(QStringLiteral("Restoring the LED levels kept from an earlier attempt.")));
    EXPECT_EQ(hub.model().ledLevels(), userLevels);
    EXPECT_FALSE(reopened.load(QStringLiteral("serial:QH-0001"))); // cleared after the checked write-back
    later.detach();
}

TEST_F(HubSessionReplies, AnUnansweredWriteBackIsNoCompletedUpdateAndTheKeptLevelsWinNextTime) {
    hub.model().setLedLevels(userLevels);
    QObject::connect(&session, &HubSession::stageChanged, [this](Stage stage) {
        if (stage == Stage::RestoringLevels)
            setFaults([](hubsim::HubFaults& f) { f.silent = true; });
    });
    EXPECT_EQ(session.runUpdate(smallImage()), Result::CalibrationNotRestored);
    EXPECT_FALSE(report.log.contains(QStringLiteral("Update completed.")));
    EXPECT_EQ(report.log.last(), QStringLiteral("Firmware updated, but the LED calibration could not be "
                                                "restored; it is kept for the next update."));
    EXPECT_EQ(hub.firmwareVersion(), hubsim::DefaultImageVersion);
    // Every channel and the end of the adjustment were still tried, unanswered.
    std::set<int> channels;
    for (const Bytes& frame : hub.trace().reports(hubsim::TraceEntry::Direction::ToHub)) {
        const hubsim::RequestFrame request = hubsim::parseRequest(frame);
        if (request.command == CmdSetLedLevel && !request.payload.empty())
            channels.insert(request.payload[0]);
    }
    EXPECT_EQ(channels, (std::set<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(commandsOf(hub).back(), CmdEndLedAdjust);
    EXPECT_EQ(store.load(QStringLiteral("serial:VH0001")), std::optional(userLevels));

    // Found in its application again: the kept levels, not the defaults it reports, go back.
    QObject::disconnect(&session, &HubSession::stageChanged, nullptr, nullptr);
    setFaults([](hubsim::HubFaults& f) { f.silent = false; });
    report.log.clear();
    EXPECT_EQ(session.runUpdate(smallImage()), Result::Completed);
    EXPECT_EQ(hub.model().ledLevels(), userLevels);
    EXPECT_TRUE(
        report.log.contains(QStringLiteral("Restoring the LED levels kept from an earlier attempt.")));
    EXPECT_FALSE(store.load(QStringLiteral("serial:VH0001")));
}

// "Update completed." only for a hub that runs the image's version once it is back.
TEST_F(HubSessionReplies, TheVersionIsReadBackAndAHubBootingItsOldFirmwareFails) {
    EXPECT_EQ(session.runUpdate(smallImage()), Result::Completed);
    EXPECT_EQ(session.versionAfter(), std::optional<std::uint32_t>(hubsim::DefaultImageVersion));
    EXPECT_EQ(commandsOf(hub), normalRunCommands()); // the one added query is all a working hub sees
    EXPECT_EQ(report.log, CompletedLog);

    hub.setFirmwareVersion(0x11140000);
    hub.trace().clear();
    report.log.clear();
    setFaults([](hubsim::HubFaults& f) { f.bootOldFirmwareAfterReboot = true; });
    EXPECT_EQ(session.runUpdate(smallImage()), Result::WrongVersion);
    EXPECT_EQ(session.versionAfter(), std::optional<std::uint32_t>(0x11140000));
    EXPECT_FALSE(report.log.contains(QStringLiteral("Update completed.")));
    EXPECT_EQ(report.log.last(), QStringLiteral("Update failed: the hub runs firmware 1.1.14.0000 after the "
                                                "update, not the image's 1.1.15.0906."));
    EXPECT_EQ(report.status.last(), report.log.last());
}

// The hub answers a block write first with a copy of its previous answer,
// then with its own: a refusal. Neither answer may pass.
TEST_F(HubSessionReplies, AnAnswerContradictedByTheNextOneIsNeverPassed) {
    const std::uint64_t first = hub.model().framesReceived() + 1;
    const std::uint64_t lastWrite =
        first + 2 * DataLines + 3; // GetMode, StartLedAdjust, EnterBootloader, GetMode
    setFaults([&](hubsim::HubFaults& f) { f.copyThenRefuseFrame = lastWrite; });
    EXPECT_NE(session.runUpdate(smallImage()), Result::Completed);
    EXPECT_FALSE(report.log.contains(QStringLiteral("Update completed.")));
    EXPECT_TRUE(report.log.contains(QStringLiteral("Timeout."))) << report.log.join('|').toStdString();
    const std::vector<std::uint8_t> commands = commandsOf(hub);
    ASSERT_GE(commands.size(), std::size_t(lastWrite));
    EXPECT_EQ(commands.at(lastWrite - 1), CmdBlockWrite);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), CmdReboot), 0);
    EXPECT_EQ(hub.model().writtenBlocks().size(), std::size_t(DataLines - 1));

    // In the middle of the image the next line is not sent either.
    ASSERT_TRUE(testsupport::waitUntil([this] { return hub.isPlugged(); }));
    session.attach(locator.refreshHub());
    hub.trace().clear();
    report.log.clear();
    const std::uint64_t again = hub.model().framesReceived() + 1;
    // GetMode, EnterBootloader, GetMode, then line 1's data and write, line 2's data, line 2's write.
    setFaults([&](hubsim::HubFaults& f) { f.copyThenRefuseFrame = again + 6; });
    EXPECT_EQ(session.runUpdate(smallImage()), Result::LineNotTaken);
    EXPECT_EQ(commandsOf(hub).size(), 7u);
}

// The copy arrives as the last block write goes out, the refusal some time
// later (as on a real bus): whatever the gap, the copy is not the write's
// answer. A hub whose replies do not name their command is caught by the
// old rules, or after the reboot, whose answer the refusal then takes.
TEST_F(HubSessionReplies, ACopyThenARefusalOfTheLastLineNeverCompletes) {
    session.timing.replyTimeoutMs = 100; // the real limit: each gap is inside it
    struct Case {
        bool echo;
        int gapMs;
        bool rebootSent;
    };
    for (const Case c : {Case{true, 0, false}, Case{true, 30, false}, Case{true, 90, false},
                         Case{false, 0, false}, Case{false, 30, true}}) {
        SCOPED_TRACE(testing::Message() << "echo " << c.echo << ", gap " << c.gapMs);
        ASSERT_TRUE(
            testsupport::waitUntil([this] { return hub.isPlugged() && !hub.model().isRestarting(); }));
        // Opened anew: what its replies carry is learned again.
        session.detach();
        session.attach(locator.refreshHub());
        hub.model().setMode(hubsim::HubMode::Bootloader); // no levels to read: a fixed frame count
        hub.trace().clear();
        report.log.clear();
        const std::uint64_t lastWrite = hub.model().framesReceived() + 3 + 2 * DataLines;
        setFaults([&](hubsim::HubFaults& f) {
            f = {};
            f.copyThenRefuseFrame = lastWrite;
            f.copyThenRefuseGapMs = c.gapMs;
            f.noCommandEcho = !c.echo;
        });
        EXPECT_EQ(session.runUpdate(smallImage()), Result::LineNotTaken);
        EXPECT_FALSE(report.log.contains(QStringLiteral("Update completed.")));
        EXPECT_EQ(report.log.last(), QStringLiteral("Timeout."));
        const UpdateFailure::Kind kind = session.failure().kind;
        EXPECT_TRUE(kind == UpdateFailure::Kind::Refused || kind == UpdateFailure::Kind::Disputed);
        EXPECT_EQ(session.failure().line, DataLines + 1); // the header line first
        const std::vector<std::uint8_t> commands = commandsOf(hub);
        EXPECT_EQ(std::count(commands.begin(), commands.end(), CmdReboot), c.rebootSent ? 1 : 0);
        EXPECT_EQ(hub.model().writtenBlocks().size(), std::size_t(DataLines - 1));
        EXPECT_EQ(session.link().repliesNameTheirCommand(), c.echo);
    }
}

// The hub's status report comes right before each answer of a whole update:
// mode, levels, bootloader, block data and write, reboot, level writes,
// version. None is taken for the answer it precedes.
TEST_F(HubSessionReplies, AStatusReportJustBeforeEachAnswerIsNeverTakenForIt) {
    hub.model().setLedLevels(userLevels);
    const std::uint64_t first = hub.model().framesReceived() + 1;
    const std::size_t frames = normalRunCommands().size();
    setFaults([&](hubsim::HubFaults& f) {
        for (std::uint64_t k = first; k < first + frames; ++k)
            f.statusBeforeFrame.insert(k);
    });
    QStringList dropped;
    QObject::connect(&session.link(), &HubConnection::replyDropped,
                     [&dropped](const QByteArray&, const QString& why) { dropped << why; });
    EXPECT_EQ(session.runUpdate(smallImage()), Result::Completed);
    EXPECT_EQ(report.log, CompletedLog);
    EXPECT_EQ(commandsOf(hub), normalRunCommands()); // not one frame again
    EXPECT_EQ(hub.model().writtenBlocks(), expectedBlocks());
    EXPECT_EQ(hub.model().ledLevels(), userLevels);
    EXPECT_EQ(session.versionAfter(), std::optional<std::uint32_t>(hubsim::DefaultImageVersion));
    EXPECT_EQ(dropped.size(), qsizetype(frames));
    EXPECT_EQ(dropped.value(0), QStringLiteral("it is the hub's status report"));
}

// Where the hub's replies carry a valid checksum, a report that names the
// frame but whose checksum is wrong is not its answer.
TEST_F(HubSessionReplies, AReplyWithABadChecksumIsNoAnswerFromAHubThatSums) {
    ASSERT_EQ(session.readVersion(), std::optional<std::uint32_t>(0x11140000));
    Bytes forged = hubsim::buildReply(hubsim::cmd::GetVersion, hubsim::ResultOk, Bytes{9, 9, 9, 9});
    forged[10] ^= 0xFF;
    hub.model().setUnsolicitedReport(forged);
    const std::uint64_t next = hub.model().framesReceived() + 1;
    setFaults([&](hubsim::HubFaults& f) { f.statusBeforeFrame.insert(next); });
    EXPECT_EQ(session.readVersion(), std::optional<std::uint32_t>(0x11140000));
    EXPECT_EQ(commandsOf(hub).size(), 2u);
}

// Answers that agree cost nothing: a write answered twice alike is taken once.
TEST_F(HubSessionReplies, AnAnswerRepeatedAlikeChangesNothing) {
    const std::uint64_t thirdWrite = hub.model().framesReceived() + 1 + 4 + 5;
    setFaults([&](hubsim::HubFaults& f) { f.repeatReplyOnFrame.insert(thirdWrite); });
    EXPECT_EQ(session.runUpdate(smallImage()), Result::Completed);
    EXPECT_EQ(commandsOf(hub), normalRunCommands());
    EXPECT_EQ(hub.model().writtenBlocks(), expectedBlocks());
}

// A refused level is no more written back than an unanswered one; the other
// channels and the end of the adjustment still go out.
TEST_F(HubSessionReplies, ARefusedLevelWriteIsNoCompletedUpdate) {
    hub.model().setLedLevels(userLevels);
    const std::uint64_t first = hub.model().framesReceived() + 1;
    const std::uint64_t thirdLevel = first + 4 + 2 * DataLines + 2 + 2;
    hub.model().setResultOnFrame(thirdLevel, 0x05);
    EXPECT_EQ(session.runUpdate(smallImage()), Result::CalibrationNotRestored);
    EXPECT_FALSE(report.log.contains(QStringLiteral("Update completed.")));
    std::vector<std::uint8_t> sent = commandsOf(hub);
    EXPECT_EQ(sent.at(thirdLevel - 1), CmdSetLedLevel);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), CmdSetLedLevel), 8);
    EXPECT_EQ(sent.back(), CmdEndLedAdjust);
    EXPECT_EQ(store.load(QStringLiteral("serial:VH0001")),
              std::optional(userLevels)); // kept for the next try
    EXPECT_TRUE(session.writeBackOwed());
}

TEST_F(HubSessionReplies, AHubInItsBootloaderWithNothingKeptIsCompletedWithoutItsCalibration) {
    UpdateHistory history(store.filePath());
    session.setHistory(&history);
    hub.model().setMode(hubsim::HubMode::Bootloader);
    EXPECT_EQ(session.runUpdate(smallImage()), Result::Completed);
    // The history says it plainly: found in its bootloader, calibration lost.
    ASSERT_EQ(history.read().size(), 1);
    EXPECT_EQ(history.read()[0].modeBefore, QStringLiteral("bootloader"));
    EXPECT_EQ(history.read()[0].calibration, QStringLiteral("lost"));
    EXPECT_EQ(history.read()[0].result, QStringLiteral("completed"));
    EXPECT_FALSE(session.calibrationCarried());
    const QString said =
        QStringLiteral("The hub is in its bootloader and no LED levels are kept for it: its "
                       "calibration cannot be carried; it keeps the new firmware's defaults.");
    EXPECT_TRUE(report.log.contains(said));
    EXPECT_TRUE(report.status.contains(said));
    EXPECT_EQ(report.log.last(), QStringLiteral("Update completed."));
    EXPECT_TRUE(report.status.last().contains(QStringLiteral("could not be carried")));

    // Found in its application, it carries its levels again; the version
    // read as the attempt started is the one before.
    report.log.clear();
    ASSERT_TRUE(session.readVersion());
    EXPECT_EQ(session.runUpdate(smallImage()), Result::Completed);
    EXPECT_TRUE(session.calibrationCarried());
    EXPECT_EQ(report.log, CompletedLog);
    const UpdateRecord second = history.read().value(1);
    EXPECT_EQ(second.calibration, QStringLiteral("carried"));
    EXPECT_EQ(second.versionBefore, second.versionAfter); // the same image twice
}

// A hub goes to its bootloader only with its calibration safe: a mode or a
// level read that fails (the levels once retried) leaves the hub untouched.
TEST_F(HubSessionReplies, AHubWhoseCalibrationCannotBeReadIsNotSentToItsBootloader) {
    hub.model().setLedLevels(userLevels);
    const struct {
        std::vector<std::uint64_t> refused; // frames of the run, from 0
        int replyLength;
        std::vector<std::uint8_t> frames;
        int result;
    } cases[] = {
        // The mode fits in six bytes with its checksum, the levels do not: a
        // hub whose replies carry checksums is not taken at a cut one's word,
        // so no level read was taken and there is no adjustment to close.
        {{},
         6,
         {CmdGetMode, CmdStartLedAdjust, CmdStartLedAdjust, CmdStartLedAdjust, CmdStartLedAdjust,
          CmdStartLedAdjust, CmdStartLedAdjust},
         -1},
        {{0}, 0, {CmdGetMode}, 0x01},
        {{1, 2}, 0, {CmdGetMode, CmdStartLedAdjust, CmdStartLedAdjust}, 0x01},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frames.size());
        hub.trace().clear();
        const std::uint64_t first = hub.model().framesReceived() + 1;
        setFaults([&](hubsim::HubFaults& f) {
            f = hubsim::HubFaults{};
            f.replyLength = c.replyLength;
            for (const std::uint64_t k : c.refused)
                f.resultOnFrame[first + k] = 0x01;
        });
        EXPECT_EQ(session.runUpdate(smallImage()), Result::CalibrationUnreadable);
        EXPECT_EQ(commandsOf(hub), c.frames);
        EXPECT_EQ(session.failure().kind, UpdateFailure::Kind::CalibrationUnreadable);
        EXPECT_EQ(session.failure().command, c.frames.size() == 1 ? CmdGetMode : CmdStartLedAdjust);
        EXPECT_EQ(session.failure().result, c.result);
        EXPECT_EQ(hub.model().savedLedLevels(), userLevels);
        EXPECT_FALSE(store.load(QStringLiteral("serial:VH0001")));
    }
}

// A cable glitch before the bootloader entry: the frame goes to the device
// that left and never reaches the hub, which waits in its bootloader from an
// earlier attempt. Nothing is programmed on top of that.
TEST_F(HubSessionReplies, ProgrammingStartsOnlyAfterAnEntryThatReachedTheHub) {
    hub.model().setMode(hubsim::HubMode::Bootloader);
    QObject::connect(&session, &HubSession::stageChanged, [this](Stage stage) {
        if (stage == Stage::EnteringBootloader && hub.unplug())
            hub.plug();
    });
    EXPECT_EQ(session.runUpdate(smallImage()), Result::BootloaderError);
    EXPECT_EQ(session.failure().kind, UpdateFailure::Kind::EntryNotReached);
    EXPECT_EQ(commandsOf(hub), std::vector<std::uint8_t>{CmdGetMode});
    EXPECT_TRUE(hub.model().writtenBlocks().empty());
}

// Kept levels belong to one hub and one attempt: a hand on another hub
// leaves them alone, a hand on their own hub replaces them, and an attempt
// that erased nothing drops what it kept.
TEST_F(HubSessionReplies, KeptLevelsBelongToTheirHubAndTheirAttempt) {
    hub.model().setLedLevels(userLevels);
    const QString a = QStringLiteral("serial:QH-A");
    locator.serial = QStringLiteral("QH-A");
    session.timing.modeWaitMs = 0; // entered, not seen since: the levels stay kept for A
    EXPECT_EQ(session.runUpdate(smallImage()), Result::BootloaderError);
    ASSERT_TRUE(session.writeBackOwed());
    ASSERT_TRUE(testsupport::waitUntil([this] { return hub.isPlugged(); }));
    hub.setMode(hubsim::HubMode::Application);
    session.attach(locator.refreshHub());

    locator.serial = QStringLiteral("QH-B"); // another hub on the service page
    ASSERT_TRUE(session.startLedAdjust());
    session.setLedLevel(3, 70);
    session.endLedAdjust();
    EXPECT_EQ(store.load(a), std::optional(userLevels));
    EXPECT_FALSE(store.load(QStringLiteral("serial:QH-B")));

    locator.serial = QStringLiteral("QH-A");
    session.setLedLevel(2, 5);
    HubSession::LedLevels replaced = userLevels;
    replaced[1] = 5;
    EXPECT_EQ(store.load(a), std::optional(replaced));

    // The hub refuses the entry (it stays in its application): nothing kept.
    store.clear(a);
    const std::uint64_t entry = hub.model().framesReceived() + 3;
    setFaults([&](hubsim::HubFaults& f) { f.copyThenRefuseFrame = entry; });
    session.timing.modeWaitMs = 300;
    EXPECT_EQ(session.runUpdate(smallImage()), Result::BootloaderError);
    EXPECT_EQ(session.failure().kind, UpdateFailure::Kind::Refused);
    EXPECT_FALSE(store.load(a));
    EXPECT_FALSE(session.writeBackOwed());
}

TEST(LedCalibrationStoreFile, KeepsOneEntryPerSerial) {
    QTemporaryDir folder;
    LedCalibrationStore store(folder.path() + QStringLiteral("/a/b/levels.ini"));
    const LedCalibrationStore::Levels a{1, 2, 3, 4, 5, 6, 7, 8}, b{9, 9, 9, 9, 9, 9, 9, 200};
    EXPECT_FALSE(store.load(QString()));
    ASSERT_TRUE(store.save(QStringLiteral("A/1 [x]"), a));
    ASSERT_TRUE(store.save(QString(), b));
    EXPECT_EQ(LedCalibrationStore(store.filePath()).load(QStringLiteral("A/1 [x]")), std::optional(a));
    EXPECT_EQ(store.load(QString()), std::optional(b));
    EXPECT_FALSE(store.load(QStringLiteral("A/2")));
    ASSERT_TRUE(store.clear(QStringLiteral("A/1 [x]")));
    EXPECT_FALSE(store.load(QStringLiteral("A/1 [x]")));
    ASSERT_TRUE(store.clear(QString()));
    EXPECT_FALSE(store.load(QString()));

    // A file that is no database keeps nothing, and says so when written to.
    LedCalibrationStore garbage(folder.path() + QStringLiteral("/garbage"));
    QFile broken(garbage.filePath());
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write(QByteArray(4096, 'x'));
    broken.close();
    EXPECT_FALSE(garbage.load(QString()));
    EXPECT_FALSE(garbage.save(QString(), a));
    EXPECT_FALSE(garbage.lastError().isEmpty());
}

TEST_F(HubSessionReplies, LevelsThatCannotBeKeptAreShownSoTheyAreNotLost) {
    hub.model().setLedLevels(userLevels);
    QFile blocker(folder.path() + QStringLiteral("/not-a-folder"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    LedCalibrationStore unwritable(blocker.fileName() + QStringLiteral("/levels.ini"));
    session.setCalibrationStore(&unwritable);
    session.timing.modeWaitMs = 0; // the bootloader is never reached

    EXPECT_EQ(session.runUpdate(smallImage()), Result::BootloaderError);
    const QString said = report.log.filter(QStringLiteral("could not be kept")).value(0);
    EXPECT_TRUE(said.startsWith(QStringLiteral("The LED levels of hub serial:VH0001 could not be kept")))
        << report.log.join('\n').toStdString();
    EXPECT_TRUE(said.endsWith(QStringLiteral("note them down: 11 22 33 44 55 66 77 88.")))
        << said.toStdString();
    EXPECT_TRUE(session.writeBackOwed()); // still held by this session
}

// A stop is taken between two lines: the line being written is finished, no
// block is left half-sent, nothing times out, and the hub waits in its
// bootloader for the next try.
TEST_F(HubSessionReplies, AStopEndsTheUpdateBetweenTwoLines) {
    const int stopAt = 5; // line 0 carries no data: four blocks are written
    QObject::connect(&session, &HubSession::progress, [this, stopAt](int line) {
        if (line == stopAt)
            session.requestStop();
    });
    EXPECT_EQ(session.runUpdate(smallImage()), Result::Stopped);
    EXPECT_EQ(session.linesWritten(), stopAt);
    const std::vector<hubsim::WrittenBlock> all = expectedBlocks();
    EXPECT_EQ(hub.model().writtenBlocks(),
              std::vector<hubsim::WrittenBlock>(all.begin(), all.begin() + stopAt - 1));
    const std::vector<std::uint8_t> commands = commandsOf(hub);
    EXPECT_EQ(commands.size(), 4u + 2u * (stopAt - 1)); // GetMode, StartLedAdjust, EnterBootloader, GetMode
    EXPECT_EQ(commands.back(), CmdBlockWrite);
    EXPECT_FALSE(report.log.contains(QStringLiteral("Timeout.")));
    EXPECT_EQ(report.status.last(), QStringLiteral("Stopped with 5 of %1 lines written.").arg(DataLines + 1));
    EXPECT_EQ(hub.mode(), hubsim::HubMode::Bootloader);
    // The levels read before the stop are owed to the hub.
    EXPECT_TRUE(session.writeBackOwed());
}

// Asked before it starts, the update sends nothing; asked once the lines are
// all written, it runs to its end so that the hub gets its levels back.
TEST_F(HubSessionReplies, AStopIsTakenBeforeTheFirstFrameButNotAfterTheLastLine) {
    hub.model().setLedLevels(userLevels);
    QObject::connect(&session, &HubSession::stageChanged, [this](Stage stage) {
        if (stage == Stage::Rebooting)
            session.requestStop();
    });
    EXPECT_EQ(session.runUpdate(smallImage()), Result::Completed);
    EXPECT_EQ(report.log, CompletedLog);
    EXPECT_EQ(hub.model().ledLevels(), userLevels);
    EXPECT_EQ(session.linesWritten(), DataLines + 1);

    ASSERT_TRUE(session.stopRequested()); // it stays asked
    const std::uint64_t before = hub.model().framesReceived();
    report.stages.clear();
    EXPECT_EQ(session.runUpdate(smallImage()), Result::Stopped);
    EXPECT_EQ(hub.model().framesReceived(), before);
    EXPECT_TRUE(report.stages.empty());
}

// The command line's link: the read thread puts each report into the link
// itself, and no event runs while a reply is awaited. The rules that keep a
// reply with its frame hold all the same.
class HubConnectionOnReadThread : public HubSessionReplies {
protected:
    void SetUp() override {
        session.link().setDelivery(HubConnection::Delivery::OnReadThread);
        HubSessionReplies::SetUp();
        ASSERT_TRUE(session.device()->DeliversOnReadThread());
    }
};

TEST_F(HubConnectionOnReadThread, AnUpdateSendsTheSameFramesAndTracesThemInOrderOnItsThread) {
    hub.model().setLedLevels(userLevels);
    struct Traced {
        bool sent;
        QByteArray report;
    };
    std::vector<Traced> traced;
    bool elsewhere = false;
    QObject::connect(&session.link(), &HubConnection::reportWritten, [&](const QByteArray& frame) {
        elsewhere |= QThread::currentThread() != session.thread();
        traced.push_back({true, frame});
    });
    QObject::connect(&session.link(), &HubConnection::reportRead, [&](const QByteArray& answer) {
        elsewhere |= QThread::currentThread() != session.thread();
        traced.push_back({false, answer});
    });
    EXPECT_EQ(session.runUpdate(smallImage()), Result::Completed);
    EXPECT_EQ(report.log, CompletedLog);
    EXPECT_EQ(commandsOf(hub), normalRunCommands());
    EXPECT_EQ(hub.model().writtenBlocks(), expectedBlocks());
    EXPECT_EQ(hub.model().ledLevels(), userLevels);

    EXPECT_FALSE(elsewhere);
    // Every answer shows after the frame it answers and before the next one.
    int unanswered = 0;
    std::size_t reads = 0;
    for (const Traced& t : traced) {
        if (t.sent) {
            EXPECT_EQ(unanswered, 0) << "a frame went out before the last one's answer was traced";
            unanswered = 1;
        } else {
            EXPECT_EQ(unanswered, 1) << "an answer was traced with no frame out";
            unanswered = 0;
            ++reads;
        }
    }
    EXPECT_EQ(reads, hub.trace().reports(hubsim::TraceEntry::Direction::FromHub).size());
}

TEST_F(HubConnectionOnReadThread, LateAndRepeatedAnswersAreNotTakenForTheNextFrames) {
    setFaults([](hubsim::HubFaults& f) { f.replyDelayMs = 90; });
    EXPECT_EQ(session.readVersion(), std::optional<std::uint32_t>(0x11140000));
    EXPECT_EQ(session.QueryHubMode(), HubSession::Mode::Application); // not the version's second answer
    setFaults([](hubsim::HubFaults& f) { f.replyDelayMs = 0; });
    EXPECT_EQ(session.readVersion(), std::optional<std::uint32_t>(0x11140000));

    // Said twice alike: read by the reader before the next frame, and passed over.
    const std::uint64_t versionFrame = hub.model().framesReceived() + 1;
    setFaults([&](hubsim::HubFaults& f) { f.repeatReplyOnFrame.insert(versionFrame); });
    ASSERT_EQ(session.readVersion(), std::optional<std::uint32_t>(0x11140000));
    EXPECT_EQ(session.QueryHubMode(), HubSession::Mode::Application);
}

TEST_F(HubConnectionOnReadThread, AnAnswerContradictedByTheNextOneIsNeverPassed) {
    const std::uint64_t first = hub.model().framesReceived() + 1;
    const std::uint64_t lastWrite = first + 2 * DataLines + 3;
    setFaults([&](hubsim::HubFaults& f) { f.copyThenRefuseFrame = lastWrite; });
    EXPECT_EQ(session.runUpdate(smallImage()), Result::LineNotTaken);
    const std::vector<std::uint8_t> commands = commandsOf(hub);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), CmdReboot), 0);
    EXPECT_EQ(hub.model().writtenBlocks().size(), std::size_t(DataLines - 1));
}

TEST_F(HubConnectionOnReadThread, AStatusReportAndACopyAreNoAnswers) {
    const std::uint64_t first = hub.model().framesReceived() + 1;
    const std::uint64_t lastWrite = first + 2 * DataLines + 3;
    setFaults([&](hubsim::HubFaults& f) {
        for (std::uint64_t k = first; k < lastWrite; ++k)
            f.statusBeforeFrame.insert(k);
        f.copyThenRefuseFrame = lastWrite;
        f.copyThenRefuseGapMs = 30;
    });
    EXPECT_EQ(session.runUpdate(smallImage()), Result::LineNotTaken);
    EXPECT_EQ(session.failure().kind, UpdateFailure::Kind::Refused);
    EXPECT_EQ(session.failure().command, CmdBlockWrite);
    EXPECT_EQ(hub.model().writtenBlocks().size(), std::size_t(DataLines - 1));
}

// A silent hub costs the attempts' whole waits, on the read-thread link too.
TEST_F(HubConnectionOnReadThread, ASilentHubIsGivenUpAfterThreeFullWaits) {
    setFaults([](hubsim::HubFaults& f) { f.silent = true; });
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(session.link().SendFrame(CmdGetVersion, HubRequest{}), -1);
    EXPECT_GE(clock.elapsed(), 3 * (session.timing.replyTimeoutMs + 1));
    EXPECT_EQ(commandsOf(hub).size(), 3u);
}
