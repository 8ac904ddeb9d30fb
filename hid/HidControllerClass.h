#pragma once

// The HID device controller, the device objects it lends out, their PnP
// information and the read thread that hands input reports to the UI thread.
//
// Ownership: the controller owns every device in its list that is not checked
// out. CheckOutNext/CheckOutAt hand a device out in a CheckedOutDevice, which
// gives it back when the holder lets go of it (the check-in): the controller
// puts a fresh object for the same device into the list slot, or drops the
// entry when the device is gone. Nobody else destroys a device. The platform
// passed to the controller must outlive the controller and every device still
// checked out.
//
// Threads: everything runs on the UI thread except the read loop. A report is
// handed to the UI thread synchronously (the reader waits until the data
// handler returned), so the handler must copy what it needs; a device set to
// deliver on its read thread (SetDeliverOnReadThread) calls the handler there. A data handler
// must not give back its own device or clear its own data handler.
// Threads that each hold devices of their own may share one controller
// (FreshPass): passes, check-outs and check-ins take one lock, a pass may
// close a device that left while its holder writes to it, and the
// controller outlives every holder.

#include "CheckedOutDevice.h"
#include "HidPlatform.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QUuid>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <type_traits>
#include <typeinfo>
#include <vector>

class THidDevice;
class THidDeviceController;
class THidDeviceReadThread;

// Raised only while a device object is created; the enumeration swallows it.
class EControllerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An object-bound callback. It counts as set when its function part is
// present; two handlers compare equal when their function parts do, whatever
// object they are bound to.
template <typename Signature> class THidHandler;

template <typename R, typename... Args> class THidHandler<R(Args...)> {
public:
    using Function = std::function<R(Args...)>;

    THidHandler() = default;
    THidHandler(std::nullptr_t) {}

    // A member function bound to an object: the usual form.
    template <typename Obj>
    THidHandler(Obj* object, R (Obj::*method)(Args...))
        : m_object(object), m_fn([object, method](Args... args) -> R { return (object->*method)(args...); }) {
        m_key.set(method);
    }

    // Any callable under an explicit key that stands for its function part
    // (e.g. the address of a static function or a tag object).
    THidHandler(const void* key, Function fn, void* object = nullptr)
        : m_object(object), m_fn(std::move(fn)) {
        if (!key || !m_fn)
            return;
        m_key.set(key);
    }

    bool isSet() const { return m_key.type != nullptr; }
    explicit operator bool() const { return isSet(); }
    void* object() const { return m_object; }

    R operator()(Args... args) const { return m_fn(args...); }

    friend bool operator==(const THidHandler& a, const THidHandler& b) { return a.m_key == b.m_key; }

private:
    // The function part, compared as its own type: a member pointer's bytes
    // may hold padding (MSVC) or several encodings of one function.
    struct Key {
        const std::type_info* type = nullptr;
        alignas(std::max_align_t) std::array<unsigned char, 2 * sizeof(void*)> bytes{};
        bool (*equal)(const unsigned char*, const unsigned char*) = nullptr;

        template <typename T> void set(T value) {
            static_assert(sizeof(T) <= sizeof(bytes) && std::is_trivially_copyable_v<T>);
            type = &typeid(T);
            std::memcpy(bytes.data(), &value, sizeof(T));
            equal = [](const unsigned char* a, const unsigned char* b) {
                T left;
                T right;
                std::memcpy(&left, a, sizeof(T));
                std::memcpy(&right, b, sizeof(T));
                return left == right;
            };
        }
        bool operator==(const Key& other) const {
            if (!type || !other.type)
                return type == other.type;
            return *type == *other.type && equal(bytes.data(), other.bytes.data());
        }
    };
    Key m_key;
    void* m_object = nullptr;
    Function m_fn;
};

using THidDataEvent =
    THidHandler<void(THidDevice* HidDev, quint8 ReportID, const quint8* Data, quint16 Size)>;
using THidPlugEvent = THidHandler<void(THidDevice* HidDev)>;
using THidEnumerateEvent = THidHandler<bool(THidDevice* HidDev, int Idx)>;
using THidDataErrorEvent = THidHandler<void(THidDevice* HidDev, quint32 Error)>;
using TNotifyEvent = THidHandler<void(QObject* Sender)>;

