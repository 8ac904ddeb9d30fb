#include "VirtualHubOptions.h"

#include "HubFaultNames.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <utility>

namespace hubsim {

namespace {

std::string usage() {
    return R"(Usage: quorvi-virtual-hub [options]
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
)" + faultHelp(6) +
           "Signals: SIGUSR1 unplugs, SIGUSR2 plugs in again, SIGINT/SIGTERM end.\n";
}

bool number(const std::string& text, int base, unsigned long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(text.c_str(), &end, base);
    return errno == 0 && end && end != text.c_str() && *end == '\0';
}

OptionsEnd refused(const std::string& why) {
    return {2, {}, "quorvi-virtual-hub: " + why + "\n"};
}

void addOptions(QCommandLineParser& parser) {
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
}

// Where the program ends before any value is read: help, an unknown option,
// a value missing or a stray argument.
std::optional<OptionsEnd> parseEnd(QCommandLineParser& parser, const std::vector<std::string>& arguments) {
    QStringList words;
    for (const std::string& argument : arguments)
        words << QString::fromLocal8Bit(argument.c_str());
    if (!parser.parse(words)) {
        if (parser.unknownOptionNames().isEmpty()) {
            // A value missing, or one given to an option that takes none.
            const QString text = parser.errorText();
            const qsizetype from = text.indexOf(QLatin1Char('\'')) + 1;
            return refused("bad or missing value for " +
                           text.mid(from, text.indexOf(QLatin1Char('\''), from) - from).toStdString());
        }
        const QString name = parser.unknownOptionNames().first();
        return OptionsEnd{2, usage(),
                          std::string("quorvi-virtual-hub: unknown option ") +
                              (name.size() == 1 ? "-" : "--") + name.toStdString() + "\n"};
    }
    if (parser.isSet(QStringLiteral("help")))
        return OptionsEnd{0, usage(), {}};
    if (!parser.positionalArguments().isEmpty())
        return refused("unexpected argument " + parser.positionalArguments().first().toStdString());
    return std::nullopt;
}

// The values into the options; the name of the first option whose value is bad.
std::optional<std::string> readValues(const QCommandLineParser& parser, VirtualHubOptions& options) {
    HubSetup& hub = options.hub;
    const auto value = [&parser](const char* name) {
        return parser.value(QLatin1String(name)).toStdString();
    };
    const auto given = [&parser](const char* name) { return parser.isSet(QLatin1String(name)); };
    unsigned long n = 0, m = 0;
    if (given("firmware")) {
        if (!number(value("firmware"), 16, n) || n > 0xFFFFFFFFul)
            return "firmware";
        hub.version = std::uint32_t(n);
    }
    if (given("scene")) {
        const std::optional<Scene> named = sceneNamed(value("scene"));
        if (!named)
            return "scene";
        hub.scene = *named;
    }
    if (given("bootloader"))
        hub.mode = HubMode::Bootloader;
    for (const auto& [name, into] : {std::pair{"serial", &hub.serial}, std::pair{"phys", &options.phys}}) {
        if (!given(name))
            continue;
        if (value(name).empty() || value(name).size() >= 64)
            return name;
        *into = value(name);
    }
    if (given("restart-delays")) {
        const std::string text = value("restart-delays");
        const std::size_t comma = text.find(',');
        if (comma == std::string::npos || !number(text.substr(0, comma), 10, n) ||
            !number(text.substr(comma + 1), 10, m) || n >= 60000 || m >= 60000)
            return "restart-delays";
        hub.bootloaderEntryMs = int(n);
        hub.rebootMs = int(m);
    }
    if (given("levels")) {
        const QStringList items = QString::fromStdString(value("levels")).split(QLatin1Char(','));
        if (items.size() != qsizetype(hub.levels.size()))
            return "levels";
        for (std::size_t k = 0; k < hub.levels.size(); ++k) {
            if (!number(items[qsizetype(k)].toStdString(), 10, n) || n > 255)
                return "levels";
            hub.levels[k] = std::uint8_t(n);
        }
    }
    if (given("log"))
        options.logPath = value("log");
    if (given("uhid"))
        options.uhidPath = value("uhid");
    return std::nullopt;
}

// --fault KIND[@N], or the kind as an option of its own: --KIND [N]. Why
// one is refused.
std::optional<std::string> readFaults(const QCommandLineParser& parser, HubFaults& into) {
    std::vector<std::string> faults;
    for (const QString& text : parser.values(QStringLiteral("fault")))
        faults.push_back(text.toStdString());
    for (const FaultInfo& info : faultTable()) {
        for (const QString& text : parser.values(QLatin1String(info.name)))
            faults.push_back(std::string(info.name) + "@" + text.toStdString());
        if (!info.valueName && parser.isSet(QLatin1String(info.name)))
            faults.emplace_back(info.name);
    }
    for (const std::string& text : faults) {
        std::string why;
        const std::optional<FaultRequest> fault = parseFault(text, 0, &why);
        if (!fault)
            return "bad fault \"" + text + "\": " + why;
        applyFault(*fault, into);
    }
    return std::nullopt;
}

} // namespace

std::variant<VirtualHubOptions, OptionsEnd>
parseVirtualHubOptions(const std::vector<std::string>& arguments) {
    QCommandLineParser parser;
    addOptions(parser);
    if (std::optional<OptionsEnd> end = parseEnd(parser, arguments))
        return *end;
    VirtualHubOptions options;
    if (const std::optional<std::string> bad = readValues(parser, options))
        return refused("bad or missing value for --" + *bad);
    if (const std::optional<std::string> why = readFaults(parser, options.hub.faults))
        return refused(*why);
    return options;
}

} // namespace hubsim
