#include "RunDataTrend.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>

namespace {

constexpr int Slots = 4;

bool present(std::uint8_t batteries, int slot) {
    return (batteries >> (4 + slot)) & 1;
}

} // namespace

void RunDataTrend::add(qint64 atMs, const hubreply::RunData& data) {
    m_samples.push_back({atMs, data.voltage, data.current, data.batteries});
    while (!m_samples.empty() && m_samples.front().atMs < atMs - m_spanMs)
        m_samples.pop_front();
}

std::vector<RunDataTrend::Mark> RunDataTrend::batteryMarks() const {
    std::vector<Mark> marks;
    for (std::size_t i = 1; i < m_samples.size(); ++i) {
        const std::uint8_t before = m_samples[i - 1].batteries, now = m_samples[i].batteries;
        for (int slot = 0; slot < Slots; ++slot) {
            if (present(before, slot) != present(now, slot))
                marks.push_back({m_samples[i].atMs, slot + 1, present(now, slot)});
        }
    }
    return marks;
}

QString RunDataTrend::csv() const {
    QString text = QStringLiteral("time,voltage_mV,current_mA,battery1,battery2,battery3,battery4\n");
    for (const Sample& s : m_samples) {
        QStringList cells{
            QDateTime::fromMSecsSinceEpoch(s.atMs).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")),
            QString::number(s.voltage), QString::number(s.current)};
        for (int slot = 0; slot < Slots; ++slot)
            cells << QString::number(present(s.batteries, slot) ? 1 : 0);
        text += cells.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return text;
}

QString RunDataTrend::summary() const {
    if (m_samples.empty())
        return QStringLiteral("No readings yet: check automatic refresh on the service page.");
    const auto [vMin, vMax] =
        std::minmax_element(m_samples.begin(), m_samples.end(),
                            [](const Sample& a, const Sample& b) { return a.voltage < b.voltage; });
    const auto [cMin, cMax] =
        std::minmax_element(m_samples.begin(), m_samples.end(),
                            [](const Sample& a, const Sample& b) { return a.current < b.current; });
    const Sample& last = m_samples.back();
    QStringList filled;
    for (int slot = 0; slot < Slots; ++slot) {
        if (present(last.batteries, slot))
            filled << QString::number(slot + 1);
    }
    const qint64 seconds = (last.atMs - m_samples.front().atMs) / 1000;
    return QStringLiteral("Now %1 mV, %2 mA; %3. Over the last %4 s (%5 readings): voltage %6 to "
                          "%7 mV, current %8 to %9 mA; %10 slot changes.")
        .arg(last.voltage)
        .arg(last.current)
        .arg(filled.isEmpty() ? QStringLiteral("no battery in any slot")
                              : QStringLiteral("batteries in slots ") + filled.join(QStringLiteral(", ")))
        .arg(seconds)
        .arg(m_samples.size())
        .arg(vMin->voltage)
        .arg(vMax->voltage)
        .arg(cMin->current)
        .arg(cMax->current)
        .arg(batteryMarks().size());
}
