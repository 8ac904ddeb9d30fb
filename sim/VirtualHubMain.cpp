// quorvi-virtual-hub: the virtual hub as a kernel HID device on /dev/uhid, so
// the real updater finds it through hidraw like a plugged-in hub. Runs until
// SIGINT or SIGTERM; SIGUSR1 unplugs it, SIGUSR2 plugs it back in.

#include "UhidHub.h"
#include "VirtualHubOptions.h"

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
#include <variant>
#include <vector>

using namespace hubsim;

namespace {

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
    const auto parsed = parseVirtualHubOptions(std::vector<std::string>(argv, argv + argc));
    if (const OptionsEnd* end = std::get_if<OptionsEnd>(&parsed)) {
        std::cerr << end->err;
        std::cout << end->out;
        return end->status;
    }
    const VirtualHubOptions& settings = std::get<VirtualHubOptions>(parsed);

    // The signals are taken by sigwait below, never by a handler.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
        sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    UhidHub hub(settings.uhidPath);
    hub.setPhys(settings.phys);
    hub.apply(settings.hub);

    // A log written as it happens to a slow file system would hold up the
    // replies, so a log file is only written at the end.
    const auto start = std::chrono::steady_clock::now();
    std::mutex logMutex;
    std::vector<std::string> lines;
    auto logLine = [&](const std::string& line) {
        const std::string stamped = elapsed(start) + " " + line;
        std::lock_guard lock(logMutex);
        if (settings.logPath.empty())
            std::cout << stamped << std::endl;
        else
            lines.push_back(stamped);
    };
    hub.setLogger(logLine);

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
    logLine(summary);

    if (!settings.logPath.empty()) {
        std::ofstream out(settings.logPath, std::ios::trunc);
        for (const auto& line : lines)
            out << line << '\n';
        if (!out) {
            std::cerr << "quorvi-virtual-hub: cannot write " << settings.logPath << "\n";
            return 1;
        }
    }
    return 0;
}
