#include "HidControllerClass.h"
#include "ThreadHandOff.h"

#include <QCoreApplication>
#include <QDebug>
#include <QEvent>
#include <QMetaMethod>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <utility>

namespace {

const QUuid StandardHidClassGuid(0x4D1E55B2, 0xF16F, 0x11CF, 0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30);

QEvent::Type deliveryEventType() {
    static const int type = QEvent::registerEventType();
    return QEvent::Type(type);
}

// Sets a device's InHandler for the length of a handler call, also when the
// handler raises. A holder may release the device inside the handler; the
// flag went with it then and must not be written.
class InHandlerScope {
public:
    InHandlerScope(std::atomic<bool>& flag, const QList<THidDevice*>& list, const THidDevice* device)
        : m_flag(flag), m_list(list), m_device(device) {
        m_flag = true;
    }
    ~InHandlerScope() {
        if (m_list.contains(m_device))
            m_flag = false;
    }
    InHandlerScope(const InHandlerScope&) = delete;
    InHandlerScope& operator=(const InHandlerScope&) = delete;

private:
    std::atomic<bool>& m_flag;
    const QList<THidDevice*>& m_list;
    const THidDevice* m_device;
};

} // namespace

// ---------------------------------------------------------------------------
// THidPnPInfo

THidPnPInfo::THidPnPInfo(const HidInterfaceDetail& detail)
    : InstanceNumber(detail.instanceNumber), InterfacePath(detail.path), SerialNumber(detail.serialNumber),
      Port(detail.port) {}

namespace {

// A driver rebind keeps the hid instance but makes a new node: both must match.
bool sameInterface(const THidPnPInfo& a, const THidPnPInfo& b) {
    return a.InstanceNumber == b.InstanceNumber && a.InterfacePath == b.InterfacePath;
}

QString interfaceKey(const THidPnPInfo& info) {
    return QString::number(info.InstanceNumber) + QLatin1Char(' ') + info.InterfacePath;
}

// On a desktop udev hands the seat's user the node a moment after it appears,
// later on a busy machine; a refusal within this time after the first one is
// not final.
constexpr qint64 AccessGraceMs = 5000;
constexpr int AccessRetryMs = 200;

} // namespace

// ---------------------------------------------------------------------------
// THidDevice

THidDevice::THidDevice(std::unique_ptr<THidPnPInfo> pnpInfo, THidDeviceController* controller)
    : m_platform(&controller->platform()), m_controller(controller), m_pnpInfo(std::move(pnpInfo)) {
    SetDataHandler(controller->OnDeviceData());
    m_unplugHandler = controller->OnDeviceUnplug();

    m_syncHandle = openInterface(HidAccess::ReadWrite);
    m_readWriteAccess = m_syncHandle != InvalidHidHandle;
    m_openError = m_readWriteAccess ? 0 : m_platform->lastError();
    if (!m_readWriteAccess)
        m_syncHandle = openInterface(HidAccess::None);
    if (m_syncHandle == InvalidHidHandle)
        throw EControllerError("device cannot be opened");

    m_attributes.Size = sizeof(HIDD_ATTRIBUTES);
    const bool identified = m_platform->getAttributes(m_syncHandle, m_attributes);
    CloseSync();
    if (!identified)
        throw EControllerError("device cannot be identified");
}

THidDevice::~THidDevice() {
    releaseResources();
}

void THidDevice::releaseResources() {
    SetDataHandler({});
    m_unplugHandler = {};
    CloseSync();
    CloseRead();
    std::lock_guard lock(m_syncMutex);
    if (m_preparsedData) {
        m_platform->freePreparsedData(m_preparsedData);
        m_preparsedData = nullptr;
    }
}

HidHandle THidDevice::openInterface(HidAccess access) {
    return m_platform->open(m_pnpInfo->InterfacePath, access);
}

bool THidDevice::OpenSync() {
    std::lock_guard lock(m_syncMutex);
    return openSyncLocked();
}

