#include "HubSetup.h"
#include "HubFaultNames.h"
#include "VirtualHubOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

using namespace hubsim;

namespace {

using Result = std::variant<VirtualHubOptions, OptionsEnd>;

Result parse(std::vector<std::string> words) {
    words.insert(words.begin(), "quorvi-virtual-hub");
    return parseVirtualHubOptions(words);
}

// The options taken, or a failure naming how it ended.
VirtualHubOptions taken(const Result& result) {
    if (const OptionsEnd* end = std::get_if<OptionsEnd>(&result)) {
        ADD_FAILURE() << "ended with " << end->status << ": " << end->err;
        return {};
    }
    return std::get<VirtualHubOptions>(result);
}

OptionsEnd ended(const Result& result) {
    if (!std::holds_alternative<OptionsEnd>(result)) {
        ADD_FAILURE() << "the options were taken";
        return {};
    }
    return std::get<OptionsEnd>(result);
}

} // namespace

// A setup left as it is must make the hub a model left alone is: every
// program that starts from it relies on that.
TEST(HubSetup, ADefaultSetupChangesNothingOfAFreshModel) {
    const HubModel fresh;
    HubModel model;
    model.setMode(HubMode::Bootloader);
    model.setFirmwareVersion(1);
    model.setImageVersion(2);
    model.setLedLevels({1, 2, 3, 4, 5, 6, 7, 8});
    model.setScene(Scene::Busy);
    model.setRestartDelays(7, 9);
    applySetup(HubSetup{}, model);
    EXPECT_EQ(model.mode(), fresh.mode());
    EXPECT_EQ(model.firmwareVersion(), fresh.firmwareVersion());
    EXPECT_EQ(model.imageVersion(), fresh.imageVersion());
    EXPECT_EQ(model.ledLevels(), fresh.ledLevels());
    EXPECT_EQ(model.savedLedLevels(), fresh.savedLedLevels());
    EXPECT_EQ(model.scene(), fresh.scene());
    EXPECT_EQ(model.bootloaderEntryDelayMs(), fresh.bootloaderEntryDelayMs());
    EXPECT_EQ(model.rebootDelayMs(), fresh.rebootDelayMs());
}

TEST(VirtualHubOptions, EveryValueReachesTheHubItIsFor) {
    const VirtualHubOptions o =
        taken(parse({"--firmware", "1115abcd", "--bootloader", "--serial", "S-1", "--phys", "usb-9/1",
                     "--restart-delays", "15,2500", "--levels", "0,1,2,3,4,5,6,255", "--scene", "busy",
                     "--log", "out.log", "--uhid", "/tmp/uhid"}));
    EXPECT_EQ(o.hub.version, 0x1115ABCDu);
    EXPECT_EQ(o.hub.mode, HubMode::Bootloader);
    EXPECT_EQ(o.hub.serial, "S-1");
    EXPECT_EQ(o.phys, "usb-9/1");
    EXPECT_EQ(o.hub.bootloaderEntryMs, 15);
    EXPECT_EQ(o.hub.rebootMs, 2500);
    EXPECT_EQ(o.hub.levels, (std::array<std::uint8_t, 8>{0, 1, 2, 3, 4, 5, 6, 255}));
    EXPECT_EQ(o.hub.scene, Scene::Busy);
    EXPECT_EQ(o.logPath, "out.log");
    EXPECT_EQ(o.uhidPath, "/tmp/uhid");

    // Without options: what the help calls the defaults.
    const VirtualHubOptions plain = taken(parse({}));
    EXPECT_EQ(plain.hub.mode, HubMode::Application);
    EXPECT_EQ(plain.hub.version, 0x11150905u);
    EXPECT_EQ(plain.hub.serial, "VH0001");
    EXPECT_EQ(plain.hub.scene, Scene::Charging);
    EXPECT_EQ(plain.uhidPath, "/dev/uhid");
    EXPECT_TRUE(plain.logPath.empty());
}

