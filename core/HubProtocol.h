#pragma once

// The hub's request frame: command codes, the request record callers fill in,
// the 65-byte report built from it and its checksum, and one request builder
// per command. Plain C++ so it tests fast and the link (HubConnection) stays
// a thin layer on top.

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

inline constexpr std::uint8_t CmdGetVersion = 0x01;
inline constexpr std::uint8_t CmdGetMode = 0x04;
inline constexpr std::uint8_t CmdBlockWrite = 0x06;
inline constexpr std::uint8_t CmdEnterBootloader = 0x07;
inline constexpr std::uint8_t CmdBlockData = 0x09;
inline constexpr std::uint8_t CmdReboot = 0x0B;
inline constexpr std::uint8_t CmdReadRunData = 0x10;
inline constexpr std::uint8_t CmdSetLedLevel = 0xF1;
inline constexpr std::uint8_t CmdStartLedAdjust = 0xF2;
inline constexpr std::uint8_t CmdEndLedAdjust = 0xF3;

namespace hubframe {

inline constexpr std::uint8_t Marker = 0x55;
inline constexpr std::size_t RecordSize = 64; // request record
inline constexpr std::size_t ReportSize = 65; // report id + 64 bytes
inline constexpr std::size_t ReplySize = 64;  // reply buffer: the report without its id
inline constexpr int MaxPayload = 59;         // length byte n + 5 must not exceed 64

// Offsets into the reply buffer (report id already stripped).
inline constexpr std::size_t ReplyMarkerAt = 0;
inline constexpr std::size_t ReplyLengthAt = 1;
inline constexpr std::size_t ReplyCommandAt = 3; // the hubs echo their frame's command here
inline constexpr std::size_t ReplyResultAt = 4;
inline constexpr std::size_t ReplyDataAt = 5;

// What the hub's unsolicited status report names in place of a command; no
// frame carries it, so the report never answers one.
inline constexpr std::uint8_t StatusReportCode = 0x80;

// Request record offsets: byte 1 holds the payload length, payload byte i is record byte 4 + i.
inline constexpr std::size_t RecordLengthAt = 1;
inline constexpr std::size_t RecordPayloadAt = 4;

} // namespace hubframe

using HubReport = std::array<std::uint8_t, hubframe::ReportSize>;

// The 64-byte request record. Bytes 0, 2 and 3 carry no meaning; what is left
// in the payload area after the payload travels as padding, so a caller may
// reuse one record across frames (the programming loop relies on that).
struct HubRequest {
    std::array<std::uint8_t, hubframe::RecordSize> bytes{};

    int payloadLength() const { return bytes[hubframe::RecordLengthAt]; }
    void setPayloadLength(int n) { bytes[hubframe::RecordLengthAt] = static_cast<std::uint8_t>(n); }

    // i from 0 to 59.
    std::uint8_t payload(std::size_t i) const { return bytes.at(hubframe::RecordPayloadAt + i); }
    void setPayload(std::size_t i, std::uint8_t value) { bytes.at(hubframe::RecordPayloadAt + i) = value; }

    // Sets the length and the first payload bytes; bytes past them keep their value.
    void assign(std::initializer_list<std::uint8_t> payloadBytes);
    void assign(std::span<const std::uint8_t> payloadBytes);
};

// One builder per command, so that a payload is laid out in one place.
// Each returns the record for its frame, or fills a reused one: the record's
// bytes past the payload stay as they were, as padding.
namespace hubrequest {
// CmdGetMode, CmdEnterBootloader, CmdReboot, CmdReadRunData,
// CmdStartLedAdjust and CmdEndLedAdjust carry no payload.
inline HubRequest withoutPayload() {
    return HubRequest{};
}
inline void withoutPayload(HubRequest& record) {
    record.setPayloadLength(0);
}
// CmdGetVersion: one byte 0x00.
HubRequest getVersion();
// CmdSetLedLevel: the channel (1 to 8) and its level.
HubRequest setLedLevel(int channel, int level);
// CmdBlockData: four zeros, then the line's data bytes.
void blockData(HubRequest& record, std::span<const std::uint8_t> data);
// CmdBlockWrite: the address, low byte first, two zeros, then the data bytes.
void blockWrite(HubRequest& record, std::uint16_t address, std::span<const std::uint8_t> data);
} // namespace hubrequest

// The frame checksum over frame bytes 1 to count - 1, kept exactly as the hub
// checks it: the frame builder passes count = n + 4, so the byte right before
// the checksum is not covered. Never reads past the end of frame.
std::uint8_t Crc8(std::span<const std::uint8_t> frame, std::size_t count);

// The 65-byte output report for a command: id 0, marker, length n + 5, 0,
// command, payload, checksum at 5 + n, then the record's bytes at the same
// places as padding. No frame when the payload length exceeds 59.
std::optional<HubReport> buildHubFrame(std::uint8_t command, const HubRequest& request);
