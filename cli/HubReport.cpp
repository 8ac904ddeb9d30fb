#include "HubReport.h"

#include "AppVersion.h"
#include "HubDevice.h"
#include "HubProtocol.h"
#include "LedCalibrationStore.h"
#include "SafeText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdlib>

namespace cli {

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
    case Command::Data:
    case Command::Levels: {
        // Every chosen hub told what was asked of it.
        bool any = false;
        for (const HubOutcome& hub : report.hubs) {
            if (!hub.chosen)
                continue;
            any = true;
            if (hub.failure.failed() || !hub.problem.isEmpty())
                return ExitFailure;
        }
        return any ? ExitOk : ExitFailure;
    }
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
    case Command::Data:
        return QStringLiteral("data");
    case Command::Levels:
        return QStringLiteral("levels");
    case Command::None:
        break;
    }
    return QString();
}

QJsonValue versionValue(const std::optional<std::uint32_t>& version) {
    return version ? QJsonValue(versionText(*version)) : QJsonValue(QJsonValue::Null);
}

QJsonValue textValue(const QString& text) {
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QString stepName(UpdateFailure::Step step) {
    using S = UpdateFailure::Step;
    switch (step) {
    case S::Asking:
        return QStringLiteral("asking");
    case S::Preparing:
        return QStringLiteral("preparing");
    case S::EnteringBootloader:
        return QStringLiteral("entering-bootloader");
    case S::Programming:
        return QStringLiteral("programming");
    case S::Restarting:
        return QStringLiteral("restarting");
    case S::RestoringLevels:
        return QStringLiteral("restoring-levels");
    }
    return QString();
}

QJsonValue failureValue(const UpdateFailure& f, HubMode before) {
    if (!f.failed())
        return QJsonValue(QJsonValue::Null);
    const UpdateOutcome words = describeFailure(f, before);
    QJsonObject o;
    o[QStringLiteral("kind")] = words.kind;
    o[QStringLiteral("text")] = words.text;
    o[QStringLiteral("command")] = f.command ? QJsonValue(int(f.command)) : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("resultByte")] = f.result >= 0 ? QJsonValue(f.result) : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("line")] = f.line > 0 ? QJsonValue(f.line) : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("lineCount")] = f.lineCount > 0 ? QJsonValue(f.lineCount) : QJsonValue(QJsonValue::Null);
    o[QStringLiteral("step")] = stepName(f.step);
    return o;
}

// The verdict of check; a hub that could not be asked is not checked.
CheckVerdict checkResult(const HubOutcome& hub, std::uint32_t imageVersion) {
    if (!checkFailed(hub))
        return checkVerdict(hub.mode, hub.version, imageVersion);
    CheckVerdict verdict = checkVerdict(SeenMode::Unknown, std::nullopt, imageVersion);
    if (hub.failure.failed())
        verdict.text = describeFailure(hub.failure, hub.mode).text;
    return verdict;
}

QString updateResultText(const HubOutcome& hub, std::uint32_t imageVersion) {
    if (hub.failure.failed())
        return describeFailure(hub.failure, hub.mode).text;
    if (hub.skipped)
        return QStringLiteral("already at firmware %1, skipped (--force updates it all the same)")
            .arg(versionText(imageVersion));
    if (hub.completed)
        return QStringLiteral("updated, firmware %1")
            .arg(hub.versionAfter ? versionText(*hub.versionAfter) : QStringLiteral("unknown"));
    return QStringLiteral("not updated");
}

} // namespace

QJsonValue levelsValue(const std::optional<HubSession::LedLevels>& levels) {
    if (!levels)
        return QJsonValue(QJsonValue::Null);
    QJsonArray array;
    for (const std::uint8_t level : *levels)
        array.append(int(level));
    return array;
}

QJsonObject hubJsonHead(const HubOutcome& hub) {
    return QJsonObject{{QStringLiteral("hub"), hub.number},
                       {QStringLiteral("path"), hub.path},
                       {QStringLiteral("identity"), hub.identity},
                       {QStringLiteral("port"), hub.port}};
}

