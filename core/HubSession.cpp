#include "HubSession.h"

#include "EventWait.h"
#include "FirmwareImage.h"
#include "HidControllerClass.h"
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
    return WaitReply();
}

int HubSession::WaitReply() {
    m_replyBuffer.fill(0);
    ++m_replyWaits;
    const ScopeExit waited([this] { --m_replyWaits; });
    // Too late only once more than the limit has passed. A wait started from a
    // handler inside this one shares the buffer: its reply ends this wait too.
    const bool replied =
        processEventsUntil([this] { return m_replyBuffer[hubframe::ReplyMarkerAt] == hubframe::Marker; },
                           std::max(0, timing.replyTimeoutMs) + 1);
    return replied ? 0 : -1;
}

void HubSession::HubDataReceived(THidDevice* HidDev, std::uint8_t ReportID, const std::uint8_t* Data,
                                 std::uint16_t Size) {
    Q_UNUSED(HidDev);
    Q_UNUSED(ReportID);
    if (!Data)
        return;
    const std::size_t count = std::min<std::size_t>(Size, m_replyBuffer.size());
    std::copy_n(Data, count, m_replyBuffer.begin());
}

int HubSession::QueryHubMode() {
    try {
        HubRequest request;
        request.setPayloadLength(0);
        const int result = SendFrame(CmdGetMode, request);
        if (result == 0)
            return m_replyBuffer[hubframe::ReplyDataAt] == 1 ? 1 : 0;
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
    if (SendFrame(CmdGetVersion, request) != 0)
        return std::nullopt;
    const Reply& reply = m_replyBuffer;
    return std::uint32_t(reply[5]) << 24 | std::uint32_t(reply[6]) << 16 | std::uint32_t(reply[7]) << 8 |
           std::uint32_t(reply[8]);
}

std::optional<HubSession::RunData> HubSession::readRunData() {
    if (!m_device)
        return std::nullopt;
    HubRequest request;
    if (SendFrame(CmdReadRunData, request) != 0)
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
    if (SendFrame(CmdStartLedAdjust, request) != 0)
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

void HubSession::setLedLevel(int channel, int level) {
    if (!m_device)
        return;
    if (m_calibrationHeld && channel >= 1 && channel <= LedChannels)
        m_heldLevels[std::size_t(channel - 1)] = static_cast<std::uint8_t>(std::clamp(level, 0, MaxLedLevel));
    HubRequest request;
    request.assign({static_cast<std::uint8_t>(channel), static_cast<std::uint8_t>(level)});
    SendFrame(CmdSetLedLevel, request);
}

void HubSession::endLedAdjust() {
    if (!m_device)
        return;
    HubRequest request;
    SendFrame(CmdEndLedAdjust, request);
}

HubSession::UpdateResult HubSession::runUpdate(const FirmwareImage& image) {
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

    m_calibrationHeld = false;
    emit stageChanged(Stage::Started);

    if (QueryHubMode() == 2) {
        startLedAdjust();
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
        restoreLevels();
    }
    emit logLine(QStringLiteral("Update completed."));
    emit statusText(QStringLiteral("Update completed."));
    return UpdateResult::Completed;
}

void HubSession::restoreLevels() {
    // The new firmware starts with its own levels: write the held ones back.
    for (int channel = 1; channel <= LedChannels; ++channel) {
        setLedLevel(channel, m_heldLevels[std::size_t(channel - 1)]);
        pauseInEventLoop(timing.ledWritePauseMs);
    }
    endLedAdjust();
}
