#include "HubDevice.h"

#include "HidControllerClass.h"

#include <cerrno>
#include <cstring>

// The build names the path; this stands in only where sources are compiled
// without it (the syntax check for Windows, which has no rule).
#ifndef QUORVI_UDEV_RULE_PATH
#define QUORVI_UDEV_RULE_PATH "/lib/udev/rules.d/70-quorvi-hub.rules"
#endif

namespace hubdevice {

bool isHub(const THidDevice* device) {
    return device->Attributes().VendorID == VendorId && device->Attributes().ProductID == ProductId;
}

QString udevRulePath() {
    return QStringLiteral(QUORVI_UDEV_RULE_PATH);
}

#ifdef _WIN32
// Every user may open a HID device on Windows: a refusal means another program
// holds the hub for itself. The codes are the system's own.
QString accessMessage(quint32 openError) {
    constexpr quint32 ErrorAccessDenied = 5;
    constexpr quint32 ErrorSharingViolation = 32;
    if (openError == ErrorAccessDenied || openError == ErrorSharingViolation || openError == 0) {
        return QStringLiteral(
            "A Charging Hub is connected, but Windows did not let this program open it. Close "
            "any other program that uses the hub, then unplug the hub and plug it in again.");
    }
    return QStringLiteral(
               "A Charging Hub is connected, but it cannot be opened (Windows error %1). Unplug the "
               "hub and plug it in again.")
        .arg(openError);
}
#else
QString accessMessage(quint32 openError) {
    // No error recorded means the open was never allowed to happen.
    if (openError == EACCES || openError == EPERM || openError == 0) {
        return QStringLiteral(
                   "A Charging Hub is connected, but this user may not use it. Install the udev rule "
                   "%1 (it comes with this program), then unplug the hub and plug it in again.")
            .arg(udevRulePath());
    }
    return QStringLiteral("A Charging Hub is connected, but it cannot be opened (%1). Unplug the hub and "
                          "plug it in again.")
        .arg(QString::fromLocal8Bit(std::strerror(int(openError))));
}
#endif

} // namespace hubdevice
