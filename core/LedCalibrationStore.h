#pragma once

// The LED levels of an update whose write-back has not succeeded yet, kept in
// the state database (StateDatabase) so that a retry, also in a later run of
// the program or in the other program (window or command line), can give the
// hub its calibration back. One entry per hub, under the key of its identity
// (HubIdentity::key()), with when and where the levels were read. Each save
// and clear is one transaction; every read asks the database.

#include <QDateTime>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

class QSqlDatabase;

// Eight LED levels as text, "50 50 ... 50": as the store and the history keep
// them and as the programs show them.
QString ledLevelsText(const std::array<std::uint8_t, 8>& levels);

class LedCalibrationStore {
public:
    using Levels = std::array<std::uint8_t, 8>;

    struct Entry {
        Levels levels{};
        QDateTime readAt; // when the hub reported them (UTC); invalid when not known
        QString where;    // where the hub was plugged in then, when it is known by its port
    };

    // The state database's file; an empty path keeps nothing.
    explicit LedCalibrationStore(QString filePath = defaultPath());

    // The user's state database (StateDatabase::defaultPath): Qt 6.4 has no
    // StateLocation, so in $XDG_STATE_HOME (else ~/.local/state) on Linux.
    static QString defaultPath();
    const QString& filePath() const { return m_path; }

    std::optional<Levels> load(const QString& key) const;
    std::optional<Entry> entry(const QString& key) const;
    // Without readAt an entry keeps the time it has (or gets now).
    bool save(const QString& key, const Levels& levels, const QString& where = {},
              const QDateTime& readAt = {});
    bool clear(const QString& key);
    // How long a save or clear waits for another program's write.
    void setLockTimeoutMs(int ms) { m_lockTimeoutMs = ms; }
    // Why the last save or clear failed.
    const QString& lastError() const { return m_error; }

    // Puts the entry inside the caller's transaction.
    static bool put(QSqlDatabase& db, const QString& key, const Entry& entry, QString& error);

private:
    QString m_path;
    QString m_error;
    int m_lockTimeoutMs = 5000;
};
