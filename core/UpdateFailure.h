#pragma once

// Why an update (or the look at a hub before one) failed, and how far it
// got: the kind, the frame that failed and the image line it carried. The
// session fills it in where it gives up; readers word it for their users.

#include <QString>

#include <cstdint>
#include <optional>

struct UpdateFailure {
    enum class Kind {
        None,
        ImageRefused,         // the image is unusable; nothing was sent
        NoHub,                // no hub attached when the update began
        HubBusy,              // another program is updating this hub
        LockFailed,           // the hub's lock could not be made
        NoAnswer,             // the hub is there but answered nothing
        Refused,              // it answered a frame with an error result
        Disputed,             // it answered a frame twice, each time differently
        Unplugged,            // it left the bus
        NoReturn,             // it did not come back after a restart
        CameBackInBootloader, // after the reboot it answered from its bootloader
        WrongVersion,         // it came back, but not running the image's version
        LevelsNotRestored,    // new firmware, but the LED levels are not back
        // Its mode or its LED levels could not be read, so it was not sent to
        // its bootloader: nothing that changes the hub was sent.
        CalibrationUnreadable,
        // The bootloader entry never reached the hub (not written, or neither
        // answered nor followed by a restart): nothing was programmed.
        EntryNotReached,
        // Decided before a session runs, by whoever starts it.
        NotDowngraded,
        NoAccess,
        Stopped,
    };
    // How far the update had come.
    enum class Step {
        Asking,    // mode and version read; nothing sent that changes the hub
        Preparing, // the LED levels read
        EnteringBootloader,
        Programming,
        Restarting,
        RestoringLevels,
    };

    Kind kind = Kind::None;
    Step step = Step::Asking;
    std::uint8_t command = 0; // the frame that failed; 0: none in particular
    int result = -1;          // its result byte; -1: no answer taken
    int line = 0;             // the image line sent, from 1; 0: before programming
    int lineCount = 0;        // lines of the image
    std::optional<std::uint32_t> versionWanted;
    std::optional<std::uint32_t> versionFound;
    QString stoppedBy; // Stopped: what asked for the stop ("Ctrl+C", "SIGTERM"); empty: not known

    bool failed() const { return kind != Kind::None; }
};

// The kind in the stable words that the reports, the JSON and the history
// use ("refused", "no-answer", ...); empty for None.
QString failureKindName(UpdateFailure::Kind kind);
// The kind these words name; unplugged is Unplugged.
std::optional<UpdateFailure::Kind> failureKindFromName(const QString& name);
