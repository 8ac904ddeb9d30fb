#pragma once

// What makes a HID device a Charging Hub, and what to tell a user who may not
// open one: shared by the window and the command line.

#include <QString>
#include <QtGlobal>

class THidDevice;

namespace hubdevice {

constexpr quint16 VendorId = 0xFFF0;
constexpr quint16 ProductId = 0x0018;
// Input buffers asked for a hub: an update's replies must never be dropped.
constexpr int BufferCount = 128;

bool isHub(const THidDevice* device);

// Where the udev rule that gives the user at the seat access is installed.
QString udevRulePath();

// The log line for a hub whose read-write open failed with this error: the
// udev rule to install when access was refused.
QString accessMessage(quint32 openError);

} // namespace hubdevice