bool THidDevice::openSyncLocked() {
    if (Accessible() && m_syncHandle == InvalidHidHandle) {
        m_syncHandle = openInterface(HidAccess::ReadWrite);
        m_readWriteAccess = m_syncHandle != InvalidHidHandle;
        if (!m_readWriteAccess) {
            m_openError = m_platform->lastError();
            m_syncHandle = openInterface(HidAccess::None);
        } else {
            m_openError = 0;
        }
        if (m_syncHandle != InvalidHidHandle) {
            quint32 count = 0;
            if (m_platform->getNumInputBuffers(m_syncHandle, count))
                m_inputBufferCount = int(count);
        }
    }
    return m_syncHandle != InvalidHidHandle;
}

void THidDevice::CloseSync() {
    std::lock_guard lock(m_syncMutex);
    closeSyncLocked();
}

bool THidDevice::SyncHandleOpen() const {
    std::lock_guard lock(m_syncMutex);
    return m_syncHandle != InvalidHidHandle;
}

void THidDevice::closeSyncLocked() {
    if (m_syncHandle != InvalidHidHandle) {
        m_platform->close(m_syncHandle);
        m_syncHandle = InvalidHidHandle;
    }
    m_inputBufferCount = 0;
}

bool THidDevice::openReadLocked() {
    if (!Accessible())
        return false;
    if (m_readHandle == InvalidHidHandle) {
        m_readHandle = openInterface(HidAccess::Read);
        if (m_readHandle != InvalidHidHandle) {
            quint32 count = 0;
            if (m_platform->getNumInputBuffers(m_readHandle, count))
                m_readBufferCount = int(count);
        }
    }
    return m_readHandle != InvalidHidHandle;
}

void THidDevice::closeReadLocked() {
    // A read in flight keeps its own reference to the file, so closing the
    // handle here never pulls the file out from under the read loop.
    if (m_readHandle != InvalidHidHandle) {
        m_platform->close(m_readHandle);
        m_readHandle = InvalidHidHandle;
    }
    m_readBufferCount = 0;
}

bool THidDevice::OpenRead() {
    std::lock_guard lock(m_readMutex);
    return openReadLocked();
}

void THidDevice::CloseRead() {
    std::lock_guard lock(m_readMutex);
    closeReadLocked();
}

int THidDevice::ReadBufferCount() const {
    std::lock_guard lock(m_readMutex);
    return m_readBufferCount;
}

bool THidDevice::ReadHandleOpen() const {
    std::lock_guard lock(m_readMutex);
    return m_readHandle != InvalidHidHandle;
}

void THidDevice::SetInputBufferCount(int count) {
    std::lock_guard lock(m_syncMutex);
    if (count == m_inputBufferCount || !openSyncLocked())
        return;
    m_platform->setNumInputBuffers(m_syncHandle, quint32(count));
    quint32 now = 0;
    if (m_platform->getNumInputBuffers(m_syncHandle, now))
        m_inputBufferCount = int(now);
}

void THidDevice::SetReadBufferCount(int count) {
    std::lock_guard lock(m_readMutex);
    if (count == m_readBufferCount || !openReadLocked())
        return;
    m_platform->setNumInputBuffers(m_readHandle, quint32(count));
    quint32 now = 0;
    if (m_platform->getNumInputBuffers(m_readHandle, now))
        m_readBufferCount = int(now);
}

void THidDevice::SetSleepTime(int ms) {
    if (ms >= 10 && ms <= 10000)
        m_sleepTime = ms;
}

void THidDevice::QueryCaps(HIDP_CAPS& caps) {
    caps = HIDP_CAPS{};
    std::lock_guard lock(m_syncMutex);
    if (!m_preparsedData && openSyncLocked()) {
        m_preparsedData = m_platform->getPreparsedData(m_syncHandle);
        closeSyncLocked();
    }
    m_platform->getCaps(m_preparsedData, caps);
}

