#pragma once

// The LED levels of an update whose write-back has not succeeded yet, kept in
// a small INI file so that a retry, also in a later run of the program or in
// the other program (window or command line), can give the hub its
// calibration back. One entry per hub, under the key of its identity
// (HubIdentity::key()), with when and where the levels were read. Every read
// and rewrite holds the state lock (StateFileLock), so the window and the
// command line never lose each other's entries.

#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

class LedCalibrationStore {
public:
    using Levels = std::array<std::uint8_t, 8>;

    struct Entry {
        Levels levels{};
        QDateTime readAt; // when the hub reported them (UTC); invalid when not known
        QString where;    // where the hub was plugged in then, when it is known by its port
    };

    // An empty path keeps nothing.
    explicit LedCalibrationStore(QString filePath = defaultPath());

    // The user's state folder: Qt 6.4 has no StateLocation, so $XDG_STATE_HOME
    // (else ~/.local/state) on Linux, the application's local data folder
    // elsewhere and whenever QStandardPaths runs in test mode.
    static QString defaultPath();
    const QString& filePath() const { return m_path; }
    // The lock file beside the state file; empty when nothing is kept.
    QString lockPath() const;

    std::optional<Levels> load(const QString& key) const;
    std::optional<Entry> entry(const QString& key) const;
    // Written whole through a temporary file: a crash leaves the old file or
    // the new one. Without readAt an entry keeps the time it has (or gets now).
    bool save(const QString& key, const Levels& levels, const QString& where = {},
              const QDateTime& readAt = {});
    bool clear(const QString& key);
    // How long a save or clear waits for another program's rewrite.
    void setLockTimeoutMs(int ms) { m_lockTimeoutMs = ms; }
    // Why the last save or clear failed.
    const QString& lastError() const { return m_error; }

private:
    QString m_path;
    QString m_error;
    int m_lockTimeoutMs = 5000;
};
