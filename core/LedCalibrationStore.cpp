#include "LedCalibrationStore.h"

#include "StateDatabase.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

QString ledLevelsText(const std::array<std::uint8_t, 8>& levels) {
    QStringList parts;
    for (const std::uint8_t level : levels)
        parts << QString::number(level);
    return parts.join(QLatin1Char(' '));
}

namespace {

// SQL's NULL equals nothing: an empty key is an empty text.
QString keyValue(const QString& key) {
    return key.isNull() ? QStringLiteral("") : key;
}

std::optional<LedCalibrationStore::Levels> parseLevels(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    LedCalibrationStore::Levels levels{};
    if (parts.size() != qsizetype(levels.size()))
        return std::nullopt;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        bool ok = false;
        const uint value = parts[qsizetype(i)].toUInt(&ok);
        if (!ok || value > 255)
            return std::nullopt;
        levels[i] = static_cast<std::uint8_t>(value);
    }
    return levels;
}

std::optional<LedCalibrationStore::Entry> entryIn(QSqlDatabase& db, const QString& key, QString& error,
                                                  bool& ok) {
    QSqlQuery q(db);
    q.prepare(QStringLiteral("SELECT levels, read_at, read_where FROM kept_levels WHERE hub = ?"));
    q.addBindValue(keyValue(key));
    ok = q.exec();
    if (!ok) {
        error = q.lastError().text();
        return std::nullopt;
    }
    if (!q.next())
        return std::nullopt;
    // Levels that are no levels are nothing kept.
    const auto levels = parseLevels(q.value(0).toString());
    if (!levels)
        return std::nullopt;
    LedCalibrationStore::Entry entry;
    entry.levels = *levels;
    entry.readAt = QDateTime::fromString(q.value(1).toString(), Qt::ISODate);
    entry.where = q.value(2).toString();
    return entry;
}

} // namespace

LedCalibrationStore::LedCalibrationStore(QString filePath) : m_path(std::move(filePath)) {}

QString LedCalibrationStore::defaultPath() {
    return StateDatabase::defaultPath();
}

std::optional<LedCalibrationStore::Levels> LedCalibrationStore::load(const QString& key) const {
    if (const std::optional<Entry> found = entry(key))
        return found->levels;
    return std::nullopt;
}

std::optional<LedCalibrationStore::Entry> LedCalibrationStore::entry(const QString& key) const {
    if (m_path.isEmpty())
        return std::nullopt;
    StateDatabase database(m_path);
    database.setBusyTimeoutMs(m_lockTimeoutMs);
    std::optional<Entry> found;
    database.read([&](QSqlDatabase& db, QString& error) {
        bool ok = true;
        found = entryIn(db, key, error, ok);
        return ok;
    });
    return found;
}

bool LedCalibrationStore::put(QSqlDatabase& db, const QString& key, const Entry& entry, QString& error) {
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT OR REPLACE INTO kept_levels (hub, levels, read_at, read_where) "
                             "VALUES (?, ?, ?, ?)"));
    q.addBindValue(keyValue(key));
    q.addBindValue(ledLevelsText(entry.levels));
    q.addBindValue(entry.readAt.isValid() ? QVariant(entry.readAt.toUTC().toString(Qt::ISODate))
                                          : QVariant());
    q.addBindValue(entry.where.isEmpty() ? QVariant() : QVariant(entry.where));
    if (q.exec())
        return true;
    error = q.lastError().text();
    return false;
}

bool LedCalibrationStore::save(const QString& key, const Levels& levels, const QString& where,
                               const QDateTime& readAt) {
    m_error.clear();
    if (m_path.isEmpty()) {
        m_error = QStringLiteral("no state database");
        return false;
    }
    StateDatabase database(m_path);
    database.setBusyTimeoutMs(m_lockTimeoutMs);
    const bool ok = database.write([&](QSqlDatabase& db, QString& error) {
        bool read = true;
        Entry slot = entryIn(db, key, error, read).value_or(Entry{});
        if (!read)
            return false;
        slot.levels = levels;
        if (readAt.isValid())
            slot.readAt = readAt.toUTC();
        else if (!slot.readAt.isValid())
            slot.readAt = QDateTime::currentDateTimeUtc();
        if (!where.isEmpty())
            slot.where = where;
        return put(db, key, slot, error);
    });
    if (!ok)
        m_error = database.error();
    return ok;
}

bool LedCalibrationStore::clear(const QString& key) {
    m_error.clear();
    if (m_path.isEmpty())
        return false;
    StateDatabase database(m_path);
    database.setBusyTimeoutMs(m_lockTimeoutMs);
    const bool ok = database.write([&](QSqlDatabase& db, QString& error) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("DELETE FROM kept_levels WHERE hub = ?"));
        q.addBindValue(keyValue(key));
        if (q.exec())
            return true;
        error = q.lastError().text();
        return false;
    });
    if (!ok)
        m_error = database.error();
    return ok;
}
