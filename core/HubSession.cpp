#include "HubSession.h"

#include "AppVersion.h"
#include "EventWait.h"
#include "FirmwareImage.h"
#include "HidControllerClass.h"
#include "HubUpdateLock.h"
#include "LedCalibrationStore.h"
#include "PreciseTiming.h"
#include "ScopeExit.h"
#include "UpdateHistory.h"
#include "UpdateOutcome.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMetaEnum>
#include <QStringList>

#include <algorithm>

namespace {

// Lets the thread's events (a window's paint, device changes) run for the
// given time without keeping a core busy.
void pauseInEventLoop(int ms) {
    if (ms <= 0)
        QCoreApplication::processEvents();
    else
        processEventsUntil({}, ms);
}

} // namespace

HubSession::HubSession(QObject* parent) : QObject(parent) {
    connect(&m_link, &HubConnection::logLine, this, &HubSession::logLine);
}

HubSession::~HubSession() = default;

HubIdentity HubSession::identityOf(THidDevice* device) const {
    return m_locator ? m_locator->hubIdentity(device) : HubIdentity::of(device);
}

bool HubSession::hubTakenElsewhere() {
    if (m_lockFolder.isEmpty() || !device() || (m_updateLock && m_updateLock->isLocked()))
        return false;
    const HubIdentity identity = identityOf(device());
    const HubUpdateLock lock(m_lockFolder, identity);
    if (!identity.isValid() || !lock.isHeldElsewhere()) {
        m_toldTaken = {};
        return false;
    }
    if (m_toldTaken != identity) {
        m_toldTaken = identity;
        const QString holder = lock.holder();
        const QString text =
            QStringLiteral("Another program is updating hub %1%2.")
                .arg(identity.key(), holder.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(holder));
        emit logLine(text);
        emit statusText(text);
    }
    return true;
}

HubSession::Mode HubSession::QueryHubMode() {
    if (hubTakenElsewhere()) {
        m_lastQueryAnswered = false;
        return Mode::None;
    }
    try {
        const int result = m_link.SendFrame(CmdGetMode, hubrequest::withoutPayload());
        m_lastQueryAnswered = result >= 0;
        m_lastModeResult = result;
        const Mode mode = hubreply::mode(result, m_link.reply());
        if (m_updateRunning && !m_run.modeAtStart)
            m_run.modeAtStart = mode;
        return mode;
    } catch (...) {
        m_lastQueryAnswered = false;
        m_lastModeResult = -1;
        return Mode::None;
    }
}

bool HubSession::WaitForHubMode(int limitMs, Mode wanted, int firstPauseMs) {
    QElapsedTimer clock;
    clock.start();
    m_lastPoll = -2;
    for (bool first = true;; first = false) {
        if (clock.elapsed() >= limitMs)
            return false;
        pauseInEventLoop(first && firstPauseMs >= 0 ? firstPauseMs : timing.modePollMs);
        QCoreApplication::processEvents();
        if (m_locator) {
            THidDevice* const found = m_locator->refreshHub();
            if (found != device())
                attach(found);
        }
        if (!device()) {
            m_lastPoll = -2;
            continue;
        }
        const Mode mode = QueryHubMode();
        m_lastPoll = m_lastQueryAnswered ? int(mode) : -1;
        if (mode == wanted)
            return true;
    }
}

bool HubSession::EnterBootloader() {
    emit logLine(QStringLiteral("Enter bootloader mode..."));
    const quint64 writtenBefore = m_link.framesWritten();
    // The hub may restart before it answers, so the answer's result says
    // nothing; that it came proves the frame arrived.
    m_entryAnswered = m_link.SendFrame(CmdEnterBootloader, hubrequest::withoutPayload()) >= 0;
    m_entryWritten = m_link.framesWritten() != writtenBefore;
    m_entryReached = false;
    m_lastPoll = -2;
    if (!m_entryWritten)
        return false;
    THidDevice* const target = device();
    const quint32 instance = target && target->PnPInfo() ? target->PnPInfo()->InstanceNumber : 0;
    if (!WaitForHubMode(timing.modeWaitMs, Mode::Bootloader))
        return false;
    // Without an answer only a restart proves the frame got there: the device
    // it went to left, or the hub answers from another mode than before. A
    // hub found in its bootloader on a device that never changed may be
    // there from an earlier attempt, the frame lost on a stale device.
    const THidDevice* const now = device();
    const bool restarted = now != target || !now->PnPInfo() || now->PnPInfo()->InstanceNumber != instance ||
                           m_modeAtStart != Mode::Bootloader;
    m_entryReached = m_entryAnswered || restarted;
    return true;
}

