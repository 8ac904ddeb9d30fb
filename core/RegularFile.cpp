#include "RegularFile.h"

#include "ScopeExit.h"

#include <QFile>
#include <QtGlobal>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::optional<QByteArray> refuse(QString* problem, const QString& why) {
    if (problem)
        *problem = why;
    return std::nullopt;
}

QString tooLarge(qint64 size, qint64 limit) {
    return QStringLiteral("it holds %1 bytes, more than the %2 a firmware image may have")
        .arg(size)
        .arg(limit);
}

#ifndef Q_OS_WIN
QString kindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return QStringLiteral("it is a directory, not a regular file");
    if (S_ISFIFO(mode))
        return QStringLiteral("it is a FIFO, not a regular file");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("it is a device, not a regular file");
    if (S_ISSOCK(mode))
        return QStringLiteral("it is a socket, not a regular file");
    return QStringLiteral("it is not a regular file");
}
#endif

} // namespace

#ifdef Q_OS_WIN

std::optional<QByteArray> readRegularFile(const QString& path, qint64 limit, QString* problem) {
    // A pipe or a console opens without waiting; its type then refuses it.
    const auto* name = reinterpret_cast<const wchar_t*>(path.utf16());
    // A pipe or a console opens without waiting; its type then refuses it.
    const HANDLE file = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(name);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return refuse(problem, QStringLiteral("it is a directory, not a regular file"));
        return refuse(problem, qt_error_string(int(error)));
    }
    const ScopeExit closer([file] { CloseHandle(file); });
    if (GetFileType(file) != FILE_TYPE_DISK)
        return refuse(problem, QStringLiteral("it is a pipe or a device, not a regular file"));
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size))
        return refuse(problem, qt_error_string(int(GetLastError())));
    if (size.QuadPart > limit)
        return refuse(problem, tooLarge(size.QuadPart, limit));
    QByteArray text(limit + 1, Qt::Uninitialized);
    qint64 got = 0;
    while (got <= limit) {
        DWORD read = 0;
        if (!ReadFile(file, text.data() + got, DWORD(limit + 1 - got), &read, nullptr))
            return refuse(problem, qt_error_string(int(GetLastError())));
        if (read == 0)
            break;
        got += read;
    }
    if (got > limit)
        return refuse(problem, tooLarge(got, limit));
    text.truncate(got);
    return text;
}

#else

std::optional<QByteArray> readRegularFile(const QString& path, qint64 limit, QString* problem) {
    // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for one.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return refuse(problem, qt_error_string(errno));
    const ScopeExit closer([fd] { ::close(fd); });
    // The opened file itself, not the name, which may have changed since.
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return refuse(problem, qt_error_string(errno));
    if (!S_ISREG(info.st_mode))
        return refuse(problem, kindOf(info.st_mode));
    if (info.st_size > limit)
        return refuse(problem, tooLarge(info.st_size, limit));
    // One byte more than allowed tells a file that grew since fstat.
    QByteArray text(limit + 1, Qt::Uninitialized);
    qint64 got = 0;
    while (got <= limit) {
        const ssize_t read = ::read(fd, text.data() + got, std::size_t(limit + 1 - got));
        if (read < 0 && errno == EINTR)
            continue;
        if (read < 0)
            return refuse(problem, qt_error_string(errno));
        if (read == 0)
            break;
        got += read;
    }
    if (got > limit)
        return refuse(problem, tooLarge(got, limit));
    text.truncate(got);
    return text;
}

#endif
