#include "HubConnection.h"

#include "EventWait.h"
#include "HidControllerClass.h"
#include "ScopeExit.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaMethod>
#include <QThread>

#include <algorithm>
#include <chrono>
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

} // namespace

HubConnection::HubConnection(const HubTiming& timing, QObject* parent) : QObject(parent), m_timing(timing) {}

HubConnection::~HubConnection() = default;

void HubConnection::attach(THidDevice* device) {
    if (device) {
        const bool direct = m_delivery != Delivery::Handed;
        if (direct || device->DeliversOnReadThread())
            device->SetDeliverOnReadThread(direct, [this] { readerCaughtUp(); });
        // Taken only once its reports reach us.
        device->SetDataHandler(THidDataEvent(this, &HubConnection::HubDataReceived));
    }
    // Answers owed by the previous device never come through this one.
    if (device != m_device) {
        std::lock_guard lock(m_mutex);
        m_owedReplies = 0;
        m_lastReportNs = 0;
        m_taken.fill({});
        m_disputed = false;
        // A restarted hub is opened anew: its replies are judged afresh.
        m_echoes = Trait::Unknown;
        m_sums = Trait::Unknown;
    }
    m_device = device;
}

void HubConnection::detach() {
    if (m_device) {
        m_device->SetDataHandler({});
        // No hook left behind that names this link.
        if (m_device->DeliversOnReadThread())
            m_device->SetDeliverOnReadThread(false);
        m_device = nullptr;
    }
}

bool HubConnection::waitUntil(const std::function<bool()>& done, int ms) {
    if (m_delivery != Delivery::OnReadThread) {
        // A wait nested in a handler leaves the flag to the one it runs in.
        const bool flagged =
            m_delivery == Delivery::OnReadThreadEventsRun && !m_waitRunsEvents.exchange(true);
        const ScopeExit cleared([this, flagged] {
            if (flagged)
                m_waitRunsEvents = false;
        });
        // Events run inside the waits, even when the reply is already taken:
        // the window's clicks, timers and device changes (an unplug) must not
        // wait for a whole run of lines. Not at every frame: a pass over the
        // event queue costs a Windows program more than a frame's pause.
        if (m_delivery == Delivery::OnReadThreadEventsRun &&
            (!m_eventsRun.isValid() || m_eventsRun.hasExpired(EventsEveryMs))) {
            QCoreApplication::processEvents();
            m_eventsRun.start();
        }
        return processEventsUntil(
            [this, &done] {
                std::lock_guard lock(m_mutex);
                return done();
            },
            ms);
    }
    // Too late only once the whole time has passed, as the event-loop wait
    // counts it: a steady clock, whole milliseconds.
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(std::max(0, ms)), done);
}

int HubConnection::SendFrame(std::uint8_t command, const HubRequest& request) {
    if (request.payloadLength() + 5 > int(hubframe::RecordSize))
        return -1;
    if (!m_device)
        return -1;
    m_exchangeDisputed = false;
    // A late answer to an earlier frame must not pass for this frame's.
    dropOwedReplies();
    // Nor may an earlier answer that a further one contradicted pass at all:
    // this frame is not sent, so whatever follows stops here.
    if (!confirmLastAnswer())
        return -1;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        if (SendFrameSub(command, request) == 0) {
            // Contradicted while this frame was out (the answer to the frame
            // before it or to this one): neither is taken.
            if (!confirmLastAnswer())
                return -1;
            return m_replyBuffer[hubframe::ReplyResultAt];
        }
    }
    std::lock_guard lock(m_mutex);
    m_taken[takenSlotLocked(command)] = {};
    return -1;
}

bool HubConnection::confirmLastAnswerWithin(int ms) {
    waitUntil([this] { return m_disputed; }, ms);
    return confirmLastAnswer();
}

bool HubConnection::repliesNameTheirCommand() const {
    std::lock_guard lock(m_mutex);
    return m_echoes == Trait::Always;
}

std::size_t HubConnection::takenSlotLocked(std::uint8_t command) const {
    return m_echoes == Trait::Always ? command : 0;
}

bool HubConnection::confirmLastAnswer() {
    if (m_device)
        awaitReaderCaughtUp(m_device);
    emitTracedReads();
    {
        std::lock_guard lock(m_mutex);
        if (!m_disputed)
            return true;
        m_disputed = false;
        m_taken.fill({});
    }
    m_exchangeDisputed = true;
    emit logLine(QStringLiteral("The hub answered one frame twice, each time differently: the exchange is "
                                "not taken."));
    return false;
}

namespace {

// The frame is 65 bytes. A device that asks for longer output reports gets
// it zero-padded to its length; one that takes fewer bytes (or reports no
// output report at all) cannot carry a frame, so the attempt fails like a
// refused write rather than sending a cut-off frame.
std::vector<std::uint8_t> paddedReport(THidDevice& hub, const HubReport& frame) {
    HIDP_CAPS caps;
    hub.QueryCaps(caps);
    const int length = caps.OutputReportByteLength;
    if (length < int(hubframe::ReportSize))
        return {};
    std::vector<std::uint8_t> report(std::size_t(length), 0);
    std::copy(frame.begin(), frame.end(), report.begin());
    return report;
}

} // namespace

