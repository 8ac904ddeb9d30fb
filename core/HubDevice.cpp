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

} // namespace hubdevice
