#include "Interrupt.h"

#include "HubReport.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/ioctl.h>
#include <unistd.h>

namespace cli {
namespace {

// A signal handler may only write to a pipe; the notifier brings the byte to
// the main thread's event loop.
int signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t stopRequested = 0;
void (*sayBeforeQuitting)() = nullptr;

void onStopSignal(int signal) {
    if (stopRequested) {
        if (sayBeforeQuitting)
            sayBeforeQuitting();
        ::_exit(ExitFailure);
    }
    stopRequested = 1;
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
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

bool catchInterrupt(QObject* context, std::function<void(const QString& what)> onFirst, void (*onSecond)()) {
    if (signalPipe[0] < 0 && ::pipe(signalPipe) != 0)
        return false;
    sayBeforeQuitting = onSecond;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context,
                     [notifier, onFirst = std::move(onFirst)] {
                         char byte = 0;
                         [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
                         notifier->setEnabled(false);
                         onFirst(signalName(byte));
                     });
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
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
