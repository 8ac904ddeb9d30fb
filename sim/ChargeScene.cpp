#include "ChargeScene.h"

#include "HubModel.h"

#include <algorithm>

namespace hubsim {

namespace {

constexpr double ConstantVoltageFromMv = 4150;
// mV per simulated second at the constant current: about an hour from 3.3 V.
constexpr double RisePerSecond = 0.24;
// Between two changes of the slots in the busy scene, in simulated seconds.
constexpr int SwapEverySeconds = 45 * 60;
// A long pause is not replayed second by second beyond this.
constexpr std::int64_t MaxCatchUpSeconds = 6 * 3600;

constexpr std::array<std::pair<Scene, const char*>, 4> Names{
    {{Scene::Fixed, "fixed"}, {Scene::Idle, "idle"}, {Scene::Charging, "charging"}, {Scene::Busy, "busy"}}};

} // namespace

std::optional<Scene> sceneNamed(std::string_view name) {
    for (const auto& [scene, text] : Names) {
        if (name == text)
            return scene;
    }
    return std::nullopt;
}

const char* sceneName(Scene scene) {
    for (const auto& [s, text] : Names) {
        if (s == scene)
            return text;
    }
    return "";
}

std::string sceneNames() {
    std::string out;
    for (const auto& [scene, text] : Names)
        out += (out.empty() ? "" : ", ") + std::string(text);
    return out;
}

void ChargeScene::start(Scene scene, std::int64_t nowMs) {
    m_scene = scene;
    m_slots = {};
    m_lastMs = nowMs;
    m_seconds = 0;
    m_chargedFull = 0;
    m_random = 20240601;
    if (scene == Scene::Charging || scene == Scene::Busy) {
        m_slots[0] = {true, 3400, false};
        m_slots[2] = {true, 3950, false};
    }
}

double ChargeScene::currentOf(const Slot& slot) const {
    if (slot.mv < ConstantVoltageFromMv)
        return ConstantCurrentMa;
    // Held at full voltage, the current falls as the battery fills.
    return ConstantCurrentMa * std::max(0.0, FullMv - slot.mv) / (FullMv - ConstantVoltageFromMv);
}

int ChargeScene::charging() const {
    for (int i = 0; i < int(m_slots.size()); ++i) {
        if (m_slots[std::size_t(i)].present && !m_slots[std::size_t(i)].full)
            return i;
    }
    return -1;
}

void ChargeScene::swapOne() {
    m_random = m_random * 1664525u + 1013904223u;
    Slot& slot = m_slots[(m_random >> 16) % m_slots.size()];
    if (slot.present && (slot.full || (m_random & 0x100)))
        slot = {}; // taken out
    else if (!slot.present)
        slot = {true, 3300.0 + double((m_random >> 8) % 500), false};
}

void ChargeScene::step() {
    ++m_seconds;
    if (m_scene == Scene::Busy && m_seconds % SwapEverySeconds == 0)
        swapOne();
    const int i = charging();
    if (i < 0)
        return;
    Slot& slot = m_slots[std::size_t(i)];
    const double current = currentOf(slot);
    slot.mv = std::min<double>(FullMv, slot.mv + RisePerSecond * current / ConstantCurrentMa);
    if (currentOf(slot) < FullBelowMa) {
        slot.full = true;
        ++m_chargedFull;
    }
}

void ChargeScene::advanceTo(std::int64_t nowMs) {
    if (m_scene == Scene::Fixed || nowMs <= m_lastMs)
        return;
    const std::int64_t seconds =
        std::min<std::int64_t>((nowMs - m_lastMs) * SimulatedSecondsPerSecond / 1000, MaxCatchUpSeconds);
    // Only whole simulated seconds are spent; the rest waits for the next reading.
    m_lastMs += seconds * 1000 / SimulatedSecondsPerSecond;
    if (seconds == MaxCatchUpSeconds)
        m_lastMs = nowMs;
    for (std::int64_t s = 0; s < seconds; ++s)
        step();
}

void ChargeScene::fill(RunData& data) const {
    if (m_scene == Scene::Fixed)
        return;
    const int i = charging();
    int present = 0;
    data.presence = 0;
    for (std::size_t s = 0; s < m_slots.size(); ++s) {
        if (m_slots[s].present) {
            data.presence |= std::uint8_t(0x10 << s);
            ++present;
        }
    }
    if (i >= 0) {
        const Slot& slot = m_slots[std::size_t(i)];
        data.voltage = std::uint16_t(slot.mv + 0.5);
        data.current = std::uint16_t(currentOf(slot) + 0.5);
        data.channel = std::uint8_t(i + 1);
        data.state = 1;
        data.counters[2] = std::uint8_t(std::clamp((slot.mv - 3300) * 100 / (FullMv - 3300), 0.0, 100.0));
    } else {
        // Nothing to charge: all full (2), or no battery at all (0).
        data.voltage = present > 0 ? FullMv : 0;
        data.current = 0;
        data.channel = 0;
        data.state = present > 0 ? 2 : 0;
        data.counters[2] = present > 0 ? 100 : 0;
    }
    data.counters[0] = std::uint8_t(m_chargedFull);
    data.counters[1] = std::uint8_t(present);
}

} // namespace hubsim
