#include "HubRunner.h"

#include <algorithm>
#include <thread>

using namespace std::chrono_literals;

namespace hubsim {

HubRunner::HubRunner(HubTransport& transport) : m_transport(transport) {}

HubRunner::~HubRunner() {
    stop();
    std::lock_guard lock(m_mutex);
    ++m_session;
    if (m_plugged)
        m_transport.detach();
    m_plugged = false;
}

void HubRunner::stop() {
    m_scheduler.shutdown();
    std::lock_guard lock(m_mutex);
    m_listener = {};
}

HubTransport::Identity HubRunner::identityLocked() const {
    const HubFaults faults = m_model.faults();
    return {faults.noSerial ? std::string() : m_serial, !faults.noAccess};
}

bool HubRunner::plug() {
    {
        std::lock_guard lock(m_mutex);
        // Already on the bus: a restart under way must still run its course.
        if (m_plugged)
            return true;
        ++m_session;
        m_model.finishRestart();
        m_plugged = m_transport.attach(identityLocked());
        if (!m_plugged)
            return false;
        ++m_attaches;
    }
    notify(HubEvent::Kind::Plugged);
    return true;
}

bool HubRunner::unplug() {
    {
        std::lock_guard lock(m_mutex);
        ++m_session;
        if (!m_plugged)
            return false;
        m_transport.detach();
        m_plugged = false;
    }
    notify(HubEvent::Kind::Unplugged);
    return true;
}

bool HubRunner::isPlugged() const {
    std::lock_guard lock(m_mutex);
    return m_plugged;
}

int HubRunner::attaches() const {
    std::lock_guard lock(m_mutex);
    return m_attaches;
}

std::string HubRunner::serial() const {
    std::lock_guard lock(m_mutex);
    return m_serial;
}

void HubRunner::setSerial(std::string serial) {
    std::lock_guard lock(m_mutex);
    m_serial = std::move(serial);
    m_transport.setIdentity(identityLocked());
}

void HubRunner::setFaults(const HubFaults& faults) {
    std::uint64_t generation;
    {
        std::lock_guard lock(m_mutex);
        m_model.setFaults(faults);
        m_transport.setIdentity(identityLocked());
        generation = ++m_unsolicitedGeneration;
    }
    if (faults.unsolicitedIntervalMs > 0)
        m_scheduler.after(std::chrono::milliseconds(faults.unsolicitedIntervalMs),
                          [this, generation] { unsolicitedTick(generation); });
}

void HubRunner::setListener(std::function<void(const HubEvent&)> listener) {
    std::lock_guard lock(m_mutex);
    m_listener = std::move(listener);
}

void HubRunner::notify(HubEvent::Kind kind, std::span<const std::uint8_t> report) {
    std::function<void(const HubEvent&)> listener;
    {
        std::lock_guard lock(m_mutex);
        if (!m_listener)
            return;
        listener = m_listener;
    }
    listener(HubEvent{kind, report});
}

void HubRunner::receive(std::span<const std::uint8_t> report) {
    m_trace.record(TraceEntry::Direction::ToHub, report);
    notify(HubEvent::Kind::ReportIn, report);
    const bool usbTiming = m_model.faults().usbTiming;
    if (usbTiming)
        std::this_thread::sleep_for(UsbFrame); // the output transfer itself

    const HubResponse response = m_model.handleReport(report);
    std::uint64_t session;
    auto due = SimScheduler::Clock::now() + std::chrono::milliseconds(response.replyDelayMs) +
               (usbTiming ? UsbFrame : 0ms);
    SimScheduler::Clock::time_point replyDue;
    {
        std::lock_guard lock(m_mutex);
        session = m_session;
        // The firmware answers in order, so a frame that came during a gap is
        // answered after the reply held back.
        due = std::max(due, m_heldUntil);
        replyDue = due + std::chrono::milliseconds(response.replyGapMs);
        if (response.replyGapMs > 0)
            m_heldUntil = replyDue;
    }
    // Answers leave from the hub's own thread, never from inside the write.
    if (response.leadingReply)
        m_scheduler.at(due, [this, session, reply = *response.leadingReply] { deliver(session, reply); });
    if (response.statusBefore)
        m_scheduler.at(replyDue,
                       [this, session, status = *response.statusBefore] { deliver(session, status); });
    if (response.reply) {
        m_scheduler.at(replyDue, [this, session, reply = *response.reply] { deliver(session, reply); });
        if (response.repeatReply)
            m_scheduler.at(replyDue, [this, session, reply = *response.reply] { deliver(session, reply); });
    }
    if (response.then != HubResponse::Then::Stay) {
        const auto backAfter = response.then == HubResponse::Then::Restart
                                   ? std::optional(std::chrono::milliseconds(response.restartDelayMs))
                                   : std::nullopt;
        const auto leaveAt = replyDue + m_transport.detachDelay();
        m_scheduler.at(leaveAt, [this, session, backAfter, giveUpAt = leaveAt + LeaveGrace] {
            leave(session, backAfter, giveUpAt);
        });
    }
}

bool HubRunner::send(const Bytes& report) {
    std::uint64_t session;
    {
        std::lock_guard lock(m_mutex);
        session = m_session;
    }
    return deliver(session, report);
}

bool HubRunner::sendUnsolicited() {
    if (m_model.isRestarting())
        return false;
    return send(m_model.unsolicitedReport());
}

// A reply due before an unplug or plug by hand is lost with the cable.
bool HubRunner::deliver(std::uint64_t session, const Bytes& report) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_plugged || session != m_session)
            return false;
        m_trace.record(TraceEntry::Direction::FromHub, report);
        if (!m_transport.send(report))
            return false;
    }
    notify(HubEvent::Kind::ReportOut, report);
    return true;
}

// A real hub's last answer is in the host's hands before it detaches, so the
// host always reads it; here the hub leaves once the host took it, where the
// cable can tell.
void HubRunner::leave(std::uint64_t session, std::optional<std::chrono::milliseconds> backAfter,
                      SimScheduler::Clock::time_point giveUpAt) {
    {
        std::lock_guard lock(m_mutex);
        if (session != m_session || !m_plugged)
            return;
        if (m_transport.unreadReports() > 0 && SimScheduler::Clock::now() < giveUpAt) {
            m_scheduler.after(100us,
                              [this, session, backAfter, giveUpAt] { leave(session, backAfter, giveUpAt); });
            return;
        }
        m_transport.detach();
        m_plugged = false;
    }
    notify(backAfter ? HubEvent::Kind::Restarting : HubEvent::Kind::Left);
    if (backAfter)
        m_scheduler.after(*backAfter, [this, session] { comeBack(session); });
}

void HubRunner::comeBack(std::uint64_t session) {
    {
        std::lock_guard lock(m_mutex);
        if (session != m_session || m_plugged)
            return;
        m_model.finishRestart();
        m_plugged = m_transport.attach(identityLocked());
        if (!m_plugged)
            return;
        ++m_attaches;
    }
    notify(HubEvent::Kind::CameBack);
}

void HubRunner::unsolicitedTick(std::uint64_t generation) {
    {
        std::lock_guard lock(m_mutex);
        if (generation != m_unsolicitedGeneration)
            return;
    }
    const int interval = m_model.faults().unsolicitedIntervalMs;
    if (interval <= 0)
        return;
    sendUnsolicited();
    m_scheduler.after(std::chrono::milliseconds(interval),
                      [this, generation] { unsolicitedTick(generation); });
}

} // namespace hubsim
