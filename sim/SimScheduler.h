#pragma once

// Runs timed actions on a thread of its own, so the virtual hub's delays never
// block the writer or need the UI thread's event loop. Actions due at the same
// time run in the order they were scheduled.

#include "PreciseSleeper.h"
#include <atomic>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace hubsim {

class SimScheduler {
public:
    using Clock = std::chrono::steady_clock;

    SimScheduler();
    ~SimScheduler();
    // Drops what is still pending, lets a running action finish and joins the
    // thread; later actions are ignored. Safe to call more than once, but not
    // from one of its own actions.
    void shutdown();
    SimScheduler(const SimScheduler&) = delete;
    SimScheduler& operator=(const SimScheduler&) = delete;

    void at(Clock::time_point due, std::function<void()> action);
    void after(std::chrono::microseconds delay, std::function<void()> action);
    // True when the calling thread is the scheduler's.
    bool isSchedulerThread() const;

private:
    void run();

    std::mutex m_mutex;
    PreciseSleeper m_sleeper;
    std::multimap<Clock::time_point, std::function<void()>> m_pending;
    // Also read by the thread outside the lock's view of a reused address:
    // atomic, so the flag itself never races. Still written under m_mutex.
    std::atomic<bool> m_stopping{false};
    std::thread m_thread;
};

} // namespace hubsim
