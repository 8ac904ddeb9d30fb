#include "VirtualHub.h"

#include <QMetaMethod>

#include <mutex>

using hubsim::Bytes;
using hubsim::HubEvent;
using hubsim::TraceEntry;

namespace {

QByteArray toQByteArray(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

QString fromStd(const std::string& text) {
    return QString::fromStdString(text);
}

} // namespace

// The virtual bus as the runner's cable. The bus calls the runner only while
// the gate is open; closing it waits for a handler that is running.
class VirtualHub::BusTransport : public hubsim::HubTransport {
public:
    explicit BusTransport(VirtualHidBus& bus) : m_bus(bus), m_gate(std::make_shared<Gate>()) {}

    void open(hubsim::HubRunner* runner) {
        std::lock_guard lock(m_gate->mutex);
        m_gate->runner = runner;
    }
    void close() { open(nullptr); }

    VirtualDeviceId id() const {
        std::lock_guard lock(m_idMutex);
        return m_id;
    }

    bool attach(const Identity& identity) override {
        std::lock_guard lock(m_idMutex);
        if (m_id < 0) {
            VirtualHidDeviceSetup setup = deviceSetup();
            setup.serial = fromStd(identity.serial);
            setup.readWriteAccess = identity.access;
            std::weak_ptr<Gate> weak = m_gate;
            m_id = m_bus.plug(setup, [weak](const QByteArray& report) {
                const auto gate = weak.lock();
                if (!gate)
                    return;
                std::lock_guard gateLock(gate->mutex);
                if (gate->runner)
                    gate->runner->receive(std::span(reinterpret_cast<const std::uint8_t*>(report.constData()),
                                                    static_cast<std::size_t>(report.size())));
            });
            m_shown = identity;
            return m_id >= 0;
        }
        applyLocked(identity);
        return m_bus.replug(m_id);
    }

    void detach() override {
        std::lock_guard lock(m_idMutex);
        m_bus.unplug(m_id);
    }

    bool send(const Bytes& report) override { return m_bus.queueInput(id(), toQByteArray(report)); }

    std::size_t unreadReports() const override {
        const int queued = m_bus.queuedInputCount(id());
        return queued > 0 ? std::size_t(queued) : 0;
    }

    void setIdentity(const Identity& identity) override {
        std::lock_guard lock(m_idMutex);
        if (m_id >= 0)
            applyLocked(identity);
    }

private:
    struct Gate {
        std::mutex mutex;
        hubsim::HubRunner* runner = nullptr;
    };

    // Only what changed: every change is a device-change notice on the bus.
    void applyLocked(const Identity& identity) {
        if (identity.serial != m_shown.serial)
            m_bus.setSerial(m_id, fromStd(identity.serial));
        if (identity.access != m_shown.access)
            m_bus.setAccess(m_id, identity.access);
        m_shown = identity;
    }

    VirtualHidBus& m_bus;
    std::shared_ptr<Gate> m_gate;
    mutable std::mutex m_idMutex;
    VirtualDeviceId m_id = -1;
    Identity m_shown;
};

VirtualHub::VirtualHub(VirtualHidBus& bus, QObject* parent)
    : QObject(parent), m_transport(std::make_unique<BusTransport>(bus)),
      m_runner(std::make_unique<hubsim::HubRunner>(*m_transport)), m_shownMode(m_runner->model().mode()),
      m_shownVersion(m_runner->model().firmwareVersion()) {
    qRegisterMetaType<hubsim::HubMode>();
    m_transport->open(m_runner.get());
    m_runner->setListener([this](const HubEvent& event) { onEvent(event); });
    m_runner->trace().setListener([this](const TraceEntry& entry) {
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
    m_runner->trace().setListener({});
    m_transport->close();
    m_runner->stop();
    m_runner->unplug();
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
    return fromStd(m_runner->serial());
}

void VirtualHub::setSerial(const QString& serial) {
    m_runner->setSerial(serial.toStdString());
}

void VirtualHub::apply(const hubsim::HubSetup& setup) {
    hubsim::applySetup(setup, *m_runner);
    announceState();
}

bool VirtualHub::plug() {
    return m_runner->plug();
}

bool VirtualHub::unplug() {
    return m_runner->unplug();
}

bool VirtualHub::isPlugged() const {
    return m_runner->isPlugged();
}

VirtualDeviceId VirtualHub::deviceId() const {
    return m_transport->id();
}

void VirtualHub::setMode(hubsim::HubMode mode) {
    m_runner->model().setMode(mode);
    announceState();
}

void VirtualHub::setFirmwareVersion(quint32 version) {
    m_runner->model().setFirmwareVersion(version);
    announceState();
}

void VirtualHub::setFaults(const hubsim::HubFaults& faults) {
    m_runner->setFaults(faults);
}

void VirtualHub::setRestartDelays(int bootloaderEntryMs, int rebootMs) {
    m_runner->model().setRestartDelays(bootloaderEntryMs, rebootMs);
}

bool VirtualHub::sendUnsolicited() {
    return m_runner->sendUnsolicited();
}

void VirtualHub::onEvent(const HubEvent& event) {
    bool isPlugged = false;
    switch (event.kind) {
    case HubEvent::Kind::Plugged:
    case HubEvent::Kind::CameBack:
        isPlugged = true;
        break;
    case HubEvent::Kind::Unplugged:
    case HubEvent::Kind::Restarting:
    case HubEvent::Kind::Left:
        break;
    case HubEvent::Kind::ReportIn:
    case HubEvent::Kind::ReportOut:
        return; // the trace tells of reports
    }
    QMetaObject::invokeMethod(
        this,
        [this, isPlugged] {
            if (isPlugged)
                emit plugged();
            else
                emit unplugged();
        },
        Qt::QueuedConnection);
    if (isPlugged)
        announceState();
}

void VirtualHub::announceState() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            const hubsim::HubMode mode = m_runner->model().mode();
            const quint32 version = m_runner->model().firmwareVersion();
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