std::optional<std::uint32_t> HubSession::readVersion() {
    if (hubTakenElsewhere())
        return std::nullopt;
    if (m_link.SendFrame(CmdGetVersion, hubrequest::getVersion()) != 0)
        return std::nullopt;
    const std::optional<std::uint32_t> version = hubreply::version(m_link.reply());
    if (!version)
        return std::nullopt;
    m_lastVersion = version;
    m_lastVersionHub = identityOf(device());
    m_lastVersionClock.start();
    if (m_updateRunning && m_run.rebooted)
        m_run.versionAfter = version;
    return version;
}

std::optional<HubSession::RunData> HubSession::readRunData() {
    if (!device() || hubTakenElsewhere())
        return std::nullopt;
    if (m_link.SendFrame(CmdReadRunData, hubrequest::withoutPayload()) != 0)
        return std::nullopt;
    return hubreply::runData(m_link.reply());
}

bool HubSession::startLedAdjust() {
    m_lastLevelsResult = -1;
    if (!device() || hubTakenElsewhere())
        return false;
    m_lastLevelsResult = m_link.SendFrame(CmdStartLedAdjust, hubrequest::withoutPayload());
    if (m_lastLevelsResult != 0)
        return false;
    // A copy: whoever shows the levels may send frames, which reuse the reply buffer.
    const std::optional<LedLevels> read = hubreply::ledLevels(m_link.reply());
    if (!read)
        return false;
    const LedLevels levels = *read;
    const HubIdentity from = identityOf(device());
    {
        // Levels shown and sent back as they were read are not set by hand.
        m_echoingRead = true;
        const ScopeExit shown([this] { m_echoingRead = false; });
        emit ledLevelsRead(levels);
    }
    if (m_updateRunning)
        m_run.levelsRead = levels;
    // A level above the range goes back as its top, as a slider showing it would.
    LedLevels clamped{};
    for (std::size_t i = 0; i < levels.size(); ++i)
        clamped[i] = std::min<std::uint8_t>(levels[i], MaxLedLevel);
    m_adjustedHub = from;
    m_adjustedLevels = clamped;
    // Kept levels of this hub are its calibration; after a failed write-back
    // it reports the new firmware's defaults. Another hub's stay in the store.
    if (m_writeBackOwed && m_heldIdentity == from)
        return true;
    m_writeBackOwed = false;
    m_heldIdentity = from;
    m_heldLevels = clamped;
    m_calibrationHeld = true;
    m_levelsReadAt = QDateTime::currentDateTimeUtc();
    m_levelsReadWhere = from.isPort() ? from.value() : QString();
    return true;
}

int HubSession::setLedLevel(int channel, int level) {
    if (!device() || hubTakenElsewhere())
        return -1;
    if (!m_updateRunning && !m_echoingRead && channel >= 1 && channel <= LedChannels)
        levelsSetByHand(identityOf(device()), channel,
                        static_cast<std::uint8_t>(std::clamp(level, 0, MaxLedLevel)));
    return m_link.SendFrame(CmdSetLedLevel, hubrequest::setLedLevel(channel, level));
}

int HubSession::endLedAdjust() {
    if (!device() || hubTakenElsewhere())
        return -1;
    // The hub keeps what it shows now: the levels read from it and set since.
    if (!m_updateRunning && m_adjustedHub.isValid() && m_adjustedHub == identityOf(device()))
        levelsSetByHand(m_adjustedHub, 0);
    return m_link.SendFrame(CmdEndLedAdjust, hubrequest::withoutPayload());
}

