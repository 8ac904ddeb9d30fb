#pragma once

// One program per hub: a lock file per hub identity. An update holds it from
// before its first frame to its end, across the hub's restarts; every other
// exchange with the hub tries it first and leaves the hub alone while someone
// else has it.
//
// Hubs on the system's bus are reachable by every user, so their locks live
// in one folder for the whole machine (machineFolder). On Linux the lock is an
// flock(2) on a file there: the kernel drops it when its process dies, and a
// file another user made can still be locked by everyone. Virtual hubs live
// inside one program; their locks only need to be shared by the programs
// that share a state folder (folderFor).

#include "HubIdentity.h"

#include <QString>

#include <memory>

class QLockFile;

class HubUpdateLock {
public:
    // The lock of this hub in folder.
    HubUpdateLock(const QString& folder, const HubIdentity& identity);
    ~HubUpdateLock();
    HubUpdateLock(const HubUpdateLock&) = delete;
    HubUpdateLock& operator=(const HubUpdateLock&) = delete;

    // False while another program (or another holder in this one) has it, or
    // when the lock cannot be made (error()). Waits up to waitMs for a holder
    // to let go: a look of isHeldElsewhere holds it for a moment.
    bool tryLock(int waitMs = 0);
    // Whether someone has it now. Only looks: makes no file, keeps nothing.
    bool isHeldElsewhere() const;
    void unlock();
    bool isLocked() const { return m_locked; }
    // After a failed tryLock: another holder has it, rather than the lock file
    // could not be made at all.
    bool heldByAnother() const { return m_heldByAnother; }
    // After a failed tryLock that no holder explains: why.
    const QString& error() const { return m_error; }
    // Who holds it, for the message ("quorvi-hub, process 1234"); empty when
    // not known.
    QString holder() const;
    const QString& path() const { return m_path; }

    // The folder of the locks of the system's hubs: $QUORVI_LOCK_DIR when
    // set, else on Linux /run/lock (or /tmp where there is none), on Windows
    // %ProgramData%\quorvi-hub\locks.
    static QString machineFolder();
    // The folder of the locks of virtual hubs beside a state file.
    static QString folderFor(const QString& stateFile);

private:
    bool fail(const QString& why);

    QString m_path;
    QString m_folder;
    bool m_locked = false;
    bool m_heldByAnother = false;
    QString m_error;
#ifdef Q_OS_WIN
    std::unique_ptr<QLockFile> m_file;
#else
    int m_fd = -1;
#endif
};
