#pragma once

// Ctrl+C and the terminal, the same for every system the command line runs on.

#include <QObject>

#include <cstdio>
#include <functional>

namespace cli {

// Runs onFirst on the main thread at the first Ctrl+C; a second one ends the
// program at once. The handler lives as long as context. False when it cannot
// be set up (Ctrl+C then simply ends the program).
bool catchInterrupt(QObject* context, std::function<void()> onFirst);

// Whether the stream is a terminal (progress is redrawn in place only there).
bool isTerminal(std::FILE* stream);

} // namespace cli
