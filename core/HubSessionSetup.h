#pragma once

// What a hub session keeps beyond itself, set up alike by the window and the
// command line so that what one keeps, records or locks the other finds: the
// LED levels still owed to a hub and the update history, both in one state
// file, and the per-hub update locks. The system's hubs are every user's, so
// their locks are the machine's; hubs on a bus inside this program share
// theirs only with programs using the same state file.

#include "LedCalibrationStore.h"
#include "UpdateHistory.h"

#include <QString>

class HidPlatform;
class HubLocator;
class HubSession;

class HubSessionSetup {
public:
    // stateFile: the state database; empty keeps, records and locks nothing.
    HubSessionSetup(const HidPlatform& platform, const QString& stateFile);

    // Gives the session the locator that finds its hub, and what is kept.
    void apply(HubSession& session, HubLocator& locator);

    const QString& stateFile() const { return m_store.filePath(); }
    LedCalibrationStore& store() { return m_store; }
    UpdateHistory& history() { return m_history; }
    // Empty when no lock is taken.
    const QString& lockFolder() const { return m_lockFolder; }

private:
    LedCalibrationStore m_store;
    UpdateHistory m_history;
    QString m_lockFolder;
};
