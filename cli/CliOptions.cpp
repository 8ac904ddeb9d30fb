#include "CliOptions.h"

#include <utility>

namespace cli {

namespace {

std::optional<Command> commandNamed(const QString& word) {
    if (word == QLatin1String("list"))
        return Command::List;
    if (word == QLatin1String("check"))
        return Command::Check;
    if (word == QLatin1String("update"))
        return Command::Update;
    if (word == QLatin1String("history"))
        return Command::History;
    if (word == QLatin1String("data"))
        return Command::Data;
    if (word == QLatin1String("levels"))
        return Command::Levels;
    return std::nullopt;
}

// After "levels set": a level, a CHANNEL=LEVEL pair, or a negative number,
// each checked (and refused by name) with the others.
bool isLevelWord(const QString& word) {
    if (word.isEmpty() || word.startsWith(QLatin1String("--")))
        return false;
    return word.front().isDigit() || word.contains(QLatin1Char('=')) ||
           (word.size() > 1 && word.front() == QLatin1Char('-') && word.at(1).isDigit());
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

ParseResult parseArguments(const QStringList& arguments) {
    ParseResult r;
    Options& o = r.options;
    const auto bad = [&r](const QString& message) {
        r.error = message;
        return std::move(r);
    };
    // Options that hold one value: a second one would silently win.
    QStringList given;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        QString arg = arguments[i];
        std::optional<QString> inlineValue;
        if (arg.startsWith(QLatin1String("--")) && arg.contains(QLatin1Char('='))) {
            const qsizetype eq = arg.indexOf(QLatin1Char('='));
            inlineValue = arg.mid(eq + 1);
            arg = arg.left(eq);
        }
        const auto takeValue = [&](QString& into, bool repeatable = false) {
            if (!repeatable && given.contains(arg))
                return false;
            given << arg;
            if (inlineValue) {
                into = *inlineValue;
                return !into.isEmpty();
            }
            if (i + 1 >= arguments.size() || arguments[i + 1].startsWith(QLatin1String("--")))
                return false;
            into = arguments[++i];
            return true;
        };
        const auto flag = [&](bool& into) {
            into = true;
            return !inlineValue;
        };
        const bool once = !given.contains(arg);
        const auto needs = [&](const QString& what) {
            return once ? what : QStringLiteral("%1 is given twice: give it once.").arg(arg);
        };
        QString value;
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            if (!flag(o.help))
                return bad(QStringLiteral("%1 takes no value.").arg(arg));
        } else if (arg == QLatin1String("--version") || arg == QLatin1String("-V")) {
            if (!flag(o.version))
                return bad(QStringLiteral("%1 takes no value.").arg(arg));
        } else if (arg == QLatin1String("--all")) {
            if (!flag(o.all))
                return bad(QStringLiteral("--all takes no value."));
        } else if (arg == QLatin1String("--json")) {
            if (!flag(o.json))
                return bad(QStringLiteral("--json takes no value."));
        } else if (arg == QLatin1String("--quiet") || arg == QLatin1String("-q")) {
            if (!flag(o.quiet))
                return bad(QStringLiteral("%1 takes no value.").arg(arg));
        } else if (arg == QLatin1String("--verbose") || arg == QLatin1String("-v")) {
            if (!flag(o.verbose))
                return bad(QStringLiteral("%1 takes no value.").arg(arg));
        } else if (arg == QLatin1String("--no-progress")) {
            if (!flag(o.noProgress))
                return bad(QStringLiteral("--no-progress takes no value."));
        } else if (arg == QLatin1String("--force")) {
            if (!flag(o.force))
                return bad(QStringLiteral("--force takes no value."));
        } else if (arg == QLatin1String("--no-lock")) {
            if (!flag(o.noLock))
                return bad(QStringLiteral("--no-lock takes no value."));
        } else if (arg == QLatin1String("--discard-calibration")) {
            if (!flag(o.discardCalibration))
                return bad(QStringLiteral("--discard-calibration takes no value."));
        } else if (arg == QLatin1String("--path")) {
            if (!takeValue(o.path))
                return bad(needs(QStringLiteral("--path needs the hub's path (see 'quorvi-hub list').")));
        } else if (arg == QLatin1String("--image")) {
            if (!takeValue(o.imageFile))
                return bad(needs(QStringLiteral("--image needs a firmware image file.")));
        } else if (arg == QLatin1String("--virtual")) {
            bool ok = false;
            if (takeValue(value))
                o.virtualHubs = value.toInt(&ok);
            if (!ok || o.virtualHubs < 1 || o.virtualHubs > MaxVirtualHubs)
                return bad(needs(
                    QStringLiteral("--virtual needs a number of hubs from 1 to %1.").arg(MaxVirtualHubs)));
        } else if (arg == QLatin1String("--virtual-version")) {
            if (!takeValue(value) || !(o.virtualVersion = parseVersion(value)))
                return bad(needs(QStringLiteral("--virtual-version needs a version such as 1.1.15.0906.")));
        } else if (arg == QLatin1String("--virtual-fault")) {
            if (!takeValue(value, true))
                return bad(QStringLiteral("--virtual-fault needs a fault such as 2:fail@40."));
            QString why;
            const std::optional<VirtualFault> fault = parseFault(value, &why);
            if (!fault)
                return bad(why);
            o.faults.push_back(*fault);
        } else if (arg == QLatin1String("--hub")) {
            if (!takeValue(o.historyHub))
                return bad(needs(QStringLiteral("--hub needs a hub: its identity, serial or port.")));
        } else if (arg == QLatin1String("--since")) {
            if (!takeValue(value) || !(o.historySince = parseSince(value)).isValid())
                return bad(
                    needs(QStringLiteral("--since needs a date such as 2026-03-01 or 2026-03-01T09:30.")));
        } else if (arg == QLatin1String("--last")) {
            bool ok = false;
            if (takeValue(value))
                o.historyLast = value.toInt(&ok);
            if (!ok || o.historyLast < 1)
                return bad(needs(QStringLiteral("--last needs a number of records, 1 or more.")));
        } else if (arg == QLatin1String("--virtual-scene")) {
            if (!takeValue(value) || !(o.virtualScene = hubsim::sceneNamed(value.toStdString())))
                return bad(needs(QStringLiteral("--virtual-scene needs one of: %1.")
                                     .arg(QString::fromStdString(hubsim::sceneNames()))));
        } else if (arg == QLatin1String("--watch")) {
            bool ok = false;
            if (takeValue(value))
                o.watchSeconds = value.toDouble(&ok);
            if (!ok || !(o.watchSeconds >= MinWatchSeconds) || o.watchSeconds > 86400)
                return bad(needs(QStringLiteral("--watch needs the seconds between readings, at least %1.")
                                     .arg(MinWatchSeconds)));
        } else if (arg == QLatin1String("--count")) {
            bool ok = false;
            if (takeValue(value))
                o.count = value.toInt(&ok);
            if (!ok || o.count < 1)
                return bad(needs(QStringLiteral("--count needs a number of readings, at least 1.")));
        } else if (arg == QLatin1String("--csv")) {
            if (!flag(o.csv))
                return bad(QStringLiteral("--csv takes no value."));
        } else if (arg == QLatin1String("--from")) {
            if (!takeValue(o.fromFile))
                return bad(
                    needs(QStringLiteral("--from needs a file written by 'quorvi-hub levels --json'.")));
        } else if (o.levelsSet && !inlineValue && isLevelWord(arg)) {
            o.levelArguments << arg;
        } else if (arg.startsWith(QLatin1Char('-')) && arg.size() > 1) {
            return bad(QStringLiteral("Unknown option %1.").arg(arg));
        } else if (o.command == Command::Levels && !o.levelsSet && arg == QLatin1String("set")) {
            o.levelsSet = true;
        } else if (const std::optional<Command> command = commandNamed(arg)) {
            if (o.command != Command::None)
                return bad(QStringLiteral("Only one command at a time: %1 after an earlier one.").arg(arg));
            o.command = *command;
        } else {
            return bad(
                QStringLiteral("Unknown command '%1': use list, check, update, history, data or levels.")
                    .arg(arg));
        }
    }
    if (o.help || o.version)
        return r;
    if (o.command == Command::None)
        return bad(QStringLiteral("No command given: use list, check, update, history, data or levels."));
    if (o.command == Command::History &&
        (o.all || !o.path.isEmpty() || !o.imageFile.isEmpty() || o.virtualHubs >= 0 || o.quiet))
        return bad(QStringLiteral("history takes only --hub, --since, --last, --verbose and --json."));
    if (o.command != Command::History &&
        (!o.historyHub.isEmpty() || o.historySince.isValid() || o.historyLast))
        return bad(QStringLiteral("--hub, --since and --last belong to history."));
    if (o.command != Command::Data && (o.watchSeconds > 0 || o.count > 0 || o.csv))
        return bad(QStringLiteral("--watch, --count and --csv belong to data."));
    if ((o.command == Command::Data || o.command == Command::Levels) &&
        (o.quiet || o.verbose || o.noProgress))
        return bad(QStringLiteral("--quiet, --verbose and --no-progress belong to list, check and update."));
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
    if (o.command != Command::Check && o.command != Command::Update && !o.imageFile.isEmpty())
        return bad(QStringLiteral("--image belongs to check and update."));
    if (o.command != Command::Update && o.force && o.fromFile.isEmpty())
        return bad(QStringLiteral("--force belongs to update and levels set --from."));
    if (o.command != Command::Update && o.noLock)
        return bad(QStringLiteral("--no-lock belongs to update."));
    if (o.command != Command::Update && o.discardCalibration)
        return bad(QStringLiteral("--discard-calibration belongs to update."));
    if (!actsOnChosenHubs(o.command) && o.all)
        return bad(
            QStringLiteral("--all belongs to update, data and levels (check and list take every hub)."));
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
                          "Options (before or after the command):\n"
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
                          "                     what the virtual hubs' running data tell: fixed\n"
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
