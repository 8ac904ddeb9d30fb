#include "ServiceLock.h"

namespace cli {

ServiceLock lockHub(const QString& statePath, const HubIdentity& identity) {
    ServiceLock held;
    if (statePath.isEmpty() || !identity.isValid())
        return held;
    held.lock = std::make_unique<HubUpdateLock>(HubUpdateLock::folderFor(statePath), identity);
    if (held.lock->tryLock())
        return held;
    // A lock that cannot be made guards nothing, but keeps nobody from reading.
    if (held.lock->heldByAnother()) {
        const QString holder = held.lock->holder();
        held.busy = true;
        held.busyText =
            QStringLiteral("Another program is updating hub %1%2")
                .arg(identity.key(), holder.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(holder));
    }
    held.lock.reset();
    return held;
}

} // namespace cli
