#include "HubRoster.h"

#include "HidControllerClass.h"
#include "HubDevice.h"

HubRoster::HubRoster(THidDeviceController& controller, HubSession* session)
    : m_controller(&controller), m_session(session) {}

HubRoster::HubRoster(std::function<THidDevice*()> scan) : m_scan(std::move(scan)) {}

HubRoster::~HubRoster() {
    release();
}

int HubRoster::pick(const QList<THidDevice*>& hubs) const {
    if (!isFollowing())
        return hubs.isEmpty() ? -1 : 0;
    for (qsizetype i = 0; i < hubs.size(); ++i) {
        if (HubIdentity::of(hubs.at(i)) == m_followed)
            return int(i);
    }
    return -1;
}

THidDevice* HubRoster::refreshHub() {
    if (m_scan) {
        THidDevice* const chosen = m_scan();
        // Whoever keeps the list chose by pick(); a hub with another identity
        // is never handed out while one is followed.
        if (chosen && isFollowing() && HubIdentity::of(chosen) != m_followed)
            return nullptr;
        return chosen;
    }
    if (!m_controller)
        return nullptr;
    m_controller->DeviceChange();
    if (m_held && (!m_held->Plugged() || HubIdentity::of(m_held.get()) != m_followed))
        release();
    for (int i = 0; i < m_controller->count() && !m_held && isFollowing(); ++i) {
        const THidDevice* device = m_controller->deviceAt(i);
        if (device->Plugged() && !device->CheckedOut() && hubdevice::isHub(device) &&
            device->ReadWriteAccess() && HubIdentity::of(device) == m_followed &&
            m_controller->CheckOutAt(m_held, i)) {
            m_held->SetInputBufferCount(hubdevice::BufferCount);
            m_held->SetReadBufferCount(hubdevice::BufferCount);
        }
    }
    return m_held.get();
}

HubIdentity HubRoster::hubIdentity(THidDevice* device) {
    if (!device)
        return m_followed;
    return HubIdentity::of(device);
}

void HubRoster::release() {
    if (!m_held)
        return;
    if (m_session && m_session->device() == m_held.get())
        m_session->detach();
    m_held.reset();
}
