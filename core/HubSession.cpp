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

HubSession::Mode HubSession::QueryHubMode() {
    try {
        HubRequest request;
        request.setPayloadLength(0);
        const int result = m_link.SendFrame(CmdGetMode, request);
        m_lastQueryAnswered = result >= 0;
        return hubreply::mode(result, m_link.reply());
    } catch (...) {
        m_lastQueryAnswered = false;
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
    HubRequest request;
    request.setPayloadLength(0);
    // The hub may restart before it answers, so the answer says nothing.
    m_link.SendFrame(CmdEnterBootloader, request);
    return WaitForHubMode(timing.modeWaitMs, Mode::Bootloader);
}

std::optional<std::uint32_t> HubSession::readVersion() {
    HubRequest request;
    request.assign({0x00});
    if (m_link.SendFrame(CmdGetVersion, request) != 0)
        return std::nullopt;
    const std::optional<std::uint32_t> version = hubreply::version(m_link.reply());
    if (!version)
        return std::nullopt;
    m_lastVersion = version;
    m_lastVersionHub = identityOf(device());
    if (m_updateRunning && m_run.rebooted)
        m_run.versionAfter = version;
    return version;
}

std::optional<HubSession::RunData> HubSession::readRunData() {
    if (!device())
        return std::nullopt;
    HubRequest request;
    if (m_link.SendFrame(CmdReadRunData, request) != 0)
        return std::nullopt;
    return hubreply::runData(m_link.reply());
}

bool HubSession::startLedAdjust() {
    if (!device())
        return false;
    HubRequest request;
    if (m_link.SendFrame(CmdStartLedAdjust, request) != 0)
        return false;
    // A copy: whoever shows the levels may send frames, which reuse the reply buffer.
    const std::optional<LedLevels> read = hubreply::ledLevels(m_link.reply());
    if (!read)
        return false;
    const LedLevels levels = *read;
    emit ledLevelsRead(levels);
    if (m_updateRunning)
        m_run.levelsRead = levels;
    // A level above the range goes back as its top, as a slider showing it would.
    for (std::size_t i = 0; i < levels.size(); ++i)
        m_heldLevels[i] = std::min<std::uint8_t>(levels[i], MaxLedLevel);
    m_calibrationHeld = true;
    m_levelsReadAt = QDateTime::currentDateTimeUtc();
    const HubIdentity from = identityOf(device());
    m_levelsReadWhere = from.isPort() ? from.value() : QString();
    return true;
}

int HubSession::setLedLevel(int channel, int level) {
    if (!device())
        return -1;
    if (m_calibrationHeld && channel >= 1 && channel <= LedChannels) {
        const auto held = static_cast<std::uint8_t>(std::clamp(level, 0, MaxLedLevel));
        std::uint8_t& slot = m_heldLevels[std::size_t(channel - 1)];
        const bool changed = slot != held;
        slot = held;
        // Levels kept after a failed run follow the user's hand as well.
        if (changed && m_writeBackOwed && !m_updateRunning && m_store)
            keepLevels();
    }
    HubRequest request;
    request.assign({static_cast<std::uint8_t>(channel), static_cast<std::uint8_t>(level)});
    return m_link.SendFrame(CmdSetLedLevel, request);
}

int HubSession::endLedAdjust() {
    if (!device())
        return -1;
    HubRequest request;
    return m_link.SendFrame(CmdEndLedAdjust, request);
}

void HubSession::takeKeptLevels(const HubIdentity& identity) {
    // Levels of another hub are not this one's calibration: they stay kept
    // for their own hub, in the store.
    if (m_writeBackOwed && m_heldIdentity != identity)
        m_writeBackOwed = false;
    if (!m_writeBackOwed) {
        // Otherwise a run holds only what it reads itself.
        m_calibrationHeld = false;
        const std::optional<LedCalibrationStore::Entry> kept =
            m_store && identity.isValid() ? m_store->entry(identity.key()) : std::nullopt;
        if (kept) {
            for (std::size_t i = 0; i < kept->levels.size(); ++i)
                m_heldLevels[i] = std::min<std::uint8_t>(kept->levels[i], MaxLedLevel);
            m_calibrationHeld = true;
            m_writeBackOwed = true;
            m_levelsReadAt = kept->readAt;
            m_levelsReadWhere = kept->where;
        }
    }
    m_heldIdentity = identity;
    m_levelsFromEarlierAttempt = m_writeBackOwed;
}

void HubSession::keepLevels(const QDateTime& readAt) {
    // A store without a file keeps nothing on purpose (virtual hubs).
    if (!m_store || m_store->filePath().isEmpty() || !m_heldIdentity.isValid())
        return;
    if (m_store->save(m_heldIdentity.key(), m_heldLevels, m_levelsReadWhere, readAt))
        return;
    // The levels live on only in this program now: the user must see them.
    QStringList levels;
    for (const std::uint8_t level : m_heldLevels)
        levels << QString::number(level);
    const QString text =
        QStringLiteral("The LED levels of hub %1 could not be kept (%2); note them down: %3.")
            .arg(m_heldIdentity.key(), m_store->lastError(), levels.join(QLatin1Char(' ')));
    emit logLine(text);
    emit statusText(text);
}

void HubSession::appendHistory(UpdateResult result, const QString& lastText) {
    if (!m_history || !m_run.hub.isValid())
        return;
    UpdateRecord record;
    record.time = m_run.started;
    record.hub = m_run.hub.key();
    record.program = QCoreApplication::applicationName();
    record.versionBefore = m_run.versionBefore;
    record.versionAfter = m_run.versionAfter;
    const char* name = QMetaEnum::fromType<UpdateResult>().valueToKey(int(result));
    record.result = name ? QString::fromLatin1(name) : QString::number(int(result));
    record.resultText = lastText;
    record.levelsRead = m_run.levelsRead;
    record.levelsWritten = m_run.levelsWritten;
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
    appendHistory(result, lastText);
    emit updateFinished(result);
    return result;
}

HubSession::UpdateResult HubSession::programImage(const FirmwareImage& image) {
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

    // Levels of an earlier attempt whose write-back did not succeed (this run
    // of the program or an earlier one) are the user's calibration; they win
    // over what the hub reports now, which after a failed write-back are the
    // new firmware's defaults.
    const HubIdentity identity = identityOf(device());
    if (!m_lockFolder.isEmpty() && identity.isValid()) {
        m_updateLock = std::make_unique<HubUpdateLock>(m_lockFolder, identity);
        if (!m_updateLock->tryLock() && !m_updateLock->heldByAnother()) {
            // No folder for the lock (a user without a home, a read-only
            // one): the update goes on, but the user is told it is unguarded.
            emit logLine(QStringLiteral("The update lock of hub %1 could not be made (%2); another program "
                                        "is not kept from updating this hub at the same time.")
                             .arg(identity.key(), m_updateLock->path()));
            m_updateLock.reset();
        } else if (!m_updateLock->isLocked()) {
            const QString holder = m_updateLock->holder();
            m_updateLock.reset();
            const QString text =
                QStringLiteral("Another program is updating hub %1%2; this update does not start.")
                    .arg(identity.key(), holder.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(holder));
            emit logLine(text);
            emit statusText(text);
            m_failure.kind = UpdateFailure::Kind::HubBusy;
            m_failure.step = UpdateFailure::Step::Preparing;
            return UpdateResult::HubBusy;
        }
    }
    m_run.hub = identity;
    if (m_lastVersionHub == identity)
        m_run.versionBefore = m_lastVersion;
    takeKeptLevels(identity);
    emit stageChanged(Stage::Started);

    const Mode modeAtStart = QueryHubMode();
    if (modeAtStart == Mode::Application) {
        if (m_levelsFromEarlierAttempt) {
            const LedLevels kept = m_heldLevels;
            const QDateTime keptAt = m_levelsReadAt;
            const QString keptWhere = m_levelsReadWhere;
            startLedAdjust();
            m_heldLevels = kept;
            m_levelsReadAt = keptAt;
            m_levelsReadWhere = keptWhere;
            m_calibrationHeld = true;
        } else if (startLedAdjust()) {
            m_writeBackOwed = true;
            keepLevels(m_levelsReadAt);
        }
        QCoreApplication::processEvents();
    }
    m_calibrationCarried = m_calibrationHeld;
    // A hub that does not answer ends at its bootloader entry: nothing to say yet.
    if (!m_calibrationCarried && modeAtStart != Mode::None) {
        const QString text =
            modeAtStart == Mode::Bootloader
                ? QStringLiteral("The hub is in its bootloader and no LED levels are kept for it: its "
                                 "calibration cannot be carried; it keeps the new firmware's defaults.")
                : QStringLiteral("The hub's LED levels could not be read: its calibration cannot be "
                                 "carried; it keeps the new firmware's defaults.");
        emit logLine(text);
        emit statusText(text);
    }

    emit stageChanged(Stage::EnteringBootloader);
    bool inBootloader = false;
    {
        m_updateInProgress = true;
        const ScopeExit clearInProgress([this] { m_updateInProgress = false; });
        inBootloader = EnterBootloader();
    }
    if (!inBootloader) {
        emit logLine(QStringLiteral("Enter bootloader error."));
        emit statusText(QStringLiteral("Enter bootloader error."));
        // Gone for good, silent, or still answering from another mode.
        m_failure.step = UpdateFailure::Step::EnteringBootloader;
        m_failure.lineCount = image.count();
        if (m_lastPoll == -2) {
            m_failure.kind = UpdateFailure::Kind::NoReturn;
            m_failure.command = CmdEnterBootloader;
        } else if (m_lastPoll == -1) {
            m_failure.kind = UpdateFailure::Kind::NoAnswer;
            m_failure.command = CmdGetMode;
        } else {
            m_failure.kind = UpdateFailure::Kind::Refused;
            m_failure.command = CmdEnterBootloader;
        }
        return UpdateResult::BootloaderError;
    }

    emit stageChanged(Stage::Programming);
    emit logLine(QStringLiteral("Programming..."));
    emit statusText(QStringLiteral("Programming..."));

    const int lastLine = image.count() - 1;
    emit progressRange(lastLine);
    emit progress(0);
    QCoreApplication::processEvents();

    // One record for every frame: the block write re-sends the data bytes the
    // block data of the same line left in it.
    HubRequest request;
    int sent = 0; // the command of the frame that failed
    int line = 0;
    const auto lineFailed = [&, this](int result) {
        m_failure = frameFailure(std::uint8_t(sent), result, line, lastLine + 1);
        emit logLine(QStringLiteral("Timeout."));
        emit linkIndicator(1);
        return UpdateResult::Timeout;
    };
    for (int i = 0; i <= lastLine; ++i) {
        emit progress(i);
        m_linesWritten = i;
        // Between two lines, never inside one: no block is left half-sent.
        if (stopRequested()) {
            emit statusText(QStringLiteral("Stopped with %1 of %2 lines written.").arg(i).arg(lastLine + 1));
            return UpdateResult::Stopped;
        }
        line = i + 1;
        const std::optional<FirmwareLine> data = FirmwareImage::readLine(image.line(i));
        if (!data) {
            const UpdateResult unreadable = lineFailed(-1);
            m_failure.kind = UpdateFailure::Kind::ImageRefused;
            return unreadable;
        }
        if (!data->isData())
            continue;

        const int n = data->byteCount;
        for (std::size_t k = 0; k < 4; ++k)
            request.setPayload(k, 0);
        request.setPayloadLength(n + 1);
        for (qsizetype k = 0; k < data->data.size(); ++k)
            request.setPayload(4 + static_cast<std::size_t>(k), static_cast<std::uint8_t>(data->data.at(k)));
        sent = CmdBlockData;
        if (const int result = m_link.SendFrame(CmdBlockData, request); result != 0)
            return lineFailed(result);

        request.setPayload(0, static_cast<std::uint8_t>(data->address & 0xFF));
        request.setPayload(1, static_cast<std::uint8_t>(data->address >> 8));
        request.setPayload(2, 0);
        request.setPayload(3, 0);
        request.setPayloadLength(n + 1);
        sent = CmdBlockWrite;
        if (const int result = m_link.SendFrame(CmdBlockWrite, request); result != 0)
            return lineFailed(result);
    }
    m_linesWritten = lastLine + 1;
    emit progress(lastLine);
    // The last line's answer has no next line to be contradicted by.
    if (!m_link.confirmLastAnswer())
        return lineFailed(-1);

    request.setPayloadLength(0);
    const int rebootAnswer = m_link.SendFrame(CmdReboot, request);
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
        !m_link.confirmLastAnswerWithin(std::min(timing.replyTimeoutMs, timing.modePollMs))) {
        sent = CmdReboot;
        return lineFailed(rebootAnswer > 0 ? rebootAnswer : -1);
    }
    const int lookedMs = int(looked.elapsed());
    if (!WaitForHubMode(timing.modeWaitMs - lookedMs, Mode::Application,
                        std::max(0, timing.modePollMs - lookedMs))) {
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
    emit logAppend(QStringLiteral("OK."));
    if (m_calibrationHeld) {
        emit stageChanged(Stage::RestoringLevels);
        if (m_levelsFromEarlierAttempt) {
            emit logLine(QStringLiteral("Restoring the LED levels kept from an earlier attempt."));
            // A port is no proof that the same hub is plugged in there: say
            // which levels these are, so that a mix-up can be noticed.
            if (m_heldIdentity.isPort())
                emit logLine(
                    QStringLiteral("They were read from the hub at port %1 on %2.")
                        .arg(m_levelsReadWhere.isEmpty() ? m_heldIdentity.value() : m_levelsReadWhere,
                             m_levelsReadAt.isValid() ? m_levelsReadAt.toLocalTime().toString(
                                                            QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                                      : QStringLiteral("an unknown date")));
        }
        if (!restoreLevels()) {
            const QString text = QStringLiteral("Firmware updated, but the LED calibration could not be "
                                                "restored; it is kept for the next update.");
            emit logLine(text);
            emit statusText(text);
            emit linkIndicator(1);
            m_failure.kind = UpdateFailure::Kind::LevelsNotRestored;
            m_failure.step = UpdateFailure::Step::RestoringLevels;
            m_failure.command = CmdSetLedLevel;
            return UpdateResult::CalibrationNotRestored;
        }
        m_writeBackOwed = false;
        m_levelsFromEarlierAttempt = false;
        m_run.levelsWritten = m_heldLevels;
        if (m_store && m_heldIdentity.isValid())
            m_store->clear(m_heldIdentity.key());
    }
    // Coming back in the application proves only that some application runs.
    m_versionAfter = readVersion();
    if (m_versionAfter != image.version()) {
        const QString wanted = FormatVersion(versionHexText(image.version()));
        const QString text =
            m_versionAfter
                ? QStringLiteral(
                      "Update failed: the hub runs firmware %1 after the update, not the image's %2.")
                      .arg(FormatVersion(versionHexText(*m_versionAfter)), wanted)
                : QStringLiteral("Update failed: the hub did not tell its firmware version after the "
                                 "update (the image's is %1).")
                      .arg(wanted);
        emit logLine(text);
        emit statusText(text);
        emit linkIndicator(1);
        m_failure.kind = UpdateFailure::Kind::WrongVersion;
        m_failure.step = UpdateFailure::Step::Restarting;
        m_failure.command = CmdGetVersion;
        m_failure.versionWanted = image.version();
        m_failure.versionFound = m_versionAfter;
        return UpdateResult::WrongVersion;
    }
    emit logLine(QStringLiteral("Update completed."));
    emit statusText(m_calibrationCarried
                        ? QStringLiteral("Update completed.")
                        : QStringLiteral("Update completed. The LED calibration could not "
                                         "be carried: the hub has the new firmware's defaults."));
    return UpdateResult::Completed;
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
