#include "ChargeScene.h"
#include "HubModel.h"
#include "HubProtocol.h"

#include <gtest/gtest.h>

using namespace hubsim;

namespace {

// Readings one real second apart (a simulated minute), for as many seconds.
std::vector<RunData> readings(Scene scene, int seconds) {
    ChargeScene charger;
    charger.start(scene, 0);
    std::vector<RunData> out;
    for (int s = 0; s <= seconds; ++s) {
        charger.advanceTo(std::int64_t(s) * 1000);
        RunData data;
        charger.fill(data);
        out.push_back(data);
    }
    return out;
}

TEST(ChargeScene, ABatteryDrawsLessCurrentAsItNearsFullThenTheNextOneCharges) {
    const std::vector<RunData> run = readings(Scene::Charging, 300);
    EXPECT_EQ(run.front().presence, 0x50); // slots 1 and 3
    EXPECT_EQ(run.front().channel, 1);
    EXPECT_EQ(run.front().current, ChargeScene::ConstantCurrentMa);
    EXPECT_EQ(run.front().state, 1);
    bool tapered = false;
    for (std::size_t i = 1; i < run.size(); ++i) {
        if (run[i].channel != run[i - 1].channel)
            continue;
        // On one battery: the voltage never falls, and the current never rises.
        EXPECT_GE(run[i].voltage, run[i - 1].voltage) << i;
        EXPECT_LE(run[i].current, run[i - 1].current) << i;
        tapered |= run[i].current < ChargeScene::ConstantCurrentMa / 2 && run[i].current > 0;
    }
    EXPECT_TRUE(tapered);
    const auto third = std::find_if(run.begin(), run.end(), [](const RunData& d) { return d.channel == 3; });
    ASSERT_NE(third, run.end());
    EXPECT_EQ(third->counters[0], 1); // one battery charged full
    EXPECT_EQ(run.back().state, 2);   // both full
    EXPECT_EQ(run.back().current, 0);
    EXPECT_EQ(run.back().voltage, ChargeScene::FullMv);
}

TEST(ChargeScene, SlotsFillAndEmptyOnlyInTheBusyScene) {
    const auto changes = [](const std::vector<RunData>& run) {
        int n = 0;
        for (std::size_t i = 1; i < run.size(); ++i)
            n += run[i].presence != run[i - 1].presence ? 1 : 0;
        return n;
    };
    EXPECT_EQ(changes(readings(Scene::Charging, 600)), 0);
    EXPECT_GE(changes(readings(Scene::Busy, 600)), 3);
    const RunData idle = readings(Scene::Idle, 5).back();
    EXPECT_EQ(idle.presence, 0);
    EXPECT_EQ(idle.state, 0);
    EXPECT_EQ(idle.current, 0);
    EXPECT_EQ(sceneNamed("busy"), Scene::Busy);
    EXPECT_FALSE(sceneNamed("bus"));
}

TEST(ChargeScene, TheModelAnswersWithTheSceneAndFixedValuesEndIt) {
    HubModel model;
    std::int64_t now = 0;
    model.setClock([&now] { return now; });
    model.setScene(Scene::Charging);
    const auto read = [&model] {
        const std::optional<HubReport> frame = buildHubFrame(CmdReadRunData, HubRequest());
        const HubResponse response = model.handleReport(*frame);
        const Bytes& reply = *response.reply;
        return int(reply[6] | reply[7] << 8); // voltage, after the report id
    };
    const int first = read();
    now += 20000;
    EXPECT_GT(read(), first);
    RunData fixed;
    fixed.voltage = 1234;
    model.setRunData(fixed);
    now += 20000;
    EXPECT_EQ(read(), 1234);
    EXPECT_EQ(model.scene(), Scene::Fixed);
}

} // namespace
