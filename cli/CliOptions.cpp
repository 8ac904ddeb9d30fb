#include "CliOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QRegularExpression>

#include <algorithm>
#include <utility>

namespace cli {

namespace {

constexpr unsigned bit(Command command) {
    return 1u << unsigned(command);
}
constexpr unsigned Looking = bit(Command::List) | bit(Command::Check) | bit(Command::Update);
constexpr unsigned OnHubs = Looking | bit(Command::Data) | bit(Command::Levels);
constexpr unsigned Every = OnHubs | bit(Command::History);

struct Command_ {
    Command command;
    const char* name;
};
constexpr Command_ Commands[] = {{Command::List, "list"},     {Command::Check, "check"},
                                 {Command::Update, "update"}, {Command::History, "history"},
                                 {Command::Data, "data"},     {Command::Levels, "levels"}};

QString nameOf(Command command) {
    for (const Command_& c : Commands)
        if (c.command == command)
            return QLatin1String(c.name);
    return QString();
}

std::optional<Command> commandNamed(const QString& word) {
    for (const Command_& c : Commands)
        if (word == QLatin1String(c.name))
            return c.command;
    return std::nullopt;
}

// Every option: its names, the value it takes (none for a switch), the
// commands that use it, and what it needs when its value is missing or wrong.
struct OptionRule {
    const char* name;
    const char* shortName;
    const char* valueName; // nullptr: a switch
    unsigned commands;
    const char* needs = nullptr;
    bool repeatable = false;
};

const std::vector<OptionRule>& optionRules() {
    static const std::vector<OptionRule> table{
        {"help", "h", nullptr, Every},
        {"version", "V", nullptr, Every},
        {"all", nullptr, nullptr, bit(Command::Update) | bit(Command::Data) | bit(Command::Levels)},
        {"path", nullptr, "P", OnHubs, "the hub's path (see 'quorvi-hub list')"},
        {"image", nullptr, "FILE", bit(Command::Check) | bit(Command::Update), "a firmware image file"},
        {"force", nullptr, nullptr, bit(Command::Update) | bit(Command::Levels)},
        {"no-lock", nullptr, nullptr, bit(Command::Update)},
        {"discard-calibration", nullptr, nullptr, bit(Command::Update)},
        {"watch", nullptr, "SECONDS", bit(Command::Data), "the seconds between readings, at least 0.2"},
        {"count", nullptr, "N", bit(Command::Data), "a number of readings, at least 1"},
        {"csv", nullptr, nullptr, bit(Command::Data)},
        {"from", nullptr, "FILE", bit(Command::Levels), "a file written by 'quorvi-hub levels --json'"},
        {"json", nullptr, nullptr, Every},
        {"quiet", "q", nullptr, Looking},
        {"verbose", "v", nullptr, Looking | bit(Command::History)},
        {"no-progress", nullptr, nullptr, Looking},
        {"hub", nullptr, "ID", bit(Command::History), "a hub: its identity, serial or port"},
        {"since", nullptr, "DATE", bit(Command::History), "a date such as 2026-03-01 or 2026-03-01T09:30"},
        {"last", nullptr, "N", bit(Command::History), "a number of records, 1 or more"},
        {"virtual", nullptr, "N", OnHubs, "a number of hubs from 1 to 16"},
        {"virtual-version", nullptr, "V", OnHubs, "a version such as 1.1.15.0906"},
        {"virtual-fault", nullptr, "FAULT", OnHubs, "a fault such as 2:fail@40", true},
        {"virtual-scene", nullptr, "NAME", bit(Command::Data), nullptr},
    };
    return table;
}

const OptionRule* ruleNamed(const QString& name) {
    for (const OptionRule& rule : optionRules())
        if (name == QLatin1String(rule.name) || (rule.shortName && name == QLatin1String(rule.shortName)))
            return &rule;
    return nullptr;
}

QString dashed(const OptionRule& rule) {
    return QStringLiteral("--") + QLatin1String(rule.name);
}

QString listed(const QStringList& words) {
    if (words.size() < 2)
        return words.join(QString());
    return words.mid(0, words.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" and ") + words.last();
}

// The options a command takes, as its refusal of another one lists them.
QString optionsOf(Command command) {
    QStringList names;
    for (const OptionRule& rule : optionRules())
        if ((rule.commands & bit(command)) && rule.commands != Every)
            names << dashed(rule);
    names << QStringLiteral("--json");
    return listed(names);
}

QString ownersOf(const OptionRule& rule) {
    QStringList owners;
    for (const Command_& c : Commands)
        if (rule.commands & bit(c.command))
            owners << QLatin1String(c.name);
    return listed(owners);
}

// The nearest of the words within two edits, for a "did you mean".
QString nearest(const QString& word, const QStringList& words) {
    QString best;
    qsizetype bestDistance = 3;
    for (const QString& candidate : words) {
        std::vector<qsizetype> row(std::size_t(candidate.size()) + 1);
        for (std::size_t j = 0; j < row.size(); ++j)
            row[j] = qsizetype(j);
        for (qsizetype i = 1; i <= word.size(); ++i) {
            qsizetype diagonal = row[0];
            row[0] = i;
            for (qsizetype j = 1; j <= candidate.size(); ++j) {
                const qsizetype above = row[std::size_t(j)];
                row[std::size_t(j)] = std::min({above + 1, row[std::size_t(j - 1)] + 1,
                                                diagonal + (word.at(i - 1) == candidate.at(j - 1) ? 0 : 1)});
                diagonal = above;
            }
        }
        if (row.back() < bestDistance && row.back() < candidate.size()) {
            bestDistance = row.back();
            best = candidate;
        }
    }
    return best;
}

QString unknownOption(const QString& name) {
    const QString shown = (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    QStringList names;
    for (const OptionRule& rule : optionRules())
        names << dashed(rule);
    const QString near = nearest(shown, names);
    return near.isEmpty() ? QStringLiteral("Unknown option %1.").arg(shown)
                          : QStringLiteral("Unknown option %1: did you mean %2?").arg(shown, near);
}

QString unknownCommand(const QString& word) {
    QStringList names;
    for (const Command_& c : Commands)
        names << QLatin1String(c.name);
    const QString near = nearest(word, names);
    return QStringLiteral("Unknown command '%1': %2 list, check, update, history, data or levels.")
        .arg(word, near.isEmpty() ? QStringLiteral("use") : QStringLiteral("did you mean %1? Use").arg(near));
}

// After "levels set": a level, a CHANNEL=LEVEL pair, or a negative number,
// each checked (and refused by name) with the others.
bool isLevelWord(const QString& word) {
    if (word.isEmpty() || word.startsWith(QLatin1String("--")))
        return false;
    return word.front().isDigit() || word.contains(QLatin1Char('=')) ||
           (word.size() > 1 && word.front() == QLatin1Char('-') && word.at(1).isDigit());
}

// The level words after "levels set" are taken out before the options are
// parsed: a negative level would read as an option.
QStringList takeLevelWords(const QStringList& arguments, QStringList& levels) {
    QStringList rest;
    QStringList words; // the words that are no option
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg == QLatin1String("--")) {
            rest << arguments.mid(i);
            break;
        }
        const bool afterSet =
            words.size() >= 2 && words[0] == QLatin1String("levels") && words[1] == QLatin1String("set");
        if (afterSet && isLevelWord(arg)) {
            levels << arg;
            continue;
        }
        rest << arg;
        if (arg.startsWith(QLatin1String("--")) && !arg.contains(QLatin1Char('='))) {
            const OptionRule* rule = ruleNamed(arg.mid(2));
            if (rule && rule->valueName && i + 1 < arguments.size())
                rest << arguments[++i];
        } else if (!arg.startsWith(QLatin1Char('-')) || arg.size() == 1) {
            words << arg;
        }
    }
    return rest;
}

// The parser's own complaint, in this program's words.
QString parserError(const QCommandLineParser& parser) {
    if (!parser.unknownOptionNames().isEmpty())
        return unknownOption(parser.unknownOptionNames().first());
    static const QRegularExpression quoted(QStringLiteral("'-*([^'=]+)"));
    const QString text = parser.errorText();
    const QRegularExpressionMatch m = quoted.match(text);
    const OptionRule* rule = m.hasMatch() ? ruleNamed(m.captured(1)) : nullptr;
    if (!rule)
        return text;
    if (!rule->valueName)
        return QStringLiteral("%1 takes no value.").arg(dashed(*rule));
    return QStringLiteral("%1 needs %2.").arg(dashed(*rule), QLatin1String(rule->needs));
}

// The one value of an option, or why there is none that can be used.
std::optional<QString> valueOf(const QCommandLineParser& parser, const OptionRule& rule, QString& error) {
    const QStringList values = parser.values(QLatin1String(rule.name));
    if (values.isEmpty())
        return std::nullopt;
    if (values.size() > 1 && !rule.repeatable) {
        error = QStringLiteral("%1 is given twice: give it once.").arg(dashed(rule));
        return std::nullopt;
    }
    for (const QString& value : values) {
        // "--image --all": the option was left without its value.
        if (value.isEmpty() || value.startsWith(QLatin1String("--"))) {
            error = QStringLiteral("%1 needs %2.").arg(dashed(rule), QLatin1String(rule.needs));
            return std::nullopt;
        }
    }
    return values.last();
}

} // namespace

