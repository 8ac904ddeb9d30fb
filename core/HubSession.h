#pragma once

// The update policy for one hub, over its link: the mode query and the waits
// for a mode, the version check, the running data, the LED levels and the
// whole update with the levels carried across, its lock, its history and its
// stop. The frames travel through the link (HubConnection); what the replies say
// comes from the decoders (HubReplies). It knows no widgets; what a user
// should see leaves through signals.

#include "HubConnection.h"
#include "HubIdentity.h"
#include "HubProtocol.h"
#include "HubReplies.h"
#include "UpdateFailure.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

class FirmwareImage;
class HubUpdateLock;
class LedCalibrationStore;
class THidDevice;
class UpdateHistory;

// Finds the session's hub again. A hub that restarts (bootloader entry, the
// reboot after programming) comes back as a new device object, so the waits
// for a mode ask for it anew before each poll.
class HubLocator {
public:
    virtual ~HubLocator() = default;
    // Runs what finding the hub takes (a device-change pass) and returns the
    // hub's device now, or nullptr while it is away. The locator owns the
    // devices: before it deletes the one the session holds, it attaches the
    // session elsewhere or detaches it.
    virtual THidDevice* refreshHub() = 0;
    // Which hub the device is: kept LED levels are given back only to the
    // hub they were read from, and its update is locked by it.
    virtual HubIdentity hubIdentity(THidDevice* device) { return HubIdentity::of(device); }
};

// Lives on one thread: every call and the waits belong to the thread it was
// created on (requestStop excepted). Sessions share no state, so several may
// run at once, one per thread.
class HubSession : public QObject {
    Q_OBJECT
public:
    // Time limits and pauses of the hub link and the update.
    using Timing = HubTiming;
    using Mode = hubreply::Mode;

    enum class Stage {
        Started,            // the image is usable and a hub is attached
        EnteringBootloader, // the LED levels are read (when the application ran)
        Programming,
        Rebooting,
        RestoringLevels, // back in the application; only when levels are held
    };
    Q_ENUM(Stage)

    enum class UpdateResult {
        Completed,
        ImageUnusable,   // refused before any frame
        NoHub,           // no device attached
        BootloaderError, // the hub did not reach its bootloader
        LineNotTaken,    // a line was not answered, refused or disputed, or the hub left; it stays in its
                         // bootloader
        UpdateFail,      // the hub did not come back in its application
        CalibrationNotRestored, // the firmware is new, the LED levels are kept for the next try
        WrongVersion,           // the hub came back, but not running the image's version
        CalibrationUnreadable,  // its mode or LED levels could not be read: not sent to its bootloader
        HubBusy,                // another program is updating this hub; nothing was sent
        LockFailed,             // the hub's lock could not be made; nothing was sent
        Stopped,                // asked to stop: nothing sent, or stopped between two lines
    };
    Q_ENUM(UpdateResult)

    static constexpr int LedChannels = hubreply::LedChannels;
    static constexpr int MaxLedLevel = 100;
    using LedLevels = hubreply::LedLevels;
    using RunData = hubreply::RunData;
    using Reply = hubreply::Reply;

    explicit HubSession(QObject* parent = nullptr);
    ~HubSession() override;
    HubSession(const HubSession&) = delete;
    HubSession& operator=(const HubSession&) = delete;

    Timing timing;

    // The frames go out, and their replies come back, through this.
    HubConnection& link() { return m_link; }
    const HubConnection& link() const { return m_link; }

    // Not owned; without one the waits keep talking to the attached device.
    void setLocator(HubLocator* locator) { m_locator = locator; }
    HubLocator* locator() const { return m_locator; }
    // Not owned; where LED levels outlive the program until their write-back
    // succeeded. Without one they are kept for this session's life only.
    void setCalibrationStore(LedCalibrationStore* store) { m_store = store; }
    // Where the per-hub update locks live (HubUpdateLock::folderFor); empty:
    // no lock is taken.
    void setUpdateLockFolder(const QString& folder) { m_lockFolder = folder; }
    const QString& updateLockFolder() const { return m_lockFolder; }
    // False: an update whose lock cannot be made goes on unguarded, and says
    // so, instead of ending in LockFailed.
    void setLockRequired(bool required) { m_lockRequired = required; }
    // Another program holds the hub's lock: it is updating the hub, which then
    // gets no frame from here. Said once in the log and status while it lasts.
    // Every exchange below asks this first.
    bool hubTakenElsewhere();
    // Not owned; every update attempt is appended to it.
    void setHistory(UpdateHistory* history) { m_history = history; }

    // The link's device: see HubConnection::attach and detach.
    void attach(THidDevice* device) { m_link.attach(device); }
    void detach() { m_link.detach(); }
    THidDevice* device() const { return m_link.device(); }
    // Inside a reply wait of the link: see HubConnection::inReplyWait.
    bool inReplyWait() const { return m_link.inReplyWait(); }

