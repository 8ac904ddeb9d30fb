#pragma once

// What the command line asks for, parsed without touching any hub, so the
// parsing and its messages test on their own.

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace cli {

enum class Command { None, List, Check, Update, History };

// One knob of the virtual hub, as given with --virtual-fault [HUB:]KIND[@N].
struct VirtualFault {
    enum class Kind {
        Silent,           // answers nothing
        Slow,             // @N: each reply N ms late
        WrongMarker,      // replies start with the wrong byte
        Fail,             // @N: frame N is answered with an error result
        Unplug,           // @N: leaves the bus for good after frame N
        NoReturn,         // never comes back after the reboot
        StayInBootloader, // comes back in its bootloader after the reboot
        NoAccess,         // this user may not open it
        BootOldFirmware,  // boots its old firmware after the reboot
        CopyThenRefuse,   // @N: frame N answered with a copy of the previous answer, then refused
    };
    int hub = 0; // from 1; 0 for every hub
    Kind kind = Kind::Silent;
    int value = 0;
};

struct Options {
    Command command = Command::None;
    bool all = false;
    QString path;
    QString imageFile;
    bool json = false;
    bool force = false;   // update also hubs at the image's version or newer
    int virtualHubs = -1; // -1: real hubs
    std::optional<std::uint32_t> virtualVersion;
    std::vector<VirtualFault> faults;
    bool quiet = false;      // errors and the final summary only
    bool verbose = false;    // every frame written and read, in hex
    bool noProgress = false; // plain lines, never the live bars
    bool help = false;
    bool version = false;
};

struct ParseResult {
    Options options;
    QString error; // empty when the arguments are good
};

// The arguments without the program name; options may stand before or after
// the command.
ParseResult parseArguments(const QStringList& arguments);

// "2:fail@40", "silent", "1:slow@5"; nothing, with the reason, when malformed.
std::optional<VirtualFault> parseFault(const QString& text, QString* error);

// "1.1.15.0906" or "11150906".
std::optional<std::uint32_t> parseVersion(const QString& text);

QString usageText();

// Text that came from outside (arguments, file names, image lines) as it may
// be shown on a terminal: control characters become \xNN.
QString escapeControls(const QString& text);

inline constexpr int MaxVirtualHubs = 16;

} // namespace cli