std::optional<std::uint32_t> parseVersion(const QString& text) {
    QString digits = text;
    if (digits.contains(QLatin1Char('.'))) {
        const QStringList parts = digits.split(QLatin1Char('.'));
        // The digits are grouped 1.1.2.4 when shown.
        if (parts.size() != 4 || parts[0].size() != 1 || parts[1].size() != 1 || parts[2].size() != 2 ||
            parts[3].size() != 4)
            return std::nullopt;
        digits = parts.join(QString());
    }
    if (digits.size() != 8)
        return std::nullopt;
    bool ok = false;
    const uint value = digits.toUInt(&ok, 16);
    if (!ok)
        return std::nullopt;
    return std::uint32_t(value);
}

std::optional<VirtualFault> parseFault(const QString& text, QString* error) {
    std::string why;
    const std::optional<VirtualFault> fault = hubsim::parseFault(text.toStdString(), MaxVirtualHubs, &why);
    if (!fault && error)
        *error = QStringLiteral("Bad virtual fault \"%1\": %2").arg(text, QString::fromStdString(why));
    return fault;
}

QDateTime parseSince(const QString& text) {
    // A date alone is its first moment; a time without a zone is local.
    const QDate date = QDate::fromString(text, Qt::ISODate);
    if (date.isValid())
        return date.startOfDay();
    return QDateTime::fromString(text, Qt::ISODate);
}

