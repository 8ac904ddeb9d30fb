// The runner carries out every fault the same way on every transport: the
// virtual bus, and a stand-in for /dev/uhid with uhid's traits (a pause
// before the detach, no count of unread reports). The fault names, their
// syntax and their help texts are checked against the knobs they set.

#include "HubRunner.h"
#include "BusHost.h"
#include "HubFaultNames.h"
#include "HubProtocol.h"
#include "PreciseSleeper.h"
#include "SimScheduler.h"
#include "TestSupport.h"
#include "VirtualHub.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <sstream>

#if defined(__linux__)
#include "UhidHub.h"

#include <sys/stat.h>
#endif

using namespace hubsim;

namespace {

Bytes frame(std::uint8_t command, std::initializer_list<std::uint8_t> payload = {}) {
    HubRequest request;
    request.assign(payload);
    const auto report = buildHubFrame(command, request);
    return Bytes(report->begin(), report->end());
}

Bytes blockFrame(std::uint8_t command, const Bytes& data) {
    HubRequest request;
    Bytes payload{0, 0, 0, 0};
    payload.insert(payload.end(), data.begin(), data.end());
    request.assign(payload);
    const auto report = buildHubFrame(command, request);
    return Bytes(report->begin(), report->end());
}

// /dev/uhid as the runner sees it, without the kernel.
class FakeUhidTransport : public HubTransport {
public:
    bool attach(const Identity& given) override {
        std::lock_guard lock(mutex);
        attached = true;
        ++attachCount;
        identity = given;
        return true;
    }
    void detach() override {
        std::lock_guard lock(mutex);
        attached = false;
    }
    bool send(const Bytes&) override {
        std::lock_guard lock(mutex);
        return attached;
    }
    std::chrono::milliseconds detachDelay() const override {
        return std::chrono::milliseconds(20);
    } // as uhid's
    void setIdentity(const Identity& given) override {
        std::lock_guard lock(mutex);
        identity.access = given.access;
    }

    mutable std::mutex mutex;
    bool attached = false;
    int attachCount = 0;
    Identity identity;
};

// One hub on one transport, driven and watched the same way on each.
class Rig {
public:
    virtual ~Rig() = default;
    virtual HubModel& model() = 0;
    virtual HubTrace& trace() = 0;
    virtual void setFaults(const HubFaults& faults) = 0;
    virtual bool plug() = 0;
    virtual bool write(const Bytes& report) = 0;
    virtual bool attached() = 0;
    virtual int attaches() = 0;
    virtual HubTransport::Identity identity() = 0;

    std::vector<Bytes> answers() { return trace().reports(TraceEntry::Direction::FromHub); }
    bool waitForAnswers(std::size_t count) {
        return testsupport::waitUntil([&] { return answers().size() >= count; }, 3000);
    }
};

class UhidRig : public Rig {
public:
    UhidRig() = default;
    HubModel& model() override { return runner.model(); }
    HubTrace& trace() override { return runner.trace(); }
    void setFaults(const HubFaults& faults) override { runner.setFaults(faults); }
    bool plug() override { return runner.plug(); }
    bool write(const Bytes& report) override {
        if (!attached())
            return false;
        runner.receive(report);
        return true;
    }
    bool attached() override {
        std::lock_guard lock(transport.mutex);
        return transport.attached;
    }
    int attaches() override {
        std::lock_guard lock(transport.mutex);
        return transport.attachCount;
    }
    HubTransport::Identity identity() override {
        std::lock_guard lock(transport.mutex);
        return transport.identity;
    }