    Mode QueryHubMode();
    // The result byte of the last mode query; -1 when no answer came.
    int lastModeResult() const { return m_lastModeResult; }
    // firstPauseMs: the pause before the first poll, when part of it was spent; -1 for the usual.
    bool WaitForHubMode(int limitMs, Mode wanted, int firstPauseMs = -1);
    // Logs "Enter bootloader mode...", asks for the bootloader and waits for it.
    // A frame that could not be written is not waited for.
    bool EnterBootloader();

    // The firmware version the hub reports (reply bytes 5 to 8, high first).
    std::optional<std::uint32_t> readVersion();
    std::optional<RunData> readRunData();

    // Starts the LED adjustment and reads the levels: announces them raw
    // through ledLevelsRead, then holds them (within 0..MaxLedLevel) for the
    // write-back after an update. Levels kept for this hub stay held instead:
    // what it reports then are the new firmware's defaults.
    bool startLedAdjust();
    // Sends one channel's level (channel 1 to 8). Outside an update, a level
    // set by hand (not the echo of a read) replaces what is kept for the
    // attached hub, never another hub's; so does the end of an adjustment
    // whose levels were read from it. Both give the reply's result byte, or
    // -1 when no reply came.
    int setLedLevel(int channel, int level);
    int endLedAdjust();
    bool calibrationHeld() const { return m_calibrationHeld; }
    // Held levels that a failed run could not give back yet.
    bool writeBackOwed() const { return m_writeBackOwed; }
    const LedLevels& heldLevels() const { return m_heldLevels; }

    // The whole update of the attached hub with the given image. A hub goes
    // to its bootloader only with its calibration safe: its levels read now,
    // or kept from an earlier attempt on it, or it said it is in its
    // bootloader. Otherwise the update ends in CalibrationUnreadable with the
    // hub untouched, unless the calibration may be discarded.
    UpdateResult runUpdate(const FirmwareImage& image);
    // The caller's explicit choice to update a hub whose calibration cannot
    // be read; the result then says it was not carried.
    void setDiscardCalibration(bool discard) { m_discardCalibration = discard; }
    // A line not taken is logged as "Timeout." whatever befell it, as the
    // window words it; false: as what happened ("Refused.", "Unplugged.").
    void setTimeoutForEveryFailedLine(bool every) { m_timeoutForEveryFailedLine = every; }
    bool discardCalibration() const { return m_discardCalibration; }
    // Any thread. The update stops with Stopped before its first frame, or
    // before programming, or after the line being written: never inside a
    // line. Once the lines are all written it runs to its end, so that the
    // hub restarts and gets its levels back. Stays requested.
    void requestStop() { m_stopRequested.store(true, std::memory_order_relaxed); }
    bool stopRequested() const { return m_stopRequested.load(std::memory_order_relaxed); }
    // Image lines the last update got through (sent, or passed over as no
    // data), as its progress counts them.
    int linesWritten() const { return m_linesWritten; }
    // The version the hub told after its update, read once it was back and
    // its levels were written; empty when the last update did not get there.
    std::optional<std::uint32_t> versionAfter() const { return m_versionAfter; }
    // False when the last update had no LED levels to carry (a hub found in
    // its bootloader with none kept, or whose levels could not be read and
    // were discarded as asked): it keeps the new firmware's defaults.
    bool calibrationCarried() const { return m_calibrationCarried; }
    // Why the last update did not complete and how far it got; kind None
    // when it completed.
    const UpdateFailure& failure() const { return m_failure; }
    // The LED levels the last update read from the hub and wrote back to it.
    const std::optional<LedLevels>& levelsRead() const { return m_run.levelsRead; }
    const std::optional<LedLevels>& levelsWritten() const { return m_run.levelsWritten; }
    // Set while the hub is being sent to its bootloader.
    bool updateInProgress() const { return m_updateInProgress; }
    // Set from the start of runUpdate to its end.
    bool updateRunning() const { return m_updateRunning; }

signals:
    void logLine(const QString& text);
    // Text that ends the last log line ("Reboot..." then "OK.").
    void logAppend(const QString& text);
    void statusText(const QString& text);
    void progressRange(int maximum);
    void progress(int value);
    // 0: the link is good, 1: it is lost.
    void linkIndicator(int index);
    void stageChanged(HubSession::Stage stage);
    void ledLevelsRead(const HubSession::LedLevels& levels);
    void updateFinished(HubSession::UpdateResult result);

private:
    // The update, step by step. A step ends the update with its result, or
    // lets it go on (nullopt).
    using StepEnd = std::optional<UpdateResult>;
    UpdateResult programImage(const FirmwareImage& image);
    StepEnd prepare(const FirmwareImage& image);
    StepEnd lockHub(const HubIdentity& identity);
    StepEnd carryLevels();
    StepEnd enterBootloaderFor(const FirmwareImage& image);
    StepEnd programLines(const FirmwareImage& image);
    StepEnd programLine(HubRequest& request, const FirmwareImage& image, int index);
    StepEnd restart(const FirmwareImage& image);
    StepEnd giveLevelsBack();
    // The end of an update that got this far: said, the lamp red, and recorded.
    void failWith(const QString& text, UpdateFailure::Kind kind, UpdateFailure::Step step,
                  std::uint8_t command);
    UpdateResult verify(const FirmwareImage& image);
    // A line (or the reboot after the last) not taken: logged, and m_failure set.
    UpdateResult lineNotTaken(std::uint8_t command, int result, int line, int lineCount);
    // Reads or finds the levels to carry; false when the hub may not be sent
    // to its bootloader (m_failure then says why).
    bool carryCalibration(Mode modeAtStart);
    UpdateResult bootloaderError();
    bool restoreLevels();
    HubIdentity identityOf(THidDevice* device) const;
    bool storeKeeps() const;
    void takeKeptLevels(const HubIdentity& identity);
    // Keeps the held levels in the store; says so, with the levels, when it cannot.
    void keepLevels(const QDateTime& readAt = {});
    // The attempt ends with nothing erased: what it kept is no one's calibration.
    void dropLevelsKeptThisRun();
    // Levels set on the hub by hand: channel 1 to 8, or 0 for all the levels
    // read from it and set since.
    void levelsSetByHand(const HubIdentity& hub, int channel, std::uint8_t level = 0);
    void appendHistory(UpdateResult result, const QString& lastText, const FirmwareImage& image);
    // What a frame of the update that failed with this result tells.
    UpdateFailure frameFailure(std::uint8_t command, int result, int line, int lineCount);

