#pragma once

// The one list of the virtual hub's faults as people name them: the names
// and "[HUB:]KIND[@N[:MS]]" syntax of the command line, the virtual-hub program's
// options and the panel's controls, with the texts their help shows. Each
// fault sets knobs of HubFaults, so every transport carries out every fault.

#include "HubModel.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace hubsim {

enum class FaultKind {
    Silent,           // answers nothing
    Slow,             // @MS: every reply MS ms late
    WrongMarker,      // replies start with the wrong byte
    Fail,             // @FRAME: that frame is answered with an error result
    Unplug,           // @FRAME: leaves the bus for good after that frame
    NoReturn,         // never comes back after a reboot
    StayInBootloader, // comes back in its bootloader after a reboot
    NoAccess,         // this user may not open it
    BootOldFirmware,  // boots its old firmware after a reboot
    CopyThenRefuse,   // @FRAME[:MS]: answered with a copy of the previous answer, then refused (MS later)
    RepeatReply,      // @FRAME: that frame's reply is sent twice
    ShortReply,       // @BYTES: replies keep only that many bytes after the report id
    Unsolicited,      // @MS: a status report every MS ms, unasked
    UsbTiming,        // about 1 ms per report each way
    StatusBefore,     // @FRAME: a status report right before that frame's answer
    NoEcho,           // replies do not name their frame's command
    NoSerial,         // no serial number: known by its port
};

struct FaultInfo {
    FaultKind kind;
    const char* name;              // as typed: "copy-then-refuse"
    const char* valueName;         // "FRAME", "MS"; nullptr when it takes no value
    int maxValue;                  // the value runs from 1 to this
    const char* label;             // a control's caption
    const char* description;       // what the hub does, for help texts
    const char* gapName = nullptr; // "MS" after ':' for a second value; nullptr when none
    int maxGap = 0;                // the second value runs from 0 to this
};

// Every fault, in the order help texts list them.
std::span<const FaultInfo> faultTable();
const FaultInfo& faultInfo(FaultKind kind);
std::optional<FaultKind> faultNamed(std::string_view name);

// One fault as asked for: "2:fail@40" is hub 2, Fail, 40; "copy-then-refuse@40:30"
// has the gap 30.
struct FaultRequest {
    using Kind = FaultKind;
    int hub = 0; // from 1; 0 for every hub
    Kind kind = Kind::Silent;
    int value = 0; // 0 when the kind takes none
    int gap = 0;   // the value after ':'; 0 when not given
};

// "[HUB:]KIND[@N[:MS]]"; a hub number from 1 to maxHub (0: none may be given).
// Nothing, with the reason in *error, when malformed.
std::optional<FaultRequest> parseFault(std::string_view text, int maxHub, std::string* error);

// Sets the knobs the fault stands for; the hub number is not looked at.
void applyFault(const FaultRequest& fault, HubFaults& faults);
// Takes the fault away again: every frame it was set for.
void clearFault(FaultKind kind, HubFaults& faults);
// Whether the fault is set in these knobs, and with which value.
std::optional<int> faultValue(FaultKind kind, const HubFaults& faults);
// Its second value; 0 for kinds that take none.
int faultGap(FaultKind kind, const HubFaults& faults);

// "KIND", "KIND@VALUE" or "KIND@VALUE[:GAP]", as in the syntax.
std::string faultSyntax(const FaultInfo& info);

// The kinds with their descriptions, one block per kind: the syntax indented
// by indent, the description from column indent + 20 (on the next line when
// the syntax is longer), lines wrapped before width.
std::string faultHelp(int indent, int width = 79);

} // namespace hubsim
