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

// Reads until the end, at most one byte more than the limit: that byte tells a
// file that grew since its size was looked at. readSome gives the bytes it
// read (0 at the end) or the reason it could not.
template <typename ReadSome>
std::optional<QByteArray> readBounded(qint64 limit, QString* problem, ReadSome readSome) {
    QByteArray text(limit + 1, Qt::Uninitialized);
    qint64 got = 0;
    while (got <= limit) {
        QString why;
        const qint64 read = readSome(text.data() + got, limit + 1 - got, why);
        if (read < 0)
            return refuse(problem, why);
        if (read == 0)
            break;
        got += read;
    }
    if (got > limit)
        return refuse(problem, tooLarge(got, limit));
    text.truncate(got);
    return text;
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
    return readBounded(limit, problem, [file](char* into, qint64 room, QString& why) -> qint64 {
        DWORD read = 0;
        if (ReadFile(file, into, DWORD(room), &read, nullptr))
            return read;
        why = qt_error_string(int(GetLastError()));
        return -1;
    });
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
    return readBounded(limit, problem, [fd](char* into, qint64 room, QString& why) -> qint64 {
        ssize_t read = 0;
        do
            read = ::read(fd, into, std::size_t(room));
        while (read < 0 && errno == EINTR);
        if (read < 0)
            why = qt_error_string(errno);
        return read;
    });
}

#endif
