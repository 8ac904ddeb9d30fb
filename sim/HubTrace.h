#pragma once

// Every report that crosses the virtual hub's cable, both ways, with a
// monotonic time stamp, so tests can check the exact bytes on the wire.
// Safe to record and read from any thread.

#include "HubWire.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

namespace hubsim {

struct TraceEntry {
    enum class Direction { ToHub, FromHub };
    std::int64_t timeNs = 0; // steady clock
    Direction direction = Direction::ToHub;
    Bytes bytes;
};

class HubTrace {
public:
    explicit HubTrace(std::size_t capacity = 100000);

    void record(TraceEntry::Direction direction, std::span<const std::uint8_t> bytes);

    std::vector<TraceEntry> entries() const;
    // Only the reports of one direction, in order.
    std::vector<Bytes> reports(TraceEntry::Direction direction) const;
    std::size_t size() const;
    void clear();

    // Oldest entries are dropped beyond this many.
    void setCapacity(std::size_t capacity);

    // Called after each record, on the recording thread, outside the lock.
    void setListener(std::function<void(const TraceEntry&)> listener);

    static std::int64_t nowNs();

private:
    mutable std::mutex m_mutex;
    std::deque<TraceEntry> m_entries;
    std::size_t m_capacity;
    std::function<void(const TraceEntry&)> m_listener;
};

} // namespace hubsim