bool THidDevice::WriteReport(const void* buffer, int length, quint32& written) {
    written = 0;
    {
        // Held through the write: a pass on another thread may close the
        // handle of a device that left.
        std::lock_guard lock(m_syncMutex);
        if (!openSyncLocked() || length < 0)
            return false;
        if (m_platform->write(m_syncHandle, static_cast<const quint8*>(buffer), quint32(length), written))
            return true;
        noteIoFailure();
    }
    if (!m_controller)
        return false;
    if (QThread::currentThread() != m_controller->thread()) {
        // A holder on another thread than its shared controller's: the
        // notice runs there, later. Look now, as the holder's own controller
        // would by running the notice, so that a device that left counts as
        // gone before the next attempt.
        m_controller->FreshPass();
    } else if (m_ioGone.load()) {
        // Look for the device again now: its notice may have come and gone
        // while the interface still looked the same.
        m_controller->PostDeviceChange();
    }
    return false;
}

void THidDevice::noteIoFailure() {
    // The interface may come back under the same path and instance (the same
    // port); only this flag keeps the next pass from taking the dead entry for it.
    if (m_platform->deviceGoneError(m_platform->lastError()))
        m_ioGone.store(true);
}

bool THidDevice::BeginRead(quint8* buffer, quint32 length) {
    std::lock_guard lock(m_readMutex);
    if (!m_readRequest || !openReadLocked())
        return false;
    const bool ok = m_platform->beginRead(m_readHandle, *m_readRequest, buffer, length);
    if (!ok)
        noteIoFailure();
    return ok;
}

quint32 THidDevice::CompletedReadLength() {
    {
        std::lock_guard lock(m_readMutex);
        if (m_readHandle == InvalidHidHandle || !m_readRequest)
            return 0;
    }
    quint32 bytes = 0;
    if (m_platform->completedReadLength(*m_readRequest, bytes))
        return bytes;
    noteIoFailure();
    return 0;
}

bool THidDevice::CancelRead() {
    if (!m_readRequest)
        return false;
    // The request's own reference to the file must go even when the handle
    // was closed meanwhile; the result still follows the handle.
    const bool cancelled = m_platform->cancelRead(*m_readRequest);
    std::lock_guard lock(m_readMutex);
    return m_readHandle != InvalidHidHandle && cancelled;
}

void THidDevice::SetDataHandler(const THidDataEvent& handler) {
    // A reader that calls the handler itself must not see it change under it.
    if (!handler.isSet() || m_deliverOnReadThread)
        StopReader();
    m_dataHandler = handler;
    StartReader();
}

void THidDevice::SetDeliverOnReadThread(bool direct, std::function<void()> caughtUp) {
    const bool running = m_reader != nullptr;
    StopReader();
    m_deliverOnReadThread = direct;
    m_caughtUp = direct ? std::move(caughtUp) : std::function<void()>();
    if (running)
        StartReader();
}

void THidDevice::StartReader() {
    if (!m_dataHandler.isSet() || !Plugged() || !CheckedOut() || !m_readWriteAccess || m_reader)
        return;
    m_readRequest = m_platform->createReadRequest();
    if (!m_readRequest)
        return;
    // Open the read handle now rather than in the loop, so that a report the
    // device sends in answer to a write right after this call is not missed.
    OpenRead();
    m_reader = std::make_unique<THidDeviceReadThread>(this);
    m_reader->start();
}

void THidDevice::StopReader() {
    if (!m_reader)
        return;
    m_reader->stopAndWait();
    m_reader.reset();
    m_readRequest.reset();
}

void THidDevice::MarkUnplugged() {
    {
        // Cleared under the read lock before the handle goes: the reader must
        // not reopen the path in between, which may already name the node of
        // another device.
        std::lock_guard lock(m_readMutex);
        m_plugged = false;
        closeReadLocked();
    }
    CloseSync();
    // Cleared before the call: the holder may release the device inside it.
    const THidPlugEvent handler = std::exchange(m_unplugHandler, {});
    if (handler.isSet())
        handler(this);
}

// ---------------------------------------------------------------------------
// THidDeviceReadThread

qint64 HidMonotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

