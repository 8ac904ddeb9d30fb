#pragma once

// For tests of the main window: collects what the window's standard error
// report would show, instead of opening a message box.

#include "ErrorReport.h"

#include <QStringList>

namespace testsupport {

class ErrorCapture {
public:
    ErrorCapture() {
        m_previous = errorreport::setReporter([this](const QString& m) { messages.append(m); });
    }
    ~ErrorCapture() { errorreport::setReporter(m_previous); }
    ErrorCapture(const ErrorCapture&) = delete;
    ErrorCapture& operator=(const ErrorCapture&) = delete;

    QStringList messages;

private:
    errorreport::Reporter m_previous;
};

} // namespace testsupport
