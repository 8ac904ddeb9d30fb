#include "HubSession.h"

#include "EventWait.h"
#include "FirmwareImage.h"
#include "HidControllerClass.h"
#include "LedCalibrationStore.h"
#include "PreciseTiming.h"
#include "ScopeExit.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <vector>

namespace {

constexpr int Attempts = 3;

// The pause after each write sets the pace of an update (two frames per
// firmware line). The kernel lets a sleep overrun by the thread's timer slack,
// 50 us by default; that would add some 2% to every update. The slack is a
// property of the thread, so each thread that sends sets its own.
void pauseExactly(int ms) {
#ifdef __linux__
    thread_local const bool precise = [] { return prctl(PR_SET_TIMERSLACK, 1UL) == 0; }();
    Q_UNUSED(precise);
#endif
    QThread::msleep(static_cast<unsigned long>(std::max(0, ms)));
}

// Lets the thread's events (a window's paint, device changes) run for the
// given time without keeping a core busy.
void pauseInEventLoop(int ms) {
    if (ms <= 0)
        QCoreApplication::processEvents();
    else
        processEventsUntil({}, ms);
}

// Reply lengths the readers need: the bytes they read must have come.
constexpr int ModeReplyLength = 6;
constexpr int VersionReplyLength = 9;
constexpr int LevelsReplyLength = 13;
constexpr int RunDataReplyLength = 15;

// Both fields of the running data are sent low byte first.
int word(const HubSession::Reply& reply, std::size_t at) {
    return reply[at] | reply[at + 1] << 8;
}

} // namespace

HubSession::HubSession(QObject* parent) : QObject(parent) {}

HubSession::~HubSession() = default;

void HubSession::attach(THidDevice* device) {
    // Taken only once its reports reach us.
    if (device)
        device->SetDataHandler(THidDataEvent(this, &HubSession::HubDataReceived));
    // Answers owed by the previous device never come through this one.
    if (device != m_device) {
        m_owedReplies = 0;
        m_lastReportNs = 0;
    }
    m_device = device;
}

void HubSession::detach() {
    if (m_device) {
        m_device->SetDataHandler({});
        m_device = nullptr;
    }
}

int HubSession::SendFrame(std::uint8_t command, const HubRequest& request) {
    if (request.payloadLength() + 5 > int(hubframe::RecordSize))
        return -1;
    if (!m_device)
        return -1;
    // A late answer to an earlier frame must not pass for this frame's.
    dropOwedReplies();
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        if (SendFrameSub(command, request) == 0)
            return m_replyBuffer[hubframe::ReplyResultAt];
    }
    return -1;
}

int HubSession::SendFrameSub(std::uint8_t command, const HubRequest& request) {
    const std::optional<HubReport> frame = buildHubFrame(command, request);
    if (!frame)
        return -1;

    // Read the device anew: a device-change pass during an earlier wait may
    // have replaced or dropped it.
    THidDevice* hub = m_device;
    if (!hub)
        return -1;

    // The frame is 65 bytes. A device that asks for longer output reports gets
    // it zero-padded to its length; one that takes fewer bytes (or reports no
    // output report at all) cannot carry a frame, so the attempt fails like a
    // refused write rather than sending a cut-off frame.
    HIDP_CAPS caps;
    hub->QueryCaps(caps);
    const int length = caps.OutputReportByteLength;
    if (length < int(hubframe::ReportSize))
        return -1;
    std::vector<std::uint8_t> report(std::size_t(length), 0);
    std::copy(frame->begin(), frame->end(), report.begin());

    awaitReaderCaughtUp(hub);
    // Taken before the write: no reply to this frame can arrive earlier.
    m_sentNs = HidMonotonicNs();
    quint32 written = 0;
    if (!hub->WriteReport(report.data(), length, written)) {
        // A refused write usually means the hub left the bus; the device-change
        // notice is already queued. Let it run now so that the next attempt
        // goes to the hub as it is found again (or to none), instead of three
        // attempts in a row at a device object that is gone.
        QCoreApplication::processEvents();
        return -1;
    }
    // A plain pause, the hub's time to take the frame; no events run here.
    pauseExactly(timing.writePauseMs);
    const int replied = WaitReply();
    // The hub may still answer this attempt; that answer is owed.
    if (replied != 0)
        ++m_owedReplies;
    return replied;
}

