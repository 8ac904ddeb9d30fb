#include "StateImport.h"

#include "LedCalibrationStore.h"
#include "UpdateHistory.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>

namespace {

const QString LevelsFile = QStringLiteral("led-calibration.ini");
// The rotated history first: it holds the older records.
const QStringList HistoryFiles{QStringLiteral("update-history.jsonl.1"),
                               QStringLiteral("update-history.jsonl")};

QStringList olderFiles() {
    return QStringList{LevelsFile} + HistoryFiles;
}

struct Counts {
    int records = 0;
    int unreadable = 0;
};

bool importLevels(QSqlDatabase& db, const QString& path, Counts& counts, QString& error) {
    QSettings settings(path, QSettings::IniFormat);
    for (const QString& group : settings.childGroups()) {
        settings.beginGroup(group);
        const QStringList parts =
            settings.value(QStringLiteral("levels")).toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
        // The group is "hub-" and the key's UTF-8 in hex; "where" was hex as well.
        const QString key = group.startsWith(QLatin1String("hub-"))
                                ? QString::fromUtf8(QByteArray::fromHex(group.mid(4).toLatin1()))
                                : QString();
        LedCalibrationStore::Entry entry;
        bool ok = parts.size() == qsizetype(entry.levels.size());
        for (qsizetype i = 0; ok && i < parts.size(); ++i) {
            const uint level = parts[i].toUInt(&ok);
            ok = ok && level <= 255;
            entry.levels[std::size_t(i)] = std::uint8_t(level);
        }
        entry.readAt = QDateTime::fromString(settings.value(QStringLiteral("read")).toString(), Qt::ISODate);
        entry.where = QString::fromUtf8(
            QByteArray::fromHex(settings.value(QStringLiteral("where")).toString().toLatin1()));
        settings.endGroup();
        if (!ok) {
            ++counts.unreadable;
            continue;
        }
        if (!LedCalibrationStore::put(db, key, entry, error))
            return false;
        ++counts.records;
    }
    return true;
}

std::optional<UpdateRecord> recordOf(const QByteArray& text) {
    return UpdateRecord::fromJson(QJsonDocument::fromJson(text).object());
}

bool importHistory(QSqlDatabase& db, const QString& path, Counts& counts, QString& error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty())
            continue;
        std::optional<UpdateRecord> record = recordOf(line);
        if (!record) {
            ++counts.unreadable;
            // A record cut off by a crash, and the next append on the same
            // line: the object that starts last may still be whole.
            const qsizetype next = line.lastIndexOf("{\"", -1);
            if (next > 0)
                record = recordOf(line.mid(next));
        }
        if (!record)
            continue;
        if (!UpdateHistory::insert(db, *record, error))
            return false;
        ++counts.records;
    }
    return true;
}

bool alreadyImported(QSqlDatabase& db, const QString& name) {
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT 1 FROM imports WHERE file = ?"));
    q.addBindValue(name);
    return q.exec() && q.next();
}

// An older file still to import; a database that a caller named like one
// (an older program's path handed on) is the state itself, never imported.
bool isOlderFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return !file.read(16).startsWith("SQLite format 3");
}

} // namespace

namespace StateImport {

bool pending(const QString& folder) {
    for (const QString& name : olderFiles())
        if (isOlderFile(folder + QLatin1Char('/') + name))
            return true;
    return false;
}

bool run(QSqlDatabase& db, const QString& folder, QStringList& notes, QString& error) {
    for (const QString& name : olderFiles()) {
        const QString path = folder + QLatin1Char('/') + name;
        if (!isOlderFile(path) || alreadyImported(db, name))
            continue;
        Counts counts;
        const bool ok = name == LevelsFile ? importLevels(db, path, counts, error)
                                           : importHistory(db, path, counts, error);
        if (!ok)
            return false;
        QSqlQuery q(db);
        q.prepare(
            QStringLiteral("INSERT INTO imports (file, time, records, unreadable) VALUES (?, ?, ?, ?)"));
        q.addBindValue(name);
        q.addBindValue(QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
        q.addBindValue(counts.records);
        q.addBindValue(counts.unreadable);
        if (!q.exec()) {
            error = q.lastError().text();
            return false;
        }
        QString note =
            QStringLiteral("Imported %1 %2 from %3 into the state database; the file is now %3.imported.")
                .arg(counts.records)
                .arg(name == LevelsFile ? QStringLiteral("kept LED level entries")
                                        : QStringLiteral("update records"),
                     path);
        if (counts.unreadable > 0)
            note += QStringLiteral(" %1 could not be read.").arg(counts.unreadable);
        notes << note;
    }
    return true;
}

void renameImported(const QString& folder) {
    for (const QString& name : olderFiles()) {
        const QString path = folder + QLatin1Char('/') + name;
        if (!isOlderFile(path))
            continue;
        QFile::remove(path + QStringLiteral(".imported"));
        QFile::rename(path, path + QStringLiteral(".imported"));
    }
}

} // namespace StateImport
