#include "DeviceChangeWindow.h"

#include <windows.h>

#include <dbt.h>

#include <cstring>

namespace WinSys {

namespace {
constexpr char ClassName[] = "QuorviHidDeviceChange";

bool interfaceEvent(WPARAM kind, LPARAM record) {
    if (kind != DBT_DEVICEARRIVAL && kind != DBT_DEVICEREMOVECOMPLETE)
        return false;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(record);
    return header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE;
}
} // namespace

struct DeviceChangeWindowProc {
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<DeviceChangeWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self && message == WM_DEVICECHANGE) {
            if ((wParam == DBT_DEVNODES_CHANGED || interfaceEvent(wParam, lParam)) && self->m_changed)
                self->m_changed();
            return TRUE;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }
};

DeviceChangeWindow::DeviceChangeWindow(std::function<void()> changed, const Guid* interfaceClass)
    : m_changed(std::move(changed)) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &DeviceChangeWindowProc::proc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = ClassName;
    // A second window finds the class already there; that is fine.
    if (!RegisterClassExA(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return;
    m_window = CreateWindowExA(WS_EX_TOOLWINDOW, ClassName, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                               instance, this);
    if (!m_window)
        return;
    DEV_BROADCAST_DEVICEINTERFACE_A filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    DWORD flags = DEVICE_NOTIFY_WINDOW_HANDLE;
    if (interfaceClass)
        std::memcpy(&filter.dbcc_classguid, interfaceClass, sizeof(GUID));
    else
        flags |= DEVICE_NOTIFY_ALL_INTERFACE_CLASSES;
    m_registration = RegisterDeviceNotificationA(static_cast<HWND>(m_window), &filter, flags);
}

DeviceChangeWindow::~DeviceChangeWindow() {
    if (m_registration)
        UnregisterDeviceNotification(static_cast<HDEVNOTIFY>(m_registration));
    if (m_window) {
        SetWindowLongPtrA(static_cast<HWND>(m_window), GWLP_USERDATA, 0);
        DestroyWindow(static_cast<HWND>(m_window));
    }
}

} // namespace WinSys
