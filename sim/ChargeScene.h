#pragma once

// What the virtual hub's running data tell: a charger with four battery
// slots. A battery charges at a constant current until its voltage nears
// full, then its current falls as the voltage rises the last steps; the
// charger takes the batteries one after another (the channel), and in the
// busy scene full batteries are taken out and empty ones put in. Time runs
// a minute of charging per second, so a charge shows in a minute or two.
// Plain C++; the caller gives the time.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hubsim {

struct RunData;

enum class Scene {
    Fixed,    // the same values at every reading (set with HubModel::setRunData)
    Idle,     // no battery
    Charging, // two batteries charge, one after the other, then stay full
    Busy,     // as charging, and slots fill and empty now and then
};

std::optional<Scene> sceneNamed(std::string_view name);
const char* sceneName(Scene scene);
// "fixed, idle, charging, busy", for help texts and completions.
std::string sceneNames();

class ChargeScene {
public:
    static constexpr int SimulatedSecondsPerSecond = 60;
    static constexpr int FullMv = 4200;
    static constexpr int ConstantCurrentMa = 1000;
    static constexpr int FullBelowMa = 60; // a battery counts as full below this current

    // Starts the scene over at this time (ms on any steady clock).
    void start(Scene scene, std::int64_t nowMs);
    Scene scene() const { return m_scene; }
    // Charges up to nowMs and tells what the hub would report.
    void advanceTo(std::int64_t nowMs);
    // Fills in everything but what the fixed scene keeps.
    void fill(RunData& data) const;

private:
    struct Slot {
        bool present = false;
        double mv = 0;
        bool full = false;
    };
    void step(); // one simulated second
    double currentOf(const Slot& slot) const;
    int charging() const; // the slot being charged, -1 for none
    void swapOne();

    Scene m_scene = Scene::Fixed;
    std::array<Slot, 4> m_slots{};
    std::int64_t m_lastMs = 0;
    std::int64_t m_seconds = 0; // simulated seconds since start
    int m_chargedFull = 0;
    std::uint32_t m_random = 1;
};

} // namespace hubsim