// What the enumeration learned about one interface. Owned by its device.
class THidPnPInfo {
public:
    explicit THidPnPInfo(const HidInterfaceDetail& detail);

    quint32 InstanceNumber = 0;
    QString InterfacePath;
    // Empty when the device has none.
    QString SerialNumber;
    // Where the device is plugged in (Linux: HID_PHYS; Windows: its instance path).
    QString Port;
};

class THidDevice {
public:
    // Opens and identifies the interface; throws EControllerError ("device
    // cannot be opened" / "device cannot be identified"). Leaves no handle open.
    THidDevice(std::unique_ptr<THidPnPInfo> pnpInfo, THidDeviceController* controller);
    THidDevice(const THidDevice&) = delete;
    THidDevice& operator=(const THidDevice&) = delete;

    bool OpenSync();
    void CloseSync();
    bool OpenRead();
    void CloseRead();
    void SetInputBufferCount(int count);
    void SetReadBufferCount(int count);
    void SetSleepTime(int ms); // kept only within 10..10000
    void QueryCaps(HIDP_CAPS& caps);
    bool WriteReport(const void* buffer, int length, quint32& written);
    bool BeginRead(quint8* buffer, quint32 length);
    quint32 CompletedReadLength();
    bool CancelRead();
    void SetDataHandler(const THidDataEvent& handler);
    // Calls the data handler on the read thread itself instead of handing each
    // report to the thread that checked the device out: for a holder that
    // takes reports under a lock of its own and waits on it, so that a report
    // costs one wake-up and no event-loop round trip. caughtUp runs there too,
    // after CaughtUpNs moved on. A running reader is restarted; while it runs
    // in this way, the handlers are changed only through SetDataHandler.
    void SetDeliverOnReadThread(bool direct, std::function<void()> caughtUp = {});
    bool DeliversOnReadThread() const { return m_deliverOnReadThread; }
    void StartReader();
    void StopReader();
    void MarkUnplugged();

    THidDeviceController* Controller() const { return m_controller; }
    bool Plugged() const { return m_plugged.load(); }
    bool CheckedOut() const { return m_checkedOut.load(); }
    bool InHandler() const { return m_inHandler.load(); }
    bool Accessible() const { return Plugged() && (CheckedOut() || InHandler()); }
    const HIDD_ATTRIBUTES& Attributes() const { return m_attributes; }
    const THidPnPInfo* PnPInfo() const { return m_pnpInfo.get(); }
    int InputBufferCount() const { return m_inputBufferCount; }
    int ReadBufferCount() const;
    int SleepTime() const { return m_sleepTime.load(); }
    const THidDataEvent& DataHandler() const { return m_dataHandler; }
    const THidDataErrorEvent& DataErrorHandler() const { return m_dataErrorHandler; }
    const THidPlugEvent& UnplugHandler() const { return m_unplugHandler; }
    bool ReadWriteAccess() const { return m_readWriteAccess; }
    // Error of the last failed read-write open (e.g. EACCES: the user may not
    // open the device; the udev rule fixes that), 0 after a successful one.
    quint32 OpenError() const { return m_openError; }
    // True when read-write access is refused and that is final: the refusal
    // is not a permission one, or it outlasted the time a desktop's access
    // list takes to arrive after the node. Until then passes keep trying.
    bool AccessSettled() const;
    THidDeviceReadThread* Reader() const { return m_reader.get(); }
    bool SyncHandleOpen() const;
    bool ReadHandleOpen() const;

    // This device's own handlers, in place of the controller's.
    void setDataErrorHandler(const THidDataErrorEvent& handler) { m_dataErrorHandler = handler; }
    void setUnplugHandler(const THidPlugEvent& handler) { m_unplugHandler = handler; }

private:
    friend class THidDeviceController;
    friend class THidDeviceReadThread;
    friend class CheckedOutDevice;

    // Only the controller destroys a device (the holder's CheckedOutDevice
    // goes through it): stops the reader and gives back handles and data.
    ~THidDevice();
    void releaseResources();

