// End-to-end checks of the real updater window on a real Linux kernel: the
// window uses the Linux binding (hidraw, libudev or inotify), the hub is the
// hub model on /dev/uhid, in this process or in quorvi-virtual-hub. Run inside
// the kernel test's guest (scripts/kernel-test.sh); each phase prints one line
// per check, "PASS name" or "FAIL name: why", and figures as "FIGURE name value".
//
//   kernel_e2e full LABEL       discovery, lamp, version check, full update,
//                               unplug mid-update and recovery, plug and unplug
//   kernel_e2e update-user      (as a user whose access to each new node comes
//                               a moment after it) a full update
//   kernel_e2e virtual          the same full update over the virtual bus
//   kernel_e2e latency          report hand-over latency through hidraw
//   kernel_e2e denied           (as a user without access) the permission message
//   kernel_e2e late-access FILE (as that user) a node that becomes accessible
//                               shortly after the plug; FILE is touched once
//                               the window is up
//   kernel_e2e soak SEED N [PROGRAM]  N update attempts with faults drawn from
//                               SEED, checked on the hub's side; PROGRAM
//                               (quorvi-hub) probes the first one

#include "EventWait.h"
#include "HidControllerClass.h"
#include "HidIap.h"
#include "HubIdentity.h"
#include "HubProtocol.h"
#include "KernelSoak.h"
#include "NativeHidPlatform.h"
#include "UhidHub.h"
#include "VirtualHidBus.h"
#include "VirtualHub.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>
#include <vector>

using hubsim::Bytes;
using hubsim::HubMode;

