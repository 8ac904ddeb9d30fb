#pragma once

// One thread's sleep until a time point, which wake() from any thread ends
// early. A wake with nobody asleep ends the next sleep at once, so none is
// lost between a look at the schedule and the sleep.
//
// The virtual hub's replies are due a millisecond or so after a frame. The
// standard timed wait of the Windows thread library counts whole milliseconds
// and overshoots by one or two, which would make the hub seem several times
// slower than it is: there a high-resolution waitable timer and an event take
// its place.

#include <chrono>
#include <memory>

namespace hubsim {

class PreciseSleeper {
public:
    using Clock = std::chrono::steady_clock;

    PreciseSleeper();
    ~PreciseSleeper();
    PreciseSleeper(const PreciseSleeper&) = delete;
    PreciseSleeper& operator=(const PreciseSleeper&) = delete;

    void sleepUntil(Clock::time_point due);
    void sleep(); // until woken
    void wake();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace hubsim
