#include "HubReplies.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using hubreply::Mode;
using Bytes = std::vector<std::uint8_t>;

// A reply as the hub sends it: marker, three bytes, the result, then data.
Bytes reply(std::uint8_t result, const Bytes& data) {
    Bytes bytes(hubframe::ReplyDataAt + data.size(), 0);
    bytes[hubframe::ReplyMarkerAt] = hubframe::Marker;
    bytes[hubframe::ReplyResultAt] = result;
    for (std::size_t i = 0; i < data.size(); ++i)
        bytes[hubframe::ReplyDataAt + i] = data[i];
    return bytes;
}

// The reply cut to its first n bytes, as a short report leaves it.
Bytes cut(Bytes bytes, std::size_t n) {
    bytes.resize(n);
    return bytes;
}

} // namespace

TEST(HubReplies, TheModeComesFromTheResultAndTheFirstDataByte) {
    EXPECT_EQ(hubreply::mode(0xFF, reply(0xFF, {})), Mode::Application);
    // An application answer needs no data byte; a bootloader answer does.
    EXPECT_EQ(hubreply::mode(0xFF, cut(reply(0xFF, {}), 5)), Mode::Application);
    EXPECT_EQ(hubreply::mode(0, reply(0, {1})), Mode::Bootloader);
    EXPECT_EQ(hubreply::mode(0, cut(reply(0, {1}), 5)), Mode::None);
    EXPECT_EQ(hubreply::mode(0, reply(0, {2})), Mode::None);
    EXPECT_EQ(hubreply::mode(0, reply(0, {0})), Mode::None);
    // Any other result, and no reply at all, is no mode.
    EXPECT_EQ(hubreply::mode(1, reply(1, {1})), Mode::None);
    EXPECT_EQ(hubreply::mode(-1, {}), Mode::None);
}

TEST(HubReplies, DataIsReadInTheHubsByteOrderAndOnlyWhenItAllCame) {
    const Bytes version = reply(0, {0x11, 0x15, 0x09, 0x06});
    EXPECT_EQ(hubreply::version(version), std::optional<std::uint32_t>(0x11150906));
    EXPECT_FALSE(hubreply::version(cut(version, 8)));

    // Voltage and current low byte first; the rest one byte each.
    const Bytes run = reply(0, {0x34, 0x12, 0xCD, 0xAB, 7, 3, 0xA0, 9, 8, 250});
    const std::optional<hubreply::RunData> data = hubreply::runData(run);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->voltage, 0x1234);
    EXPECT_EQ(data->current, 0xABCD);
    EXPECT_EQ(data->state, 7);
    EXPECT_EQ(data->channel, 3);
    EXPECT_EQ(data->batteries, 0xA0);
    EXPECT_EQ(data->cycles, (std::array<int, 3>{9, 8, 250}));
    EXPECT_FALSE(hubreply::runData(cut(run, 14)));

    // Levels as sent, also past the top a slider would show.
    const Bytes levels = reply(0, {1, 2, 3, 4, 5, 6, 7, 200, 99});
    EXPECT_EQ(hubreply::ledLevels(levels), std::optional<hubreply::LedLevels>({1, 2, 3, 4, 5, 6, 7, 200}));
    EXPECT_FALSE(hubreply::ledLevels(cut(levels, 12)));
}

// The application's answer to the mode query as the hub sends it: length 6,
// the command echoed, result 0xFF, the checksum over bytes 0 to 3.
TEST(HubReplies, TheCommandAndTheChecksumAreReadWhereTheLengthPutsThem) {
    const Bytes mode{0x55, 0x06, 0x00, 0x04, 0xFF, 0xD3, 0x00, 0x00};
    EXPECT_EQ(hubreply::command(mode), CmdGetMode);
    EXPECT_TRUE(hubreply::checksumValid(mode));
    EXPECT_FALSE(hubreply::isStatusReport(mode));
    Bytes changed = mode;
    changed[3] = CmdBlockWrite; // a covered byte
    EXPECT_FALSE(hubreply::checksumValid(changed));
    EXPECT_FALSE(hubreply::checksumValid(cut(mode, 5)));
    changed = mode;
    changed[1] = 0x04; // no frame is that short
    EXPECT_FALSE(hubreply::checksumValid(changed));
    EXPECT_EQ(hubreply::command(cut(mode, 3)), 0);

    const Bytes status{0x55, 0x08, 0x00, 0x80, 0x00, 0x02, 0x50, 0x79};
    EXPECT_TRUE(hubreply::isStatusReport(status));
    EXPECT_TRUE(hubreply::checksumValid(status));
}
