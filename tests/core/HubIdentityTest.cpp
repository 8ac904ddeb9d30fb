// Hub identity, the roster that follows a hub by it, and the state the
// programs share: kept levels, update locks, the history.

#include "HubIdentity.h"
#include "FirmwareImage.h"
#include "HidControllerClass.h"
#include "HubProtocol.h"
#include "HubRoster.h"
#include "HubSession.h"
#include "HubSessionSetup.h"
#include "HubUpdateLock.h"
#include "LedCalibrationStore.h"
#include "TestSupport.h"
#include "UpdateHistory.h"
#include "VirtualHidBus.h"
#include "VirtualHub.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#ifndef Q_OS_WIN
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <thread>

namespace {

THidPnPInfo pnp(const QString& serial, const QString& port,
                const QString& path = QStringLiteral("/dev/hidraw9")) {
    HidInterfaceDetail detail;
    detail.path = path;
    detail.serialNumber = serial;
    detail.port = port;
    return THidPnPInfo(detail);
}

} // namespace

TEST(HubIdentity, SerialFirstThenPortThenPathAndBackFromTheKey) {
    const HubIdentity bySerial =
        HubIdentity::of(pnp(QStringLiteral(" ABC123 "), QStringLiteral("usb-1/input0")));
    EXPECT_TRUE(bySerial.isSerial());
    EXPECT_EQ(bySerial.key(), QStringLiteral("serial:ABC123"));
    const HubIdentity byPort =
        HubIdentity::of(pnp(QStringLiteral("  "), QStringLiteral("usb-0000:00:14.0-2/input0")));
    EXPECT_TRUE(byPort.isPort());
    EXPECT_EQ(byPort.key(), QStringLiteral("port:usb-0000:00:14.0-2/input0"));
    EXPECT_EQ(HubIdentity::of(pnp({}, {})).key(), QStringLiteral("port:/dev/hidraw9"));
    EXPECT_FALSE(HubIdentity::of(static_cast<const THidDevice*>(nullptr)).isValid());

    // A serial that looks like a port is still a serial: the kind is part of the identity.
    EXPECT_NE(HubIdentity::serial(QStringLiteral("usb-1")), HubIdentity::port(QStringLiteral("usb-1")));
    for (const HubIdentity& id : {bySerial, byPort})
        EXPECT_EQ(HubIdentity::fromKey(id.key()), id);
    EXPECT_FALSE(HubIdentity::fromKey(QStringLiteral("ABC123")).isValid());
    EXPECT_FALSE(HubIdentity::fromKey(QStringLiteral("serial:")).isValid());
}

TEST(HubRoster, FollowsItsHubAcrossARestartWhateverComesFirstInTheList) {
    VirtualHidBus bus;
    VirtualHub first(bus), second(bus);
    first.setSerial(QStringLiteral("QA-1"));
    second.setSerial({}); // known by its port only
    first.setRestartDelays(20, 20);
    ASSERT_TRUE(second.plug());
    ASSERT_TRUE(first.plug());
    THidDeviceController controller(nullptr, bus);
    ASSERT_TRUE(testsupport::waitUntil([&] { return controller.FirstPassDone(); }));

    HubRoster roster(HubRoster::holding(controller));
    EXPECT_EQ(roster.refreshHub(), nullptr); // nothing followed, nothing handed out
    roster.follow(HubIdentity::serial(QStringLiteral("QA-1")));
    THidDevice* found = roster.refreshHub();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->PnPInfo()->InstanceNumber, bus.instanceNumber(first.deviceId()));
    const quint32 before = found->PnPInfo()->InstanceNumber;

    // The hub restarts: a new device, behind the other hub in the list.
    first.unplug();
    EXPECT_EQ(roster.refreshHub(), nullptr);
    ASSERT_TRUE(first.plug());
    found = roster.refreshHub();
    ASSERT_NE(found, nullptr);
    EXPECT_NE(found->PnPInfo()->InstanceNumber, before);
    EXPECT_EQ(HubIdentity::of(found).key(), QStringLiteral("serial:QA-1"));

    // The hub without a serial: by the port the bus gives it, across a replug.
    roster.follow(HubIdentity::port(QStringLiteral("virtual-%1").arg(second.deviceId())));
    found = roster.refreshHub();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->PnPInfo()->InstanceNumber, bus.instanceNumber(second.deviceId()));
}

