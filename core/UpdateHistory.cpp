#include "UpdateHistory.h"

#include "LedCalibrationStore.h"
#include "StateDatabase.h"

#include <QJsonArray>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>

#include <algorithm>

namespace {

using Levels = UpdateRecord::Levels;
using Step = UpdateFailure::Step;

const char* const StepNames[] = {"asking",      "preparing",  "entering-bootloader",
                                 "programming", "restarting", "restoring-levels"};

QString stepName(Step step) {
    return QString::fromLatin1(StepNames[int(step)]);
}

std::optional<Step> stepFrom(const QString& name) {
    for (int s = 0; s < int(std::size(StepNames)); ++s)
        if (name == QLatin1String(StepNames[s]))
            return Step(s);
    return std::nullopt;
}

QVariant levelsValue(const std::optional<Levels>& levels) {
    if (!levels)
        return QVariant(QMetaType::fromType<QString>());
    return ledLevelsText(*levels);
}

// Nothing for "no levels"; false in ok for text that is no levels.
std::optional<Levels> levelsFrom(const QVariant& value, bool& ok) {
    if (value.isNull())
        return std::nullopt;
    const QStringList parts = value.toString().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    Levels levels{};
    if (parts.size() != qsizetype(levels.size())) {
        ok = false;
        return std::nullopt;
    }
    for (std::size_t i = 0; i < levels.size(); ++i) {
        bool number = false;
        const uint level = parts[qsizetype(i)].toUInt(&number);
        if (!number || level > 255) {
            ok = false;
            return std::nullopt;
        }
        levels[i] = std::uint8_t(level);
    }
    return levels;
}

QVariant versionValue(const std::optional<std::uint32_t>& version) {
    return version ? QVariant(qint64(*version)) : QVariant(QMetaType::fromType<qint64>());
}

std::optional<std::uint32_t> versionFrom(const QVariant& value) {
    if (value.isNull())
        return std::nullopt;
    return std::uint32_t(value.toLongLong());
}

QString timeText(const QDateTime& time) {
    return time.toUTC().toString(Qt::ISODateWithMs);
}

std::optional<UpdateRecord> recordFrom(const QSqlQuery& q) {
    UpdateRecord r;
    r.time = QDateTime::fromString(q.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
    r.hub = q.value(QStringLiteral("hub")).toString();
    r.result = q.value(QStringLiteral("result")).toString();
    if (!r.time.isValid() || r.hub.isEmpty() || r.result.isEmpty())
        return std::nullopt;
    r.program = q.value(QStringLiteral("program")).toString();
    r.resultText = q.value(QStringLiteral("result_text")).toString();
    if (const auto kind = failureKindFromName(r.result)) {
        r.failure.kind = *kind;
        r.failure.step = stepFrom(q.value(QStringLiteral("failure_step")).toString()).value_or(Step::Asking);
        r.failure.command = std::uint8_t(q.value(QStringLiteral("failure_command")).toUInt());
        r.failure.result = q.value(QStringLiteral("failure_result")).isNull()
                               ? -1
                               : q.value(QStringLiteral("failure_result")).toInt();
        r.failure.line = q.value(QStringLiteral("failure_line")).toInt();
        r.failure.lineCount = q.value(QStringLiteral("failure_lines")).toInt();
    }
    r.modeBefore = q.value(QStringLiteral("mode_before")).toString();
    r.versionBefore = versionFrom(q.value(QStringLiteral("version_before")));
    r.versionAfter = versionFrom(q.value(QStringLiteral("version_after")));
    r.image = q.value(QStringLiteral("image")).toString();
    r.imageDigest = q.value(QStringLiteral("image_digest")).toString();
    r.imageVersion = versionFrom(q.value(QStringLiteral("image_version")));
    r.failure.versionWanted = r.imageVersion;
    r.failure.versionFound = r.versionAfter;
    bool ok = true;
    r.levelsRead = levelsFrom(q.value(QStringLiteral("levels_read")), ok);
    r.levelsWritten = levelsFrom(q.value(QStringLiteral("levels_written")), ok);
    r.calibration = q.value(QStringLiteral("calibration")).toString();
    if (!ok)
        return std::nullopt;
    return r;
}

// The older history's result names, in the words records use now where
// one word fits; the others said too little to tell which kind it was.
QString resultFromOlderName(const QString& name) {
    static const QHash<QString, QString> words{
        {QStringLiteral("Completed"), QStringLiteral("completed")},
        {QStringLiteral("ImageUnusable"), QStringLiteral("image-refused")},
        {QStringLiteral("NoHub"), QStringLiteral("unplugged")},
        {QStringLiteral("HubBusy"), QStringLiteral("hub-busy")},
        {QStringLiteral("CalibrationNotRestored"), QStringLiteral("levels-not-restored")},
        {QStringLiteral("WrongVersion"), QStringLiteral("wrong-version")},
        {QStringLiteral("Stopped"), QStringLiteral("stopped")},
    };
    return words.value(name, QStringLiteral("unknown"));
}

std::optional<Levels> jsonLevels(const QJsonValue& value) {
    const QJsonArray array = value.toArray();
    Levels levels{};
    if (array.size() != qsizetype(levels.size()))
        return std::nullopt;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const int level = array.at(qsizetype(i)).toInt(-1);
        if (level < 0 || level > 255)
            return std::nullopt;
        levels[i] = std::uint8_t(level);
    }
    return levels;
}

std::optional<std::uint32_t> jsonVersion(const QJsonValue& value) {
    QString digits = value.toString();
    digits.remove(QLatin1Char('.'));
    bool ok = false;
    const uint version = digits.toUInt(&ok, 16);
    if (!ok || digits.size() != 8)
        return std::nullopt;
    return std::uint32_t(version);
}

} // namespace

