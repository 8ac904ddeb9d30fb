#include "UhidHub.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace hubsim {

namespace {

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

// "0003:FFF0:0018.000A" -> 10; the instance grows with every creation.
unsigned long instanceOf(const std::string& name) {
    const auto dot = name.rfind('.');
    return dot == std::string::npos ? 0 : std::strtoul(name.c_str() + dot + 1, nullptr, 16);
}

} // namespace

std::string hexBytes(const std::uint8_t* data, std::size_t size) {
    std::string out;
    out.reserve(size * 3);
    char byte[4];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
        out += byte;
    }
    return out;
}

// ---- the transport

UhidTransport::UhidTransport(std::string uhidPath) : m_path(std::move(uhidPath)) {}

UhidTransport::~UhidTransport() {
    close();
}

void UhidTransport::close() {
    {
        std::lock_guard lock(m_mutex);
        if (m_created)
            detachLocked();
    }
    m_stop = true;
    if (m_wakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    }
    if (m_reader.joinable())
        m_reader.join();
    std::lock_guard lock(m_mutex);
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    m_fd = m_wakeFd = -1;
}

void UhidTransport::setReceiver(std::function<void(std::span<const std::uint8_t>)> receiver) {
    std::lock_guard lock(m_mutex);
    m_receiver = std::move(receiver);
}

void UhidTransport::setPhys(std::string phys) {
    std::lock_guard lock(m_mutex);
    m_phys = std::move(phys);
}

std::string UhidTransport::error() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

void UhidTransport::setIdentity(const Identity& identity) {
    std::lock_guard lock(m_mutex);
    // The serial waits for the next creation; access is taken away at once.
    m_identity.access = identity.access;
    if (!identity.access && m_created)
        m_restrictUntil = std::chrono::steady_clock::now() + RestrictFor;
}

bool UhidTransport::openLocked() {
    if (m_fd >= 0)
        return true;
    if (m_stop)
        return false;
    m_fd = ::open(m_path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (m_fd < 0) {
        m_error = m_path + ": " + std::strerror(errno);
        return false;
    }
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        m_error = std::string("eventfd: ") + std::strerror(errno);
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_reader = std::thread([this] { readEvents(); });
    return true;
}

bool UhidTransport::writeEvent(const void* event, std::size_t size) {
    ssize_t n;
    do {
        n = ::write(m_fd, event, size);
    } while (n < 0 && errno == EINTR);
    if (n != ssize_t(size)) {
        m_error = std::string("uhid write: ") + (n < 0 ? std::strerror(errno) : "short write");
        return false;
    }
    return true;
}

// The runner holds its lock around every call below but its reports'
// delivery to the receiver, so none of them runs twice at once.
bool UhidTransport::attach(const Identity& identity) {
    std::lock_guard lock(m_mutex);
    if (!openLocked())
        return false;
    m_identity = identity;
    uhid_event event{};
    event.type = UHID_CREATE2;
    auto& create = event.u.create2;
    std::snprintf(reinterpret_cast<char*>(create.name), sizeof create.name, "Quorvi Charging Hub");
    std::snprintf(reinterpret_cast<char*>(create.phys), sizeof create.phys, "%s", m_phys.c_str());
    std::snprintf(reinterpret_cast<char*>(create.uniq), sizeof create.uniq, "%s", identity.serial.c_str());
    const auto descriptor = hubsim::reportDescriptor();
    create.rd_size = std::uint16_t(descriptor.size());
    std::memcpy(create.rd_data, descriptor.data(), descriptor.size());
    create.bus = BUS_USB;
    create.vendor = VendorId;
    create.product = ProductId;
    create.version = 0x0100;
    if (!writeEvent(&event, sizeof event))
        return false;
    m_created = true;
    if (!identity.access) {
        m_restrictUntil = std::chrono::steady_clock::now() + RestrictFor;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    }
    return true;
}

void UhidTransport::detach() {
    std::lock_guard lock(m_mutex);
    detachLocked();
}

void UhidTransport::detachLocked() {
    uhid_event event{};
    event.type = UHID_DESTROY;
    if (m_fd >= 0)
        writeEvent(&event, sizeof event);
    m_created = false;
    m_restrictUntil = {};
}

bool UhidTransport::send(const Bytes& report) {
    if (report.size() < 2 || report.size() > UHID_DATA_MAX)
        return false;
    std::lock_guard lock(m_mutex);
    if (!m_created)
        return false;
    uhid_event event{};
    event.type = UHID_INPUT2;
    // Without report ids the device sends the 64 bytes alone.
    event.u.input2.size = std::uint16_t(report.size() - 1);
    std::memcpy(event.u.input2.data, report.data() + 1, report.size() - 1);
    return writeEvent(&event, sizeof event.type + sizeof event.u.input2.size + event.u.input2.size);
}

std::string UhidTransport::restrictNode(const std::string& sysRoot, const std::string& devRoot,
                                        const std::string& serial, const std::string& phys) {
    const std::string base = sysRoot + "/devices/virtual/misc/uhid/";
    std::string best;
    unsigned long bestInstance = 0;
    for (const std::string& name : entries(base)) {
        std::ifstream uevent(base + name + "/uevent");
        bool uniq = false, physical = false;
        for (std::string line; std::getline(uevent, line);) {
            uniq = uniq || line == "HID_UNIQ=" + serial;
            physical = physical || line == "HID_PHYS=" + phys;
        }
        const auto nodes = entries(base + name + "/hidraw");
        if (!uniq || !physical || nodes.empty() || (!best.empty() && instanceOf(name) < bestInstance))
            continue;
        best = devRoot + "/" + nodes.front();
        bestInstance = instanceOf(name);
    }
    if (best.empty())
        return {};
    struct stat st {};
    if (::stat(best.c_str(), &st) != 0)
        return {};
    if (st.st_uid != 0 || st.st_gid != 0) [[maybe_unused]]
        const int owned = ::chown(best.c_str(), 0, 0);
    if ((st.st_mode & 07777) != 0600)
        ::chmod(best.c_str(), 0600);
    ::removexattr(best.c_str(), "system.posix_acl_access");
    return best;
}

void UhidTransport::restrictIfDue() {
    std::string serial, phys;
    {
        std::lock_guard lock(m_mutex);
        if (!m_created || m_identity.access || std::chrono::steady_clock::now() >= m_restrictUntil)
            return;
        serial = m_identity.serial;
        phys = m_phys;
    }
    restrictNode("/sys", "/dev", serial, phys);
}

void UhidTransport::readEvents() {
    uhid_event event;
    while (!m_stop) {
        int timeoutMs = -1;
        {
            std::lock_guard lock(m_mutex);
            if (m_created && !m_identity.access && std::chrono::steady_clock::now() < m_restrictUntil)
                timeoutMs = 10;
        }
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, timeoutMs) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (m_stop)
            return;
        if (fds[1].revents) {
            std::uint64_t count;
            [[maybe_unused]] const ssize_t n = ::read(m_wakeFd, &count, sizeof count);
        }
        restrictIfDue();
        if (!(fds[0].revents & POLLIN))
            continue;
        const ssize_t n = ::read(m_fd, &event, sizeof event);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return;
        }
        if (n < ssize_t(sizeof event.type))
            continue;
        switch (event.type) {
        case UHID_OUTPUT:
            // The kernel hands over an output report of an unnumbered device
            // with the report id 0 in front, as the host wrote it.
            if (event.u.output.rtype == UHID_OUTPUT_REPORT) {
                std::function<void(std::span<const std::uint8_t>)> receiver;
                {
                    std::lock_guard lock(m_mutex);
                    receiver = m_receiver;
                }
                if (receiver)
                    receiver(std::span(event.u.output.data,
                                       std::min<std::size_t>(event.u.output.size, UHID_DATA_MAX)));
            }
            break;
        case UHID_GET_REPORT: {
            // The hub has no feature or readable reports.
            uhid_event reply{};
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = event.u.get_report.id;
            reply.u.get_report_reply.err = EIO;
            std::lock_guard lock(m_mutex);
            writeEvent(&reply, sizeof reply);
            break;
        }
        case UHID_SET_REPORT: {
            uhid_event reply{};
            reply.type = UHID_SET_REPORT_REPLY;
            reply.u.set_report_reply.id = event.u.set_report.id;
            reply.u.set_report_reply.err = EIO;
            std::lock_guard lock(m_mutex);
            writeEvent(&reply, sizeof reply);
            break;
        }
        default:
            break; // start, stop, open, close: nothing to do
        }
    }
}

