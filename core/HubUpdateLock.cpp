#include "HubUpdateLock.h"

#include "SafeText.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <QLockFile>
#else
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

HubUpdateLock::HubUpdateLock(const QString& folder, const HubIdentity& identity)
    : m_path(folder + QStringLiteral("/quorvi-hub-") + identity.fileName() + QStringLiteral(".lock")),
      m_folder(folder) {}

HubUpdateLock::~HubUpdateLock() {
    unlock();
}

bool HubUpdateLock::fail(const QString& why) {
    m_error = why;
    return false;
}

QString HubUpdateLock::folderFor(const QString& stateFile) {
    return QFileInfo(stateFile).absolutePath() + QStringLiteral("/locks");
}

#ifdef Q_OS_WIN

QString HubUpdateLock::machineFolder() {
    if (const QString set = qEnvironmentVariable("QUORVI_LOCK_DIR"); !set.isEmpty())
        return set;
    const QString data = qEnvironmentVariable("ProgramData");
    return QDir::fromNativeSeparators(data.isEmpty() ? QDir::tempPath() : data) +
           QStringLiteral("/quorvi-hub/locks");
}

bool HubUpdateLock::isHeldElsewhere() const {
    if (m_locked || !QFileInfo::exists(m_path))
        return false;
    QLockFile probe(m_path);
    probe.setStaleLockTime(0);
    if (!probe.tryLock(0))
        return probe.error() == QLockFile::LockFailedError;
    probe.unlock();
    return false;
}

bool HubUpdateLock::tryLock(int waitMs) {
    if (m_locked)
        return true;
    m_heldByAnother = false;
    m_error.clear();
    if (!QDir().mkpath(m_folder))
        return fail(QStringLiteral("the folder %1 cannot be made").arg(m_folder));
    m_file = std::make_unique<QLockFile>(m_path);
    // An update takes minutes on a slow hub: only a holder that is gone makes
    // the lock stale, never its age.
    m_file->setStaleLockTime(0);
    m_locked = m_file->tryLock(waitMs);
    m_heldByAnother = !m_locked && m_file->error() == QLockFile::LockFailedError;
    if (!m_locked && !m_heldByAnother)
        return fail(QStringLiteral("%1 cannot be written").arg(QDir::toNativeSeparators(m_path)));
    return m_locked;
}

void HubUpdateLock::unlock() {
    if (!m_locked)
        return;
    m_file->unlock();
    m_locked = false;
}

QString HubUpdateLock::holder() const {
    QLockFile probe(m_path);
    qint64 pid = 0;
    QString host;
    QString program;
    if (!probe.getLockInfo(&pid, &host, &program))
        return {};
    return safeText(program.isEmpty() ? QStringLiteral("process %1").arg(pid)
                                      : QStringLiteral("%1, process %2").arg(program).arg(pid));
}

#else

namespace {

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

QString HubUpdateLock::machineFolder() {
    if (const QString set = qEnvironmentVariable("QUORVI_LOCK_DIR"); !set.isEmpty())
        return set;
    // The system's place for device locks; root's, sticky and open to all.
    return QFileInfo(QStringLiteral("/run/lock")).isDir() ? QStringLiteral("/run/lock")
                                                          : QStringLiteral("/tmp");
}

bool HubUpdateLock::isHeldElsewhere() const {
    if (m_locked)
        return false;
    const int fd =
        ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false; // never made: nobody has it
    // Shared: two programs that only look never keep each other out.
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

bool HubUpdateLock::tryLock(int waitMs) {
    if (m_locked)
        return true;
    m_heldByAnother = false;
    m_error.clear();
    const QByteArray folder = QFile::encodeName(m_folder);
    struct stat info {};
    if (::stat(folder.constData(), &info) != 0 && errno == ENOENT && QDir().mkpath(m_folder))
        ::chmod(folder.constData(), 0700);
    if (::stat(folder.constData(), &info) != 0)
        return fail(QStringLiteral("its folder %1: %2").arg(m_folder, errnoText(errno)));
    // Whoever may rename files in the folder could slip another file under a
    // holder: only root's or our own, and shared only with the sticky bit.
    if (!S_ISDIR(info.st_mode))
        return fail(QStringLiteral("%1 is no folder").arg(m_folder));
    if ((info.st_uid != 0 && info.st_uid != ::geteuid()) ||
        ((info.st_mode & (S_IWGRP | S_IWOTH)) && !(info.st_mode & S_ISVTX)))
        return fail(QStringLiteral("the folder %1 is open to other users' changes").arg(m_folder));

    const QByteArray path = QFile::encodeName(m_path);
    // Never through a link, never blocked by a FIFO put there. A file someone
    // else made is opened, not created: a sticky folder refuses O_CREAT on it.
    constexpr int Flags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 3; ++attempt) {
        fd = ::open(path.constData(), O_RDWR | Flags);
        if (fd < 0 && errno == EACCES)
            fd = ::open(path.constData(), O_RDONLY | Flags); // flock needs no write access
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | Flags, 0666);
            // Every user must be able to open it, whatever our umask.
            if (fd >= 0)
                ::fchmod(fd, 0666);
            else if (errno == EEXIST)
                continue;
        }
        if (fd < 0)
            return fail(QStringLiteral("%1: %2").arg(
                m_path, errno == ELOOP ? QStringLiteral("a symbolic link") : errnoText(errno)));
    }
    if (fd < 0)
        return fail(QStringLiteral("%1 cannot be opened").arg(m_path));
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return fail(QStringLiteral("%1 is no plain file").arg(m_path));
    }
    QElapsedTimer waited;
    waited.start();
    int locked = ::flock(fd, LOCK_EX | LOCK_NB);
    while (locked != 0 && errno == EWOULDBLOCK && waited.elapsed() < waitMs) {
        QThread::msleep(5);
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    }
    if (locked != 0) {
        const int error = errno;
        ::close(fd);
        m_heldByAnother = error == EWOULDBLOCK;
        return m_heldByAnother ? false : fail(QStringLiteral("%1: %2").arg(m_path, errnoText(error)));
    }
    // Who holds it, for the others' message; a file we may not write keeps its text.
    const QByteArray who =
        QStringLiteral("%1, process %2\n")
            .arg(QCoreApplication::applicationName().isEmpty() ? QStringLiteral("a program")
                                                               : QCoreApplication::applicationName())
            .arg(QCoreApplication::applicationPid())
            .toUtf8();
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written = ::pwrite(fd, who.constData(), size_t(who.size()), 0);
    }
    m_fd = fd;
    m_locked = true;
    return true;
}

void HubUpdateLock::unlock() {
    if (!m_locked)
        return;
    // The file stays: removing it would let a newcomer lock a fresh file while
    // a waiter still holds the old one.
    [[maybe_unused]] const int cleared = ::ftruncate(m_fd, 0);
    ::close(m_fd); // drops the flock
    m_fd = -1;
    m_locked = false;
}

QString HubUpdateLock::holder() const {
    const int fd =
        ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return {};
    char buffer[200];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    return got > 0 ? safeText(QString::fromUtf8(buffer, got).trimmed()) : QString();
}

#endif
