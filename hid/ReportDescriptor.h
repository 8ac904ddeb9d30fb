#pragma once

// Our own HID report descriptor parser: just enough to know the report byte
// lengths per report type, whether reports are numbered, and the top-level
// usage. It never reads outside the given bytes. Like the kernel's parser it
// skips unknown main item tags and reserved items, so a device the kernel
// serves is not refused here.

#include <QtGlobal>

#include <optional>

struct ReportDescriptorInfo {
    quint16 usagePage = 0; // of the first application collection
    quint16 usage = 0;
    // Largest report per type in bytes plus one for the report id byte; 0
    // when the descriptor declares no report of that type.
    quint16 inputReportByteLength = 0;
    quint16 outputReportByteLength = 0;
    quint16 featureReportByteLength = 0;
    bool numberedReports = false; // any Report ID item
};

std::optional<ReportDescriptorInfo> parseReportDescriptor(const quint8* data, qsizetype size);
