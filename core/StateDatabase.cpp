#include "StateDatabase.h"

#include "StateImport.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>

#include <atomic>
#include <mutex>
#include <utility>

namespace {

const QString FileName = QStringLiteral("state.sqlite");

std::mutex notesMutex;
QStringList pendingNotes;
std::mutex folderMutex;
QString chosenFolder;

QString sqlError(const QSqlError& error) {
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    return text.isEmpty() ? QStringLiteral("unknown database error") : text;
}

bool exec(QSqlDatabase& db, const QString& statement, QString& error) {
    QSqlQuery query(db);
    if (query.exec(statement))
        return true;
    error = sqlError(query.lastError());
    return false;
}

int schemaOf(QSqlDatabase& db) {
    QSqlQuery query(db);
    return query.exec(QStringLiteral("SELECT version FROM schema")) && query.next() ? query.value(0).toInt()
                                                                                    : 0;
}

// The tables, made or brought up to this program's version. Runs inside the
// write transaction of the first writer, so two programs never make them twice.
bool ensureSchema(QSqlDatabase& db, QString& error) {
    const int version = schemaOf(db);
    if (version > StateDatabase::SchemaVersion) {
        error = QStringLiteral("written by a newer program (schema %1)").arg(version);
        return false;
    }
    if (version == StateDatabase::SchemaVersion)
        return true;
    const QStringList statements{
        QStringLiteral("CREATE TABLE IF NOT EXISTS schema (version INTEGER NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS kept_levels ("
                       " hub TEXT PRIMARY KEY, levels TEXT NOT NULL, read_at TEXT, read_where TEXT)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS history ("
                       " id INTEGER PRIMARY KEY AUTOINCREMENT, time TEXT NOT NULL, hub TEXT NOT NULL,"
                       " program TEXT, result TEXT NOT NULL, result_text TEXT,"
                       " failure_step TEXT, failure_command INTEGER, failure_result INTEGER,"
                       " failure_line INTEGER, failure_lines INTEGER, mode_before TEXT,"
                       " version_before INTEGER, version_after INTEGER,"
                       " image TEXT, image_digest TEXT, image_version INTEGER,"
                       " levels_read TEXT, levels_written TEXT, calibration TEXT)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS history_hub_time ON history (hub, time)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS imports ("
                       " file TEXT PRIMARY KEY, time TEXT NOT NULL, records INTEGER, unreadable INTEGER)"),
        QStringLiteral("DELETE FROM schema"),
        QStringLiteral("INSERT INTO schema (version) VALUES (%1)").arg(StateDatabase::SchemaVersion),
    };
    for (const QString& statement : statements)
        if (!exec(db, statement, error))
            return false;
    return true;
}

// One connection per operation and thread: the name is the connection's own.
class Connection {
public:
    Connection(const QString& path, int busyTimeoutMs) {
        static std::atomic<quint64> counter{0};
        m_name = QStringLiteral("quorvi-state-%1").arg(counter.fetch_add(1));
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        m_db.setDatabaseName(path);
        m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
    }
    ~Connection() {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    QSqlDatabase& db() { return m_db; }

private:
    QString m_name;
    QSqlDatabase m_db;
};

} // namespace

StateDatabase::StateDatabase(QString filePath) : m_path(std::move(filePath)) {}

void StateDatabase::setDefaultFolder(const QString& folder) {
    const std::lock_guard lock(folderMutex);
    chosenFolder = folder;
}

QString StateDatabase::defaultFolder() {
    {
        const std::lock_guard lock(folderMutex);
        if (!chosenFolder.isEmpty())
            return chosenFolder;
    }
    QString folder;
    if (!QStandardPaths::isTestModeEnabled()) {
        folder = qEnvironmentVariable("XDG_STATE_HOME");
#ifdef Q_OS_LINUX
        if (!QDir::isAbsolutePath(folder))
            folder = QDir::homePath() + QStringLiteral("/.local/state");
#endif
    }
    if (!QDir::isAbsolutePath(folder))
        folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return folder + QStringLiteral("/quorvi");
}

QString StateDatabase::defaultPath() {
    return defaultFolder() + QLatin1Char('/') + FileName;
}

bool StateDatabase::read(const Work& work) const {
    return run(work, false);
}

bool StateDatabase::write(const Work& work) const {
    return run(work, true);
}

bool StateDatabase::run(const Work& work, bool write) const {
    m_error.clear();
    if (m_path.isEmpty()) {
        m_error = QStringLiteral("no state database");
        return false;
    }
    const QString folder = QFileInfo(m_path).absolutePath();
    // A state that was never written has nothing to read: leave no file for it.
    if (!write && !QFileInfo::exists(m_path) && !StateImport::pending(folder))
        return true;
    if (!QDir().mkpath(folder)) {
        m_error = QStringLiteral("cannot make the folder %1").arg(folder);
        return false;
    }
    Connection connection(m_path, m_busyTimeoutMs);
    QSqlDatabase& db = connection.db();
    if (!db.isValid()) {
        m_error = QStringLiteral("Qt's SQLite driver is missing");
        return false;
    }
    if (!db.open()) {
        m_error = QStringLiteral("cannot open %1: %2").arg(m_path, sqlError(db.lastError()));
        return false;
    }
    QString error;
    const auto failed = [&] {
        QString ignored;
        exec(db, QStringLiteral("ROLLBACK"), ignored);
        m_error = QStringLiteral("%1: %2").arg(m_path, error.isEmpty() ? QStringLiteral("failed") : error);
        return false;
    };
    {
        // WAL lets readers go on beside a writer; a folder that cannot hold its
        // shared-memory file (some network file systems) keeps the rollback journal.
        QString ignored;
        exec(db, QStringLiteral("PRAGMA journal_mode=WAL"), ignored);
    }
    if (schemaOf(db) != SchemaVersion || StateImport::pending(folder)) {
        // Made, upgraded and imported once, under the write lock: a second
        // program waits and then finds it all done.
        QStringList notes;
        if (!exec(db, QStringLiteral("BEGIN IMMEDIATE"), error) || !ensureSchema(db, error) ||
            !StateImport::run(db, folder, notes, error) || !exec(db, QStringLiteral("COMMIT"), error))
            return failed();
        StateImport::renameImported(folder);
        if (!notes.isEmpty()) {
            const std::lock_guard lock(notesMutex);
            pendingNotes += notes;
        }
    }
    // A reader sees one snapshot; a writer holds the lock from its first read.
    if (!exec(db, write ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("BEGIN"), error))
        return failed();
    if (!work(db, error) || !exec(db, QStringLiteral("COMMIT"), error))
        return failed();
    return true;
}

QStringList StateDatabase::takeNotes() {
    const std::lock_guard lock(notesMutex);
    return std::exchange(pendingNotes, {});
}
