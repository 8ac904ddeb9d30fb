#pragma once

#include <QElapsedTimer>
#include <functional>

namespace testsupport {

// Runs the event loop until the condition holds or the deadline passes.
// Returns whether the condition held; never sleeps past the moment it does.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 5000);

// Runs the event loop for the given time (for "nothing happens" checks).
void pumpFor(int ms);

} // namespace testsupport
