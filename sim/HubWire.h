#pragma once

// The hub's side of the frame format: how the device checks a request report
// and lays out its reply. Kept apart from the program's frame builder on
// purpose, so a fault in one is not mirrored by the other.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace hubsim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t ReportLength = 65; // report id + 64 bytes, both directions
inline constexpr std::uint8_t FrameMarker = 0x55;

// Command codes as the hub's firmware knows them.
namespace cmd {
inline constexpr std::uint8_t GetVersion = 0x01;
inline constexpr std::uint8_t GetMode = 0x04;
inline constexpr std::uint8_t BlockWrite = 0x06;
inline constexpr std::uint8_t EnterBootloader = 0x07;
inline constexpr std::uint8_t BlockData = 0x09;
inline constexpr std::uint8_t Reboot = 0x0B;
inline constexpr std::uint8_t ReadRunData = 0x10;
inline constexpr std::uint8_t SetLedLevel = 0xF1;
inline constexpr std::uint8_t StartLedAdjust = 0xF2;
inline constexpr std::uint8_t EndLedAdjust = 0xF3;
inline constexpr std::uint8_t Status = 0x80; // unsolicited status report
} // namespace cmd

// Result bytes of the hub's own errors. 0xFF is taken: the application's
// answer to the mode query.
enum Result : std::uint8_t {
    ResultOk = 0x00,
    ResultBlockMismatch = 0xFA, // block write without its matching block data
    ResultBadPayload = 0xFB,    // payload too short or out of range
    ResultWrongMode = 0xFC,     // command not served in the running mode
    ResultUnknownCommand = 0xFD,
    ResultBadChecksum = 0xFE,
};

// CRC-8, polynomial 0x07, initial value 0, no reflection, no final XOR.
std::uint8_t crc8(std::span<const std::uint8_t> bytes);

enum class FrameVerdict {
    Ok,
    NotAReport,  // wrong report id or length: dropped unanswered
    BadMarker,   // dropped without an answer
    BadLength,   // length byte outside 5..64: dropped without an answer
    BadChecksum, // answered with ResultBadChecksum
};

struct RequestFrame {
    FrameVerdict verdict = FrameVerdict::NotAReport;
    std::uint8_t command = 0;
    Bytes payload;
};

// Checks a 65-byte output report (report id first) the way the hub does. The
// checksum sits at report byte n + 5 and covers report bytes 1 to n + 3.
RequestFrame parseRequest(std::span<const std::uint8_t> report);

// A 65-byte input report: id 0, marker, length, 0, command echo, result,
// data, checksum laid out like a request whose payload is result + data.
Bytes buildReply(std::uint8_t command, std::uint8_t result, std::span<const std::uint8_t> data = {},
                 std::uint8_t marker = FrameMarker);

// The hub's report descriptor: one 64-byte input and one 64-byte output
// report, vendor page, no report ids.
Bytes reportDescriptor();

} // namespace hubsim
