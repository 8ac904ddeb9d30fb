#include "HubModel.h"

#include <algorithm>
#include <chrono>

namespace hubsim {

namespace {

constexpr std::uint8_t WrongMarker = 0xAA;
constexpr std::uint8_t ModeApplicationResult = 0xFF;

Bytes versionBytes(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
}

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

HubResponse HubModel::handleReport(std::span<const std::uint8_t> report) {
    std::lock_guard lock(m_mutex);
    HubResponse response;
    // Off the bus between leaving and coming back: nothing reaches the firmware.
    if (m_restarting)
        return response;

    const std::uint64_t frame = ++m_frames;
    const RequestFrame request = parseRequest(report);
    std::optional<Answer> answer;
    switch (request.verdict) {
    case FrameVerdict::Ok:
        if (frame == m_faults.copyThenRefuseFrame) {
            // Refused: a block it was to write stays unwritten, and no fault is noted.
            m_pendingBlockData.reset();
            answer = Answer{ResultBlockMismatch, {}};
            if (!m_lastReply.empty())
                response.leadingReply = m_lastReply;
            response.replyGapMs = m_faults.copyThenRefuseGapMs;
            break;
        }
        answer = serve(request.command, request.payload, response);
        break;
    case FrameVerdict::BadChecksum:
        answer = Answer{ResultBadChecksum, {}};
        break;
    case FrameVerdict::NotAReport:
    case FrameVerdict::BadMarker:
    case FrameVerdict::BadLength:
        break;
    }

    if (answer && !m_faults.silent) {
        if (auto forced = m_faults.resultOnFrame.find(frame); forced != m_faults.resultOnFrame.end())
            answer->result = forced->second;
        response.reply = buildReply(m_faults.noCommandEcho ? 0 : request.command, answer->result,
                                    answer->data, m_faults.wrongMarker ? WrongMarker : FrameMarker);
        response.replyDelayMs = m_faults.replyDelayMs;
        if (auto delay = m_faults.replyDelayOnFrame.find(frame); delay != m_faults.replyDelayOnFrame.end())
            response.replyDelayMs = delay->second;
        if (m_faults.replyLength > 0 && std::size_t(m_faults.replyLength) + 1 < response.reply->size())
            response.reply->resize(std::size_t(m_faults.replyLength) + 1);
        response.repeatReply = m_faults.repeatReplyOnFrame.count(frame) > 0;
        if (m_faults.statusBeforeFrame.count(frame) > 0)
            response.statusBefore = statusReportLocked();
        m_lastReply = *response.reply;
    }
    if (m_faults.unplugAfterFrame != 0 && frame == m_faults.unplugAfterFrame)
        response.then = HubResponse::Then::Leave;
    return response;
}

HubModel::Answer HubModel::serve(std::uint8_t command, const Bytes& payload, HubResponse& response) {
    switch (command) {
    case cmd::GetVersion:
        return {ResultOk, versionBytes(m_version)};
    case cmd::GetMode:
        if (m_mode == HubMode::Application)
            return {ModeApplicationResult, {}};
        return {ResultOk, {1}};
    case cmd::EnterBootloader:
        // A fresh programming session, also when the bootloader already runs.
        m_blocks.clear();
        m_pendingBlockData.reset();
        m_writeFaulty = false;
        restartInto(HubMode::Bootloader, m_bootloaderEntryDelayMs, response);
        return {};
    case cmd::Reboot: {
        HubMode next = m_mode;
        if (m_mode == HubMode::Bootloader) {
            const bool untouched = m_blocks.empty() && !m_pendingBlockData && !m_writeFaulty;
            m_flashAfterRestart = writeSucceeded();
            // A half-written application cannot run: the bootloader stays.
            next = (untouched || m_flashAfterRestart) ? HubMode::Application : HubMode::Bootloader;
        }
        if (m_faults.stayInBootloaderAfterReboot)
            next = HubMode::Bootloader;
        restartInto(next, m_rebootDelayMs, response);
        if (m_faults.neverReturnAfterReboot)
            response.then = HubResponse::Then::Leave;
        return {};
    }
    default:
        break;
    }
    return m_mode == HubMode::Bootloader ? serveBootloader(command, payload, response)
                                         : serveApplication(command, payload, response);
}

HubModel::Answer HubModel::serveApplication(std::uint8_t command, const Bytes& payload, HubResponse&) {
    switch (command) {
    case cmd::ReadRunData: {
        m_charge.advanceTo(m_clock ? m_clock() : steadyMs());
        m_charge.fill(m_runData);
        const RunData& d = m_runData;
        return {ResultOk,
                {static_cast<std::uint8_t>(d.voltage), static_cast<std::uint8_t>(d.voltage >> 8),
                 static_cast<std::uint8_t>(d.current), static_cast<std::uint8_t>(d.current >> 8), d.state,
                 d.channel, d.presence, d.counters[0], d.counters[1], d.counters[2]}};
    }
    case cmd::SetLedLevel: {
        if (payload.size() < 2 || payload[0] < 1 || payload[0] > 8 || payload[1] > 100)
            return {ResultBadPayload, {}};
        m_leds[payload[0] - 1u] = payload[1];
        return {};
    }
    case cmd::StartLedAdjust:
        m_ledAdjustOpen = true;
        return {ResultOk, Bytes(m_leds.begin(), m_leds.end())};
    case cmd::EndLedAdjust:
        m_savedLeds = m_leds;
        m_ledAdjustOpen = false;
        return {};
    case cmd::BlockData:
    case cmd::BlockWrite:
        return {ResultWrongMode, {}};
    default:
        return {ResultUnknownCommand, {}};
    }
}

HubModel::Answer HubModel::serveBootloader(std::uint8_t command, const Bytes& payload, HubResponse&) {
    switch (command) {
    case cmd::BlockData:
        if (payload.size() < 4)
            return {ResultBadPayload, {}};
        // A repeated block data (its answer got lost) simply replaces the open one.
        m_pendingBlockData = Bytes(payload.begin() + 4, payload.end());
        return {};
    case cmd::BlockWrite: {
        if (payload.size() < 4)
            return {ResultBadPayload, {}};
        WrittenBlock block;
        block.address = static_cast<std::uint32_t>(payload[0]) | static_cast<std::uint32_t>(payload[1]) << 8 |
                        static_cast<std::uint32_t>(payload[2]) << 16 |
                        static_cast<std::uint32_t>(payload[3]) << 24;
        block.data.assign(payload.begin() + 4, payload.end());
        if (m_pendingBlockData && *m_pendingBlockData == block.data) {
            m_blocks.push_back(std::move(block));
            m_pendingBlockData.reset();
            return {};
        }
        // The host resends a write whose answer it missed: it is already done.
        if (!m_pendingBlockData && !m_blocks.empty() && m_blocks.back() == block)
            return {};
        m_pendingBlockData.reset();
        m_writeFaulty = true;
        return {ResultBlockMismatch, {}};
    }
    case cmd::ReadRunData:
    case cmd::SetLedLevel:
    case cmd::StartLedAdjust:
    case cmd::EndLedAdjust:
        return {ResultWrongMode, {}};
    default:
        return {ResultUnknownCommand, {}};
    }
}

void HubModel::restartInto(HubMode mode, int delayMs, HubResponse& response) {
    m_restarting = true;
    m_modeAfterRestart = mode;
    response.then = HubResponse::Then::Restart;
    response.restartDelayMs = delayMs;
}

bool HubModel::writeSucceeded() const {
    return !m_writeFaulty && !m_pendingBlockData && !m_blocks.empty();
}

void HubModel::finishRestart() {
    std::lock_guard lock(m_mutex);
    if (!m_restarting)
        return;
    m_restarting = false;
    m_mode = m_modeAfterRestart;
    if (m_flashAfterRestart && m_faults.bootOldFirmwareAfterReboot) {
        m_flashAfterRestart = false; // the old application runs on, with its calibration
    } else if (m_flashAfterRestart) {
        // The new application starts with factory calibration.
        m_version = m_imageVersion;
        m_savedLeds = factoryLedLevels();
        m_flashAfterRestart = false;
    }
    m_leds = m_savedLeds;
    m_ledAdjustOpen = false;
    m_pendingBlockData.reset();
}

bool HubModel::isRestarting() const {
    std::lock_guard lock(m_mutex);
    return m_restarting;
}

Bytes HubModel::unsolicitedReport() const {
    std::lock_guard lock(m_mutex);
    return statusReportLocked();
}

Bytes HubModel::statusReportLocked() const {
    if (!m_unsolicited.empty())
        return m_unsolicited;
    // A status frame that looks like any other answer: hosts must not mistake it.
    const std::uint8_t status[] = {m_runData.state, m_runData.presence};
    return buildReply(cmd::Status, ResultOk, status);
}

void HubModel::setUnsolicitedReport(Bytes report) {
    std::lock_guard lock(m_mutex);
    m_unsolicited = std::move(report);
}

HubMode HubModel::mode() const {
    std::lock_guard lock(m_mutex);
    return m_mode;
}

void HubModel::setMode(HubMode mode) {
    std::lock_guard lock(m_mutex);
    m_mode = mode;
}

std::uint32_t HubModel::firmwareVersion() const {
    std::lock_guard lock(m_mutex);
    return m_version;
}

void HubModel::setFirmwareVersion(std::uint32_t version) {
    std::lock_guard lock(m_mutex);
    m_version = version;
}

std::uint32_t HubModel::imageVersion() const {
    std::lock_guard lock(m_mutex);
    return m_imageVersion;
}

void HubModel::setImageVersion(std::uint32_t version) {
    std::lock_guard lock(m_mutex);
    m_imageVersion = version;
}

std::array<std::uint8_t, 8> HubModel::ledLevels() const {
    std::lock_guard lock(m_mutex);
    return m_leds;
}

std::array<std::uint8_t, 8> HubModel::savedLedLevels() const {
    std::lock_guard lock(m_mutex);
    return m_savedLeds;
}

void HubModel::setLedLevels(const std::array<std::uint8_t, 8>& levels) {
    std::lock_guard lock(m_mutex);
    m_leds = levels;
    m_savedLeds = levels;
}

bool HubModel::isLedAdjustOpen() const {
    std::lock_guard lock(m_mutex);
    return m_ledAdjustOpen;
}

RunData HubModel::runData() const {
    std::lock_guard lock(m_mutex);
    return m_runData;
}

void HubModel::setRunData(const RunData& data) {
    std::lock_guard lock(m_mutex);
    m_runData = data;
    m_charge.start(Scene::Fixed, 0);
}

void HubModel::setScene(Scene scene) {
    std::lock_guard lock(m_mutex);
    m_charge.start(scene, m_clock ? m_clock() : steadyMs());
    m_charge.fill(m_runData);
}

Scene HubModel::scene() const {
    std::lock_guard lock(m_mutex);
    return m_charge.scene();
}

void HubModel::setClock(std::function<std::int64_t()> nowMs) {
    std::lock_guard lock(m_mutex);
    m_clock = std::move(nowMs);
}

std::vector<WrittenBlock> HubModel::writtenBlocks() const {
    std::lock_guard lock(m_mutex);
    return m_blocks;
}

bool HubModel::isWriteComplete() const {
    std::lock_guard lock(m_mutex);
    return writeSucceeded();
}

HubFaults HubModel::faults() const {
    std::lock_guard lock(m_mutex);
    return m_faults;
}

void HubModel::setFaults(const HubFaults& faults) {
    std::lock_guard lock(m_mutex);
    m_faults = faults;
}

void HubModel::setResultOnFrame(std::uint64_t frame, std::uint8_t result) {
    std::lock_guard lock(m_mutex);
    m_faults.resultOnFrame[frame] = result;
}

int HubModel::bootloaderEntryDelayMs() const {
    std::lock_guard lock(m_mutex);
    return m_bootloaderEntryDelayMs;
}

int HubModel::rebootDelayMs() const {
    std::lock_guard lock(m_mutex);
    return m_rebootDelayMs;
}

void HubModel::setRestartDelays(int bootloaderEntryMs, int rebootMs) {
    std::lock_guard lock(m_mutex);
    m_bootloaderEntryDelayMs = std::max(0, bootloaderEntryMs);
    m_rebootDelayMs = std::max(0, rebootMs);
}

std::uint64_t HubModel::framesReceived() const {
    std::lock_guard lock(m_mutex);
    return m_frames;
}

} // namespace hubsim
