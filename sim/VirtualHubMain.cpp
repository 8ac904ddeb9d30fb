// quorvi-virtual-hub: the virtual hub as a kernel HID device on /dev/uhid, so
// the real updater finds it through hidraw like a plugged-in hub. Runs until
// SIGINT or SIGTERM; SIGUSR1 unplugs it, SIGUSR2 plugs it back in.

#include "HubFaultNames.h"
#include "UhidHub.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

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
#include <variant>
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

// What the command line asks for.
struct Settings {
    HubFaults faults;
    std::string logPath;
    std::string uhidPath = "/dev/uhid";
    std::uint32_t version = DefaultFirmwareVersion;
    Scene scene = Scene::Charging;
    bool bootloader = false;
    std::string serial = "VH0001";
    std::string phys = "quorvi-virtual-hub/uhid";
    int entryDelay = -1;
    int rebootDelay = -1;
    std::optional<std::array<std::uint8_t, 8>> levels;
};

// The options, or the exit status when the program ends here (help, or a bad option).
std::variant<Settings, int> parseOptions(int argc, char** argv) {
    QCommandLineParser parser;
    const auto option = [&parser](const char* name, const char* valueName = nullptr) {
        parser.addOption(valueName
                             ? QCommandLineOption(QLatin1String(name), QString(), QLatin1String(valueName))
                             : QCommandLineOption(QLatin1String(name)));
    };
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("h"), QStringLiteral("help")}));
    for (const char* name :
         {"firmware", "scene", "serial", "phys", "restart-delays", "levels", "log", "uhid", "fault"})
        option(name, "VALUE");
    option("bootloader");
    // Each fault kind is an option of its own too: --KIND, or --KIND N.
    for (const FaultInfo& info : faultTable())
        option(info.name, info.valueName);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const auto refused = [](const std::string& why) {
        std::cerr << "quorvi-virtual-hub: " << why << "\n";
        return 2;
    };
    if (!parser.parse(arguments)) {
        if (parser.unknownOptionNames().isEmpty()) {
            // A value missing, or one given to an option that takes none.
            const QString text = parser.errorText();
            const qsizetype from = text.indexOf(QLatin1Char('\'')) + 1;
            return refused("bad or missing value for " +
                           text.mid(from, text.indexOf(QLatin1Char('\''), from) - from).toStdString());
        }
        const QString name = parser.unknownOptionNames().first();
        std::cerr << "quorvi-virtual-hub: unknown option " << (name.size() == 1 ? "-" : "--")
                  << name.toStdString() << "\n";
        usage();
        return 2;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        usage();
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return refused("unexpected argument " + parser.positionalArguments().first().toStdString());

    Settings settings;
    const auto value = [&parser](const char* name) {
        return parser.value(QLatin1String(name)).toStdString();
    };
    const auto given = [&parser](const char* name) { return parser.isSet(QLatin1String(name)); };
    const auto bad = [&](const char* name) {
        return refused(std::string("bad or missing value for --") + name);
    };
    unsigned long n = 0, m = 0;
    if (given("firmware")) {
        if (!number(value("firmware").c_str(), 16, n) || n > 0xFFFFFFFFul)
            return bad("firmware");
        settings.version = std::uint32_t(n);
    }
    if (given("scene")) {
        const std::optional<Scene> named = sceneNamed(value("scene"));
        if (!named)
            return bad("scene");
        settings.scene = *named;
    }
    settings.bootloader = given("bootloader");
    for (const auto& [name, into] :
         {std::pair{"serial", &settings.serial}, std::pair{"phys", &settings.phys}}) {
        if (!given(name))
            continue;
        if (value(name).empty() || value(name).size() >= 64)
            return bad(name);
        *into = value(name);
    }
    if (given("restart-delays")) {
        const std::string text = value("restart-delays");
        const std::size_t comma = text.find(',');
        if (comma == std::string::npos || !number(text.substr(0, comma).c_str(), 10, n) ||
            !number(text.c_str() + comma + 1, 10, m) || n >= 60000 || m >= 60000)
            return bad("restart-delays");
        settings.entryDelay = int(n);
        settings.rebootDelay = int(m);
    }
    if (given("levels")) {
        std::array<std::uint8_t, 8> parsed{};
        const QStringList items = QString::fromStdString(value("levels")).split(QLatin1Char(','));
        if (items.size() != qsizetype(parsed.size()))
            return bad("levels");
        for (std::size_t k = 0; k < parsed.size(); ++k) {
            if (!number(items[qsizetype(k)].toStdString().c_str(), 10, n) || n > 255)
                return bad("levels");
            parsed[k] = std::uint8_t(n);
        }
        settings.levels = parsed;
    }
    if (given("log"))
        settings.logPath = value("log");
    if (given("uhid"))
        settings.uhidPath = value("uhid");
    // --fault KIND[@N], or the kind as an option of its own: --KIND [N].
    std::vector<std::string> faults;
    for (const QString& text : parser.values(QStringLiteral("fault")))
        faults.push_back(text.toStdString());
    for (const FaultInfo& info : faultTable()) {
        for (const QString& text : parser.values(QLatin1String(info.name)))
            faults.push_back(std::string(info.name) + "@" + text.toStdString());
        if (!info.valueName && given(info.name))
            faults.emplace_back(info.name);
    }
    for (const std::string& text : faults) {
        std::string why;
        const std::optional<FaultRequest> fault = parseFault(text, 0, &why);
        if (!fault)
            return refused("bad fault \"" + text + "\": " + why);
        applyFault(*fault, settings.faults);
    }
    return settings;
}

} // namespace

int main(int argc, char** argv) {
    const std::variant<Settings, int> parsed = parseOptions(argc, argv);
    if (const int* status = std::get_if<int>(&parsed))
        return *status;
    const Settings& settings = std::get<Settings>(parsed);

    // The signals are taken by sigwait below, never by a handler.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2})
        sigaddset(&signals, s);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    UhidHub hub(settings.uhidPath);
    hub.setSerial(settings.serial);
    hub.setPhys(settings.phys);
    hub.model().setFirmwareVersion(settings.version);
    hub.model().setMode(settings.bootloader ? HubMode::Bootloader : HubMode::Application);
    hub.runner().setFaults(settings.faults);
    hub.model().setScene(settings.scene);
    if (settings.levels)
        hub.model().setLedLevels(*settings.levels);
    if (settings.entryDelay >= 0)
        hub.model().setRestartDelays(settings.entryDelay, settings.rebootDelay);

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