namespace {

// Reads each option's value into the options; false with the reason at the first bad one.
bool readValues(const QCommandLineParser& parser, Options& o, QString& error) {
    for (const OptionRule& rule : optionRules()) {
        const QString name = QLatin1String(rule.name);
        if (!rule.valueName)
            continue;
        const std::optional<QString> value = valueOf(parser, rule, error);
        if (!error.isEmpty())
            return false;
        if (!value)
            continue;
        bool ok = true;
        const auto needs = [&] {
            error = QStringLiteral("%1 needs %2.").arg(dashed(rule), QLatin1String(rule.needs));
            return false;
        };
        if (name == QLatin1String("path")) {
            o.path = *value;
        } else if (name == QLatin1String("image")) {
            o.imageFile = *value;
        } else if (name == QLatin1String("from")) {
            o.fromFile = *value;
        } else if (name == QLatin1String("hub")) {
            o.historyHub = *value;
        } else if (name == QLatin1String("virtual")) {
            o.virtualHubs = value->toInt(&ok);
            if (!ok || o.virtualHubs < 1 || o.virtualHubs > MaxVirtualHubs)
                return needs();
        } else if (name == QLatin1String("virtual-version")) {
            if (!(o.virtualVersion = parseVersion(*value)))
                return needs();
        } else if (name == QLatin1String("virtual-fault")) {
            for (const QString& text : parser.values(name)) {
                const std::optional<VirtualFault> fault = parseFault(text, &error);
                if (!fault)
                    return false;
                o.faults.push_back(*fault);
            }
        } else if (name == QLatin1String("virtual-scene")) {
            if (!(o.virtualScene = hubsim::sceneNamed(value->toStdString()))) {
                error = QStringLiteral("--virtual-scene needs one of: %1.")
                            .arg(QString::fromStdString(hubsim::sceneNames()));
                return false;
            }
        } else if (name == QLatin1String("since")) {
            if (!(o.historySince = parseSince(*value)).isValid())
                return needs();
        } else if (name == QLatin1String("last")) {
            o.historyLast = value->toInt(&ok);
            if (!ok || o.historyLast < 1)
                return needs();
        } else if (name == QLatin1String("watch")) {
            o.watchSeconds = value->toDouble(&ok);
            if (!ok || !(o.watchSeconds >= MinWatchSeconds) || o.watchSeconds > 86400)
                return needs();
        } else if (name == QLatin1String("count")) {
            o.count = value->toInt(&ok);
            if (!ok || o.count < 1)
                return needs();
        }
    }
    return true;
}

void readSwitches(const QCommandLineParser& parser, Options& o) {
    const auto on = [&parser](const char* name) { return parser.isSet(QLatin1String(name)); };
    o.help = on("help");
    o.version = on("version");
    o.all = on("all");
    o.json = on("json");
    o.quiet = on("quiet");
    o.verbose = on("verbose");
    o.noProgress = on("no-progress");
    o.force = on("force");
    o.noLock = on("no-lock");
    o.discardCalibration = on("discard-calibration");
    o.csv = on("csv");
}

// The command and, for "levels set", its word; false with the reason.
bool readCommand(const QStringList& words, Options& o, QString& error) {
    for (const QString& word : words) {
        if (o.levelsSet && isLevelWord(word)) { // after "--"
            o.levelArguments << word;
            continue;
        }
        if (o.command == Command::Levels && !o.levelsSet && word == QLatin1String("set")) {
            o.levelsSet = true;
            continue;
        }
        const std::optional<Command> command = commandNamed(word);
        if (!command) {
            error = unknownCommand(word);
            return false;
        }
        if (o.command != Command::None) {
            error = QStringLiteral("Only one command at a time: %1 after an earlier one.").arg(word);
            return false;
        }
        o.command = *command;
    }
    return true;
}

// An option the command does not use is refused by name, with what the command takes.
QString unusedOption(const QCommandLineParser& parser, Command command) {
    for (const QString& name : parser.optionNames()) {
        const OptionRule* rule = ruleNamed(name);
        if (rule && !(rule->commands & bit(command)))
            return QStringLiteral("%1 does not take %2 (it belongs to %3); %1 takes %4.")
                .arg(nameOf(command), dashed(*rule), ownersOf(*rule), optionsOf(command));
    }
    return QString();
}

} // namespace