    FakeUhidTransport transport;
    HubRunner runner{transport};
};

class BusRig : public Rig {
public:
    HubModel& model() override { return hub.model(); }
    HubTrace& trace() override { return hub.trace(); }
    void setFaults(const HubFaults& faults) override { hub.setFaults(faults); }
    bool plug() override { return hub.plug(); }
    bool write(const Bytes& report) override {
        // After a restart the hub is a new device: open it again.
        const quint32 instance = bus.instanceNumber(hub.deviceId());
        if (instance != openInstance) {
            if (!host.open(hub.deviceId()))
                return false;
            openInstance = instance;
        }
        const bool ok =
            host.write(QByteArray(reinterpret_cast<const char*>(report.data()), int(report.size())));
        // The bus counts a report as taken once read: read what comes.
        while (host.read(1)) {
        }
        return ok;
    }
    bool attached() override {
        while (host.read(1)) {
        }
        return bus.isPlugged(hub.deviceId());
    }
    int attaches() override {
        const quint32 instance = bus.instanceNumber(hub.deviceId());
        if (instance != 0)
            instances.insert(instance);
        return int(instances.size());
    }
    HubTransport::Identity identity() override {
        HubTransport::Identity seen;
        bus.loadSetupLibrary();
        const auto set = bus.getClassDevices(bus.hidGuid());
        for (int i = 0; set && set->enumInterface(i); ++i) {
            HidInterfaceDetail detail;
            if (set->interfaceDetail(i, detail) &&
                detail.instanceNumber == bus.instanceNumber(hub.deviceId())) {
                seen.serial = detail.serialNumber.toStdString();
                BusHost probe(bus);
                seen.access = probe.open(hub.deviceId());
            }
        }
        return seen;
    }

    VirtualHidBus bus;
    VirtualHub hub{bus};
    BusHost host{bus};
    quint32 openInstance = 0;
    std::set<quint32> instances;
};

class EveryFault : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (std::string_view(GetParam()) == "uhid")
            rig = std::make_unique<UhidRig>();
        else
            rig = std::make_unique<BusRig>();
        rig->model().setRestartDelays(30, 30);
    }

    // Sets the one fault, plugs the hub in and lets it answer a first frame,
    // so frame numbers in faults count from it.
    void start(const char* fault) {
        std::string why;
        const auto request = parseFault(fault, 0, &why);
        ASSERT_TRUE(request) << why;
        HubFaults faults;
        applyFault(*request, faults);
        rig->setFaults(faults);
        ASSERT_TRUE(rig->plug());
    }

    // A frame after the faulty ones, answered normally: what came before it
    // is all there is.
    void sentinel(std::size_t answersBefore) {
        rig->setFaults({});
        ASSERT_TRUE(rig->write(frame(CmdGetVersion, {0})));
        ASSERT_TRUE(rig->waitForAnswers(answersBefore + 1));
        EXPECT_EQ(rig->answers().back()[4], CmdGetVersion);
    }

    void offTheBusAfterRestart() {
        ASSERT_TRUE(testsupport::waitUntil([&] { return !rig->attached(); }, 3000));
        testsupport::pumpFor(150); // five times the restart delay
    }

    std::unique_ptr<Rig> rig;
};

} // namespace

TEST_P(EveryFault, SilentWrongMarkerShortAndRepeatedReplies) {
    start("silent");
    ASSERT_TRUE(rig->write(frame(CmdGetMode)));
    sentinel(0);
    EXPECT_EQ(rig->answers().size(), 1u);

    rig->trace().clear();
    start("wrong-marker");
    ASSERT_TRUE(rig->write(frame(CmdGetMode)));
    ASSERT_TRUE(rig->waitForAnswers(1));
    EXPECT_NE(rig->answers()[0][1], 0x55);

    rig->trace().clear();
    start("short-reply@5");
    ASSERT_TRUE(rig->write(frame(CmdGetMode)));
    ASSERT_TRUE(rig->waitForAnswers(1));
    EXPECT_EQ(rig->answers()[0].size(), 6u);

    rig->trace().clear();
    start(("repeat-reply@" + std::to_string(rig->model().framesReceived() + 1)).c_str());
    ASSERT_TRUE(rig->write(frame(CmdGetMode)));
    sentinel(2);
    const auto answers = rig->answers();
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0], answers[1]);
    EXPECT_EQ(answers[0][4], CmdGetMode);
}

