#include "PreciseTiming.h"

#include <atomic>

// Linux sleeps to within the thread's timer slack, which the session sets
// where it sends; there is nothing system-wide to ask for.

namespace {
std::atomic<int> g_active{0};
}

PreciseTiming::PreciseTiming() : m_granted(true) {
    g_active.fetch_add(1);
}

PreciseTiming::~PreciseTiming() {
    g_active.fetch_sub(1);
}

int PreciseTiming::active() {
    return g_active.load();
}