ParseResult parseArguments(const QStringList& arguments) {
    ParseResult r;
    Options& o = r.options;
    const auto bad = [&r](const QString& message) {
        r.error = message;
        return std::move(r);
    };
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    for (const OptionRule& rule : optionRules()) {
        QStringList names{QLatin1String(rule.name)};
        if (rule.shortName)
            names.prepend(QLatin1String(rule.shortName));
        parser.addOption(rule.valueName ? QCommandLineOption(names, QString(), QLatin1String(rule.valueName))
                                        : QCommandLineOption(names));
    }
    const QStringList rest = takeLevelWords(arguments, o.levelArguments);
    if (!parser.parse(QStringList{QStringLiteral("quorvi-hub")} + rest))
        return bad(parserError(parser));
    readSwitches(parser, o);
    QString error;
    if (!readValues(parser, o, error))
        return bad(error);
    if (!readCommand(parser.positionalArguments(), o, error))
        return bad(error);
    if (o.help || o.version)
        return r;
    if (o.command == Command::None)
        return bad(QStringLiteral("No command given: use list, check, update, history, data or levels."));
    if (const QString unused = unusedOption(parser, o.command); !unused.isEmpty())
        return bad(unused);
    if (!o.levelsSet && !o.levelArguments.isEmpty())
        return bad(unknownCommand(o.levelArguments.first()));
    if (o.count > 0 && o.watchSeconds <= 0)
        return bad(QStringLiteral("--count needs --watch SECONDS."));
    if (o.csv && o.json)
        return bad(QStringLiteral("--csv and --json exclude each other."));
    if (!o.fromFile.isEmpty() && !o.levelsSet)
        return bad(QStringLiteral("--from belongs to levels set."));
    if (o.levelsSet && o.fromFile.isEmpty() == o.levelArguments.isEmpty())
        return bad(o.fromFile.isEmpty()
                       ? QStringLiteral("levels set needs eight levels, CHANNEL=LEVEL pairs, or --from FILE.")
                       : QStringLiteral("levels set takes either levels or --from FILE, not both."));
    if (o.all && !o.path.isEmpty())
        return bad(QStringLiteral("--all and --path exclude each other."));
    if (o.quiet && o.verbose)
        return bad(QStringLiteral("--quiet and --verbose exclude each other."));
    if (o.command == Command::Levels && o.force && o.fromFile.isEmpty())
        return bad(QStringLiteral("--force with levels belongs to levels set --from FILE."));
    if (o.virtualHubs < 0 && (o.virtualVersion || !o.faults.empty() || o.virtualScene))
        return bad(
            QStringLiteral("--virtual-version, --virtual-fault and --virtual-scene need --virtual N."));
    for (const VirtualFault& fault : o.faults) {
        if (fault.hub > o.virtualHubs)
            return bad(QStringLiteral("--virtual-fault names hub %1, but there are %2 virtual hubs.")
                           .arg(fault.hub)
                           .arg(o.virtualHubs));
    }
    return r;
}

