#include "WindowsHidPlatform.h"

#include "DeviceChangeWindow.h"
#include "ThreadExitOrder.h"
#include "WinHid.h"
#include "WinSetupApi.h"

#include <QCoreApplication>
#include <QObject>

#include <cstring>
#include <mutex>
#include <set>

namespace {

// Windows error codes for failures found before any system call is made.
constexpr quint32 ErrorInvalidHandle = 6;
constexpr quint32 ErrorNotEnoughMemory = 8;
// What an open or I/O call on a HID interface fails with.
constexpr quint32 ErrorAccessDenied = 5;
constexpr quint32 ErrorSharingViolation = 32; // another program holds it exclusively
constexpr quint32 ErrorDeviceNotConnected = 1167;
// What I/O on a handle whose device has left fails with besides 1167: the
// removed device's handle is pending deletion (access denied), the handle was
// dropped under us, the read was cancelled by the removal, or the driver just
// reports a failure. None of them means a working hub.
constexpr quint32 ErrorGenFailure = 31;
constexpr quint32 ErrorOperationAborted = 995;

WinSys::Guid toGuid(const QUuid& uuid) {
    WinSys::Guid guid;
    guid.data1 = uuid.data1;
    guid.data2 = uuid.data2;
    guid.data3 = uuid.data3;
    std::memcpy(guid.data4, uuid.data4, sizeof(guid.data4));
    return guid;
}

QUuid toUuid(const WinSys::Guid& guid) {
    return QUuid(guid.data1, guid.data2, guid.data3, guid.data4[0], guid.data4[1], guid.data4[2],
                 guid.data4[3], guid.data4[4], guid.data4[5], guid.data4[6], guid.data4[7]);
}

WinSys::Handle toNative(HidHandle handle) {
    return reinterpret_cast<WinSys::Handle>(handle);
}

// Keeps the library's parsed descriptor beside the fields the other bindings fill.
struct WindowsPreparsedData : HidPreparsedData {
    void* native = nullptr;
};

// The library's record, word by word in its field order.
void capsFromRecord(const WinSys::HidCapsRecord& record, HIDP_CAPS& caps) {
    const uint16_t* w = record.words;
    caps.Usage = w[0];
    caps.UsagePage = w[1];
    caps.InputReportByteLength = w[2];
    caps.OutputReportByteLength = w[3];
    caps.FeatureReportByteLength = w[4];
    for (int i = 0; i < 17; ++i)
        caps.Reserved[i] = w[5 + i];
    caps.NumberLinkCollectionNodes = w[22];
    caps.NumberInputButtonCaps = w[23];
    caps.NumberInputValueCaps = w[24];
    caps.NumberInputDataIndices = w[25];
    caps.NumberOutputButtonCaps = w[26];
    caps.NumberOutputValueCaps = w[27];
    caps.NumberOutputDataIndices = w[28];
    caps.NumberFeatureButtonCaps = w[29];
    caps.NumberFeatureValueCaps = w[30];
    caps.NumberFeatureDataIndices = w[31];
}

class WindowsReadRequest;

// The read requests alive, so that closing a handle ends the read started on
// it: the read runs on a duplicate that a close alone would leave waiting.
struct ReadRegistry {
    std::mutex mutex;
    std::set<WindowsReadRequest*> requests;
};

class WindowsReadRequest : public HidReadRequest {
public:
    explicit WindowsReadRequest(std::shared_ptr<ReadRegistry> registry) : m_registry(std::move(registry)) {
        std::lock_guard lock(m_registry->mutex);
        m_registry->requests.insert(this);
    }
    ~WindowsReadRequest() override {
        std::lock_guard lock(m_registry->mutex);
        m_registry->requests.erase(this);
    }
    void interrupt() override { read.interrupt(); }
    WinSys::OverlappedRead read;

private:
    std::shared_ptr<ReadRegistry> m_registry;
};

void abortReadsOn(ReadRegistry& registry, WinSys::Handle handle) {
    std::lock_guard lock(registry.mutex);
    for (WindowsReadRequest* request : registry.requests) {
        if (request->read.source() == handle)
            request->read.abort();
    }
}

// The serial number string of the device at path (UTF-16, at most 126
// characters plus the end); empty when it has none or cannot be asked.
QString serialNumberOf(const WinSys::HidLibrary& hid, const std::string& path) {
    if (!hid.IsHidLoaded())
        return {};
    const WinSys::Handle handle = WinSys::openPath(path, WinSys::OpenAccess::None);
    if (handle == WinSys::invalidHandle())
        return {};
    char16_t text[128] = {};
    QString serial;
    if (hid.HidD_GetSerialNumberString(handle, text, sizeof(text) - sizeof(char16_t)))
        serial = QString::fromUtf16(text).trimmed();
    WinSys::closeHandle(handle);
    return serial;
}

class WindowsDeviceSet : public HidDeviceSet {
public:
    WindowsDeviceSet(std::unique_ptr<WinSys::InterfaceSet> set, const WinSys::HidLibrary& hid)
        : m_set(std::move(set)), m_hid(hid) {}
    bool enumInterface(int index) override { return m_set->enumInterface(index); }
    bool interfaceDetail(int index, HidInterfaceDetail& detail) override {
        WinSys::InterfaceInfo info;
        if (!m_set->interfaceDetail(index, info))
            return false;
        detail.instanceNumber = info.instance;
        detail.path = QString::fromLocal8Bit(info.path.c_str());
        detail.serialNumber = serialNumberOf(m_hid, info.path);
        detail.port = QString::fromLocal8Bit(info.instanceId.c_str());
        detail.properties.clear();
        for (const WinSys::SetupProperty& property : info.properties) {
            if (!property.present)
                continue;
            switch (property.kind) {
            case WinSys::SetupProperty::Number:
                detail.properties.insert(quint32(property.code), quint32(property.number));
                break;
            case WinSys::SetupProperty::Text:
                detail.properties.insert(quint32(property.code),
                                         QString::fromLocal8Bit(property.text.c_str()));
                break;
            case WinSys::SetupProperty::List: {
                QStringList items;
                for (const std::string& item : property.list)
                    items.append(QString::fromLocal8Bit(item.c_str()));
                detail.properties.insert(quint32(property.code), items);
                break;
            }
            }
        }
        return true;
    }

private:
    std::unique_ptr<WinSys::InterfaceSet> m_set;
    const WinSys::HidLibrary& m_hid;
};

} // namespace

