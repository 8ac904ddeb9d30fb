#include "VirtualHidBus.h"
#include "ThreadHandOff.h"

#include <QCoreApplication>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace {

const QUuid VirtualHidGuid(0x4D1E55B2, 0xF16F, 0x11CF, 0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30);

struct OpenFile {
    VirtualDeviceId device = 0;
    HidAccess access = HidAccess::None;
    quint32 bufferCount = 32;
    std::deque<QByteArray> queue;
    bool gone = false;
    // Its own, as a kernel node has its own wait queue: a report for one
    // device wakes that device's reader, not every reader on the bus.
    std::condition_variable readable; // with Shared::mutex
};

struct Device {
    VirtualHidDeviceSetup setup;
    VirtualOutputHandler handler;
    bool plugged = false;
    quint32 instance = 0;
    QString path;
    std::vector<std::weak_ptr<OpenFile>> files;
};

// State the read requests share with the bus; kept alive by either.
struct Shared {
    std::mutex mutex;
};

class VirtualReadRequest : public HidReadRequest {
public:
    explicit VirtualReadRequest(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {}
    void interrupt() override {
        std::lock_guard lock(m_shared->mutex);
        interrupted = true;
        if (file)
            file->readable.notify_all();
        idle.notify_all();
    }
    // What an await waits on: the file of the outstanding read, else idle.
    std::condition_variable& wakeUp() { return outstanding && file ? file->readable : idle; }

    std::shared_ptr<Shared> m_shared;
    std::condition_variable idle;
    // Guarded by m_shared->mutex.
    std::shared_ptr<OpenFile> file;
    quint8* buffer = nullptr;
    quint32 length = 0;
    bool outstanding = false;
    bool done = false;
    bool ok = false;
    quint32 bytes = 0;
    quint32 error = 0;
    bool interrupted = false;
};

} // namespace

struct VirtualHidBus::Private {
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::map<VirtualDeviceId, Device> devices;
    std::map<HidHandle, std::shared_ptr<OpenFile>> handles;
    QList<QObject*> sinks;
    VirtualDeviceId nextId = 1;
    quint32 nextInstance = 1;
    HidHandle nextHandle = 1;
    int setupUses = 0;
    int hidUses = 0; // counted: controllers on other threads may still use the bus
    bool librariesAvailable = true;
    int unreadableIndex = -1;
    int setBufferCalls = 0;

    void attachLocked(Device& device) {
        device.plugged = true;
        device.instance = nextInstance++;
        device.path = QStringLiteral("virtual:hidraw/%1").arg(device.instance);
    }
    void detachLocked(Device& device) {
        device.plugged = false;
        device.instance = 0;
        device.path.clear();
        for (const auto& weak : device.files) {
            if (auto file = weak.lock()) {
                file->gone = true;
                file->readable.notify_all();
            }
        }
        device.files.clear();
    }
    void notifyLocked() {
        for (QObject* sink : std::as_const(sinks))
            if (sink)
                postAcrossThreads(sink, new HidDeviceChangeEvent(DBT_DEVNODES_CHANGED, 0));
    }
    Device* pluggedByPath(const QString& path) {
        for (auto& [id, device] : devices)
            if (device.plugged && device.path == path)
                return &device;
        return nullptr;
    }
    std::shared_ptr<OpenFile> file(HidHandle handle) {
        const auto it = handles.find(handle);
        return it == handles.end() ? nullptr : it->second;
    }
};

namespace {

class VirtualDeviceSet : public HidDeviceSet {
public:
    VirtualDeviceSet(std::vector<HidInterfaceDetail> entries, int unreadable)
        : m_entries(std::move(entries)), m_unreadable(unreadable) {}
    bool enumInterface(int index) override { return index >= 0 && size_t(index) < m_entries.size(); }
    bool interfaceDetail(int index, HidInterfaceDetail& detail) override {
        if (!enumInterface(index) || index == m_unreadable)
            return false;
        detail = m_entries[size_t(index)];
        return true;
    }

private:
    std::vector<HidInterfaceDetail> m_entries;
    int m_unreadable;
};

} // namespace

VirtualHidBus::VirtualHidBus() : d(std::make_unique<Private>()) {}

VirtualHidBus::~VirtualHidBus() = default;

VirtualDeviceId VirtualHidBus::plug(const VirtualHidDeviceSetup& setup, VirtualOutputHandler handler) {
    std::lock_guard lock(d->shared->mutex);
    const VirtualDeviceId id = d->nextId++;
    Device& device = d->devices[id];
    device.setup = setup;
    device.handler = std::move(handler);
    d->attachLocked(device);
    d->notifyLocked();
    return id;
}

