#pragma once

#include "VirtualHidBus.h"

#include <QByteArray>
#include <QElapsedTimer>

#include <array>
#include <memory>
#include <optional>

// The host's side through the bus's own operations: open, write, read.
class BusHost {
public:
    explicit BusHost(VirtualHidBus& bus) : m_bus(bus) {
        m_bus.loadSetupLibrary();
        m_bus.loadHidLibrary();
    }
    ~BusHost() { close(); }

    bool open(VirtualDeviceId id) {
        close();
        const auto set = m_bus.getClassDevices(m_bus.hidGuid());
        for (int i = 0; set && set->enumInterface(i); ++i) {
            HidInterfaceDetail detail;
            if (set->interfaceDetail(i, detail) && detail.instanceNumber == m_bus.instanceNumber(id)) {
                m_write = m_bus.open(detail.path, HidAccess::ReadWrite);
                m_read = m_bus.open(detail.path, HidAccess::Read);
                m_request = m_bus.createReadRequest();
                return m_write != InvalidHidHandle && m_read != InvalidHidHandle;
            }
        }
        return false;
    }

    void close() {
        if (m_reading)
            m_bus.cancelRead(*m_request);
        m_reading = false;
        if (m_write != InvalidHidHandle)
            m_bus.close(m_write);
        if (m_read != InvalidHidHandle)
            m_bus.close(m_read);
        m_write = m_read = InvalidHidHandle;
    }

    bool write(const QByteArray& report) {
        quint32 written = 0;
        return m_bus.write(m_write, reinterpret_cast<const quint8*>(report.constData()),
                           quint32(report.size()), written);
    }

    // One input report, or nothing when none came in time or the read failed.
    std::optional<QByteArray> read(int timeoutMs) {
        if (!m_reading) {
            if (!m_bus.beginRead(m_read, *m_request, m_buffer.data(), quint32(m_buffer.size())))
                return std::nullopt;
            m_reading = true;
        }
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < timeoutMs) {
            if (m_bus.awaitRead(*m_request, 10) != HidReadWait::Completed)
                continue;
            m_reading = false;
            quint32 bytes = 0;
            if (!m_bus.completedReadLength(*m_request, bytes))
                return std::nullopt;
            return QByteArray(reinterpret_cast<const char*>(m_buffer.data()), int(bytes));
        }
        return std::nullopt;
    }

    HidHandle writeHandle() const { return m_write; }

private:
    VirtualHidBus& m_bus;
    HidHandle m_write = InvalidHidHandle;
    HidHandle m_read = InvalidHidHandle;
    std::unique_ptr<HidReadRequest> m_request;
    std::array<quint8, 65> m_buffer{};
    bool m_reading = false;
};
