// quorvi-virtual-hub: the virtual hub as a kernel HID device on /dev/uhid, so
// the real updater finds it through hidraw like a plugged-in hub. Runs until
// SIGINT or SIGTERM; SIGUSR1 unplugs it, SIGUSR2 plugs it back in.

#include "HubFaultNames.h"
#include "UhidHub.h"

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace hubsim;

namespace {

void usage() {
    std::cout << R"(Usage: quorvi-virtual-hub [options]
Creates a Quorvi Charging Hub (FFF0:0018) on /dev/uhid and logs every frame.

  --firmware HEX           application firmware version (default 11150905)
  --bootloader             start in the bootloader
  --serial S               serial number the kernel reports as HID_UNIQ (default VH0001,
                           at most 63 characters)
  --phys P                 physical path, reported as HID_PHYS (default quorvi-virtual-hub/uhid)
  --restart-delays A,B     ms off the bus when entering the bootloader, after a reboot
  --levels L1,...,L8       the LED levels it holds (0-255 each; default the factory ones,
                           which a new firmware starts with)
  --log FILE               keep the log in memory and write it to FILE at exit
  --uhid PATH              the uhid device (default /dev/uhid)
  --scene NAME             what its running data tell (default charging): fixed,
                           idle (no battery), charging (two batteries charge,
                           a minute each), busy (slots also fill and empty)
  --fault KIND[@N]         a fault, to see what a failure looks like; may be
                           repeated. Each kind may also be given as --KIND or
                           --KIND N. Frames are counted from 1 as the hub
                           receives them.
)" << faultHelp(6)
              << "Signals: SIGUSR1 unplugs, SIGUSR2 plugs in again, SIGINT/SIGTERM end.\n";
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
    Scene scene = Scene::Charging;
    bool bootloader = false;
    std::string serial = "VH0001";
    std::string phys = "quorvi-virtual-hub/uhid";
    int entryDelay = -1, rebootDelay = -1;
    std::optional<std::array<std::uint8_t, 8>> levels;

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
        } else if (arg == "--scene") {
            const std::optional<Scene> named = value ? sceneNamed(value) : std::nullopt;
            needs(named.has_value());
            scene = *named;
        } else if (arg == "--bootloader") {
            bootloader = true;
        } else if (arg == "--serial") {
            needs(value && *value && std::strlen(value) < 64);
            serial = value;
        } else if (arg == "--phys") {
            needs(value && *value && std::strlen(value) < 64);
            phys = value;
        } else if (arg == "--restart-delays") {
            const char* comma = value ? std::strchr(value, ',') : nullptr;
            needs(comma && number(std::string(value, comma).c_str(), 10, n) && number(comma + 1, 10, m) &&
                  n < 60000 && m < 60000);
            entryDelay = int(n);
            rebootDelay = int(m);
        } else if (arg == "--levels") {
            std::array<std::uint8_t, 8> parsed{};
            std::size_t count = 0;
            bool ok = value != nullptr;
            for (const char* at = value; ok && at;) {
                const char* comma = std::strchr(at, ',');
                const std::string item = comma ? std::string(at, comma) : std::string(at);
                ok = count < parsed.size() && number(item.c_str(), 10, n) && n <= 255;
                if (ok)
                    parsed[count++] = std::uint8_t(n);
                at = comma ? comma + 1 : nullptr;
            }
            needs(ok && count == parsed.size());
            levels = parsed;
        } else if (arg == "--fault" || (arg.size() > 2 && faultNamed(std::string_view(arg).substr(2)))) {
            // --fault KIND[@N], or the kind as an option of its own: --KIND [N].
            std::string text;
            if (arg == "--fault") {
                needs(value != nullptr);
                text = value;
            } else {
                text = arg.substr(2);
                if (faultInfo(*faultNamed(text)).valueName) {
                    needs(value != nullptr);
                    text += std::string("@") + value;
                }
            }
            std::string why;
            const std::optional<FaultRequest> fault = parseFault(text, 0, &why);
            if (!fault) {
                std::cerr << "quorvi-virtual-hub: bad fault \"" << text << "\": " << why << "\n";
                return 2;
            }
            applyFault(*fault, faults);
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
    hub.runner().setFaults(faults);
    hub.model().setScene(scene);
    if (levels)
        hub.model().setLedLevels(*levels);
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
