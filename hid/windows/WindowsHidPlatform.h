#pragma once

// HidPlatform on Windows: the device-setup and HID libraries loaded at run
// time, CreateFileA/WriteFile/ReadFileEx for the devices, and a hidden window
// for the system's device-change broadcast.

#include "HidPlatform.h"

#include <QByteArray>

#include <memory>

class WindowsHidPlatform : public HidPlatform {
public:
    // The library names can be pointed elsewhere (tests use missing ones).
    explicit WindowsHidPlatform(QByteArray setupLibrary = "SetupApi.dll", QByteArray hidLibrary = "HID.dll");
    ~WindowsHidPlatform() override;
    WindowsHidPlatform(const WindowsHidPlatform&) = delete;
    WindowsHidPlatform& operator=(const WindowsHidPlatform&) = delete;

    bool loadSetupLibrary() override;
    void unloadSetupLibrary() override;
    bool loadHidLibrary() override;
    void unloadHidLibrary() override;
    bool hidLibraryLoaded() const override;
    QUuid hidGuid() const override;
    std::unique_ptr<HidDeviceSet> getClassDevices(const QUuid& classGuid) override;
    HidHandle open(const QString& path, HidAccess access) override;
    void close(HidHandle handle) override;
    bool getAttributes(HidHandle handle, HIDD_ATTRIBUTES& attributes) override;
    HidPreparsedData* getPreparsedData(HidHandle handle) override;
    void freePreparsedData(HidPreparsedData* data) override;
    bool getCaps(const HidPreparsedData* data, HIDP_CAPS& caps) override;
    bool setNumInputBuffers(HidHandle handle, quint32 count) override;
    bool getNumInputBuffers(HidHandle handle, quint32& count) override;
    bool write(HidHandle handle, const quint8* buffer, quint32 length, quint32& written) override;
    std::unique_ptr<HidReadRequest> createReadRequest() override;
    bool beginRead(HidHandle handle, HidReadRequest& request, quint8* buffer, quint32 length) override;
    HidReadWait awaitRead(HidReadRequest& request, int sliceMs) override;
    bool completedReadLength(HidReadRequest& request, quint32& bytes) override;
    bool cancelRead(HidReadRequest& request) override;
    quint32 lastError() const override;
    bool deviceGoneError(quint32 error) const override;
    bool accessDeniedError(quint32 error) const override;
    void addNotificationSink(QObject* sink) override;
    void removeNotificationSink(QObject* sink) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