    HidHandle openInterface(HidAccess access);
    bool openSyncLocked();
    void closeSyncLocked();
    bool openReadLocked();
    void closeReadLocked();
    HidReadRequest* readRequest() const { return m_readRequest.get(); }
    void noteIoFailure();

    HidPlatform* m_platform;
    THidDeviceController* m_controller;
    std::atomic<bool> m_plugged{true};
    std::atomic<bool> m_ioGone{false}; // its I/O failed because the device left
    std::atomic<bool> m_checkedOut{false};
    std::atomic<bool> m_inHandler{false};
    HidHandle m_syncHandle = InvalidHidHandle; // guarded by m_syncMutex
    HidHandle m_readHandle = InvalidHidHandle; // guarded by m_readMutex
    HIDD_ATTRIBUTES m_attributes;
    std::unique_ptr<THidPnPInfo> m_pnpInfo;
    HidPreparsedData* m_preparsedData = nullptr; // guarded by m_syncMutex
    std::atomic<int> m_inputBufferCount{0};
    int m_readBufferCount = 0; // guarded by m_readMutex
    std::atomic<int> m_sleepTime{100};
    THidDataEvent m_dataHandler;
    THidDataErrorEvent m_dataErrorHandler;
    // Fixed while a reader runs (see SetDeliverOnReadThread).
    bool m_deliverOnReadThread = false;
    std::function<void()> m_caughtUp;
    THidPlugEvent m_unplugHandler;
    std::atomic<bool> m_readWriteAccess{false};
    std::atomic<quint32> m_openError{0};
    std::unique_ptr<THidDeviceReadThread> m_reader;
    std::unique_ptr<HidReadRequest> m_readRequest;
    // Serialises the read handle between the UI thread (open, close on
    // unplug) and the read loop (open, start of a read).
    mutable std::mutex m_readMutex;
    // Serialises the sync handle between its holder (writes) and a pass on
    // another thread of a shared controller (close on unplug).
    mutable std::mutex m_syncMutex;
};

// The monotonic clock of the reports' arrival stamps, in nanoseconds.
qint64 HidMonotonicNs();

class THidDeviceReadThread : public QThread {
    Q_OBJECT
public:
    explicit THidDeviceReadThread(THidDevice* device);
    ~THidDeviceReadThread() override;

    // UI thread: asks the loop to end, wakes it at once and waits for its end,
    // running a delivery that is waiting for the UI thread meanwhile.
    void stopAndWait();
    // UI thread: runs a hand-over that is waiting now, before its queued
    // event would; true when there was one.
    bool TakePendingDelivery();

    quint32 LastError = 0;
    quint32 BytesRead = 0;
    // When the report now being delivered was read (HidMonotonicNs), so that
    // a data handler can tell reports that came before a request it sent.
    qint64 ArrivedNs = 0;
    // Last moment the thread had read everything that had come in by then:
    // a report sent earlier is stamped already, and waits to be handed over
    // (TakePendingDelivery) unless it was.
    std::atomic<qint64> CaughtUpNs{0};
    std::vector<quint8> ReportBuffer;

protected:
    void run() override;
    bool event(QEvent* e) override;

private:
    enum class Delivery { None, Data, Error, Running };
    void deliver(Delivery kind); // read thread: hand over and wait
    void runPendingDelivery();   // UI thread
    void callHandler(Delivery kind);
    void pauseAfterFailure(int ms); // read thread: interruptible
    void caughtUp(qint64 lookedAt); // read thread

    THidDevice* m_device;
    quint16 m_inputLength = 0;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    Delivery m_pending = Delivery::None;
    bool m_finished = false;
    std::atomic<bool> m_stop{false};
};

class THidDeviceController : public QObject {
    Q_OBJECT
public:
    // The programs pass the system's binding (createNativeHidPlatform), tests
    // and the demo the virtual bus. The platform must outlive the controller.
    THidDeviceController(QObject* owner, HidPlatform& platform);
    ~THidDeviceController() override;

