#include "UpdateOutcome.h"

#include "AppVersion.h"
#include "HubDevice.h"
#include "HubProtocol.h"

#include <algorithm>

QString seenModeName(SeenMode mode) {
    switch (mode) {
    case SeenMode::Application:
        return QStringLiteral("application");
    case SeenMode::Bootloader:
        return QStringLiteral("bootloader");
    case SeenMode::NotAnswering:
        return QStringLiteral("not answering");
    case SeenMode::Unknown:
        break;
    }
    return QStringLiteral("unknown");
}

SeenMode seenModeNamed(const QString& name) {
    for (const SeenMode mode : {SeenMode::Application, SeenMode::Bootloader, SeenMode::NotAnswering})
        if (seenModeName(mode) == name)
            return mode;
    return SeenMode::Unknown;
}

SeenMode seenMode(hubreply::Mode mode) {
    switch (mode) {
    case hubreply::Mode::Bootloader:
        return SeenMode::Bootloader;
    case hubreply::Mode::Application:
        return SeenMode::Application;
    case hubreply::Mode::None:
        break;
    }
    return SeenMode::NotAnswering;
}

namespace {

using K = UpdateFailure::Kind;
using S = UpdateFailure::Step;

QString hex(int value) {
    return QStringLiteral("0x") + QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

QString frameName(std::uint8_t command) {
    const auto named = [command](const char* name) {
        return QStringLiteral("%1 (%2)").arg(QLatin1String(name), hex(command));
    };
    switch (command) {
    case CmdGetVersion:
        return named("its version query");
    case CmdGetMode:
        return named("its mode query");
    case CmdEnterBootloader:
        return named("the bootloader entry");
    case CmdBlockData:
        return named("the block data");
    case CmdBlockWrite:
        return named("the block write");
    case CmdReboot:
        return named("its restart");
    case CmdSetLedLevel:
        return named("an LED level");
    case CmdStartLedAdjust:
        return named("the LED level read");
    default:
        return named("command");
    }
}

// The pieces most outcomes share.
struct Common {
    explicit Common(const UpdateFailure& f)
        : lineOf(QStringLiteral("line %1 of %2").arg(f.line).arg(f.lineCount)),
          written(std::max(0, f.line - 1)),
          incomplete(QStringLiteral("The hub waits in its bootloader with %1 of %2 lines written, its "
                                    "firmware incomplete.")
                         .arg(written)
                         .arg(f.lineCount)) {}
    QString lineOf;
    int written;
    QString incomplete;
};

QString runAgain() {
    return QStringLiteral("Run the update again.");
}
QString replugAndCheck() {
    return QStringLiteral("Unplug it, plug it in again and check it.");
}
QString replugAndUpdate() {
    return QStringLiteral("Unplug it, plug it in again and run the update again.");
}

void beforeAnyFrame(const UpdateFailure& f, UpdateOutcome& w) {
    switch (f.kind) {
    case K::NoHub:
        w.text = QStringLiteral("The hub was unplugged before the update began.");
        w.whereLeft = QStringLiteral("Nothing was sent.");
        w.nextStep = QStringLiteral("Plug it in and run the update again.");
        w.modeLeft = SeenMode::Unknown;
        return;
    case K::HubBusy:
        w.text = QStringLiteral("Another program is updating this hub.");
        w.whereLeft = QStringLiteral("Nothing was sent; the other program has it.");
        w.nextStep = QStringLiteral("Let the other program finish, then check the hub.");
        return;
    case K::LockFailed:
        w.text = QStringLiteral("The hub's lock could not be made.");
        w.whereLeft = QStringLiteral("Nothing was sent; the hub runs its old firmware.");
        w.nextStep = QStringLiteral("Make the lock folder usable (see the log), or update with --no-lock "
                                    "while no other program uses the hub.");
        return;
    case K::NotDowngraded:
        w.text = QStringLiteral("The hub runs firmware %1, newer than the image's %2.")
                     .arg(f.versionFound ? versionText(*f.versionFound) : QStringLiteral("unknown"),
                          f.versionWanted ? versionText(*f.versionWanted) : QStringLiteral("unknown"));
        w.whereLeft = QStringLiteral("Nothing was sent; it keeps its firmware.");
        w.nextStep = QStringLiteral("Give --force to downgrade it.");
        return;
    case K::NoAccess:
        w.text = QStringLiteral("This user may not open the hub.");
        w.whereLeft = QStringLiteral("Nothing was sent.");
        w.nextStep = QStringLiteral("Install the udev rule %1, then unplug the hub and plug it in again.")
                         .arg(hubdevice::udevRulePath());
        w.modeLeft = SeenMode::Unknown;
        return;
    default:
        return;
    }
}

void imageRefused(const UpdateFailure& f, UpdateOutcome& w) {
    const Common c(f);
    w.text = f.line > 0 ? QStringLiteral("The firmware image is refused at %1.").arg(c.lineOf)
                        : QStringLiteral("The firmware image is refused.");
    w.whereLeft =
        f.line > 0 ? c.incomplete : QStringLiteral("Nothing was sent; the hub runs its old firmware.");
    w.nextStep = QStringLiteral("Use an intact image file, then run the update again.");
    if (f.line > 0)
        w.modeLeft = SeenMode::Bootloader;
}

void noAnswer(const UpdateFailure& f, UpdateOutcome& w) {
    const Common c(f);
    w.modeLeft = SeenMode::NotAnswering;
    if (f.step == S::Programming) {
        w.text = QStringLiteral("The hub did not answer %1 of %2.").arg(frameName(f.command), c.lineOf);
        w.whereLeft = c.incomplete;
        w.nextStep = QStringLiteral(
            "Run the update again; if it still does not answer, unplug it and plug it in again first.");
        return;
    }
    w.text = QStringLiteral("The hub did not answer %1.").arg(frameName(f.command));
    w.whereLeft = f.step == S::EnteringBootloader
                      ? QStringLiteral("Nothing was written, but it was sent to its bootloader; its mode "
                                       "is unknown.")
                      : QStringLiteral("Nothing was written; its mode is unknown.");
    w.nextStep = replugAndCheck();
}

void refused(const UpdateFailure& f, UpdateOutcome& w) {
    const Common c(f);
    if (f.step == S::Programming) {
        w.text = QStringLiteral("The hub refused %1 of %2 (result %3).")
                     .arg(frameName(f.command), c.lineOf, hex(f.result));
        w.whereLeft = c.incomplete;
        w.nextStep = runAgain();
        w.modeLeft = SeenMode::Bootloader;
        return;
    }
    if (f.step == S::Asking) {
        w.text = QStringLiteral("The hub refused %1 (result %2).").arg(frameName(f.command), hex(f.result));
        w.whereLeft = QStringLiteral("Nothing that changes the hub was sent.");
        w.nextStep = replugAndCheck();
        return;
    }
    w.text = QStringLiteral("The hub refused %1: it answered, but not from its bootloader.")
                 .arg(frameName(f.command));
    w.whereLeft = QStringLiteral("Nothing was written; it runs its old firmware.");
    w.nextStep = replugAndUpdate();
}

void unplugged(const UpdateFailure& f, UpdateOutcome& w) {
    const Common c(f);
    w.modeLeft = SeenMode::Unknown;
    if (f.step == S::Programming) {
        w.text = QStringLiteral("The hub was unplugged at %1.").arg(c.lineOf);
        w.whereLeft = QStringLiteral("Its firmware is incomplete (%1 of %2 lines written); plugged in "
                                     "again, it starts in its bootloader.")
                          .arg(c.written)
                          .arg(f.lineCount);
        w.nextStep = QStringLiteral("Plug it in again and run the update again.");
        return;
    }
    if (f.step >= S::Restarting) {
        w.text = QStringLiteral("The hub was unplugged after every line was written.");
        w.whereLeft = QStringLiteral("Every line was written; its state is unknown.");
        w.nextStep = QStringLiteral("Plug it in again and check it.");
        return;
    }
    if (f.step == S::EnteringBootloader) {
        w.text = QStringLiteral("The hub was unplugged while it was sent to its bootloader.");
        w.whereLeft =
            QStringLiteral("Nothing was written; plugged in again, it may start in its bootloader.");
        w.nextStep = QStringLiteral("Plug it in again and run the update again.");
        return;
    }
    w.text = f.step == S::Asking ? QStringLiteral("The hub was unplugged before it could be asked.")
                                 : QStringLiteral("The hub was unplugged before the update began.");
    w.whereLeft = QStringLiteral("Nothing was sent.");
    w.nextStep = f.step == S::Asking ? QStringLiteral("Plug it in and check it.")
                                     : QStringLiteral("Plug it in and run the update again.");
}

void afterTheLines(const UpdateFailure& f, UpdateOutcome& w) {
    const QString wanted = f.versionWanted ? versionText(*f.versionWanted) : QStringLiteral("unknown");
    switch (f.kind) {
    case K::NoReturn:
        w.modeLeft = SeenMode::Unknown;
        w.text = QStringLiteral("The hub did not come back after %1.").arg(frameName(f.command));
        if (f.step == S::EnteringBootloader) {
            w.whereLeft =
                QStringLiteral("Nothing was written; it may wait in its bootloader, or have been unplugged.");
            w.nextStep = replugAndUpdate();
            return;
        }
        w.whereLeft = QStringLiteral("Every line was written; its state is unknown.");
        w.nextStep = replugAndCheck();
        return;
    case K::CameBackInBootloader:
        w.text = QStringLiteral("The hub came back in its bootloader after %1, not in its application.")
                     .arg(frameName(f.command));
        w.whereLeft = QStringLiteral("Every line was written, but the hub waits in its bootloader.");
        w.nextStep = QStringLiteral(
            "Run the update again; if it stays in its bootloader, the image may not suit this hub.");
        w.modeLeft = SeenMode::Bootloader;
        return;
    case K::WrongVersion:
        w.text = f.versionFound
                     ? QStringLiteral("The hub came back running firmware %1, not the image's %2.")
                           .arg(versionText(*f.versionFound), wanted)
                     : QStringLiteral("The hub came back, but did not tell its firmware version (the "
                                      "image's is %1).")
                           .arg(wanted);
        w.whereLeft = QStringLiteral("It runs its application, but not the image's firmware.");
        w.nextStep = QStringLiteral("Unplug it, plug it in again and check it, then run the update again.");
        w.modeLeft = SeenMode::Application;
        return;
    case K::LevelsNotRestored:
        w.text = QStringLiteral("The new firmware runs, but the hub's LED levels could not be written back.");
        w.whereLeft = QStringLiteral("It runs the new firmware with its default LED levels; the old ones are "
                                     "kept for the next update.");
        w.nextStep = QStringLiteral("Run the update again with --force to restore them.");
        w.modeLeft = SeenMode::Application;
        return;
    default:
        return;
    }
}

void calibrationUnreadable(const UpdateFailure& f, UpdateOutcome& w) {
    const QString how =
        f.result < 0   ? QStringLiteral("did not answer %1").arg(frameName(f.command))
        : f.result > 0 ? QStringLiteral("refused %1 (result %2)").arg(frameName(f.command), hex(f.result))
                       : QStringLiteral("answered %1 without the levels").arg(frameName(f.command));
    w.text = QStringLiteral("The hub's LED calibration could not be read: it %1.").arg(how);
    w.whereLeft = QStringLiteral("Nothing that changes the hub was sent: it was not sent to its "
                                 "bootloader and keeps its firmware and calibration.");
    w.nextStep = QStringLiteral("Unplug it, plug it in again and run the update again; to update it "
                                "without its LED calibration, give --discard-calibration.");
}

void stopped(const UpdateFailure& f, UpdateOutcome& w) {
    const Common c(f);
    const QString by =
        f.stoppedBy.isEmpty() ? QStringLiteral("Stopped") : QStringLiteral("Stopped by %1").arg(f.stoppedBy);
    w.nextStep = runAgain();
    switch (f.step) {
    case S::Asking:
    case S::Preparing:
        w.text = QStringLiteral("%1 before the update began.").arg(by);
        w.whereLeft = QStringLiteral("Nothing was sent; the hub runs its old firmware.");
        return;
    case S::EnteringBootloader:
        w.text = QStringLiteral("%1 before programming.").arg(by);
        w.whereLeft = QStringLiteral("Nothing was written, but the hub waits in its bootloader.");
        w.modeLeft = SeenMode::Bootloader;
        return;
    case S::Programming:
        w.text = QStringLiteral("%1 with %2 of %3 lines written.").arg(by).arg(c.written).arg(f.lineCount);
        w.whereLeft = c.written > 0
                          ? QStringLiteral("The hub waits in its bootloader with its firmware incomplete.")
                          : QStringLiteral("Nothing was written, but the hub waits in its bootloader.");
        w.modeLeft = SeenMode::Bootloader;
        return;
    case S::Restarting:
        w.text = QStringLiteral("%1 while the hub restarted after every line was written.").arg(by);
        w.whereLeft = QStringLiteral("Every line was written; its state is unknown.");
        w.nextStep = replugAndCheck();
        w.modeLeft = SeenMode::Unknown;
        return;
    case S::RestoringLevels:
        w.text = QStringLiteral("%1 while the hub's LED levels were written back.").arg(by);
        w.whereLeft = QStringLiteral("It runs the new firmware; its LED levels may not all be back.");
        w.nextStep = QStringLiteral("Run the update again with --force to restore them.");
        w.modeLeft = SeenMode::Application;
        return;
    }
}

} // namespace

UpdateOutcome describeFailure(const UpdateFailure& f, SeenMode before) {
    UpdateOutcome w;
    w.kind = failureKindName(f.kind);
    w.modeLeft = before;
    switch (f.kind) {
    case K::None:
        break;
    case K::NoHub:
    case K::HubBusy:
    case K::LockFailed:
    case K::NotDowngraded:
    case K::NoAccess:
        beforeAnyFrame(f, w);
        break;
    case K::ImageRefused:
        imageRefused(f, w);
        break;
    case K::NoAnswer:
        noAnswer(f, w);
        break;
    case K::Refused:
        refused(f, w);
        break;
    case K::Disputed:
        w.text = QStringLiteral("The hub answered %1 of %2 twice, each time differently.")
                     .arg(frameName(f.command), Common(f).lineOf);
        w.whereLeft = Common(f).incomplete;
        w.nextStep = runAgain();
        w.modeLeft = SeenMode::Bootloader;
        break;
    case K::Unplugged:
        unplugged(f, w);
        break;
    case K::NoReturn:
    case K::CameBackInBootloader:
    case K::WrongVersion:
    case K::LevelsNotRestored:
        afterTheLines(f, w);
        break;
    case K::CalibrationUnreadable:
        calibrationUnreadable(f, w);
        break;
    case K::EntryNotReached:
        w.text = QStringLiteral("The bootloader entry (%1) did not reach the hub: it could not be written, "
                                "or the hub neither answered it nor restarted.")
                     .arg(hex(CmdEnterBootloader));
        w.whereLeft = QStringLiteral("Nothing was programmed; it may wait in its bootloader from an earlier "
                                     "attempt.");
        w.nextStep = replugAndUpdate();
        w.modeLeft = SeenMode::Unknown;
        break;
    case K::Stopped:
        stopped(f, w);
        break;
    }
    return w;
}

QString exchangeFailedWord(UpdateFailure::Kind kind) {
    switch (kind) {
    case K::Refused:
        return QStringLiteral("Refused.");
    case K::Disputed:
        return QStringLiteral("Answered twice, differently.");
    case K::Unplugged:
        return QStringLiteral("Unplugged.");
    case K::ImageRefused:
        return QStringLiteral("Image line refused.");
    default:
        return QStringLiteral("Timeout.");
    }
}

CheckVerdict checkVerdict(SeenMode mode, const std::optional<std::uint32_t>& version,
                          std::uint32_t imageVersion) {
    using V = CheckVerdict::Kind;
    if (mode == SeenMode::Bootloader)
        return {V::InBootloader, QStringLiteral("InBootloader"),
                QStringLiteral("in its bootloader: needs the update")};
    if (mode != SeenMode::Application || !version)
        return {V::NotChecked, QStringLiteral("NotChecked"), QStringLiteral("could not be checked")};
    if (*version < imageVersion)
        return {V::UpdateAvailable, QStringLiteral("UpdateAvailable"),
                QStringLiteral("update available (%1)").arg(versionText(imageVersion))};
    if (*version > imageVersion)
        return {V::NewerThanImage, QStringLiteral("NewerThanImage"),
                QStringLiteral("newer than the image (%1)").arg(versionText(imageVersion))};
    return {V::UpToDate, QStringLiteral("UpToDate"), QStringLiteral("up to date")};
}
