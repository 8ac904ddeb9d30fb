#include "HubReplies.h"

#include <algorithm>

namespace hubreply {

namespace {

constexpr std::size_t At = hubframe::ReplyDataAt;

// A reply carries the data bytes up to `end` only when that many came.
bool holds(std::span<const std::uint8_t> reply, std::size_t end) {
    return reply.size() >= end;
}

} // namespace

Mode mode(int result, std::span<const std::uint8_t> reply) {
    if (result == 0xFF)
        return Mode::Application;
    if (result == 0 && holds(reply, At + 1) && reply[At] == 1)
        return Mode::Bootloader;
    return Mode::None;
}

std::uint8_t command(std::span<const std::uint8_t> reply) {
    return holds(reply, hubframe::ReplyCommandAt + 1) ? reply[hubframe::ReplyCommandAt] : 0;
}

bool checksumValid(std::span<const std::uint8_t> reply) {
    if (!holds(reply, hubframe::ReplyLengthAt + 1))
        return false;
    const std::size_t length = reply[hubframe::ReplyLengthAt];
    if (length < 5 || length > hubframe::ReplySize || !holds(reply, length))
        return false;
    // Crc8 counts from the report id, which the reply no longer has.
    HubReport frame{};
    std::copy_n(reply.begin(), length, frame.begin() + 1);
    return Crc8(frame, length - 1) == reply[length - 1];
}

bool isStatusReport(std::span<const std::uint8_t> reply) {
    return command(reply) == hubframe::StatusReportCode;
}

std::optional<std::uint32_t> version(std::span<const std::uint8_t> reply) {
    if (!holds(reply, At + 4))
        return std::nullopt;
    return std::uint32_t(reply[At]) << 24 | std::uint32_t(reply[At + 1]) << 16 |
           std::uint32_t(reply[At + 2]) << 8 | std::uint32_t(reply[At + 3]);
}

std::optional<RunData> runData(std::span<const std::uint8_t> reply) {
    if (!holds(reply, At + 10))
        return std::nullopt;
    const auto word = [&reply](std::size_t at) { return reply[at] | reply[at + 1] << 8; };
    RunData data;
    data.voltage = word(At);
    data.current = word(At + 2);
    data.state = reply[At + 4];
    data.channel = reply[At + 5];
    data.batteries = reply[At + 6];
    data.cycles = {reply[At + 7], reply[At + 8], reply[At + 9]};
    return data;
}

std::optional<LedLevels> ledLevels(std::span<const std::uint8_t> reply) {
    if (!holds(reply, At + LedChannels))
        return std::nullopt;
    LedLevels levels{};
    std::copy_n(reply.begin() + At, LedChannels, levels.begin());
    return levels;
}

} // namespace hubreply