void HubSession::levelsSetByHand(const HubIdentity& hub, int channel, std::uint8_t level) {
    if (!hub.isValid())
        return;
    const bool adjusted = m_adjustedHub == hub;
    if (adjusted && channel > 0)
        m_adjustedLevels[std::size_t(channel - 1)] = level;
    const bool heldHere = m_calibrationHeld && m_heldIdentity == hub;
    const std::optional<LedCalibrationStore::Entry> stored =
        storeKeeps() ? m_store->entry(hub.key()) : std::nullopt;
    if (!heldHere && !stored)
        return;
    // The hub's levels as a whole when they were read from it, else the one
    // channel set: either replaces what was kept for it.
    LedLevels levels = heldHere ? m_heldLevels : stored->levels;
    if (adjusted)
        levels = m_adjustedLevels;
    else if (channel > 0)
        levels[std::size_t(channel - 1)] = level;
    if (heldHere)
        m_heldLevels = levels;
    if (!stored && !(heldHere && m_writeBackOwed))
        return;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString where = hub.isPort() ? hub.value() : QString();
    if (heldHere) {
        m_levelsReadAt = now;
        m_levelsReadWhere = where;
        keepLevels(now);
    } else {
        m_store->save(hub.key(), levels, where, now);
    }
}

bool HubSession::storeKeeps() const {
    // A store without a file keeps nothing on purpose (virtual hubs).
    return m_store && !m_store->filePath().isEmpty();
}

void HubSession::takeKeptLevels(const HubIdentity& identity) {
    // Levels of another hub are not this one's calibration: they stay kept
    // for their own hub, in the store.
    if (m_writeBackOwed && m_heldIdentity != identity)
        m_writeBackOwed = false;
    // The store speaks for every program: levels this session kept there and
    // that are gone from it were given back (or replaced) by another one.
    const std::optional<LedCalibrationStore::Entry> kept =
        storeKeeps() && identity.isValid() ? m_store->entry(identity.key()) : std::nullopt;
    if (m_writeBackOwed && m_keptInStore && !kept)
        m_writeBackOwed = false;
    if (kept || !m_writeBackOwed) {
        // The store's levels, or else only what the run reads itself.
        m_calibrationHeld = false;
        m_writeBackOwed = false;
        if (kept) {
            for (std::size_t i = 0; i < kept->levels.size(); ++i)
                m_heldLevels[i] = std::min<std::uint8_t>(kept->levels[i], MaxLedLevel);
            m_calibrationHeld = true;
            m_writeBackOwed = true;
            m_levelsReadAt = kept->readAt;
            m_levelsReadWhere = kept->where;
            m_keptInStore = true;
        }
    }
    m_heldIdentity = identity;
    m_levelsFromEarlierAttempt = m_writeBackOwed;
}

void HubSession::keepLevels(const QDateTime& readAt) {
    m_keptInStore = false;
    if (!storeKeeps() || !m_heldIdentity.isValid())
        return;
    m_keptInStore = m_store->save(m_heldIdentity.key(), m_heldLevels, m_levelsReadWhere, readAt);
    if (m_keptInStore)
        return;
    // The levels live on only in this program now: the user must see them.
    const QString text =
        QStringLiteral("The LED levels of hub %1 could not be kept (%2); note them down: %3.")
            .arg(m_heldIdentity.key(), m_store->lastError(), ledLevelsText(m_heldLevels));
    emit logLine(text);
    emit statusText(text);
}

void HubSession::dropLevelsKeptThisRun() {
    if (!m_keptThisRun)
        return;
    m_keptThisRun = false;
    m_writeBackOwed = false;
    m_levelsFromEarlierAttempt = false;
    if (m_keptInStore && m_heldIdentity.isValid())
        m_store->clear(m_heldIdentity.key());
    m_keptInStore = false;
}

