#pragma once

// What the command line asks for, parsed without touching any hub, so the
// parsing and its messages test on their own.

#include "ChargeScene.h"
#include "HubFaultNames.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace cli {

enum class Command { None, List, Check, Update, History, Data, Levels };

// One fault of the virtual hubs, as given with --virtual-fault [HUB:]KIND[@N];
// the kinds are the simulator's.
using VirtualFault = hubsim::FaultRequest;

struct Options {
    Command command = Command::None;
    bool all = false;
    QString path;
    QString imageFile;
    bool json = false;
    bool force = false;              // update also hubs at the image's version or newer
    bool noLock = false;             // update even when a hub's lock cannot be made
    bool discardCalibration = false; // update also a hub whose LED calibration cannot be read
    int virtualHubs = -1;            // -1: real hubs
    std::optional<std::uint32_t> virtualVersion;
    std::vector<VirtualFault> faults;
    std::optional<hubsim::Scene> virtualScene; // what the virtual hubs' running data tell
    bool quiet = false;                        // errors and the final summary only
    bool verbose = false;                      // every frame written and read, in hex
    bool noProgress = false;                   // plain lines, never the live bars
    bool help = false;
    bool version = false;
    // history: the records of one hub, since a time, the last N.
    QString historyHub;
    QDateTime historySince;
    int historyLast = 0;
    // data: repeat every so many seconds (0: read once), stop after count readings (0: never)
    double watchSeconds = 0;
    int count = 0;
    bool csv = false;
    // levels: "set" and what follows it (checked by parseLevelArguments), or a backup file
    bool levelsSet = false;
    QStringList levelArguments;
    QString fromFile;
};

inline constexpr double MinWatchSeconds = 0.2;

struct ParseResult {
    Options options;
    QString error; // empty when the arguments are good
};

// update, data and levels act on one hub, or on every hub with --all.
inline bool actsOnChosenHubs(Command command) {
    return command == Command::Update || command == Command::Data || command == Command::Levels;
}

// The arguments without the program name; options may stand before or after
// the command.
ParseResult parseArguments(const QStringList& arguments);

// "2:fail@40", "silent", "1:slow@5"; nothing, with the reason, when malformed.
std::optional<VirtualFault> parseFault(const QString& text, QString* error);

// An ISO date ("2026-03-01", the day's start) or date-time, local unless it
// names its zone; invalid when it is neither.
QDateTime parseSince(const QString& text);

// "1.1.15.0906" or "11150906".
std::optional<std::uint32_t> parseVersion(const QString& text);

QString usageText();

inline constexpr int MaxVirtualHubs = 16;

} // namespace cli
