#pragma once

// data and levels talk to a hub only while no update runs on it: they hold
// its update lock (HubUpdateLock) for as long as they send frames, so an
// update in another program waits for them and they leave one alone.

#include "HubIdentity.h"
#include "HubUpdateLock.h"

#include <QString>

#include <memory>

namespace cli {

struct ServiceLock {
    std::unique_ptr<HubUpdateLock> lock; // held, or none when nothing is locked (no state folder)
    bool busy = false;                   // another program updates the hub
    QString busyText;                    // "Another program is updating hub <id> (<holder>)"
};

// Takes the hub's lock beside the state file; an empty path locks nothing.
ServiceLock lockHub(const QString& statePath, const HubIdentity& identity);

} // namespace cli
