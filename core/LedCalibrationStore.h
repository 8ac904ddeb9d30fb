#pragma once

// The LED levels of an update whose write-back has not succeeded yet, kept in
// a small INI file so that a retry, also in a later run of the program, can
// give the hub its calibration back. One entry per hub serial number; a hub
// without one shares a single entry (the help text asks for one hub at a time).

#include <QString>

#include <array>
#include <cstdint>
#include <optional>

class LedCalibrationStore {
public:
    using Levels = std::array<std::uint8_t, 8>;

    // An empty path keeps nothing.
    explicit LedCalibrationStore(QString filePath = defaultPath());

    // The user's state folder: Qt 6.4 has no StateLocation, so $XDG_STATE_HOME
    // (else ~/.local/state) on Linux, the application's local data folder
    // elsewhere and whenever QStandardPaths runs in test mode.
    static QString defaultPath();
    const QString& filePath() const { return m_path; }

    std::optional<Levels> load(const QString& serial) const;
    // Written whole through a temporary file: a crash leaves the old file or the new one.
    bool save(const QString& serial, const Levels& levels);
    bool clear(const QString& serial);

private:
    QString m_path;
};