// Two hubs on one bus, serial numbers A and B.
struct TwoHubs {
    VirtualHidBus bus;
    VirtualHub a{bus};
    VirtualHub b{bus};
    TwoHubs() {
        a.setSerial(QStringLiteral("A"));
        b.setSerial(QStringLiteral("B"));
    }
    bool plug() { return a.plug() && b.plug(); }
};

TEST(HubRoster, PicksTheFollowedHubOrNoneFromAList) {
    TwoHubs hubs;
    ASSERT_TRUE(hubs.plug());
    THidDeviceController controller(nullptr, hubs.bus);
    ASSERT_TRUE(testsupport::waitUntil([&] { return controller.FirstPassDone(); }));
    CheckedOutDevice heldA, heldB;
    ASSERT_TRUE(controller.CheckOutNext(heldA));
    ASSERT_TRUE(controller.CheckOutNext(heldB));
    THidDevice* const da = heldA.get();
    THidDevice* const db = heldB.get();
    const QList<THidDevice*> list{da, db};
    HubRoster roster{HubRoster::Finder()};
    EXPECT_EQ(roster.pick(list), 0);
    EXPECT_EQ(roster.pick({}), -1);
    roster.follow(HubIdentity::of(db));
    EXPECT_EQ(roster.pick(list), 1);
    EXPECT_EQ(roster.pick({da}), -1); // away: never the other hub instead
}

// The command line's jobs share one controller, each thread following its own
// hub while the hubs restart and the controller's own thread runs the passes
// their notices bring: no thread is ever handed another's hub, writes may meet
// a pass that closes a hub that left, and each ends up holding its own hub as
// it came back.
TEST(HubRoster, ThreadsSharingAControllerEachHoldTheirOwnHub) {
    TwoHubs hubs;
    ASSERT_TRUE(hubs.plug());
    // A device this user may not open yet: the threads' passes plan the
    // retries that the controller's thread runs.
    VirtualHidDeviceSetup locked;
    locked.name = QStringLiteral("locked");
    locked.readWriteAccess = false;
    hubs.bus.plug(locked);
    THidDeviceController controller(nullptr, hubs.bus);
    ASSERT_TRUE(testsupport::waitUntil([&] { return controller.FirstPassDone(); }));

    const std::optional<HubReport> frame = buildHubFrame(CmdGetMode, hubrequest::withoutPayload());
    ASSERT_TRUE(frame.has_value());
    std::atomic<bool> restarting{true};
    std::atomic<int> strangers{0};
    std::atomic<int> found{0};
    auto follow = [&](const QString& serial, quint32* heldAtEnd) {
        HubRoster roster(HubRoster::holding(controller));
        roster.follow(HubIdentity::serial(serial));
        while (restarting.load()) {
            THidDevice* const hub = roster.refreshHub();
            if (!hub)
                continue;
            found.fetch_add(1);
            if (hub->PnPInfo()->SerialNumber != serial)
                strangers.fetch_add(1);
            HIDP_CAPS caps;
            hub->QueryCaps(caps);
            quint32 written = 0;
            hub->WriteReport(frame->data(), int(frame->size()), written);
        }
        THidDevice* const hub = roster.refreshHub();
        *heldAtEnd = hub ? hub->PnPInfo()->InstanceNumber : 0;
    };
    quint32 heldA = 0;
    quint32 heldB = 0;
    std::thread followA(follow, QStringLiteral("A"), &heldA);
    std::thread followB(follow, QStringLiteral("B"), &heldB);
    for (int round = 0; round < 50; ++round) {
        // The threads hold and write to the hubs when they leave.
        const int before = found.load();
        ASSERT_TRUE(testsupport::waitUntil([&] { return found.load() >= before + 4; }));
        hubs.a.unplug();
        hubs.b.unplug();
        QCoreApplication::processEvents();
        ASSERT_TRUE(hubs.a.plug());
        ASSERT_TRUE(hubs.b.plug());
        QCoreApplication::processEvents();
    }
    restarting = false;
    followA.join();
    followB.join();
    EXPECT_EQ(strangers.load(), 0);
    EXPECT_EQ(heldA, hubs.bus.instanceNumber(hubs.a.deviceId()));
    EXPECT_EQ(heldB, hubs.bus.instanceNumber(hubs.b.deviceId()));
    EXPECT_EQ(controller.CheckedOutCount(), 0); // each gave its hub back as its roster went
}