int HubConnection::SendFrameSub(std::uint8_t command, const HubRequest& request) {
    const std::optional<HubReport> frame = buildHubFrame(command, request);
    // Read the device anew: a device-change pass during an earlier wait may
    // have replaced or dropped it.
    THidDevice* hub = m_device;
    if (!frame || !hub)
        return -1;
    const std::vector<std::uint8_t> report = paddedReport(*hub, *frame);
    if (report.empty())
        return -1;
    awaitReaderCaughtUp(hub);
    if (m_device != hub || !writeFrame(*hub, command, report))
        return -1;
    ++m_framesWritten;
    // A plain pause, the hub's time to take the frame; no events run here.
    pauseExactly(m_timing.writePauseMs);
    const int replied = awaitOpenReply();
    // The hub may still answer this attempt; that answer is owed.
    if (replied != 0) {
        std::lock_guard lock(m_mutex);
        ++m_owedReplies;
    }
    return replied;
}

bool HubConnection::writeFrame(THidDevice& hub, std::uint8_t command,
                               const std::vector<std::uint8_t>& report) {
    const bool traceWrites = isSignalConnected(QMetaMethod::fromSignal(&HubConnection::reportWritten));
    {
        std::lock_guard lock(m_mutex);
        // Open before the write: a reader that takes reports itself may have
        // the answer before the write returns. No reply to this frame can
        // arrive earlier than this stamp.
        openReplyLocked();
        m_sentNs = HidMonotonicNs();
        m_sentCommand = command;
        m_traceReads = isSignalConnected(QMetaMethod::fromSignal(&HubConnection::reportRead)) ||
                       isSignalConnected(QMetaMethod::fromSignal(&HubConnection::replyDropped));
    }
    // What was read before this frame shows before it.
    emitTracedReads();
    const int length = int(report.size());
    quint32 written = 0;
    if (traceWrites)
        emit reportWritten(QByteArray(reinterpret_cast<const char*>(report.data()), length));
    if (hub.WriteReport(report.data(), length, written))
        return true;
    {
        std::lock_guard lock(m_mutex);
        m_awaitingReply = false;
    }
    // A refused write usually means the hub left the bus; the device-change
    // notice is already queued. Let it run now so that the next attempt
    // goes to the hub as it is found again (or to none), instead of three
    // attempts in a row at a device object that is gone.
    QCoreApplication::processEvents();
    return false;
}

void HubConnection::openReplyLocked() {
    m_replyBuffer.fill(0);
    m_replyLength = 0;
    m_awaitingReply = true;
}

int HubConnection::WaitReply() {
    {
        std::lock_guard lock(m_mutex);
        openReplyLocked();
    }
    return awaitOpenReply();
}

int HubConnection::awaitOpenReply() {
    ++m_replyWaits;
    const ScopeExit waited([this] {
        --m_replyWaits;
        {
            std::lock_guard lock(m_mutex);
            m_awaitingReply = false;
        }
        emitTracedReads();
    });
    // Too late only once more than the limit has passed. A wait started from a
    // handler inside this one shares the buffer: its reply ends this wait too.
    const bool replied =
        waitUntil([this] { return m_replyLength > 0; }, std::max(0, m_timing.replyTimeoutMs) + 1);
    return replied ? 0 : -1;
}

void HubConnection::readerCaughtUp() {
    // Under the lock, so that a waiter that has just found the reader behind
    // is asleep before it is woken.
    { std::lock_guard lock(m_mutex); }
    wakeWaiter();
}

void HubConnection::wakeWaiter() {
    m_changed.notify_all();
    if (m_waitRunsEvents.load())
        if (QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance(thread()))
            loop->wakeUp();
}

void HubConnection::awaitReaderCaughtUp(THidDevice* hub) {
    // An answer said twice sits behind the first one while that is handed
    // over. Until the read thread has looked again it is unread, unstamped,
    // and would pass for the reply to the frame about to go out. The look
    // follows the hand-over within microseconds; bounded for a reader that is
    // gone or starved. What the look found is taken now, before the frame,
    // so that an answer contradicting the last one is seen in time.
    THidDeviceReadThread* reader = hub->Reader();
    if (!reader || !reader->isRunning())
        return;
    constexpr qint64 LimitNs = 2'000'000;
    if (m_delivery != Delivery::Handed) {
        // The reader takes what it finds itself and says when it looked.
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::nanoseconds(LimitNs), [this, reader] {
            return reader->CaughtUpNs.load(std::memory_order_acquire) > m_lastReportNs;
        });
        return;
    }
    QElapsedTimer clock;
    clock.start();
    while (clock.nsecsElapsed() < LimitNs) {
        qint64 last;
        {
            std::lock_guard lock(m_mutex);
            last = m_lastReportNs;
        }
        if (reader->CaughtUpNs.load(std::memory_order_acquire) <= last) {
            QThread::yieldCurrentThread();
            continue;
        }
        // The handler may drop the device; ask for it anew after a hand-over.
        if (!reader->TakePendingDelivery() || m_device != hub)
            return;
    }
}

