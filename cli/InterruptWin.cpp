#include "Interrupt.h"

#include <QMetaObject>
#include <QPointer>

#include <windows.h>

#include <io.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>

namespace cli {
namespace {

// The console calls its control handler on a thread of its own, so the
// handler may queue a call to the main thread directly.
QPointer<QObject> g_context;
std::function<void(const QString&)> g_onFirst;
void (*g_onSecond)() = nullptr;
std::atomic<int> g_interrupts{0};

// The system ends the process once the handler of a closing console returns,
// and at the latest after some 5 s: what is left of that is the stop's.
constexpr DWORD CloseGraceMs = 4500;

BOOL WINAPI onControl(DWORD type) {
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        if (g_interrupts.fetch_add(1) == 0)
            QMetaObject::invokeMethod(
                g_context.data(), [] { g_onFirst(QStringLiteral("console closed")); }, Qt::QueuedConnection);
        // A program that ends first ends this thread with it.
        Sleep(CloseGraceMs);
        return TRUE;
    }
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    if (g_interrupts.fetch_add(1) > 0) {
        // The second one: the default handler ends the process.
        if (g_onSecond)
            g_onSecond();
        return FALSE;
    }
    QMetaObject::invokeMethod(
        g_context.data(), [] { g_onFirst(QStringLiteral("Ctrl+C")); }, Qt::QueuedConnection);
    return TRUE;
}

} // namespace

bool catchInterrupt(QObject* context, std::function<void(const QString& what)> onFirst, void (*onSecond)()) {
    g_context = context;
    g_onFirst = std::move(onFirst);
    g_onSecond = onSecond;
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
