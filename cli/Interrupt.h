#pragma once

// Ctrl+C and the terminal, the same for every system the command line runs on.

#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdio>
#include <functional>

namespace cli {

// Stop requests: Ctrl+C, and where the system has them SIGTERM and SIGHUP (on
// Windows also Ctrl+Break and closing the console). Requests that come within
// StopGraceMs of the first are that one request: GNU timeout, for one, signals
// the program and then its process group. The first runs onFirst on the main
// thread; its argument names the request. One that comes later is a hard stop:
// onHardStop runs on the main thread and must end the program. Should that
// thread not get to it within HardStopMs, lastWords runs (inside a signal
// handler: it may only write to a descriptor) and the program ends. The
// handlers live as long as context. False when they cannot be set up (Ctrl+C
// then simply ends the program).
inline constexpr int StopGraceMs = 1000;
inline constexpr int HardStopMs = 3000;
bool catchInterrupt(QObject* context, std::function<void(const QString& what)> onFirst,
                    std::function<void()> onHardStop, void (*lastWords)());

// Whether the stream or descriptor is a terminal (progress is redrawn in place only there).
bool isTerminal(std::FILE* stream);
bool isTerminal(int fd);

// The size of the terminal's window in characters; false where the descriptor
// is no terminal or the terminal does not tell.
bool terminalSize(int fd, int& columns, int& rows);

// One write to the descriptor: the bytes written, or -1. Safe in a signal
// handler (and in the console's control handler on Windows).
long long writeSome(int fd, const char* data, std::size_t length);

} // namespace cli
