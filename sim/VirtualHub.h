#pragma once

// The virtual hub on the virtual HID bus: vendor 0xFFF0, product 0x0018, 64-byte
// input and output reports without report ids. Requests written to it reach
// the hub model on the writer's thread; replies, restarts and unsolicited
// reports are carried out by a scheduler thread of its own, so nothing here
// blocks the writer for more than the modelled USB frame or needs the UI
// thread's event loop. Signals are always emitted on the hub's own thread.

#include "HubModel.h"
#include "HubTrace.h"
#include "SimScheduler.h"
#include "VirtualHidBus.h"

#include <QByteArray>
#include <QObject>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

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
    hubsim::HubModel& model() { return m_model; }
    hubsim::HubTrace& trace() { return m_trace; }

    bool plug(); // attaches (again); finishes a restart cut short by an unplug
    bool unplug();
    bool isPlugged() const;
    VirtualDeviceId deviceId() const; // -1 before the first plug

    hubsim::HubMode mode() const { return m_model.mode(); }
    void setMode(hubsim::HubMode mode);
    quint32 firmwareVersion() const { return m_model.firmwareVersion(); }
    void setFirmwareVersion(quint32 version);
    hubsim::HubFaults faults() const { return m_model.faults(); }
    void setFaults(const hubsim::HubFaults& faults);
    // The serial number it reports ("VH0001" unless set); empty: none, so the
    // program knows it by its port only. Takes effect at the next enumeration.
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
    struct Gate;

    void onOutputReport(const QByteArray& report);
    void deliver(const hubsim::Bytes& report);
    void leaveBus(quint64 session, std::optional<std::chrono::milliseconds> backAfter,
                  hubsim::SimScheduler::Clock::time_point giveUpAt);
    void comeBack(quint64 session);
    void unsolicitedTick(quint64 generation);
    void announcePlugged(bool isPlugged);
    void announceState();

    VirtualHidBus& m_bus;
    hubsim::HubModel m_model;
    hubsim::HubTrace m_trace;
    std::shared_ptr<Gate> m_gate;

    mutable std::mutex m_mutex; // guards the bus attachment below and orders bus calls
    VirtualDeviceId m_id = -1;
    bool m_plugged = false;
    QString m_serial = QStringLiteral("VH0001");
    quint64 m_session = 0; // bumped by every plug/unplug by hand: stale restarts are dropped
    quint64 m_unsolicitedGeneration = 0;

    // What the signals last told (hub's thread only).
    hubsim::HubMode m_shownMode;
    quint32 m_shownVersion;

    std::unique_ptr<hubsim::SimScheduler> m_scheduler;
};

Q_DECLARE_METATYPE(hubsim::HubMode)
