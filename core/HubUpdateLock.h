#pragma once

// One update per hub across programs: a lock file per hub identity in the
// state folder. The window and the command line take it before the first
// frame of an update and give it back when the update has ended; a program
// that finds it held leaves the hub alone.

#include "HubIdentity.h"

#include <QLockFile>
#include <QString>

#include <memory>

class HubUpdateLock {
public:
    // The lock of this hub in folder (see folderFor).
    HubUpdateLock(const QString& folder, const HubIdentity& identity);
    ~HubUpdateLock();
    HubUpdateLock(const HubUpdateLock&) = delete;
    HubUpdateLock& operator=(const HubUpdateLock&) = delete;

    // At once, without waiting; false while another program (or another
    // holder in this one) updates the hub, or when the lock cannot be made.
    bool tryLock();
    void unlock();
    bool isLocked() const { return m_locked; }
    // After a failed tryLock: another holder has it, rather than the lock file
    // could not be made at all.
    bool heldByAnother() const { return m_heldByAnother; }
    // Who holds it, for the message ("quorvi-hub, process 1234"); empty when
    // not known.
    QString holder() const;
    const QString& path() const { return m_path; }

    // The folder of the update locks beside a state file.
    static QString folderFor(const QString& stateFile);

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_file;
    bool m_locked = false;
    bool m_heldByAnother = false;
};
