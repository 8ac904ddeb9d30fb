#pragma once

// Descriptors, device specs and a handler recorder shared by the HID tests.

#include "HidControllerClass.h"
#include "VirtualHidBus.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QThread>

#include <vector>

namespace hidtest {

// Vendor-defined collection with one 64-byte input and one 64-byte output
// report, no report ids: the hub's layout.
inline QByteArray hubDescriptor() {
    static const quint8 bytes[] = {
        0x06, 0x00, 0xFF, // Usage Page (vendor)
        0x09, 0x01,       // Usage 1
        0xA1, 0x01,       // Collection (Application)
        0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02, // Input 64 x 8
        0x09, 0x03, 0x75, 0x08, 0x95, 0x40, 0x91, 0x02,                               // Output 64 x 8
        0xC0,
    };
    return QByteArray(reinterpret_cast<const char*>(bytes), sizeof(bytes));
}

// The boot keyboard descriptor: 8-byte input, 1-byte output (LEDs).
inline QByteArray keyboardDescriptor() {
    static const quint8 bytes[] = {
        0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
        0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
        0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
        0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0,
    };
    return QByteArray(reinterpret_cast<const char*>(bytes), sizeof(bytes));
}

inline VirtualHidDeviceSetup hubSpec(bool readWrite = true) {
    VirtualHidDeviceSetup setup;
    setup.vendorId = 0xFFF0;
    setup.productId = 0x0018;
    setup.version = 0x0100;
    setup.reportDescriptor = hubDescriptor();
    setup.name = QStringLiteral("Quorvi Charging Hub");
    setup.readWriteAccess = readWrite;
    return setup;
}

inline VirtualHidDeviceSetup keyboardSpec() {
    VirtualHidDeviceSetup setup;
    setup.vendorId = 0x046D;
    setup.productId = 0xC31C;
    setup.reportDescriptor = keyboardDescriptor();
    setup.name = QStringLiteral("Keyboard");
    return setup;
}

// Records every handler call; its member functions are the handlers.
struct Recorder {
    struct Data {
        THidDevice* device;
        quint8 reportId;
        QByteArray data;
        bool onMainThread;
    };
    std::vector<THidDevice*> arrivals, removals, unplugs, enumerated;
    std::vector<Data> data;
    std::vector<quint32> errors;
    int changes = 0;
    bool enumerateResult = true;
    bool throwOnChange = false;

    void onArrival(THidDevice* d) { arrivals.push_back(d); }
    void onRemoval(THidDevice* d) { removals.push_back(d); }
    void onUnplug(THidDevice* d) { unplugs.push_back(d); }
    void onChange(QObject*) {
        ++changes;
        if (throwOnChange)
            throw std::runtime_error("handler failed");
    }
    bool onEnumerate(THidDevice* d, int) {
        enumerated.push_back(d);
        return enumerateResult;
    }
    void onData(THidDevice* d, quint8 id, const quint8* bytes, quint16 size) {
        data.push_back({d, id, QByteArray(reinterpret_cast<const char*>(bytes), size),
                        QThread::currentThread() == QCoreApplication::instance()->thread()});
    }
    void onOtherData(THidDevice*, quint8, const quint8*, quint16) {}
    void onError(THidDevice*, quint32 error) { errors.push_back(error); }
};

} // namespace hidtest