std::optional<UpdateRecord> UpdateRecord::fromJson(const QJsonObject& o) {
    UpdateRecord r;
    r.time = QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
    r.hub = o.value(QStringLiteral("hub")).toString();
    const QString result = o.value(QStringLiteral("result")).toString();
    if (!r.time.isValid() || r.hub.isEmpty() || result.isEmpty())
        return std::nullopt;
    r.result = resultFromOlderName(result);
    if (const auto kind = failureKindFromName(r.result))
        r.failure.kind = *kind;
    r.program = o.value(QStringLiteral("program")).toString();
    // The older history took the version from whatever check came last: it
    // is no proof of what the hub ran when the attempt started.
    r.versionAfter = jsonVersion(o.value(QStringLiteral("versionAfter")));
    r.resultText = o.value(QStringLiteral("resultText")).toString();
    r.levelsRead = jsonLevels(o.value(QStringLiteral("levelsRead")));
    r.levelsWritten = jsonLevels(o.value(QStringLiteral("levelsWritten")));
    if (r.levelsWritten)
        r.calibration = QStringLiteral("carried");
    return r;
}

UpdateHistory::UpdateHistory(const QString& stateFile)
    : m_path(stateFile), m_maxRecords(StateDatabase::MaxHistoryRecords) {}

bool UpdateHistory::insert(QSqlDatabase& db, const UpdateRecord& r, QString& error) {
    QSqlQuery q(db);
    q.prepare(QStringLiteral(
        "INSERT INTO history (time, hub, program, result, result_text, failure_step, failure_command,"
        " failure_result, failure_line, failure_lines, mode_before, version_before, version_after,"
        " image, image_digest, image_version, levels_read, levels_written, calibration)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    const bool failed = r.failure.failed();
    const QVariant none;
    q.addBindValue(timeText(r.time));
    q.addBindValue(r.hub);
    q.addBindValue(r.program);
    q.addBindValue(r.result);
    q.addBindValue(r.resultText);
    q.addBindValue(failed ? QVariant(stepName(r.failure.step)) : none);
    q.addBindValue(failed ? QVariant(int(r.failure.command)) : none);
    q.addBindValue(failed && r.failure.result >= 0 ? QVariant(r.failure.result) : none);
    q.addBindValue(failed ? QVariant(r.failure.line) : none);
    q.addBindValue(failed ? QVariant(r.failure.lineCount) : none);
    q.addBindValue(r.modeBefore.isEmpty() ? none : QVariant(r.modeBefore));
    q.addBindValue(versionValue(r.versionBefore));
    q.addBindValue(versionValue(r.versionAfter));
    q.addBindValue(r.image.isEmpty() ? none : QVariant(r.image));
    q.addBindValue(r.imageDigest.isEmpty() ? none : QVariant(r.imageDigest));
    q.addBindValue(versionValue(r.imageVersion));
    q.addBindValue(levelsValue(r.levelsRead));
    q.addBindValue(levelsValue(r.levelsWritten));
    q.addBindValue(r.calibration.isEmpty() ? none : QVariant(r.calibration));
    if (q.exec())
        return true;
    error = q.lastError().text();
    return false;
}

bool UpdateHistory::append(const UpdateRecord& record) {
    m_error.clear();
    if (m_path.isEmpty()) {
        m_error = QStringLiteral("no state database");
        return false;
    }
    const StateDatabase database(m_path);
    const bool ok = database.write([&](QSqlDatabase& db, QString& error) {
        if (!insert(db, record, error))
            return false;
        QSqlQuery prune(db);
        prune.prepare(QStringLiteral(
            "DELETE FROM history WHERE id NOT IN (SELECT id FROM history ORDER BY id DESC LIMIT ?)"));
        prune.addBindValue(std::max(1, m_maxRecords));
        if (prune.exec())
            return true;
        error = prune.lastError().text();
        return false;
    });
    if (!ok)
        m_error = database.error();
    return ok;
}

QList<UpdateRecord> UpdateHistory::read() const {
    return read(HistoryQuery{}).records;
}

HistoryRead UpdateHistory::read(const HistoryQuery& query) const {
    HistoryRead out;
    m_error.clear();
    if (m_path.isEmpty())
        return out;
    const StateDatabase database(m_path);
    out.ok = database.read([&](QSqlDatabase& db, QString& error) {
        QStringList where;
        QVariantList values;
        if (!query.hub.isEmpty()) {
            where << QStringLiteral("(hub = ? OR hub = ? OR hub = ?)");
            values << query.hub << QStringLiteral("serial:") + query.hub
                   << QStringLiteral("port:") + query.hub;
        }
        if (query.since.isValid()) {
            where << QStringLiteral("time >= ?");
            values << timeText(query.since);
        }
        QString sql = QStringLiteral("SELECT * FROM history");
        if (!where.isEmpty())
            sql += QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND "));
        sql += QStringLiteral(" ORDER BY time DESC, id DESC");
        if (query.last > 0)
            sql += QStringLiteral(" LIMIT %1").arg(query.last);
        QSqlQuery q(db);
        q.prepare(sql);
        for (const QVariant& value : values)
            q.addBindValue(value);
        if (!q.exec()) {
            error = q.lastError().text();
            return false;
        }
        while (q.next()) {
            if (const auto record = recordFrom(q))
                out.records.prepend(*record);
            else
                ++out.unreadable;
        }
        QSqlQuery imported(db);
        if (imported.exec(QStringLiteral("SELECT TOTAL(unreadable) FROM imports")) && imported.next())
            out.unreadable += imported.value(0).toInt();
        return true;
    });
    if (!out.ok)
        m_error = database.error();
    return out;
}
