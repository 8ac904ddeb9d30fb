#include "HubRoster.h"

#include "CheckedOutDevice.h"
#include "HidControllerClass.h"
#include "HubDevice.h"

#include <memory>
#include <mutex>

namespace {

// The hub one roster holds checked out of a controller it may share.
class HeldHub {
public:
    HeldHub(THidDeviceController& controller, HubSession* session)
        : m_controller(controller), m_session(session) {}
    ~HeldHub() {
        std::lock_guard lock(m_controller.ListLock());
        release();
    }
    HeldHub(const HeldHub&) = delete;
    HeldHub& operator=(const HeldHub&) = delete;

    THidDevice* find(const HubRoster::Choose& choose) {
        const auto lock = m_controller.FreshPass();
        if (m_held && !m_held->Plugged())
            release();
        QList<THidDevice*> hubs;
        QList<int> where;
        for (int i = 0; i < m_controller.count(); ++i) {
            THidDevice* const device = m_controller.deviceAt(i);
            if (device->Plugged() && hubdevice::isHub(device)) {
                hubs << device;
                where << i;
            }
        }
        const int chosen = choose(hubs);
        THidDevice* const wanted = chosen >= 0 ? hubs.at(chosen) : nullptr;
        if (m_held && m_held.get() != wanted)
            release();
        if (wanted && !m_held && !wanted->CheckedOut() && wanted->ReadWriteAccess() &&
            m_controller.CheckOutAt(m_held, where.at(chosen))) {
            m_held->SetInputBufferCount(hubdevice::BufferCount);
            m_held->SetReadBufferCount(hubdevice::BufferCount);
        }
        return m_held.get();
    }

private:
    void release() {
        if (!m_held)
            return;
        if (m_session && m_session->device() == m_held.get())
            m_session->detach();
        m_held.reset();
    }

    THidDeviceController& m_controller;
    HubSession* m_session;
    CheckedOutDevice m_held;
};

} // namespace

HubRoster::HubRoster(Finder finder) : m_finder(std::move(finder)) {}

HubRoster::Finder HubRoster::holding(THidDeviceController& controller, HubSession* session) {
    auto held = std::make_shared<HeldHub>(controller, session);
    return [held](const Choose& choose) { return held->find(choose); };
}

void HubRoster::follow(const THidDevice* device) {
    if (!device || !device->PnPInfo())
        return stopFollowing();
    m_followed = hubIdentity(const_cast<THidDevice*>(device));
    m_followedPort = HubIdentity::portOf(*device->PnPInfo()).value();
}

QStringList HubRoster::sharedSerials(const QList<THidDevice*>& hubs) {
    QStringList seen;
    QStringList shared;
    for (const THidDevice* hub : hubs) {
        const HubIdentity id = HubIdentity::of(hub);
        if (!id.isSerial())
            continue;
        if (seen.contains(id.value()) && !shared.contains(id.value()))
            shared << id.value();
        seen << id.value();
    }
    return shared;
}

QString HubRoster::twinNote(const QString& serial) {
    return QStringLiteral("Two hubs share serial number %1: known by their ports.").arg(serial);
}

void HubRoster::noteTwins(const QList<THidDevice*>& hubs) {
    const QStringList twins = sharedSerials(hubs);
    for (const QString& serial : twins) {
        if (!m_twins.contains(serial) && onNote)
            onNote(twinNote(serial));
    }
    m_twins = twins;
}

int HubRoster::pick(const QList<THidDevice*>& hubs) {
    noteTwins(hubs);
    if (!isFollowing())
        return hubs.isEmpty() ? -1 : 0;
    int found = -1;
    int alike = 0;
    for (qsizetype i = 0; i < hubs.size(); ++i) {
        const THidDevice* hub = hubs.at(i);
        if (!hub || !hub->PnPInfo())
            continue;
        const HubIdentity port = HubIdentity::portOf(*hub->PnPInfo());
        if (m_followed.isPort() ? port != m_followed : HubIdentity::of(hub) != m_followed)
            continue;
        // A hub restarts where it is plugged in: once that is known, a hub
        // with its serial number elsewhere is a twin, not it.
        if (!m_followedPort.isEmpty() && port.value() != m_followedPort)
            continue;
        ++alike;
        found = int(i);
    }
    if (alike != 1)
        return -1; // twins, and it is not known which one: never guess
    m_followedPort = HubIdentity::portOf(*hubs.at(found)->PnPInfo()).value();
    return found;
}

THidDevice* HubRoster::refreshHub() {
    return m_finder([this](const QList<THidDevice*>& hubs) {
        if (isFollowing())
            return pick(hubs);
        noteTwins(hubs);
        return -1;
    });
}

HubIdentity HubRoster::hubIdentity(THidDevice* device) {
    if (!device)
        return m_followed;
    const HubIdentity id = HubIdentity::of(device);
    if (id.isSerial() && m_twins.contains(id.value()) && device->PnPInfo())
        return HubIdentity::portOf(*device->PnPInfo());
    return id;
}
