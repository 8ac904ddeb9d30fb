// quorvi-virtual-hub: the virtual hub as a kernel HID device on /dev/uhid, so
// the real updater finds it through hidraw like a plugged-in hub. Runs until
// SIGINT or SIGTERM; SIGUSR1 unplugs it, SIGUSR2 plugs it back in.

#include "UhidHub.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

using namespace hubsim;

namespace {

void usage() {
    std::cout <<
        R"(Usage: quorvi-virtual-hub [options]
Creates a Quorvi Charging Hub (FFF0:0018) on /dev/uhid and logs every frame.

  --firmware HEX           application firmware version (default 11150905)
  --bootloader             start in the bootloader
  --serial S               serial number the kernel reports as HID_UNIQ (default VH0001,
                           at most 63 characters)
  --no-serial              no serial number: the updater knows the hub by its port
  --phys P                 physical path, reported as HID_PHYS (default quorvi-virtual-hub/uhid)
  --restart-delays A,B     ms off the bus when entering the bootloader, after a reboot
  --silent                 answer nothing
  --reply-delay MS         extra time before each reply
  --wrong-marker           replies start with something other than 0x55
  --fail-frame N:RESULT    answer frame N (from 1) with the result byte RESULT (hex)
  --unplug-after-frame N   leave for good after answering frame N
  --never-return           do not come back after a reboot
  --stay-in-bootloader     come back in the bootloader after a reboot
  --boot-old-firmware      boot the old firmware after a reboot, however well
                           the new one was written
  --copy-then-refuse-frame N
                           answer frame N first with a copy of the previous
                           answer, then refuse it
  --log FILE               keep the log in memory and write it to FILE at exit
  --uhid PATH              the uhid device (default /dev/uhid)
Signals: SIGUSR1 unplugs, SIGUSR2 plugs in again, SIGINT/SIGTERM end.
)";
}

bool number(const char* text, int base, unsigned long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(text, &end, base);
    return errno == 0 && end && end != text && *end == '\0';
}

std::string elapsed(std::chrono::steady_clock::time_point start) {
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
            .count();
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%06lld", static_cast<long long>(us / 1000000),
                  static_cast<long long>(us % 1000000));
    return text;
}

} // namespace

int main(int argc, char** argv) {
    HubFaults faults;
    std::string logPath;
    std::string uhidPath = "/dev/uhid";
    std::uint32_t version = DefaultFirmwareVersion;
    bool bootloader = false;
    std::string serial = "VH0001";
    std::string phys = "quorvi-virtual-hub/uhid";
    int entryDelay = -1, rebootDelay = -1;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long n = 0, m = 0;
        auto needs = [&](bool ok) {
            if (!ok) {
                std::cerr << "quorvi-virtual-hub: bad or missing value for " << arg << "\n";
                std::exit(2);
            }
            ++i;
        };
        if (arg == "-h" || arg == "--help") {
            usage();
            return 0;
        } else if (arg == "--firmware") {
            needs(value && number(value, 16, n) && n <= 0xFFFFFFFFul);
            version = std::uint32_t(n);
        } else if (arg == "--bootloader") {
            bootloader = true;
        } else if (arg == "--serial") {
            needs(value && *value && std::strlen(value) < 64);
            serial = value;
        } else if (arg == "--no-serial") {
            serial.clear();
        } else if (arg == "--phys") {
            needs(value && *value && std::strlen(value) < 64);
            phys = value;
        } else if (arg == "--restart-delays") {
            const char* comma = value ? std::strchr(value, ',') : nullptr;
            needs(comma && number(std::string(value, comma).c_str(), 10, n) && number(comma + 1, 10, m) &&
                  n < 60000 && m < 60000);
            entryDelay = int(n);
            rebootDelay = int(m);
        } else if (arg == "--silent") {
            faults.silent = true;
        } else if (arg == "--reply-delay") {
            needs(value && number(value, 10, n) && n < 60000);
            faults.replyDelayMs = int(n);
        } else if (arg == "--wrong-marker") {
            faults.wrongMarker = true;
        } else if (arg == "--fail-frame") {
            const char* colon = value ? std::strchr(value, ':') : nullptr;
            needs(colon && number(std::string(value, colon).c_str(), 10, n) && n > 0 &&
                  number(colon + 1, 16, m) && m <= 0xFF);
            faults.resultOnFrame[n] = std::uint8_t(m);
        } else if (arg == "--unplug-after-frame") {
            needs(value && number(value, 10, n) && n > 0);
            faults.unplugAfterFrame = n;
        } else if (arg == "--never-return") {
            faults.neverReturnAfterReboot = true;
        } else if (arg == "--stay-in-bootloader") {
            faults.stayInBootloaderAfterReboot = true;
        } else if (arg == "--boot-old-firmware") {
            faults.bootOldFirmwareAfterReboot = true;
        } else if (arg == "--copy-then-refuse-frame") {
            needs(value && number(value, 10, n) && n > 0);
            faults.copyThenRefuseFrame = n;
        } else if (arg == "--log") {
            needs(value != nullptr);
            logPath = value;
        } else if (arg == "--uhid") {
            needs(value != nullptr);
            uhidPath = value;
        } else {
            std::cerr << "quorvi-virtual-hub: unknown option " << arg << "\n";
            usage();
            return 2;
        }
    }

    // The signals are taken by sigwait below, never by a handler.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
        sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    UhidHub hub(uhidPath);
    hub.setSerial(serial);
    hub.setPhys(phys);
    hub.model().setFirmwareVersion(version);
    hub.model().setMode(bootloader ? HubMode::Bootloader : HubMode::Application);
    hub.model().setFaults(faults);
    if (entryDelay >= 0)
        hub.model().setRestartDelays(entryDelay, rebootDelay);

    // A log written as it happens to a slow file system would hold up the
    // replies, so a log file is only written at the end.
    const auto start = std::chrono::steady_clock::now();
    std::mutex logMutex;
    std::vector<std::string> lines;
    auto emit = [&](const std::string& line) {
        const std::string stamped = elapsed(start) + " " + line;
        std::lock_guard lock(logMutex);
        if (logPath.empty())
            std::cout << stamped << std::endl;
        else
            lines.push_back(stamped);
    };
    hub.setLogger(emit);

    if (!hub.plug()) {
        std::cerr << "quorvi-virtual-hub: " << hub.error() << "\n";
        return 1;
    }

    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0)
            break;
        if (signal == SIGUSR1)
            hub.unplug();
        else if (signal == SIGUSR2)
            hub.plug();
        else
            break;
    }
    hub.unplug();
    hub.setLogger({});

    const auto leds = hub.model().ledLevels();
    std::string summary = "summary: frames " + std::to_string(hub.model().framesReceived()) + ", blocks " +
                          std::to_string(hub.model().writtenBlocks().size()) + ", write complete " +
                          (hub.model().isWriteComplete() ? "yes" : "no") + ", mode " +
                          (hub.model().mode() == HubMode::Bootloader ? "bootloader" : "application");
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X", hub.model().firmwareVersion());
    summary += std::string(", version ") + hex + ", creations " + std::to_string(hub.creations()) + ", leds";
    for (auto level : leds)
        summary += " " + std::to_string(level);
    emit(summary);

    if (!logPath.empty()) {
        std::ofstream out(logPath, std::ios::trunc);
        for (const auto& line : lines)
            out << line << '\n';
        if (!out) {
            std::cerr << "quorvi-virtual-hub: cannot write " << logPath << "\n";
            return 1;
        }
    }
    return 0;
}
