#pragma once

// What every outcome of a look at a hub or of its update tells its user, in
// one set of words for every front-end: the stable kind for scripts, what
// happened, where the hub was left, what to do now and the mode it was left
// in; and the verdict of a version check.

#include "HubReplies.h"
#include "UpdateFailure.h"

#include <QString>

#include <cstdint>
#include <optional>

// The mode of a hub as a program saw it; NotAnswering: asked, but silent.
enum class SeenMode { Unknown, Application, Bootloader, NotAnswering };

// "application", "bootloader", "not answering", "unknown".
QString seenModeName(SeenMode mode);
// The mode with that name; Unknown for any other text.
SeenMode seenModeNamed(const QString& name);
// What a mode query's answer means; no answer is NotAnswering.
SeenMode seenMode(hubreply::Mode mode);

struct UpdateOutcome {
    QString kind;      // stable, for scripts: "refused", "no-answer", ...; empty for none
    QString text;      // what happened, one sentence
    QString whereLeft; // where the hub was left
    QString nextStep;  // what to do now
    SeenMode modeLeft = SeenMode::Unknown;
};

// The words of one failure. before: the mode the hub was found in.
UpdateOutcome describeFailure(const UpdateFailure& failure, SeenMode before = SeenMode::Unknown);

// The short log word for a failed exchange of the update, as a log line:
// "Timeout." only when no answer came.
QString exchangeFailedWord(UpdateFailure::Kind kind);

// The verdict of a version check.
struct CheckVerdict {
    enum class Kind { UpToDate, UpdateAvailable, NewerThanImage, InBootloader, NotChecked };
    Kind kind = Kind::NotChecked;
    QString code; // stable, for scripts: "UpToDate", "UpdateAvailable", ...
    QString text; // "up to date", "update available (1.1.15.0906)", ...
    bool needsUpdate() const { return kind == Kind::UpdateAvailable || kind == Kind::InBootloader; }
};

// What a hub found in that mode with that version is, against the image's
// version. A hub in its application that did not tell its version could not
// be checked.
CheckVerdict checkVerdict(SeenMode mode, const std::optional<std::uint32_t>& version,
                          std::uint32_t imageVersion);
