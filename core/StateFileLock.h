#pragma once

// The lock that the window and the command line take around every read and
// rewrite of their shared state (kept LED levels, update history): a lock
// file beside the state file for other programs, and a mutex for the threads
// of this one (a lock file is held once per process).

#include <QLockFile>
#include <QString>

#include <memory>
#include <mutex>

class StateFileLock {
public:
    // Waits up to timeoutMs for the lock at lockPath, making its folder first.
    explicit StateFileLock(const QString& lockPath, int timeoutMs = 5000);
    ~StateFileLock();
    StateFileLock(const StateFileLock&) = delete;
    StateFileLock& operator=(const StateFileLock&) = delete;

    bool isLocked() const { return m_locked; }
    // Why the lock could not be had; empty when it is held.
    QString error() const { return m_error; }

    // The lock file of a state file: beside it, with ".lock" added.
    static QString lockPathFor(const QString& stateFile);

private:
    std::unique_lock<std::mutex> m_threads;
    std::unique_ptr<QLockFile> m_file;
    bool m_locked = false;
    QString m_error;
};
