// The full firmware update against the virtual hub: wall time against the
// floor that the procedure's own pauses and polls impose, and the CPU it uses
// while it waits. Beside it, as the reference, the same exchanges with
// spinning waits (a reply wait that processes messages in a busy loop and
// plain sleeps for the pauses), built here only.

#include "HidControllerClass.h"
#include "HidIap.h"
#include "ProcessCpu.h"
#include "VirtualHidBus.h"
#include "VirtualHub.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

// The exchanges of the update with the waits written as busy loops and
// blocking sleeps. It drives the same window, hub link state and hub.
class SpinningUpdate {
public:
    explicit SpinningUpdate(TfrmMain& w) : m_w(w) {}

    bool run() {
        HubRequest request;
        if (queryMode() == 2)
            send(CmdStartLedAdjust, request);
        send(CmdEnterBootloader, request);
        if (!waitForMode(1))
            return false;
        const FirmwareImage& image = m_w.firmwareImage();
        for (int i = 0; i < image.count(); ++i) {
            const auto line = FirmwareImage::readLine(image.line(i));
            if (!line)
                return false;
            if (!line->isData())
                continue;
            for (std::size_t k = 0; k < 4; ++k)
                request.setPayload(k, 0);
            request.setPayloadLength(line->byteCount + 1);
            for (qsizetype k = 0; k < line->data.size(); ++k)
                request.setPayload(4 + std::size_t(k), std::uint8_t(line->data.at(k)));
            if (send(CmdBlockData, request) != 0)
                return false;
            request.setPayload(0, std::uint8_t(line->address));
            request.setPayload(1, std::uint8_t(line->address >> 8));
            request.setPayload(2, 0);
            request.setPayload(3, 0);
            if (send(CmdBlockWrite, request) != 0)
                return false;
        }
        request.setPayloadLength(0);
        send(CmdReboot, request);
        if (!waitForMode(2))
            return false;
        for (int channel = 1; channel <= 8; ++channel) {
            request.assign({std::uint8_t(channel), 50});
            send(CmdSetLedLevel, request);
            QThread::msleep(unsigned(m_w.timing.ledWritePauseMs));
        }
        request.setPayloadLength(0);
        send(CmdEndLedAdjust, request);
        return true;
    }

private:
    int send(std::uint8_t command, const HubRequest& request) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            THidDevice* hub = m_w.currentHub();
            const auto frame = buildHubFrame(command, request);
            if (!hub || !frame)
                return -1;
            // Its own handler: the session takes only replies to frames it sent.
            hub->SetDataHandler(
                THidDataEvent(&m_reply, [this](THidDevice*, quint8, const quint8* data, quint16 size) {
                    std::copy_n(data, std::min<std::size_t>(size, m_reply.size()), m_reply.begin());
                }));
            quint32 written = 0;
            if (!hub->WriteReport(frame->data(), int(frame->size()), written))
                continue;
            QThread::msleep(unsigned(m_w.timing.writePauseMs));
            if (waitReply())
                return m_reply[hubframe::ReplyResultAt];
        }
        return -1;
    }

    bool waitReply() {
        m_reply.fill(0);
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            QCoreApplication::processEvents();
            if (m_reply[hubframe::ReplyMarkerAt] == hubframe::Marker)
                return true;
            if (clock.elapsed() > m_w.timing.replyTimeoutMs)
                return false;
        }
    }

    int queryMode() {
        HubRequest request;
        const int result = send(CmdGetMode, request);
        if (result == 0)
            return m_reply[hubframe::ReplyDataAt] == 1 ? 1 : 0;
        return result == 0xFF ? 2 : 0;
    }

    bool waitForMode(int wanted) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < m_w.timing.modeWaitMs) {
            QThread::msleep(unsigned(m_w.timing.modePollMs));
            QCoreApplication::processEvents();
            if (m_w.RefreshHubs() && queryMode() == wanted)
                return true;
        }
        return false;
    }

    TfrmMain& m_w;
    HubSession::Reply m_reply{};
};

struct Figures {
    bool ok = false;
    double wallMs = 0;
    double cpuMs = 0;
    std::size_t frames = 0;
};

struct Profile {
    const char* name;
    bool usbTiming;
    int replyDelayMs;
    double linkMsPerFrame; // time a frame spends on the link beyond its pause
};

