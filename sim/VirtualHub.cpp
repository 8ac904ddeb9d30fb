#include "VirtualHub.h"

#include <QMetaMethod>
#include <QThread>

#include <chrono>
#include <optional>
#include <thread>

using namespace std::chrono_literals;
using hubsim::Bytes;
using hubsim::HubResponse;
using hubsim::TraceEntry;

// Lets the bus call the hub only while it exists; the destructor closes it and
// waits for a handler that is running.
struct VirtualHub::Gate {
    std::mutex mutex;
    VirtualHub* hub = nullptr;
};

namespace {

constexpr auto UsbFrame = 1ms;
// How long a leaving hub waits for the host to read its last answer; beyond
// it nobody is reading.
constexpr auto LeaveGrace = 1s;

QByteArray toQByteArray(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

} // namespace

VirtualHub::VirtualHub(VirtualHidBus& bus, QObject* parent)
    : QObject(parent), m_bus(bus), m_gate(std::make_shared<Gate>()), m_shownMode(m_model.mode()),
      m_shownVersion(m_model.firmwareVersion()), m_scheduler(std::make_unique<hubsim::SimScheduler>()) {
    qRegisterMetaType<hubsim::HubMode>();
    m_gate->hub = this;
    m_trace.setListener([this](const TraceEntry& entry) {
        // Only a panel shows the trace live: without one, no trip to this
        // object's thread for every report.
        if (!isSignalConnected(QMetaMethod::fromSignal(&VirtualHub::traceAppended)))
            return;
        const bool fromHub = entry.direction == TraceEntry::Direction::FromHub;
        QMetaObject::invokeMethod(
            this,
            [this, time = entry.timeNs, fromHub, bytes = toQByteArray(entry.bytes)] {
                emit traceAppended(time, fromHub, bytes);
            },
            Qt::QueuedConnection);
    });
}

VirtualHub::~VirtualHub() {
    m_trace.setListener({});
    {
        std::lock_guard lock(m_gate->mutex);
        m_gate->hub = nullptr;
    }
    m_scheduler->shutdown();
    std::lock_guard lock(m_mutex);
    if (m_plugged)
        m_bus.unplug(m_id);
}

QByteArray VirtualHub::reportDescriptor() {
    const hubsim::Bytes descriptor = hubsim::reportDescriptor();
    return QByteArray(reinterpret_cast<const char*>(descriptor.data()), qsizetype(descriptor.size()));
}

VirtualHidDeviceSetup VirtualHub::deviceSetup() {
    VirtualHidDeviceSetup setup;
    setup.vendorId = VendorId;
    setup.productId = ProductId;
    setup.version = 0x0100;
    setup.reportDescriptor = reportDescriptor();
    setup.name = QStringLiteral("Quorvi Charging Hub");
    setup.manufacturer = QStringLiteral("Quorvi");
    setup.serial = QStringLiteral("VH0001");
    return setup;
}

QString VirtualHub::serial() const {
    std::lock_guard lock(m_mutex);
    return m_serial;
}

void VirtualHub::setSerial(const QString& serial) {
    std::lock_guard lock(m_mutex);
    m_serial = serial;
    if (m_id >= 0)
        m_bus.setSerial(m_id, serial);
}

bool VirtualHub::plug() {
    {
        std::lock_guard lock(m_mutex);
        // Already on the bus: a restart under way must still run its course.
        if (m_plugged)
            return true;
        ++m_session;
        m_model.finishRestart();
        if (m_id < 0) {
            std::weak_ptr<Gate> weak = m_gate;
            VirtualHidDeviceSetup setup = deviceSetup();
            setup.serial = m_serial;
            m_id = m_bus.plug(setup, [weak](const QByteArray& report) {
                const auto gate = weak.lock();
                if (!gate)
                    return;
                std::lock_guard gateLock(gate->mutex);
                if (gate->hub)
                    gate->hub->onOutputReport(report);
            });
            m_plugged = m_id >= 0;
        } else {
            m_plugged = m_bus.replug(m_id);
        }
        if (!m_plugged)
            return false;
    }
    announcePlugged(true);
    announceState();
    return true;
}

bool VirtualHub::unplug() {
    {
        std::lock_guard lock(m_mutex);
        ++m_session;
        if (!m_plugged)
            return false;
        m_bus.unplug(m_id);
        m_plugged = false;
    }
    announcePlugged(false);
    return true;
}

bool VirtualHub::isPlugged() const {
    std::lock_guard lock(m_mutex);
    return m_plugged;
}

VirtualDeviceId VirtualHub::deviceId() const {
    std::lock_guard lock(m_mutex);
    return m_id;
}

void VirtualHub::setMode(hubsim::HubMode mode) {
    m_model.setMode(mode);
    announceState();
}

void VirtualHub::setFirmwareVersion(quint32 version) {
    m_model.setFirmwareVersion(version);
    announceState();
}

void VirtualHub::setFaults(const hubsim::HubFaults& faults) {
    m_model.setFaults(faults);
    quint64 generation;
    {
        std::lock_guard lock(m_mutex);
        generation = ++m_unsolicitedGeneration;
    }
    if (faults.unsolicitedIntervalMs > 0)
        m_scheduler->after(std::chrono::milliseconds(faults.unsolicitedIntervalMs),
                           [this, generation] { unsolicitedTick(generation); });
}

void VirtualHub::setRestartDelays(int bootloaderEntryMs, int rebootMs) {
    m_model.setRestartDelays(bootloaderEntryMs, rebootMs);
}

bool VirtualHub::sendUnsolicited() {
    if (!isPlugged() || m_model.isRestarting())
        return false;
    deliver(m_model.unsolicitedReport());
    return true;
}

// Runs on the writer's thread, inside the bus's write.
void VirtualHub::onOutputReport(const QByteArray& report) {
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(report.constData()),
                                              static_cast<std::size_t>(report.size()));
    m_trace.record(TraceEntry::Direction::ToHub, bytes);
    const bool usbTiming = m_model.faults().usbTiming;
    if (usbTiming)
        std::this_thread::sleep_for(UsbFrame); // the output transfer itself