int HubSession::WaitReply() {
    m_replyBuffer.fill(0);
    m_replyLength = 0;
    ++m_replyWaits;
    m_awaitingReply = true;
    const ScopeExit waited([this] {
        --m_replyWaits;
        m_awaitingReply = false;
    });
    // Too late only once more than the limit has passed. A wait started from a
    // handler inside this one shares the buffer: its reply ends this wait too.
    const bool replied =
        processEventsUntil([this] { return m_replyLength > 0; }, std::max(0, timing.replyTimeoutMs) + 1);
    return replied ? 0 : -1;
}

void HubSession::awaitReaderCaughtUp(const THidDevice* hub) const {
    // An answer said twice sits behind the first one while that is handed
    // over. Until the read thread has looked again it is unread, unstamped,
    // and would pass for the reply to the frame about to go out. The look
    // follows the hand-over within microseconds; bounded for a reader that is
    // gone or starved.
    const THidDeviceReadThread* reader = hub->Reader();
    if (!reader || !reader->isRunning())
        return;
    QElapsedTimer clock;
    clock.start();
    while (reader->CaughtUpNs.load(std::memory_order_acquire) <= m_lastReportNs &&
           clock.nsecsElapsed() < 2'000'000)
        QThread::yieldCurrentThread();
}

void HubSession::dropOwedReplies() {
    if (m_owedReplies <= 0)
        return;
    // A slow hub answers the attempts that timed out after all: take those
    // answers off the line before the next frame, or every later frame would
    // read the answer meant for the one before it. A hub that was late once
    // may be late again: bounded by twice the reply limit.
    processEventsUntil([this] { return m_owedReplies <= 0; }, 2 * std::max(0, timing.replyTimeoutMs) + 1);
    m_owedReplies = 0;
}

void HubSession::HubDataReceived(THidDevice* HidDev, std::uint8_t ReportID, const std::uint8_t* Data,
                                 std::uint16_t Size) {
    Q_UNUSED(ReportID);
    const THidDeviceReadThread* reader = HidDev ? HidDev->Reader() : nullptr;
    const qint64 arrived = reader ? reader->ArrivedNs : HidMonotonicNs();
    m_lastReportNs = arrived;
    // Without its result byte a report is no reply, whatever it starts with.
    if (!Data || Size <= hubframe::ReplyResultAt || Data[hubframe::ReplyMarkerAt] != hubframe::Marker)
        return;
    if (!m_awaitingReply || arrived < m_sentNs) {
        // An answer to an attempt that timed out, or one said twice.
        if (m_owedReplies > 0)
            --m_owedReplies;
        return;
    }
    // One reply per wait; a second one in the same pass is a repeat.
    m_awaitingReply = false;
    const std::size_t count = std::min<std::size_t>(Size, m_replyBuffer.size());
    m_replyBuffer.fill(0);
    std::copy_n(Data, count, m_replyBuffer.begin());
    m_replyLength = int(count);
}

int HubSession::QueryHubMode() {
    try {
        HubRequest request;
        request.setPayloadLength(0);
        const int result = SendFrame(CmdGetMode, request);
        if (result == 0)
            return m_replyLength >= ModeReplyLength && m_replyBuffer[hubframe::ReplyDataAt] == 1 ? 1 : 0;
        if (result == 0xFF)
            return 2;
        return 0;
    } catch (...) {
        return 0;
    }
}

bool HubSession::WaitForHubMode(int limitMs, int wanted) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (clock.elapsed() >= limitMs)
            return false;
        pauseInEventLoop(timing.modePollMs);
        QCoreApplication::processEvents();
        if (m_locator) {
            THidDevice* const found = m_locator->refreshHub();
            if (found != m_device)
                attach(found);
        }
        if (m_device && QueryHubMode() == wanted)
            return true;
    }
}

bool HubSession::EnterBootloader() {
    emit logLine(QStringLiteral("Enter bootloader mode..."));
    HubRequest request;
    request.setPayloadLength(0);
    // The hub may restart before it answers, so the answer says nothing.
    SendFrame(CmdEnterBootloader, request);
    return WaitForHubMode(timing.modeWaitMs, 1);
}

std::optional<std::uint32_t> HubSession::readVersion() {
    HubRequest request;
    request.assign({0x00});
    if (SendFrame(CmdGetVersion, request) != 0 || m_replyLength < VersionReplyLength)
        return std::nullopt;
    const Reply& reply = m_replyBuffer;
    return std::uint32_t(reply[5]) << 24 | std::uint32_t(reply[6]) << 16 | std::uint32_t(reply[7]) << 8 |
           std::uint32_t(reply[8]);
}