TEST_P(EveryFault, FailAndCopyThenRefuseOnTheirFrames) {
    start(("fail@" + std::to_string(rig->model().framesReceived() + 2)).c_str());
    ASSERT_TRUE(rig->write(frame(CmdGetVersion, {0})));
    ASSERT_TRUE(rig->write(frame(CmdGetVersion, {0})));
    ASSERT_TRUE(rig->waitForAnswers(2));
    EXPECT_EQ(rig->answers()[0][5], 0x00);
    EXPECT_EQ(rig->answers()[1][5], 0x01);

    rig->trace().clear();
    start(("copy-then-refuse@" + std::to_string(rig->model().framesReceived() + 2)).c_str());
    ASSERT_TRUE(rig->write(frame(CmdGetVersion, {0})));
    ASSERT_TRUE(rig->write(frame(CmdGetMode)));
    ASSERT_TRUE(rig->waitForAnswers(3));
    const auto answers = rig->answers();
    EXPECT_EQ(answers[1], answers[0]); // the copy of the previous answer
    EXPECT_EQ(answers[2][4], CmdGetMode);
    EXPECT_EQ(answers[2][5], ResultBlockMismatch);

    // With a gap the refusal comes that much later, and a frame sent in the
    // gap is answered only after it: the firmware answers in order.
    rig->trace().clear();
    start(("copy-then-refuse@" + std::to_string(rig->model().framesReceived() + 2) + ":40").c_str());
    ASSERT_TRUE(rig->write(frame(CmdGetVersion, {0})));
    ASSERT_TRUE(rig->write(frame(CmdGetMode)));
    ASSERT_TRUE(rig->write(frame(CmdGetVersion, {0})));
    ASSERT_TRUE(rig->waitForAnswers(4));
    const auto entries = rig->trace().entries();
    std::vector<TraceEntry> fromHub;
    std::copy_if(entries.begin(), entries.end(), std::back_inserter(fromHub),
                 [](const TraceEntry& e) { return e.direction == TraceEntry::Direction::FromHub; });
    ASSERT_EQ(fromHub.size(), 4u);
    EXPECT_EQ(fromHub[1].bytes, fromHub[0].bytes);
    EXPECT_EQ(fromHub[2].bytes[5], ResultBlockMismatch);
    // Counted from the frame it refuses: the copy itself may leave a little late.
    const auto refused = std::find_if(entries.begin(), entries.end(), [](const TraceEntry& e) {
        return e.direction == TraceEntry::Direction::ToHub && e.bytes[4] == CmdGetMode;
    });
    ASSERT_NE(refused, entries.end());
    EXPECT_GE(fromHub[2].timeNs - refused->timeNs, 40'000'000);
    EXPECT_EQ(fromHub[3].bytes[4], CmdGetVersion);
}

TEST_P(EveryFault, StatusBeforeAnAnswerAndRepliesWithoutTheirCommand) {
    start(("status-before@" + std::to_string(rig->model().framesReceived() + 1)).c_str());
    ASSERT_TRUE(rig->write(frame(CmdGetMode)));
    sentinel(2);
    auto answers = rig->answers();
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0], rig->model().unsolicitedReport());
    EXPECT_EQ(answers[1][4], CmdGetMode);

    rig->trace().clear();
    start("no-echo");
    ASSERT_TRUE(rig->write(frame(CmdGetVersion, {0})));
    ASSERT_TRUE(rig->waitForAnswers(1));
    answers = rig->answers();
    EXPECT_EQ(answers[0][4], 0);
    EXPECT_EQ(answers[0][5], ResultOk);
    EXPECT_EQ(answers[0][10], crc8(std::span(answers[0]).subspan(1, 8))); // still summed
}

TEST_P(EveryFault, SlowUsbTimedAndUnsolicitedReports) {
    start("slow@40");
    ASSERT_TRUE(rig->write(frame(CmdGetMode)));
    ASSERT_TRUE(rig->waitForAnswers(1));
    auto entries = rig->trace().entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_GE(entries[1].timeNs - entries[0].timeNs, 40'000'000);

    rig->trace().clear();
    start("usb-timing");
    ASSERT_TRUE(rig->write(frame(CmdGetMode)));
    ASSERT_TRUE(rig->waitForAnswers(1));
    entries = rig->trace().entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_GE(entries[1].timeNs - entries[0].timeNs, 2'000'000);

    rig->trace().clear();
    start("unsolicited@5");
    ASSERT_TRUE(rig->waitForAnswers(3));
    rig->setFaults({});
    EXPECT_TRUE(rig->trace().reports(TraceEntry::Direction::ToHub).empty());
    EXPECT_EQ(rig->answers()[0], rig->model().unsolicitedReport());
}

