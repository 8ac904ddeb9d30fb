#include "HubSetup.h"

#include "HubRunner.h"

namespace hubsim {

HubSetup demoHub() {
    HubSetup setup;
    setup.version = 0x11150905;
    setup.bootloaderEntryMs = 1000;
    setup.rebootMs = 1000;
    setup.faults.usbTiming = true;
    setup.scene = Scene::Charging;
    return setup;
}

void applySetup(const HubSetup& setup, HubModel& model) {
    model.setMode(setup.mode);
    model.setFirmwareVersion(setup.version);
    model.setImageVersion(setup.imageVersion);
    model.setLedLevels(setup.levels);
    model.setScene(setup.scene);
    model.setRestartDelays(setup.bootloaderEntryMs, setup.rebootMs);
}

void applySetup(const HubSetup& setup, HubRunner& runner) {
    runner.setSerial(setup.serial);
    applySetup(setup, runner.model());
    runner.setFaults(setup.faults);
}

} // namespace hubsim