struct WindowsHidPlatform::Private {
    Private(const QByteArray& setupName, const QByteArray& hidName)
        : setup(setupName.toStdString()), hid(hidName.toStdString()) {}

    WinSys::SetupLibrary setup;
    WinSys::HidLibrary hid;
    QList<QObject*> sinks;
    std::unique_ptr<WinSys::DeviceChangeWindow> window;
    std::shared_ptr<ReadRegistry> reads = std::make_shared<ReadRegistry>();

    void postChange() {
        for (QObject* sink : std::as_const(sinks))
            QCoreApplication::postEvent(sink, new HidDeviceChangeEvent(DBT_DEVNODES_CHANGED, 0));
    }
    // The setup and HID calls need both libraries; the controller only ever
    // asks whether the HID one is there.
    bool ready() const { return hid.IsHidLoaded() && setup.IsSetupApiLoaded(); }
};

WindowsHidPlatform::WindowsHidPlatform(QByteArray setupLibrary, QByteArray hidLibrary)
    : d(std::make_unique<Private>(setupLibrary, hidLibrary)) {
    // Keeps ThreadExitOrder.cpp, and its initialiser, in every program that
    // links the binding.
    static const bool kept [[maybe_unused]] = WinSys::threadExitOrderKept();
}

WindowsHidPlatform::~WindowsHidPlatform() = default;

bool WindowsHidPlatform::loadSetupLibrary() {
    return d->setup.LoadSetupApi();
}

void WindowsHidPlatform::unloadSetupLibrary() {
    d->setup.UnloadSetupApi();
}

bool WindowsHidPlatform::loadHidLibrary() {
    return d->hid.LoadHid();
}

void WindowsHidPlatform::unloadHidLibrary() {
    d->hid.UnloadHid();
}

bool WindowsHidPlatform::hidLibraryLoaded() const {
    return d->hid.IsHidLoaded();
}

