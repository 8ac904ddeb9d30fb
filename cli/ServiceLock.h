#pragma once

// data and levels leave a hub alone while another program updates it: they
// look at its update lock (HubUpdateLock) before any frame. Each exchange of
// the session looks again, so an update that starts meanwhile gets no frame
// from them either.

#include "HubIdentity.h"

#include <QString>

namespace cli {

struct ServiceLock {
    bool busy = false; // another program updates the hub
    QString busyText;  // "Another program is updating hub <id> (<holder>)"
};

// Looks at the hub's lock in the session's lock folder; an empty folder locks nothing.
ServiceLock lockHub(const QString& lockFolder, const HubIdentity& identity);

} // namespace cli