namespace {

int failures = 0;

void check(bool ok, const char* name, const QString& why = {}) {
    if (ok)
        std::printf("PASS %s\n", name);
    else {
        ++failures;
        std::printf("FAIL %s: %s\n", name, qPrintable(why));
    }
    std::fflush(stdout);
}

void figure(const char* name, double value, const char* unit) {
    std::printf("FIGURE %s %.1f %s\n", name, value, unit);
    std::fflush(stdout);
}

// A hung window must end the phase, not the whole guest's time budget.
void startWatchdog(int seconds, const char* phase) {
    std::thread([seconds, phase] {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        std::printf("FAIL %s: still running after %d s, stopped\n", phase, seconds);
        std::fflush(stdout);
        std::_Exit(3);
    }).detach();
}

bool waitFor(const std::function<bool()>& condition, int ms) {
    return processEventsUntil(condition, ms);
}

QStringList logLines(const TfrmMain& w) {
    const QString text = w.mmoUplog->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

QString logText(const TfrmMain& w) {
    return QStringLiteral("log [") + logLines(w).join(QStringLiteral(" | ")) + QStringLiteral("]");
}

bool lampIs(const TfrmMain& w, int index) {
    return w.imgIndicator->pixmap().toImage() == w.ilLED.at(index).toImage();
}

struct Block {
    std::uint32_t address = 0;
    Bytes data;
};

// The data lines of the built-in image, read here independently of the program.
std::vector<Block> imageBlocks() {
    QFile file(QStringLiteral(":/APP/APPBIN"));
    std::vector<Block> blocks;
    if (!file.open(QIODevice::ReadOnly))
        return blocks;
    for (QByteArray line : file.readAll().split('\n')) {
        line = line.trimmed();
        if (line.size() < 2 || line.at(1) != '1')
            continue;
        const int n = line.mid(2, 2).toInt(nullptr, 16);
        Block block;
        block.address = line.mid(4, 4).toUInt(nullptr, 16);
        const QByteArray data = QByteArray::fromHex(line.mid(8, 2 * (n - 3)));
        block.data.assign(data.begin(), data.end());
        blocks.push_back(block);
    }
    return blocks;
}

// Every data line arrived once, in order, with its address and bytes.
QString blocksDiffer(const std::vector<hubsim::WrittenBlock>& written) {
    const std::vector<Block> image = imageBlocks();
    if (image.empty())
        return QStringLiteral("the built-in image has no data lines");
    if (written.size() != image.size())
        return QStringLiteral("%1 blocks written, the image has %2").arg(written.size()).arg(image.size());
    for (std::size_t i = 0; i < image.size(); ++i) {
        if (written[i].address != image[i].address || written[i].data != image[i].data)
            return QStringLiteral("block %1 differs (address %2, expected %3)")
                .arg(i)
                .arg(written[i].address, 4, 16, QLatin1Char('0'))
                .arg(image[i].address, 4, 16, QLatin1Char('0'));
    }
    return {};
}

// The commands the hub received with their times: the start and the end.
QString commandTrail(const hubsim::HubTrace& trace) {
    QStringList items;
    std::int64_t start = -1;
    for (const auto& entry : trace.entries()) {
        if (start < 0)
            start = entry.timeNs;
        const bool toHub = entry.direction == hubsim::TraceEntry::Direction::ToHub;
        const int command = toHub ? hubsim::parseRequest(entry.bytes).command
                                  : (entry.bytes.size() > 4 ? entry.bytes[4] : -1);
        items << QStringLiteral("%1%2@%3")
                     .arg(toHub ? ">" : "<")
                     .arg(command, 2, 16, QLatin1Char('0'))
                     .arg((entry.timeNs - start) / 1000000);
    }
    if (items.size() > 24)
        items = items.mid(0, 16) + QStringList{QStringLiteral("...")} + items.mid(items.size() - 8);
    return items.join(QLatin1Char(' '));
}

const QStringList successLog{"Enter bootloader mode...", "Programming...", "Reboot...OK.",
                             "Update completed."};
const std::array<std::uint8_t, 8> customLevels{10, 20, 30, 40, 50, 60, 70, 80};

// A person takes a moment between two clicks, and the window's event loop
// runs meanwhile; clicks in a row with no loop between do not happen.
void userPause() {
    processEventsUntil({}, 500);
}

std::unique_ptr<TfrmMain> makeWindow(HidPlatform& platform, const char* label) {
    QElapsedTimer clock;
    clock.start();
    auto w = std::make_unique<TfrmMain>(platform);
    w->show();
    QCoreApplication::processEvents();
    figure(qPrintable(QStringLiteral("window-up-ms-%1").arg(QString::fromLatin1(label))),
           double(clock.elapsed()), "ms");
    return w;
}

// The window's full update against a hub that waits in its application with
// custom LED levels; returns the time the click took.
qint64 fullUpdate(TfrmMain& w, hubsim::HubModel& model, hubsim::HubTrace& trace, const char* name) {
    userPause();
    trace.clear();
    QElapsedTimer clock;
    clock.start();
    w.btnUpdate->click();
    const qint64 ms = clock.elapsed();
    const QString blocks = blocksDiffer(model.writtenBlocks());
    const bool ok = logLines(w) == successLog && blocks.isEmpty() &&
                    model.firmwareVersion() == hubsim::DefaultImageVersion &&
                    model.mode() == HubMode::Application && model.ledLevels() == customLevels &&
                    model.savedLedLevels() == customLevels;
    QString why = logText(w);
    if (!blocks.isEmpty())
        why += QStringLiteral("; ") + blocks;
    why += QStringLiteral("; reports (ms):") + commandTrail(trace);
    why += QStringLiteral("; hub version %1, mode %2, LED 1 %3")
               .arg(model.firmwareVersion(), 8, 16, QLatin1Char('0'))
               .arg(model.mode() == HubMode::Application ? "application" : "bootloader")
               .arg(model.ledLevels()[0]);
    check(ok, name, why);
    return ms;
}

int phaseFull(const char* label) {
    hubsim::UhidHub hub;
    hub.model().setLedLevels(customLevels);
    hub.setSerial("QK-4711");
    hub.setPhys("quorvi-kernel-test/port3");
    if (!hub.plug()) {
        check(false, "uhid hub created", QString::fromStdString(hub.error()));
        return 1;
    }
    const std::unique_ptr<HidPlatform> native = createNativeHidPlatform();
    HidPlatform& platform = *native;
    auto w = makeWindow(platform, label);
    w->pnl2->show(); // the status line takes texts only while shown

    // Discovery and the lamp.
    const bool found = waitFor([&] { return w->currentHub() && lampIs(*w, 0); }, 10000);
    check(found, "discovery: the hub is found and the lamp is green",
          QStringLiteral("current hub %1, lamp green %2, %3")
              .arg(w->currentHub() ? "set" : "none")
              .arg(lampIs(*w, 0))
              .arg(logText(*w)));
    if (!found)
        return 1;

    // The kernel's HID_UNIQ and HID_PHYS reach the binding: the hub is known by its serial.
    const THidPnPInfo* info = w->currentHub()->PnPInfo();
    check(info->SerialNumber == QStringLiteral("QK-4711") &&
              info->Port == QStringLiteral("quorvi-kernel-test/port3") &&
              HubIdentity::of(w->currentHub()).key() == QStringLiteral("serial:QK-4711"),
          "identity: the uhid hub's serial number and port are read by the Linux binding",
          QStringLiteral("serial '%1', port '%2'").arg(info->SerialNumber, info->Port));

    // Check Version.
    w->btnConnect->click();
    check(w->lblDeviceVersion->text() == QStringLiteral("Version: 1.1.15.0905") &&
              w->lblUpdateAvail->text() == QStringLiteral("Update available."),
          "check version: the hub's version and an available update are shown",
          QStringLiteral("labels '%1' '%2', %3")
              .arg(w->lblDeviceVersion->text(), w->lblUpdateAvail->text(), logText(*w)));

    // A full update, every line in order, the LED levels carried.
    const int creationsBefore = hub.creations();
    const qint64 updateMs =
        fullUpdate(*w, hub.model(), hub.trace(), "full update: every data line in order, LED levels carried");
    figure("update-uhid-ms", double(updateMs), "ms");
    check(hub.creations() == creationsBefore + 2 && lampIs(*w, 0) && w->currentHub(),
          "full update: the hub re-enumerated twice and is current again",
          QStringLiteral("creations %1 -> %2, lamp green %3")
              .arg(creationsBefore)
              .arg(hub.creations())
              .arg(lampIs(*w, 0)));

    // Unplugged while lines are sent: a failure text, no hang, usable after.
    hub.model().setFirmwareVersion(hubsim::DefaultFirmwareVersion);
    std::atomic<int> blockWrites{0};
    hub.trace().setListener([&](const hubsim::TraceEntry& entry) {
        if (entry.direction == hubsim::TraceEntry::Direction::ToHub &&
            hubsim::parseRequest(entry.bytes).command == hubsim::cmd::BlockWrite)
            ++blockWrites;
    });
    QTimer cut;
    cut.setInterval(2);
    QObject::connect(&cut, &QTimer::timeout, [&] {
        if (blockWrites >= 20) {
            cut.stop();
            hub.unplug();
        }
    });
    cut.start();
    QElapsedTimer clock;
    clock.start();
    userPause();
    w->btnUpdate->click();
    cut.stop();
    hub.trace().setListener({});
    const QStringList cutLog = logLines(*w);
    // The window's word comes right after the programming began, then where
    // the hub was left and what to do.
    const qsizetype programming = cutLog.indexOf(QStringLiteral("Programming..."));
    check(programming >= 0 && cutLog.value(programming + 1) == QStringLiteral("Timeout.") &&
              !cutLog.contains(QStringLiteral("Reboot...")) && !hub.isPlugged(),
          "unplug mid-update: the update ends with Timeout.",
          logText(*w) + QStringLiteral(", %1 ms").arg(clock.elapsed()));
    check(waitFor([&] { return !w->currentHub() && lampIs(*w, 1); }, 5000) && w->pnlUpdate->isEnabled(),
          "unplug mid-update: no hub, red lamp, the panel usable",
          QStringLiteral("current hub %1, panel enabled %2")
              .arg(w->currentHub() ? "set" : "none")
              .arg(w->pnlUpdate->isEnabled()));

    // Back in its bootloader, then a complete update.
    check(hub.model().mode() == HubMode::Bootloader, "unplug mid-update: the hub stayed in its bootloader");
    hub.plug();
    const bool back = waitFor([&] { return w->currentHub() && lampIs(*w, 0); }, 10000);
    check(back, "plugged back in the bootloader: found again",
          QStringLiteral("current hub %1").arg(w->currentHub() ? "set" : "none"));
    if (back) {
        userPause();
        w->btnUpdate->click();
        const QString blocks = blocksDiffer(hub.model().writtenBlocks());
        // Nothing can be read in the bootloader: the levels the cut update
        // read are the ones written back.
        QStringList restoredLog = successLog;
        restoredLog.insert(restoredLog.size() - 1,
                           QStringLiteral("Restoring the LED levels kept from an earlier attempt."));
        check(logLines(*w) == restoredLog && blocks.isEmpty() &&
                  hub.model().firmwareVersion() == hubsim::DefaultImageVersion &&
                  hub.model().mode() == HubMode::Application && hub.model().ledLevels() == customLevels,
              "plugged back in the bootloader: a complete update with the LED levels restored",
              logText(*w) + QStringLiteral("; ") + blocks);
    }

    // Plug and unplug are followed while idle.
    hub.unplug();
    check(waitFor([&] { return !w->currentHub() && lampIs(*w, 1); }, 5000),
          "idle unplug: the lamp turns red");
    hub.plug();
    check(waitFor([&] { return w->currentHub() && lampIs(*w, 0); }, 10000),
          "idle plug: the lamp turns green");
    w->btnConnect->click();
    check(w->lblDeviceVersion->text() == QStringLiteral("Version: 1.1.15.0906"),
          "idle plug: the updated version is read", w->lblDeviceVersion->text());
    return failures;
}

// The hub re-enumerates twice during an update; each new node becomes
// accessible only a moment after it appears, as on a desktop.
int phaseUpdateUser() {
    hubsim::UhidHub hub;
    hub.model().setLedLevels(customLevels);
    if (!hub.plug()) {
        check(false, "user update: uhid hub created", QString::fromStdString(hub.error()));
        return 1;
    }
    const std::unique_ptr<HidPlatform> native = createNativeHidPlatform();
    HidPlatform& platform = *native;
    auto w = makeWindow(platform, "update-user");
    const bool found = waitFor([&] { return w->currentHub() && lampIs(*w, 0); }, 10000);
    check(found, "user update: the hub is found once its node is accessible", logText(*w));
    if (!found)
        return 1;
    fullUpdate(*w, hub.model(), hub.trace(), "user update: a full update across both re-enumerations");
    check(!w->mmoUplog->toPlainText().contains(QStringLiteral("this user may not use it")),
          "user update: no permission message", logText(*w));
    return failures;
}

int phaseVirtual() {
    VirtualHidBus bus;
    VirtualHub hub(bus);
    hub.model().setLedLevels(customLevels);
    hub.plug();
    auto w = makeWindow(bus, "virtual");
    if (!waitFor([&] { return w->currentHub() != nullptr; }, 10000)) {
        check(false, "virtual bus: the hub is found");
        return 1;
    }
    const qint64 ms = fullUpdate(*w, hub.model(), hub.trace(), "virtual bus: full update");
    figure("update-virtual-ms", double(ms), "ms");
    return failures;
}

// From the moment the hub hands its report to the kernel to the data handler
// running on the UI thread.
int phaseLatency(int reports) {
    hubsim::UhidHub hub;
    if (!hub.plug()) {
        check(false, "latency: uhid hub created", QString::fromStdString(hub.error()));
        return 1;
    }
    const std::unique_ptr<HidPlatform> native = createNativeHidPlatform();
    HidPlatform& platform = *native;
    THidDeviceController controller(nullptr, platform);
    CheckedOutDevice device;
    waitFor(
        [&] {
            controller.DeviceChange();
            return controller.CheckOutNext(device);
        },
        10000);
    if (!device) {
        check(false, "latency: the hub is found");
        return 1;
    }
    std::vector<double> latencies;
    std::atomic<qint64> sentAt{0};
    int received = 0;
    device->SetDataHandler(THidDataEvent(&received, [&](THidDevice*, quint8, const quint8*, quint16) {
        latencies.push_back(double(std::chrono::steady_clock::now().time_since_epoch().count() - sentAt) /
                            1000.0);
        ++received;
    }));
    const Bytes report = hubsim::buildReply(hubsim::cmd::Status, 0);
    for (int i = 0; i < reports; ++i) {
        sentAt = std::chrono::steady_clock::now().time_since_epoch().count();
        if (!hub.sendReport(report) || !waitFor([&] { return received > i; }, 2000))
            break;
    }
    device->SetDataHandler({});
    device.reset();
    check(int(latencies.size()) == reports, "latency: every report handed over",
          QStringLiteral("%1 of %2").arg(latencies.size()).arg(reports));
    if (latencies.empty())
        return failures;
    std::sort(latencies.begin(), latencies.end());
    figure("handover-hidraw-median-us", latencies[latencies.size() / 2], "us");
    figure("handover-hidraw-p99-us", latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)],
           "us");
    return failures;
}