std::optional<HubSession::RunData> HubSession::readRunData() {
    if (!m_device)
        return std::nullopt;
    HubRequest request;
    if (SendFrame(CmdReadRunData, request) != 0 || m_replyLength < RunDataReplyLength)
        return std::nullopt;
    const Reply reply = m_replyBuffer;
    RunData data;
    data.voltage = word(reply, 5);
    data.current = word(reply, 7);
    data.state = reply[9];
    data.channel = reply[10];
    data.batteries = reply[11];
    data.cycles = {reply[12], reply[13], reply[14]};
    return data;
}

bool HubSession::startLedAdjust() {
    if (!m_device)
        return false;
    HubRequest request;
    if (SendFrame(CmdStartLedAdjust, request) != 0 || m_replyLength < LevelsReplyLength)
        return false;
    // Whoever shows the levels may send frames, which reuse the reply buffer.
    const Reply reply = m_replyBuffer;
    LedLevels levels{};
    std::copy_n(reply.begin() + 5, LedChannels, levels.begin());
    emit ledLevelsRead(levels);
    // A level above the range goes back as its top, as a slider showing it would.
    for (std::size_t i = 0; i < levels.size(); ++i)
        m_heldLevels[i] = std::min<std::uint8_t>(levels[i], MaxLedLevel);
    m_calibrationHeld = true;
    return true;
}

int HubSession::setLedLevel(int channel, int level) {
    if (!m_device)
        return -1;
    if (m_calibrationHeld && channel >= 1 && channel <= LedChannels) {
        const auto held = static_cast<std::uint8_t>(std::clamp(level, 0, MaxLedLevel));
        std::uint8_t& slot = m_heldLevels[std::size_t(channel - 1)];
        const bool changed = slot != held;
        slot = held;
        // Levels kept after a failed run follow the user's hand as well.
        if (changed && m_writeBackOwed && !m_updateRunning && m_store)
            m_store->save(m_heldSerial, m_heldLevels);
    }
    HubRequest request;
    request.assign({static_cast<std::uint8_t>(channel), static_cast<std::uint8_t>(level)});
    return SendFrame(CmdSetLedLevel, request);
}

int HubSession::endLedAdjust() {
    if (!m_device)
        return -1;
    HubRequest request;
    return SendFrame(CmdEndLedAdjust, request);
}

void HubSession::takeKeptLevels(const QString& serial) {
    // Levels of another hub are not this one's calibration.
    if (m_writeBackOwed && m_heldSerial != serial)
        m_writeBackOwed = false;
    if (!m_writeBackOwed) {
        // Otherwise a run holds only what it reads itself.
        m_calibrationHeld = false;
        if (const std::optional<LedLevels> kept = m_store ? m_store->load(serial) : std::nullopt) {
            for (std::size_t i = 0; i < kept->size(); ++i)
                m_heldLevels[i] = std::min<std::uint8_t>((*kept)[i], MaxLedLevel);
            m_calibrationHeld = true;
            m_writeBackOwed = true;
        }
    }
    m_heldSerial = serial;
    m_levelsFromEarlierAttempt = m_writeBackOwed;
}

HubSession::UpdateResult HubSession::runUpdate(const FirmwareImage& image) {
    m_updateRunning = true;
    const ScopeExit ended([this] { m_updateRunning = false; });
    const PreciseTiming precise; // the pause after each frame is 2 ms, not a system tick
    const UpdateResult result = programImage(image);
    emit updateFinished(result);
    return result;
}

