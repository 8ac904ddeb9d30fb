#pragma once

// What the hub's replies say, read from the reply buffer (the report without
// its id) by the layout the frame protocol fixes. Every reader checks that
// the bytes it needs came; a short reply reads as no answer. Plain C++, like
// the frame code beside it.

#include "HubProtocol.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace hubreply {

using Reply = std::array<std::uint8_t, hubframe::ReplySize>;

// The answer to CmdGetMode. The values are the ones the window shows and
// compares (0, 1, 2).
enum class Mode { None = 0, Bootloader = 1, Application = 2 };

// The mode from the exchange's outcome: the result SendFrame returned (-1
// for no reply) and the reply it left, of which `length` bytes came.
Mode mode(int result, std::span<const std::uint8_t> reply);

// CmdGetVersion: reply bytes 5 to 8, most significant first.
std::optional<std::uint32_t> version(std::span<const std::uint8_t> reply);

struct RunData {
    int voltage = 0;             // reply bytes 5-6, low byte first
    int current = 0;             // 7-8
    int state = 0;               // 9
    int channel = 0;             // 10
    std::uint8_t batteries = 0;  // 11; bit 4 + i: battery i is present
    std::array<int, 3> cycles{}; // 12 to 14
    bool operator==(const RunData&) const = default;
};

// CmdReadRunData.
std::optional<RunData> runData(std::span<const std::uint8_t> reply);

// The command a reply names (reply byte 3): the hubs echo the frame's there.
// 0, which is no command, when the reply is too short to carry it.
std::uint8_t command(std::span<const std::uint8_t> reply);

// Whether the reply ends in the checksum its length byte puts it at (reply
// byte length - 1), laid out like a request's: over reply bytes 0 to
// length - 3. False when the length cannot be a frame's or the bytes did not
// all come.
bool checksumValid(std::span<const std::uint8_t> reply);

// The hub's own status report, sent unasked: never an answer.
bool isStatusReport(std::span<const std::uint8_t> reply);

inline constexpr int LedChannels = 8;
using LedLevels = std::array<std::uint8_t, LedChannels>;

// CmdStartLedAdjust: the eight levels, channels 1 to 8, as the hub sent them.
std::optional<LedLevels> ledLevels(std::span<const std::uint8_t> reply);

} // namespace hubreply
