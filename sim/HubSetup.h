#pragma once

// How a virtual hub starts: one plain value that every place making a
// virtual hub fills in, and one way to give it to a runner. A setup left as
// it is makes the same hub as a model and runner left as they are.

#include "ChargeScene.h"
#include "HubModel.h"

#include <array>
#include <cstdint>
#include <string>

namespace hubsim {

class HubRunner;

struct HubSetup {
    std::string serial = "VH0001"; // empty: none
    HubMode mode = HubMode::Application;
    std::uint32_t version = DefaultFirmwareVersion;
    // What it runs once an image is written into it.
    std::uint32_t imageVersion = DefaultImageVersion;
    std::array<std::uint8_t, 8> levels = factoryLedLevels();
    Scene scene = Scene::Fixed;
    HubFaults faults;
    // Time off the bus after entering the bootloader and after a reboot.
    int bootloaderEntryMs = DefaultRestartDelayMs;
    int rebootMs = DefaultRestartDelayMs;
};

// The demo's hub: an older firmware, so an update is on offer; restarts and
// reports about as slow as a real hub's; batteries that charge.
HubSetup demoHub();

// Everything but the serial number, which the cable shows.
void applySetup(const HubSetup& setup, HubModel& model);
void applySetup(const HubSetup& setup, HubRunner& runner);

} // namespace hubsim