// ---- the hub

UhidHub::UhidHub(std::string uhidPath)
    : m_transport(std::make_unique<UhidTransport>(std::move(uhidPath))),
      m_runner(std::make_unique<HubRunner>(*m_transport)) {
    m_transport->setReceiver(
        [runner = m_runner.get()](std::span<const std::uint8_t> report) { runner->receive(report); });
    m_runner->setListener([this](const HubEvent& event) { onEvent(event); });
}

UhidHub::~UhidHub() {
    m_runner->stop();
    m_runner->unplug();
    m_transport->close();
}

bool UhidHub::plug() {
    return m_runner->plug();
}

bool UhidHub::unplug() {
    return m_runner->unplug();
}

bool UhidHub::isPlugged() const {
    return m_runner->isPlugged();
}

std::string UhidHub::error() const {
    return m_transport->error();
}

bool UhidHub::sendReport(const Bytes& report) {
    return m_runner->send(report);
}

void UhidHub::apply(const HubSetup& setup) {
    applySetup(setup, *m_runner);
}

void UhidHub::setSerial(std::string serial) {
    m_runner->setSerial(std::move(serial));
}

void UhidHub::setPhys(std::string phys) {
    m_transport->setPhys(std::move(phys));
}

std::string UhidHub::serial() const {
    return m_runner->serial();
}

int UhidHub::creations() const {
    return m_runner->attaches();
}

void UhidHub::setLogger(std::function<void(const std::string&)> logger) {
    std::lock_guard lock(m_loggerMutex);
    m_logger = std::move(logger);
}

void UhidHub::onEvent(const HubEvent& event) {
    std::string line;
    switch (event.kind) {
    case HubEvent::Kind::Plugged:
        line = "plugged";
        break;
    case HubEvent::Kind::Unplugged:
        line = "unplugged";
        break;
    case HubEvent::Kind::Restarting:
        line = "restarting";
        break;
    case HubEvent::Kind::Left:
        line = "left";
        break;
    case HubEvent::Kind::CameBack:
        line = m_runner->model().mode() == HubMode::Bootloader ? "back in the bootloader"
                                                               : "back in the application";
        break;
    case HubEvent::Kind::ReportIn:
        line = "-> " + hexBytes(event.report.data(), event.report.size());
        break;
    case HubEvent::Kind::ReportOut:
        line = "<- " + hexBytes(event.report.data(), event.report.size());
        break;
    }
    std::lock_guard lock(m_loggerMutex);
    if (m_logger)
        m_logger(line);
}

} // namespace hubsim
