#pragma once

// Keeps the system's sleep granularity at a millisecond while an object lives.
// An update pauses 2 ms after every frame; Windows rounds such a sleep up to
// its 15.6 ms tick unless a finer timer resolution is asked for, which would
// make an update several times slower. Objects nest; the request is given
// back when the last one goes.
class PreciseTiming {
public:
    PreciseTiming();
    ~PreciseTiming();
    PreciseTiming(const PreciseTiming&) = delete;
    PreciseTiming& operator=(const PreciseTiming&) = delete;

    // Whether the system took the request (always, where sleeps are precise anyway).
    bool granted() const { return m_granted; }
    // Objects alive now, on all threads.
    static int active();

private:
    bool m_granted = false;
};