    void setOnArrival(const THidPlugEvent& handler) { m_onArrival = handler; }
    void setOnEnumerate(const THidEnumerateEvent& handler) { m_onEnumerate = handler; }
    void setOnDeviceChange(const TNotifyEvent& handler);
    const THidDataEvent& OnDeviceData() const { return m_onDeviceData; }
    void setOnDeviceData(const THidDataEvent& handler);
    void setOnDeviceDataError(const THidDataErrorEvent& handler);
    const THidPlugEvent& OnDeviceUnplug() const { return m_onDeviceUnplug; }
    void setOnDeviceUnplug(const THidPlugEvent& handler);
    void setOnRemoval(const THidPlugEvent& handler) { m_onRemoval = handler; }

    // One full device-change pass.
    void DeviceChange();
    // For threads that share the controller, each holding devices of its
    // own: a pass that began after this call (this thread's, or one that
    // another thread ran meanwhile, so that waiting threads share one), and
    // the list as that pass left it, locked until the lock returned goes.
    std::unique_lock<std::recursive_mutex> FreshPass();
    // Taken by every pass, check-out and check-in; another thread than the
    // controller's holds it while it reads the list.
    std::recursive_mutex& ListLock() const { return m_lock; }
    // Queues a pass as a notification would. Any thread.
    void PostDeviceChange();
    // Hand a device out into the holder's CheckedOutDevice, which gives it
    // back. A device it held before goes back once the new one is taken.
    // CheckOutNext empties it first; a failed CheckOutAt leaves it untouched.
    bool CheckOutNext(CheckedOutDevice& device);
    bool CheckOutAt(CheckedOutDevice& device, int position);
    int EnumerateDevices();

    int CheckedInCount() const { return m_checkedInCount; }
    int CheckedOutCount() const { return m_checkedOutCount; }
    int UnpluggedCount() const { return m_unpluggedCount; }
    bool PassRunning() const { return m_passRunning; }
    int LastNotifyParam() const { return m_lastNotifyParam; }
    // A notification-started pass has run (the first is posted at creation),
    // so the list holds what was present when the controller was made. Stays
    // true; true at once without a notification window (no pass will come).
    bool FirstPassDone() const { return m_firstPassDone; }
    int count() const { return int(m_devices.size()); }
    THidDevice* deviceAt(int position) const { return m_devices.value(position); }
    HidPlatform& platform() const { return *m_platform; }

signals:
    // A handler raised inside a notification-started pass; the pass ended
    // there and the next notification starts a new one.
    void handlerFailed(const QString& message);

private:
    friend class THidDevice;
    friend class CheckedOutDevice;
    class NotificationWindow;

    // The check-in of a device its holder let go of.
    void takeBack(THidDevice* device);

    QList<THidDevice*> BuildDeviceList();
    void handleNotification(int kind, qintptr param);
    // Notes devices refused for lack of permission and plans a retry pass
    // while one may still gain access; true when a refusal became final.
    bool reviewRefusals();
    bool refusalSettled(const THidDevice& device) const;

    struct Refusal {
        qint64 sinceMs = 0;
        bool settled = false;
    };

    HidPlatform* m_platform;
    QUuid m_hidClassGuid;
    THidPlugEvent m_onArrival;
    TNotifyEvent m_onDeviceChange;
    THidEnumerateEvent m_onEnumerate;
    THidDataEvent m_onDeviceData;
    THidDataErrorEvent m_onDeviceDataError;
    THidPlugEvent m_onDeviceUnplug;
    THidPlugEvent m_onRemoval;
    QList<THidDevice*> m_devices;
    int m_checkedInCount = 0;
    int m_checkedOutCount = 0;
    int m_unpluggedCount = 0;
    bool m_passRunning = false;
    int m_lastNotifyParam = 0;
    bool m_firstPassDone = false;
    bool m_destroying = false;
    bool m_setupLoaded = false;
    QObject* m_notificationWindow = nullptr;
    QHash<QString, Refusal> m_refusals; // by node and instance
    QElapsedTimer m_clock;
    bool m_retryQueued = false;
    mutable std::recursive_mutex m_lock;
    std::atomic<quint64> m_passesBegun{0};
};
