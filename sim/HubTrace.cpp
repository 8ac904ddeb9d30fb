#include "HubTrace.h"

#include <algorithm>
#include <chrono>

namespace hubsim {

HubTrace::HubTrace(std::size_t capacity) : m_capacity(std::max<std::size_t>(1, capacity)) {}

std::int64_t HubTrace::nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void HubTrace::record(TraceEntry::Direction direction, std::span<const std::uint8_t> bytes) {
    TraceEntry entry{0, direction, Bytes(bytes.begin(), bytes.end())};
    std::function<void(const TraceEntry&)> listener;
    {
        std::lock_guard lock(m_mutex);
        // Stamp under the lock so entries stay in time order across threads.
        entry.timeNs = nowNs();
        m_entries.push_back(entry);
        while (m_entries.size() > m_capacity)
            m_entries.pop_front();
        listener = m_listener;
    }
    if (listener)
        listener(entry);
}

std::vector<TraceEntry> HubTrace::entries() const {
    std::lock_guard lock(m_mutex);
    return {m_entries.begin(), m_entries.end()};
}

std::vector<Bytes> HubTrace::reports(TraceEntry::Direction direction) const {
    std::lock_guard lock(m_mutex);
    std::vector<Bytes> out;
    for (const TraceEntry& e : m_entries)
        if (e.direction == direction)
            out.push_back(e.bytes);
    return out;
}

std::size_t HubTrace::size() const {
    std::lock_guard lock(m_mutex);
    return m_entries.size();
}

void HubTrace::clear() {
    std::lock_guard lock(m_mutex);
    m_entries.clear();
}

void HubTrace::setCapacity(std::size_t capacity) {
    std::lock_guard lock(m_mutex);
    m_capacity = std::max<std::size_t>(1, capacity);
    while (m_entries.size() > m_capacity)
        m_entries.pop_front();
}

void HubTrace::setListener(std::function<void(const TraceEntry&)> listener) {
    std::lock_guard lock(m_mutex);
    m_listener = std::move(listener);
}

} // namespace hubsim
