#include "LedCalibrationStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include <mutex>

namespace {

const QString FileName = QStringLiteral("led-calibration.ini");

// Hubs updated in parallel share the file: one read-modify-write at a time.
std::mutex fileMutex;

// Settings groups take no slashes or odd characters: the serial goes in hex.
QString groupOf(const QString& serial) {
    if (serial.isEmpty())
        return QStringLiteral("hub");
    return QStringLiteral("hub-") + QString::fromLatin1(serial.toUtf8().toHex());
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

// The whole file as key/value lines per group; QSettings is only used for
// reading, the writing goes through QSaveFile.
bool writeAll(const QString& path, const QMap<QString, QString>& entries) {
    if (entries.isEmpty()) {
        return !QFileInfo::exists(path) || QFile::remove(path);
    }
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    QByteArray text;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        text += "[" + it.key().toLatin1() + "]\nlevels=" + it.value().toLatin1() + "\n\n";
    if (file.write(text) != text.size())
        return false;
    return file.commit();
}

QMap<QString, QString> readAll(const QString& path) {
    QMap<QString, QString> entries;
    if (!QFileInfo::exists(path))
        return entries;
    QSettings settings(path, QSettings::IniFormat);
    for (const QString& group : settings.childGroups()) {
        const QString value = settings.value(group + QStringLiteral("/levels")).toString();
        if (parseLevels(value))
            entries.insert(group, value);
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

std::optional<LedCalibrationStore::Levels> LedCalibrationStore::load(const QString& serial) const {
    if (m_path.isEmpty())
        return std::nullopt;
    const std::lock_guard lock(fileMutex);
    const QMap<QString, QString> entries = readAll(m_path);
    const auto it = entries.constFind(groupOf(serial));
    if (it == entries.cend())
        return std::nullopt;
    return parseLevels(*it);
}

bool LedCalibrationStore::save(const QString& serial, const Levels& levels) {
    if (m_path.isEmpty())
        return false;
    const std::lock_guard lock(fileMutex);
    QMap<QString, QString> entries = readAll(m_path);
    entries.insert(groupOf(serial), levelsText(levels));
    return writeAll(m_path, entries);
}

bool LedCalibrationStore::clear(const QString& serial) {
    if (m_path.isEmpty())
        return false;
    const std::lock_guard lock(fileMutex);
    QMap<QString, QString> entries = readAll(m_path);
    if (entries.remove(groupOf(serial)) == 0)
        return true;
    return writeAll(m_path, entries);
}
