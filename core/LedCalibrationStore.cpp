#include "LedCalibrationStore.h"

#include "StateFileLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

namespace {

const QString FileName = QStringLiteral("led-calibration.ini");

// Settings groups take no slashes or odd characters: the key goes in hex.
QString groupOf(const QString& key) {
    if (key.isEmpty())
        return QStringLiteral("hub");
    return QStringLiteral("hub-") + QString::fromLatin1(key.toUtf8().toHex());
}

QString levelsText(const LedCalibrationStore::Levels& levels) {
    QStringList parts;
    for (const std::uint8_t level : levels)
        parts << QString::number(level);
    return parts.join(QLatin1Char(' '));
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

using Entries = QMap<QString, LedCalibrationStore::Entry>;

// Hex: the INI escapes of QSettings would not survive our own writer.
QString hexText(const QString& text) {
    return QString::fromLatin1(text.toUtf8().toHex());
}

QString fromHex(const QString& hex) {
    return QString::fromUtf8(QByteArray::fromHex(hex.toLatin1()));
}

// The whole file as key/value lines per group; QSettings is only used for
// reading, the writing goes through QSaveFile.
bool writeAll(const QString& path, const Entries& entries, QString& error) {
    if (entries.isEmpty()) {
        if (QFileInfo::exists(path) && !QFile::remove(path)) {
            error = QStringLiteral("cannot remove %1").arg(path);
            return false;
        }
        return true;
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        error = QStringLiteral("cannot make the folder %1").arg(QFileInfo(path).absolutePath());
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    QByteArray text;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        text += "[" + it.key().toLatin1() + "]\nlevels=" + levelsText(it->levels).toLatin1() + "\n";
        if (it->readAt.isValid())
            text += "read=" + it->readAt.toUTC().toString(Qt::ISODate).toLatin1() + "\n";
        if (!it->where.isEmpty())
            text += "where=" + hexText(it->where).toLatin1() + "\n";
        text += "\n";
    }
    if (file.write(text) != text.size() || !file.commit()) {
        error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

Entries readAll(const QString& path) {
    Entries entries;
    if (!QFileInfo::exists(path))
        return entries;
    QSettings settings(path, QSettings::IniFormat);
    for (const QString& group : settings.childGroups()) {
        settings.beginGroup(group);
        if (const auto levels = parseLevels(settings.value(QStringLiteral("levels")).toString())) {
            LedCalibrationStore::Entry entry;
            entry.levels = *levels;
            entry.readAt =
                QDateTime::fromString(settings.value(QStringLiteral("read")).toString(), Qt::ISODate);
            entry.where = fromHex(settings.value(QStringLiteral("where")).toString());
            entries.insert(group, entry);
        }
        settings.endGroup();
    }
    return entries;
}

} // namespace

LedCalibrationStore::LedCalibrationStore(QString filePath) : m_path(std::move(filePath)) {}

QString LedCalibrationStore::defaultPath() {
    QString folder;
#ifdef Q_OS_LINUX
    if (!QStandardPaths::isTestModeEnabled()) {
        folder = qEnvironmentVariable("XDG_STATE_HOME");
        if (!QDir::isAbsolutePath(folder))
            folder = QDir::homePath() + QStringLiteral("/.local/state");
        folder += QStringLiteral("/quorvi");
    }
#endif
    if (folder.isEmpty())
        folder =
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/quorvi");
    return folder + QLatin1Char('/') + FileName;
}

QString LedCalibrationStore::lockPath() const {
    return m_path.isEmpty() ? QString() : StateFileLock::lockPathFor(m_path);
}

std::optional<LedCalibrationStore::Levels> LedCalibrationStore::load(const QString& key) const {
    if (const std::optional<Entry> found = entry(key))
        return found->levels;
    return std::nullopt;
}

std::optional<LedCalibrationStore::Entry> LedCalibrationStore::entry(const QString& key) const {
    if (m_path.isEmpty())
        return std::nullopt;
    const StateFileLock lock(lockPath(), m_lockTimeoutMs);
    // Without the lock another program may be halfway through its rewrite;
    // QSaveFile makes that a whole old or whole new file, so reading is safe.
    const Entries entries = readAll(m_path);
    const auto it = entries.constFind(groupOf(key));
    if (it == entries.cend())
        return std::nullopt;
    return *it;
}

bool LedCalibrationStore::save(const QString& key, const Levels& levels, const QString& where,
                               const QDateTime& readAt) {
    m_error.clear();
    if (m_path.isEmpty()) {
        m_error = QStringLiteral("no state file");
        return false;
    }
    const StateFileLock lock(lockPath(), m_lockTimeoutMs);
    if (!lock.isLocked()) {
        m_error = lock.error();
        return false;
    }
    Entries entries = readAll(m_path);
    Entry& slot = entries[groupOf(key)];
    slot.levels = levels;
    if (readAt.isValid())
        slot.readAt = readAt.toUTC();
    else if (!slot.readAt.isValid())
        slot.readAt = QDateTime::currentDateTimeUtc();
    if (!where.isEmpty())
        slot.where = where;
    return writeAll(m_path, entries, m_error);
}

bool LedCalibrationStore::clear(const QString& key) {
    m_error.clear();
    if (m_path.isEmpty())
        return false;
    const StateFileLock lock(lockPath(), m_lockTimeoutMs);
    if (!lock.isLocked()) {
        m_error = lock.error();
        return false;
    }
    Entries entries = readAll(m_path);
    if (entries.remove(groupOf(key)) == 0)
        return true;
    return writeAll(m_path, entries, m_error);
}
