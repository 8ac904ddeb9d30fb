#pragma once

// The virtual hub's firmware: its application and its bootloader, answering
// request frames with one reply report each. No bus and no clock here; the
// response says what should happen next and the caller carries it out.
// Every member is safe to call from any thread.

#include "ChargeScene.h"
#include "HubWire.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <vector>

namespace hubsim {

enum class HubMode { Application, Bootloader };

inline constexpr std::uint32_t DefaultFirmwareVersion = 0x11150905;
inline constexpr std::uint32_t DefaultImageVersion = 0x11150906;
inline constexpr std::uint8_t FactoryLedLevel = 50;
inline constexpr int DefaultRestartDelayMs = 300;

// What a new firmware starts with.
inline std::array<std::uint8_t, 8> factoryLedLevels() {
    std::array<std::uint8_t, 8> levels;
    levels.fill(FactoryLedLevel);
    return levels;
}

struct RunData {
    std::uint16_t voltage = 4180;
    std::uint16_t current = 850;
    std::uint8_t state = 2;
    std::uint8_t channel = 1;
    std::uint8_t presence = 0x50; // battery slots in the high nibble
    std::array<std::uint8_t, 3> counters{3, 1, 4};
    bool operator==(const RunData&) const = default;
};

struct WrittenBlock {
    std::uint32_t address = 0;
    Bytes data;
    bool operator==(const WrittenBlock&) const = default;
};

struct HubFaults {
    bool silent = false;                                 // answers nothing
    int replyDelayMs = 0;                                // extra time before each reply
    bool wrongMarker = false;                            // replies start with something other than 0x55
    std::map<std::uint64_t, std::uint8_t> resultOnFrame; // frame number (from 1) -> forced result byte
    std::uint64_t unplugAfterFrame = 0; // leave the bus for good after answering it; 0 = never
    bool neverReturnAfterReboot = false;
    bool stayInBootloaderAfterReboot = false;
    int unsolicitedIntervalMs = 0;                  // 0 = none
    bool usbTiming = false;                         // about 1 ms per report each way
    int replyLength = 0;                            // bytes after the report id each reply keeps; 0 = all 64
    std::map<std::uint64_t, int> replyDelayOnFrame; // frame number -> its reply's delay instead
    std::set<std::uint64_t> repeatReplyOnFrame;     // frame numbers whose reply is sent twice
    // Boots the firmware it ran before, however well the new one was written.
    bool bootOldFirmwareAfterReboot = false;
    // Frame number (from 1) answered first with a copy of the previous answer,
    // then, copyThenRefuseGapMs later, with its own: a refusal, the frame not
    // carried out. 0 = never. Nothing overtakes the refusal.
    std::uint64_t copyThenRefuseFrame = 0;
    int copyThenRefuseGapMs = 0;
    // Frame numbers whose answer comes right behind an unsolicited status report.
    std::set<std::uint64_t> statusBeforeFrame;
    // Replies carry 0 where they name their frame's command.
    bool noCommandEcho = false;
    // Carried out by the cable, not the firmware: the host may not open the
    // hub, and it reports no serial number (from its next enumeration on).
    bool noAccess = false;
    bool noSerial = false;
};

struct HubResponse {
    enum class Then {
        Stay,    // stays on the bus
        Restart, // leaves the bus, comes back after restartDelayMs (finishRestart)
        Leave,   // leaves the bus and does not come back by itself
    };
    std::optional<Bytes> reply; // 65 bytes, report id first
    int replyDelayMs = 0;
    bool repeatReply = false;          // the same reply once more right after it
    std::optional<Bytes> leadingReply; // sent replyGapMs before the reply
    int replyGapMs = 0;
    std::optional<Bytes> statusBefore; // sent right before the reply
    Then then = Then::Stay;
    int restartDelayMs = 0;
};

class HubModel {
public:
    HubModel() = default;

    // One output report as written by the host, report id first.
    HubResponse handleReport(std::span<const std::uint8_t> report);

    // The restart announced by a response is over: the hub runs in its new mode.
    void finishRestart();
    bool isRestarting() const;

    // A report the hub sends without being asked.
    Bytes unsolicitedReport() const;
    void setUnsolicitedReport(Bytes report);

    HubMode mode() const;
    void setMode(HubMode mode);
    std::uint32_t firmwareVersion() const;
    void setFirmwareVersion(std::uint32_t version);
    std::uint32_t imageVersion() const;
    void setImageVersion(std::uint32_t version);

    std::array<std::uint8_t, 8> ledLevels() const;
    std::array<std::uint8_t, 8> savedLedLevels() const;
    void setLedLevels(const std::array<std::uint8_t, 8>& levels); // live and saved
    bool isLedAdjustOpen() const;

    // The running data last reported (or set).
    RunData runData() const;
    // These values at every reading from now on: the fixed scene.
    void setRunData(const RunData& data);
    // Running data that change as a charger's do, from now on (Fixed: the values set last).
    void setScene(Scene scene);
    Scene scene() const;
    // Milliseconds on a steady clock, for the scene; tests give their own.
    void setClock(std::function<std::int64_t()> nowMs);

    std::vector<WrittenBlock> writtenBlocks() const;
    // True while every block write so far matched its block data and none is left open.
    bool isWriteComplete() const;

    HubFaults faults() const;
    void setFaults(const HubFaults& faults);
    void setResultOnFrame(std::uint64_t frame, std::uint8_t result);

    int bootloaderEntryDelayMs() const;
    int rebootDelayMs() const;
    void setRestartDelays(int bootloaderEntryMs, int rebootMs);

    std::uint64_t framesReceived() const;

private:
    struct Answer {
        std::uint8_t result = ResultOk;
        Bytes data;
    };
    Answer serve(std::uint8_t command, const Bytes& payload, HubResponse& response);
    Answer serveBootloader(std::uint8_t command, const Bytes& payload, HubResponse& response);
    Answer serveApplication(std::uint8_t command, const Bytes& payload, HubResponse& response);
    void restartInto(HubMode mode, int delayMs, HubResponse& response);
    bool writeSucceeded() const;
    Bytes statusReportLocked() const;

    mutable std::mutex m_mutex;
    HubMode m_mode = HubMode::Application;
    std::uint32_t m_version = DefaultFirmwareVersion;
    std::uint32_t m_imageVersion = DefaultImageVersion;
    std::array<std::uint8_t, 8> m_leds = factoryLedLevels();
    std::array<std::uint8_t, 8> m_savedLeds = factoryLedLevels();
    bool m_ledAdjustOpen = false;
    RunData m_runData;
    ChargeScene m_charge;
    std::function<std::int64_t()> m_clock;

    std::vector<WrittenBlock> m_blocks;
    std::optional<Bytes> m_pendingBlockData;
    bool m_writeFaulty = false;

    bool m_restarting = false;
    HubMode m_modeAfterRestart = HubMode::Application;
    bool m_flashAfterRestart = false;

    HubFaults m_faults;
    Bytes m_unsolicited;
    int m_bootloaderEntryDelayMs = DefaultRestartDelayMs;
    int m_rebootDelayMs = DefaultRestartDelayMs;
    std::uint64_t m_frames = 0;
    Bytes m_lastReply;
};

} // namespace hubsim
