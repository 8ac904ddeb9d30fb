#include "HubProtocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<std::uint8_t> head(const HubReport& report, std::size_t count) {
    return {report.begin(), report.begin() + static_cast<std::ptrdiff_t>(count)};
}

HubReport frameFor(std::uint8_t command, std::initializer_list<std::uint8_t> payload) {
    HubRequest request;
    request.assign(payload);
    auto frame = buildHubFrame(command, request);
    EXPECT_TRUE(frame.has_value());
    return frame.value_or(HubReport{});
}

} // namespace

TEST(HubFrame, KnownFramesByteForByte) {
    using V = std::vector<std::uint8_t>;
    EXPECT_EQ(head(frameFor(CmdEnterBootloader, {}), 6), (V{0x00, 0x55, 0x05, 0x00, 0x07, 0xA5}));
    EXPECT_EQ(head(frameFor(CmdGetVersion, {0x00}), 7), (V{0x00, 0x55, 0x06, 0x00, 0x01, 0x00, 0xC8}));
    EXPECT_EQ(head(frameFor(CmdSetLedLevel, {1, 50}), 8),
              (V{0x00, 0x55, 0x07, 0x00, 0xF1, 0x01, 0x32, 0x73}));
}

TEST(HubFrame, EveryCommandWithoutPayloadEndsInA5) {
    for (std::uint8_t command :
         {CmdGetVersion, CmdGetMode, CmdBlockWrite, CmdEnterBootloader, CmdBlockData, CmdReboot,
          CmdReadRunData, CmdSetLedLevel, CmdStartLedAdjust, CmdEndLedAdjust}) {
        const HubReport frame = frameFor(command, {});
        EXPECT_EQ(frame[2], 5) << int(command);
        EXPECT_EQ(frame[4], command);
        EXPECT_EQ(frame[5], 0xA5) << int(command);
    }
}

TEST(HubFrame, ChecksumSkipsTheByteBeforeIt) {
    // Only the last payload byte differs: the hub would not notice, and neither does the checksum.
    const HubReport a = frameFor(CmdSetLedLevel, {3, 10});
    const HubReport b = frameFor(CmdSetLedLevel, {3, 99});
    EXPECT_EQ(a[7], b[7]);
    // The first payload byte is covered.
    EXPECT_NE(frameFor(CmdSetLedLevel, {4, 10})[7], a[7]);
}

TEST(HubFrame, LongestPayloadPutsChecksumIntoLastByte) {
    HubRequest request;
    std::vector<std::uint8_t> payload(59);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 7 + 1);
    request.assign(payload);
    const auto frame = buildHubFrame(CmdBlockData, request);
    ASSERT_TRUE(frame);
    EXPECT_EQ((*frame)[2], 64);
    EXPECT_EQ(0, std::memcmp(frame->data() + 5, payload.data(), payload.size()));
    EXPECT_EQ((*frame)[64], Crc8(*frame, 63));

    request.setPayloadLength(60);
    EXPECT_FALSE(buildHubFrame(CmdBlockData, request));
    request.setPayloadLength(255);
    EXPECT_FALSE(buildHubFrame(CmdBlockData, request));
}

TEST(HubFrame, PaddingIsTheRecordsLeftovers) {
    HubRequest request;
    for (std::size_t i = 0; i < request.bytes.size(); ++i)
        request.bytes[i] = static_cast<std::uint8_t>(0x80 + i);
    request.assign({0xAA, 0xBB});
    const auto frame = buildHubFrame(CmdBlockWrite, request);
    ASSERT_TRUE(frame);
    // Report byte k after the checksum is record byte k - 1.
    for (std::size_t k = 8; k < hubframe::ReportSize; ++k)
        EXPECT_EQ((*frame)[k], request.bytes[k - 1]) << k;
    // The caller's record is left as it was apart from what it assigned.
    EXPECT_EQ(request.payloadLength(), 2);
    EXPECT_EQ(request.payload(2), 0x80 + 6);
}

TEST(HubFrame, Crc8MatchesTheCommonForm) {
    // Check value of CRC-8 (poly 0x07, init 0, no reflection, no final xor).
    std::vector<std::uint8_t> frame{0x00};
    for (char c : std::string("123456789"))
        frame.push_back(static_cast<std::uint8_t>(c));
    EXPECT_EQ(Crc8(frame, frame.size()), 0xF4);
    // Count past the end is clamped rather than read.
    EXPECT_EQ(Crc8(frame, 1000), 0xF4);
    EXPECT_EQ(Crc8(frame, 5), Crc8(std::vector<std::uint8_t>(frame.begin(), frame.begin() + 5), 5));
    EXPECT_EQ(Crc8({}, 4), 0);
}

TEST(HubFrame, RequestRecordBounds) {
    HubRequest request;
    EXPECT_THROW(request.setPayload(60, 1), std::out_of_range);
    std::vector<std::uint8_t> tooLong(61);
    EXPECT_THROW(request.assign(tooLong), std::length_error);
}