bool VirtualHidBus::unplug(VirtualDeviceId id) {
    {
        std::lock_guard lock(d->shared->mutex);
        const auto it = d->devices.find(id);
        if (it == d->devices.end() || !it->second.plugged)
            return false;
        d->detachLocked(it->second);
        d->notifyLocked();
    }
    return true;
}

bool VirtualHidBus::reenumerate(VirtualDeviceId id) {
    {
        std::lock_guard lock(d->shared->mutex);
        const auto it = d->devices.find(id);
        if (it == d->devices.end() || !it->second.plugged)
            return false;
        d->detachLocked(it->second);
        d->attachLocked(it->second);
        d->notifyLocked();
    }
    return true;
}

bool VirtualHidBus::replug(VirtualDeviceId id) {
    std::lock_guard lock(d->shared->mutex);
    const auto it = d->devices.find(id);
    if (it == d->devices.end() || it->second.plugged)
        return false;
    d->attachLocked(it->second);
    d->notifyLocked();
    return true;
}

bool VirtualHidBus::setAccess(VirtualDeviceId id, bool readWrite) {
    std::lock_guard lock(d->shared->mutex);
    const auto it = d->devices.find(id);
    if (it == d->devices.end())
        return false;
    it->second.setup.readWriteAccess = readWrite;
    d->notifyLocked();
    return true;
}

bool VirtualHidBus::setSerial(VirtualDeviceId id, const QString& serial) {
    std::lock_guard lock(d->shared->mutex);
    const auto it = d->devices.find(id);
    if (it == d->devices.end())
        return false;
    it->second.setup.serial = serial;
    return true;
}

bool VirtualHidBus::queueInput(VirtualDeviceId id, quint8 reportId, const QByteArray& data) {
    QByteArray report;
    report.reserve(data.size() + 1);
    report.append(char(reportId));
    report.append(data);
    return queueInput(id, report);
}

bool VirtualHidBus::queueInput(VirtualDeviceId id, const QByteArray& reportWithId) {
    std::lock_guard lock(d->shared->mutex);
    {
        const auto it = d->devices.find(id);
        if (it == d->devices.end() || !it->second.plugged || reportWithId.isEmpty())
            return false;
        auto& files = it->second.files;
        for (auto weak = files.begin(); weak != files.end();) {
            auto file = weak->lock();
            if (!file) {
                weak = files.erase(weak);
                continue;
            }
            if (file->access != HidAccess::None) {
                file->queue.push_back(reportWithId);
                while (file->queue.size() > file->bufferCount)
                    file->queue.pop_front();
                file->readable.notify_all();
            }
            ++weak;
        }
    }
    return true;
}

bool VirtualHidBus::isPlugged(VirtualDeviceId id) const {
    std::lock_guard lock(d->shared->mutex);
    const auto it = d->devices.find(id);
    return it != d->devices.end() && it->second.plugged;
}

quint32 VirtualHidBus::instanceNumber(VirtualDeviceId id) const {
    std::lock_guard lock(d->shared->mutex);
    const auto it = d->devices.find(id);
    return it == d->devices.end() ? 0 : it->second.instance;
}

int VirtualHidBus::openHandleCount(VirtualDeviceId id) const {
    std::lock_guard lock(d->shared->mutex);
    int count = 0;
    for (const auto& [handle, file] : d->handles)
        if (file->device == id && !file->gone)
            ++count;
    return count;
}

int VirtualHidBus::queuedInputCount(VirtualDeviceId id) const {
    std::lock_guard lock(d->shared->mutex);
    const auto it = d->devices.find(id);
    if (it == d->devices.end())
        return 0;
    int count = 0;
    for (const auto& weak : it->second.files)
        if (const auto file = weak.lock(); file && file->access == HidAccess::Read)
            count += int(file->queue.size());
    return count;
}

void VirtualHidBus::setLibrariesAvailable(bool available) {
    std::lock_guard lock(d->shared->mutex);
    d->librariesAvailable = available;
}

void VirtualHidBus::setUnreadableDetailIndex(int index) {
    std::lock_guard lock(d->shared->mutex);
    d->unreadableIndex = index;
}

int VirtualHidBus::setNumInputBuffersCalls() const {
    std::lock_guard lock(d->shared->mutex);
    return d->setBufferCalls;
}

bool VirtualHidBus::loadSetupLibrary() {
    std::lock_guard lock(d->shared->mutex);
    ++d->setupUses;
    if (d->setupUses > 1)
        return true;
    if (!d->librariesAvailable) {
        --d->setupUses;
        return false;
    }
    return true;
}

