#pragma once

// Ctrl+C and the terminal, the same for every system the command line runs on.

#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdio>
#include <functional>

namespace cli {

// Runs onFirst on the main thread at the first stop request: Ctrl+C, and where
// the system has them SIGTERM and SIGHUP; its argument names the request. A
// second Ctrl+C runs onSecond (inside a signal handler: it may only write to a
// descriptor) and ends the program at once. The handler lives as long as
// context. False when it cannot be set up (Ctrl+C then simply ends the
// program).
bool catchInterrupt(QObject* context, std::function<void(const QString& what)> onFirst, void (*onSecond)());

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
