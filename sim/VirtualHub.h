#pragma once

// The virtual hub on the virtual HID bus: vendor 0xFFF0, product 0x0018, 64-byte
// input and output reports without report ids. The bus is the transport of a
// HubRunner: requests reach the hub model on the writer's thread; replies,
// restarts and unsolicited reports come from the runner's scheduler thread,
// so nothing here blocks the writer for more than the modelled USB frame or
// needs the UI thread's event loop. Signals are always emitted on the hub's
// own thread.

#include "HubRunner.h"
#include "HubSetup.h"
#include "VirtualHidBus.h"

#include <QByteArray>
#include <QObject>

#include <memory>

class VirtualHub : public QObject {
    Q_OBJECT
public:
    static constexpr quint16 VendorId = 0xFFF0;
    static constexpr quint16 ProductId = 0x0018;

    explicit VirtualHub(VirtualHidBus& bus, QObject* parent = nullptr);
    ~VirtualHub() override; // leaves the bus

    // 64-byte input and output reports, vendor usage page 0xFF00, no report ids.
    static QByteArray reportDescriptor();
    static VirtualHidDeviceSetup deviceSetup();

    // Direct access for tests; the setters below also announce what changed.
    hubsim::HubModel& model() { return m_runner->model(); }
    hubsim::HubTrace& trace() { return m_runner->trace(); }

    // Takes the whole setup at once; before the first plug, it is how the hub starts.
    void apply(const hubsim::HubSetup& setup);

    bool plug(); // attaches (again); finishes a restart cut short by an unplug
    bool unplug();
    bool isPlugged() const;
    VirtualDeviceId deviceId() const; // -1 before the first plug

    hubsim::HubMode mode() const { return m_runner->model().mode(); }
    void setMode(hubsim::HubMode mode);
    quint32 firmwareVersion() const { return m_runner->model().firmwareVersion(); }
    void setFirmwareVersion(quint32 version);
    hubsim::HubFaults faults() const { return m_runner->faults(); }
    void setFaults(const hubsim::HubFaults& faults);
    // The serial number it reports ("VH0001" unless set); empty, or the
    // noSerial fault: none, so the program knows it by its port only. Takes
    // effect at the next enumeration.
    QString serial() const;
    void setSerial(const QString& serial);
    // Time off the bus after entering the bootloader and after a reboot.
    void setRestartDelays(int bootloaderEntryMs, int rebootMs);

    // Sends one unsolicited report now; false when off the bus.
    bool sendUnsolicited();

signals:
    void plugged();
    void unplugged();
    void modeChanged(hubsim::HubMode mode);
    void versionChanged(quint32 version);
    void traceAppended(qint64 timeNs, bool fromHub, const QByteArray& bytes);

private:
    class BusTransport;

    void onEvent(const hubsim::HubEvent& event);
    void announceState();

    std::unique_ptr<BusTransport> m_transport;
    std::unique_ptr<hubsim::HubRunner> m_runner;

    // What the signals last told (hub's thread only).
    hubsim::HubMode m_shownMode;
    quint32 m_shownVersion;
};

Q_DECLARE_METATYPE(hubsim::HubMode)
