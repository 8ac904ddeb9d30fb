#include "ServiceLock.h"

#include "HubUpdateLock.h"

namespace cli {

ServiceLock lockHub(const QString& lockFolder, const HubIdentity& identity) {
    ServiceLock held;
    if (lockFolder.isEmpty() || !identity.isValid())
        return held;
    const HubUpdateLock lock(lockFolder, identity);
    if (lock.isHeldElsewhere()) {
        const QString holder = lock.holder();
        held.busy = true;
        held.busyText =
            QStringLiteral("Another program is updating hub %1%2")
                .arg(identity.key(), holder.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(holder));
    }
    return held;
}

} // namespace cli
