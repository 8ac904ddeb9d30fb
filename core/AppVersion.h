#pragma once

#include <QString>
#include <cstdint>

// Version of the firmware built into the program. It must agree with the
// embedded image and with the release notes shown on the Home page.
inline constexpr std::uint32_t AppFirmwareVersion = 0x11150906;

// "11150906" -> "1.1.15.0906": the digits are split 1.1.2.4, not by bytes.
// Any text that is not exactly eight characters long comes back unchanged.
QString FormatVersion(const QString& text);

// The eight upper-case hexadecimal digits of a version, leading zeros kept.
QString versionHexText(std::uint32_t version);

// A version as users read it: 0x11150906 -> "1.1.15.0906".
QString versionText(std::uint32_t version);
