#pragma once

// Runs the hub model on a cable: takes the host's reports, answers them on a
// scheduler thread of its own, leaves and comes back for restarts, sends
// unsolicited reports and carries out every fault. The cable is a small
// transport (the virtual bus, /dev/uhid, a fake in tests), so all of them
// behave alike. Safe to call from any thread.

#include "HubModel.h"
#include "HubTrace.h"
#include "SimScheduler.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace hubsim {

// What the runner needs of the cable. Every call but unreadReports comes with
// the runner's lock held, so a transport sees them one at a time.
class HubTransport {
public:
    struct Identity {
        std::string serial; // empty: none
        bool access = true; // false: the host may not open it
    };

    virtual ~HubTransport() = default;
    // The hub appears on the bus as a new enumeration. False when it cannot.
    virtual bool attach(const Identity& identity) = 0;
    virtual void detach() = 0;
    // One input report, report id first, while attached.
    virtual bool send(const Bytes& report) = 0;
    // Reports sent that the host has not read yet: a restarting hub waits
    // for its last answer to be taken. Cables that cannot tell say 0.
    virtual std::size_t unreadReports() const { return 0; }
    // Between the last answer and the detach of a restart.
    virtual std::chrono::milliseconds detachDelay() const { return std::chrono::milliseconds(0); }
    // Identity changes for a hub on the bus; the serial counts from the next
    // enumeration on.
    virtual void setIdentity(const Identity&) {}
};

struct HubEvent {
    enum class Kind {
        Plugged,    // by hand
        Unplugged,  // by hand
        Restarting, // left for a restart
        Left,       // left for good (a fault)
        CameBack,   // back from a restart
        ReportIn,   // a report from the host reached the hub
        ReportOut,  // a report went to the host
    };
    Kind kind;
    std::span<const std::uint8_t> report; // for ReportIn and ReportOut
};

class HubRunner {
public:
    static constexpr std::chrono::milliseconds UsbFrame{1};
    // How long a restarting hub waits for the host to read its last answer;
    // beyond it nobody is reading.
    static constexpr std::chrono::milliseconds LeaveGrace{1000};

    explicit HubRunner(HubTransport& transport);
    ~HubRunner(); // stop() and detach
    HubRunner(const HubRunner&) = delete;
    HubRunner& operator=(const HubRunner&) = delete;

    // Drops what is pending and stops the scheduler; reports from the host
    // still reach the model but nothing more is sent. Call before the
    // transport goes away.
    void stop();

    HubModel& model() { return m_model; }
    HubTrace& trace() { return m_trace; }

    // Attaches (again), ending a restart cut short by an unplug; a hub still
    // on the bus lets a restart under way run its course.
    bool plug();
    // Detaches; a pending restart does not bring it back. False when off the bus.
    bool unplug();
    bool isPlugged() const;
    // Successful attaches, by hand or by restarts.
    int attaches() const;

    // A report written by the host, report id first, on the writer's thread.
    void receive(std::span<const std::uint8_t> report);

    // One input report now; false when off the bus.
    bool send(const Bytes& report);
    // The model's unsolicited report now; false when off the bus or restarting.
    bool sendUnsolicited();

    HubFaults faults() const { return m_model.faults(); }
    void setFaults(const HubFaults& faults);
    std::string serial() const;
    // "" for none; the faults' noSerial hides it.
    void setSerial(std::string serial);

    // Called on the thread where it happens, outside the runner's lock; it
    // may read the runner but not plug or unplug from inside.
    void setListener(std::function<void(const HubEvent&)> listener);

private:
    HubTransport::Identity identityLocked() const;
    bool deliver(std::uint64_t session, const Bytes& report);
    void leave(std::uint64_t session, std::optional<std::chrono::milliseconds> backAfter,
               SimScheduler::Clock::time_point giveUpAt);
    void comeBack(std::uint64_t session);
    void unsolicitedTick(std::uint64_t generation);
    void notify(HubEvent::Kind kind, std::span<const std::uint8_t> report = {});

    HubTransport& m_transport;
    HubModel m_model;
    HubTrace m_trace;

    mutable std::mutex m_mutex; // guards what follows and orders the transport's calls
    bool m_plugged = false;
    std::uint64_t m_session = 0; // bumped by every plug and unplug by hand: stale restarts are dropped
    std::uint64_t m_unsolicitedGeneration = 0;
    // A reply held back (copy-then-refuse's gap) is overtaken by none.
    SimScheduler::Clock::time_point m_heldUntil{};
    int m_attaches = 0;
    std::string m_serial = "VH0001";
    HubTransport::Identity m_shownIdentity;
    std::function<void(const HubEvent&)> m_listener;

    SimScheduler m_scheduler;
};

} // namespace hubsim
