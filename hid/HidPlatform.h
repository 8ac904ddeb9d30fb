#pragma once

// The one seam between the HID classes and the system. Everything the
// controller, the devices and the read threads need from the platform goes
// through HidPlatform, so the Linux binding (hidraw + libudev), the Windows
// binding (SetupAPI + HID.dll) and the in-process virtual bus are
// interchangeable.

#include <QEvent>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <QVariant>
#include <QtGlobal>

#include <memory>

class QObject;

// An open device handle. Opaque to callers; InvalidHidHandle when closed.
using HidHandle = qintptr;
constexpr HidHandle InvalidHidHandle = -1;

// Platform error codes are the system's own: errno values on Linux and for the
// virtual bus (EACCES, ENOENT, EIO, ...), Windows error codes on Windows.
constexpr quint32 ERROR_INSUFFICIENT_BUFFER = 122;

// Device-change kind broadcast when devices are added or removed.
constexpr int DBT_DEVNODES_CHANGED = 7;

#pragma pack(push, 4)
struct HIDD_ATTRIBUTES {
    quint32 Size = 0;
    quint16 VendorID = 0;
    quint16 ProductID = 0;
    quint16 VersionNumber = 0;
};
#pragma pack(pop)
static_assert(sizeof(HIDD_ATTRIBUTES) == 12);

// Same field layout as the 64-byte capability record of the HID class driver;
// the bindings without that driver fill only the usage and the report byte
// lengths (getCaps).
struct HIDP_CAPS {
    quint16 Usage = 0;
    quint16 UsagePage = 0;
    quint16 InputReportByteLength = 0;
    quint16 OutputReportByteLength = 0;
    quint16 FeatureReportByteLength = 0;
    quint16 Reserved[17] = {};
    quint16 NumberLinkCollectionNodes = 0;
    quint16 NumberInputButtonCaps = 0;
    quint16 NumberInputValueCaps = 0;
    quint16 NumberInputDataIndices = 0;
    quint16 NumberOutputButtonCaps = 0;
    quint16 NumberOutputValueCaps = 0;
    quint16 NumberOutputDataIndices = 0;
    quint16 NumberFeatureButtonCaps = 0;
    quint16 NumberFeatureValueCaps = 0;
    quint16 NumberFeatureDataIndices = 0;
};
static_assert(sizeof(HIDP_CAPS) == 64);

// The device's parsed report descriptor. Owned by whoever fetched it until it
// is handed back with HidPlatform::freePreparsedData.
struct HidPreparsedData {
    quint16 usagePage = 0;
    quint16 usage = 0;
    quint16 inputReportByteLength = 0;
    quint16 outputReportByteLength = 0;
    quint16 featureReportByteLength = 0;
    bool numberedReports = false;
};

// Setup property codes (registry property numbers of the device-setup
// library); the values the bindings fill are QString (text), QStringList
// (list) or quint32 (number).
namespace HidProperty {
enum Code : quint32 {
    DeviceDesc = 0,
    HardwareId = 1,
    CompatibleIds = 2,
    Service = 4,
    Class = 7,
    ClassGuid = 8,
    Driver = 9,
    ConfigFlags = 10,
    Mfg = 11,
    FriendlyName = 12,
    LocationInformation = 13,
    PhysicalDeviceObjectName = 14,
    Capabilities = 15,
    UiNumber = 16,
    UpperFilters = 17,
    LowerFilters = 18,
    BusTypeGuid = 19,
    LegacyBusType = 20,
    BusNumber = 21,
    EnumeratorName = 22,
    SecurityDescriptorString = 24,
    DevType = 25,
    Exclusive = 26,
    Characteristics = 27,
    Address = 28,
    Property30 = 30,
};
}
using HidPropertyMap = QHash<quint32, QVariant>;

// What enumeration learned about one present HID interface.
struct HidInterfaceDetail {
    quint32 instanceNumber = 0; // unique per attach, new after a replug
    QString path;               // every open of the device uses it
    HidPropertyMap properties;  // snapshot of the setup properties the platform has
    // What tells one device from another of the same kind: its serial number
    // (empty when it has none) and where it is plugged in. Both stay the same
    // across the device's restarts, unlike the instance number and the path.
    QString serialNumber;
    QString port;
};

// A snapshot of the present HID interfaces of one class.
class HidDeviceSet {
public:
    virtual ~HidDeviceSet() = default;
    // True when an interface exists at index; false after the last one.
    virtual bool enumInterface(int index) = 0;
    // Path, instance number and properties of the interface at index; false
    // when they cannot be read (the caller moves on to the next index).
    virtual bool interfaceDetail(int index, HidInterfaceDetail& detail) = 0;
};

enum class HidAccess {
    ReadWrite, // normal open for writes and attribute queries
    None,      // query only: attributes and descriptor, no reports
    Read,      // the read thread's handle
};

