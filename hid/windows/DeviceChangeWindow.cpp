#include "DeviceChangeWindow.h"

#include <windows.h>

namespace WinSys {

namespace {
constexpr char ClassName[] = "QuorviHidDeviceChange";
constexpr WPARAM DevNodesChanged = 0x0007; // DBT_DEVNODES_CHANGED
} // namespace

struct DeviceChangeWindowProc {
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<DeviceChangeWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self && message == WM_DEVICECHANGE) {
            if (wParam == DevNodesChanged && self->m_changed)
                self->m_changed();
            return TRUE;
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }
};

DeviceChangeWindow::DeviceChangeWindow(std::function<void()> changed) : m_changed(std::move(changed)) {
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
}

DeviceChangeWindow::~DeviceChangeWindow() {
    if (m_window) {
        SetWindowLongPtrA(static_cast<HWND>(m_window), GWLP_USERDATA, 0);
        DestroyWindow(static_cast<HWND>(m_window));
    }
}

} // namespace WinSys