THidDeviceReadThread::THidDeviceReadThread(THidDevice* device) : m_device(device) {
    HIDP_CAPS caps;
    device->QueryCaps(caps);
    // The length is fixed for the thread's life: the preparsed data is
    // fetched once, so asking again in the loop could only repeat it.
    m_inputLength = caps.InputReportByteLength;
    ReportBuffer.assign(m_inputLength, 0);
}

THidDeviceReadThread::~THidDeviceReadThread() {
    if (isRunning())
        stopAndWait();
}

void THidDeviceReadThread::run() {
    HidPlatform& platform = *m_device->m_platform;
    HidReadRequest& request = *m_device->readRequest();
    bool readCompleted = true;
    while (!m_stop) {
        readCompleted = true;
        std::fill(ReportBuffer.begin(), ReportBuffer.end(), quint8(0));
        if (!m_device->BeginRead(ReportBuffer.data(), m_inputLength)) {
            LastError = platform.lastError();
            deliver(Delivery::Error);
            // A gone device fails every start; wait a slice (a stop ends the
            // wait) instead of flooding the UI thread with error deliveries.
            pauseAfterFailure(m_device->SleepTime());
            continue;
        }
        readCompleted = false;
        // The first look does not wait: what came in during the last hand-over
        // is read, and stamped, at once.
        int slice = 0;
        while (!readCompleted && !m_stop) {
            const qint64 lookedAt = HidMonotonicNs();
            const HidReadWait wait = platform.awaitRead(request, slice);
            readCompleted = wait == HidReadWait::Completed;
            if (wait == HidReadWait::TimedOut)
                caughtUp(lookedAt);
            slice = m_device->SleepTime();
        }
        if (m_stop)
            break;
        BytesRead = m_device->CompletedReadLength();
        ArrivedNs = HidMonotonicNs();
        if (BytesRead > 0) {
            deliver(Delivery::Data); // caught up once the hand-over waits
        } else {
            caughtUp(ArrivedNs);
            pauseAfterFailure(m_device->SleepTime()); // a hung-up node fails at once, every time
        }
    }
    if (!readCompleted)
        m_device->CancelRead();
    // Notify under the lock: once the waiter sees m_finished, this thread no
    // longer touches the condition variable it may destroy.
    std::lock_guard lock(m_mutex);
    m_finished = true;
    m_cv.notify_all();
}

void THidDeviceReadThread::pauseAfterFailure(int ms) {
    if (!m_stop)
        m_device->m_platform->awaitRead(*m_device->readRequest(), ms);
}

void THidDeviceReadThread::caughtUp(qint64 lookedAt) {
    CaughtUpNs.store(lookedAt, std::memory_order_release);
    if (m_device->m_deliverOnReadThread && m_device->m_caughtUp)
        m_device->m_caughtUp();
}

void THidDeviceReadThread::deliver(Delivery kind) {
    if (m_device->m_deliverOnReadThread) {
        // The holder's lock stands in for the hand-over. Caught up once the
        // handler has the report: a report behind it is read next.
        if (kind == Delivery::Data)
            CaughtUpNs.store(ArrivedNs, std::memory_order_release);
        callHandler(kind);
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_pending = kind;
        // Whoever sees the thread caught up finds this report waiting.
        if (kind == Delivery::Data)
            CaughtUpNs.store(ArrivedNs, std::memory_order_release);
        // A stopper may already be waiting: it takes the hand-over itself.
        m_cv.notify_all();
    }
    postAcrossThreads(this, new QEvent(deliveryEventType()));
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [this] { return m_pending == Delivery::None; });
}

bool THidDeviceReadThread::event(QEvent* e) {
    receivedAcrossThreads(e);
    if (e->type() == deliveryEventType()) {
        runPendingDelivery();
        return true;
    }
    return QThread::event(e);
}