void HubSession::appendHistory(UpdateResult result, const QString& lastText, const FirmwareImage& image) {
    if (!m_history || !m_run.hub.isValid())
        return;
    UpdateRecord record;
    record.time = m_run.started;
    record.hub = m_run.hub.key();
    record.program = QCoreApplication::applicationName();
    record.failure = m_failure;
    if (result == UpdateResult::Stopped && !m_failure.failed()) {
        // Before the first frame, or between two lines once it programmed.
        record.failure.kind = UpdateFailure::Kind::Stopped;
        record.failure.step =
            m_run.modeAtStart ? UpdateFailure::Step::Programming : UpdateFailure::Step::Asking;
        record.failure.line = m_linesWritten + 1;
        record.failure.lineCount = image.count();
    }
    record.result =
        record.failure.failed() ? failureKindName(record.failure.kind) : QStringLiteral("completed");
    record.resultText = lastText;
    if (m_run.modeAtStart)
        record.modeBefore = *m_run.modeAtStart == Mode::Application  ? QStringLiteral("application")
                            : *m_run.modeAtStart == Mode::Bootloader ? QStringLiteral("bootloader")
                                                                     : QStringLiteral("not answering");
    // A hub found in another mode may have been changed since that version was read.
    if (m_run.modeAtStart == Mode::Application)
        record.versionBefore = m_run.versionBefore;
    record.versionAfter = m_run.versionAfter;
    record.image = image.origin();
    record.imageDigest = image.digest();
    record.imageVersion = image.version();
    record.levelsRead = m_run.levelsRead;
    record.levelsWritten = m_run.levelsWritten;
    // Nothing written to the hub and found in its application: its levels are where they were.
    const bool programmed = m_run.rebooted || m_linesWritten > 0 ||
                            (m_failure.failed() && m_failure.step >= UpdateFailure::Step::Programming);
    record.calibration = m_run.levelsWritten                                    ? QStringLiteral("carried")
                         : m_writeBackOwed                                      ? QStringLiteral("kept")
                         : !programmed && m_run.modeAtStart != Mode::Bootloader ? QStringLiteral("not needed")
                                                                                : QStringLiteral("lost");
    if (!m_history->append(record))
        emit logLine(
            QStringLiteral("The update history could not be written (%1).").arg(m_history->lastError()));
}

UpdateFailure HubSession::frameFailure(std::uint8_t command, int result, int line, int lineCount) {
    UpdateFailure f;
    f.step = UpdateFailure::Step::Programming;
    f.command = command;
    f.result = result;
    f.line = line;
    f.lineCount = lineCount;
    if (result > 0) {
        f.kind = UpdateFailure::Kind::Refused;
        return f;
    }
    if (m_link.lastExchangeDisputed()) {
        f.kind = UpdateFailure::Kind::Disputed;
        return f;
    }
    // A hub that left has its device-change notice queued by now.
    QCoreApplication::processEvents();
    f.kind = device() && device()->Plugged() ? UpdateFailure::Kind::NoAnswer : UpdateFailure::Kind::Unplugged;
    return f;
}

HubSession::UpdateResult HubSession::runUpdate(const FirmwareImage& image) {
    m_versionAfter.reset();
    m_failure = UpdateFailure{};
    m_linesWritten = 0;
    m_calibrationCarried = true;
    m_updateRunning = true;
    m_run = RunRecord{};
    m_run.started = QDateTime::currentDateTimeUtc();
    QString lastText;
    const QMetaObject::Connection told =
        connect(this, &HubSession::statusText, this, [&lastText](const QString& text) { lastText = text; });
    const ScopeExit ended([this, &told] {
        disconnect(told);
        m_updateLock.reset();
        m_updateRunning = false;
    });
    const PreciseTiming precise; // the pause after each frame is 2 ms, not a system tick
    const UpdateResult result = programImage(image);
    // Recorded while the lock is still held: the next program's attempt comes after this one.
    appendHistory(result, lastText, image);
    emit updateFinished(result);
    return result;
}

HubSession::UpdateResult HubSession::programImage(const FirmwareImage& image) {
    if (const StepEnd end = prepare(image))
        return *end;
    if (const StepEnd end = carryLevels())
        return *end;
    if (const StepEnd end = enterBootloaderFor(image))
        return *end;
    if (const StepEnd end = programLines(image))
        return *end;
    if (const StepEnd end = restart(image))
        return *end;
    if (const StepEnd end = giveLevelsBack())
        return *end;
    return verify(image);
}

