#include "HubFaultNames.h"

#include <algorithm>
#include <charconv>
#include <climits>

namespace hubsim {

namespace {

constexpr int AnyCount = INT_MAX;
constexpr int MaxDelayMs = 600000;

constexpr FaultInfo Faults[] = {
    {FaultKind::Silent, "silent", nullptr, 0, "Silent", "answers nothing"},
    {FaultKind::Slow, "slow", "MS", MaxDelayMs, "Reply after:", "answers each frame MS milliseconds late"},
    {FaultKind::WrongMarker, "wrong-marker", nullptr, 0, "Wrong marker", "answers with a wrong first byte"},
    {FaultKind::Fail, "fail", "FRAME", AnyCount,
     "Result on frame:", "answers frame FRAME with an error result"},
    {FaultKind::Unplug, "unplug", "FRAME", AnyCount,
     "Unplug after frame:", "leaves the bus for good after frame FRAME"},
    {FaultKind::NoReturn, "no-return", nullptr, 0, "Never come back after reboot",
     "does not come back after its restart"},
    {FaultKind::StayInBootloader, "stay-in-bootloader", nullptr, 0, "Stay in bootloader after reboot",
     "comes back in its bootloader after the update"},
    {FaultKind::NoAccess, "no-access", nullptr, 0, "No access", "may not be opened by this user"},
    {FaultKind::BootOldFirmware, "boot-old-firmware", nullptr, 0, "Boot old firmware after reboot",
     "comes back running its old firmware"},
    {FaultKind::CopyThenRefuse, "copy-then-refuse", "FRAME", AnyCount, "Copy, then refuse frame:",
     "answers frame FRAME first with a copy of its previous answer, then, MS milliseconds later "
     "(0 if not given), with a refusal",
     "MS", MaxDelayMs},
    {FaultKind::RepeatReply, "repeat-reply", "FRAME", AnyCount,
     "Answer twice to frame:", "answers frame FRAME twice"},
    {FaultKind::ShortReply, "short-reply", "BYTES", 63,
     "Reply length:", "answers with only BYTES bytes after the report id"},
    {FaultKind::Unsolicited, "unsolicited", "MS", MaxDelayMs,
     "Unsolicited every:", "sends a status report unasked every MS milliseconds"},
    {FaultKind::UsbTiming, "usb-timing", nullptr, 0, "USB timing (1 ms each way)",
     "takes about 1 ms per report each way, as on USB"},
    {FaultKind::StatusBefore, "status-before", "FRAME", AnyCount,
     "Status report before answer:", "sends its status report right before its answer to frame FRAME"},
    {FaultKind::NoEcho, "no-echo", nullptr, 0, "Replies without their command",
     "answers without naming the frame's command"},
    {FaultKind::NoSerial, "no-serial", nullptr, 0, "No serial number",
     "has no serial number, so it is known by its USB port"},
};

std::optional<int> number(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

template <typename Container> std::optional<int> firstFrame(const Container& frames) {
    if (frames.empty())
        return std::nullopt;
    return int(std::min<std::uint64_t>(*frames.begin(), AnyCount));
}

} // namespace

std::span<const FaultInfo> faultTable() {
    return Faults;
}

const FaultInfo& faultInfo(FaultKind kind) {
    for (const FaultInfo& info : Faults)
        if (info.kind == kind)
            return info;
    return Faults[0]; // every kind is listed; a test holds the table to that
}

std::optional<FaultKind> faultNamed(std::string_view name) {
    for (const FaultInfo& info : Faults)
        if (name == info.name)
            return info.kind;
    return std::nullopt;
}

std::string faultSyntax(const FaultInfo& info) {
    std::string text = info.name;
    if (info.valueName)
        text += std::string("@") + info.valueName;
    if (info.gapName)
        text += std::string("[:") + info.gapName + "]";
    return text;
}

std::optional<FaultRequest> parseFault(std::string_view text, int maxHub, std::string* error) {
    const auto fail = [&](const std::string& why) -> std::optional<FaultRequest> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    FaultRequest fault;
    std::string_view rest = text;
    // The hub number comes before the kind; a ':' after the '@' is the kind's own.
    if (const auto colon = rest.find(':'); colon != std::string_view::npos && colon < rest.find('@')) {
        const std::optional<int> hub = number(rest.substr(0, colon));
        if (maxHub < 1)
            return fail("no hub number may be given here.");
        if (!hub || *hub < 1 || *hub > maxHub)
            return fail("the hub number before ':' must be 1 to " + std::to_string(maxHub) + ".");
        fault.hub = *hub;
        rest = rest.substr(colon + 1);
    }
    const auto at = rest.find('@');
    const std::string name(rest.substr(0, at));
    const std::optional<FaultKind> kind = faultNamed(name);
    if (!kind) {
        std::string names;
        for (const FaultInfo& info : Faults)
            names += (names.empty() ? "" : ", ") + std::string(info.name);
        return fail("unknown kind '" + name + "'; known: " + names + ".");
    }
    fault.kind = *kind;
    const FaultInfo& info = faultInfo(*kind);
    if (!info.valueName) {
        if (at != std::string_view::npos)
            return fail("'" + name + "' takes no '@' value.");
        return fault;
    }
    std::string_view valueText = at == std::string_view::npos ? std::string_view() : rest.substr(at + 1);
    if (const auto colon = valueText.find(':'); info.gapName && colon != std::string_view::npos) {
        const std::optional<int> gap = number(valueText.substr(colon + 1));
        if (!gap || *gap < 0 || *gap > info.maxGap)
            return fail("'" + name + "' takes 0 to " + std::to_string(info.maxGap) + " " + info.gapName +
                        " after ':'.");
        fault.gap = *gap;
        valueText = valueText.substr(0, colon);
    }
    const std::optional<int> value = at == std::string_view::npos ? std::nullopt : number(valueText);
    if (!value || *value < 1)
        return fail("'" + name + "' needs a positive number after '@' (e.g. " + name + "@40).");
    if (*value > info.maxValue)
        return fail("'" + name + "' takes at most " + std::to_string(info.maxValue) + " after '@'.");
    fault.value = *value;
    return fault;
}

void applyFault(const FaultRequest& fault, HubFaults& f) {
    const auto frame = std::uint64_t(std::max(fault.value, 0));
    switch (fault.kind) {
    case FaultKind::Silent:
        f.silent = true;
        break;
    case FaultKind::Slow:
        f.replyDelayMs = fault.value;
        break;
    case FaultKind::WrongMarker:
        f.wrongMarker = true;
        break;
    case FaultKind::Fail:
        f.resultOnFrame[frame] = 0x01;
        break;
    case FaultKind::Unplug:
        f.unplugAfterFrame = frame;
        break;
    case FaultKind::NoReturn:
        f.neverReturnAfterReboot = true;
        break;
    case FaultKind::StayInBootloader:
        f.stayInBootloaderAfterReboot = true;
        break;
    case FaultKind::NoAccess:
        f.noAccess = true;
        break;
    case FaultKind::BootOldFirmware:
        f.bootOldFirmwareAfterReboot = true;
        break;
    case FaultKind::CopyThenRefuse:
        f.copyThenRefuseFrame = frame;
        f.copyThenRefuseGapMs = std::max(fault.gap, 0);
        break;
    case FaultKind::RepeatReply:
        f.repeatReplyOnFrame.insert(frame);
        break;
    case FaultKind::ShortReply:
        f.replyLength = fault.value;
        break;
    case FaultKind::Unsolicited:
        f.unsolicitedIntervalMs = fault.value;
        break;
    case FaultKind::UsbTiming:
        f.usbTiming = true;
        break;
    case FaultKind::StatusBefore:
        f.statusBeforeFrame.insert(frame);
        break;
    case FaultKind::NoEcho:
        f.noCommandEcho = true;
        break;
    case FaultKind::NoSerial:
        f.noSerial = true;
        break;
    }
}

void clearFault(FaultKind kind, HubFaults& f) {
    const HubFaults none;
    switch (kind) {
    case FaultKind::Silent:
        f.silent = none.silent;
        break;
    case FaultKind::Slow:
        f.replyDelayMs = none.replyDelayMs;
        break;
    case FaultKind::WrongMarker:
        f.wrongMarker = none.wrongMarker;
        break;
    case FaultKind::Fail:
        f.resultOnFrame.clear();
        break;
    case FaultKind::Unplug:
        f.unplugAfterFrame = none.unplugAfterFrame;
        break;
    case FaultKind::NoReturn:
        f.neverReturnAfterReboot = none.neverReturnAfterReboot;
        break;
    case FaultKind::StayInBootloader:
        f.stayInBootloaderAfterReboot = none.stayInBootloaderAfterReboot;
        break;
    case FaultKind::NoAccess:
        f.noAccess = none.noAccess;
        break;
    case FaultKind::BootOldFirmware:
        f.bootOldFirmwareAfterReboot = none.bootOldFirmwareAfterReboot;
        break;
    case FaultKind::CopyThenRefuse:
        f.copyThenRefuseFrame = none.copyThenRefuseFrame;
        f.copyThenRefuseGapMs = none.copyThenRefuseGapMs;
        break;
    case FaultKind::RepeatReply:
        f.repeatReplyOnFrame.clear();
        break;
    case FaultKind::ShortReply:
        f.replyLength = none.replyLength;
        break;
    case FaultKind::Unsolicited:
        f.unsolicitedIntervalMs = none.unsolicitedIntervalMs;
        break;
    case FaultKind::UsbTiming:
        f.usbTiming = none.usbTiming;
        break;
    case FaultKind::StatusBefore:
        f.statusBeforeFrame.clear();
        break;
    case FaultKind::NoEcho:
        f.noCommandEcho = none.noCommandEcho;
        break;
    case FaultKind::NoSerial:
        f.noSerial = none.noSerial;
        break;
    }
}

std::optional<int> faultValue(FaultKind kind, const HubFaults& f) {
    const auto flag = [](bool set) { return set ? std::optional(0) : std::nullopt; };
    const auto count = [](auto value) {
        return value > 0 ? std::optional(int(std::min<std::uint64_t>(std::uint64_t(value), AnyCount)))
                         : std::nullopt;
    };
    switch (kind) {
    case FaultKind::Silent:
        return flag(f.silent);
    case FaultKind::Slow:
        return count(f.replyDelayMs);
    case FaultKind::WrongMarker:
        return flag(f.wrongMarker);
    case FaultKind::Fail: {
        std::optional<int> first;
        for (const auto& [frame, result] : f.resultOnFrame)
            if (result != ResultOk && !first)
                first = int(std::min<std::uint64_t>(frame, AnyCount));
        return first;
    }
    case FaultKind::Unplug:
        return count(f.unplugAfterFrame);
    case FaultKind::NoReturn:
        return flag(f.neverReturnAfterReboot);
    case FaultKind::StayInBootloader:
        return flag(f.stayInBootloaderAfterReboot);
    case FaultKind::NoAccess:
        return flag(f.noAccess);
    case FaultKind::BootOldFirmware:
        return flag(f.bootOldFirmwareAfterReboot);
    case FaultKind::CopyThenRefuse:
        return count(f.copyThenRefuseFrame);
    case FaultKind::RepeatReply:
        return firstFrame(f.repeatReplyOnFrame);
    case FaultKind::ShortReply:
        return count(f.replyLength);
    case FaultKind::Unsolicited:
        return count(f.unsolicitedIntervalMs);
    case FaultKind::UsbTiming:
        return flag(f.usbTiming);
    case FaultKind::StatusBefore:
        return firstFrame(f.statusBeforeFrame);
    case FaultKind::NoEcho:
        return flag(f.noCommandEcho);
    case FaultKind::NoSerial:
        return flag(f.noSerial);
    }
    return std::nullopt;
}

int faultGap(FaultKind kind, const HubFaults& f) {
    return kind == FaultKind::CopyThenRefuse ? f.copyThenRefuseGapMs : 0;
}

std::string faultHelp(int indent, int width) {
    const std::string margin(std::size_t(indent), ' ');
    const std::string column(std::size_t(indent) + 20, ' ');
    std::string out;
    for (const FaultInfo& info : Faults) {
        std::string line = margin + faultSyntax(info);
        if (line.size() + 1 >= column.size()) {
            out += line + '\n';
            line = column;
        } else {
            line.resize(column.size(), ' ');
        }
        std::string_view words = info.description;
        bool first = true;
        while (!words.empty()) {
            const auto space = words.find(' ');
            const std::string_view word = words.substr(0, space);
            words = space == std::string_view::npos ? std::string_view() : words.substr(space + 1);
            if (!first && line.size() + 1 + word.size() >= std::size_t(width)) {
                out += line + '\n';
                line = column;
                first = true;
            }
            if (!first)
                line += ' ';
            line += word;
            first = false;
        }
        out += line + '\n';
    }
    return out;
}

} // namespace hubsim
