#pragma once

// An in-process HID bus for tests and the demo. It implements HidPlatform over
// virtual devices that a model (e.g. the virtual hub) plugs, unplugs and
// re-enumerates. Output reports written by the HID classes reach the model's
// handler; the model answers by queueing input reports, which travel through
// the same read path and read thread as reports from a real device.
//
// Threading:
// - plug/unplug/reenumerate/setAccess/queueInput may be called from any thread.
//   Each bus change posts a HidDeviceChangeEvent(DBT_DEVNODES_CHANGED, 0) to
//   every notification sink.
// - The output handler runs synchronously on the thread that wrote the report
//   (the UI thread in the program), before the write returns. The bus holds no
//   lock while it runs, so the handler may call queueInput, unplug, plug or
//   reenumerate, including for its own device. It must not block waiting for
//   the UI thread.
// - queueInput copies the report into the queue of every handle of the device
//   opened for reading; a handle's queue holds at most its input buffer count
//   (default 32), the oldest report is dropped when full. Reports queued while
//   no handle is open are dropped, as a real device's would be.

#include "HidPlatform.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

struct VirtualHidDeviceSetup {
    quint16 vendorId = 0;
    quint16 productId = 0;
    quint16 version = 0;
    QByteArray reportDescriptor; // parsed like a real one for the report lengths
    QString name;                // product name (description, friendly name)
    QString manufacturer;
    QString serial; // empty: the device has no serial number
    // Where it is plugged in; stays across restarts. Empty: the bus names a
    // port of its own per device ("virtual-<id>").
    QString port;
    bool readWriteAccess = true; // false: only the query-only open succeeds (EACCES)
};

using VirtualDeviceId = int;

// Called with each output report as written (report id first).
using VirtualOutputHandler = std::function<void(const QByteArray& report)>;

class VirtualHidBus : public HidPlatform {
public:
    VirtualHidBus();
    ~VirtualHidBus() override;
    VirtualHidBus(const VirtualHidBus&) = delete;
    VirtualHidBus& operator=(const VirtualHidBus&) = delete;

    bool isInProcess() const override { return true; }

    // Device side -------------------------------------------------------

    // Attaches a device; returns its id (stable across reenumerate).
    VirtualDeviceId plug(const VirtualHidDeviceSetup& setup, VirtualOutputHandler handler = {});
    // Detaches it: open handles fail from now on; a read waiting on it
    // completes with an error once its queued reports are taken. False when
    // the device is not attached.
    bool unplug(VirtualDeviceId id);
    // Detaches and re-attaches it at once under a new instance number and path.
    bool reenumerate(VirtualDeviceId id);
    // Attaches a detached device again (new instance number), same setup and handler.
    bool replug(VirtualDeviceId id);
    // The serial number the device reports from its next enumeration on.
    bool setSerial(VirtualDeviceId id, const QString& serial);
    // Grants or withdraws read-write access for later opens.
    bool setAccess(VirtualDeviceId id, bool readWrite);
    // Queues one input report (report id, then the data bytes) to the device's
    // readers. False when the device is not attached.
    bool queueInput(VirtualDeviceId id, quint8 reportId, const QByteArray& data);
    bool queueInput(VirtualDeviceId id, const QByteArray& reportWithId);
    bool isPlugged(VirtualDeviceId id) const;
    quint32 instanceNumber(VirtualDeviceId id) const; // 0 when detached
    int openHandleCount(VirtualDeviceId id) const;
    // Reports queued on the device's read handles and not yet read.
    int queuedInputCount(VirtualDeviceId id) const;

    // Bus-wide knobs for tests ------------------------------------------

    // Makes library loading fail (as with a missing device-setup library).
    void setLibrariesAvailable(bool available);
    // Makes the detail of the interface at this enumeration index unreadable.
    void setUnreadableDetailIndex(int index);

    // HidPlatform ---------------------------------------------------------
    bool loadSetupLibrary() override;
    void unloadSetupLibrary() override;
    bool loadHidLibrary() override;
    void unloadHidLibrary() override;
    bool hidLibraryLoaded() const override;
    QUuid hidGuid() const override;
    std::unique_ptr<HidDeviceSet> getClassDevices(const QUuid& classGuid) override;
    HidHandle open(const QString& path, HidAccess access) override;
    void close(HidHandle handle) override;
    bool getAttributes(HidHandle handle, HIDD_ATTRIBUTES& attributes) override;
    HidPreparsedData* getPreparsedData(HidHandle handle) override;
    bool setNumInputBuffers(HidHandle handle, quint32 count) override;
    bool getNumInputBuffers(HidHandle handle, quint32& count) override;
    bool write(HidHandle handle, const quint8* buffer, quint32 length, quint32& written) override;
    std::unique_ptr<HidReadRequest> createReadRequest() override;
    bool beginRead(HidHandle handle, HidReadRequest& request, quint8* buffer, quint32 length) override;
    HidReadWait awaitRead(HidReadRequest& request, int sliceMs) override;
    bool completedReadLength(HidReadRequest& request, quint32& bytes) override;
    bool cancelRead(HidReadRequest& request) override;
    quint32 lastError() const override;
    void addNotificationSink(QObject* sink) override;
    void removeNotificationSink(QObject* sink) override;

    // Counters for tests and benchmarks.
    int setNumInputBuffersCalls() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