TEST_P(EveryFault, UnplugAfterAFrameLeavesForGood) {
    start(("unplug@" + std::to_string(rig->model().framesReceived() + 1)).c_str());
    const int attaches = rig->attaches();
    ASSERT_TRUE(rig->write(frame(CmdGetMode)));
    ASSERT_TRUE(rig->waitForAnswers(1)); // its answer still goes out
    offTheBusAfterRestart();
    EXPECT_FALSE(rig->attached());
    EXPECT_EQ(rig->attaches(), attaches);
}

TEST_P(EveryFault, RebootFaults) {
    start("no-return");
    ASSERT_TRUE(rig->write(frame(CmdReboot)));
    offTheBusAfterRestart();
    EXPECT_FALSE(rig->attached());

    start("stay-in-bootloader"); // plugged by hand: the restart ends there
    ASSERT_TRUE(rig->attached());
    const int attaches = rig->attaches();
    ASSERT_TRUE(rig->write(frame(CmdReboot)));
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return rig->attaches() == attaches + 1 && rig->attached(); }, 3000));
    EXPECT_EQ(rig->model().mode(), HubMode::Bootloader);
}

TEST_P(EveryFault, BootOldFirmwareAfterACompleteWrite) {
    start("boot-old-firmware");
    const std::uint32_t old = rig->model().firmwareVersion();
    int attaches = rig->attaches();
    ASSERT_TRUE(rig->write(frame(CmdEnterBootloader)));
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return rig->attaches() == attaches + 1 && rig->attached(); }, 3000));
    const Bytes data(19, 0x5A);
    ASSERT_TRUE(rig->write(blockFrame(CmdBlockData, data)));
    ASSERT_TRUE(rig->write(blockFrame(CmdBlockWrite, data)));
    ASSERT_TRUE(testsupport::waitUntil([&] { return rig->model().isWriteComplete(); }, 3000));
    attaches = rig->attaches();
    ASSERT_TRUE(rig->write(frame(CmdReboot)));
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return rig->attaches() == attaches + 1 && rig->attached(); }, 3000));
    EXPECT_EQ(rig->model().mode(), HubMode::Application);
    EXPECT_EQ(rig->model().firmwareVersion(), old);
}

TEST_P(EveryFault, NoAccessAndNoSerialReachTheCable) {
    start("no-serial");
    EXPECT_EQ(rig->identity().serial, "");
    EXPECT_TRUE(rig->identity().access);

    // Set while it restarts (the host cannot write to a hub it may not open):
    // the hub comes back without access, and with its serial number.
    const int attaches = rig->attaches();
    ASSERT_TRUE(rig->write(frame(CmdEnterBootloader)));
    HubFaults faults;
    faults.noAccess = true;
    rig->setFaults(faults);
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return rig->attaches() == attaches + 1 && rig->attached(); }, 3000));
    EXPECT_FALSE(rig->identity().access);
    // Given back at once, on the bus.
    rig->setFaults({});
    EXPECT_TRUE(rig->identity().access);
    EXPECT_EQ(rig->identity().serial, "VH0001");
}

INSTANTIATE_TEST_SUITE_P(Transports, EveryFault, ::testing::Values("virtual-bus", "uhid"),
                         [](const auto& param) {
                             return param.param == std::string("uhid") ? "Uhid" : "VirtualBus";
                         });

TEST(FaultNames, EveryKindOnceWithSyntaxThatParsesBack) {
    std::set<std::string> names;
    std::set<FaultKind> kinds;
    for (const FaultInfo& info : faultTable()) {
        EXPECT_TRUE(names.insert(info.name).second) << info.name;
        EXPECT_TRUE(kinds.insert(info.kind).second) << info.name;
        EXPECT_EQ(faultInfo(info.kind).name, std::string(info.name));

        // Set alone, a fault shows as itself and as nothing else; cleared, it is gone.
        const int value = info.valueName ? std::min(info.maxValue, 7) : 0;
        const std::string text =
            info.valueName ? std::string(info.name) + "@" + std::to_string(value) : info.name;
        std::string why;
        const auto request = parseFault("3:" + text, 4, &why);
        ASSERT_TRUE(request) << text << ": " << why;
        EXPECT_EQ(request->hub, 3);
        EXPECT_EQ(request->kind, info.kind);
        HubFaults faults;
        applyFault(*request, faults);
        for (const FaultInfo& other : faultTable())
            EXPECT_EQ(faultValue(other.kind, faults).has_value(), other.kind == info.kind)
                << text << " " << other.name;
        EXPECT_EQ(faultValue(info.kind, faults), std::optional(value)) << text;
        clearFault(info.kind, faults);
        EXPECT_FALSE(faultValue(info.kind, faults)) << text;
    }
    EXPECT_EQ(kinds.size(), std::size_t(FaultKind::NoSerial) + 1);
}

