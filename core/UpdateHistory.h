#pragma once

// Every update attempt, by the window or the command line, as one line of
// JSON in update-history.jsonl beside the state file: which hub, when, the
// versions before and after, the result, and the LED levels read and written
// back. It answers "which hubs did we update, when, and did each keep its
// calibration". Bounded: past MaxBytes the file becomes update-history.jsonl.1
// (replacing the older one) and a new file starts. Appends hold the state
// lock (StateFileLock) like the kept levels.

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

struct UpdateRecord {
    using Levels = std::array<std::uint8_t, 8>;

    QDateTime time;  // when the attempt started (UTC)
    QString hub;     // the hub's identity key (HubIdentity::key())
    QString program; // "quorvi-hub", "quorvi-hub-updater", ...
    std::optional<std::uint32_t> versionBefore;
    std::optional<std::uint32_t> versionAfter; // as read back after the update, when it was
    QString result;                            // the result's name ("Completed", "Timeout", ...)
    QString resultText;                        // what the user was told last
    std::optional<Levels> levelsRead;
    std::optional<Levels> levelsWritten;

    QJsonObject toJson() const;
    // Nothing for a line that is no record (cut short by a crash, say).
    static std::optional<UpdateRecord> fromJson(const QJsonObject& object);
};

class UpdateHistory {
public:
    static constexpr qint64 DefaultMaxBytes = 1024 * 1024;

    // Beside this state file; an empty path keeps nothing.
    explicit UpdateHistory(const QString& stateFile);

    const QString& filePath() const { return m_path; }
    void setMaxBytes(qint64 bytes) { m_maxBytes = bytes; }

    bool append(const UpdateRecord& record);
    // Oldest first, the rotated file before the current one.
    QList<UpdateRecord> read() const;
    const QString& lastError() const { return m_error; }

    static QString fileNameIn(const QString& folder);

private:
    QString m_path;
    QString m_lockPath;
    qint64 m_maxBytes = DefaultMaxBytes;
    QString m_error;
};
