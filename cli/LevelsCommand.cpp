#include "LevelsCommand.h"

#include "HubReport.h"
#include "HubRoster.h"
#include "HubRun.h"
#include "LedCalibrationStore.h"
#include "SafeText.h"
#include "ServiceLock.h"
#include "UpdateHistory.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace cli {

namespace {

constexpr int Channels = HubSession::LedChannels;

std::optional<int> number(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok ? std::optional<int>(value) : std::nullopt;
}

} // namespace

std::optional<LevelPlan> parseLevelArguments(const QStringList& arguments, QString* error) {
    const auto refuse = [error](const QString& why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const auto levelIn = [](const QString& text) -> std::optional<int> {
        const std::optional<int> level = number(text);
        if (!level || *level < 0 || *level > HubSession::MaxLedLevel)
            return std::nullopt;
        return level;
    };
    const auto outside = [](const QString& text, int channel) {
        return QStringLiteral("Level %1 for channel %2 is not a number from 0 to 100.")
            .arg(text)
            .arg(channel);
    };
    LevelPlan plan;
    const bool pairs = std::any_of(arguments.begin(), arguments.end(),
                                   [](const QString& a) { return a.contains(QLatin1Char('=')); });
    if (!pairs) {
        if (arguments.size() != Channels)
            return refuse(QStringLiteral("levels set takes all eight levels (LED 1 to 4 red, then LED 1 to 4 "
                                         "green) or CHANNEL=LEVEL pairs; %1 level%2 given.")
                              .arg(arguments.size())
                              .arg(arguments.size() == 1 ? QString() : QStringLiteral("s")));
        for (int c = 0; c < Channels; ++c) {
            if (!(plan[std::size_t(c)] = levelIn(arguments[c])))
                return refuse(outside(arguments[c], c + 1));
        }
        return plan;
    }
    for (const QString& argument : arguments) {
        const qsizetype eq = argument.indexOf(QLatin1Char('='));
        if (eq < 0)
            return refuse(
                QStringLiteral("%1 is not a CHANNEL=LEVEL pair: give all eight levels, or pairs only.")
                    .arg(argument));
        const QString channelText = argument.left(eq);
        const std::optional<int> channel = number(channelText);
        if (!channel || *channel < 1 || *channel > Channels)
            return refuse(
                QStringLiteral("Channel %1 in %2 does not exist: the channels are 1 to 8 (LED 1 to 4 "
                               "red, then LED 1 to 4 green).")
                    .arg(channelText, argument));
        std::optional<int>& slot = plan[std::size_t(*channel - 1)];
        if (slot)
            return refuse(QStringLiteral("Channel %1 is given twice.").arg(*channel));
        if (!(slot = levelIn(argument.mid(eq + 1))))
            return refuse(outside(argument.mid(eq + 1), *channel));
    }
    return plan;
}

std::optional<std::vector<LevelsBackup>> parseLevelsBackup(const QByteArray& document, QString* error) {
    const auto refuse = [error](const QString& why) {
        if (error)
            *error = why;
        return std::nullopt;
    };
    QJsonParseError parseError;
    const QJsonDocument json = QJsonDocument::fromJson(document, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return refuse(QStringLiteral("it is not JSON (%1).").arg(parseError.errorString()));
    const QJsonObject root = json.object();
    if (root.value(QStringLiteral("command")).toString() != QLatin1String("levels"))
        return refuse(QStringLiteral("it was not written by 'quorvi-hub levels --json'."));
    std::vector<LevelsBackup> backup;
    for (const QJsonValue& value : root.value(QStringLiteral("hubs")).toArray()) {
        const QJsonObject hub = value.toObject();
        const QJsonArray levels = hub.value(QStringLiteral("levels")).toArray();
        LevelsBackup entry;
        entry.identity = hub.value(QStringLiteral("identity")).toString();
        if (levels.isEmpty())
            continue; // a hub that could not be read
        if (levels.size() != Channels || entry.identity.isEmpty())
            return refuse(QStringLiteral("a hub's entry needs its identity and eight levels."));
        for (int c = 0; c < Channels; ++c) {
            const int level = levels.at(c).toInt(-1);
            if (level < 0 || level > HubSession::MaxLedLevel)
                return refuse(
                    QStringLiteral("level %1 of %2 is not from 0 to 100.").arg(c + 1).arg(entry.identity));
            entry.levels[std::size_t(c)] = std::uint8_t(level);
        }
        backup.push_back(entry);
    }
    if (backup.empty())
        return refuse(QStringLiteral("it holds no hub's levels."));
    return backup;
}

QString levelsWords(const HubSession::LedLevels& levels) {
    QStringList red, green;
    for (int c = 0; c < Channels / 2; ++c) {
        red << QString::number(levels[std::size_t(c)]);
        green << QString::number(levels[std::size_t(c + Channels / 2)]);
    }
    return QStringLiteral("red %1, green %2").arg(red.join(QLatin1Char(' ')), green.join(QLatin1Char(' ')));
}

QByteArray levelsJson(const RunReport& report, int exitStatus) {
    QJsonArray hubs;
    for (const HubOutcome& hub : report.hubs) {
        QJsonObject h = hubJsonHead(hub);
        // What the hub holds now: after a set, as read back.
        h[QStringLiteral("levels")] = levelsValue(hub.levelsWritten ? hub.levelsWritten : hub.levelsRead);
        if (hub.levelsWritten)
            h[QStringLiteral("levelsBefore")] = levelsValue(hub.levelsRead);
        h[QStringLiteral("notes")] = QJsonArray::fromStringList(hub.log);
        h[QStringLiteral("problem")] =
            hub.problem.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(hub.problem);
        hubs.append(h);
    }
    QJsonObject root;
    root[QStringLiteral("schemaVersion")] = JsonSchemaVersion;
    root[QStringLiteral("command")] = QStringLiteral("levels");
    root[QStringLiteral("channels")] =
        QJsonArray{QStringLiteral("LED1 red"),   QStringLiteral("LED2 red"),   QStringLiteral("LED3 red"),
                   QStringLiteral("LED4 red"),   QStringLiteral("LED1 green"), QStringLiteral("LED2 green"),
                   QStringLiteral("LED3 green"), QStringLiteral("LED4 green")};
    root[QStringLiteral("hubs")] = hubs;
    if (!report.error.isEmpty())
        root[QStringLiteral("error")] = report.error;
    root[QStringLiteral("exitCode")] = exitStatus;
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

QStringList levelsLines(const RunReport& report, bool set, QStringList* errors) {
    QStringList lines;
    for (const HubOutcome& hub : report.hubs) {
        const QString head = QStringLiteral("Hub %1 (%2), %3").arg(hub.number).arg(hub.path, hub.identity);
        for (const QString& note : hub.log)
            lines << QStringLiteral("%1: %2").arg(head, note);
        if (!hub.problem.isEmpty()) {
            *errors << QStringLiteral("%1: %2").arg(head, hub.problem);
            if (!hub.access)
                *errors << QStringLiteral("    ") + hub.accessHint;
        } else if (set && hub.levelsWritten) {
            lines << QStringLiteral("%1: now holds %2 (was %3)")
                         .arg(head, levelsWords(*hub.levelsWritten),
                              hub.levelsRead ? levelsWords(*hub.levelsRead) : QStringLiteral("unknown"));
        } else if (hub.levelsRead) {
            lines << QStringLiteral("%1: %2").arg(head, levelsWords(*hub.levelsRead));
        }
    }
    if (!report.error.isEmpty())
        *errors << report.error;
    return lines;
}

LevelsCommand::LevelsCommand(const Options& options, HubRun& run, Sink sink)
    : m_options(options), m_run(run), m_sink(std::move(sink)) {
    m_run.setHubTask([this](HubSession& session, HubRoster& roster, HubOutcome& outcome) {
        serveHub(session, roster, outcome);
    });
}

int LevelsCommand::run() {
    const auto fail = [this](const QString& why) {
        m_sink(safeText(why).toUtf8() + '\n', true);
        return ExitFailure;
    };
    // Every refusal before any hub is looked for.
    if (m_options.levelsSet && m_options.fromFile.isEmpty()) {
        QString why;
        const std::optional<LevelPlan> plan = parseLevelArguments(m_options.levelArguments, &why);
        if (!plan)
            return fail(why + QStringLiteral(" Nothing was sent."));
        m_plan = *plan;
    } else if (m_options.levelsSet) {
        QFile file(m_options.fromFile);
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("Cannot read %1: %2. Nothing was sent.")
                            .arg(m_options.fromFile, file.errorString()));
        QString why;
        const auto backup = parseLevelsBackup(file.readAll(), &why);
        if (!backup)
            return fail(
                QStringLiteral("%1 is no levels backup: %2 Nothing was sent.").arg(m_options.fromFile, why));
        m_backup = *backup;
    }
    const int status = m_run.run();
    const RunReport& report = m_run.report();
    if (m_options.json) {
        m_sink(levelsJson(report, status), false);
        return status;
    }
    QStringList errors;
    for (const QString& line : levelsLines(report, m_options.levelsSet, &errors))
        m_sink(safeText(line).toUtf8() + '\n', false);
    for (const QString& line : errors)
        m_sink(safeText(line).toUtf8() + '\n', true);
    return status;
}

std::optional<LevelPlan> LevelsCommand::planFor(HubOutcome& outcome) const {
    if (m_backup.empty())
        return m_plan;
    const auto own = std::find_if(m_backup.begin(), m_backup.end(),
                                  [&](const LevelsBackup& b) { return b.identity == outcome.identity; });
    const LevelsBackup* chosen = own != m_backup.end() ? &*own : nullptr;
    if (!chosen && m_options.force && m_backup.size() == 1) {
        chosen = &m_backup.front();
        outcome.log << QStringLiteral("the levels of hub %1 are restored onto this hub (--force).")
                           .arg(chosen->identity);
    }
    if (!chosen) {
        QStringList held;
        for (const LevelsBackup& b : m_backup)
            held << b.identity;
        outcome.problem =
            m_backup.size() == 1 && !m_options.force
                ? QStringLiteral(
                      "%1 holds the levels of hub %2, not of this one; nothing was sent. Give --force to "
                      "restore them onto it.")
                      .arg(m_options.fromFile, held.join(QString()))
                : QStringLiteral("%1 holds no levels of this hub (only of %2); nothing was sent.")
                      .arg(m_options.fromFile, held.join(QStringLiteral(", ")));
        return std::nullopt;
    }
    LevelPlan plan;
    for (int c = 0; c < Channels; ++c)
        plan[std::size_t(c)] = chosen->levels[std::size_t(c)];
    return plan;
}

void LevelsCommand::serveHub(HubSession& session, HubRoster& roster, HubOutcome& outcome) {
    if (!session.device()) {
        outcome.problem = QStringLiteral("unplugged before it could be asked; nothing was sent.");
        return;
    }
    const std::optional<LevelPlan> plan = m_options.levelsSet ? planFor(outcome) : std::optional<LevelPlan>();
    if (m_options.levelsSet && !plan)
        return;
    const ServiceLock held = lockHub(session.updateLockFolder(), roster.followed());
    if (held.busy) {
        outcome.failure.kind = UpdateFailure::Kind::HubBusy;
        outcome.problem = held.busyText + QStringLiteral("; nothing was sent.");
        return;
    }
    // The levels as the hub sent them, before the session holds them within range.
    std::optional<HubSession::LedLevels> read;
    QObject::connect(&session, &HubSession::ledLevelsRead, &session,
                     [&read](const HubSession::LedLevels& levels) { read = levels; });
    const auto readLevels = [&]() -> std::optional<HubSession::LedLevels> {
        read.reset();
        if (!session.startLedAdjust())
            return std::nullopt;
        return read;
    };
    outcome.levelsRead = readLevels();
    if (!outcome.levelsRead) {
        outcome.problem = QStringLiteral("did not answer the LED levels read; nothing was changed.");
        return;
    }
    if (!plan) {
        // Reading opened an adjustment; it ends with the hub keeping what it has.
        session.endLedAdjust();
        return;
    }
    QStringList refused;
    for (int c = 0; c < Channels; ++c) {
        if (const std::optional<int> level = (*plan)[std::size_t(c)]) {
            if (session.setLedLevel(c + 1, *level) != 0)
                refused << QString::number(c + 1);
        }
    }
    const bool ended = session.endLedAdjust() == 0;
    outcome.levelsWritten = readLevels();
    if (outcome.levelsWritten)
        session.endLedAdjust();
    if (!refused.isEmpty() || !ended || !outcome.levelsWritten) {
        outcome.problem = !refused.isEmpty() ? QStringLiteral("did not take the level of channel %1.")
                                                   .arg(refused.join(QStringLiteral(", ")))
                          : !ended ? QStringLiteral("did not answer the end of the adjustment.")
                                   : QStringLiteral("did not answer the levels read back.");
    } else {
        for (int c = 0; c < Channels; ++c) {
            const std::optional<int> wanted = (*plan)[std::size_t(c)];
            if (wanted && (*outcome.levelsWritten)[std::size_t(c)] != *wanted)
                outcome.problem = QStringLiteral("holds %1 on channel %2, not %3.")
                                      .arg((*outcome.levelsWritten)[std::size_t(c)])
                                      .arg(c + 1)
                                      .arg(*wanted);
        }
    }
    if (outcome.levelsWritten)
        record(outcome);
}

void LevelsCommand::record(const HubOutcome& outcome) const {
    const QString state = m_run.statePath();
    if (state.isEmpty())
        return;
    const HubSession::LedLevels after = *outcome.levelsWritten;
    // Levels kept for an update's write-back would put the old calibration back.
    LedCalibrationStore store(state);
    if (const std::optional<LedCalibrationStore::Entry> kept = store.entry(outcome.identity))
        store.save(outcome.identity, after, kept->where, QDateTime::currentDateTimeUtc());
    UpdateHistory history(state);
    UpdateRecord r;
    r.time = QDateTime::currentDateTimeUtc();
    r.hub = outcome.identity;
    r.program = QStringLiteral("quorvi-hub");
    r.result = CalibrationChangedResult;
    r.calibration = QStringLiteral("changed by hand");
    r.resultText =
        QStringLiteral("LED levels set: %1 (were %2).")
            .arg(levelsWords(after), outcome.levelsRead ? levelsWords(*outcome.levelsRead) : QString());
    r.levelsRead = outcome.levelsRead;
    r.levelsWritten = after;
    if (!history.append(r))
        qWarning("history: %s", qPrintable(history.lastError()));
}

} // namespace cli