Figures runOnce(const Profile& profile, bool spinning) {
    VirtualHidBus bus;
    VirtualHub hub(bus);
    hubsim::HubFaults faults;
    faults.usbTiming = profile.usbTiming;
    faults.replyDelayMs = profile.replyDelayMs;
    hub.setFaults(faults);
    hub.plug();
    TfrmMain w(bus);
    // The reference's busy loop takes the reports handed to this thread.
    if (spinning)
        w.session().link().setDelivery(HubConnection::Delivery::Handed);
    QElapsedTimer settle;
    settle.start();
    while (!w.currentHub() && settle.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    const std::size_t framesBefore = hub.trace().reports(hubsim::TraceEntry::Direction::ToHub).size();

    Figures f;
    QElapsedTimer wall;
    const double cpu0 = processCpuSeconds();
    wall.start();
    if (spinning) {
        f.ok = SpinningUpdate(w).run();
    } else {
        w.btnUpdateClick();
        f.ok = w.mmoUplog->toPlainText().endsWith(QStringLiteral("Update completed."));
    }
    f.wallMs = double(wall.nsecsElapsed()) / 1e6;
    f.cpuMs = (processCpuSeconds() - cpu0) * 1e3;
    f.ok = f.ok && hub.firmwareVersion() == hubsim::DefaultImageVersion;
    f.frames = hub.trace().reports(hubsim::TraceEntry::Direction::ToHub).size() - framesBefore;
    return f;
}

} // namespace

int main(int argc, char** argv) {
    // The runs keep LED levels only in a folder of their own.
    QTemporaryDir stateHome;
    qputenv("XDG_STATE_HOME", stateHome.path().toLocal8Bit());
    QApplication app(argc, argv);

    // The floor: what the procedure's fixed pauses alone add up to on this image.
    VirtualHidBus emptyBus;
    TfrmMain probe(emptyBus);
    const TfrmMain::Timing t = probe.timing;
    int dataLines = 0;
    for (int i = 0; i < probe.firmwareImage().count(); ++i) {
        const auto line = FirmwareImage::readLine(probe.firmwareImage().line(i));
        dataLines += line && line->isData() ? 1 : 0;
    }
    // Mode query, LED read, bootloader entry, one poll, the pairs, reboot,
    // one poll, eight levels and the end of the adjustment.
    const int frames = 2 * dataLines + 15;
    const double floorMs = frames * t.writePauseMs + 2.0 * t.modePollMs + 8.0 * t.ledWritePauseMs;
    std::printf("image: %d lines, %d data lines; %d frames\n", probe.firmwareImage().count(), dataLines,
                frames);
    std::printf("floor: %d x %d ms pause + 2 x %d ms poll + 8 x %d ms LED pause = %.0f ms\n", frames,
                t.writePauseMs, t.modePollMs, t.ledWritePauseMs, floorMs);
    std::printf("       plus, per frame, the link's time beyond the pause (USB-like: ~1 ms output transfer;\n"
                "       slow hub: reply 5 ms after the write, 3 ms past the pause)\n\n");

    const Profile profiles[] = {
        {"no latency", false, 0, 0.0},
        {"USB-like (~1 ms/way)", true, 0, 1.0},
        {"slow hub (5 ms reply)", false, 5, 3.0},
    };
    std::printf("%-22s %-11s %5s %9s %12s %12s %10s\n", "timing", "waits", "ok", "frames", "wall/floor ms",
                "ratio", "CPU/wall");
    for (const Profile& profile : profiles) {
        const double floor = floorMs + frames * profile.linkMsPerFrame;
        for (const bool spinning : {false, true}) {
            const Figures f = runOnce(profile, spinning);
            std::printf("%-22s %-11s %5s %9zu %8.0f/%-5.0f %10.3f %9.1f%%\n", profile.name,
                        spinning ? "spinning" : "event loop", f.ok ? "yes" : "NO", f.frames, f.wallMs, floor,
                        f.wallMs / floor, 100.0 * f.cpuMs / f.wallMs);
        }
    }
    std::printf("\nCPU/wall is the whole process (UI thread, read thread, hub thread) per wall time, in %% "
                "of one core.\n");
    return 0;
}
