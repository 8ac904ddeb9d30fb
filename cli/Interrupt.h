#pragma once

// Ctrl+C and the terminal, the same for every system the command line runs on.

#include <QObject>
#include <QString>

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

// Whether the stream is a terminal (progress is redrawn in place only there).
bool isTerminal(std::FILE* stream);

} // namespace cli