    // One record for every frame of the lines and the reboot after them: what
    // a longer line left in it travels as padding, as the hubs have always
    // seen it.
    HubRequest m_record;
    HubLocator* m_locator = nullptr;
    LedCalibrationStore* m_store = nullptr;
    HubConnection m_link{timing};
    std::atomic<bool> m_stopRequested{false};
    int m_linesWritten = 0;
    std::optional<std::uint32_t> m_versionAfter;
    UpdateFailure m_failure;
    // The last hub-mode poll: -2 no hub to ask, -1 no answer, else the mode.
    int m_lastPoll = -2;
    // The last mode query took an answer (else the hub was silent), and its result.
    bool m_lastQueryAnswered = false;
    int m_lastModeResult = -1;
    int m_lastLevelsResult = -1; // of the last CmdStartLedAdjust
    // The last bootloader entry: written, answered, and seen to reach the hub.
    bool m_entryWritten = false;
    bool m_entryAnswered = false;
    bool m_entryReached = false;
    Mode m_modeAtStart = Mode::None;
    bool m_discardCalibration = false;
    bool m_timeoutForEveryFailedLine = true;
    bool m_calibrationCarried = true;
    bool m_updateInProgress = false;
    bool m_updateRunning = false;
    bool m_calibrationHeld = false;
    bool m_writeBackOwed = false; // the held levels are not back on the hub yet
    bool m_levelsFromEarlierAttempt = false;
    bool m_keptInStore = false; // the owed levels are in the store too
    bool m_keptThisRun = false; // this attempt read and kept them
    bool m_echoingRead = false; // levels just read are being shown (and sent back)
    // The levels of the last hand adjustment, read from m_adjustedHub and set since.
    HubIdentity m_adjustedHub;
    LedLevels m_adjustedLevels{};
    HubIdentity m_heldIdentity;
    LedLevels m_heldLevels{};
    QDateTime m_levelsReadAt;  // when the held levels were read from the hub
    QString m_levelsReadWhere; // the port they were read at, for a hub known by its port
    QString m_lockFolder;
    bool m_lockRequired = true;
    HubIdentity m_toldTaken; // the hub last said to be taken by another program
    std::unique_ptr<HubUpdateLock> m_updateLock;
    UpdateHistory* m_history = nullptr;
    // The last version read, from which hub and how long ago: the history's
    // version before when it was read as the update started.
    std::optional<std::uint32_t> m_lastVersion;
    HubIdentity m_lastVersionHub;
    QElapsedTimer m_lastVersionClock;
    static constexpr int FreshVersionMs = 2000;
    // What one update attempt did, for the history.
    struct RunRecord {
        QDateTime started;
        HubIdentity hub;
        std::optional<std::uint32_t> versionBefore;
        // The answer to the attempt's first mode query.
        std::optional<Mode> modeAtStart;
        // Any version read after the reboot of this attempt lands here.
        std::optional<std::uint32_t> versionAfter;
        std::optional<LedLevels> levelsRead;
        std::optional<LedLevels> levelsWritten;
        bool rebooted = false;
    } m_run;

    // Lets tests set the flag that only the update writes.
    friend struct TfrmMainTestAccess;
};
