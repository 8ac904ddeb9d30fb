#pragma once

#include <QEvent>
#include <QtGlobal>

// A window message posted to a window with its two parameters, the way the
// skin and the main window talk to each other: the action runs after the
// current handler has returned, in posting order. The message number is the
// event type, so 0x8064 arrives as QEvent::Type(0x8064).
class SkinMessage : public QEvent {
public:
    static constexpr int ModuleMessage = 0x8064;       // wParam: module id, lParam: control index
    static constexpr int ControlClickMessage = 0x8065; // wParam: control id, lParam: control index

    SkinMessage(int message, qintptr wParam, qintptr lParam)
        : QEvent(static_cast<QEvent::Type>(message)), m_wParam(wParam), m_lParam(lParam) {}

    int message() const { return static_cast<int>(type()); }
    qintptr wParam() const { return m_wParam; }
    qintptr lParam() const { return m_lParam; }

private:
    qintptr m_wParam;
    qintptr m_lParam;
};
