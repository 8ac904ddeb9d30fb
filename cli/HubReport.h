#pragma once

// What a run found and did, per hub, and how it is told: readable lines,
// one JSON document, and the exit status. No threads and no hubs here.

#include "AppVersion.h"
#include "CliOptions.h"
#include "HubSession.h"
#include "UpdateFailure.h"
#include "UpdateHistory.h"
#include "UpdateOutcome.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace cli {

inline constexpr int ExitOk = 0;
inline constexpr int ExitFailure = 1;
inline constexpr int ExitUpdateAvailable = 10;

using HubMode = SeenMode;
using ::versionText;

struct HubOutcome {
    int number = 0; // from 1, in the order found
    QString path;
    QString identity; // the hub's identity key: "serial:..." or "port:..."
    QString port;     // where it is plugged in: the system's port (instance id), else its path
    quint32 instance = 0;
    bool access = true;
    QString accessHint; // why this user may not use it, and the fix
    HubMode mode = HubMode::Unknown;
    std::optional<std::uint32_t> version; // as found
    bool updateAvailable = false;
    bool chosen = false;    // the command acts on it
    QString result;         // update: the session's result name
    bool completed = false; // update: completed with its levels back
    // update: already at the image's version, so nothing was sent
    bool skipped = false;
    // update: false when it had no LED levels to carry and keeps the new firmware's defaults
    bool calibrationCarried = true;
    std::optional<std::uint32_t> versionAfter;
    HubMode modeAfter = HubMode::Unknown;               // update: as far as known at the end
    std::optional<HubSession::LedLevels> levelsRead;    // update: read before it
    std::optional<HubSession::LedLevels> levelsWritten; // update: written back after it
    bool interrupted = false;
    UpdateFailure failure; // why the hub could not be checked or updated
    QString whereLeft;     // after a failure: where the hub was left
    QString nextStep;      // after a failure: what to do now
    QString problem;       // check/list: why the hub could not be asked
    QString note;          // why it is known by its port: another hub has its serial number
    QStringList log;
};

inline constexpr int JsonSchemaVersion = 1;

struct RunReport {
    Command command = Command::None;
    QString imageSource;               // "built-in" or the file
    std::uint32_t firmwareVersion = 0; // the image's
    // False when the image could not be read, or told no version: the
    // documents then give none rather than a version nobody read.
    bool imageVersionKnown = true;
    int imageLines = 0;
    QString error; // stops the run as a whole (no hub, broken image, ...)
    bool interrupted = false;
    std::vector<HubOutcome> hubs;
};

// 0, 10 or 1 by the rules of the command.
int exitCode(const RunReport& report);

QByteArray toJson(const RunReport& report);
// Pieces of the documents that data and levels write beside it: eight levels
// as an array (null when not read), and the fields that name a hub.
QJsonValue levelsValue(const std::optional<HubSession::LedLevels>& levels);
QJsonObject hubJsonHead(const HubOutcome& hub);

// One line of the readable report and the stream it belongs on: results on
// standard output; errors, warnings and failures on standard error.
struct TextLine {
    enum Stream { Out, Err };
    Stream stream = Out;
    QString text;
};

// The readable report, line by line in the order shown. Quiet: the errors and
// the final summary only.
std::vector<TextLine> toTextLines(const RunReport& report, bool quiet = false);
// The lines of one stream, each ended by a newline, control characters escaped.
QString joinLines(const std::vector<TextLine>& lines, TextLine::Stream stream);

// How a hub's part of the run ended, as its progress bar says it: "done",
// "FAILED" or "stopped".
QString endingWord(const HubOutcome& hub, Command command);

// A stage of the update in words a user reads.
QString stageWords(HubSession::Stage stage);

// The result of a history record that is no update: LED levels set by hand
// (quorvi-hub levels set), with the levels before and after.
inline constexpr QLatin1StringView CalibrationChangedResult{"calibration-changed"};

// The update history (quorvi-hub history): one record a line within 80
// columns, times in the local zone (verbose: each record's details below
// it), or one JSON document; both say how many records could not be read.
QString historyText(const HistoryRead& history, bool verbose = false);
QByteArray historyJson(const HistoryRead& history);

} // namespace cli