    const HubResponse response = m_model.handleReport(bytes);
    quint64 session;
    {
        std::lock_guard lock(m_mutex);
        session = m_session;
    }
    const auto replyDelay = std::chrono::milliseconds(response.replyDelayMs) + (usbTiming ? UsbFrame : 0ms);
    const auto due = hubsim::SimScheduler::Clock::now() + replyDelay;
    // Answers leave from the hub's own thread, never from inside the write.
    if (response.leadingReply)
        m_scheduler->at(due, [this, reply = *response.leadingReply] { deliver(reply); });
    if (response.reply) {
        m_scheduler->at(due, [this, reply = *response.reply] { deliver(reply); });
        if (response.repeatReply)
            m_scheduler->at(due, [this, reply = *response.reply] { deliver(reply); });
    }
    if (response.then != HubResponse::Then::Stay) {
        const auto backAfter = response.then == HubResponse::Then::Restart
                                   ? std::optional(std::chrono::milliseconds(response.restartDelayMs))
                                   : std::nullopt;
        m_scheduler->at(due, [this, session, backAfter, giveUpAt = due + LeaveGrace] {
            leaveBus(session, backAfter, giveUpAt);
        });
    }
}

void VirtualHub::deliver(const Bytes& report) {
    std::lock_guard lock(m_mutex);
    if (!m_plugged)
        return;
    m_trace.record(TraceEntry::Direction::FromHub, report);
    m_bus.queueInput(m_id, toQByteArray(report));
}

// A real hub's last answer is in the host's hands before it detaches, so the
// host always reads it; here the hub leaves once the readers took it.
void VirtualHub::leaveBus(quint64 session, std::optional<std::chrono::milliseconds> backAfter,
                          hubsim::SimScheduler::Clock::time_point giveUpAt) {
    {
        std::lock_guard lock(m_mutex);
        if (session != m_session || !m_plugged)
            return;
        if (m_bus.queuedInputCount(m_id) > 0 && hubsim::SimScheduler::Clock::now() < giveUpAt) {
            m_scheduler->after(
                100us, [this, session, backAfter, giveUpAt] { leaveBus(session, backAfter, giveUpAt); });
            return;
        }
        m_bus.unplug(m_id);
        m_plugged = false;
    }
    announcePlugged(false);
    if (backAfter)
        m_scheduler->after(*backAfter, [this, session] { comeBack(session); });
}

void VirtualHub::comeBack(quint64 session) {
    {
        std::lock_guard lock(m_mutex);
        if (session != m_session || m_plugged)
            return;
        m_model.finishRestart();
        m_plugged = m_bus.replug(m_id);
        if (!m_plugged)
            return;
    }
    announcePlugged(true);
    announceState();
}

void VirtualHub::unsolicitedTick(quint64 generation) {
    int interval;
    {
        std::lock_guard lock(m_mutex);
        if (generation != m_unsolicitedGeneration)
            return;
        interval = m_model.faults().unsolicitedIntervalMs;
    }
    if (interval <= 0)
        return;
    sendUnsolicited();
    m_scheduler->after(std::chrono::milliseconds(interval),
                       [this, generation] { unsolicitedTick(generation); });
}

void VirtualHub::announcePlugged(bool isPlugged) {
    QMetaObject::invokeMethod(
        this,
        [this, isPlugged] {
            if (isPlugged)
                emit plugged();
            else
                emit unplugged();
        },
        Qt::QueuedConnection);
}

void VirtualHub::announceState() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            const hubsim::HubMode mode = m_model.mode();
            const quint32 version = m_model.firmwareVersion();
            if (mode != m_shownMode) {
                m_shownMode = mode;
                emit modeChanged(mode);
            }
            if (version != m_shownVersion) {
                m_shownVersion = version;
                emit versionChanged(version);
            }
        },
        Qt::QueuedConnection);
}
