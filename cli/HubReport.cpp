#include "HubReport.h"

#include "AppVersion.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace cli {

QString modeName(HubMode mode) {
    switch (mode) {
    case HubMode::Application:
        return QStringLiteral("application");
    case HubMode::Bootloader:
        return QStringLiteral("bootloader");
    case HubMode::NotAnswering:
        return QStringLiteral("not answering");
    case HubMode::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

QString versionText(std::uint32_t version) {
    return FormatVersion(versionHexText(version));
}

namespace {

bool checkFailed(const HubOutcome& hub) {
    if (!hub.access || !hub.problem.isEmpty())
        return true;
    // A hub in its bootloader needs the update; one in its application must
    // have told its version.
    return hub.mode != HubMode::Bootloader && (hub.mode != HubMode::Application || !hub.version);
}

} // namespace

int exitCode(const RunReport& report) {
    if (!report.error.isEmpty() || report.interrupted)
        return ExitFailure;
    switch (report.command) {
    case Command::List:
        return ExitOk;
    case Command::Check: {
        if (report.hubs.empty())
            return ExitFailure;
        bool available = false;
        for (const HubOutcome& hub : report.hubs) {
            if (checkFailed(hub))
                return ExitFailure;
            available |= hub.updateAvailable;
        }
        return available ? ExitUpdateAvailable : ExitOk;
    }
    case Command::Update: {
        bool any = false;
        for (const HubOutcome& hub : report.hubs) {
            if (!hub.chosen)
                continue;
            any = true;
            if (!hub.completed && !hub.skipped)
                return ExitFailure;
        }
        return any ? ExitOk : ExitFailure;
    }
    case Command::History:
        return ExitOk;
    case Command::None:
        break;
    }
    return ExitFailure;
}

namespace {

QString commandName(Command command) {
    switch (command) {
    case Command::List:
        return QStringLiteral("list");
    case Command::Check:
        return QStringLiteral("check");
    case Command::Update:
        return QStringLiteral("update");
    case Command::History:
        return QStringLiteral("history");
    case Command::None:
        break;
    }
    return QString();
}

QJsonValue versionValue(const std::optional<std::uint32_t>& version) {
    return version ? QJsonValue(versionText(*version)) : QJsonValue(QJsonValue::Null);
}

} // namespace

QByteArray toJson(const RunReport& report) {
    QJsonObject root;
    root[QStringLiteral("command")] = commandName(report.command);
    root[QStringLiteral("firmwareVersion")] = versionText(report.firmwareVersion);
    if (report.command != Command::List) {
        QJsonObject image;
        image[QStringLiteral("source")] = report.imageSource;
        image[QStringLiteral("lines")] = report.imageLines;
        image[QStringLiteral("version")] = versionText(report.firmwareVersion);
        root[QStringLiteral("image")] = image;
    }
    QJsonArray hubs;
    for (const HubOutcome& hub : report.hubs) {
        QJsonObject h;
        h[QStringLiteral("hub")] = hub.number;
        h[QStringLiteral("path")] = hub.path;
        h[QStringLiteral("identity")] = hub.identity;
        h[QStringLiteral("instance")] = qint64(hub.instance);
        h[QStringLiteral("access")] = hub.access;
        if (!hub.access)
            h[QStringLiteral("accessHint")] = hub.accessHint;
        h[QStringLiteral("mode")] = modeName(hub.mode);
        h[QStringLiteral("version")] = versionValue(hub.version);
        if (!hub.problem.isEmpty())
            h[QStringLiteral("problem")] = hub.problem;
        if (report.command == Command::Check)
            h[QStringLiteral("updateAvailable")] = hub.updateAvailable;
        if (report.command == Command::Update) {
            h[QStringLiteral("chosen")] = hub.chosen;
            if (hub.chosen) {
                h[QStringLiteral("result")] = hub.result;
                h[QStringLiteral("completed")] = hub.completed;
                h[QStringLiteral("skipped")] = hub.skipped;
                h[QStringLiteral("calibrationCarried")] = hub.calibrationCarried;
                h[QStringLiteral("versionAfter")] = versionValue(hub.versionAfter);
                h[QStringLiteral("interrupted")] = hub.interrupted;
                if (!hub.state.isEmpty())
                    h[QStringLiteral("state")] = hub.state;
            }
        }
        h[QStringLiteral("log")] = QJsonArray::fromStringList(hub.log);
        hubs.append(h);
    }
    root[QStringLiteral("hubs")] = hubs;
    if (!report.error.isEmpty())
        root[QStringLiteral("error")] = report.error;
    root[QStringLiteral("interrupted")] = report.interrupted;
    root[QStringLiteral("exitCode")] = exitCode(report);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

namespace {

QString hubHead(const HubOutcome& hub) {
    return QStringLiteral("Hub %1 (%2)").arg(hub.number).arg(hub.path);
}

QString foundText(const HubOutcome& hub) {
    if (!hub.access)
        return QStringLiteral("no access");
    if (!hub.problem.isEmpty())
        return hub.problem;
    QString text = modeName(hub.mode);
    if (hub.version)
        text += QStringLiteral(", firmware ") + versionText(*hub.version);
    return text;
}

} // namespace

std::vector<TextLine> toTextLines(const RunReport& report, bool quiet) {
    std::vector<TextLine> lines;
    const auto out = [&](const QString& text) {
        if (!quiet)
            lines.push_back({TextLine::Out, text});
    };
    const auto err = [&](const QString& text) { lines.push_back({TextLine::Err, text}); };
    const auto summary = [&](const QString& text) { lines.push_back({TextLine::Out, text}); };

    int upToDate = 0, available = 0, unchecked = 0;
    for (const HubOutcome& hub : report.hubs) {
        switch (report.command) {
        case Command::List:
            out(QStringLiteral("%1: %2, instance %3, %4")
                    .arg(hubHead(hub), hub.identity)
                    .arg(hub.instance)
                    .arg(foundText(hub)));
            break;
        case Command::Check: {
            QString verdict;
            if (checkFailed(hub)) {
                ++unchecked;
                err(QStringLiteral("%1: %2: could not be checked").arg(hubHead(hub), foundText(hub)));
                break;
            }
            if (hub.mode == HubMode::Bootloader) {
                ++available;
                verdict = QStringLiteral("in its bootloader: needs the update");
            } else if (hub.updateAvailable) {
                ++available;
                verdict = QStringLiteral("update available (%1)").arg(versionText(report.firmwareVersion));
            } else if (hub.version && *hub.version > report.firmwareVersion) {
                ++upToDate;
                verdict =
                    QStringLiteral("newer than the image (%1)").arg(versionText(report.firmwareVersion));
            } else {
                ++upToDate;
                verdict = QStringLiteral("up to date");
            }
            out(QStringLiteral("%1: %2: %3").arg(hubHead(hub), foundText(hub), verdict));
            break;
        }
        case Command::Update:
            if (!hub.chosen) {
                out(QStringLiteral("%1: not chosen").arg(hubHead(hub)));
            } else if (hub.skipped) {
                out(QStringLiteral("%1: already at firmware %2, skipped (--force updates it all the same)")
                        .arg(hubHead(hub), versionText(report.firmwareVersion)));
            } else if (hub.completed) {
                out(QStringLiteral("%1: updated, firmware %2")
                        .arg(hubHead(hub),
                             hub.versionAfter ? versionText(*hub.versionAfter) : QStringLiteral("unknown")));
                if (!hub.calibrationCarried)
                    err(QStringLiteral("    Its LED calibration could not be carried: it has the new "
                                       "firmware's defaults."));
            } else {
                err(QStringLiteral("%1: FAILED (%2)")
                        .arg(hubHead(hub), hub.result.isEmpty() ? foundText(hub) : hub.result));
                for (const QString& line : hub.log)
                    err(QStringLiteral("    ") + line);
            }
            break;
        case Command::History:
        case Command::None:
            break;
        }
        // A hub this user may not open is a warning for list, which lists it
        // on stdout, and a failure under its FAILED line otherwise.
        if (!hub.access && report.command == Command::List)
            err(QStringLiteral("%1: %2").arg(hubHead(hub), hub.accessHint));
        else if (!hub.access)
            err(QStringLiteral("    ") + hub.accessHint);
        if (!hub.state.isEmpty())
            err(QStringLiteral("    ") + hub.state);
    }
    if (report.hubs.empty() && report.error.isEmpty())
        err(QStringLiteral("No Charging Hub is plugged in."));
    if (report.command == Command::List && quiet && !report.hubs.empty())
        summary(QStringLiteral("%1 Charging Hub%2 plugged in.")
                    .arg(report.hubs.size())
                    .arg(report.hubs.size() == 1 ? QString() : QStringLiteral("s")));
    if (report.command == Command::Check && !report.hubs.empty()) {
        QStringList parts;
        if (upToDate > 0)
            parts << QStringLiteral("%1 up to date").arg(upToDate);
        if (available > 0)
            parts << QStringLiteral("%1 with an update available").arg(available);
        if (unchecked > 0)
            parts << QStringLiteral("%1 could not be checked").arg(unchecked);
        summary(QStringLiteral("%1 of %2 hubs checked: %3.")
                    .arg(upToDate + available)
                    .arg(report.hubs.size())
                    .arg(parts.join(QStringLiteral(", "))));
    }
    if (report.command == Command::Update && !report.hubs.empty()) {
        int chosen = 0, updated = 0, skipped = 0;
        for (const HubOutcome& hub : report.hubs) {
            chosen += hub.chosen ? 1 : 0;
            updated += hub.completed ? 1 : 0;
            skipped += hub.skipped ? 1 : 0;
        }
        summary(QStringLiteral("%1 of %2 hubs updated%3%4.")
                    .arg(updated)
                    .arg(chosen)
                    .arg(skipped > 0 ? QStringLiteral(", %1 already up to date").arg(skipped) : QString())
                    .arg(report.interrupted ? QStringLiteral(" (stopped)") : QString()));
    }
    if (!report.error.isEmpty())
        err(report.error);
    return lines;
}

QString joinLines(const std::vector<TextLine>& lines, TextLine::Stream stream) {
    QString text;
    for (const TextLine& line : lines) {
        if (line.stream == stream)
            text += escapeControls(line.text) + QLatin1Char('\n');
    }
    return text;
}

QString endingWord(const HubOutcome& hub, Command command) {
    if (hub.interrupted)
        return QStringLiteral("stopped");
    const bool failed = command == Command::Update  ? !hub.completed
                        : command == Command::Check ? checkFailed(hub)
                                                    : !hub.problem.isEmpty();
    return failed ? QStringLiteral("FAILED") : QStringLiteral("done");
}

QString stageWords(HubSession::Stage stage) {
    using S = HubSession::Stage;
    switch (stage) {
    case S::Started:
        return QStringLiteral("preparing");
    case S::EnteringBootloader:
        return QStringLiteral("entering the bootloader");
    case S::Programming:
        return QStringLiteral("programming");
    case S::Rebooting:
        return QStringLiteral("restarting");
    case S::RestoringLevels:
        return QStringLiteral("restoring the LED levels");
    }
    return QStringLiteral("working");
}

namespace {

QString levelsCell(const std::optional<UpdateRecord::Levels>& levels) {
    if (!levels)
        return QStringLiteral("-");
    QStringList parts;
    for (const std::uint8_t level : *levels)
        parts << QString::number(level);
    return parts.join(QLatin1Char(' '));
}

QString versionCell(const std::optional<std::uint32_t>& version) {
    return version ? versionText(*version) : QStringLiteral("-");
}

// Whether the hub kept its calibration, as a service bench asks it.
QString calibrationCell(const UpdateRecord& r) {
    if (r.levelsWritten)
        return r.levelsRead && *r.levelsRead != *r.levelsWritten ? QStringLiteral("restored (kept levels)")
                                                                 : QStringLiteral("restored");
    if (r.levelsRead)
        return QStringLiteral("kept for the next update");
    return QStringLiteral("-");
}

} // namespace

QString historyText(const QList<UpdateRecord>& records) {
    if (records.isEmpty())
        return QStringLiteral("No update has been recorded.\n");
    const QStringList head{QStringLiteral("time"),        QStringLiteral("hub"),
                           QStringLiteral("before"),      QStringLiteral("after"),
                           QStringLiteral("result"),      QStringLiteral("calibration"),
                           QStringLiteral("levels read"), QStringLiteral("levels written"),
                           QStringLiteral("program")};
    QList<QStringList> rows{head};
    for (const UpdateRecord& r : records) {
        rows << QStringList{r.time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                            r.hub,
                            versionCell(r.versionBefore),
                            versionCell(r.versionAfter),
                            r.result,
                            calibrationCell(r),
                            levelsCell(r.levelsRead),
                            levelsCell(r.levelsWritten),
                            r.program};
    }
    QList<qsizetype> widths(head.size(), 0);
    for (const QStringList& row : rows)
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    QString out;
    for (const QStringList& row : rows) {
        QStringList cells;
        for (qsizetype c = 0; c < row.size(); ++c)
            cells << (c + 1 < row.size() ? row[c].leftJustified(widths[c]) : row[c]);
        out += cells.join(QStringLiteral("  ")) + QLatin1Char('\n');
    }
    return out;
}

QByteArray historyJson(const QList<UpdateRecord>& records) {
    QJsonArray array;
    for (const UpdateRecord& r : records)
        array.append(r.toJson());
    QJsonObject root;
    root[QStringLiteral("command")] = QStringLiteral("history");
    root[QStringLiteral("updates")] = array;
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

} // namespace cli
