#include "RunDataTrend.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {

hubreply::RunData reading(int voltage, int current, std::uint8_t batteries) {
    hubreply::RunData d;
    d.voltage = voltage;
    d.current = current;
    d.batteries = batteries;
    return d;
}

TEST(RunDataTrend, KeepsTheLastTenMinutesAndMarksEverySlotChange) {
    RunDataTrend trend;
    const qint64 start = 1'700'000'000'000;
    // One reading a second for twelve minutes; slot 1 fills at 100 s, slot 3 at 700 s.
    for (int s = 0; s <= 720; ++s) {
        const std::uint8_t batteries = std::uint8_t((s >= 100 ? 0x10 : 0) | (s >= 700 ? 0x40 : 0));
        trend.add(start + s * 1000, reading(3300 + s, 1000 - s, batteries));
    }
    ASSERT_EQ(trend.samples().size(), 601u); // 120 s to 720 s
    EXPECT_EQ(trend.samples().front().atMs, start + 120'000);
    EXPECT_EQ(trend.samples().back().voltage, 4020);
    // The fill at 100 s fell out with its readings; the one at 700 s stays.
    const std::vector<RunDataTrend::Mark> marks = trend.batteryMarks();
    ASSERT_EQ(marks.size(), 1u);
    EXPECT_EQ(marks[0].atMs, start + 700'000);
    EXPECT_EQ(marks[0].slot, 3);
    EXPECT_TRUE(marks[0].present);

    const QStringList lines = trend.csv().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 602);
    EXPECT_EQ(lines[0], QStringLiteral("time,voltage_mV,current_mA,battery1,battery2,battery3,battery4"));
    EXPECT_TRUE(lines.last().endsWith(QStringLiteral(",4020,280,1,0,1,0")));
    EXPECT_TRUE(trend.summary().contains(QStringLiteral("Now 4020 mV, 280 mA; batteries in slots 1, 3")));
    EXPECT_TRUE(trend.summary().contains(QStringLiteral("voltage 3420 to 4020 mV")));
}

} // namespace
