#include "Interrupt.h"

#include <QSocketNotifier>

#include <csignal>
#include <unistd.h>

namespace cli {
namespace {

// A signal handler may only write to a pipe; the notifier brings the byte to
// the main thread's event loop.
int signalPipe[2] = {-1, -1};

void onInterrupt(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    std::signal(SIGINT, SIG_DFL);
}

} // namespace

bool catchInterrupt(QObject* context, std::function<void()> onFirst) {
    if (signalPipe[0] < 0 && ::pipe(signalPipe) != 0)
        return false;
    auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context,
                     [notifier, onFirst = std::move(onFirst)] {
                         char byte = 0;
                         [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
                         notifier->setEnabled(false);
                         onFirst();
                     });
    std::signal(SIGINT, onInterrupt);
    return true;
}

bool isTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) == 1;
}

} // namespace cli