QByteArray toJson(const RunReport& report) {
    QJsonObject root;
    root[QStringLiteral("schemaVersion")] = JsonSchemaVersion;
    root[QStringLiteral("command")] = commandName(report.command);
    const QJsonValue imageVersion =
        report.imageVersionKnown ? versionValue(report.firmwareVersion) : QJsonValue(QJsonValue::Null);
    root[QStringLiteral("firmwareVersion")] = imageVersion;
    if (report.command != Command::List) {
        QJsonObject image;
        image[QStringLiteral("source")] = report.imageSource;
        image[QStringLiteral("lines")] = report.imageLines;
        image[QStringLiteral("version")] = imageVersion;
        root[QStringLiteral("image")] = image;
    }
    QJsonArray hubs;
    for (const HubOutcome& hub : report.hubs) {
        QJsonObject h = hubJsonHead(hub);
        h[QStringLiteral("instance")] = qint64(hub.instance);
        h[QStringLiteral("access")] = hub.access;
        if (!hub.access)
            h[QStringLiteral("accessHint")] = hub.accessHint;
        h[QStringLiteral("mode")] = seenModeName(hub.mode);
        h[QStringLiteral("version")] = versionValue(hub.version);
        if (report.command == Command::Check) {
            h[QStringLiteral("updateAvailable")] = hub.updateAvailable;
            const CheckVerdict verdict = checkResult(hub, report.firmwareVersion);
            h[QStringLiteral("result")] = verdict.code;
            h[QStringLiteral("resultText")] = verdict.text;
        }
        if (report.command == Command::Update) {
            h[QStringLiteral("chosen")] = hub.chosen;
            if (hub.chosen) {
                h[QStringLiteral("result")] = hub.result;
                h[QStringLiteral("resultText")] = updateResultText(hub, report.firmwareVersion);
                h[QStringLiteral("completed")] = hub.completed;
                h[QStringLiteral("skipped")] = hub.skipped;
                h[QStringLiteral("calibrationCarried")] = hub.calibrationCarried;
                h[QStringLiteral("modeAfter")] = seenModeName(hub.modeAfter);
                h[QStringLiteral("versionAfter")] = versionValue(hub.versionAfter);
                h[QStringLiteral("levelsRead")] = levelsValue(hub.levelsRead);
                h[QStringLiteral("levelsWritten")] = levelsValue(hub.levelsWritten);
                h[QStringLiteral("interrupted")] = hub.interrupted;
            }
        }
        h[QStringLiteral("failure")] = failureValue(hub.failure, hub.mode);
        h[QStringLiteral("whereLeft")] = textValue(hub.whereLeft);
        h[QStringLiteral("nextStep")] = textValue(hub.nextStep);
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
    QString text = seenModeName(hub.mode);
    if (hub.version)
        text += QStringLiteral(", firmware ") + versionText(*hub.version);
    return text;
}

} // namespace

namespace {

// The lines as they are written: out lines are left out when quiet; the
// summaries and every problem are always written.
struct TextLines {
    bool quiet = false;
    std::vector<TextLine> lines;

    void out(const QString& text) {
        if (!quiet)
            lines.push_back({TextLine::Out, text});
    }
    void err(const QString& text) { lines.push_back({TextLine::Err, text}); }
    void summary(const QString& text) { lines.push_back({TextLine::Out, text}); }
};

void listLines(TextLines& t, const HubOutcome& hub) {
    t.out(QStringLiteral("%1: %2, instance %3, %4")
              .arg(hubHead(hub), hub.identity)
              .arg(hub.instance)
              .arg(foundText(hub)));
    if (!hub.note.isEmpty())
        t.out(QStringLiteral("    ") + hub.note);
}

struct CheckCounts {
    int upToDate = 0;
    int available = 0;
    int unchecked = 0;
};

void checkLines(TextLines& t, const HubOutcome& hub, quint32 imageVersion, CheckCounts& counts) {
    const CheckVerdict verdict = checkResult(hub, imageVersion);
    if (verdict.kind != CheckVerdict::Kind::NotChecked) {
        ++(verdict.needsUpdate() ? counts.available : counts.upToDate);
        t.out(QStringLiteral("%1: %2: %3").arg(hubHead(hub), foundText(hub), verdict.text));
        return;
    }
    ++counts.unchecked;
    if (!hub.failure.failed()) {
        t.err(QStringLiteral("%1: %2: could not be checked").arg(hubHead(hub), foundText(hub)));
        return;
    }
    const UpdateOutcome words = describeFailure(hub.failure, hub.mode);
    t.err(QStringLiteral("%1: could not be checked (%2): %3").arg(hubHead(hub), words.kind, words.text));
    t.err(QStringLiteral("    Left: ") + hub.whereLeft);
    t.err(QStringLiteral("    Next: ") + hub.nextStep);
}

QString checkSummary(const CheckCounts& counts, std::size_t hubs) {
    QStringList parts;
    if (counts.upToDate > 0)
        parts << QStringLiteral("%1 up to date").arg(counts.upToDate);
    if (counts.available > 0)
        parts << QStringLiteral("%1 with an update available").arg(counts.available);
    if (counts.unchecked > 0)
        parts << QStringLiteral("%1 could not be checked").arg(counts.unchecked);
    return QStringLiteral("%1 of %2 hubs checked: %3.")
        .arg(counts.upToDate + counts.available)
        .arg(hubs)
        .arg(parts.join(QStringLiteral(", ")));
}

void updateLines(TextLines& t, const HubOutcome& hub, quint32 imageVersion) {
    if (!hub.chosen) {
        t.out(QStringLiteral("%1: not chosen").arg(hubHead(hub)));
    } else if (hub.skipped || hub.completed) {
        t.out(QStringLiteral("%1: %2").arg(hubHead(hub), updateResultText(hub, imageVersion)));
        if (hub.completed && !hub.calibrationCarried)
            t.err(QStringLiteral("    Its LED calibration could not be carried: it has the new "
                                 "firmware's defaults."));
    } else {
        // The log ends with the failure, where the hub was left and the next step.
        t.err(QStringLiteral("%1: FAILED (%2)")
                  .arg(hubHead(hub), hub.failure.failed()   ? failureKindName(hub.failure.kind)
                                     : hub.result.isEmpty() ? foundText(hub)
                                                            : hub.result));
        for (const QString& line : hub.log)
            t.err(QStringLiteral("    ") + line);
    }
}

QString updateSummary(const RunReport& report) {
    int chosen = 0, updated = 0, skipped = 0;
    for (const HubOutcome& hub : report.hubs) {
        chosen += hub.chosen ? 1 : 0;
        updated += hub.completed ? 1 : 0;
        skipped += hub.skipped ? 1 : 0;
    }
    return QStringLiteral("%1 of %2 hubs updated%3%4.")
        .arg(updated)
        .arg(chosen)
        .arg(skipped > 0 ? QStringLiteral(", %1 already up to date").arg(skipped) : QString())
        .arg(report.interrupted ? QStringLiteral(" (stopped)") : QString());
}

} // namespace

