#pragma once

// The HID library on Linux: the kernel's hidraw interface (ioctls on the
// device node, sysfs when the node cannot be opened). The pure parts are
// separate functions so they can be tested without a device.

#include "HidPlatform.h"

#include <QByteArray>
#include <QHash>
#include <QString>

namespace Hid {

// KEY=VALUE lines of a sysfs uevent file or a udev property list.
QHash<QByteArray, QByteArray> parseUevent(const QByteArray& text);

// The serial number (HID_UNIQ, empty when the device has none) and the port
// (HID_PHYS) from a hid device's uevent values. A serial of blanks or control
// characters only is no serial.
void identityFromUevent(const QHash<QByteArray, QByteArray>& values, QString& serial, QString& port);

// HID_ID ("0003:0000FFF0:00000018"): bus, vendor, product.
bool parseHidId(const QByteArray& value, quint32& bus, quint16& vendor, quint16& product);

// The number after the dot of a hid device name ("0003:FFF0:0018.000A" -> 10).
bool instanceNumberFromHidName(const QString& name, quint32& instance);

struct ReadOutcome {
    HidReadWait wait = HidReadWait::TimedOut;
    quint32 bytes = 0; // with Completed and error 0: bytes in buffer, report id first
    int error = 0;     // with Completed: errno of a failed read (EIO/ENODEV when gone)
};

// Waits up to timeoutMs for one report on fd or a wake-up on wakeFd (an
// eventfd, drained here), then reads it. Devices without numbered reports
// deliver no report id: prependReportId puts a 0 in front. A hung-up node
// (POLLHUP, POLLERR, EIO, end of file) completes with ENODEV/EIO.
ReadOutcome waitAndRead(int fd, int wakeFd, int timeoutMs, quint8* buffer, quint32 length,
                        bool prependReportId);

// Whether a batch of inotify events read from a watch on /dev may concern a
// hidraw node: an event on one, or an overflow of the queue (events were
// lost, so only a full pass can tell).
bool inotifyEventsConcernHidraw(const char* buffer, qsizetype length);

// Attributes by HIDIOCGRAWINFO (vendor and product are signed shorts there).
bool rawInfo(int fd, HIDD_ATTRIBUTES& attributes);
// Report descriptor by HIDIOCGRDESC.
bool rawDescriptor(int fd, QByteArray& descriptor);

} // namespace Hid