QUuid WindowsHidPlatform::hidGuid() const {
    if (!d->hid.IsHidLoaded())
        return {};
    WinSys::Guid guid;
    d->hid.HidD_GetHidGuid(&guid);
    return toUuid(guid);
}

std::unique_ptr<HidDeviceSet> WindowsHidPlatform::getClassDevices(const QUuid& classGuid) {
    if (!d->ready())
        return nullptr;
    std::unique_ptr<WinSys::InterfaceSet> set = WinSys::InterfaceSet::open(d->setup, toGuid(classGuid));
    if (!set) {
        setThreadLastError(quint32(WinSys::lastError()));
        return nullptr;
    }
    return std::make_unique<WindowsDeviceSet>(std::move(set), d->hid);
}

HidHandle WindowsHidPlatform::open(const QString& path, HidAccess access) {
    WinSys::OpenAccess native = WinSys::OpenAccess::ReadWrite;
    if (access == HidAccess::None)
        native = WinSys::OpenAccess::None;
    else if (access == HidAccess::Read)
        native = WinSys::OpenAccess::Read;
    const WinSys::Handle handle = WinSys::openPath(path.toLocal8Bit().toStdString(), native);
    if (handle == WinSys::invalidHandle()) {
        setThreadLastError(quint32(WinSys::lastError()));
        return InvalidHidHandle;
    }
    return reinterpret_cast<HidHandle>(handle);
}

void WindowsHidPlatform::close(HidHandle handle) {
    if (handle == InvalidHidHandle)
        return;
    // A device that left may never complete the read on its own (a system
    // that gives the device back under the same path keeps the old file).
    abortReadsOn(*d->reads, toNative(handle));
    WinSys::closeHandle(toNative(handle));
}

bool WindowsHidPlatform::getAttributes(HidHandle handle, HIDD_ATTRIBUTES& attributes) {
    if (!d->ready() || handle == InvalidHidHandle) {
        setThreadLastError(ErrorInvalidHandle);
        return false;
    }
    WinSys::HidAttributes native;
    native.Size = sizeof(native);
    if (!d->hid.HidD_GetAttributes(toNative(handle), &native)) {
        setThreadLastError(quint32(WinSys::lastError()));
        return false;
    }
    attributes.VendorID = native.VendorID;
    attributes.ProductID = native.ProductID;
    attributes.VersionNumber = native.VersionNumber;
    return true;
}

HidPreparsedData* WindowsHidPlatform::getPreparsedData(HidHandle handle) {
    if (!d->ready() || handle == InvalidHidHandle)
        return nullptr;
    void* native = nullptr;
    if (!d->hid.HidD_GetPreparsedData(toNative(handle), &native) || !native)
        return nullptr;
    auto* data = new WindowsPreparsedData;
    data->native = native;
    WinSys::HidCapsRecord record;
    if (d->hid.HidP_GetCaps(native, &record) == WinSys::HidStatusSuccess) {
        HIDP_CAPS caps;
        capsFromRecord(record, caps);
        data->usagePage = caps.UsagePage;
        data->usage = caps.Usage;
        data->inputReportByteLength = caps.InputReportByteLength;
        data->outputReportByteLength = caps.OutputReportByteLength;
        data->featureReportByteLength = caps.FeatureReportByteLength;
    }
    return data;
}

void WindowsHidPlatform::freePreparsedData(HidPreparsedData* data) {
    auto* windowsData = static_cast<WindowsPreparsedData*>(data);
    if (!windowsData)
        return;
    if (windowsData->native && d->hid.IsHidLoaded())
        d->hid.HidD_FreePreparsedData(windowsData->native);
    delete windowsData;
}

bool WindowsHidPlatform::getCaps(const HidPreparsedData* data, HIDP_CAPS& caps) {
    const auto* windowsData = static_cast<const WindowsPreparsedData*>(data);
    if (!windowsData || !windowsData->native || !d->hid.IsHidLoaded())
        return false;
    WinSys::HidCapsRecord record;
    d->hid.HidP_GetCaps(windowsData->native, &record);
    capsFromRecord(record, caps);
    return true;
}