TEST(HubUpdateLock, OneHolderPerHubUntilItLetsGo) {
    QTemporaryDir folder;
    const HubIdentity hub = HubIdentity::serial(QStringLiteral("QA-1"));
    HubUpdateLock first(folder.path(), hub);
    HubUpdateLock second(folder.path(), hub);
    HubUpdateLock otherHub(folder.path(), HubIdentity::port(QStringLiteral("usb-1/input0")));
    ASSERT_TRUE(first.tryLock());
    EXPECT_FALSE(second.tryLock());
    EXPECT_TRUE(second.holder().contains(QString::number(QCoreApplication::applicationPid())))
        << second.holder().toStdString();
    EXPECT_TRUE(second.heldByAnother());
    EXPECT_TRUE(otherHub.tryLock()); // another hub is another lock
    first.unlock();
    EXPECT_TRUE(second.tryLock());
    EXPECT_FALSE(first.tryLock());

    // A folder that cannot be made is no other holder: the update is not refused for it.
    QFile blocker(folder.filePath(QStringLiteral("file")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    HubUpdateLock nowhere(blocker.fileName() + QStringLiteral("/locks"), hub);
    EXPECT_FALSE(nowhere.tryLock());
    EXPECT_FALSE(nowhere.heldByAnother());
}

TEST(StateFile, AStoreWaitsForTheLockAndSaysWhyWhenItCannotHaveIt) {
    QTemporaryDir folder;
    LedCalibrationStore store(folder.path() + QStringLiteral("/levels.ini"));
    const LedCalibrationStore::Levels levels{1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(store.save(QStringLiteral("serial:A"), levels, {},
                           QDateTime(QDate(2026, 3, 1), QTime(9, 30), Qt::UTC)));

    // Another program in the middle of its write: ours must not interleave.
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
        other.setDatabaseName(store.filePath());
        ASSERT_TRUE(other.open());
        QSqlQuery(other).exec(QStringLiteral("BEGIN IMMEDIATE"));
        store.setLockTimeoutMs(50);
        EXPECT_FALSE(store.save(QStringLiteral("serial:B"), levels));
        EXPECT_TRUE(store.lastError().contains(QStringLiteral("locked"))) << store.lastError().toStdString();
        EXPECT_FALSE(store.clear(QStringLiteral("serial:A")));
        QSqlQuery(other).exec(QStringLiteral("ROLLBACK"));
        other.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("other"));
    EXPECT_TRUE(store.save(QStringLiteral("serial:B"), levels)) << store.lastError().toStdString();
    const auto a = store.entry(QStringLiteral("serial:A"));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->readAt, QDateTime(QDate(2026, 3, 1), QTime(9, 30), Qt::UTC));
    EXPECT_EQ(store.load(QStringLiteral("serial:B")), std::optional(levels));

    // A state folder that cannot be made: the save fails and says why.
    QFile blocker(folder.path() + QStringLiteral("/file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    LedCalibrationStore nowhere(blocker.fileName() + QStringLiteral("/levels.ini"));
    EXPECT_FALSE(nowhere.save(QStringLiteral("serial:A"), levels));
    EXPECT_FALSE(nowhere.lastError().isEmpty());
}

TEST(StateFile, ManyWritersLoseNoEntry) {
    QTemporaryDir folder;
    const QString path = folder.path() + QStringLiteral("/levels.ini");
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([path, t] {
            LedCalibrationStore store(path);
            for (int i = 0; i < 10; ++i)
                store.save(QStringLiteral("serial:%1-%2").arg(t).arg(i), {std::uint8_t(t), std::uint8_t(i)});
        });
    }
    for (auto& writer : writers)
        writer.join();
    LedCalibrationStore store(path);
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 10; ++i)
            EXPECT_EQ(store.load(QStringLiteral("serial:%1-%2").arg(t).arg(i)),
                      std::optional(LedCalibrationStore::Levels{std::uint8_t(t), std::uint8_t(i)}));
}

TEST(UpdateHistoryFile, AppendsReadsBackAndStaysBounded) {
    QTemporaryDir folder;
    UpdateHistory history(folder.path() + QStringLiteral("/state/state.sqlite"));

    UpdateRecord r;
    r.time = QDateTime(QDate(2026, 12, 24), QTime(8, 0, 0, 5), Qt::UTC);
    r.hub = QStringLiteral("port:usb-0000:00:14.0-2/input0");
    r.program = QStringLiteral("quorvi-hub");
    r.versionBefore = 0x11150905;
    r.result = QStringLiteral("refused");
    r.failure.kind = UpdateFailure::Kind::Refused;
    r.failure.step = UpdateFailure::Step::Programming;
    r.failure.command = 0xA1;
    r.failure.result = 1;
    r.failure.line = 12;
    r.failure.lineCount = 40;
    r.resultText = QStringLiteral("kept");
    r.levelsRead = UpdateRecord::Levels{1, 2, 3, 4, 5, 6, 7, 100};
    r.calibration = QStringLiteral("kept");
    ASSERT_TRUE(history.append(r));
    const QList<UpdateRecord> back = history.read();
    ASSERT_EQ(back.size(), 1);
    EXPECT_EQ(back[0].time, r.time);
    EXPECT_EQ(back[0].hub, r.hub);
    EXPECT_EQ(back[0].versionBefore, r.versionBefore);
    EXPECT_FALSE(back[0].versionAfter);
    EXPECT_EQ(back[0].levelsRead, r.levelsRead);
    EXPECT_FALSE(back[0].levelsWritten);
    EXPECT_EQ(back[0].failure.kind, UpdateFailure::Kind::Refused);
    EXPECT_EQ(back[0].failure.step, UpdateFailure::Step::Programming);
    EXPECT_EQ(back[0].failure.line, 12);
    EXPECT_EQ(back[0].failure.result, 1);
    EXPECT_EQ(back[0].calibration, QStringLiteral("kept"));

    history.setMaxRecords(20);
    for (int i = 0; i < 60; ++i) {
        r.resultText = QString::number(i);
        ASSERT_TRUE(history.append(r)) << history.lastError().toStdString();
    }
    const QList<UpdateRecord> kept = history.read();
    ASSERT_EQ(kept.size(), 20);
    // The newest are kept, oldest first.
    for (qsizetype i = 0; i < kept.size(); ++i)
        EXPECT_EQ(kept[i].resultText.toInt(), 40 + i);
}

namespace {

// One virtual hub, followed by a roster, and a session on it.
struct LockedHub : ::testing::Test {
    VirtualHidBus bus;
    VirtualHub hub{bus};
    std::unique_ptr<THidDeviceController> controller;
    HubSession session;
    std::unique_ptr<HubRoster> roster;
    QStringList log;
    QTemporaryDir folder;

    void SetUp() override {
        hub.setSerial(QStringLiteral("QA-1"));
        hub.setRestartDelays(20, 20);
        ASSERT_TRUE(hub.plug());
        controller = std::make_unique<THidDeviceController>(nullptr, bus);
        ASSERT_TRUE(testsupport::waitUntil([&] { return controller->FirstPassDone(); }));
        session.timing.writePauseMs = 1;
        session.timing.modePollMs = 25;
        session.timing.modeWaitMs = 2000;
        roster = std::make_unique<HubRoster>(HubRoster::holding(*controller, &session));
        roster->follow(HubIdentity::serial(QStringLiteral("QA-1")));
        session.setLocator(roster.get());
        session.attach(roster->refreshHub());
        ASSERT_NE(session.device(), nullptr);
        session.setUpdateLockFolder(folder.path());
        QObject::connect(&session, &HubSession::logLine, [this](const QString& text) { log << text; });
    }
    std::size_t framesSent() { return hub.trace().reports(hubsim::TraceEntry::Direction::ToHub).size(); }
    static FirmwareImage image() {
        FirmwareImage image;
        image.load(":00000000\r\n:1130000000102030405060708090A0B0C0D0E0F\r\n");
        return image;
    }
};

} // namespace

TEST(HubIdentity, AnyKeyGivesABoundedSafeFileName) {
    const QString odd = QString(300, QLatin1Char('A')) + QStringLiteral("/../\x1b[2J\n");
    const HubIdentity a = HubIdentity::serial(odd);
    const HubIdentity b = HubIdentity::serial(odd + QLatin1Char('x')); // differs past the readable part
    const QRegularExpression safe(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
    for (const HubIdentity& id : {a, b, HubIdentity::port(QStringLiteral("usb-0000:00:14.0-2/input0"))})
        EXPECT_TRUE(safe.match(id.fileName()).hasMatch()) << id.fileName().toStdString();
    EXPECT_NE(a.fileName(), b.fileName());
    EXPECT_TRUE(HubIdentity::port(QStringLiteral("usb-1/input0"))
                    .fileName()
                    .startsWith(QStringLiteral("port_usb-1_input0-")));

    // Such a hub is locked like any other.
    QTemporaryDir folder;
    HubUpdateLock lock(folder.path(), a);
    EXPECT_TRUE(lock.tryLock()) << lock.error().toStdString();
    EXPECT_TRUE(HubUpdateLock(folder.path(), a).isHeldElsewhere());
}

TEST_F(LockedHub, AnUpdateWhoseLockCannotBeMadeStopsUnlessToldOtherwise) {
    QFile blocker(folder.filePath(QStringLiteral("file")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    session.setUpdateLockFolder(blocker.fileName() + QStringLiteral("/locks"));
    EXPECT_EQ(session.runUpdate(image()), HubSession::UpdateResult::LockFailed);
    ASSERT_FALSE(log.isEmpty());
    EXPECT_TRUE(log.first().startsWith(QStringLiteral("Cannot lock hub serial:QA-1: ")))
        << log.first().toStdString();
    EXPECT_EQ(session.failure().kind, UpdateFailure::Kind::LockFailed);
    EXPECT_EQ(framesSent(), 0u);

    log.clear();
    session.setLockRequired(false);
    EXPECT_NE(session.runUpdate(image()), HubSession::UpdateResult::LockFailed);
    EXPECT_TRUE(log.first().contains(QStringLiteral("not kept from updating"))) << log.first().toStdString();
    EXPECT_GT(framesSent(), 0u);
}

// Every exchange, not only an update, leaves a hub alone that another program updates.
TEST_F(LockedHub, AHubLockedElsewhereGetsNoFrameFromAnyExchange) {
    HubUpdateLock other(folder.path(), HubIdentity::serial(QStringLiteral("QA-1")));
    ASSERT_TRUE(other.tryLock());
    EXPECT_EQ(session.QueryHubMode(), HubSession::Mode::None);
    EXPECT_FALSE(session.readVersion());
    EXPECT_FALSE(session.readRunData());
    EXPECT_FALSE(session.startLedAdjust());
    EXPECT_EQ(session.setLedLevel(1, 50), -1);
    EXPECT_EQ(session.endLedAdjust(), -1);
    EXPECT_EQ(session.runUpdate(image()), HubSession::UpdateResult::HubBusy);
    EXPECT_EQ(framesSent(), 0u);
    ASSERT_FALSE(log.isEmpty());
    EXPECT_TRUE(log.first().startsWith(QStringLiteral("Another program is updating hub serial:QA-1")));
    EXPECT_EQ(log.count(log.first()), 1); // said once while it lasts

    other.unlock();
    EXPECT_TRUE(session.readVersion());
    EXPECT_GT(framesSent(), 0u);
}

#ifndef Q_OS_WIN
// The lock is the machine's: another process (another user alike) has it until
// it lets go or dies; a hostile folder or link is refused, not trusted.
TEST(HubUpdateLock, AnotherProcessHoldsItUntilItDiesAndTrapsAreRefused) {
    QTemporaryDir folder;
    const HubIdentity hub = HubIdentity::serial(QStringLiteral("QA-1"));
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HubUpdateLock held(folder.path(), hub);
        const char c = held.tryLock() ? 'y' : 'n';
        [[maybe_unused]] const ssize_t w = ::write(ready[1], &c, 1);
        ::pause();
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    HubUpdateLock mine(folder.path(), hub);
    EXPECT_TRUE(mine.isHeldElsewhere());
    EXPECT_FALSE(mine.tryLock());
    EXPECT_TRUE(mine.heldByAnother());
    EXPECT_TRUE(mine.holder().contains(QString::number(child))) << mine.holder().toStdString();
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(mine.tryLock()); // the kernel let go with the process
    EXPECT_EQ(QFileInfo(mine.path()).permissions() & QFileDevice::WriteOther, QFileDevice::WriteOther);
    ::close(ready[0]);
    ::close(ready[1]);

    const HubIdentity other = HubIdentity::serial(QStringLiteral("QB-2"));
    ASSERT_TRUE(QFile::link(folder.filePath(QStringLiteral("elsewhere")),
                            HubUpdateLock(folder.path(), other).path()));
    HubUpdateLock linked(folder.path(), other);
    EXPECT_FALSE(linked.tryLock());
    EXPECT_FALSE(linked.heldByAnother());
    EXPECT_FALSE(QFileInfo::exists(folder.filePath(QStringLiteral("elsewhere"))));

    ASSERT_TRUE(QFile::setPermissions(folder.path(), QFileDevice::Permissions(0x7777)));
    HubUpdateLock open(folder.path(), other);
    EXPECT_FALSE(open.tryLock()); // world-writable without the sticky bit
    EXPECT_TRUE(open.error().contains(QStringLiteral("other users"))) << open.error().toStdString();
}

// Not per user: the folder does not follow the user's home or state folder.
TEST(HubUpdateLock, TheMachineFolderIsEveryUsersUnlessSetForTests) {
    const QByteArray home = qgetenv("HOME");
    const QByteArray state = qgetenv("XDG_STATE_HOME");
    qunsetenv("QUORVI_LOCK_DIR");
    const QString first = HubUpdateLock::machineFolder();
    qputenv("HOME", "/nonexistent/a");
    qputenv("XDG_STATE_HOME", "/nonexistent/b");
    EXPECT_EQ(HubUpdateLock::machineFolder(), first);
    EXPECT_FALSE(first.startsWith(QString::fromLocal8Bit(home)));
    qputenv("HOME", home);
    qputenv("XDG_STATE_HOME", state);
    qputenv("QUORVI_LOCK_DIR", "/some/where");
    EXPECT_EQ(HubUpdateLock::machineFolder(), QStringLiteral("/some/where"));
    qunsetenv("QUORVI_LOCK_DIR");
}
#endif

// The window and the command line set their sessions up alike: the system's
// hubs are locked where every program on the machine looks, virtual ones
// beside the state file, and without a state file nothing is kept.
TEST(HubSessionSetup, SystemHubsLockForTheMachineVirtualOnesBesideTheState) {
    struct SystemBus : VirtualHidBus {
        bool isInProcess() const override { return false; }
    };
    qputenv("QUORVI_LOCK_DIR", "/machine/locks");
    const QString state = QStringLiteral("/some/state.sqlite");
    HubSession session;
    HubRoster roster([](const HubRoster::Choose&) { return nullptr; });

    const SystemBus systemBus;
    HubSessionSetup system(systemBus, QString());
    system.apply(session, roster);
    EXPECT_EQ(session.updateLockFolder(), QStringLiteral("/machine/locks"));
    EXPECT_EQ(session.locator(), &roster);

    VirtualHidBus bus;
    HubSessionSetup keeping(bus, state);
    keeping.apply(session, roster);
    EXPECT_EQ(session.updateLockFolder(), HubUpdateLock::folderFor(state));
    EXPECT_EQ(keeping.history().filePath(), state);

    HubSessionSetup none(bus, QString());
    none.apply(session, roster);
    EXPECT_TRUE(session.updateLockFolder().isEmpty());
    qunsetenv("QUORVI_LOCK_DIR");
}

// Two hubs with one serial number: both are known by their ports while they
// are both plugged in, and a followed one stays followed by its port.
TEST(HubRoster, TwinsAreKnownByTheirPortsAndAFollowedOneKeepsItsPort) {
    VirtualHidBus bus;
    VirtualHub a(bus), b(bus);
    a.setSerial(QStringLiteral("SAME"));
    b.setSerial(QStringLiteral("SAME"));
    a.setRestartDelays(20, 20);
    ASSERT_TRUE(a.plug());
    THidDeviceController controller(nullptr, bus);
    ASSERT_TRUE(testsupport::waitUntil([&] { return controller.FirstPassDone(); }));
    HubRoster roster(HubRoster::holding(controller));
    QStringList notes;
    roster.onNote = [&notes](const QString& text) { notes << text; };
    roster.follow(HubIdentity::serial(QStringLiteral("SAME")));
    THidDevice* found = roster.refreshHub();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(roster.hubIdentity(found).key(), QStringLiteral("serial:SAME"));

    // The twin arrives while the followed hub restarts: it is never taken for it.
    a.unplug();
    ASSERT_TRUE(b.plug());
    EXPECT_EQ(roster.refreshHub(), nullptr);
    ASSERT_TRUE(a.plug());
    found = roster.refreshHub();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->PnPInfo()->InstanceNumber, bus.instanceNumber(a.deviceId()));
    EXPECT_EQ(roster.hubIdentity(found).key(), QStringLiteral("port:virtual-%1").arg(a.deviceId()));
    EXPECT_EQ(notes, QStringList{QStringLiteral("Two hubs share serial number SAME: known by their ports.")});

    // Followed by its port from the start, it is found among twins.
    HubRoster byPort(HubRoster::holding(controller));
    byPort.follow(HubIdentity::port(QStringLiteral("virtual-%1").arg(b.deviceId())));
    THidDevice* twin = byPort.refreshHub();
    ASSERT_NE(twin, nullptr);
    EXPECT_EQ(twin->PnPInfo()->InstanceNumber, bus.instanceNumber(b.deviceId()));
}
