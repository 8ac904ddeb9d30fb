#pragma once

// The running data of the last minutes, oldest first, for the trend the
// service page shows while its automatic refresh runs: voltage and current
// over time, and where a battery slot filled or emptied. Older readings fall
// out as new ones come. Plain logic, no widgets.

#include "HubReplies.h"

#include <QString>

#include <cstdint>
#include <deque>
#include <vector>

class RunDataTrend {
public:
    static constexpr qint64 DefaultSpanMs = 10 * 60 * 1000;

    struct Sample {
        qint64 atMs = 0;            // milliseconds since the epoch (UTC)
        int voltage = 0;            // mV
        int current = 0;            // mA
        std::uint8_t batteries = 0; // bit 4 + i: slot i + 1 holds a battery
    };
    // A slot that filled or emptied since the reading before.
    struct Mark {
        qint64 atMs = 0;
        int slot = 0; // 1 to 4
        bool present = false;
    };

    explicit RunDataTrend(qint64 spanMs = DefaultSpanMs) : m_spanMs(spanMs) {}

    // A reading taken at atMs; readings older than the span before it leave.
    void add(qint64 atMs, const hubreply::RunData& data);
    void clear() { m_samples.clear(); }

    const std::deque<Sample>& samples() const { return m_samples; }
    qint64 spanMs() const { return m_spanMs; }
    std::vector<Mark> batteryMarks() const;

    // One line per reading under a header, local time, for a spreadsheet.
    QString csv() const;
    // The figures in words, for a screen reader and for whoever prefers text.
    QString summary() const;

private:
    qint64 m_spanMs;
    std::deque<Sample> m_samples;
};
