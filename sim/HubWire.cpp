#include "HubWire.h"

#include <algorithm>

namespace hubsim {

std::uint8_t crc8(std::span<const std::uint8_t> bytes) {
    std::uint8_t crc = 0;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

RequestFrame parseRequest(std::span<const std::uint8_t> report) {
    RequestFrame frame;
    if (report.size() != ReportLength || report[0] != 0)
        return frame;
    if (report[1] != FrameMarker) {
        frame.verdict = FrameVerdict::BadMarker;
        return frame;
    }
    const std::size_t length = report[2];
    if (length < 5 || length > 64) {
        frame.verdict = FrameVerdict::BadLength;
        return frame;
    }
    const std::size_t n = length - 5;
    frame.command = report[4];
    if (crc8(report.subspan(1, n + 3)) != report[5 + n]) {
        frame.verdict = FrameVerdict::BadChecksum;
        return frame;
    }
    frame.payload.assign(report.begin() + 5, report.begin() + 5 + static_cast<std::ptrdiff_t>(n));
    frame.verdict = FrameVerdict::Ok;
    return frame;
}

Bytes buildReply(std::uint8_t command, std::uint8_t result, std::span<const std::uint8_t> data,
                 std::uint8_t marker) {
    Bytes report(ReportLength, 0);
    // Room after the header (5), the result and the checksum.
    const std::size_t count = std::min<std::size_t>(data.size(), ReportLength - 7);
    const std::size_t n = count + 1;
    report[1] = marker;
    report[2] = static_cast<std::uint8_t>(n + 5);
    report[4] = command;
    report[5] = result;
    std::copy_n(data.begin(), count, report.begin() + 6);
    report[5 + n] = crc8(std::span<const std::uint8_t>(report).subspan(1, n + 3));
    return report;
}

Bytes reportDescriptor() {
    return {
        0x06, 0x00, 0xFF, // Usage Page (vendor 0xFF00)
        0x09, 0x01,       // Usage (1)
        0xA1, 0x01,       // Collection (Application)
        0x15, 0x00,       //   Logical Minimum (0)
        0x26, 0xFF, 0x00, //   Logical Maximum (255)
        0x75, 0x08,       //   Report Size (8)
        0x95, 0x40,       //   Report Count (64)
        0x09, 0x02,       //   Usage (2)
        0x81, 0x02,       //   Input (Data, Variable, Absolute)
        0x09, 0x03,       //   Usage (3)
        0x91, 0x02,       //   Output (Data, Variable, Absolute)
        0xC0,             // End Collection
    };
}

} // namespace hubsim
