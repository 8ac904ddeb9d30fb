#include "LinuxHidPlatform.h"

#include "Hid.h"
#include "ReportDescriptor.h"
#include "SetupApi.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

namespace {

const QUuid HidInterfaceGuid(0x4D1E55B2, 0xF16F, 0x11CF, 0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30);

struct OpenNode {
    int fd = -1; // -1 for a query-only open
    QString devnode;
    QString sysfsDevice; // /sys/class/hidraw/hidrawN/device
    HidAccess access = HidAccess::None;
    quint32 bufferCount = 32;
    int numbered = -1; // unknown until the descriptor was read
};

QByteArray readSysfs(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool udevDaemonRunning() {
    return QFileInfo::exists(QStringLiteral("/run/udev/control"));
}

QString sysfsDeviceOf(const QString& devnode) {
    return QStringLiteral("/sys/class/hidraw/%1/device").arg(QFileInfo(devnode).fileName());
}

QByteArray descriptorOf(const OpenNode& node) {
    QByteArray descriptor;
    if (node.fd >= 0 && Hid::rawDescriptor(node.fd, descriptor))
        return descriptor;
    return readSysfs(node.sysfsDevice + QStringLiteral("/report_descriptor"));
}

// bcdDevice of the USB device above the hid device, if any.
quint16 versionOf(const QString& sysfsDevice) {
    QDir dir(QFileInfo(sysfsDevice).canonicalFilePath());
    for (int up = 0; up < 4 && dir.cdUp(); ++up) {
        const QByteArray bcd = readSysfs(dir.filePath(QStringLiteral("bcdDevice"))).trimmed();
        bool ok = false;
        const uint value = bcd.toUInt(&ok, 16);
        if (ok)
            return quint16(value);
    }
    return 0;
}

class LinuxReadRequest : public HidReadRequest {
public:
    LinuxReadRequest() : wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~LinuxReadRequest() override {
        closeDup();
        if (wakeFd >= 0)
            ::close(wakeFd);
    }
    void interrupt() override {
        const quint64 one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof(one));
    }
    void closeDup() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    int wakeFd;
    // Only the thread that reads touches these.
    int fd = -1; // our own duplicate of the node: a close of the handle cannot pull it away
    quint8* buffer = nullptr;
    quint32 length = 0;
    bool prepend = false;
    bool done = false;
    bool ok = false;
    quint32 bytes = 0;
    int error = 0;
};

class DeviceSet : public HidDeviceSet {
public:
    struct Entry {
        bool readable = false;
        HidInterfaceDetail detail;
    };
    explicit DeviceSet(std::vector<Entry> entries) : m_entries(std::move(entries)) {}
    bool enumInterface(int index) override { return index >= 0 && size_t(index) < m_entries.size(); }
    bool interfaceDetail(int index, HidInterfaceDetail& detail) override {
        if (!enumInterface(index) || !m_entries[size_t(index)].readable)
            return false;
        detail = m_entries[size_t(index)].detail;
        return true;
    }

private:
    std::vector<Entry> m_entries;
};

} // namespace

// Watches for hidraw nodes coming and going and posts the device-change
// event: from the udev monitor when a udev daemon runs, else from inotify on /dev.
class HidrawMonitor : public QObject {
public:
    HidrawMonitor(SetupApi& api, std::function<void()> changed) : m_api(api), m_changed(std::move(changed)) {
        const bool udevRunning = udevDaemonRunning();
        if (udevRunning && m_api.IsSetupApiLoaded() && (m_udev = m_api.udev_new())) {
            m_monitor = m_api.udev_monitor_new_from_netlink(m_udev, "udev");
            if (m_monitor &&
                m_api.udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "hidraw", nullptr) >= 0 &&
                m_api.udev_monitor_enable_receiving(m_monitor) >= 0) {
                m_fd = m_api.udev_monitor_get_fd(m_monitor);
            }
        }
        if (m_fd < 0) {
            releaseUdev();
            m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            if (m_inotify >= 0 &&
                ::inotify_add_watch(m_inotify, "/dev", IN_CREATE | IN_DELETE | IN_ATTRIB) >= 0)
                m_fd = m_inotify;
        }
        if (m_fd >= 0) {
            m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
            connect(m_notifier, &QSocketNotifier::activated, this, [this] { drain(); });
        }
    }
    ~HidrawMonitor() override {
        delete m_notifier;
        releaseUdev();
        if (m_inotify >= 0)
            ::close(m_inotify);
    }