HubSession::StepEnd HubSession::prepare(const FirmwareImage& image) {
    // A broken image would leave the hub half-programmed in its bootloader:
    // refuse it before a single frame goes out.
    if (!image.isUsable()) {
        emit logLine(image.problem());
        emit statusText(image.problem());
        m_failure.kind = UpdateFailure::Kind::ImageRefused;
        m_failure.step = UpdateFailure::Step::Preparing;
        return UpdateResult::ImageUnusable;
    }
    if (!device()) {
        emit logLine(QStringLiteral("Device disconnected."));
        emit statusText(QStringLiteral("Device disconnected..."));
        m_failure.kind = UpdateFailure::Kind::NoHub;
        m_failure.step = UpdateFailure::Step::Preparing;
        return UpdateResult::NoHub;
    }
    // Nothing sent yet: the hub keeps its firmware.
    if (stopRequested())
        return UpdateResult::Stopped;
    const HubIdentity identity = identityOf(device());
    if (const StepEnd end = lockHub(identity))
        return end;
    m_run.hub = identity;
    // Only a version read just before, as the start of this attempt (the
    // command line's look at the hub), tells what the hub runs now.
    if (m_lastVersionHub == identity && m_lastVersionClock.isValid() &&
        m_lastVersionClock.elapsed() <= FreshVersionMs)
        m_run.versionBefore = m_lastVersion;
    // Levels of an earlier attempt whose write-back did not succeed (this run
    // of the program or an earlier one) are the user's calibration; they win
    // over what the hub reports now, which after a failed write-back are the
    // new firmware's defaults.
    m_keptThisRun = false;
    takeKeptLevels(identity);
    emit stageChanged(Stage::Started);
    return std::nullopt;
}

HubSession::StepEnd HubSession::lockHub(const HubIdentity& identity) {
    if (m_lockFolder.isEmpty() || !identity.isValid())
        return std::nullopt;
    m_updateLock = std::make_unique<HubUpdateLock>(m_lockFolder, identity);
    const auto refuse = [this](const QString& text, UpdateFailure::Kind kind, UpdateResult result) {
        m_updateLock.reset();
        emit logLine(text);
        emit statusText(text);
        m_failure.kind = kind;
        m_failure.step = UpdateFailure::Step::Preparing;
        return result;
    };
    // A moment's grace: another program's look at the hub holds the lock that long.
    if (!m_updateLock->tryLock(100) && !m_updateLock->heldByAnother() && m_lockRequired)
        return refuse(QStringLiteral("Cannot lock hub %1: %2. Nothing was sent.")
                          .arg(identity.key(), m_updateLock->error()),
                      UpdateFailure::Kind::LockFailed, UpdateResult::LockFailed);
    if (!m_updateLock->isLocked() && !m_updateLock->heldByAnother()) {
        // Asked for: the update goes on, but the user is told it is unguarded.
        emit logLine(QStringLiteral("Cannot lock hub %1: %2; another program is not kept from "
                                    "updating this hub at the same time.")
                         .arg(identity.key(), m_updateLock->error()));
        m_updateLock.reset();
    } else if (!m_updateLock->isLocked()) {
        const QString holder = m_updateLock->holder();
        return refuse(
            QStringLiteral("Another program is updating hub %1%2; this update does not start.")
                .arg(identity.key(), holder.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(holder)),
            UpdateFailure::Kind::HubBusy, UpdateResult::HubBusy);
    }
    return std::nullopt;
}

HubSession::StepEnd HubSession::carryLevels() {
    m_modeAtStart = QueryHubMode();
    if (!carryCalibration(m_modeAtStart))
        return UpdateResult::CalibrationUnreadable;
    // Kept before the hub may be erased, every time, under the hub they belong to.
    if (m_calibrationHeld) {
        keepLevels(m_levelsReadAt);
        m_writeBackOwed = true;
    }
    if (stopRequested()) {
        dropLevelsKeptThisRun();
        emit statusText(QStringLiteral("Stopped before the hub was sent to its bootloader."));
        return UpdateResult::Stopped;
    }
    return std::nullopt;
}

