#include "Hid.h"

#include <cerrno>
#include <cstring>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace Hid {

bool inotifyEventsConcernHidraw(const char* buffer, qsizetype length) {
    bool relevant = false;
    for (qsizetype pos = 0; pos + qsizetype(sizeof(inotify_event)) <= length;) {
        inotify_event event;
        std::memcpy(&event, buffer + pos, sizeof event);
        const char* name = buffer + pos + sizeof(inotify_event);
        const qsizetype nameRoom = length - pos - qsizetype(sizeof(inotify_event));
        if (event.mask & IN_Q_OVERFLOW)
            relevant = true;
        else if (event.len >= 6 && nameRoom >= 6 && std::strncmp(name, "hidraw", 6) == 0)
            relevant = true;
        pos += qsizetype(sizeof(inotify_event)) + qsizetype(event.len);
    }
    return relevant;
}

QHash<QByteArray, QByteArray> parseUevent(const QByteArray& text) {
    QHash<QByteArray, QByteArray> values;
    for (const QByteArray& line : text.split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq <= 0)
            continue;
        values.insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    return values;
}

namespace {

// Printable text only: a key built from it goes into file names and logs.
QString printable(const QByteArray& raw) {
    QString text = QString::fromUtf8(raw);
    text.removeIf([](QChar c) { return !c.isPrint(); });
    return text.trimmed();
}

} // namespace

void identityFromUevent(const QHash<QByteArray, QByteArray>& values, QString& serial, QString& port) {
    serial = printable(values.value("HID_UNIQ"));
    port = printable(values.value("HID_PHYS"));
}

bool parseHidId(const QByteArray& value, quint32& bus, quint16& vendor, quint16& product) {
    const QList<QByteArray> parts = value.trimmed().split(':');
    if (parts.size() != 3)
        return false;
    bool ok[3] = {};
    const uint b = parts[0].toUInt(&ok[0], 16);
    const uint v = parts[1].toUInt(&ok[1], 16);
    const uint p = parts[2].toUInt(&ok[2], 16);
    if (!ok[0] || !ok[1] || !ok[2] || v > 0xFFFF || p > 0xFFFF)
        return false;
    bus = b;
    vendor = quint16(v);
    product = quint16(p);
    return true;
}

bool instanceNumberFromHidName(const QString& name, quint32& instance) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot < 0 || dot + 1 >= name.size())
        return false;
    bool ok = false;
    const uint value = name.mid(dot + 1).toUInt(&ok, 16);
    if (!ok)
        return false;
    instance = value;
    return true;
}

ReadOutcome waitAndRead(int fd, int wakeFd, int timeoutMs, quint8* buffer, quint32 length,
                        bool prependReportId) {
    ReadOutcome outcome;
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    const nfds_t count = wakeFd >= 0 ? 2 : 1;
    int ready;
    do {
        ready = ::poll(fds, count, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) {
        outcome.wait = HidReadWait::Completed;
        outcome.error = errno;
        return outcome;
    }
    if (count == 2 && (fds[1].revents & POLLIN)) {
        quint64 drained = 0;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd, &drained, sizeof(drained));
        outcome.wait = HidReadWait::Interrupted;
        return outcome;
    }
    if (ready == 0 || fds[0].revents == 0)
        return outcome; // timed out
    outcome.wait = HidReadWait::Completed;
    if (!(fds[0].revents & POLLIN)) {
        outcome.error = (fds[0].revents & POLLNVAL) ? EBADF : ENODEV;
        return outcome;
    }
    const quint32 offset = prependReportId ? 1 : 0;
    if (length <= offset) {
        outcome.error = EINVAL;
        return outcome;
    }
    ssize_t n;
    do {
        n = ::read(fd, buffer + offset, length - offset);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        outcome.error = errno;
        return outcome;
    }
    if (n == 0) {
        outcome.error = ENODEV; // end of file: the node went away
        return outcome;
    }
    if (prependReportId)
        buffer[0] = 0;
    outcome.bytes = quint32(n) + offset;
    return outcome;
}

bool rawInfo(int fd, HIDD_ATTRIBUTES& attributes) {
    hidraw_devinfo info{};
    if (::ioctl(fd, HIDIOCGRAWINFO, &info) < 0)
        return false;
    attributes.VendorID = quint16(info.vendor);
    attributes.ProductID = quint16(info.product);
    return true;
}

bool rawDescriptor(int fd, QByteArray& descriptor) {
    int size = 0;
    if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0 || size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE)
        return false;
    hidraw_report_descriptor raw{};
    raw.size = quint32(size);
    if (::ioctl(fd, HIDIOCGRDESC, &raw) < 0)
        return false;
    descriptor = QByteArray(reinterpret_cast<const char*>(raw.value), size);
    return true;
}

} // namespace Hid
