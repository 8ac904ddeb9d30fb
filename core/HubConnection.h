#pragma once

// The wire to one hub: a request frame out, its reply back, and the rules
// that keep a reply with the frame it answers (arrival stamps against the
// moment of the write, the answers still owed by attempts that timed out, a
// reader caught up before the next frame, an answer said twice but
// differently, and what a hub's replies carry besides: the command of their
// frame and a valid checksum, learned per hub). It knows nothing of what the
// replies mean (HubReplies) or what the frames are for (HubSession).

#include "HubReplies.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

class THidDevice;

// Time limits and pauses of the link and of the update above it.
struct HubTiming {
    int replyTimeoutMs = 100; // reply wait of one attempt
    int writePauseMs = 2;     // pause after writing a request frame
    int modePollMs = 500;     // pause before each hub-mode poll
    int modeWaitMs = 5000;    // limit for the hub to reach a mode
    int ledWritePauseMs = 10; // pause after each LED level written back
};

// Lives on one thread: every call and every wait belongs to the thread it was
// created on. How the reports get to it is its delivery.
class HubConnection : public QObject {
    Q_OBJECT
public:
    using Reply = hubreply::Reply;

    enum class Delivery {
        // Each report is handed to this thread, which takes it while a wait
        // runs the event loop: the window's way, where clicks, timers and
        // device changes run inside every wait.
        Handed,
        // The read thread puts each report here itself, under the link's lock,
        // and a wait sleeps until one came: no event-loop round trip. Events of
        // this thread run only in the pauses that ask for it.
        OnReadThread,
        // Taken on the read thread as OnReadThread, while a wait runs the event
        // loop as Handed; the reader wakes it. The window's way: one wake-up
        // per report where a hand-over costs two, which a system with slow
        // thread wake-ups (wine) turns into milliseconds per frame.
        OnReadThreadEventsRun,
    };

    // The timing is read at every exchange; it belongs to the caller.
    explicit HubConnection(const HubTiming& timing, QObject* parent = nullptr);
    ~HubConnection() override;
    HubConnection(const HubConnection&) = delete;
    HubConnection& operator=(const HubConnection&) = delete;

    // For the devices attached from now on.
    void setDelivery(Delivery delivery) { m_delivery = delivery; }
    Delivery delivery() const { return m_delivery; }

    // Talks to this device from now on and takes its reports (starting its
    // read thread). The previous device keeps its data handler: whoever owns
    // it releases it. nullptr leaves the link without a hub.
    void attach(THidDevice* device);
    // Gives the device's reports back (stops its reader) and forgets it.
    void detach();
    THidDevice* device() const { return m_device; }

    // One request and its reply: three attempts; the reply's result byte, or -1.
    int SendFrame(std::uint8_t command, const HubRequest& request);
    // One attempt: 0 when a reply came, -1 otherwise.
    int SendFrameSub(std::uint8_t command, const HubRequest& request);
    int WaitReply();
    // The device's data handler; on the read thread with Delivery::OnReadThread.
    void HubDataReceived(THidDevice* HidDev, std::uint8_t ReportID, const std::uint8_t* Data,
                         std::uint16_t Size);

    const Reply& replyBuffer() const { return m_replyBuffer; }
    // Bytes the last reply carried; the buffer past them is zero, not data.
    int replyLength() const { return m_replyLength; }
    // The bytes of the last reply, for the decoders.
    std::span<const std::uint8_t> reply() const { return {m_replyBuffer.data(), std::size_t(m_replyLength)}; }
    // True inside a reply wait (nested ones included): a frame sent now would
    // have its reply taken by the wait already running.
    bool inReplyWait() const { return m_replyWaits > 0; }