HubSession::UpdateResult HubSession::programImage(const FirmwareImage& image) {
    // A broken image would leave the hub half-programmed in its bootloader:
    // refuse it before a single frame goes out.
    if (!image.isUsable()) {
        emit logLine(image.problem());
        emit statusText(image.problem());
        return UpdateResult::ImageUnusable;
    }
    if (!m_device) {
        emit logLine(QStringLiteral("Device disconnected."));
        emit statusText(QStringLiteral("Device disconnected..."));
        return UpdateResult::NoHub;
    }

    // Levels of an earlier attempt whose write-back did not succeed (this run
    // of the program or an earlier one) are the user's calibration; they win
    // over what the hub reports now, which after a failed write-back are the
    // new firmware's defaults.
    takeKeptLevels(m_locator ? m_locator->hubSerial(m_device) : QString());
    emit stageChanged(Stage::Started);

    if (QueryHubMode() == 2) {
        if (m_levelsFromEarlierAttempt) {
            const LedLevels kept = m_heldLevels;
            startLedAdjust();
            m_heldLevels = kept;
            m_calibrationHeld = true;
        } else if (startLedAdjust()) {
            m_writeBackOwed = true;
            if (m_store)
                m_store->save(m_heldSerial, m_heldLevels);
        }
        QCoreApplication::processEvents();
    }

    emit stageChanged(Stage::EnteringBootloader);
    bool inBootloader = false;
    {
        m_updateInProgress = true;
        const ScopeExit clearInProgress([this] { m_updateInProgress = false; });
        inBootloader = EnterBootloader();
    }
    if (!inBootloader) {
        emit logLine(QStringLiteral("Enter bootloader error."));
        emit statusText(QStringLiteral("Enter bootloader error."));
        return UpdateResult::BootloaderError;
    }

    emit stageChanged(Stage::Programming);
    emit logLine(QStringLiteral("Programming..."));
    emit statusText(QStringLiteral("Programming..."));

    const int lastLine = image.count() - 1;
    emit progressRange(lastLine);
    emit progress(0);
    QCoreApplication::processEvents();

    // One record for every frame: the block write re-sends the data bytes the
    // block data of the same line left in it.
    HubRequest request;
    const auto lineFailed = [this] {
        emit logLine(QStringLiteral("Timeout."));
        emit linkIndicator(1);
        return UpdateResult::Timeout;
    };
    for (int i = 0; i <= lastLine; ++i) {
        emit progress(i);
        const std::optional<FirmwareLine> line = FirmwareImage::readLine(image.line(i));
        if (!line)
            return lineFailed();
        if (!line->isData())
            continue;

        const int n = line->byteCount;
        for (std::size_t k = 0; k < 4; ++k)
            request.setPayload(k, 0);
        request.setPayloadLength(n + 1);
        for (qsizetype k = 0; k < line->data.size(); ++k)
            request.setPayload(4 + static_cast<std::size_t>(k), static_cast<std::uint8_t>(line->data.at(k)));
        if (SendFrame(CmdBlockData, request) != 0)
            return lineFailed();

        request.setPayload(0, static_cast<std::uint8_t>(line->address & 0xFF));
        request.setPayload(1, static_cast<std::uint8_t>(line->address >> 8));
        request.setPayload(2, 0);
        request.setPayload(3, 0);
        request.setPayloadLength(n + 1);
        if (SendFrame(CmdBlockWrite, request) != 0)
            return lineFailed();
    }
    emit progress(lastLine);

    request.setPayloadLength(0);
    SendFrame(CmdReboot, request);
    emit stageChanged(Stage::Rebooting);
    emit logLine(QStringLiteral("Reboot..."));
    emit statusText(QStringLiteral("Reboot..."));

    if (!WaitForHubMode(timing.modeWaitMs, 2)) {
        emit logLine(QStringLiteral("Update fail."));
        emit statusText(QStringLiteral("Update fail."));
        return UpdateResult::UpdateFail;
    }
    emit logAppend(QStringLiteral("OK."));
    if (m_calibrationHeld) {
        emit stageChanged(Stage::RestoringLevels);
        if (m_levelsFromEarlierAttempt)
            emit logLine(QStringLiteral("Restoring the LED levels kept from an earlier attempt."));
        if (!restoreLevels()) {
            const QString text = QStringLiteral("Firmware updated, but the LED calibration could not be "
                                                "restored; it is kept for the next update.");
            emit logLine(text);
            emit statusText(text);
            emit linkIndicator(1);
            return UpdateResult::CalibrationNotRestored;
        }
        m_writeBackOwed = false;
        m_levelsFromEarlierAttempt = false;
        if (m_store)
            m_store->clear(m_heldSerial);
    }
    emit logLine(QStringLiteral("Update completed."));
    emit statusText(QStringLiteral("Update completed."));
    return UpdateResult::Completed;
}

bool HubSession::restoreLevels() {
    // The new firmware starts with its own levels: write the held ones back.
    // A level without an answer may not have reached the hub.
    for (int channel = 1; channel <= LedChannels; ++channel) {
        if (setLedLevel(channel, m_heldLevels[std::size_t(channel - 1)]) < 0)
            return false;
        pauseInEventLoop(timing.ledWritePauseMs);
    }
    return endLedAdjust() >= 0;
}
