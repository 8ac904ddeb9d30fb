#include "Interrupt.h"

#include "HubReport.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

namespace cli {
namespace {

// A signal handler may only write to a pipe; the notifier brings the byte to
// the main thread's event loop: the signal's number, or HardStopByte.
int signalPipe[2] = {-1, -1};
constexpr char HardStopByte = 0;
// 0: no request yet; 1: the first taken; 2: a hard stop under way.
volatile std::sig_atomic_t requests = 0;
timespec firstRequestAt{};
void (*sayLastWords)() = nullptr;

long long msBetween(const timespec& from, const timespec& to) {
    return (to.tv_sec - from.tv_sec) * 1000LL + (to.tv_nsec - from.tv_nsec) / 1000000;
}

void sendByte(char byte) {
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

// The stop signals are blocked while it runs, so it never runs twice at once.
void onStopSignal(int signal) {
    const int savedErrno = errno;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    if (requests == 0) {
        firstRequestAt = now;
        requests = 1;
        sendByte(static_cast<char>(signal));
    } else if (requests == 1 && msBetween(firstRequestAt, now) >= StopGraceMs) {
        requests = 2;
        sendByte(HardStopByte);
        // Should the main thread be kept from it, the alarm ends the program.
        ::alarm((HardStopMs + 999) / 1000);
    }
    errno = savedErrno;
}

void onHardStopOverdue(int) {
    if (sayLastWords)
        sayLastWords();
    ::_exit(ExitFailure);
}

QString signalName(int signal) {
    switch (signal) {
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("Ctrl+C");
    }
}

} // namespace

bool catchInterrupt(QObject* context, std::function<void(const QString& what)> onFirst,
                    std::function<void()> onHardStop, void (*lastWords)()) {
    if (signalPipe[0] < 0 && ::pipe(signalPipe) != 0)
        return false;
    sayLastWords = lastWords;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context,
                     [onFirst = std::move(onFirst), onHardStop = std::move(onHardStop)] {
                         char byte = 0;
                         if (::read(signalPipe[0], &byte, 1) != 1)
                             return;
                         if (byte == HardStopByte)
                             onHardStop();
                         else
                             onFirst(signalName(byte));
                     });
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&action.sa_mask, signal);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    struct sigaction overdue {};
    overdue.sa_handler = onHardStopOverdue;
    sigemptyset(&overdue.sa_mask);
    sigaction(SIGALRM, &overdue, nullptr);
    // A reader that went away (a dropped ssh session, a closed pipe) must not
    // end the program in the middle of a hub's programming.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

bool isTerminal(std::FILE* stream) {
    return isTerminal(::fileno(stream));
}

bool isTerminal(int fd) {
    return ::isatty(fd) == 1;
}

bool terminalSize(int fd, int& columns, int& rows) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) != 0)
        return false;
    columns = size.ws_col;
    rows = size.ws_row;
    return true;
}

long long writeSome(int fd, const char* data, std::size_t length) {
    return ::write(fd, data, length);
}

} // namespace cli
