#pragma once

#include <functional>

// Runs the event loop, blocked in the event dispatcher between events rather
// than spinning, until done() holds or ms milliseconds have passed. Returns
// whether done() held. A nested QEventLoop will not do here: once the
// application is asked to quit (its last window closed), every QEventLoop
// returns at once, so a wait would spin through its time without delivering
// the replies already queued, and an update under way would break off and
// leave the hub half-programmed.
bool processEventsUntil(const std::function<bool()>& done, int ms);