TEST(VirtualHubOptions, ABadOrMissingValueIsRefusedNamingItsOption) {
    const std::string longest(63, 's');
    EXPECT_EQ(taken(parse({"--serial", longest})).hub.serial, longest);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--firmware", "11g"}, "--firmware"},
        {{"--firmware", "100000000"}, "--firmware"},
        {{"--firmware"}, "--firmware"},
        {{"--scene", "sunny"}, "--scene"},
        {{"--serial", ""}, "--serial"},
        {{"--serial", longest + "s"}, "--serial"},
        {{"--phys", ""}, "--phys"},
        {{"--restart-delays", "100"}, "--restart-delays"},
        {{"--restart-delays", "100,"}, "--restart-delays"},
        {{"--restart-delays", ",100"}, "--restart-delays"},
        {{"--restart-delays", "100,60000"}, "--restart-delays"},
        {{"--restart-delays", "-1,5"}, "--restart-delays"},
        {{"--levels", "1,2,3,4,5,6,7"}, "--levels"},
        {{"--levels", "1,2,3,4,5,6,7,8,9"}, "--levels"},
        {{"--levels", "1,2,3,4,5,6,7,256"}, "--levels"},
        {{"--levels", "1,2,3,4,5,6,,8"}, "--levels"},
        {{"--bootloader=yes"}, "--bootloader"},
        {{"--slow"}, "--slow"},
    };
    for (const auto& [words, option] : cases) {
        const OptionsEnd end = ended(parse(words));
        EXPECT_EQ(end.status, 2) << words.front();
        EXPECT_EQ(end.err, "quorvi-virtual-hub: bad or missing value for " + option + "\n") << words.back();
        EXPECT_TRUE(end.out.empty()) << words.front();
    }
}

TEST(VirtualHubOptions, AnUnknownOptionOrAnArgumentIsRefused) {
    OptionsEnd end = ended(parse({"--scene", "idle", "--firmwre", "1"}));
    EXPECT_EQ(end.status, 2);
    EXPECT_EQ(end.err, "quorvi-virtual-hub: unknown option --firmwre\n");
    EXPECT_NE(end.out.find("Usage: quorvi-virtual-hub"), std::string::npos)
        << "the usage shows what there is";
    EXPECT_EQ(ended(parse({"-x"})).err, "quorvi-virtual-hub: unknown option -x\n");

    end = ended(parse({"--bootloader", "now"}));
    EXPECT_EQ(end.status, 2);
    EXPECT_EQ(end.err, "quorvi-virtual-hub: unexpected argument now\n");
}

TEST(VirtualHubOptions, FaultsComeAsFaultOptionsOrAsOptionsOfTheirOwnAndAddUp) {
    const HubFaults faults = taken(parse({"--fault", "fail@3", "--fault", "copy-then-refuse@5:30", "--slow",
                                          "40", "--no-echo", "--unplug", "9"}))
                                 .hub.faults;
    EXPECT_EQ(faultValue(FaultKind::Fail, faults), 3);
    EXPECT_EQ(faultValue(FaultKind::CopyThenRefuse, faults), 5);
    EXPECT_EQ(faultGap(FaultKind::CopyThenRefuse, faults), 30);
    EXPECT_EQ(faultValue(FaultKind::Slow, faults), 40);
    EXPECT_EQ(faultValue(FaultKind::NoEcho, faults), 0);
    EXPECT_EQ(faultValue(FaultKind::Unplug, faults), 9);
    for (const FaultInfo& info : faultTable()) {
        const bool asked = info.kind == FaultKind::Fail || info.kind == FaultKind::CopyThenRefuse ||
                           info.kind == FaultKind::Slow || info.kind == FaultKind::NoEcho ||
                           info.kind == FaultKind::Unplug;
        if (!asked) {
            EXPECT_FALSE(faultValue(info.kind, faults)) << info.name << " was not asked for";
        }
    }

    // Refused: a hub number (there is one hub), a kind without its value, an
    // unknown kind, a value out of its range.
    const std::vector<std::vector<std::string>> refusals{
        {"--fault", "2:fail@3"}, {"--fault", "fail"}, {"--fault", "melt"}, {"--fail", "0"}};
    for (const auto& words : refusals) {
        const OptionsEnd end = ended(parse(words));
        EXPECT_EQ(end.status, 2) << words.back();
        EXPECT_EQ(end.err.rfind("quorvi-virtual-hub: bad fault \"", 0), 0u) << end.err;
    }
}

TEST(VirtualHubOptions, HelpEndsWellAndListsEveryFault) {
    for (const char* help : {"--help", "-h"}) {
        const OptionsEnd end = ended(parse({"--serial", "X", help}));
        EXPECT_EQ(end.status, 0);
        EXPECT_TRUE(end.err.empty());
        EXPECT_EQ(end.out.rfind("Usage: quorvi-virtual-hub", 0), 0u);
        for (const FaultInfo& info : faultTable())
            EXPECT_NE(end.out.find(faultSyntax(info)), std::string::npos) << info.name;
    }
}