TEST(FaultNames, MalformedFaultsSayWhy) {
    const std::pair<const char*, const char*> cases[] = {
        {"melt", "unknown kind 'melt'; known: silent, slow,"},
        {"fail", "needs a positive number"},
        {"fail@0", "needs a positive number"},
        {"fail@x", "needs a positive number"},
        {"silent@3", "takes no '@' value"},
        {"0:silent", "must be 1 to 4"},
        {"5:silent", "must be 1 to 4"},
        {"short-reply@64", "at most 63"},
    };
    for (const auto& [text, reason] : cases) {
        std::string why;
        EXPECT_FALSE(parseFault(text, 4, &why)) << text;
        EXPECT_NE(why.find(reason), std::string::npos) << text << ": " << why;
    }
    std::string why;
    EXPECT_FALSE(parseFault("1:silent", 0, &why)); // where there is one hub only
    EXPECT_FALSE(parseFault("copy-then-refuse@4:x", 4, &why));
    EXPECT_NE(why.find("takes 0 to 600000 MS after ':'"), std::string::npos) << why;
    EXPECT_FALSE(parseFault("fail@4:30", 4, &why)); // no second value

    // The hub's ':' before the kind, the gap's after the '@'.
    const auto gapped = parseFault("2:copy-then-refuse@40:30", 4, &why);
    ASSERT_TRUE(gapped) << why;
    EXPECT_EQ(gapped->hub, 2);
    EXPECT_EQ(gapped->value, 40);
    HubFaults faults;
    applyFault(*gapped, faults);
    EXPECT_EQ(faults.copyThenRefuseFrame, 40u);
    EXPECT_EQ(faultGap(FaultKind::CopyThenRefuse, faults), 30);
    applyFault(*parseFault("copy-then-refuse@40", 0, &why), faults);
    EXPECT_EQ(faults.copyThenRefuseGapMs, 0);
}

