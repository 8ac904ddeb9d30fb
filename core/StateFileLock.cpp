#include "StateFileLock.h"

#include <QDir>
#include <QFileInfo>

namespace {

std::mutex& threadMutex() {
    static std::mutex mutex;
    return mutex;
}

} // namespace

StateFileLock::StateFileLock(const QString& lockPath, int timeoutMs) : m_threads(threadMutex()) {
    if (!QDir().mkpath(QFileInfo(lockPath).absolutePath())) {
        m_error = QStringLiteral("cannot make the folder %1").arg(QFileInfo(lockPath).absolutePath());
        return;
    }
    m_file = std::make_unique<QLockFile>(lockPath);
    // A holder that died leaves a stale file that is taken over at once; one
    // that lives holds it only for a read and a rewrite.
    m_file->setStaleLockTime(10000);
    m_locked = m_file->tryLock(timeoutMs);
    if (!m_locked) {
        switch (m_file->error()) {
        case QLockFile::LockFailedError:
            m_error = QStringLiteral("%1 stays locked by another program").arg(lockPath);
            break;
        case QLockFile::PermissionError:
            m_error = QStringLiteral("no permission to create %1").arg(lockPath);
            break;
        default:
            m_error = QStringLiteral("cannot lock %1").arg(lockPath);
            break;
        }
    }
}

StateFileLock::~StateFileLock() {
    if (m_locked)
        m_file->unlock();
}

QString StateFileLock::lockPathFor(const QString& stateFile) {
    return stateFile + QStringLiteral(".lock");
}