bool saysNoAccess(const TfrmMain& w) {
    return w.mmoUplog->toPlainText().contains(QStringLiteral("this user may not use it"));
}

int phaseDenied() {
    const std::unique_ptr<HidPlatform> native = createNativeHidPlatform();
    HidPlatform& platform = *native;
    auto w = makeWindow(platform, "denied");
    const bool said = waitFor([&] { return saysNoAccess(*w); }, 15000);
    check(said && !w->currentHub() && lampIs(*w, 1), "no access: the permission message, no hub, red lamp",
          logText(*w));
    const int messages = int(w->mmoUplog->toPlainText().count(QStringLiteral("this user may not use it")));
    processEventsUntil({}, 1000);
    check(messages == 1 && w->mmoUplog->toPlainText().count(QStringLiteral("this user may not use it")) == 1,
          "no access: the message is given once", logText(*w));
    w->btnConnect->click();
    check(logLines(*w).contains(QStringLiteral("Device disconnected.")),
          "no access: Check Version finds no hub", logText(*w));
    return failures;
}

int phaseLateAccess(const char* readyFile) {
    const std::unique_ptr<HidPlatform> native = createNativeHidPlatform();
    HidPlatform& platform = *native;
    auto w = makeWindow(platform, "late-access");
    QFile ready(QString::fromLocal8Bit(readyFile));
    if (!ready.open(QIODevice::WriteOnly)) {
        check(false, "late access: ready file written", ready.errorString());
        return 1;
    }
    ready.close();
    const bool found = waitFor([&] { return w->currentHub() && lampIs(*w, 0); }, 20000);
    check(found, "late access: the hub becomes usable without a replug", logText(*w));
    check(!saysNoAccess(*w), "late access: no permission message", logText(*w));
    if (found) {
        w->btnConnect->click();
        check(w->lblDeviceVersion->text() == QStringLiteral("Version: 1.1.15.0905"),
              "late access: Check Version reads the hub",
              w->lblDeviceVersion->text() + QStringLiteral(", ") + logText(*w));
    }
    return failures;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString phase = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    startWatchdog(phase == QLatin1String("soak") ? 1200 : 240, argc > 1 ? argv[1] : "kernel_e2e");
    if (phase == QLatin1String("full"))
        return phaseFull(argc > 2 ? argv[2] : "") ? 1 : 0;
    if (phase == QLatin1String("update-user"))
        return phaseUpdateUser() ? 1 : 0;
    if (phase == QLatin1String("virtual"))
        return phaseVirtual() ? 1 : 0;
    if (phase == QLatin1String("latency"))
        return phaseLatency(argc > 2 ? std::atoi(argv[2]) : 500) ? 1 : 0;
    if (phase == QLatin1String("denied"))
        return phaseDenied() ? 1 : 0;
    if (phase == QLatin1String("late-access") && argc > 2)
        return phaseLateAccess(argv[2]) ? 1 : 0;
    if (phase == QLatin1String("soak") && argc > 3)
        return phaseSoak({check, blocksDiffer, int(imageBlocks().size())},
                         unsigned(std::strtoul(argv[2], nullptr, 10)), std::atoi(argv[3]),
                         argc > 4 ? QString::fromLocal8Bit(argv[4]) : QString());
    std::fprintf(
        stderr,
        "usage: kernel_e2e full LABEL | update-user | virtual | latency [N] | denied | late-access FILE | "
        "soak SEED N [PROGRAM]\n");
    return 2;
}