void THidDeviceReadThread::runPendingDelivery() {
    Delivery kind;
    {
        std::lock_guard lock(m_mutex);
        kind = m_pending;
        if (kind != Delivery::Data && kind != Delivery::Error)
            return;
        m_pending = Delivery::Running;
    }
    // The reader is blocked until m_pending goes back to None, so the buffer
    // and counters are ours here. Release it also when the handler raises.
    struct Release {
        THidDeviceReadThread* self;
        ~Release() {
            {
                std::lock_guard lock(self->m_mutex);
                self->m_pending = Delivery::None;
            }
            self->m_cv.notify_all();
        }
    } release{this};
    callHandler(kind);
}

void THidDeviceReadThread::callHandler(Delivery kind) {
    try {
        if (kind == Delivery::Data) {
            const THidDataEvent& handler = m_device->m_dataHandler;
            if (handler.isSet())
                handler(m_device, ReportBuffer[0], ReportBuffer.data() + 1, quint16(BytesRead - 1));
        } else {
            const THidDataErrorEvent& handler = m_device->m_dataErrorHandler;
            if (handler.isSet())
                handler(m_device, LastError);
        }
    } catch (const std::exception& error) {
        qWarning("HID data handler failed: %s", error.what());
    } catch (...) {
        qWarning("HID data handler failed");
    }
}

bool THidDeviceReadThread::TakePendingDelivery() {
    {
        std::lock_guard lock(m_mutex);
        if (m_pending != Delivery::Data && m_pending != Delivery::Error)
            return false;
    }
    runPendingDelivery();
    return true;
}

void THidDeviceReadThread::stopAndWait() {
    m_stop = true;
    if (HidReadRequest* request = m_device->readRequest())
        request->interrupt();
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [this] {
                return m_finished || m_pending == Delivery::Data || m_pending == Delivery::Error;
            });
            if (m_finished)
                break;
        }
        // QThread::wait() runs no queued calls: take the reader's pending
        // hand-over here, or it would wait for us while we wait for it.
        runPendingDelivery();
    }
    wait();
}

// ---------------------------------------------------------------------------
// THidDeviceController

class THidDeviceController::NotificationWindow : public QObject {
public:
    explicit NotificationWindow(THidDeviceController* controller) : m_controller(controller) {}

protected:
    bool event(QEvent* e) override {
        receivedAcrossThreads(e); // the virtual bus posts from its devices' threads
        if (e->type() == HidDeviceChangeEvent::eventType()) {
            const auto* change = static_cast<HidDeviceChangeEvent*>(e);
            m_controller->handleNotification(change->kind(), change->param());
            return true;
        }
        return QObject::event(e);
    }

private:
    THidDeviceController* m_controller;
};

THidDeviceController::THidDeviceController(QObject* owner, HidPlatform& platform)
    : QObject(owner), m_platform(&platform) {
    m_setupLoaded = m_platform->loadSetupLibrary();
    if (m_setupLoaded)
        m_platform->loadHidLibrary();
    if (m_platform->hidLibraryLoaded()) {
        m_hidClassGuid = m_platform->hidGuid();
        m_notificationWindow = new NotificationWindow(this);
        m_platform->addNotificationSink(m_notificationWindow);
        QCoreApplication::postEvent(m_notificationWindow, new HidDeviceChangeEvent(DBT_DEVNODES_CHANGED, -1));
    } else {
        m_hidClassGuid = StandardHidClassGuid;
        m_firstPassDone = true;
    }
}

THidDeviceController::~THidDeviceController() {
    m_onDeviceChange = {};
    m_onDeviceUnplug = {};
    m_onEnumerate = {};
    if (m_notificationWindow) {
        m_platform->removeNotificationSink(m_notificationWindow);
        delete m_notificationWindow; // drops its pending notifications too
        m_notificationWindow = nullptr;
    }
    // One entry at a time: an unplug handler may give back another held
    // device, which then leaves the list (takeBack) before we reach it.
    m_destroying = true;
    while (!m_devices.isEmpty()) {
        THidDevice* device = m_devices.takeFirst();
        device->m_controller = nullptr;
        if (device->CheckedOut())
            device->MarkUnplugged(); // the holder still gives it back; its reader runs until then
        else
            delete device;
    }
    // Give back our use whenever we took one, also when the HID library
    // failed to load, so the setup library is not held for good.
    if (m_setupLoaded)
        m_platform->unloadSetupLibrary();
    m_platform->unloadHidLibrary();
}

