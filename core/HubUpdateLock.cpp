#include "HubUpdateLock.h"

#include <QDir>
#include <QFileInfo>

HubUpdateLock::HubUpdateLock(const QString& folder, const HubIdentity& identity)
    : m_path(folder + QStringLiteral("/hub-") + QString::fromLatin1(identity.key().toUtf8().toHex()) +
             QStringLiteral(".lock")),
      m_file(std::make_unique<QLockFile>(m_path)) {
    // An update takes minutes on a slow hub: only a holder that is gone makes
    // the lock stale, never its age.
    m_file->setStaleLockTime(0);
}

HubUpdateLock::~HubUpdateLock() {
    unlock();
}

bool HubUpdateLock::tryLock() {
    if (m_locked)
        return true;
    m_heldByAnother = false;
    if (!QDir().mkpath(QFileInfo(m_path).absolutePath()))
        return false;
    m_locked = m_file->tryLock(0);
    m_heldByAnother = !m_locked && m_file->error() == QLockFile::LockFailedError;
    return m_locked;
}

void HubUpdateLock::unlock() {
    if (!m_locked)
        return;
    m_file->unlock();
    m_locked = false;
}

QString HubUpdateLock::holder() const {
    qint64 pid = 0;
    QString host;
    QString program;
    if (!m_file->getLockInfo(&pid, &host, &program))
        return {};
    return program.isEmpty() ? QStringLiteral("process %1").arg(pid)
                             : QStringLiteral("%1, process %2").arg(program).arg(pid);
}

QString HubUpdateLock::folderFor(const QString& stateFile) {
    return QFileInfo(stateFile).absolutePath() + QStringLiteral("/locks");
}
