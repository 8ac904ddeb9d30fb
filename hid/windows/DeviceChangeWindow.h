#pragma once

// A hidden top-level window of the calling thread that reports the system's
// device-change broadcast (WM_DEVICECHANGE, DBT_DEVNODES_CHANGED). Not a
// message-only window: those receive no broadcasts. Plain C++.

#include <functional>

namespace WinSys {

class DeviceChangeWindow {
public:
    // changed runs on the creating thread while it dispatches messages.
    explicit DeviceChangeWindow(std::function<void()> changed);
    ~DeviceChangeWindow();
    DeviceChangeWindow(const DeviceChangeWindow&) = delete;
    DeviceChangeWindow& operator=(const DeviceChangeWindow&) = delete;

    bool created() const { return m_window != nullptr; }
    void* window() const { return m_window; }

private:
    std::function<void()> m_changed;
    void* m_window = nullptr;

    friend struct DeviceChangeWindowProc;
};

} // namespace WinSys