void THidDeviceController::setOnDeviceChange(const TNotifyEvent& handler) {
    if (handler == m_onDeviceChange)
        return;
    m_onDeviceChange = handler;
    DeviceChange();
}

void THidDeviceController::setOnDeviceData(const THidDataEvent& handler) {
    if (handler == m_onDeviceData)
        return;
    const QList<THidDevice*> devices = m_devices;
    for (THidDevice* device : devices)
        if (device->DataHandler() == m_onDeviceData)
            device->SetDataHandler(handler);
    m_onDeviceData = handler;
}

void THidDeviceController::setOnDeviceDataError(const THidDataErrorEvent& handler) {
    if (handler == m_onDeviceDataError)
        return;
    for (THidDevice* device : std::as_const(m_devices))
        if (device->m_dataErrorHandler == m_onDeviceDataError)
            device->m_dataErrorHandler = handler;
    m_onDeviceDataError = handler;
}

void THidDeviceController::setOnDeviceUnplug(const THidPlugEvent& handler) {
    if (handler == m_onDeviceUnplug)
        return;
    for (THidDevice* device : std::as_const(m_devices))
        if (device->m_unplugHandler == m_onDeviceUnplug)
            device->m_unplugHandler = handler;
    m_onDeviceUnplug = handler;
}

void THidDeviceController::PostDeviceChange() {
    if (m_notificationWindow)
        QCoreApplication::postEvent(m_notificationWindow, new HidDeviceChangeEvent(DBT_DEVNODES_CHANGED, 0));
}

void THidDeviceController::handleNotification(int kind, qintptr param) {
    std::lock_guard lock(m_lock);
    if (kind != DBT_DEVNODES_CHANGED || m_passRunning)
        return;
    m_lastNotifyParam = int(param);
    m_passRunning = true;
    bool failed = false;
    QString message;
    try {
        DeviceChange();
    } catch (const std::exception& error) {
        failed = true;
        message = QString::fromLocal8Bit(error.what());
    } catch (...) {
        failed = true;
        message = QStringLiteral("unknown error");
    }
    // A raising handler must not leave passes blocked for good; an event
    // handler cannot pass the error on, so report it.
    m_passRunning = false;
    // Latched, whatever the parameter: a broadcast handled right after the
    // self-posted notification (in the same batch of events) sets it back to
    // 0 before a waiter looks, and every notification comes after creation.
    m_firstPassDone = true;
    if (!failed)
        return;
    if (isSignalConnected(QMetaMethod::fromSignal(&THidDeviceController::handlerFailed)))
        emit handlerFailed(message);
    else
        qWarning("Device-change handler failed: %s", qPrintable(message));
}

QList<THidDevice*> THidDeviceController::BuildDeviceList() {
    QList<THidDevice*> list;
    if (!m_platform->hidLibraryLoaded())
        return list;
    std::unique_ptr<HidDeviceSet> set = m_platform->getClassDevices(m_hidClassGuid);
    if (!set)
        return list;
    for (int index = 0; set->enumInterface(index); ++index) {
        HidInterfaceDetail detail;
        if (!set->interfaceDetail(index, detail))
            continue; // one unreadable interface must not stop the walk
        try {
            list.append(new THidDevice(std::make_unique<THidPnPInfo>(detail), this));
        } catch (const EControllerError&) {
            // Not openable or not identifiable now; a later pass may find it.
        }
    }
    return list;
}

