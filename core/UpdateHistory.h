#pragma once

// Every update attempt, by the window or the command line, as one record in
// the state database (StateDatabase): which hub, when, what it ran before,
// which image was written, how it ended and where the hub was left, the LED
// levels read and written back and what became of its calibration. It
// answers "which hubs did we update, when, and did each keep its
// calibration". Bounded: past StateDatabase::MaxHistoryRecords the oldest
// records go.

#include "UpdateFailure.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

class QSqlDatabase;

struct UpdateRecord {
    using Levels = std::array<std::uint8_t, 8>;

    QDateTime time;  // when the attempt started (UTC)
    QString hub;     // the hub's identity key (HubIdentity::key())
    QString program; // "quorvi-hub", "quorvi-hub-updater", ...
    // "completed", or the failure kind in the reports' words ("no-answer", ...);
    // "unknown" for an older record that did not tell which.
    QString result;
    QString resultText; // what the user was told last
    // How it failed and how far it got, to word where the hub was left; kind
    // None when it completed.
    UpdateFailure failure;
    // The mode the hub answered when the attempt started: "application",
    // "bootloader", "not answering"; empty when not known.
    QString modeBefore;
    // Read from the hub as the attempt started; empty when it was not.
    std::optional<std::uint32_t> versionBefore;
    std::optional<std::uint32_t> versionAfter; // as read back after the update, when it was
    QString image;                             // "built-in" or the image file's name
    QString imageDigest;                       // SHA-256 of the image, in hex
    std::optional<std::uint32_t> imageVersion;
    std::optional<Levels> levelsRead;
    std::optional<Levels> levelsWritten;
    // "carried", "kept" (for a later attempt), "lost" or "not needed".
    QString calibration;

    // A line of the older JSON-lines history; nothing for one that is no
    // record (cut short by a crash, say).
    static std::optional<UpdateRecord> fromJson(const QJsonObject& object);
};

// Which records to read: all, or those of one hub, since a time, the last N.
struct HistoryQuery {
    QString hub; // an identity key, or a serial or port it ends in
    QDateTime since;
    int last = 0; // 0: all
};

struct HistoryRead {
    QList<UpdateRecord> records; // oldest first
    // Records in the database that could not be read, and lines of the
    // imported files that were no record.
    int unreadable = 0;
    bool ok = true;
};

class UpdateHistory {
public:
    // In this state database (the kept levels' file); an empty path keeps nothing.
    explicit UpdateHistory(const QString& stateFile);

    const QString& filePath() const { return m_path; }
    // How many records are kept; older ones are pruned at the next append.
    void setMaxRecords(int records) { m_maxRecords = records; }

    bool append(const UpdateRecord& record);
    // Oldest first.
    QList<UpdateRecord> read() const;
    HistoryRead read(const HistoryQuery& query) const;
    const QString& lastError() const { return m_error; }

    // Adds the record inside the caller's transaction.
    static bool insert(QSqlDatabase& db, const UpdateRecord& record, QString& error);

private:
    QString m_path;
    int m_maxRecords;
    mutable QString m_error;
};
