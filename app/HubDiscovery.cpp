// Hub discovery: the hub list, the current hub and the link lamp, rebuilt on
// every device-change pass of the controller.

#include "AutoUpdate.h"
#include "HidControllerClass.h"
#include "HidIap.h"
#include "HubDevice.h"
#include "SafeText.h"
#include "UpdatePage.h"

#include <QComboBox>

#include <utility>

namespace {

// The controller's arrival, removal and enumerate handlers have nothing to do
// here: the hub list is rebuilt by the device-change handler alone. Each needs
// a key of its own so the controller sees it as set.
const char arrivalKey = 0;
const char removalKey = 0;
const char enumerateKey = 0;

} // namespace

void TfrmMain::CreateController() {
    m_roster.onNote = [this](const QString& text) { tbshtUpdate->appendLog(safeText(text)); };
    m_controller = new THidDeviceController(this, *m_platform);
    m_controller->setOnArrival(THidPlugEvent(&arrivalKey, [](THidDevice*) {}));
    m_controller->setOnRemoval(THidPlugEvent(&removalKey, [](THidDevice*) {}));
    m_controller->setOnEnumerate(THidEnumerateEvent(&enumerateKey, [](THidDevice*, int) { return true; }));
    // Last: installing it runs the first pass at once.
    m_controller->setOnDeviceChange(TNotifyEvent(this, &TfrmMain::HubDeviceChange));
    m_controller->EnumerateDevices();
}

void TfrmMain::ReleaseController() {
    // The checked-out devices go first: releasing them stops their read
    // threads, which must not outlive the controller's bookkeeping.
    m_session.detach();
    releaseHubList();
    for (CheckedOutDevice& device : std::exchange(m_setAside, {}))
        device.reset();
    delete m_controller;
    m_controller = nullptr;
}

void TfrmMain::releaseHubList() {
    cbbPort->clear();
    for (CheckedOutDevice& hub : std::exchange(m_hubs, {}))
        hub.reset(); // the check-in, in list order
}

THidDevice* TfrmMain::hubAt(int index) const {
    return index >= 0 && std::size_t(index) < m_hubs.size() ? m_hubs[std::size_t(index)].get() : nullptr;
}

void TfrmMain::HubDeviceChange(QObject* Sender) {
    Q_UNUSED(Sender);
    // An error inside a pass ends it quietly, the state as far as it got.
    try {
        m_session.detach();
        releaseHubList();

        // Devices kept aside leave once they are gone, and those refused go
        // back so the check-in tries them anew; the others stay checked out,
        // so the controller does not offer them again.
        for (std::size_t i = m_setAside.size(); i-- > 0;) {
            if (!m_setAside[i]->Plugged() || !m_setAside[i]->ReadWriteAccess()) {
                m_setAside[i].reset();
                m_setAside.erase(m_setAside.begin() + std::ptrdiff_t(i));
            }
        }

        CheckedOutDevice device;
        while (m_controller && m_controller->CheckOutNext(device)) {
            if (!hubdevice::isHub(device.get())) {
                m_setAside.push_back(std::move(device));
                continue;
            }
            if (!device->ReadWriteAccess()) {
                // Without read-write access no frame can be written and no
                // reader started: keep it out of the list until a later pass
                // finds it usable. Once the refusal is final, tell the user
                // how to fix it, once per plug-in.
                const quint32 instance = device->PnPInfo()->InstanceNumber;
                if (device->AccessSettled() && !m_accessReported.contains(instance)) {
                    m_accessReported.append(instance);
                    tbshtUpdate->appendLog(hubdevice::accessMessage(device->OpenError()));
                }
                m_setAside.push_back(std::move(device));
                continue;
            }
            device->SetInputBufferCount(hubdevice::BufferCount);
            device->SetReadBufferCount(hubdevice::BufferCount);
            m_hubs.push_back(std::move(device));
            cbbPort->addItem(QString::asprintf("Hub%d", 0));
        }

        SetIndicator(1);
        QList<THidDevice*> hubs;
        for (const CheckedOutDevice& hub : m_hubs)
            hubs.append(hub.get());
        // The first hub, except while an update follows its own: then that
        // one or none, so a hub plugged in meanwhile is never talked to.
        const int chosen = m_roster.pick(hubs);
        cbbPort->setCurrentIndex(chosen);
        if (chosen >= 0) {
            THidDevice* hub = hubs.at(chosen);
            m_session.attach(hub);
            SetIndicator(0);
            if (automaticUpdate)
                automaticUpdate->hubTaken();
        }
    } catch (...) {
    }
}

THidDevice* TfrmMain::findHub() {
    // The roster's finder. Each pass that changes the list rebuilds it and
    // chooses through the roster (HubDeviceChange); between them the list and
    // the hub selected in it stand.
    THidDevice* const hub = RefreshHubs() ? currentHub() : nullptr;
    // A hub with another identity is never handed out while one is followed.
    const HubIdentity& followed = m_roster.followed();
    if (hub && followed.isValid() && m_roster.hubIdentity(hub) != followed &&
        HubIdentity::of(hub) != followed)
        return nullptr;
    return hub;
}

bool TfrmMain::RefreshHubs() {
    if (m_controller)
        m_controller->DeviceChange();
    return currentHub() != nullptr;
}
