#pragma once

// The hub model as a real kernel device: a USB HID device created through
// /dev/uhid, so the host reaches it through hid-generic and hidraw like a
// plugged-in hub. UhidTransport is the runner's cable: a restart destroys the
// device and creates it again, which gives a new hid instance and a new
// hidraw node, as a real re-enumeration does. Replies and restarts run on the
// runner's scheduler thread; uhid events are read by a thread of the
// transport's own. Linux only; needs write access to /dev/uhid.

#include "HubRunner.h"
#include "HubSetup.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace hubsim {

class UhidTransport : public HubTransport {
public:
    static constexpr std::uint16_t VendorId = 0xFFF0;
    static constexpr std::uint16_t ProductId = 0x0018;
    // Between the last answer and the detach, as a hub's reset takes a
    // moment after its reply went out.
    static constexpr std::chrono::milliseconds DetachAfterReply{20};
    // How long a hub without access keeps its node to root after a creation:
    // udev may grant access a moment after the node appears.
    static constexpr std::chrono::milliseconds RestrictFor{3000};

    explicit UhidTransport(std::string uhidPath = "/dev/uhid");
    ~UhidTransport() override; // close()

    // Where output reports go, on the reader thread; set before the first attach.
    void setReceiver(std::function<void(std::span<const std::uint8_t>)> receiver);
    // Stops the reader and closes /dev/uhid, destroying the device.
    void close();

    bool attach(const Identity& identity) override;
    void detach() override;
    bool send(const Bytes& report) override;
    std::chrono::milliseconds detachDelay() const override { return DetachAfterReply; }
    void setIdentity(const Identity& identity) override;

    // The physical path (phys) the device is created with from its next
    // creation on; the kernel shows it as HID_PHYS.
    void setPhys(std::string phys);
    std::string error() const;

    // Makes the hidraw node of the uhid device with this serial and phys
    // root's alone (owner root, mode 0600, no access list); the newest when
    // several match. The node's path, or "" when there is none yet.
    static std::string restrictNode(const std::string& sysRoot, const std::string& devRoot,
                                    const std::string& serial, const std::string& phys);

private:
    bool openLocked();
    void detachLocked();
    bool writeEvent(const void* event, std::size_t size);
    void readEvents();
    void restrictIfDue();

    std::string m_path;
    mutable std::mutex m_mutex; // guards what follows and orders device writes
    int m_fd = -1;
    int m_wakeFd = -1;
    bool m_created = false;
    Identity m_identity;
    std::string m_phys = "quorvi-virtual-hub/uhid";
    std::string m_error;
    std::chrono::steady_clock::time_point m_restrictUntil{};
    std::function<void(std::span<const std::uint8_t>)> m_receiver;

    std::thread m_reader;
    std::atomic<bool> m_stop{false};
};

class UhidHub {
public:
    static constexpr std::uint16_t VendorId = UhidTransport::VendorId;
    static constexpr std::uint16_t ProductId = UhidTransport::ProductId;

    explicit UhidHub(std::string uhidPath = "/dev/uhid");
    ~UhidHub(); // destroys the device
    UhidHub(const UhidHub&) = delete;
    UhidHub& operator=(const UhidHub&) = delete;

    // Takes the whole setup at once; before the first plug, it is how the hub starts.
    void apply(const HubSetup& setup);

    // Creates the kernel device (again); also ends a restart cut short by an
    // unplug. False with error() set when /dev/uhid cannot be used.
    bool plug();
    // Destroys the kernel device; a pending restart does not bring it back.
    bool unplug();
    bool isPlugged() const;
    std::string error() const;

    // Sends one input report (report id first) now; false when unplugged.
    bool sendReport(const Bytes& report);

    HubModel& model() { return m_runner->model(); }
    HubTrace& trace() { return m_runner->trace(); }
    HubRunner& runner() { return *m_runner; }

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
    void onEvent(const HubEvent& event);

    std::unique_ptr<UhidTransport> m_transport;
    std::unique_ptr<HubRunner> m_runner;
    std::mutex m_loggerMutex;
    std::function<void(const std::string&)> m_logger;
};

// A report as hex bytes, for logs.
std::string hexBytes(const std::uint8_t* data, std::size_t size);

} // namespace hubsim