std::vector<TextLine> toTextLines(const RunReport& report, bool quiet) {
    TextLines t{quiet, {}};
    CheckCounts counts;
    for (const HubOutcome& hub : report.hubs) {
        if (report.command == Command::List)
            listLines(t, hub);
        else if (report.command == Command::Check)
            checkLines(t, hub, report.firmwareVersion, counts);
        else if (report.command == Command::Update)
            updateLines(t, hub, report.firmwareVersion);
        // A hub this user may not open is a warning for list, which lists it
        // on stdout, and a failure under its FAILED line otherwise.
        if (!hub.access && report.command == Command::List)
            t.err(QStringLiteral("%1: %2").arg(hubHead(hub), hub.accessHint));
        else if (!hub.access && !hub.failure.failed())
            t.err(QStringLiteral("    ") + hub.accessHint);
    }
    if (report.hubs.empty() && report.error.isEmpty())
        t.err(QStringLiteral("No Charging Hub is plugged in."));
    if (report.command == Command::List && quiet && !report.hubs.empty())
        t.summary(QStringLiteral("%1 Charging Hub%2 plugged in.")
                      .arg(report.hubs.size())
                      .arg(report.hubs.size() == 1 ? QString() : QStringLiteral("s")));
    if (report.command == Command::Check && !report.hubs.empty())
        t.summary(checkSummary(counts, report.hubs.size()));
    if (report.command == Command::Update && !report.hubs.empty())
        t.summary(updateSummary(report));
    if (!report.error.isEmpty())
        t.err(report.error);
    return t.lines;
}

QString joinLines(const std::vector<TextLine>& lines, TextLine::Stream stream) {
    QString text;
    for (const TextLine& line : lines) {
        if (line.stream == stream)
            text += safeText(line.text) + QLatin1Char('\n');
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
        return QStringLiteral("none");
    return ledLevelsText(*levels);
}

// The time in the reader's zone, and which zone that is.
QString localTime(const QDateTime& time) {
    const QDateTime local = time.toLocalTime();
    const int minutes = local.offsetFromUtc() / 60;
    return local.toString(QStringLiteral("yyyy-MM-dd HH:mm")) +
           QStringLiteral("%1%2:%3")
               .arg(minutes < 0 ? QLatin1Char('-') : QLatin1Char('+'))
               .arg(std::abs(minutes) / 60, 2, 10, QLatin1Char('0'))
               .arg(std::abs(minutes) % 60, 2, 10, QLatin1Char('0'));
}

// What happened and where the hub was left, in the words of the run's report.
UpdateOutcome recordWords(const UpdateRecord& r) {
    if (r.result == QLatin1String("completed")) {
        UpdateOutcome w;
        w.text = QStringLiteral("Updated.");
        w.whereLeft = QStringLiteral("It runs the image's firmware.");
        w.modeLeft = HubMode::Application;
        return w;
    }
    if (!r.failure.failed())
        return UpdateOutcome{}; // an older record: it did not say
    return describeFailure(r.failure, seenModeNamed(r.modeBefore));
}

// Long port keys keep their end, which tells the ports apart.
QString shortened(const QString& text, qsizetype width) {
    return text.size() <= width ? text : QStringLiteral("...") + text.right(width - 3);
}

QString calibrationWords(const QString& calibration) {
    return calibration.isEmpty() ? QStringLiteral("unknown") : calibration;
}

} // namespace

