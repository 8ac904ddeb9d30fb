#pragma once

// quorvi-hub levels: each chosen hub's eight LED levels, read as the service
// page reads them (read and start, then end), and `levels set`, which writes
// them as the page does (read and start, set, write and end) and reads them
// back. `levels --json` is a backup that `levels set --from FILE` restores.
// A change is recorded in the history and replaces levels kept for the hub.

#include "CliOptions.h"
#include "HubSession.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <functional>
#include <optional>
#include <vector>

class HubRoster;

namespace cli {

class HubRun;
struct HubOutcome;
struct RunReport;

// What `levels set` writes: a level for some of the channels 1 to 8.
using LevelPlan = std::array<std::optional<int>, HubSession::LedChannels>;

// Eight levels, or CHANNEL=LEVEL pairs; nothing, with the argument named, for
// a level outside 0 to 100, a wrong count or a bad channel.
std::optional<LevelPlan> parseLevelArguments(const QStringList& arguments, QString* error);

// One hub's levels in a backup.
struct LevelsBackup {
    QString identity;
    HubSession::LedLevels levels{};
};
// The document `levels --json` writes; nothing, with the reason, for anything else.
std::optional<std::vector<LevelsBackup>> parseLevelsBackup(const QByteArray& document, QString* error);

// "red 10 20 30 40, green 50 60 70 80" (LED 1 to 4 each).
QString levelsWords(const HubSession::LedLevels& levels);
QByteArray levelsJson(const RunReport& report, int exitStatus);
QStringList levelsLines(const RunReport& report, bool set, QStringList* errors);

class LevelsCommand {
public:
    // Gets every line written, ended by its newline; error: for standard error.
    using Sink = std::function<void(const QByteArray& text, bool error)>;

    LevelsCommand(const Options& options, HubRun& run, Sink sink);
    int run();

private:
    void serveHub(HubSession& session, HubRoster& roster, HubOutcome& outcome);
    // The plan for this hub from the backup; nothing, with the problem told, when it may not have it.
    std::optional<LevelPlan> planFor(HubOutcome& outcome) const;
    void record(const HubOutcome& outcome) const;

    Options m_options;
    HubRun& m_run;
    Sink m_sink;
    LevelPlan m_plan{};
    std::vector<LevelsBackup> m_backup;
};

} // namespace cli