HubSession::StepEnd HubSession::enterBootloaderFor(const FirmwareImage& image) {
    emit stageChanged(Stage::EnteringBootloader);
    bool inBootloader = false;
    {
        m_updateInProgress = true;
        const ScopeExit clearInProgress([this] { m_updateInProgress = false; });
        inBootloader = EnterBootloader();
    }
    if (inBootloader && m_entryReached)
        return std::nullopt;
    m_failure.lineCount = image.count();
    return bootloaderError();
}

HubSession::UpdateResult HubSession::lineNotTaken(std::uint8_t command, int result, int line, int lineCount) {
    m_failure = frameFailure(command, result, line, lineCount);
    emit logLine(m_timeoutForEveryFailedLine ? QStringLiteral("Timeout.")
                                             : exchangeFailedWord(m_failure.kind));
    emit linkIndicator(1);
    return UpdateResult::LineNotTaken;
}

HubSession::StepEnd HubSession::programLines(const FirmwareImage& image) {
    emit stageChanged(Stage::Programming);
    emit logLine(QStringLiteral("Programming..."));
    emit statusText(QStringLiteral("Programming..."));
    const int lineCount = image.count();
    emit progressRange(lineCount - 1);
    emit progress(0);
    QCoreApplication::processEvents();

    m_record = HubRequest{};
    for (int i = 0; i < lineCount; ++i) {
        emit progress(i);
        m_linesWritten = i;
        // Between two lines, never inside one: no block is left half-sent.
        if (stopRequested()) {
            emit statusText(QStringLiteral("Stopped with %1 of %2 lines written.").arg(i).arg(lineCount));
            return UpdateResult::Stopped;
        }
        if (const StepEnd end = programLine(m_record, image, i))
            return end;
    }
    m_linesWritten = lineCount;
    emit progress(lineCount - 1);
    // The last line's answer has no next line to be contradicted by.
    if (!m_link.confirmLastAnswer())
        return lineNotTaken(CmdBlockWrite, -1, lineCount, lineCount);
    return std::nullopt;
}

HubSession::StepEnd HubSession::programLine(HubRequest& request, const FirmwareImage& image, int index) {
    const int line = index + 1;
    const int lineCount = image.count();
    const std::optional<FirmwareLine> data = FirmwareImage::readLine(image.line(index));
    if (!data) {
        const UpdateResult unreadable = lineNotTaken(0, -1, line, lineCount);
        m_failure.kind = UpdateFailure::Kind::ImageRefused;
        return unreadable;
    }
    if (!data->isData())
        return std::nullopt;
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(data->data.constData()),
                                              std::size_t(data->data.size()));
    hubrequest::blockData(request, bytes);
    if (const int result = m_link.SendFrame(CmdBlockData, request); result != 0)
        return lineNotTaken(CmdBlockData, result, line, lineCount);
    hubrequest::blockWrite(request, data->address, bytes);
    if (const int result = m_link.SendFrame(CmdBlockWrite, request); result != 0)
        return lineNotTaken(CmdBlockWrite, result, line, lineCount);
    return std::nullopt;
}

HubSession::StepEnd HubSession::restart(const FirmwareImage& image) {
    hubrequest::withoutPayload(m_record);
    const int rebootAnswer = m_link.SendFrame(CmdReboot, m_record);
    m_run.rebooted = true;
    emit stageChanged(Stage::Rebooting);
    emit logLine(QStringLiteral("Reboot..."));
    emit statusText(QStringLiteral("Reboot..."));

    // A refused reboot, or the last line answered once more and otherwise,
    // means a line may be missing. Looked for in the pause before the first
    // poll, which the restart takes anyway.
    QElapsedTimer looked;
    looked.start();
    if (rebootAnswer > 0 || m_link.lastExchangeDisputed() ||
        !m_link.confirmLastAnswerWithin(std::min(timing.replyTimeoutMs, timing.modePollMs)))
        return lineNotTaken(CmdReboot, rebootAnswer > 0 ? rebootAnswer : -1, image.count(), image.count());
    const int lookedMs = int(looked.elapsed());
    if (WaitForHubMode(timing.modeWaitMs - lookedMs, Mode::Application,
                       std::max(0, timing.modePollMs - lookedMs))) {
        emit logAppend(QStringLiteral("OK."));
        return std::nullopt;
    }
    emit logLine(QStringLiteral("Update fail."));
    emit statusText(QStringLiteral("Update fail."));
    m_failure.kind =
        m_lastPoll == 1 ? UpdateFailure::Kind::CameBackInBootloader : UpdateFailure::Kind::NoReturn;
    m_failure.step = UpdateFailure::Step::Restarting;
    m_failure.command = CmdReboot;
    m_failure.lineCount = image.count();
    m_failure.line = image.count();
    return UpdateResult::UpdateFail;
}