void THidDeviceController::DeviceChange() {
    std::lock_guard lock(m_lock);
    m_passesBegun.fetch_add(1);
    bool changed = m_lastNotifyParam == -1;
    QList<THidDevice*> fresh = BuildDeviceList();

    // Guard the fresh list so a raising handler does not leak it.
    struct FreshGuard {
        QList<THidDevice*>& list;
        ~FreshGuard() {
            for (THidDevice* device : list) {
                if (device) {
                    device->m_controller = nullptr;
                    delete device;
                }
            }
        }
    } freshGuard{fresh};

    for (int i = int(m_devices.size()) - 1; i >= 0; --i) {
        if (i >= m_devices.size())
            continue; // a handler released entries meanwhile
        THidDevice* device = m_devices[i];
        bool present = false;
        for (int j = int(fresh.size()) - 1; j >= 0 && !present; --j)
            present = device->Plugged() && !device->m_ioGone.load() &&
                      sameInterface(*fresh[j]->PnPInfo(), *device->PnPInfo());
        if (present)
            continue;
        changed = true;
        device->MarkUnplugged();
        if (!m_devices.contains(device))
            continue; // its holder released it in the unplug handler
        if (m_onRemoval.isSet()) {
            InHandlerScope inHandler(device->m_inHandler, m_devices, device);
            m_onRemoval(device);
        }
        const int position = int(m_devices.indexOf(device));
        if (position < 0)
            continue; // its holder released it inside the handler
        if (!device->CheckedOut()) {
            m_devices.removeAt(position);
            device->m_controller = nullptr;
            delete device;
        }
    }

    for (THidDevice*& candidate : fresh) {
        bool duplicate = false;
        for (THidDevice* device : std::as_const(m_devices)) {
            if (sameInterface(*device->PnPInfo(), *candidate->PnPInfo()) && device->Plugged()) {
                duplicate = true;
                // Access granted since the listed object was made: its holder
                // must hear of it to take a fresh one.
                if (!device->ReadWriteAccess() && candidate->ReadWriteAccess())
                    changed = true;
                break;
            }
        }
        if (duplicate) {
            candidate->m_controller = nullptr;
            delete candidate;
            candidate = nullptr;
        }
    }

    for (THidDevice*& candidate : fresh) {
        if (!candidate)
            continue;
        THidDevice* device = candidate;
        candidate = nullptr; // the list owns it from here
        m_devices.append(device);
        changed = true;
        if (m_onArrival.isSet()) {
            InHandlerScope inHandler(device->m_inHandler, m_devices, device);
            m_onArrival(device);
        }
    }

    m_checkedInCount = 0;
    m_unpluggedCount = 0;
    int checkedOut = 0;
    for (THidDevice* device : std::as_const(m_devices)) {
        if (device->CheckedOut())
            ++checkedOut;
        else
            ++m_checkedInCount;
        if (!device->Plugged())
            ++m_unpluggedCount;
    }
    m_checkedOutCount = checkedOut - m_unpluggedCount;

    if (reviewRefusals())
        changed = true;
    if (changed && m_onDeviceChange.isSet())
        m_onDeviceChange(this);
}

std::unique_lock<std::recursive_mutex> THidDeviceController::FreshPass() {
    const quint64 begun = m_passesBegun.load();
    std::unique_lock lock(m_lock);
    if (m_passesBegun.load() == begun)
        DeviceChange();
    return lock;
}

bool THidDeviceController::reviewRefusals() {
    if (!m_clock.isValid())
        m_clock.start();
    const qint64 now = m_clock.elapsed();
    QHash<QString, Refusal> kept;
    bool settledNow = false;
    bool pending = false;
    for (THidDevice* device : std::as_const(m_devices)) {
        if (!device->Plugged() || device->ReadWriteAccess())
            continue;
        const QString key = interfaceKey(*device->PnPInfo());
        Refusal refusal = m_refusals.value(key, Refusal{now, false});
        if (!refusal.settled) {
            if (!m_platform->accessDeniedError(device->OpenError()) ||
                now - refusal.sinceMs >= AccessGraceMs) {
                refusal.settled = true;
                settledNow = true;
            } else {
                pending = true;
            }
        }
        kept.insert(key, refusal);
    }
    m_refusals = std::move(kept);
    if (pending && !m_retryQueued && m_notificationWindow) {
        m_retryQueued = true;
        // Timed on the controller's thread, also after a pass that another
        // thread sharing the controller ran.
        QMetaObject::invokeMethod(m_notificationWindow, [this] {
            QTimer::singleShot(AccessRetryMs, m_notificationWindow, [this] {
                std::lock_guard lock(m_lock);
                m_retryQueued = false;
                handleNotification(DBT_DEVNODES_CHANGED, 0);
            });
        });
    }
    return settledNow;
}

