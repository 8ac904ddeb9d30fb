#include "UpdateFailure.h"

QString failureKindName(UpdateFailure::Kind kind) {
    using K = UpdateFailure::Kind;
    switch (kind) {
    case K::None:
        return QString();
    case K::ImageRefused:
        return QStringLiteral("image-refused");
    case K::NoHub:
    case K::Unplugged:
        return QStringLiteral("unplugged");
    case K::HubBusy:
        return QStringLiteral("hub-busy");
    case K::LockFailed:
        return QStringLiteral("lock-failed");
    case K::NoAnswer:
        return QStringLiteral("no-answer");
    case K::Refused:
        return QStringLiteral("refused");
    case K::Disputed:
        return QStringLiteral("answer-disputed");
    case K::NoReturn:
        return QStringLiteral("no-return");
    case K::CameBackInBootloader:
        return QStringLiteral("stayed-in-bootloader");
    case K::WrongVersion:
        return QStringLiteral("wrong-version");
    case K::LevelsNotRestored:
        return QStringLiteral("levels-not-restored");
    case K::CalibrationUnreadable:
        return QStringLiteral("calibration-unreadable");
    case K::EntryNotReached:
        return QStringLiteral("entry-not-reached");
    case K::NotDowngraded:
        return QStringLiteral("not-downgraded");
    case K::NoAccess:
        return QStringLiteral("no-access");
    case K::Stopped:
        return QStringLiteral("stopped");
    }
    return QStringLiteral("unknown");
}

std::optional<UpdateFailure::Kind> failureKindFromName(const QString& name) {
    // Past the last kind every value is "unknown"; the bound leaves room for
    // new kinds. From the top, so "unplugged" is Unplugged rather than NoHub.
    for (int k = 63; k > 0; --k) {
        const auto kind = UpdateFailure::Kind(k);
        if (failureKindName(kind) == name)
            return kind;
    }
    return std::nullopt;
}
