// The hub link: one request frame to the current hub and the wait for its reply.

#include "EventWait.h"
#include "HidControllerClass.h"
#include "HidIap.h"
#include "ScopeExit.h"

#include <QCoreApplication>
#include <QThread>

#include <algorithm>
#include <vector>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

constexpr int Attempts = 3;

// The pause after each write sets the pace of an update (two frames per
// firmware line). The kernel lets a sleep overrun by the thread's timer slack,
// 50 us by default; on this thread that would add some 2% to every update.
void pauseExactly(int ms) {
#ifdef __linux__
    static const bool precise = [] { return prctl(PR_SET_TIMERSLACK, 1UL) == 0; }();
    Q_UNUSED(precise);
#endif
    QThread::msleep(static_cast<unsigned long>(std::max(0, ms)));
}

} // namespace

int TfrmMain::SendFrame(std::uint8_t command, const HubRequest& request) {
    if (request.payloadLength() + 5 > int(hubframe::RecordSize))
        return -1;
    if (!m_currentHub)
        return -1;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        if (SendFrameSub(command, request) == 0)
            return m_replyBuffer[hubframe::ReplyResultAt];
    }
    return -1;
}

int TfrmMain::SendFrameSub(std::uint8_t command, const HubRequest& request) {
    const std::optional<HubReport> frame = buildHubFrame(command, request);
    if (!frame)
        return -1;

    // Read the hub anew: a device-change pass during an earlier wait may have
    // replaced or dropped the device object.
    THidDevice* hub = m_currentHub;
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
    // A plain pause, the hub's time to take the frame; no messages run here.
    pauseExactly(timing.writePauseMs);
    return WaitReply();
}

int TfrmMain::WaitReply() {
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

void TfrmMain::HubDataReceived(THidDevice* HidDev, std::uint8_t ReportID, const std::uint8_t* Data,
                               std::uint16_t Size) {
    Q_UNUSED(HidDev);
    Q_UNUSED(ReportID);
    if (!Data)
        return;
    const std::size_t count = std::min<std::size_t>(Size, m_replyBuffer.size());
    std::copy_n(Data, count, m_replyBuffer.begin());
}