bool WindowsHidPlatform::setNumInputBuffers(HidHandle handle, quint32 count) {
    if (!d->ready() || handle == InvalidHidHandle) {
        setThreadLastError(ErrorInvalidHandle);
        return false;
    }
    if (!d->hid.HidD_SetNumInputBuffers(toNative(handle), count)) {
        setThreadLastError(quint32(WinSys::lastError()));
        return false;
    }
    return true;
}

bool WindowsHidPlatform::getNumInputBuffers(HidHandle handle, quint32& count) {
    if (!d->ready() || handle == InvalidHidHandle) {
        setThreadLastError(ErrorInvalidHandle);
        return false;
    }
    unsigned long value = 0;
    if (!d->hid.HidD_GetNumInputBuffers(toNative(handle), &value)) {
        setThreadLastError(quint32(WinSys::lastError()));
        return false;
    }
    count = quint32(value);
    return true;
}

bool WindowsHidPlatform::write(HidHandle handle, const quint8* buffer, quint32 length, quint32& written) {
    written = 0;
    if (handle == InvalidHidHandle) {
        setThreadLastError(ErrorInvalidHandle);
        return false;
    }
    if (!WinSys::writeReport(toNative(handle), buffer, length, written)) {
        setThreadLastError(quint32(WinSys::lastError()));
        return false;
    }
    return true;
}

std::unique_ptr<HidReadRequest> WindowsHidPlatform::createReadRequest() {
    auto request = std::make_unique<WindowsReadRequest>(d->reads);
    if (!request->read.valid()) {
        setThreadLastError(ErrorNotEnoughMemory);
        return nullptr;
    }
    return request;
}

bool WindowsHidPlatform::beginRead(HidHandle handle, HidReadRequest& request, quint8* buffer,
                                   quint32 length) {
    auto& r = static_cast<WindowsReadRequest&>(request);
    if (!r.read.begin(toNative(handle), buffer, length)) {
        setThreadLastError(quint32(WinSys::lastError()));
        return false;
    }
    return true;
}

HidReadWait WindowsHidPlatform::awaitRead(HidReadRequest& request, int sliceMs) {
    switch (static_cast<WindowsReadRequest&>(request).read.wait(sliceMs)) {
    case WinSys::OverlappedRead::Wait::Completed:
        return HidReadWait::Completed;
    case WinSys::OverlappedRead::Wait::Interrupted:
        return HidReadWait::Interrupted;
    case WinSys::OverlappedRead::Wait::TimedOut:
        break;
    }
    return HidReadWait::TimedOut;
}

bool WindowsHidPlatform::completedReadLength(HidReadRequest& request, quint32& bytes) {
    bytes = 0;
    uint32_t count = 0;
    if (!static_cast<WindowsReadRequest&>(request).read.result(count)) {
        setThreadLastError(quint32(WinSys::lastError()));
        return false;
    }
    bytes = count;
    return true;
}

bool WindowsHidPlatform::cancelRead(HidReadRequest& request) {
    return static_cast<WindowsReadRequest&>(request).read.cancel();
}

quint32 WindowsHidPlatform::lastError() const {
    return threadLastError();
}

bool WindowsHidPlatform::deviceGoneError(quint32 error) const {
    switch (error) {
    case ErrorDeviceNotConnected:
    case ErrorAccessDenied:
    case ErrorInvalidHandle:
    case ErrorGenFailure:
    case ErrorOperationAborted:
        return true;
    default:
        return false;
    }
}

bool WindowsHidPlatform::accessDeniedError(quint32 error) const {
    return error == ErrorAccessDenied || error == ErrorSharingViolation;
}

void WindowsHidPlatform::addNotificationSink(QObject* sink) {
    if (!sink || d->sinks.contains(sink))
        return;
    d->sinks.append(sink);
    if (!d->window) {
        WinSys::Guid hidClass;
        if (d->hid.IsHidLoaded())
            d->hid.HidD_GetHidGuid(&hidClass);
        d->window = std::make_unique<WinSys::DeviceChangeWindow>([this] { d->postChange(); },
                                                                 d->hid.IsHidLoaded() ? &hidClass : nullptr);
    }
}

void WindowsHidPlatform::removeNotificationSink(QObject* sink) {
    d->sinks.removeAll(sink);
    if (d->sinks.isEmpty())
        d->window.reset();
}
