// The hub link of the window: its current hub's session, and how the
// session's reports reach the controls.

#include "HidControllerClass.h"
#include "HidIap.h"
#include "HubDevice.h"
#include "SafeText.h"
#include "ScopeExit.h"
#include "StateDatabase.h"
#include "UpdatePage.h"

#include <QComboBox>

int TfrmMain::SendFrame(std::uint8_t command, const HubRequest& request) {
    return m_session.link().SendFrame(command, request);
}

int TfrmMain::SendFrameSub(std::uint8_t command, const HubRequest& request) {
    return m_session.link().SendFrameSub(command, request);
}

int TfrmMain::WaitReply() {
    return m_session.link().WaitReply();
}

void TfrmMain::HubDataReceived(THidDevice* HidDev, std::uint8_t ReportID, const std::uint8_t* Data,
                               std::uint16_t Size) {
    m_session.link().HubDataReceived(HidDev, ReportID, Data, Size);
}

int TfrmMain::QueryHubMode() {
    return int(m_session.QueryHubMode());
}

bool TfrmMain::WaitForHubMode(int limitMs, int wanted) {
    return m_session.WaitForHubMode(limitMs, HubSession::Mode(wanted));
}

bool TfrmMain::EnterBootloader() {
    return m_session.EnterBootloader();
}

void TfrmMain::ConnectSession() {
    m_setup.apply(m_session, m_roster);
    // The first look at the state imports the older state files, once; the log says so.
    m_setup.store().entry(QString());
    for (const QString& note : StateDatabase::takeNotes())
        tbshtUpdate->appendLog(note);
    connect(&m_session, &HubSession::statusText, this,
            [this](const QString& text) { ShowStatus(safeText(text)); });
    // The lamp shows the link, not how the exchange went.
    connect(&m_session, &HubSession::linkIndicator, this, [this] { showLink(); });
}

bool TfrmMain::takeSelectedHub() {
    THidDevice* hub = hubAt(cbbPort->currentIndex());
    if (!hub)
        return false;
    m_session.attach(hub);
    SetIndicator(0);
    return true;
}

QString TfrmMain::whyNoHub() const {
    for (const CheckedOutDevice& device : m_setAside) {
        if (hubdevice::isHub(device.get()) && device->Plugged() && !device->ReadWriteAccess())
            return hubdevice::accessMessage(device->OpenError());
    }
    return {};
}

HubSession::UpdateResult TfrmMain::runUpdate(const FirmwareImage& image) {
    // The update follows the hub it starts with, by its identity, across
    // its restarts; the window's first hub is the current one again after.
    if (THidDevice* hub = currentHub())
        m_roster.follow(hub);
    const ScopeExit unfollow([this] { m_roster.stopFollowing(); });
    return m_session.runUpdate(image);
}

void TfrmMain::showLink() {
    SetIndicator(currentHub() && currentHub()->Plugged() ? 0 : 1);
}

void TfrmMain::tell(const QString& text) {
    tbshtUpdate->appendLog(text);
    ShowStatus(text);
}
