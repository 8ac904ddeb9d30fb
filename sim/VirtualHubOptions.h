#pragma once

// quorvi-virtual-hub's command line: the hub it makes and where it runs, or
// the end of the program (help, or an option refused) with what to print.

#include "HubSetup.h"

#include <string>
#include <variant>
#include <vector>

namespace hubsim {

struct VirtualHubOptions {
    HubSetup hub = [] {
        HubSetup setup;
        setup.scene = Scene::Charging;
        return setup;
    }();
    std::string phys = "quorvi-virtual-hub/uhid"; // shown as HID_PHYS
    std::string logPath;                          // empty: log to standard output as it happens
    std::string uhidPath = "/dev/uhid";
};

struct OptionsEnd {
    int status = 0;
    std::string out; // for standard output
    std::string err; // for standard error
};

// The arguments as main() has them, the program's name first.
std::variant<VirtualHubOptions, OptionsEnd> parseVirtualHubOptions(const std::vector<std::string>& arguments);

} // namespace hubsim