// One outstanding read. Created per read thread; the platform keeps whatever
// it needs in it so that closing the handle the read was started on does not
// pull the file out from under a waiting thread.
class HidReadRequest {
public:
    virtual ~HidReadRequest() = default;
    // Wakes a thread blocked in HidPlatform::awaitRead at once. Any thread.
    virtual void interrupt() = 0;
};

enum class HidReadWait {
    TimedOut,    // the slice ran out, the read is still outstanding
    Completed,   // the read finished (successfully or not): see completedReadLength
    Interrupted, // interrupt() was called
};

// Posted to every notification sink when devices were added or removed; the
// controller posts the same event to itself once at creation (parameter -1).
class HidDeviceChangeEvent : public QEvent {
public:
    static QEvent::Type eventType();
    HidDeviceChangeEvent(int kind, qintptr param) : QEvent(eventType()), m_kind(kind), m_param(param) {}
    int kind() const { return m_kind; }
    qintptr param() const { return m_param; }

private:
    int m_kind;
    qintptr m_param;
};

class HidPlatform {
public:
    virtual ~HidPlatform();

    // A bus inside this program: its devices are no other program's.
    virtual bool isInProcess() const { return false; }

protected:
    // Preparsed data from a report descriptor; nullptr when it does not parse.
    static HidPreparsedData* preparsedFromDescriptor(const QByteArray& descriptor);

public:
    // Library loading. The device-setup library counts its uses; the HID
    // library is simply loaded or not. A library that is missing or lacks an
    // entry point counts as not loaded: no devices, no message.
    virtual bool loadSetupLibrary() = 0;
    virtual void unloadSetupLibrary() = 0;
    virtual bool loadHidLibrary() = 0;
    virtual void unloadHidLibrary() = 0;
    virtual bool hidLibraryLoaded() const = 0;
    virtual QUuid hidGuid() const = 0;

    // Present interfaces of the class; nullptr when no set can be had.
    virtual std::unique_ptr<HidDeviceSet> getClassDevices(const QUuid& classGuid) = 0;

    // Open by interface path; InvalidHidHandle on failure (lastError() tells
    // why, e.g. EACCES when the user may not open the node read-write).
    virtual HidHandle open(const QString& path, HidAccess access) = 0;
    virtual void close(HidHandle handle) = 0;

    virtual bool getAttributes(HidHandle handle, HIDD_ATTRIBUTES& attributes) = 0;
    // nullptr when the descriptor cannot be had.
    virtual HidPreparsedData* getPreparsedData(HidHandle handle) = 0;
    virtual void freePreparsedData(HidPreparsedData* data);
    // Fills caps from the preparsed data; false (caps untouched) for nullptr.
    virtual bool getCaps(const HidPreparsedData* data, HIDP_CAPS& caps);

    // Input report queue length per handle (2..512, default 32).
    virtual bool setNumInputBuffers(HidHandle handle, quint32 count) = 0;
    virtual bool getNumInputBuffers(HidHandle handle, quint32& count) = 0;

    // One synchronous output report, report id byte first.
    virtual bool write(HidHandle handle, const quint8* buffer, quint32 length, quint32& written) = 0;

    // Reads: start one read into buffer, wait for it in slices, take its
    // result, or cancel it. A read always yields the report id first (0 for
    // devices without numbered reports). The request must outlive the read.
    virtual std::unique_ptr<HidReadRequest> createReadRequest() = 0;
    virtual bool beginRead(HidHandle handle, HidReadRequest& request, quint8* buffer, quint32 length) = 0;
    // With no read outstanding it only waits for interrupt() or the slice's end.
    virtual HidReadWait awaitRead(HidReadRequest& request, int sliceMs) = 0;
    // Byte count of the finished read; false when it failed (lastError()).
    virtual bool completedReadLength(HidReadRequest& request, quint32& bytes) = 0;
    // Cancels the outstanding read; false when there is none.
    virtual bool cancelRead(HidReadRequest& request) = 0;

    // Error code of the last failed call on the calling thread.
    virtual quint32 lastError() const = 0;
    // Whether an I/O error says the device has left. Its entry then counts as
    // unplugged at the next pass even if the same interface is back by then.
    // Where a departure always comes with a new instance there is no need.
    virtual bool deviceGoneError(quint32 error) const;
    // Whether an open failed because this user may not open the device.
    virtual bool accessDeniedError(quint32 error) const;

    // Device-change notifications: a HidDeviceChangeEvent(DBT_DEVNODES_CHANGED,
    // 0) is posted (never sent) to every sink after devices came or went. A
    // sink lives on its controller's thread; remove a sink before destroying it.
    virtual void addNotificationSink(QObject* sink) = 0;
    virtual void removeNotificationSink(QObject* sink) = 0;

protected:
    // Per-thread error slot shared by the bindings.
    static void setThreadLastError(quint32 error);
    static quint32 threadLastError();
};