TEST(FaultNames, HelpListsEveryKindWithinTheWidth) {
    const std::string help = faultHelp(6, 79);
    for (const FaultInfo& info : faultTable())
        EXPECT_NE(help.find("      " + faultSyntax(info) + (faultSyntax(info).size() < 19 ? " " : "\n")),
                  std::string::npos)
            << info.name;
    std::size_t start = 0;
    for (std::size_t end; (end = help.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_LT(end - start, 79u) << help.substr(start, end - start);
    EXPECT_NE(help.find("copy-then-refuse@FRAME[:MS]\n                          answers"), std::string::npos);
}

// The shell completions and the manual page name the kinds by hand.
TEST(FaultNames, CompletionsAndManualPageKnowEveryKind) {
    const auto text = [](const char* path) {
        QFile file(QStringLiteral(QUORVI_SOURCE_DIR "/") + QLatin1String(path));
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path;
        return file.readAll().toStdString();
    };
    // The list after "start", up to "end": bash's one word per fault, zsh's
    // one 'name:description' per line.
    const auto listed = [](const std::string& script, const std::string& start, const std::string& end) {
        std::set<std::string> found;
        const auto from = script.find(start);
        EXPECT_NE(from, std::string::npos) << start;
        if (from == std::string::npos)
            return found;
        const auto first = from + start.size();
        std::istringstream in(script.substr(first, script.find(end, first) - first));
        for (std::string line; std::getline(in, line);) {
            std::istringstream words(line.substr(0, line.find(':')));
            for (std::string word; words >> word;)
                found.insert(word[0] == '\'' ? word.substr(1) : word);
        }
        return found;
    };
    std::set<std::string> expected;
    for (const FaultInfo& info : faultTable())
        expected.insert(std::string(info.name) + (info.valueName ? "@" : ""));
    EXPECT_EQ(listed(text("packaging/completion/quorvi-hub.bash"), "local faults='", "'"), expected);
    EXPECT_EQ(listed(text("packaging/completion/_quorvi-hub"), "\nfaults=(", "\n)"), expected);
    const std::string man = text("docs/man/quorvi-hub.1.in");
    for (const FaultInfo& info : faultTable()) {
        std::string manName;
        for (char c : std::string(info.name))
            manName += c == '-' ? std::string("\\-") : std::string(1, c);
        EXPECT_NE(man.find((info.valueName ? ".BI " : ".B ") + manName + (info.valueName ? "@ " : "\n")),
                  std::string::npos)
            << manName;
    }
}

#if defined(__linux__)
TEST(UhidTransport, NoAccessMakesTheNewestMatchingNodeRootsAlone) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString base = root.path() + "/sys/devices/virtual/misc/uhid/";
    const auto device = [&](const char* name, const char* uniq, const char* node) {
        ASSERT_TRUE(QDir().mkpath(base + name + "/hidraw/" + node));
        QFile uevent(base + name + "/uevent");
        ASSERT_TRUE(uevent.open(QIODevice::WriteOnly));
        uevent.write(QByteArray("HID_ID=0003:0000FFF0:00000018\nHID_PHYS=port/1\nHID_UNIQ=") + uniq + "\n");
        QFile dev(root.path() + "/dev/" + node);
        ASSERT_TRUE(QDir().mkpath(root.path() + "/dev"));
        ASSERT_TRUE(dev.open(QIODevice::WriteOnly));
        dev.close();
        ::chmod(QFile::encodeName(dev.fileName()).constData(), 0666);
    };
    device("0003:FFF0:0018.0002", "VH0001", "hidraw1");
    device("0003:FFF0:0018.000A", "VH0001", "hidraw4"); // the newest
    device("0003:FFF0:0018.000B", "OTHER", "hidraw5");
    const std::string sys = (root.path() + "/sys").toStdString();
    const std::string dev = (root.path() + "/dev").toStdString();

    EXPECT_EQ(UhidTransport::restrictNode(sys, dev, "VH0001", "port/1"), dev + "/hidraw4");
    const auto mode = [&](const char* node) {
        struct stat st {};
        ::stat((dev + "/" + node).c_str(), &st);
        return st.st_mode & 0777;
    };
    EXPECT_EQ(mode("hidraw4"), 0600u);
    EXPECT_EQ(mode("hidraw1"), 0666u);
    EXPECT_EQ(mode("hidraw5"), 0666u);
    EXPECT_EQ(UhidTransport::restrictNode(sys, dev, "VH0001", "port/2"), "");
    EXPECT_EQ(UhidTransport::restrictNode(sys, dev, "", "port/1"), "");
}
#endif

// The hub's clock: actions in the order they are due, an earlier action
// scheduled during a long sleep still first, and no wake lost between a look
// at the schedule and the sleep.
TEST(SimScheduler, RunsActionsInDueOrderAndWakesForAnEarlierOne) {
    std::mutex mutex;
    std::condition_variable ran;
    std::vector<int> order;
    const auto record = [&](int n) {
        return [&, n] {
            {
                std::lock_guard lock(mutex);
                order.push_back(n);
            }
            ran.notify_all();
        };
    };
    SimScheduler scheduler;
    const auto now = SimScheduler::Clock::now();
    scheduler.at(now + std::chrono::hours(1), record(9)); // the sleep is on this one
    scheduler.at(now + std::chrono::milliseconds(20), record(2));
    scheduler.at(now + std::chrono::milliseconds(10), record(1));
    scheduler.at(now + std::chrono::milliseconds(20), record(3));
    std::unique_lock lock(mutex);
    ASSERT_TRUE(ran.wait_for(lock, std::chrono::seconds(30), [&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(SimScheduler, AWakeBeforeTheSleepEndsIt) {
    PreciseSleeper sleeper;
    sleeper.wake();
    const auto due = PreciseSleeper::Clock::now() + std::chrono::hours(1);
    sleeper.sleepUntil(due);
    EXPECT_LT(PreciseSleeper::Clock::now(), due);
    sleeper.wake();
    sleeper.sleep(); // returns: the wake was kept
}