    // False, once, when a further answer to the last exchange said otherwise;
    // then the last answer proves nothing. Waits for the reader to have read
    // what had come in first. SendFrame asks before and after every frame;
    // the last frame of a run has no next one to ask for it.
    bool confirmLastAnswer();
    // The same, after looking up to ms for a further answer.
    bool confirmLastAnswerWithin(int ms);
    // The last SendFrame failed because its answer was contradicted.
    bool lastExchangeDisputed() const { return m_exchangeDisputed; }
    // Frames a device took without a write error, since the link was made:
    // a frame that could not even be written cannot have reached the hub.
    quint64 framesWritten() const { return m_framesWritten; }
    // Every reply taken from this hub so far named the command of its frame.
    bool repliesNameTheirCommand() const;

signals:
    // An answer taken was contradicted (see confirmLastAnswer).
    void logLine(const QString& text);
    // Every report written to the hub and every one read from it, as it
    // passes, in that order, for a trace of the exchange. Only sent while
    // connected, and always on the link's thread.
    void reportWritten(const QByteArray& report);
    void reportRead(const QByteArray& report);
    // A report read that was not taken as the answer awaited, and why; right
    // after its reportRead.
    void replyDropped(const QByteArray& report, const QString& why);

private:
    // Until done() holds (asked under the lock) or ms have passed; the
    // delivery decides whether the event loop runs meanwhile.
    bool waitUntil(const std::function<bool()>& done, int ms);
    // The reply buffer emptied and the next reply awaited; then the wait.
    void openReplyLocked();
    // Opens the reply to this frame and writes it; false when the write failed.
    bool writeFrame(THidDevice& hub, std::uint8_t command, const std::vector<std::uint8_t>& report);
    int awaitOpenReply();
    void readerCaughtUp();
    // Wakes a waiter: the condition variable, and the event loop it runs.
    void wakeWaiter();
    void awaitReaderCaughtUp(THidDevice* hub);
    void dropOwedReplies();
    void emitTracedReads();
    // One report that starts like a reply: taken, counted as owed, a
    // contradiction, or passed over. Why it was dropped, or nothing.
    QString judgeLocked(std::span<const std::uint8_t> report, qint64 arrived, bool& wake);
    std::size_t takenSlotLocked(std::uint8_t command) const;

    const HubTiming& m_timing;
    Delivery m_delivery = Delivery::OnReadThreadEventsRun;
    // An OnReadThreadEventsRun wait is running its event loop.
    std::atomic<bool> m_waitRunsEvents{false};
    // When a wait last ran the waiting thread's events itself.
    QElapsedTimer m_eventsRun;
    static constexpr int EventsEveryMs = 10;
    THidDevice* m_device = nullptr;
    int m_replyWaits = 0;

    // Shared with the read thread under OnReadThread; guarded by m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    Reply m_replyBuffer{};
    int m_replyLength = 0;
    // Only reports that arrived after the frame now waiting went out answer it.
    bool m_awaitingReply = false;
    qint64 m_sentNs = 0;
    std::uint8_t m_sentCommand = 0;
    // What this hub's replies carry, as far as the replies taken show.
    enum class Trait { Unknown, Always, No };
    Trait m_echoes = Trait::Unknown; // the command of their frame
    Trait m_sums = Trait::Unknown;   // a valid checksum
    qint64 m_lastReportNs = 0;       // arrival of the last report handed to us
    // Answers still to come for attempts whose wait ran out.
    int m_owedReplies = 0;
    // The result byte of the last reply taken, and when it came; -1 when the
    // last exchange took none. Per command for a hub whose replies name it,
    // else all in slot 0.
    struct Taken {
        int result = -1;
        qint64 atNs = 0;
    };
    std::array<Taken, 256> m_taken{};
    // A further answer to the last exchange said otherwise: it proves nothing.
    bool m_disputed = false;
    bool m_exchangeDisputed = false; // owned by the session's thread
    quint64 m_framesWritten = 0;     // owned by the session's thread
    // Reports read on the read thread, to be traced on ours.
    bool m_traceReads = false;
    struct Traced {
        QByteArray report;
        QString dropped;
    };
    QList<Traced> m_tracedReads;
};
