#pragma once

// The user's state shared by the window and the command line: the kept LED
// levels and the update history, in one SQLite database. Every operation
// opens a connection of its own on the calling thread (a QSqlDatabase may
// only be used on the thread that made it, and the command line runs one
// thread per hub), so each read sees what every other process and thread has
// committed, and each change is one transaction: a write cut off by a crash
// or a power loss is rolled back whole and takes nothing else with it.
// SQLite's own locking with a busy timeout keeps concurrent writers apart.

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <functional>

class StateDatabase {
public:
    // The schema this program writes; an older file is brought up to it.
    static constexpr int SchemaVersion = 1;
    // The history keeps this many records; older ones are pruned.
    static constexpr int MaxHistoryRecords = 10000;

    // An empty path keeps nothing: every operation fails.
    explicit StateDatabase(QString filePath);

    // The user's state folder: $XDG_STATE_HOME/quorvi (else ~/.local/state/quorvi)
    // on Linux; elsewhere the generic data folder's quorvi, unless
    // XDG_STATE_HOME names a folder. In QStandardPaths test mode always the
    // generic data folder.
    static QString defaultFolder();
    static QString defaultPath();
    // Puts this process's default folder elsewhere (empty: back to the
    // user's): the demo's virtual hub keeps to a folder of its own.
    static void setDefaultFolder(const QString& folder);

    const QString& filePath() const { return m_path; }
    void setBusyTimeoutMs(int ms) { m_busyTimeoutMs = ms; }

    // Runs the work on a fresh connection of this thread. write: inside one
    // transaction that takes the write lock first (BEGIN IMMEDIATE) and
    // commits only when the work returns true. False with error() set when
    // the database cannot be opened, is locked past the busy timeout, or the
    // work failed (it sets the error through the reference it is given).
    using Work = std::function<bool(QSqlDatabase& db, QString& error)>;
    bool read(const Work& work) const;
    bool write(const Work& work) const;
    const QString& error() const { return m_error; }

    // What the one-time imports of the older state files said, since the
    // last call, for the program to show. Any thread.
    static QStringList takeNotes();

private:
    bool run(const Work& work, bool write) const;

    QString m_path;
    int m_busyTimeoutMs = 5000;
    mutable QString m_error;
};
