// Hub identity, the roster that follows a hub by it, and the state the
// programs share: kept levels, update locks, the history.

#include "HubIdentity.h"
#include "HidControllerClass.h"
#include "HubRoster.h"
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
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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

    HubRoster roster(controller);
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

TEST(HubRoster, PicksTheFollowedHubOrNoneFromAList) {
    VirtualHidBus bus;
    VirtualHub a(bus), b(bus);
    a.setSerial(QStringLiteral("A"));
    b.setSerial(QStringLiteral("B"));
    ASSERT_TRUE(a.plug());
    ASSERT_TRUE(b.plug());
    THidDeviceController controller(nullptr, bus);
    ASSERT_TRUE(testsupport::waitUntil([&] { return controller.FirstPassDone(); }));
    CheckedOutDevice heldA, heldB;
    ASSERT_TRUE(controller.CheckOutNext(heldA));
    ASSERT_TRUE(controller.CheckOutNext(heldB));
    THidDevice* const da = heldA.get();
    THidDevice* const db = heldB.get();
    const QList<THidDevice*> list{da, db};
    HubRoster roster([] { return nullptr; });
    EXPECT_EQ(roster.pick(list), 0);
    EXPECT_EQ(roster.pick({}), -1);
    roster.follow(HubIdentity::of(db));
    EXPECT_EQ(roster.pick(list), 1);
    EXPECT_EQ(roster.pick({da}), -1); // away: never the other hub instead
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