void HubConnection::dropOwedReplies() {
    {
        std::lock_guard lock(m_mutex);
        if (m_owedReplies <= 0)
            return;
    }
    // A slow hub answers the attempts that timed out after all: take those
    // answers off the line before the next frame, or every later frame would
    // read the answer meant for the one before it. A hub that was late once
    // may be late again: bounded by twice the reply limit.
    waitUntil([this] { return m_owedReplies <= 0; }, 2 * std::max(0, m_timing.replyTimeoutMs) + 1);
    {
        std::lock_guard lock(m_mutex);
        m_owedReplies = 0;
    }
    emitTracedReads();
}

void HubConnection::emitTracedReads() {
    QList<Traced> reads;
    {
        std::lock_guard lock(m_mutex);
        if (m_tracedReads.isEmpty())
            return;
        reads.swap(m_tracedReads);
    }
    for (const Traced& read : std::as_const(reads)) {
        emit reportRead(read.report);
        if (!read.dropped.isEmpty())
            emit replyDropped(read.report, read.dropped);
    }
}

QString HubConnection::judgeLocked(std::span<const std::uint8_t> report, qint64 arrived, bool& wake) {
    // The hub says this unasked; it shares the answers' look, not their meaning.
    if (hubreply::isStatusReport(report))
        return QStringLiteral("it is the hub's status report");
    const bool summed = hubreply::checksumValid(report);
    if (m_sums == Trait::Always && !summed)
        return QStringLiteral("its checksum is wrong");
    const std::uint8_t named = hubreply::command(report);
    const std::uint8_t result = report[hubframe::ReplyResultAt];
    const bool echoes = m_echoes == Trait::Always;
    const bool inTime = m_awaitingReply && arrived >= m_sentNs;
    if (inTime && (!echoes || named == m_sentCommand)) {
        // One reply per wait; a second one in the same pass is a repeat.
        m_awaitingReply = false;
        if (m_echoes == Trait::Unknown && m_sentCommand != 0)
            m_echoes = named == m_sentCommand ? Trait::Always : Trait::No;
        if (m_sums == Trait::Unknown)
            m_sums = summed ? Trait::Always : Trait::No;
        m_taken[takenSlotLocked(named)] = {result, arrived};
        const std::size_t count = std::min(report.size(), m_replyBuffer.size());
        m_replyBuffer.fill(0);
        std::copy_n(report.begin(), count, m_replyBuffer.begin());
        m_replyLength = int(count);
        wake = true;
        return {};
    }
    // Named for another frame: whatever the timing says, not this one's.
    const QString another = inTime ? QStringLiteral("it answers command 0x%1, not 0x%2")
                                         .arg(int(named), 2, 16, QLatin1Char('0'))
                                         .arg(int(m_sentCommand), 2, 16, QLatin1Char('0'))
                                   : QString();
    // An answer to an attempt that timed out (which named this frame's
    // command, where the hub names it), or one said twice.
    if (m_owedReplies > 0 && (!echoes || named == m_sentCommand)) {
        --m_owedReplies;
        wake = true;
        return another;
    }
    // Said twice, but differently: the answer taken may have been a copy of
    // an older one. Only one close behind it counts.
    const Taken& taken = m_taken[takenSlotLocked(named)];
    const qint64 closeBehindNs = 2 * qint64(std::max(1, m_timing.replyTimeoutMs)) * 1'000'000;
    if (taken.result >= 0 && result != taken.result && arrived - taken.atNs <= closeBehindNs) {
        m_disputed = true;
        wake = true;
    }
    return another;
}

void HubConnection::HubDataReceived(THidDevice* HidDev, std::uint8_t ReportID, const std::uint8_t* Data,
                                    std::uint16_t Size) {
    Q_UNUSED(ReportID);
    const THidDeviceReadThread* reader = HidDev ? HidDev->Reader() : nullptr;
    const qint64 arrived = reader ? reader->ArrivedNs : HidMonotonicNs();
    const auto bytes = [Data, Size] { return QByteArray(reinterpret_cast<const char*>(Data), Size); };
    // On the read thread the trace waits for the link's thread; handed over,
    // it goes out at once, as before.
    const bool here = QThread::currentThread() == thread();
    if (here && Data && isSignalConnected(QMetaMethod::fromSignal(&HubConnection::reportRead)))
        emit reportRead(bytes());
    bool wake = false;
    QString dropped;
    {
        std::lock_guard lock(m_mutex);
        m_lastReportNs = arrived;
        // Without its result byte a report is no reply, whatever it starts with.
        if (Data && Size > hubframe::ReplyResultAt && Data[hubframe::ReplyMarkerAt] == hubframe::Marker)
            dropped = judgeLocked({Data, Size}, arrived, wake);
        if (!here && Data && m_traceReads)
            m_tracedReads << Traced{bytes(), dropped};
    }
    if (here && !dropped.isEmpty())
        emit replyDropped(bytes(), dropped);
    // A wait for a reply, for an owed answer or for a contradiction may end now.
    if (wake)
        wakeWaiter();
}