private:
    void releaseUdev() {
        if (m_monitor)
            m_api.udev_monitor_unref(m_monitor);
        if (m_udev)
            m_api.udev_unref(m_udev);
        m_monitor = nullptr;
        m_udev = nullptr;
    }
    void drain() {
        bool relevant = false;
        if (m_monitor) {
            while (udev_device* device = m_api.udev_monitor_receive_device(m_monitor)) {
                relevant = true;
                m_api.udev_device_unref(device);
            }
        } else {
            alignas(inotify_event) char buffer[4096];
            ssize_t n;
            while ((n = ::read(m_inotify, buffer, sizeof(buffer))) > 0)
                relevant = Hid::inotifyEventsConcernHidraw(buffer, n) || relevant;
        }
        if (relevant)
            m_changed();
    }

    SetupApi& m_api;
    std::function<void()> m_changed;
    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    int m_inotify = -1;
    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
};

struct LinuxHidPlatform::Private {
    explicit Private(QByteArray name) : api(std::move(name)) {}
    SetupApi api;
    bool hidLoaded = false;
    std::mutex mutex; // handles are used from the UI thread and the read threads
    std::map<HidHandle, OpenNode> handles;
    HidHandle nextHandle = 1;
    QList<QObject*> sinks;
    std::unique_ptr<HidrawMonitor> monitor;

    bool node(HidHandle handle, OpenNode& out) {
        std::lock_guard lock(mutex);
        const auto it = handles.find(handle);
        if (it == handles.end())
            return false;
        out = it->second;
        return true;
    }
    void postChange() {
        for (QObject* sink : std::as_const(sinks))
            QCoreApplication::postEvent(sink, new HidDeviceChangeEvent(DBT_DEVNODES_CHANGED, 0));
    }
};

LinuxHidPlatform::LinuxHidPlatform(QByteArray libudevName)
    : d(std::make_unique<Private>(std::move(libudevName))) {}

LinuxHidPlatform::~LinuxHidPlatform() {
    d->monitor.reset();
    std::lock_guard lock(d->mutex);
    for (auto& [handle, node] : d->handles)
        if (node.fd >= 0)
            ::close(node.fd);
}

SetupApi& LinuxHidPlatform::setupApi() {
    return d->api;
}

bool LinuxHidPlatform::loadSetupLibrary() {
    return d->api.LoadSetupApi();
}

void LinuxHidPlatform::unloadSetupLibrary() {
    if (d->api.useCount() == 1)
        d->monitor.reset(); // it calls into the library
    d->api.UnloadSetupApi();
}

bool LinuxHidPlatform::loadHidLibrary() {
    // hidraw is a kernel interface: nothing to load, but it is only usable
    // together with the enumeration library.
    d->hidLoaded = d->api.IsSetupApiLoaded();
    return d->hidLoaded;
}

void LinuxHidPlatform::unloadHidLibrary() {
    d->hidLoaded = false;
}

bool LinuxHidPlatform::hidLibraryLoaded() const {
    return d->hidLoaded;
}

QUuid LinuxHidPlatform::hidGuid() const {
    return HidInterfaceGuid;
}

