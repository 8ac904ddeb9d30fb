#pragma once

// What a run found and did, per hub, and how it is told: readable lines,
// one JSON document, and the exit status. No threads and no hubs here.

#include "CliOptions.h"
#include "UpdateHistory.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace cli {

inline constexpr int ExitOk = 0;
inline constexpr int ExitFailure = 1;
inline constexpr int ExitUpdateAvailable = 10;

enum class HubMode { Unknown, Application, Bootloader, NotAnswering };

struct HubOutcome {
    int number = 0; // from 1, in the order found
    QString path;
    QString identity; // the hub's identity key: "serial:..." or "port:..."
    quint32 instance = 0;
    bool access = true;
    QString accessHint; // why this user may not use it, and the fix
    HubMode mode = HubMode::Unknown;
    std::optional<std::uint32_t> version; // as found
    bool updateAvailable = false;
    bool chosen = false;    // the command acts on it
    QString result;         // update: the session's result name
    bool completed = false; // update: completed with its levels back
    std::optional<std::uint32_t> versionAfter;
    bool interrupted = false;
    QString state;   // after a failed or interrupted update: where the hub was left
    QString problem; // check/list: why the hub could not be asked
    QStringList log;
};

struct RunReport {
    Command command = Command::None;
    QString imageSource; // "built-in" or the file
    std::uint32_t firmwareVersion = 0;
    int imageLines = 0;
    QString error; // stops the run as a whole (no hub, broken image, ...)
    bool interrupted = false;
    std::vector<HubOutcome> hubs;
};

QString modeName(HubMode mode);
QString versionText(std::uint32_t version); // 1.1.15.0906

// 0, 10 or 1 by the rules of the command.
int exitCode(const RunReport& report);

QByteArray toJson(const RunReport& report);
QString toText(const RunReport& report);

// The update history (quorvi-hub history): a table, or one JSON document.
QString historyText(const QList<UpdateRecord>& records);
QByteArray historyJson(const QList<UpdateRecord>& records);

} // namespace cli
