#include "HidPlatform.h"

namespace {
thread_local quint32 t_lastError = 0;
}

HidPlatform::~HidPlatform() = default;

void HidPlatform::setThreadLastError(quint32 error) {
    t_lastError = error;
}

quint32 HidPlatform::threadLastError() {
    return t_lastError;
}

QEvent::Type HidDeviceChangeEvent::eventType() {
    static const int type = QEvent::registerEventType();
    return QEvent::Type(type);
}
