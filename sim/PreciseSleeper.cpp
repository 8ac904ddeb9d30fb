#include "PreciseSleeper.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <condition_variable>
#include <mutex>
#endif

namespace hubsim {

#ifdef _WIN32

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

struct PreciseSleeper::Impl {
    HANDLE woken = CreateEventW(nullptr, FALSE, FALSE, nullptr); // auto-reset: one wake, one sleep ended
    // Systems before Windows 10 1803 have no high-resolution timer: a plain
    // one still beats the thread library's rounding.
    HANDLE timer = [] {
        HANDLE t =
            CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
        return t ? t : CreateWaitableTimerW(nullptr, TRUE, nullptr);
    }();
    ~Impl() {
        CloseHandle(timer);
        CloseHandle(woken);
    }
};

PreciseSleeper::PreciseSleeper() : d(std::make_unique<Impl>()) {}
PreciseSleeper::~PreciseSleeper() = default;

void PreciseSleeper::sleepUntil(Clock::time_point due) {
    const auto ticks =
        std::chrono::duration_cast<std::chrono::duration<long long, std::ratio<1, 10'000'000>>>(due -
                                                                                                Clock::now())
            .count();
    if (ticks <= 0) {
        WaitForSingleObject(d->woken, 0); // a wake meant for this sleep is used up
        return;
    }
    LARGE_INTEGER relative;
    relative.QuadPart = -ticks; // negative: relative, in 100 ns units
    if (!SetWaitableTimer(d->timer, &relative, 0, nullptr, nullptr, FALSE)) {
        const auto ms = (ticks + 9'999) / 10'000;
        WaitForSingleObject(d->woken, DWORD(ms));
        return;
    }
    const HANDLE handles[] = {d->woken, d->timer};
    WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    CancelWaitableTimer(d->timer);
}

void PreciseSleeper::sleep() {
    WaitForSingleObject(d->woken, INFINITE);
}

void PreciseSleeper::wake() {
    SetEvent(d->woken);
}

#else

struct PreciseSleeper::Impl {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
};

PreciseSleeper::PreciseSleeper() : d(std::make_unique<Impl>()) {}
PreciseSleeper::~PreciseSleeper() = default;

void PreciseSleeper::sleepUntil(Clock::time_point due) {
    std::unique_lock lock(d->mutex);
    d->cv.wait_until(lock, due, [this] { return d->woken; });
    d->woken = false;
}

void PreciseSleeper::sleep() {
    std::unique_lock lock(d->mutex);
    d->cv.wait(lock, [this] { return d->woken; });
    d->woken = false;
}

void PreciseSleeper::wake() {
    {
        std::lock_guard lock(d->mutex);
        d->woken = true;
    }
    d->cv.notify_all();
}

#endif

} // namespace hubsim
