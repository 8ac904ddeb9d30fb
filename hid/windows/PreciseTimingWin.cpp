#include "PreciseTiming.h"

#include <windows.h>

#include <mmsystem.h>

#include <atomic>

namespace {

constexpr UINT PeriodMs = 1;
std::atomic<int> g_active{0};

} // namespace

// Every object asks and gives back on its own: the system counts the requests,
// so concurrent updates on several threads need no shared state beyond the count.
PreciseTiming::PreciseTiming() : m_granted(timeBeginPeriod(PeriodMs) == TIMERR_NOERROR) {
    g_active.fetch_add(1);
}

PreciseTiming::~PreciseTiming() {
    if (m_granted)
        timeEndPeriod(PeriodMs);
    g_active.fetch_sub(1);
}

int PreciseTiming::active() {
    return g_active.load();
}