std::unique_ptr<HidDeviceSet> LinuxHidPlatform::getClassDevices(const QUuid& classGuid) {
    SetupApi& api = d->api;
    if (!d->hidLoaded || !api.IsSetupApiLoaded() || classGuid != HidInterfaceGuid)
        return nullptr;
    udev* context = api.udev_new();
    if (!context)
        return nullptr;
    udev_enumerate* enumerate = api.udev_enumerate_new(context);
    if (!enumerate) {
        api.udev_unref(context);
        return nullptr;
    }
    std::vector<DeviceSet::Entry> entries;
    api.udev_enumerate_add_match_subsystem(enumerate, "hidraw");
    // While udev still works on a node (permissions, access lists) it is not
    // ours to open yet; its "add" event brings it later. Without a daemon
    // nothing is ever initialized, so the match would hide every device.
    if (udevDaemonRunning())
        api.udev_enumerate_add_match_is_initialized(enumerate);
    api.udev_enumerate_scan_devices(enumerate);
    for (udev_list_entry* item = api.udev_enumerate_get_list_entry(enumerate); item;
         item = api.udev_list_entry_get_next(item)) {
        DeviceSet::Entry entry;
        udev_device* raw = api.udev_device_new_from_syspath(context, api.udev_list_entry_get_name(item));
        if (!raw) {
            entries.push_back(entry);
            continue;
        }
        const char* devnode = api.udev_device_get_devnode(raw);
        udev_device* hid = api.udev_device_get_parent_with_subsystem_devtype(raw, "hid", nullptr);
        const char* hidName = hid ? api.udev_device_get_sysname(hid) : nullptr;
        quint32 instance = 0;
        if (devnode && hidName && Hid::instanceNumberFromHidName(QString::fromLatin1(hidName), instance)) {
            entry.readable = true;
            HidInterfaceDetail& detail = entry.detail;
            detail.instanceNumber = instance;
            detail.path = QString::fromLocal8Bit(devnode);
            auto prop = [&](const char* key) {
                return QString::fromUtf8(api.udev_device_get_property_value(hid, key));
            };
            HidPropertyMap& p = detail.properties;
            const QString name = prop("HID_NAME");
            p.insert(HidProperty::DeviceDesc, name);
            p.insert(HidProperty::FriendlyName, name);
            p.insert(HidProperty::LocationInformation, prop("HID_PHYS"));
            // The hid device's own uevent; udev's copy where sysfs cannot be read.
            QHash<QByteArray, QByteArray> uevent = Hid::parseUevent(
                readSysfs(QString::fromUtf8(api.udev_device_get_syspath(hid)) + QStringLiteral("/uevent")));
            if (!uevent.contains("HID_PHYS")) {
                uevent.insert("HID_UNIQ", prop("HID_UNIQ").toUtf8());
                uevent.insert("HID_PHYS", prop("HID_PHYS").toUtf8());
            }
            Hid::identityFromUevent(uevent, detail.serialNumber, detail.port);
            p.insert(HidProperty::Class, QStringLiteral("HIDClass"));
            p.insert(HidProperty::ClassGuid, QStringLiteral("{745a17a0-74d3-11d0-b6fe-00a0c90f57da}"));
            p.insert(HidProperty::Service, QStringLiteral("hidraw"));
            p.insert(HidProperty::Driver, QString::fromUtf8(api.udev_device_get_driver(hid)));
            p.insert(HidProperty::PhysicalDeviceObjectName,
                     QString::fromUtf8(api.udev_device_get_syspath(hid)));
            quint32 bus = 0;
            quint16 vendor = 0, product = 0;
            QStringList ids;
            if (Hid::parseHidId(prop("HID_ID").toLatin1(), bus, vendor, product))
                ids << QStringLiteral("HID\\VID_%1&PID_%2")
                           .arg(vendor, 4, 16, QLatin1Char('0'))
                           .arg(product, 4, 16, QLatin1Char('0'))
                           .toUpper();
            const QString modalias = prop("MODALIAS");
            if (!modalias.isEmpty())
                ids << modalias;
            p.insert(HidProperty::HardwareId, ids);
            p.insert(HidProperty::EnumeratorName, bus == 3 ? QStringLiteral("USB") : QStringLiteral("HID"));
            if (udev_device* usb =
                    api.udev_device_get_parent_with_subsystem_devtype(raw, "usb", "usb_device")) {
                p.insert(HidProperty::Mfg,
                         QString::fromUtf8(api.udev_device_get_sysattr_value(usb, "manufacturer")));
                p.insert(HidProperty::BusNumber,
                         QString::fromLatin1(api.udev_device_get_sysattr_value(usb, "busnum")).toUInt());
                p.insert(HidProperty::Address,
                         QString::fromLatin1(api.udev_device_get_sysattr_value(usb, "devpath")));
            }
        }
        api.udev_device_unref(raw);
        entries.push_back(entry);
    }
    api.udev_enumerate_unref(enumerate);
    api.udev_unref(context);
    return std::make_unique<DeviceSet>(std::move(entries));
}

