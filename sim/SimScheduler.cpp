#include "SimScheduler.h"

namespace hubsim {

SimScheduler::SimScheduler() : m_thread([this] { run(); }) {}

SimScheduler::~SimScheduler() {
    shutdown();
}

void SimScheduler::shutdown() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_pending.clear();
    }
    m_sleeper.wake();
    if (m_thread.joinable() && !isSchedulerThread())
        m_thread.join();
}

void SimScheduler::at(Clock::time_point due, std::function<void()> action) {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        // multimap inserts after equal keys: same-time actions keep their order.
        m_pending.emplace(due, std::move(action));
    }
    m_sleeper.wake();
}

void SimScheduler::after(std::chrono::microseconds delay, std::function<void()> action) {
    at(Clock::now() + delay, std::move(action));
}

bool SimScheduler::isSchedulerThread() const {
    return std::this_thread::get_id() == m_thread.get_id();
}

void SimScheduler::run() {
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (m_pending.empty()) {
            lock.unlock();
            m_sleeper.sleep();
            lock.lock();
            continue;
        }
        auto first = m_pending.begin();
        // A copy: the wait may outlive the entry (shutdown clears the list).
        const Clock::time_point due = first->first;
        if (due > Clock::now()) {
            lock.unlock();
            m_sleeper.sleepUntil(due);
            lock.lock();
            continue;
        }
        std::function<void()> action = std::move(first->second);
        m_pending.erase(first);
        lock.unlock();
        action();
        lock.lock();
    }
}

} // namespace hubsim
