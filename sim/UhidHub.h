#pragma once

// The hub model as a real kernel device: a USB HID device created through
// /dev/uhid, so the host reaches it through hid-generic and hidraw like a
// plugged-in hub. A restart destroys the device and creates it again, which
// gives a new hid instance and a new hidraw node, as a real re-enumeration
// does. Replies and restarts run on the hub's scheduler thread; uhid events
// are read by a thread of its own. Linux only; needs write access to /dev/uhid.

#include "HubModel.h"
#include "HubTrace.h"
#include "SimScheduler.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace hubsim {

class UhidHub {
public:
    static constexpr std::uint16_t VendorId = 0xFFF0;
    static constexpr std::uint16_t ProductId = 0x0018;

    explicit UhidHub(std::string uhidPath = "/dev/uhid");
    ~UhidHub(); // destroys the device
    UhidHub(const UhidHub&) = delete;
    UhidHub& operator=(const UhidHub&) = delete;

    // Creates the kernel device (again); also ends a restart under way. False
    // with error() set when /dev/uhid cannot be used.
    bool plug();
    // Destroys the kernel device; a pending restart does not bring it back.
    bool unplug();
    bool isPlugged() const;
    std::string error() const;

    // Sends one input report (report id first) now; false when unplugged.
    bool sendReport(const Bytes& report);

    HubModel& model() { return m_model; }
    HubTrace& trace() { return m_trace; }

    // The serial number (UHID_CREATE2's uniq, at most 63 bytes; empty: none)
    // and the physical path (phys) the device is created with from its next
    // creation on. The kernel shows them as HID_UNIQ and HID_PHYS.
    void setSerial(std::string serial);
    void setPhys(std::string phys);
    std::string serial() const;

    // Number of times the device was created, by hand or by a restart.
    int creations() const;

    // Called for every report and every plug or unplug, on the thread where
    // it happens; it must not call back into the hub.
    void setLogger(std::function<void(const std::string& line)> logger);

private:
    bool openLocked();
    bool createLocked();
    void destroyLocked();
    void readEvents();
    void onOutput(const std::uint8_t* data, std::size_t size);
    bool deliver(std::uint64_t session, const Bytes& report);
    void leave(std::uint64_t session, std::optional<std::chrono::milliseconds> backAfter);
    void comeBack(std::uint64_t session);
    void log(const std::string& line);
    bool writeEvent(const void* event, std::size_t size);

    std::string m_path;
    HubModel m_model;
    HubTrace m_trace;

    mutable std::mutex m_mutex; // guards everything below and orders device writes
    int m_fd = -1;
    int m_wakeFd = -1;
    bool m_plugged = false;
    std::uint64_t m_session = 0; // bumped by every plug and unplug: stale restarts are dropped
    int m_creations = 0;
    std::string m_serial = "VH0001";
    std::string m_phys = "quorvi-virtual-hub/uhid";
    std::string m_error;
    std::function<void(const std::string&)> m_logger;

    std::thread m_reader;
    std::atomic<bool> m_stop{false};
    SimScheduler m_scheduler;
};

// A report as hex bytes, for logs.
std::string hexBytes(const std::uint8_t* data, std::size_t size);

} // namespace hubsim