HidHandle LinuxHidPlatform::open(const QString& path, HidAccess access) {
    OpenNode node;
    node.devnode = path;
    node.sysfsDevice = sysfsDeviceOf(path);
    node.access = access;
    const QByteArray native = QFile::encodeName(path);
    if (access == HidAccess::None) {
        // Query only: the node need not be openable, sysfs answers instead.
        if (!QFileInfo::exists(node.sysfsDevice + QStringLiteral("/uevent"))) {
            setThreadLastError(ENOENT);
            return InvalidHidHandle;
        }
    } else {
        const int flags = (access == HidAccess::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
        node.fd = ::open(native.constData(), flags);
        if (node.fd < 0) {
            setThreadLastError(quint32(errno));
            return InvalidHidHandle;
        }
    }
    std::lock_guard lock(d->mutex);
    const HidHandle handle = d->nextHandle++;
    d->handles.emplace(handle, node);
    return handle;
}

void LinuxHidPlatform::close(HidHandle handle) {
    std::lock_guard lock(d->mutex);
    const auto it = d->handles.find(handle);
    if (it == d->handles.end())
        return;
    if (it->second.fd >= 0)
        ::close(it->second.fd);
    d->handles.erase(it);
}

bool LinuxHidPlatform::getAttributes(HidHandle handle, HIDD_ATTRIBUTES& attributes) {
    OpenNode node;
    if (!d->node(handle, node)) {
        setThreadLastError(EBADF);
        return false;
    }
    bool ok = node.fd >= 0 && Hid::rawInfo(node.fd, attributes);
    if (!ok) {
        const auto uevent = Hid::parseUevent(readSysfs(node.sysfsDevice + QStringLiteral("/uevent")));
        quint32 bus = 0;
        ok = Hid::parseHidId(uevent.value("HID_ID"), bus, attributes.VendorID, attributes.ProductID);
    }
    if (!ok) {
        setThreadLastError(ENODEV);
        return false;
    }
    attributes.VersionNumber = versionOf(node.sysfsDevice);
    return true;
}

HidPreparsedData* LinuxHidPlatform::getPreparsedData(HidHandle handle) {
    OpenNode node;
    if (!d->node(handle, node))
        return nullptr;
    const QByteArray descriptor = descriptorOf(node);
    return preparsedFromDescriptor(descriptor);
}

bool LinuxHidPlatform::setNumInputBuffers(HidHandle handle, quint32 count) {
    // The kernel's queue per open file is fixed; the count is kept so that
    // callers see what they asked for, within the range the HID class allows.
    std::lock_guard lock(d->mutex);
    const auto it = d->handles.find(handle);
    if (it == d->handles.end() || count < 2 || count > 512) {
        setThreadLastError(it == d->handles.end() ? EBADF : EINVAL);
        return false;
    }
    it->second.bufferCount = count;
    return true;
}

bool LinuxHidPlatform::getNumInputBuffers(HidHandle handle, quint32& count) {
    OpenNode node;
    if (!d->node(handle, node)) {
        setThreadLastError(EBADF);
        return false;
    }
    count = node.bufferCount;
    return true;
}

bool LinuxHidPlatform::write(HidHandle handle, const quint8* buffer, quint32 length, quint32& written) {
    written = 0;
    OpenNode node;
    if (!d->node(handle, node) || node.fd < 0 || node.access != HidAccess::ReadWrite) {
        setThreadLastError(EBADF);
        return false;
    }
    ssize_t n;
    do {
        n = ::write(node.fd, buffer, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        setThreadLastError(quint32(errno));
        return false;
    }
    written = quint32(n);
    return written == length;
}

std::unique_ptr<HidReadRequest> LinuxHidPlatform::createReadRequest() {
    auto request = std::make_unique<LinuxReadRequest>();
    if (request->wakeFd < 0)
        return nullptr;
    return request;
}

bool LinuxHidPlatform::beginRead(HidHandle handle, HidReadRequest& request, quint8* buffer, quint32 length) {
    auto& r = static_cast<LinuxReadRequest&>(request);
    r.closeDup();
    int numbered = -1;
    {
        std::lock_guard lock(d->mutex);
        const auto it = d->handles.find(handle);
        if (it == d->handles.end() || it->second.fd < 0 || !buffer || length == 0) {
            setThreadLastError(it == d->handles.end() ? EBADF : EINVAL);
            return false;
        }
        r.fd = ::fcntl(it->second.fd, F_DUPFD_CLOEXEC, 0);
        numbered = it->second.numbered;
        if (numbered < 0) {
            const QByteArray descriptor = descriptorOf(it->second);
            const auto info = parseReportDescriptor(reinterpret_cast<const quint8*>(descriptor.constData()),
                                                    descriptor.size());
            numbered = it->second.numbered = info && info->numberedReports ? 1 : 0;
        }
    }
    if (r.fd < 0) {
        setThreadLastError(quint32(errno));
        return false;
    }
    r.buffer = buffer;
    r.length = length;
    r.prepend = numbered == 0;
    r.done = false;
    r.ok = false;
    r.bytes = 0;
    r.error = 0;
    return true;
}

HidReadWait LinuxHidPlatform::awaitRead(HidReadRequest& request, int sliceMs) {
    auto& r = static_cast<LinuxReadRequest&>(request);
    if (r.fd < 0) {
        // Nothing outstanding: just a pause that a stop can end.
        const Hid::ReadOutcome outcome = Hid::waitAndRead(r.wakeFd, -1, sliceMs, nullptr, 0, false);
        if (outcome.wait == HidReadWait::TimedOut)
            return HidReadWait::TimedOut;
        quint64 drained = 0;
        [[maybe_unused]] const ssize_t n = ::read(r.wakeFd, &drained, sizeof(drained));
        return HidReadWait::Interrupted;
    }
    const Hid::ReadOutcome outcome = Hid::waitAndRead(r.fd, r.wakeFd, sliceMs, r.buffer, r.length, r.prepend);
    if (outcome.wait == HidReadWait::Completed) {
        r.done = true;
        r.ok = outcome.error == 0;
        r.bytes = outcome.bytes;
        r.error = outcome.error;
        r.closeDup();
    }
    return outcome.wait;
}

bool LinuxHidPlatform::completedReadLength(HidReadRequest& request, quint32& bytes) {
    auto& r = static_cast<LinuxReadRequest&>(request);
    bytes = 0;
    if (!r.done || !r.ok) {
        setThreadLastError(r.done ? quint32(r.error) : quint32(EINPROGRESS));
        return false;
    }
    bytes = r.bytes;
    return true;
}

bool LinuxHidPlatform::cancelRead(HidReadRequest& request) {
    auto& r = static_cast<LinuxReadRequest&>(request);
    const bool outstanding = r.fd >= 0;
    r.closeDup();
    return outstanding;
}

quint32 LinuxHidPlatform::lastError() const {
    return threadLastError();
}

void LinuxHidPlatform::addNotificationSink(QObject* sink) {
    if (!sink || d->sinks.contains(sink))
        return;
    d->sinks.append(sink);
    if (!d->monitor)
        d->monitor = std::make_unique<HidrawMonitor>(d->api, [this] { d->postChange(); });
}

void LinuxHidPlatform::removeNotificationSink(QObject* sink) {
    d->sinks.removeAll(sink);
    if (d->sinks.isEmpty())
        d->monitor.reset();
}