bool THidDeviceController::refusalSettled(const THidDevice& device) const {
    std::lock_guard lock(m_lock);
    const auto it = m_refusals.constFind(interfaceKey(*device.PnPInfo()));
    return it != m_refusals.constEnd() && it->settled;
}

bool THidDevice::AccessSettled() const {
    return !m_readWriteAccess && m_controller && m_controller->refusalSettled(*this);
}

bool THidDeviceController::CheckOutAt(CheckedOutDevice& device, int position) {
    std::lock_guard lock(m_lock);
    THidDevice* entry = m_devices.value(position);
    if (!entry || entry->CheckedOut())
        return false;
    entry->m_checkedOut = true;
    ++m_checkedOutCount;
    --m_checkedInCount;
    entry->StartReader();
    device = CheckedOutDevice(entry);
    return true;
}

bool THidDeviceController::CheckOutNext(CheckedOutDevice& device) {
    std::lock_guard lock(m_lock);
    device.reset();
    for (int position = 0; position < m_devices.size(); ++position)
        if (CheckOutAt(device, position))
            return true;
    return false;
}

void CheckedOutDevice::giveBack(THidDevice* device) noexcept {
    if (!device)
        return;
    if (THidDeviceController* controller = device->m_controller)
        controller->takeBack(device);
    else
        delete device; // its controller went first and let go of it
}

void THidDeviceController::takeBack(THidDevice* device) {
    std::lock_guard lock(m_lock);
    const THidDataEvent dataHandler = device->m_dataHandler;
    const THidPlugEvent unplugHandler = device->m_unplugHandler;
    // The reader stops and the handles close before the device is opened anew.
    device->releaseResources();

    const int position = int(m_devices.indexOf(device));
    if (position < 0 || m_destroying) {
        if (position >= 0)
            m_devices.removeAt(position);
        delete device;
        return;
    }
    if (!device->Plugged()) {
        m_devices.removeAt(position);
        --m_unpluggedCount;
        delete device;
        return;
    }
    // The fresh object is made while the old one still exists, so it never
    // takes the old one's address: a handler scope that still refers to the
    // old object must not find it in the list again.
    THidDevice* fresh = nullptr;
    try {
        fresh = new THidDevice(std::move(device->m_pnpInfo), this);
    } catch (const EControllerError&) {
        // It can no longer be opened: drop the entry rather than keep a
        // reference to this object; a later pass finds the device again.
        fresh = nullptr;
    }
    if (fresh) {
        fresh->SetDataHandler(dataHandler);
        fresh->m_unplugHandler = unplugHandler;
        fresh->SetSleepTime(device->SleepTime());
        m_devices[position] = fresh;
        if (device->CheckedOut()) {
            --m_checkedOutCount;
            ++m_checkedInCount;
        }
    } else {
        m_devices.removeAt(position);
        if (device->CheckedOut())
            --m_checkedOutCount;
        else
            --m_checkedInCount;
    }
    delete device;
}

int THidDeviceController::EnumerateDevices() {
    std::lock_guard lock(m_lock);
    int count = 0;
    for (int position = 0; position < m_devices.size(); ++position) {
        THidDevice* device = m_devices[position];
        if (!device->Plugged())
            continue;
        ++count;
        if (!m_onEnumerate.isSet())
            break;
        bool goOn;
        {
            InHandlerScope inHandler(device->m_inHandler, m_devices, device);
            goOn = m_onEnumerate(device, position);
        }
        if (m_devices.contains(device) && !device->CheckedOut()) {
            device->CloseSync();
            device->CloseRead();
        }
        if (!goOn)
            break;
    }
    return count;
}
