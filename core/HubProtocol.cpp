#include "HubProtocol.h"

#include <algorithm>
#include <stdexcept>

void HubRequest::assign(std::initializer_list<std::uint8_t> payloadBytes) {
    assign(std::span<const std::uint8_t>(payloadBytes.begin(), payloadBytes.size()));
}

void HubRequest::assign(std::span<const std::uint8_t> payloadBytes) {
    if (payloadBytes.size() > bytes.size() - hubframe::RecordPayloadAt)
        throw std::length_error("payload does not fit the request record");
    setPayloadLength(static_cast<int>(payloadBytes.size()));
    std::copy(payloadBytes.begin(), payloadBytes.end(), bytes.begin() + hubframe::RecordPayloadAt);
}

std::uint8_t Crc8(std::span<const std::uint8_t> frame, std::size_t count) {
    count = std::min(count, frame.size());
    std::uint8_t r = frame.size() > 1 ? frame[1] : 0;
    for (std::size_t i = 2; i < count; ++i) {
        const std::uint8_t b = frame[i];
        for (int bit = 7; bit >= 0; --bit) {
            const bool top = (r & 0x80) != 0;
            r = static_cast<std::uint8_t>((r << 1) | ((b >> bit) & 1));
            if (top)
                r ^= 0x07;
        }
    }
    // Flush the register with eight zero bits.
    for (int round = 0; round < 8; ++round) {
        const bool top = (r & 0x80) != 0;
        r = static_cast<std::uint8_t>(r << 1);
        if (top)
            r ^= 0x07;
    }
    return r;
}

std::optional<HubReport> buildHubFrame(std::uint8_t command, const HubRequest& request) {
    const int n = request.payloadLength();
    if (n > hubframe::MaxPayload)
        return std::nullopt;

    HubReport report{};
    // Report byte k (k >= 5) is record byte k - 1: payload first, leftovers as padding.
    std::copy(request.bytes.begin() + hubframe::RecordPayloadAt, request.bytes.end(), report.begin() + 5);
    report[0] = 0;
    report[1] = hubframe::Marker;
    report[2] = static_cast<std::uint8_t>(n + 5);
    report[3] = 0;
    report[4] = command;
    report[5 + n] = Crc8(report, static_cast<std::size_t>(n) + 4);
    return report;
}

namespace hubrequest {

HubRequest getVersion() {
    HubRequest request;
    request.assign({0x00});
    return request;
}

HubRequest setLedLevel(int channel, int level) {
    HubRequest request;
    request.assign({static_cast<std::uint8_t>(channel), static_cast<std::uint8_t>(level)});
    return request;
}

namespace {

void blockFrame(HubRequest& record, std::array<std::uint8_t, 4> head, std::span<const std::uint8_t> data) {
    for (std::size_t k = 0; k < head.size(); ++k)
        record.setPayload(k, head[k]);
    for (std::size_t k = 0; k < data.size(); ++k)
        record.setPayload(head.size() + k, data[k]);
    record.setPayloadLength(int(head.size() + data.size()));
}

} // namespace

void blockData(HubRequest& record, std::span<const std::uint8_t> data) {
    blockFrame(record, {0, 0, 0, 0}, data);
}

void blockWrite(HubRequest& record, std::uint16_t address, std::span<const std::uint8_t> data) {
    blockFrame(record,
               {static_cast<std::uint8_t>(address & 0xFF), static_cast<std::uint8_t>(address >> 8), 0, 0},
               data);
}

} // namespace hubrequest