void VirtualHidBus::unloadSetupLibrary() {
    std::lock_guard lock(d->shared->mutex);
    if (d->setupUses > 0)
        --d->setupUses;
}

bool VirtualHidBus::loadHidLibrary() {
    std::lock_guard lock(d->shared->mutex);
    if (!d->librariesAvailable)
        return false;
    ++d->hidUses;
    return true;
}

void VirtualHidBus::unloadHidLibrary() {
    std::lock_guard lock(d->shared->mutex);
    if (d->hidUses > 0)
        --d->hidUses;
}

bool VirtualHidBus::hidLibraryLoaded() const {
    std::lock_guard lock(d->shared->mutex);
    return d->hidUses > 0;
}

QUuid VirtualHidBus::hidGuid() const {
    return VirtualHidGuid;
}

std::unique_ptr<HidDeviceSet> VirtualHidBus::getClassDevices(const QUuid& classGuid) {
    std::lock_guard lock(d->shared->mutex);
    if (d->hidUses == 0 || classGuid != VirtualHidGuid)
        return nullptr;
    std::vector<HidInterfaceDetail> entries;
    for (const auto& [id, device] : d->devices) {
        if (!device.plugged)
            continue;
        HidInterfaceDetail detail;
        detail.instanceNumber = device.instance;
        detail.path = device.path;
        const VirtualHidDeviceSetup& setup = device.setup;
        const QString ids = QStringLiteral("HID\\VID_%1&PID_%2")
                                .arg(setup.vendorId, 4, 16, QLatin1Char('0'))
                                .arg(setup.productId, 4, 16, QLatin1Char('0'))
                                .toUpper();
        detail.properties.insert(HidProperty::DeviceDesc, setup.name);
        detail.properties.insert(HidProperty::FriendlyName, setup.name);
        detail.properties.insert(HidProperty::Mfg, setup.manufacturer);
        detail.properties.insert(HidProperty::HardwareId, QStringList{ids});
        detail.properties.insert(HidProperty::Class, QStringLiteral("HIDClass"));
        detail.properties.insert(HidProperty::EnumeratorName, QStringLiteral("VIRTUAL"));
        detail.serialNumber = setup.serial;
        detail.port = setup.port.isEmpty() ? QStringLiteral("virtual-%1").arg(id) : setup.port;
        detail.properties.insert(HidProperty::LocationInformation, detail.port);
        entries.push_back(detail);
    }
    return std::make_unique<VirtualDeviceSet>(std::move(entries), d->unreadableIndex);
}

HidHandle VirtualHidBus::open(const QString& path, HidAccess access) {
    std::lock_guard lock(d->shared->mutex);
    Device* device = d->pluggedByPath(path);
    if (!device) {
        setThreadLastError(ENOENT);
        return InvalidHidHandle;
    }
    if (access != HidAccess::None && !device->setup.readWriteAccess) {
        setThreadLastError(EACCES);
        return InvalidHidHandle;
    }
    auto file = std::make_shared<OpenFile>();
    for (const auto& [id, candidate] : d->devices)
        if (&candidate == device)
            file->device = id;
    file->access = access;
    device->files.push_back(file);
    const HidHandle handle = d->nextHandle++;
    d->handles.emplace(handle, std::move(file));
    return handle;
}

void VirtualHidBus::close(HidHandle handle) {
    std::lock_guard lock(d->shared->mutex);
    d->handles.erase(handle);
}

bool VirtualHidBus::getAttributes(HidHandle handle, HIDD_ATTRIBUTES& attributes) {
    std::lock_guard lock(d->shared->mutex);
    const auto file = d->file(handle);
    if (!file || file->gone) {
        setThreadLastError(file ? ENODEV : EBADF);
        return false;
    }
    const VirtualHidDeviceSetup& setup = d->devices[file->device].setup;
    attributes.VendorID = setup.vendorId;
    attributes.ProductID = setup.productId;
    attributes.VersionNumber = setup.version;
    return true;
}

HidPreparsedData* VirtualHidBus::getPreparsedData(HidHandle handle) {
    QByteArray descriptor;
    {
        std::lock_guard lock(d->shared->mutex);
        const auto file = d->file(handle);
        if (!file || file->gone)
            return nullptr;
        descriptor = d->devices[file->device].setup.reportDescriptor;
    }
    return preparsedFromDescriptor(descriptor);
}

bool VirtualHidBus::setNumInputBuffers(HidHandle handle, quint32 count) {
    std::lock_guard lock(d->shared->mutex);
    ++d->setBufferCalls;
    const auto file = d->file(handle);
    if (!file || count < 2 || count > 512) {
        setThreadLastError(file ? EINVAL : EBADF);
        return false;
    }
    file->bufferCount = count;
    return true;
}

