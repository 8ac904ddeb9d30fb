#pragma once

// HidPlatform on Linux: libudev (loaded at run time) for enumeration and
// plug notifications, hidraw for everything else.

#include "HidPlatform.h"

#include <QByteArray>

#include <memory>

class SetupApi;

class LinuxHidPlatform : public HidPlatform {
public:
    // libudevName: the library to load (tests point it at a missing one).
    explicit LinuxHidPlatform(QByteArray libudevName = "libudev.so.1");
    ~LinuxHidPlatform() override;
    LinuxHidPlatform(const LinuxHidPlatform&) = delete;
    LinuxHidPlatform& operator=(const LinuxHidPlatform&) = delete;

    SetupApi& setupApi();

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
    bool setNumInputBuffers(HidHandle handle, quint32 count) override;
    bool getNumInputBuffers(HidHandle handle, quint32& count) override;
    bool write(HidHandle handle, const quint8* buffer, quint32 length, quint32& written) override;
    std::unique_ptr<HidReadRequest> createReadRequest() override;
    bool beginRead(HidHandle handle, HidReadRequest& request, quint8* buffer, quint32 length) override;
    HidReadWait awaitRead(HidReadRequest& request, int sliceMs) override;
    bool completedReadLength(HidReadRequest& request, quint32& bytes) override;
    bool cancelRead(HidReadRequest& request) override;
    quint32 lastError() const override;
    void addNotificationSink(QObject* sink) override;
    void removeNotificationSink(QObject* sink) override;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