QString usageText() {
    return QStringLiteral("Usage: quorvi-hub [options] <command> [options]\n"
                          "\n"
                          "Lists, checks and updates Quorvi Charging Hubs without a window, reads\n"
                          "their running data and sets their LED levels.\n"
                          "\n"
                          "Commands:\n"
                          "  list      every plugged hub: path, instance, mode, firmware version, access\n"
                          "  check     compares each hub's firmware with the image's version\n"
                          "  update    updates the chosen hubs in parallel, LED calibration kept; a hub\n"
                          "            at the image's version is skipped and a newer one is not\n"
                          "            downgraded, unless --force\n"
                          "  history   every update attempt of this user (this program and the window),\n"
                          "            one a line: time, hub, result, calibration; the newest 10000\n"
                          "            are kept\n"
                          "  data      each chosen hub's running data: voltage (mV), current (mA),\n"
                          "            channel, state, three further values, the four battery slots\n"
                          "  levels    each chosen hub's eight LED levels (LED 1 to 4 red, then\n"
                          "            green, 0 to 100); --json writes a backup\n"
                          "  levels set L1 ... L8 | CHANNEL=LEVEL ... | --from FILE\n"
                          "            writes the levels as the service page does and reads them\n"
                          "            back; --from restores a backup onto its own hub (another\n"
                          "            hub's only with --force); recorded in the history\n"
                          "\n"
                          "Options (before or after the command; each command refuses the ones it\n"
                          "does not use; short options may be joined, -- ends the options):\n"
                          "  --all              update, data, levels: every plugged hub\n"
                          "  --path P           only the hub at device path P, as 'list' shows it\n"
                          "  --image FILE       check, update: this firmware image file instead of the\n"
                          "                     built-in one; every line's checksum and the closing\n"
                          "                     version record are checked before anything is sent,\n"
                          "                     and its version is the one compared and verified\n"
                          "  --force            update: also a hub at the image's version or newer;\n"
                          "                     levels set --from: also another hub's levels\n"
                          "  --no-lock          update: go on when a hub's lock cannot be made (no\n"
                          "                     other program is then kept from the hub)\n"
                          "  --discard-calibration\n"
                          "                     update: also a hub whose mode or LED calibration\n"
                          "                     cannot be read; it gets the new firmware's default\n"
                          "                     LED levels. Without it such a hub is left untouched\n"
                          "  --watch SECONDS    data: read again every SECONDS (at least 0.2) until\n"
                          "                     Ctrl+C; a reading without an answer is a row too\n"
                          "  --count N          data --watch: stop after N readings\n"
                          "  --csv              data: one CSV row per reading under one header\n"
                          "                     (with --watch, --json writes one object per line)\n"
                          "  --from FILE        levels set: the levels 'levels --json' wrote\n"
                          "  --json             one JSON document on standard output, for scripts\n"
                          "  -q, --quiet        errors and the final summary only\n"
                          "  -v, --verbose      also every frame written to and read from a hub, in hex;\n"
                          "                     history: every record's details\n"
                          "  --no-progress      plain lines instead of the live progress bars\n"
                          "  --hub ID           history: one hub, by its identity, serial or port\n"
                          "  --since DATE       history: from this date (2026-03-01) or local time\n"
                          "                     (2026-03-01T09:30) on\n"
                          "  --last N           history: only the last N records\n"
                          "  --virtual N        N virtual hubs (1 to 16) in this process instead of\n"
                          "                     the real ones, with older firmware\n"
                          "  --virtual-version V\n"
                          "                     firmware of the virtual hubs (default 1.1.15.0905)\n"
                          "  --virtual-fault [HUB:]KIND[@N]\n"
                          "                     a fault of virtual hub HUB (from 1; default every hub),\n"
                          "                     to see what a failure looks like; may be repeated.\n"
                          "                     Frames are counted from 1 as the hub receives them.\n"
                          "  --virtual-scene NAME\n"
                          "                     data: what the virtual hubs' running data tell: fixed\n"
                          "                     (default), idle, charging (two batteries, a minute\n"
                          "                     each), busy (slots also fill and empty)\n") +
           QString::fromStdString(hubsim::faultHelp(6)) +
           QStringLiteral("  -h, --help         this text\n"
                          "  -V, --version      the program's version and its built-in firmware version\n"
                          "\n"
                          "Results go to standard output; errors, warnings and failures to standard\n"
                          "error. Live progress bars only on a terminal (not under TERM=dumb).\n"
                          "\n"
                          "Hubs are known by their serial number, or by their USB port when they have\n"
                          "none; their kept LED levels and their update history are shared with the\n"
                          "window. One update per hub at a time: a hub that another program (this one\n"
                          "or the window) is updating is left alone, with \"Another program is\n"
                          "updating hub <id>\", and counts as failed.\n"
                          "\n"
                          "A hub that fails reads FAILED (kind), then its log, which ends with what\n"
                          "happened (the frame, the line of how many), where the hub was left and the\n"
                          "next step; check, update, the log and --json use the same words. Kinds:\n"
                          "  refused               a frame answered with an error result\n"
                          "  no-answer             plugged in, but answers nothing\n"
                          "  unplugged             left the bus (at the line named)\n"
                          "  no-return             did not come back after its restart\n"
                          "  stayed-in-bootloader  came back in its bootloader after the update\n"
                          "  wrong-version         came back running another version than the image's\n"
                          "  answer-disputed       answered one frame twice, differently\n"
                          "  levels-not-restored   new firmware, LED levels kept for the next update\n"
                          "  calibration-unreadable\n"
                          "                        its mode or LED levels could not be read: not sent\n"
                          "                        to its bootloader, nothing changed\n"
                          "  entry-not-reached     the bootloader entry did not reach it: nothing\n"
                          "                        programmed\n"
                          "  image-refused, hub-busy, lock-failed, not-downgraded, no-access, stopped\n"
                          "                        nothing was sent, or stopped by a signal\n"
                          "\n"
                          "Ctrl+C, SIGTERM and SIGHUP let each hub finish the line it is writing, then\n"
                          "stop and report every hub's state; a second Ctrl+C quits at once, with one\n"
                          "line per hub saying where it was left.\n"
                          "\n"
                          "Exit status:\n"
                          "  list    0, also when no hub is plugged in; 1 bad options or no hub at P\n"
                          "  check   0 every hub is up to date or newer; 10 an update is available for\n"
                          "          a hub (or one waits in its bootloader); 1 no hub, a hub not\n"
                          "          answering or without access, a broken image, bad options\n"
                          "  history 0; 1 bad options\n"
                          "  data, levels\n"
                          "          0 every chosen hub answered (a watch: at least once) and, for\n"
                          "          levels set, holds the levels asked for; 1 anything else: no\n"
                          "          hub, a hub not answering, busy or refused, bad options\n"
                          "  update  0 every chosen hub was updated or already at the image's version;\n"
                          "          1 anything else: no hub, a failed or stopped update, a newer hub\n"
                          "          not downgraded without --force, a broken image, bad options\n");
}

} // namespace cli