QString historyText(const HistoryRead& history, bool verbose) {
    QString out;
    if (history.records.isEmpty()) {
        out = QStringLiteral("No update has been recorded.\n");
    } else {
        // time 22, hub 20, result 20, calibration 10, with their gaps: 80 columns.
        constexpr qsizetype HubWidth = 20;
        constexpr qsizetype ResultWidth = 20;
        const auto row = [](const QString& time, const QString& hub, const QString& result,
                            const QString& calibration) {
            return QStringLiteral("%1  %2  %3  %4")
                       .arg(time.leftJustified(22), shortened(hub, HubWidth).leftJustified(HubWidth),
                            result.leftJustified(ResultWidth), calibration)
                       .trimmed() +
                   QLatin1Char('\n');
        };
        out = row(QStringLiteral("time"), QStringLiteral("hub"), QStringLiteral("result"),
                  QStringLiteral("calibration"));
        for (const UpdateRecord& r : history.records) {
            out +=
                row(localTime(r.time), safeText(r.hub), safeText(r.result), calibrationWords(r.calibration));
            if (!verbose)
                continue;
            const UpdateOutcome words = recordWords(r);
            QStringList details{QStringLiteral("hub: %1, by %2").arg(safeText(r.hub), safeText(r.program))};
            details << QStringLiteral("before: %1, firmware %2")
                           .arg(r.modeBefore.isEmpty() ? QStringLiteral("mode unknown") : r.modeBefore,
                                r.versionBefore ? versionText(*r.versionBefore) : QStringLiteral("not read"));
            if (!r.image.isEmpty())
                details << QStringLiteral("image: %1, firmware %2, CRC-32 %3")
                               .arg(r.image,
                                    r.imageVersion ? versionText(*r.imageVersion) : QStringLiteral("unknown"),
                                    safeText(r.imageDigest));
            details << QStringLiteral("after: firmware %1")
                           .arg(r.versionAfter ? versionText(*r.versionAfter) : QStringLiteral("not read"));
            if (!words.text.isEmpty())
                details << words.text << QStringLiteral("Left: ") + words.whereLeft;
            // A failure's own words say more than the status line it left
            // (which may still read "Programming...").
            if (words.text.isEmpty() && !r.resultText.isEmpty())
                details << QStringLiteral("told: ") + safeText(r.resultText);
            details << QStringLiteral("LED levels read: %1; written back: %2")
                           .arg(levelsCell(r.levelsRead), levelsCell(r.levelsWritten));
            for (const QString& detail : details)
                out += QStringLiteral("    ") + detail + QLatin1Char('\n');
        }
    }
    if (history.unreadable > 0)
        out += QStringLiteral("%1 record(s) could not be read.\n").arg(history.unreadable);
    return out;
}

QByteArray historyJson(const HistoryRead& history) {
    QJsonArray array;
    for (const UpdateRecord& r : history.records) {
        const UpdateOutcome words = recordWords(r);
        QJsonObject o;
        o[QStringLiteral("time")] = r.time.toUTC().toString(Qt::ISODateWithMs);
        o[QStringLiteral("hub")] = r.hub;
        o[QStringLiteral("program")] = r.program;
        o[QStringLiteral("result")] = r.result;
        o[QStringLiteral("failureKind")] = textValue(r.failure.failed() ? words.kind : QString());
        o[QStringLiteral("failure")] = failureValue(r.failure, seenModeNamed(r.modeBefore));
        o[QStringLiteral("whereLeft")] = textValue(words.whereLeft);
        o[QStringLiteral("resultText")] = r.resultText;
        o[QStringLiteral("modeBefore")] = textValue(r.modeBefore);
        o[QStringLiteral("versionBefore")] = versionValue(r.versionBefore);
        o[QStringLiteral("versionAfter")] = versionValue(r.versionAfter);
        QJsonObject image;
        image[QStringLiteral("origin")] = textValue(r.image);
        image[QStringLiteral("digest")] = textValue(safeText(r.imageDigest));
        image[QStringLiteral("version")] = versionValue(r.imageVersion);
        o[QStringLiteral("image")] = image;
        o[QStringLiteral("levelsRead")] = levelsValue(r.levelsRead);
        o[QStringLiteral("levelsWritten")] = levelsValue(r.levelsWritten);
        o[QStringLiteral("calibration")] = textValue(r.calibration);
        array.append(o);
    }
    QJsonObject root;
    root[QStringLiteral("schemaVersion")] = JsonSchemaVersion;
    root[QStringLiteral("command")] = QStringLiteral("history");
    root[QStringLiteral("unreadable")] = history.unreadable;
    root[QStringLiteral("updates")] = array;
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

} // namespace cli
