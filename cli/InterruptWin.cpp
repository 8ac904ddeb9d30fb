#include "Interrupt.h"

#include "HubReport.h"

#include <QMetaObject>
#include <QPointer>

#include <windows.h>

#include <io.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <mutex>

namespace cli {
namespace {

// The console calls its control handler on a thread of its own, so the
// handler may queue a call to the main thread directly.
QPointer<QObject> g_context;
std::function<void(const QString&)> g_onFirst;
std::function<void()> g_onHardStop;
void (*g_lastWords)() = nullptr;
std::mutex g_requestsMutex;
int g_requests = 0; // 0: none yet; 1: the first taken; 2: a hard stop under way
ULONGLONG g_firstRequestAt = 0;

QString eventName(DWORD type) {
    switch (type) {
    case CTRL_BREAK_EVENT:
        return QStringLiteral("Ctrl+Break");
    case CTRL_CLOSE_EVENT:
        return QStringLiteral("closing the console");
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        return QStringLiteral("the session ending");
    default:
        return QStringLiteral("Ctrl+C");
    }
}

// The system ends the process once the handler of a closing console returns,
// and at the latest after some 5 s: what is left of that is the stop's.
constexpr DWORD CloseGraceMs = 4500;

BOOL WINAPI onControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT &&
        type != CTRL_LOGOFF_EVENT && type != CTRL_SHUTDOWN_EVENT)
        return FALSE;
    bool hardStop = false;
    {
        const std::lock_guard lock(g_requestsMutex);
        const ULONGLONG now = GetTickCount64();
        if (g_requests == 0) {
            g_requests = 1;
            g_firstRequestAt = now;
            QMetaObject::invokeMethod(
                g_context.data(), [what = eventName(type)] { g_onFirst(what); }, Qt::QueuedConnection);
        } else if (g_requests == 1 && now - g_firstRequestAt >= ULONGLONG(StopGraceMs)) {
            g_requests = 2;
            hardStop = true;
            QMetaObject::invokeMethod(
                g_context.data(), [] { g_onHardStop(); }, Qt::QueuedConnection);
        }
    }
    // The console ends the process once the handler returns from a close, and
    // the main thread ends it after a hard stop: give either its time.
    const bool closing = type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT;
    if (hardStop || closing)
        Sleep(hardStop ? HardStopMs : CloseGraceMs);
    if (hardStop) {
        if (g_lastWords)
            g_lastWords();
        ExitProcess(ExitFailure);
    }
    return TRUE;
}

} // namespace

bool catchInterrupt(QObject* context, std::function<void(const QString& what)> onFirst,
                    std::function<void()> onHardStop, void (*lastWords)()) {
    g_context = context;
    g_onFirst = std::move(onFirst);
    g_onHardStop = std::move(onHardStop);
    g_lastWords = lastWords;
    return SetConsoleCtrlHandler(onControl, TRUE) != 0;
}

bool isTerminal(std::FILE* stream) {
    return isTerminal(_fileno(stream));
}

bool isTerminal(int fd) {
    return _isatty(fd) != 0;
}

bool terminalSize(int fd, int& columns, int& rows) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(handle, &info))
        return false;
    // The visible window, not the scroll-back buffer behind it.
    columns = info.srWindow.Right - info.srWindow.Left + 1;
    rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    return true;
}

long long writeSome(int fd, const char* data, std::size_t length) {
    return _write(fd, data, unsigned(std::min<std::size_t>(length, INT_MAX)));
}

} // namespace cli
