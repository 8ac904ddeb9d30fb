#include "UpdateHistory.h"

#include "AppVersion.h"
#include "StateFileLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

QJsonValue versionValue(const std::optional<std::uint32_t>& version) {
    if (!version)
        return QJsonValue::Null;
    return FormatVersion(versionHexText(*version));
}

std::optional<std::uint32_t> versionFrom(const QJsonValue& value) {
    QString digits = value.toString();
    digits.remove(QLatin1Char('.'));
    bool ok = false;
    const uint version = digits.toUInt(&ok, 16);
    if (!ok || digits.size() != 8)
        return std::nullopt;
    return std::uint32_t(version);
}

QJsonValue levelsValue(const std::optional<UpdateRecord::Levels>& levels) {
    if (!levels)
        return QJsonValue::Null;
    QJsonArray array;
    for (const std::uint8_t level : *levels)
        array.append(int(level));
    return array;
}

std::optional<UpdateRecord::Levels> levelsFrom(const QJsonValue& value) {
    const QJsonArray array = value.toArray();
    UpdateRecord::Levels levels{};
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

void readLines(const QString& path, QList<UpdateRecord>& into) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty())
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (const auto record = UpdateRecord::fromJson(document.object()))
            into.append(*record);
    }
}

} // namespace

QJsonObject UpdateRecord::toJson() const {
    QJsonObject o;
    o[QStringLiteral("time")] = time.toUTC().toString(Qt::ISODateWithMs);
    o[QStringLiteral("hub")] = hub;
    o[QStringLiteral("program")] = program;
    o[QStringLiteral("versionBefore")] = versionValue(versionBefore);
    o[QStringLiteral("versionAfter")] = versionValue(versionAfter);
    o[QStringLiteral("result")] = result;
    o[QStringLiteral("resultText")] = resultText;
    o[QStringLiteral("levelsRead")] = levelsValue(levelsRead);
    o[QStringLiteral("levelsWritten")] = levelsValue(levelsWritten);
    return o;
}

std::optional<UpdateRecord> UpdateRecord::fromJson(const QJsonObject& o) {
    UpdateRecord r;
    r.time = QDateTime::fromString(o.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
    r.hub = o.value(QStringLiteral("hub")).toString();
    r.result = o.value(QStringLiteral("result")).toString();
    if (!r.time.isValid() || r.hub.isEmpty() || r.result.isEmpty())
        return std::nullopt;
    r.program = o.value(QStringLiteral("program")).toString();
    r.versionBefore = versionFrom(o.value(QStringLiteral("versionBefore")));
    r.versionAfter = versionFrom(o.value(QStringLiteral("versionAfter")));
    r.resultText = o.value(QStringLiteral("resultText")).toString();
    r.levelsRead = levelsFrom(o.value(QStringLiteral("levelsRead")));
    r.levelsWritten = levelsFrom(o.value(QStringLiteral("levelsWritten")));
    return r;
}

UpdateHistory::UpdateHistory(const QString& stateFile) {
    if (stateFile.isEmpty())
        return;
    m_path = fileNameIn(QFileInfo(stateFile).absolutePath());
    m_lockPath = StateFileLock::lockPathFor(stateFile);
}

QString UpdateHistory::fileNameIn(const QString& folder) {
    return folder + QStringLiteral("/update-history.jsonl");
}

bool UpdateHistory::append(const UpdateRecord& record) {
    m_error.clear();
    if (m_path.isEmpty()) {
        m_error = QStringLiteral("no history file");
        return false;
    }
    const StateFileLock lock(m_lockPath);
    if (!lock.isLocked()) {
        m_error = lock.error();
        return false;
    }
    const QByteArray line = QJsonDocument(record.toJson()).toJson(QJsonDocument::Compact) + '\n';
    const QString older = m_path + QStringLiteral(".1");
    if (QFileInfo(m_path).size() + line.size() > m_maxBytes && QFileInfo::exists(m_path)) {
        QFile::remove(older);
        if (!QFile::rename(m_path, older)) {
            m_error = QStringLiteral("cannot rotate %1").arg(m_path);
            return false;
        }
    }
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        m_error = QStringLiteral("cannot write %1: %2").arg(m_path, file.errorString());
        return false;
    }
    if (file.write(line) != line.size() || !file.flush()) {
        m_error = QStringLiteral("cannot write %1: %2").arg(m_path, file.errorString());
        return false;
    }
    return true;
}

QList<UpdateRecord> UpdateHistory::read() const {
    QList<UpdateRecord> records;
    if (m_path.isEmpty())
        return records;
    const StateFileLock lock(m_lockPath);
    readLines(m_path + QStringLiteral(".1"), records);
    readLines(m_path, records);
    return records;
}
