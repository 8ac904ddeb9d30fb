// The fault soak of the kernel test: update attempts in a row by the command
// line's run against the hub on /dev/uhid, each with a fault of the hub's own
// vocabulary (or none) drawn by a seeded generator, so a seed repeats a run.
// What counts is the hub's side, never the updater's report: an attempt
// reported completed must have every data line on the hub in order, the
// image's version and the levels it had; any other must leave the levels on
// the hub or kept for it. A second program that probes the hub while it is
// updated must get no frame through.

#include "KernelSoak.h"

#include "CliOptions.h"
#include "EventWait.h"
#include "HubProtocol.h"
#include "HubRun.h"
#include "LedCalibrationStore.h"
#include "UhidHub.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <random>

using hubsim::HubMode;

namespace {

const std::array<std::uint8_t, 8> soakLevels{12, 34, 56, 78, 90, 11, 22, 33};
const char* const SoakSerial = "QK-SOAK";
// Frames of one update: mode, levels, entry, mode polls, two per line, reboot, ...
constexpr int UpdateFrames = 1270;

struct Drawn {
    QString name;
    hubsim::HubFaults faults;
};

// One fault of the vocabulary, its frame counted from the attempt's first.
Drawn drawFault(std::mt19937& random, std::uint64_t first) {
    const auto pick = [&random](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    Drawn d;
    const int frame = pick(1, UpdateFrames);
    const std::uint64_t at = first + std::uint64_t(frame);
    switch (pick(0, 14)) {
    case 0:
    case 1:
        d.name = QStringLiteral("none");
        break;
    case 2:
        d.name = QStringLiteral("silent");
        d.faults.silent = true;
        break;
    case 3:
        d.faults.replyDelayMs = pick(20, 120);
        d.name = QStringLiteral("slow@%1").arg(d.faults.replyDelayMs);
        break;
    case 4:
        d.faults.resultOnFrame[at] = 0x01;
        d.name = QStringLiteral("fail@%1").arg(frame);
        break;
    case 5:
        d.faults.unplugAfterFrame = at;
        d.name = QStringLiteral("unplug@%1").arg(frame);
        break;
    case 6:
        d.faults.neverReturnAfterReboot = true;
        d.name = QStringLiteral("no-return");
        break;
    case 7:
        d.faults.stayInBootloaderAfterReboot = true;
        d.name = QStringLiteral("stay-in-bootloader");
        break;
    case 8:
        d.faults.bootOldFirmwareAfterReboot = true;
        d.name = QStringLiteral("boot-old-firmware");
        break;
    case 9: {
        const int gap = pick(0, 2) * 30;
        d.faults.copyThenRefuseFrame = at;
        d.faults.copyThenRefuseGapMs = gap;
        d.name = QStringLiteral("copy-then-refuse@%1:%2").arg(frame).arg(gap);
        break;
    }
    case 10:
        d.faults.repeatReplyOnFrame.insert(at);
        d.name = QStringLiteral("repeat-reply@%1").arg(frame);
        break;
    case 11:
        d.faults.replyLength = pick(5, 63);
        d.name = QStringLiteral("short-reply@%1").arg(d.faults.replyLength);
        break;
    case 12:
        d.faults.unsolicitedIntervalMs = pick(5, 60);
        d.name = QStringLiteral("unsolicited@%1").arg(d.faults.unsolicitedIntervalMs);
        break;
    case 13:
        d.faults.statusBeforeFrame.insert(at);
        d.name = QStringLiteral("status-before@%1").arg(frame);
        break;
    default:
        d.faults.usbTiming = true;
        d.name = QStringLiteral("usb-timing");
        break;
    }
    return d;
}

// The hub between two attempts: faults off, plugged, not in the middle of a restart.
bool settle(hubsim::UhidHub& hub) {
    hub.runner().setFaults(hubsim::HubFaults{});
    processEventsUntil([&] { return !hub.model().isRestarting(); }, 8000);
    if (!hub.isPlugged() && !hub.plug())
        return false;
    processEventsUntil({}, 300); // found again before the next attempt
    return true;
}

cli::Options updateOptions() {
    cli::Options o;
    o.command = cli::Command::Update;
    o.all = true;
    o.force = true; // every attempt programs, also at the image's version
    o.noProgress = true;
    o.quiet = true;
    return o;
}

} // namespace

int phaseSoak(const SoakChecks& checks, unsigned seed, int attempts, const QString& probeProgram) {
    std::printf("soak: seed %u, %d attempts\n", seed, attempts);
    std::fflush(stdout);
    hubsim::UhidHub hub;
    hub.model().setLedLevels(soakLevels);
    hub.setSerial(SoakSerial);
    hub.setPhys("quorvi-kernel-test/soak");
    if (!hub.plug()) {
        checks.check(false, "soak: uhid hub created", QString::fromStdString(hub.error()));
        return 1;
    }
    processEventsUntil({}, 500);
    QTemporaryDir state;
    const QString statePath = state.filePath(QStringLiteral("state.sqlite"));
    const QString key = QStringLiteral("serial:") + QLatin1String(SoakSerial);
    std::mt19937 random(seed);
    int completed = 0, failed = 0, unsafe = 0, lost = 0;
    QStringList problems;

    for (int attempt = 1; attempt <= attempts; ++attempt) {
        // The first is probed; the second has the last line's block write
        // answered by a copy, its refusal 30 ms later; the rest are drawn.
        Drawn drawn{QStringLiteral("none"), {}};
        const int lastWrite = 6 + 2 * checks.dataLines;
        if (attempt == 2) {
            drawn.name = QStringLiteral("copy-then-refuse@%1:30").arg(lastWrite);
            drawn.faults.copyThenRefuseFrame = hub.model().framesReceived() + std::uint64_t(lastWrite);
            drawn.faults.copyThenRefuseGapMs = 30;
        } else if (attempt > 2) {
            drawn = drawFault(random, hub.model().framesReceived());
        }
        hub.runner().setFaults(drawn.faults);
        hub.trace().clear();
        cli::HubRun run(updateOptions());
        run.stateFile = statePath;

        // The first attempt is probed by a second program once programming runs.
        QProcess probe;
        bool probed = false;
        QTimer probeTimer;
        if (attempt == 1 && !probeProgram.isEmpty()) {
            probeTimer.setInterval(20);
            QObject::connect(&probeTimer, &QTimer::timeout, [&] {
                if (probed || hub.model().writtenBlocks().size() < 50)
                    return;
                probed = true;
                probe.start(probeProgram, {QStringLiteral("check")});
            });
            probeTimer.start();
        }
        const int status = run.run();
        probeTimer.stop();
        const cli::HubOutcome* outcome = run.report().hubs.empty() ? nullptr : &run.report().hubs.front();
        const bool reportedDone = status == 0 && outcome && outcome->completed;

        if (probed) {
            probe.waitForFinished(60000);
            const QString said =
                QString::fromLocal8Bit(probe.readAllStandardOutput() + probe.readAllStandardError());
            checks.check(said.contains(QStringLiteral("Another program is updating hub")) &&
                             probe.exitCode() != 0,
                         "soak: a second program probing the hub during an update is told it is busy",
                         QStringLiteral("exit %1: %2").arg(probe.exitCode()).arg(said.trimmed()));
            checks.check(reportedDone && checks.blocksDiffer(hub.model().writtenBlocks()).isEmpty(),
                         "soak: the probed update took every line, nothing of the probe came between",
                         checks.blocksDiffer(hub.model().writtenBlocks()));
        } else if (attempt == 1 && !probeProgram.isEmpty()) {
            checks.check(false, "soak: a second program probing the hub during an update is told it is busy",
                         QStringLiteral("the update never got to programming"));
        }

        // The hub's side. Levels count as safe on the hub only while it runs
        // its application: a bootloader holds none.
        const bool onHub =
            hub.model().mode() == HubMode::Application && hub.model().savedLedLevels() == soakLevels;
        const bool kept = LedCalibrationStore(statePath).load(key) == std::optional(soakLevels);
        QString problem;
        if (reportedDone) {
            ++completed;
            const QString blocks = checks.blocksDiffer(hub.model().writtenBlocks());
            if (!blocks.isEmpty())
                problem = QStringLiteral("completed, but ") + blocks;
            else if (hub.model().firmwareVersion() != hubsim::DefaultImageVersion)
                problem = QStringLiteral("completed, but the hub runs %1")
                              .arg(hub.model().firmwareVersion(), 8, 16);
            else if (!onHub)
                problem = QStringLiteral("completed, but the hub's levels are not the ones it had");
        } else {
            ++failed;
            if (!onHub && !kept)
                problem = QStringLiteral("failed, and its levels are neither on the hub nor kept");
        }
        if (attempt == 2)
            checks.check(!reportedDone && int(hub.model().writtenBlocks().size()) == checks.dataLines - 1,
                         "soak: a copy of the last line's answer, its refusal 30 ms later, is no success",
                         QStringLiteral("reported %1, %2 of %3 lines on the hub")
                             .arg(reportedDone ? "completed" : "failed")
                             .arg(hub.model().writtenBlocks().size())
                             .arg(checks.dataLines));
        if (!problem.isEmpty()) {
            ++unsafe;
            problems << QStringLiteral("attempt %1 (%2): %3").arg(attempt).arg(drawn.name, problem);
        }
        if (!onHub && !kept)
            ++lost;
        std::printf("soak attempt %d: %s -> %s%s\n", attempt, qPrintable(drawn.name),
                    reportedDone ? "completed"
                                 : qPrintable(outcome ? outcome->failure.kind == UpdateFailure::Kind::None
                                                            ? outcome->result
                                                            : failureKindName(outcome->failure.kind)
                                                      : run.report().error),
                    problem.isEmpty() ? "" : qPrintable(QStringLiteral(" PROBLEM: ") + problem));
        std::fflush(stdout);
        if (!settle(hub)) {
            problems << QStringLiteral("attempt %1: the hub could not be plugged again").arg(attempt);
            break;
        }
    }
    checks.check(unsafe == 0, "soak: every attempt's report agrees with the hub's side",
                 problems.join(QStringLiteral("; ")));

    // Whatever happened, one clean update gives the hub its calibration back.
    hub.trace().clear();
    cli::HubRun last(updateOptions());
    last.stateFile = statePath;
    const int status = last.run();
    checks.check(status == 0 && hub.model().savedLedLevels() == soakLevels &&
                     hub.model().firmwareVersion() == hubsim::DefaultImageVersion,
                 "soak: no calibration was lost over the whole soak",
                 QStringLiteral("exit %1, LED 1 %2").arg(status).arg(hub.model().savedLedLevels()[0]));
    std::printf(
        "FIGURE soak-attempts %d\nFIGURE soak-completed %d\nFIGURE soak-failed %d\nFIGURE soak-lost %d\n",
        attempts, completed, failed, lost);
    std::fflush(stdout);
    return unsafe == 0 && status == 0 ? 0 : 1;
}
