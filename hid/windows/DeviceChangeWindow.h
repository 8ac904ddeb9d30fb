#pragma once

// A hidden top-level window of the calling thread that reports the system's
// device-change broadcast (WM_DEVICECHANGE, DBT_DEVNODES_CHANGED), and the
// arrival and removal of the interfaces it registered for
// (RegisterDeviceNotification), which is all some systems send (wine). Not a
// message-only window: those receive no broadcasts. Plain C++.

#include "WinTypes.h"

#include <functional>

namespace WinSys {

class DeviceChangeWindow {
public:
    // changed runs on the creating thread while it dispatches messages.
    // Registers for the interfaces of interfaceClass, or of every class.
    explicit DeviceChangeWindow(std::function<void()> changed, const Guid* interfaceClass = nullptr);
    ~DeviceChangeWindow();
    DeviceChangeWindow(const DeviceChangeWindow&) = delete;
    DeviceChangeWindow& operator=(const DeviceChangeWindow&) = delete;

    bool created() const { return m_window != nullptr; }
    bool registered() const { return m_registration != nullptr; }
    void* window() const { return m_window; }

private:
    std::function<void()> m_changed;
    void* m_window = nullptr;
    void* m_registration = nullptr;

    friend struct DeviceChangeWindowProc;
};

} // namespace WinSys
