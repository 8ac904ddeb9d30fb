#include "HubModel.h"
#include "HubProtocol.h"
#include "HubTrace.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <thread>

using namespace hubsim;

namespace {

Bytes frame(std::uint8_t command, std::initializer_list<std::uint8_t> payload = {}) {
    HubRequest request;
    request.assign(payload);
    const auto report = buildHubFrame(command, request);
    return report ? Bytes(report->begin(), report->end()) : Bytes{};
}

// Reply byte k as the program counts them: the report without its id.
int replyByte(const HubResponse& r, std::size_t k) {
    return r.reply ? (*r.reply)[k + 1] : -1;
}

Bytes blockPayload(std::uint32_t address, const Bytes& data) {
    Bytes p(4 + data.size());
    for (std::size_t i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(address >> (8 * i));
    std::copy(data.begin(), data.end(), p.begin() + 4);
    return p;
}

Bytes frameWith(std::uint8_t command, const Bytes& payload) {
    HubRequest request;
    request.assign(payload);
    const auto report = buildHubFrame(command, request);
    return Bytes(report->begin(), report->end());
}

// Sends one data line the way the program does: block data, then block write.
void sendLine(HubModel& hub, std::uint32_t address, const Bytes& data) {
    Bytes zeros = blockPayload(0, data);
    ASSERT_EQ(replyByte(hub.handleReport(frameWith(CmdBlockData, zeros)), 4), 0);
    ASSERT_EQ(replyByte(hub.handleReport(frameWith(CmdBlockWrite, blockPayload(address, data))), 4), 0);
}

void enterBootloader(HubModel& hub) {
    const HubResponse r = hub.handleReport(frame(CmdEnterBootloader));
    ASSERT_EQ(r.then, HubResponse::Then::Restart);
    hub.finishRestart();
    ASSERT_EQ(hub.mode(), HubMode::Bootloader);
}

} // namespace

TEST(HubModel, AnswersApplicationCommands) {
    HubModel hub;
    hub.setFirmwareVersion(0x0A0B0C0D);

    HubResponse r = hub.handleReport(frame(CmdGetVersion, {0}));
    ASSERT_TRUE(r.reply);
    EXPECT_EQ(r.reply->size(), 65u);
    EXPECT_EQ((*r.reply)[0], 0);
    EXPECT_EQ(replyByte(r, 0), 0x55);
    EXPECT_EQ(replyByte(r, 4), 0);
    EXPECT_EQ(replyByte(r, 5), 0x0A);
    EXPECT_EQ(replyByte(r, 6), 0x0B);
    EXPECT_EQ(replyByte(r, 7), 0x0C);
    EXPECT_EQ(replyByte(r, 8), 0x0D);
    EXPECT_EQ(r.then, HubResponse::Then::Stay);
    // Also without the payload byte, as when a hub is first taken from the list.
    EXPECT_EQ(replyByte(hub.handleReport(frame(CmdGetVersion)), 5), 0x0A);

    EXPECT_EQ(replyByte(hub.handleReport(frame(CmdGetMode)), 4), 0xFF);

    RunData data;
    data.voltage = 0x1234;
    data.current = 0xBEEF;
    data.state = 7;
    data.channel = 3;
    data.presence = 0x50;
    data.counters = {9, 8, 250};
    hub.setRunData(data);
    r = hub.handleReport(frame(CmdReadRunData));
    const std::vector<int> expected{0x34, 0x12, 0xEF, 0xBE, 7, 3, 0x50, 9, 8, 250};
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(replyByte(r, 5 + i), expected[i]) << i;
}

TEST(HubModel, LedLevelsAdjustAndKeep) {
    HubModel hub;
    hub.setLedLevels({10, 20, 30, 40, 50, 60, 70, 80});

    HubResponse r = hub.handleReport(frame(CmdStartLedAdjust));
    EXPECT_EQ(replyByte(r, 4), 0);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(replyByte(r, 5 + i), 10 * (i + 1));
    EXPECT_TRUE(hub.isLedAdjustOpen());

    EXPECT_EQ(replyByte(hub.handleReport(frame(CmdSetLedLevel, {6, 73})), 4), 0);
    EXPECT_EQ(hub.ledLevels()[5], 73);
    EXPECT_EQ(hub.savedLedLevels()[5], 60);
    EXPECT_EQ(replyByte(hub.handleReport(frame(CmdEndLedAdjust)), 4), 0);
    EXPECT_EQ(hub.savedLedLevels()[5], 73);
    EXPECT_FALSE(hub.isLedAdjustOpen());

    // Out of range channel or level is refused and changes nothing.
    for (auto payload : {Bytes{0, 5}, Bytes{9, 5}, Bytes{1, 101}, Bytes{1}}) {
        EXPECT_EQ(replyByte(hub.handleReport(frameWith(CmdSetLedLevel, payload)), 4), ResultBadPayload);
    }
    EXPECT_EQ(hub.ledLevels(), (std::array<std::uint8_t, 8>{10, 20, 30, 40, 50, 73, 70, 80}));

    // Levels not kept are lost on a restart.
    hub.handleReport(frame(CmdSetLedLevel, {1, 99}));
    EXPECT_EQ(hub.handleReport(frame(CmdReboot)).then, HubResponse::Then::Restart);
    hub.finishRestart();
    EXPECT_EQ(hub.ledLevels()[0], 10);
}

TEST(HubModel, RefusesWhatTheRunningModeDoesNotServe) {
    HubModel hub;
    EXPECT_EQ(replyByte(hub.handleReport(frame(CmdBlockData, {0, 0, 0, 0, 1})), 4), ResultWrongMode);
    EXPECT_EQ(replyByte(hub.handleReport(frame(0x42)), 4), ResultUnknownCommand);
    EXPECT_EQ(replyByte(hub.handleReport(frame(0x42)), 3), 0x42);

    enterBootloader(hub);
    HubResponse r = hub.handleReport(frame(CmdGetMode));
    EXPECT_EQ(replyByte(r, 4), 0);
    EXPECT_EQ(replyByte(r, 5), 1);
    for (std::uint8_t command : {CmdReadRunData, CmdStartLedAdjust, CmdEndLedAdjust})
        EXPECT_EQ(replyByte(hub.handleReport(frame(command)), 4), ResultWrongMode) << int(command);
    EXPECT_EQ(replyByte(hub.handleReport(frame(CmdSetLedLevel, {1, 1})), 4), ResultWrongMode);
    EXPECT_EQ(replyByte(hub.handleReport(frame(0x42)), 4), ResultUnknownCommand);
    // Block commands need at least the four address bytes.
    EXPECT_EQ(replyByte(hub.handleReport(frame(CmdBlockData, {0, 0, 0})), 4), ResultBadPayload);
}

TEST(HubModel, MalformedFrames) {
    HubModel hub;
    Bytes good = frame(CmdGetVersion, {0});
    ASSERT_TRUE(hub.handleReport(good).reply);

    Bytes badMarker = good;
    badMarker[1] = 0x54;
    EXPECT_FALSE(hub.handleReport(badMarker).reply);

    for (std::uint8_t length : {0, 4, 65, 255}) {
        Bytes badLength = good;
        badLength[2] = length;
        EXPECT_FALSE(hub.handleReport(badLength).reply) << int(length);
    }

    Bytes badChecksum = good;
    badChecksum[6] ^= 0x01;
    HubResponse r = hub.handleReport(badChecksum);
    EXPECT_EQ(replyByte(r, 0), 0x55);
    EXPECT_EQ(replyByte(r, 4), ResultBadChecksum);

    // A corrupted covered byte is caught too.
    Bytes corrupted = frame(CmdSetLedLevel, {2, 40});
    corrupted[5] = 3;
    EXPECT_EQ(replyByte(hub.handleReport(corrupted), 4), ResultBadChecksum);
    EXPECT_EQ(hub.ledLevels()[2], FactoryLedLevel);

    Bytes badId = good;
    badId[0] = 1;
    EXPECT_FALSE(hub.handleReport(badId).reply);
    EXPECT_FALSE(hub.handleReport(Bytes(good.begin(), good.end() - 1)).reply);
    EXPECT_FALSE(hub.handleReport(Bytes{}).reply);

    // Every report that reached the hub was counted.
    EXPECT_EQ(hub.framesReceived(), 11u);
}

TEST(HubModel, RepliesCarryAValidChecksum) {
    HubModel hub;
    const HubResponse r = hub.handleReport(frame(CmdStartLedAdjust));
    ASSERT_TRUE(r.reply);
    const std::size_t n = (*r.reply)[2] - 5u;
    EXPECT_EQ(n, 9u); // result + eight levels
    EXPECT_EQ((*r.reply)[5 + n], crc8(std::span<const std::uint8_t>(*r.reply).subspan(1, n + 3)));
    EXPECT_EQ(parseRequest(*r.reply).verdict, FrameVerdict::Ok);
}

TEST(HubModel, ProgrammingFlowRunsTheImageVersion) {
    HubModel hub;
    hub.setLedLevels({1, 2, 3, 4, 5, 6, 7, 8});
    hub.setRestartDelays(40, 60);
    const HubResponse enter = hub.handleReport(frame(CmdEnterBootloader));
    EXPECT_EQ(replyByte(enter, 4), 0);
    EXPECT_EQ(enter.restartDelayMs, 40);
    EXPECT_TRUE(hub.isRestarting());
    // Nothing reaches the firmware while it restarts.
    EXPECT_FALSE(hub.handleReport(frame(CmdGetMode)).reply);
    hub.finishRestart();
    EXPECT_EQ(hub.mode(), HubMode::Bootloader);

    const Bytes line1{0xAA, 0xBB, 0xCC, 0xDD};
    const Bytes line2(19, 0x5A);
    sendLine(hub, 0x1234, line1);
    sendLine(hub, 0x1247, line2);
    // A block write repeated because its answer was lost is taken once.
    EXPECT_EQ(replyByte(hub.handleReport(frameWith(CmdBlockWrite, blockPayload(0x1247, line2))), 4), 0);
    EXPECT_EQ(hub.writtenBlocks(), (std::vector<WrittenBlock>{{0x1234, line1}, {0x1247, line2}}));
    EXPECT_TRUE(hub.isWriteComplete());
    EXPECT_EQ(hub.firmwareVersion(), DefaultFirmwareVersion);

    const HubResponse reboot = hub.handleReport(frame(CmdReboot));
    EXPECT_EQ(reboot.then, HubResponse::Then::Restart);
    EXPECT_EQ(reboot.restartDelayMs, 60);
    hub.finishRestart();
    EXPECT_EQ(hub.mode(), HubMode::Application);
    EXPECT_EQ(hub.firmwareVersion(), DefaultImageVersion);
    // The new application starts from factory calibration; the blocks stay for inspection.
    EXPECT_EQ(hub.ledLevels()[0], FactoryLedLevel);
    EXPECT_EQ(hub.writtenBlocks().size(), 2u);

    // A new session starts empty.
    enterBootloader(hub);
    EXPECT_TRUE(hub.writtenBlocks().empty());
    EXPECT_FALSE(hub.isWriteComplete());
}

TEST(HubModel, IncompleteOrWrongWritesKeepTheBootloader) {
    HubModel hub;
    enterBootloader(hub);
    // Nothing written: the old application simply runs again.
    hub.handleReport(frame(CmdReboot));
    hub.finishRestart();
    EXPECT_EQ(hub.mode(), HubMode::Application);
    EXPECT_EQ(hub.firmwareVersion(), DefaultFirmwareVersion);

    // A block write whose data differ from its block data.
    enterBootloader(hub);
    sendLine(hub, 0x10, {1, 2, 3});
    hub.handleReport(frameWith(CmdBlockData, blockPayload(0, {4, 5, 6})));
    HubResponse r = hub.handleReport(frameWith(CmdBlockWrite, blockPayload(0x20, {4, 5, 7})));
    EXPECT_EQ(replyByte(r, 4), ResultBlockMismatch);
    // A block write with no block data before it.
    EXPECT_EQ(replyByte(hub.handleReport(frameWith(CmdBlockWrite, blockPayload(0x30, {9}))), 4),
              ResultBlockMismatch);
    EXPECT_FALSE(hub.isWriteComplete());
    hub.handleReport(frame(CmdReboot));
    hub.finishRestart();
    EXPECT_EQ(hub.mode(), HubMode::Bootloader);
    EXPECT_EQ(hub.firmwareVersion(), DefaultFirmwareVersion);

    // Block data left without its write.
    enterBootloader(hub);
    sendLine(hub, 0x10, {1});
    hub.handleReport(frameWith(CmdBlockData, blockPayload(0, {2})));
    EXPECT_FALSE(hub.isWriteComplete());
    hub.handleReport(frame(CmdReboot));
    hub.finishRestart();
    EXPECT_EQ(hub.mode(), HubMode::Bootloader);
}

TEST(HubModel, FaultKnobs) {
    HubModel hub;
    HubFaults f;

    f.silent = true;
    hub.setFaults(f);
    HubResponse r = hub.handleReport(frame(CmdSetLedLevel, {1, 7}));
    EXPECT_FALSE(r.reply);
    EXPECT_EQ(hub.ledLevels()[0], 7); // it still acts, only the answer is lost

    f = {};
    f.replyDelayMs = 120;
    f.wrongMarker = true;
    hub.setFaults(f);
    r = hub.handleReport(frame(CmdGetVersion));
    EXPECT_EQ(r.replyDelayMs, 120);
    EXPECT_NE(replyByte(r, 0), 0x55);
    EXPECT_EQ(replyByte(r, 5), 0x11);

    f = {};
    hub.setFaults(f);
    const std::uint64_t next = hub.framesReceived() + 1;
    hub.setResultOnFrame(next + 1, 0x01);
    EXPECT_EQ(replyByte(hub.handleReport(frame(CmdGetVersion)), 4), 0);
    EXPECT_EQ(replyByte(hub.handleReport(frame(CmdGetVersion)), 4), 0x01);
    EXPECT_EQ(replyByte(hub.handleReport(frame(CmdGetVersion)), 4), 0);

    f.unplugAfterFrame = hub.framesReceived() + 2;
    hub.setFaults(f);
    EXPECT_EQ(hub.handleReport(frame(CmdGetMode)).then, HubResponse::Then::Stay);
    r = hub.handleReport(frame(CmdGetMode));
    EXPECT_TRUE(r.reply); // answered, then gone
    EXPECT_EQ(r.then, HubResponse::Then::Leave);

    f = {};
    f.neverReturnAfterReboot = true;
    hub.setFaults(f);
    EXPECT_EQ(hub.handleReport(frame(CmdEnterBootloader)).then, HubResponse::Then::Restart);
    hub.finishRestart();
    EXPECT_EQ(hub.handleReport(frame(CmdReboot)).then, HubResponse::Then::Leave);
    hub.finishRestart();

    f = {};
    f.stayInBootloaderAfterReboot = true;
    hub.setFaults(f);
    enterBootloader(hub);
    sendLine(hub, 0, {1, 2});
    hub.handleReport(frame(CmdReboot));
    hub.finishRestart();
    EXPECT_EQ(hub.mode(), HubMode::Bootloader);
}

TEST(HubModel, UnsolicitedReportLooksLikeAnAnswer) {
    HubModel hub;
    const Bytes report = hub.unsolicitedReport();
    ASSERT_EQ(report.size(), 65u);
    EXPECT_EQ(report[1], 0x55);
    hub.setUnsolicitedReport(Bytes(65, 0x33));
    EXPECT_EQ(hub.unsolicitedReport(), Bytes(65, 0x33));
}

TEST(HubTrace, KeepsOrderDirectionAndCapacity) {
    HubTrace trace(4);
    int heard = 0;
    trace.setListener([&](const TraceEntry&) { ++heard; });
    for (std::uint8_t i = 0; i < 6; ++i)
        trace.record(i % 2 ? TraceEntry::Direction::FromHub : TraceEntry::Direction::ToHub, Bytes{i});
    EXPECT_EQ(heard, 6);
    const auto entries = trace.entries();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries.front().bytes, Bytes{2});
    for (std::size_t i = 1; i < entries.size(); ++i)
        EXPECT_LE(entries[i - 1].timeNs, entries[i].timeNs);
    EXPECT_EQ(trace.reports(TraceEntry::Direction::FromHub), (std::vector<Bytes>{{3}, {5}}));
}

TEST(HubTrace, RecordsFromManyThreads) {
    HubTrace trace;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&trace, t] {
            for (int i = 0; i < 500; ++i)
                trace.record(TraceEntry::Direction::ToHub, Bytes{static_cast<std::uint8_t>(t)});
        });
    for (auto& th : threads)
        th.join();
    const auto entries = trace.entries();
    ASSERT_EQ(entries.size(), 2000u);
    for (std::size_t i = 1; i < entries.size(); ++i)
        ASSERT_LE(entries[i - 1].timeNs, entries[i].timeNs);
}
