#include "UhidHub.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace hubsim {

namespace {

// Between the last answer and the detach, as a hub's reset takes a moment
// after its reply went out.
constexpr auto DetachAfterReply = 20ms;

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

UhidHub::UhidHub(std::string uhidPath) : m_path(std::move(uhidPath)) {}

UhidHub::~UhidHub() {
    m_scheduler.shutdown();
    {
        std::lock_guard lock(m_mutex);
        ++m_session;
        if (m_plugged)
            destroyLocked();
        m_logger = {};
    }
    m_stop = true;
    if (m_wakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    }
    if (m_reader.joinable())
        m_reader.join();
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

bool UhidHub::openLocked() {
    if (m_fd >= 0)
        return true;
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

bool UhidHub::writeEvent(const void* event, std::size_t size) {
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

void UhidHub::setSerial(std::string serial) {
    std::lock_guard lock(m_mutex);
    m_serial = std::move(serial);
}

void UhidHub::setPhys(std::string phys) {
    std::lock_guard lock(m_mutex);
    m_phys = std::move(phys);
}

std::string UhidHub::serial() const {
    std::lock_guard lock(m_mutex);
    return m_serial;
}

bool UhidHub::createLocked() {
    uhid_event event{};
    event.type = UHID_CREATE2;
    auto& create = event.u.create2;
    std::snprintf(reinterpret_cast<char*>(create.name), sizeof create.name, "Quorvi Charging Hub");
    std::snprintf(reinterpret_cast<char*>(create.phys), sizeof create.phys, "%s", m_phys.c_str());
    std::snprintf(reinterpret_cast<char*>(create.uniq), sizeof create.uniq, "%s", m_serial.c_str());
    const auto descriptor = hubsim::reportDescriptor();
    create.rd_size = std::uint16_t(descriptor.size());
    std::memcpy(create.rd_data, descriptor.data(), descriptor.size());
    create.bus = BUS_USB;
    create.vendor = VendorId;
    create.product = ProductId;
    create.version = 0x0100;
    if (!writeEvent(&event, sizeof event))
        return false;
    ++m_creations;
    return true;
}

void UhidHub::destroyLocked() {
    uhid_event event{};
    event.type = UHID_DESTROY;
    writeEvent(&event, sizeof event);
    m_plugged = false;
}

bool UhidHub::plug() {
    {
        std::lock_guard lock(m_mutex);
        ++m_session;
        if (!openLocked())
            return false;
        // Plugged by hand while a restart is under way: the restart is over.
        m_model.finishRestart();
        if (m_plugged)
            return true;
        if (!createLocked())
            return false;
        m_plugged = true;
    }
    log("plugged");
    return true;
}

bool UhidHub::unplug() {
    {
        std::lock_guard lock(m_mutex);
        ++m_session;
        if (!m_plugged)
            return false;
        destroyLocked();
    }
    log("unplugged");
    return true;
}

bool UhidHub::isPlugged() const {
    std::lock_guard lock(m_mutex);
    return m_plugged;
}

std::string UhidHub::error() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

int UhidHub::creations() const {
    std::lock_guard lock(m_mutex);
    return m_creations;
}

void UhidHub::setLogger(std::function<void(const std::string&)> logger) {
    std::lock_guard lock(m_mutex);
    m_logger = std::move(logger);
}

void UhidHub::log(const std::string& line) {
    std::function<void(const std::string&)> logger;
    {
        std::lock_guard lock(m_mutex);
        logger = m_logger;
    }
    if (logger)
        logger(line);
}

void UhidHub::readEvents() {
    uhid_event event;
    while (!m_stop) {
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
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
            if (event.u.output.rtype == UHID_OUTPUT_REPORT)
                onOutput(event.u.output.data, std::min<std::size_t>(event.u.output.size, UHID_DATA_MAX));
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

// The kernel hands over an output report of an unnumbered device with the
// report id 0 in front, as the host wrote it.
void UhidHub::onOutput(const std::uint8_t* data, std::size_t size) {
    m_trace.record(TraceEntry::Direction::ToHub, std::span(data, size));
    log("-> " + hexBytes(data, size));
    const HubResponse response = m_model.handleReport(std::span(data, size));
    std::uint64_t session;
    {
        std::lock_guard lock(m_mutex);
        session = m_session;
    }
    const auto due = SimScheduler::Clock::now() + std::chrono::milliseconds(response.replyDelayMs);
    if (response.leadingReply)
        m_scheduler.at(due, [this, session, reply = *response.leadingReply] { deliver(session, reply); });
    if (response.reply)
        m_scheduler.at(due, [this, session, reply = *response.reply] { deliver(session, reply); });
    if (response.then != HubResponse::Then::Stay) {
        const auto backAfter = response.then == HubResponse::Then::Restart
                                   ? std::optional(std::chrono::milliseconds(response.restartDelayMs))
                                   : std::nullopt;
        m_scheduler.at(due + DetachAfterReply, [this, session, backAfter] { leave(session, backAfter); });
    }
}

bool UhidHub::sendReport(const Bytes& report) {
    std::uint64_t session;
    {
        std::lock_guard lock(m_mutex);
        session = m_session;
    }
    return deliver(session, report);
}

bool UhidHub::deliver(std::uint64_t session, const Bytes& report) {
    if (report.size() < 2 || report.size() > UHID_DATA_MAX)
        return false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_plugged || session != m_session)
            return false;
        uhid_event event{};
        event.type = UHID_INPUT2;
        // Without report ids the device sends the 64 bytes alone.
        event.u.input2.size = std::uint16_t(report.size() - 1);
        std::memcpy(event.u.input2.data, report.data() + 1, report.size() - 1);
        m_trace.record(TraceEntry::Direction::FromHub, report);
        if (!writeEvent(&event, sizeof event.type + sizeof event.u.input2.size + event.u.input2.size))
            return false;
    }
    log("<- " + hexBytes(report.data(), report.size()));
    return true;
}

void UhidHub::leave(std::uint64_t session, std::optional<std::chrono::milliseconds> backAfter) {
    {
        std::lock_guard lock(m_mutex);
        if (session != m_session || !m_plugged)
            return;
        destroyLocked();
    }
    log(backAfter ? "restarting" : "left");
    if (backAfter)
        m_scheduler.after(*backAfter, [this, session] { comeBack(session); });
}

void UhidHub::comeBack(std::uint64_t session) {
    {
        std::lock_guard lock(m_mutex);
        if (session != m_session || m_plugged)
            return;
        m_model.finishRestart();
        if (!createLocked())
            return;
        m_plugged = true;
    }
    log(m_model.mode() == HubMode::Bootloader ? "back in the bootloader" : "back in the application");
}

} // namespace hubsim
