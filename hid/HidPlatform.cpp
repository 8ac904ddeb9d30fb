#include "HidPlatform.h"

#include "ReportDescriptor.h"

#include <cerrno>

namespace {
thread_local quint32 t_lastError = 0;
}

HidPlatform::~HidPlatform() = default;

HidPreparsedData* HidPlatform::preparsedFromDescriptor(const QByteArray& descriptor) {
    const auto info =
        parseReportDescriptor(reinterpret_cast<const quint8*>(descriptor.constData()), descriptor.size());
    if (!info)
        return nullptr;
    auto* data = new HidPreparsedData;
    data->usagePage = info->usagePage;
    data->usage = info->usage;
    data->inputReportByteLength = info->inputReportByteLength;
    data->outputReportByteLength = info->outputReportByteLength;
    data->featureReportByteLength = info->featureReportByteLength;
    data->numberedReports = info->numberedReports;
    return data;
}

void HidPlatform::freePreparsedData(HidPreparsedData* data) {
    delete data;
}

bool HidPlatform::getCaps(const HidPreparsedData* data, HIDP_CAPS& caps) {
    if (!data)
        return false;
    caps.UsagePage = data->usagePage;
    caps.Usage = data->usage;
    caps.InputReportByteLength = data->inputReportByteLength;
    caps.OutputReportByteLength = data->outputReportByteLength;
    caps.FeatureReportByteLength = data->featureReportByteLength;
    return true;
}

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

bool HidPlatform::deviceGoneError(quint32) const {
    return false;
}

bool HidPlatform::accessDeniedError(quint32 error) const {
    return error == EACCES || error == EPERM;
}