HubSession::StepEnd HubSession::giveLevelsBack() {
    if (!m_calibrationHeld)
        return std::nullopt;
    emit stageChanged(Stage::RestoringLevels);
    if (m_levelsFromEarlierAttempt) {
        emit logLine(QStringLiteral("Restoring the LED levels kept from an earlier attempt."));
        // A port is no proof that the same hub is plugged in there: say
        // which levels these are, so that a mix-up can be noticed.
        if (m_heldIdentity.isPort())
            emit logLine(QStringLiteral("They were read from the hub at port %1 on %2.")
                             .arg(m_levelsReadWhere.isEmpty() ? m_heldIdentity.value() : m_levelsReadWhere,
                                  m_levelsReadAt.isValid() ? m_levelsReadAt.toLocalTime().toString(
                                                                 QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                                           : QStringLiteral("an unknown date")));
    }
    if (!restoreLevels()) {
        const QString text = QStringLiteral("Firmware updated, but the LED calibration could not be "
                                            "restored; it is kept for the next update.");
        failWith(text, UpdateFailure::Kind::LevelsNotRestored, UpdateFailure::Step::RestoringLevels,
                 CmdSetLedLevel);
        return UpdateResult::CalibrationNotRestored;
    }
    m_writeBackOwed = false;
    m_levelsFromEarlierAttempt = false;
    m_run.levelsWritten = m_heldLevels;
    if (m_store && m_heldIdentity.isValid())
        m_store->clear(m_heldIdentity.key());
    return std::nullopt;
}

void HubSession::failWith(const QString& text, UpdateFailure::Kind kind, UpdateFailure::Step step,
                          std::uint8_t command) {
    emit logLine(text);
    emit statusText(text);
    emit linkIndicator(1);
    m_failure.kind = kind;
    m_failure.step = step;
    m_failure.command = command;
}

HubSession::UpdateResult HubSession::verify(const FirmwareImage& image) {
    // Coming back in the application proves only that some application runs.
    m_versionAfter = readVersion();
    if (m_versionAfter == image.version()) {
        emit logLine(QStringLiteral("Update completed."));
        emit statusText(m_calibrationCarried
                            ? QStringLiteral("Update completed.")
                            : QStringLiteral("Update completed. The LED calibration could not "
                                             "be carried: the hub has the new firmware's defaults."));
        return UpdateResult::Completed;
    }
    const QString wanted = versionText(image.version());
    const QString text =
        m_versionAfter
            ? QStringLiteral("Update failed: the hub runs firmware %1 after the update, not the image's %2.")
                  .arg(versionText(*m_versionAfter), wanted)
            : QStringLiteral("Update failed: the hub did not tell its firmware version after the "
                             "update (the image's is %1).")
                  .arg(wanted);
    failWith(text, UpdateFailure::Kind::WrongVersion, UpdateFailure::Step::Restarting, CmdGetVersion);
    m_failure.versionWanted = image.version();
    m_failure.versionFound = m_versionAfter;
    return UpdateResult::WrongVersion;
}

bool HubSession::carryCalibration(Mode modeAtStart) {
    bool adjustOpened = false;
    const auto readLevels = [&, this] {
        const bool read = startLedAdjust();
        adjustOpened = adjustOpened || m_lastLevelsResult == 0;
        return read;
    };
    if (modeAtStart == Mode::Application) {
        if (m_levelsFromEarlierAttempt) {
            readLevels(); // opens the adjustment; the kept levels stay held
        } else if (readLevels() || readLevels()) {
            m_keptThisRun = true;
        }
        QCoreApplication::processEvents();
    }
    m_calibrationCarried = m_calibrationHeld;
    if (m_calibrationCarried)
        return true;
    const bool unread = modeAtStart != Mode::Bootloader;
    if (!unread || m_discardCalibration) {
        const QString text =
            !unread ? QStringLiteral("The hub is in its bootloader and no LED levels are kept for it: its "
                                     "calibration cannot be carried; it keeps the new firmware's defaults.")
                    : QStringLiteral("The hub's LED levels could not be read: its calibration is discarded, "
                                     "as asked; it keeps the new firmware's defaults.");
        emit logLine(text);
        emit statusText(text);
        return true;
    }

    m_failure.kind = UpdateFailure::Kind::CalibrationUnreadable;
    m_failure.step = UpdateFailure::Step::Preparing;
    const bool modeUnknown = modeAtStart == Mode::None;
    m_failure.command = modeUnknown ? CmdGetMode : CmdStartLedAdjust;
    m_failure.result = modeUnknown ? m_lastModeResult : m_lastLevelsResult;
    const QString what =
        m_failure.result < 0 ? QStringLiteral("no answer")
        : m_failure.result > 0
            ? QStringLiteral("refused, result 0x%1")
                  .arg(QString::number(m_failure.result, 16).toUpper().rightJustified(2, u'0'))
            : QStringLiteral("an answer without them");
    const QString text =
        modeUnknown
            ? QStringLiteral("The hub's mode could not be read (%1), so neither can its LED calibration: "
                             "it is not sent to its bootloader and keeps its firmware.")
                  .arg(what)
            : QStringLiteral("The hub's LED levels could not be read, twice (%1): it is not sent to its "
                             "bootloader and keeps its firmware and calibration.")
                  .arg(what);
    emit logLine(text);
    emit statusText(text);
    // Left as a working hub expects it: an adjustment it opened is closed.
    if (adjustOpened)
        endLedAdjust();
    return false;
}

HubSession::UpdateResult HubSession::bootloaderError() {
    // Found in its bootloader without a sign that this entry got there, or never written.
    const bool notReached = !m_entryWritten || m_lastPoll == int(Mode::Bootloader);
    if (notReached)
        emit logLine(m_entryWritten ? QStringLiteral("The hub neither answered the bootloader entry nor "
                                                     "restarted: nothing is programmed after it.")
                                    : QStringLiteral("The bootloader entry could not be written to the "
                                                     "hub: nothing is programmed after it."));
    emit logLine(QStringLiteral("Enter bootloader error."));
    emit statusText(QStringLiteral("Enter bootloader error."));
    m_failure.step = UpdateFailure::Step::EnteringBootloader;
    m_failure.command = CmdEnterBootloader;
    if (notReached) {
        m_failure.kind = UpdateFailure::Kind::EntryNotReached;
    } else if (m_lastPoll == -2) {
        // Gone for good, silent, or still answering from another mode.
        m_failure.kind = UpdateFailure::Kind::NoReturn;
    } else if (m_lastPoll == -1) {
        m_failure.kind = UpdateFailure::Kind::NoAnswer;
        m_failure.command = CmdGetMode;
    } else {
        m_failure.kind = UpdateFailure::Kind::Refused;
    }
    // Nothing erased: not written, or the hub still runs its application.
    if (!m_entryWritten || m_lastPoll == int(Mode::Application))
        dropLevelsKeptThisRun();
    return UpdateResult::BootloaderError;
}

bool HubSession::restoreLevels() {
    // The new firmware starts with its own levels: write the held ones back.
    // A level without an answer may not have reached the hub, and one it
    // refused did not; every channel is still tried, and the adjustment closed,
    // so that one bad channel does not leave the others at their defaults.
    bool allTaken = true;
    for (int channel = 1; channel <= LedChannels; ++channel) {
        allTaken = setLedLevel(channel, m_heldLevels[std::size_t(channel - 1)]) == 0 && allTaken;
        pauseInEventLoop(timing.ledWritePauseMs);
    }
    return endLedAdjust() == 0 && allTaken;
}