bool VirtualHidBus::getNumInputBuffers(HidHandle handle, quint32& count) {
    std::lock_guard lock(d->shared->mutex);
    const auto file = d->file(handle);
    if (!file) {
        setThreadLastError(EBADF);
        return false;
    }
    count = file->bufferCount;
    return true;
}

bool VirtualHidBus::write(HidHandle handle, const quint8* buffer, quint32 length, quint32& written) {
    written = 0;
    VirtualOutputHandler handler;
    {
        std::lock_guard lock(d->shared->mutex);
        const auto file = d->file(handle);
        if (!file || file->access != HidAccess::ReadWrite) {
            setThreadLastError(EBADF);
            return false;
        }
        if (file->gone) {
            setThreadLastError(ENODEV);
            return false;
        }
        if (!buffer || length == 0) {
            setThreadLastError(EINVAL);
            return false;
        }
        handler = d->devices[file->device].handler;
    }
    written = length;
    // No lock held: the model may queue replies or leave the bus from here.
    if (handler)
        handler(QByteArray(reinterpret_cast<const char*>(buffer), qsizetype(length)));
    return true;
}

std::unique_ptr<HidReadRequest> VirtualHidBus::createReadRequest() {
    return std::make_unique<VirtualReadRequest>(d->shared);
}

bool VirtualHidBus::beginRead(HidHandle handle, HidReadRequest& request, quint8* buffer, quint32 length) {
    auto& r = static_cast<VirtualReadRequest&>(request);
    std::lock_guard lock(d->shared->mutex);
    const auto file = d->file(handle);
    if (!file || file->access == HidAccess::None || !buffer || length == 0) {
        setThreadLastError(file ? EINVAL : EBADF);
        return false;
    }
    r.file = file;
    r.buffer = buffer;
    r.length = length;
    r.outstanding = true;
    r.done = false;
    r.ok = false;
    r.bytes = 0;
    r.error = 0;
    return true;
}

HidReadWait VirtualHidBus::awaitRead(HidReadRequest& request, int sliceMs) {
    auto& r = static_cast<VirtualReadRequest&>(request);
    std::unique_lock lock(d->shared->mutex);
    const auto ready = [&r] {
        return r.interrupted || (r.outstanding && (!r.file->queue.empty() || r.file->gone));
    };
    // A look without a wait is no reason to sleep and wake.
    if (sliceMs > 0)
        r.wakeUp().wait_for(lock, std::chrono::milliseconds(sliceMs), ready);
    if (r.interrupted) {
        r.interrupted = false;
        return HidReadWait::Interrupted;
    }
    if (!r.outstanding)
        return HidReadWait::TimedOut;
    if (!r.file->queue.empty()) {
        const QByteArray report = std::move(r.file->queue.front());
        r.file->queue.pop_front();
        r.bytes = std::min<quint32>(r.length, quint32(report.size()));
        std::memcpy(r.buffer, report.constData(), r.bytes);
        r.ok = true;
    } else if (r.file->gone) {
        r.ok = false;
        r.error = EIO;
    } else {
        return HidReadWait::TimedOut;
    }
    r.outstanding = false;
    r.done = true;
    r.file.reset();
    return HidReadWait::Completed;
}

bool VirtualHidBus::completedReadLength(HidReadRequest& request, quint32& bytes) {
    auto& r = static_cast<VirtualReadRequest&>(request);
    std::lock_guard lock(d->shared->mutex);
    if (!r.done || !r.ok) {
        setThreadLastError(r.done ? r.error : quint32(EINPROGRESS));
        bytes = 0;
        return false;
    }
    bytes = r.bytes;
    return true;
}

bool VirtualHidBus::cancelRead(HidReadRequest& request) {
    auto& r = static_cast<VirtualReadRequest&>(request);
    std::lock_guard lock(d->shared->mutex);
    const bool had = r.outstanding;
    r.outstanding = false;
    r.file.reset();
    r.buffer = nullptr;
    return had;
}

quint32 VirtualHidBus::lastError() const {
    return threadLastError();
}

void VirtualHidBus::addNotificationSink(QObject* sink) {
    std::lock_guard lock(d->shared->mutex);
    if (sink && !d->sinks.contains(sink))
        d->sinks.append(sink);
}

void VirtualHidBus::removeNotificationSink(QObject* sink) {
    std::lock_guard lock(d->shared->mutex);
    d->sinks.removeAll(sink);
}
