#pragma once

// The one place that knows which hub is which. It finds hubs through the
// device controller, follows one hub across its restarts by its identity (a
// restarted hub is a new device object, with a new node, and possibly not the
// first hub in the list any more), and tells the identity whose key its kept
// LED levels and its update lock live under (HubIdentity::key). The window and the command line
// both find their hubs through it, so what one keeps the other finds.
//
// Twins: cheap hubs may all carry one serial number. While two plugged hubs
// share one, it tells neither apart, so both are known by their ports, and a
// hub followed by its serial number is followed by the port it had.

#include "CheckedOutDevice.h"
#include "HubIdentity.h"
#include "HubSession.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

class THidDevice;
class THidDeviceController;

class HubRoster : public HubLocator {
public:
    // Follows its hub by checking it out of this controller (and checking it
    // back in when it leaves): for a program that talks to one hub per
    // controller. The session, if given, is detached before its device goes.
    HubRoster(THidDeviceController& controller, HubSession* session = nullptr);
    // Follows its hub in a hub list that someone else keeps: scan runs a
    // device-change pass, which rebuilds the list and calls pick(), and
    // returns the hub it chose (or nullptr).
    explicit HubRoster(std::function<THidDevice*()> scan);
    ~HubRoster() override;
    HubRoster(const HubRoster&) = delete;
    HubRoster& operator=(const HubRoster&) = delete;

    // From now on the hub with this identity is the one: no other hub is
    // handed out while it is followed, even when it is away.
    void follow(const HubIdentity& identity) {
        m_followed = identity;
        m_followedPort.clear();
    }
    // This hub, as the last pass knew it, and the port it is at now.
    void follow(const THidDevice* device);
    void stopFollowing() { follow(HubIdentity()); }
    const HubIdentity& followed() const { return m_followed; }
    bool isFollowing() const { return m_followed.isValid(); }

    // Which of these hubs to talk to: the followed one, -1 when it is not
    // among them; the first when none is followed (-1 for an empty list).
    // Notes the twins among them.
    int pick(const QList<THidDevice*>& hubs);

    // HubLocator: a pass, then the followed hub as it is now, or nullptr.
    THidDevice* refreshHub() override;
    // The device's identity as the last pass knew it: a twin's is its port.
    HubIdentity hubIdentity(THidDevice* device) override;

    // The serial numbers that two or more of these hubs share.
    static QStringList sharedSerials(const QList<THidDevice*>& hubs);
    // Why hubs with this serial number are known by their ports.
    static QString twinNote(const QString& serial);
    // Told once each time twins appear, with twinNote's words.
    std::function<void(const QString&)> onNote;

private:
    void release();
    void noteTwins(const QList<THidDevice*>& hubs);

    THidDeviceController* m_controller = nullptr;
    HubSession* m_session = nullptr;
    std::function<THidDevice*()> m_scan;
    HubIdentity m_followed;
    QString m_followedPort;  // where the followed hub was last seen, for when a twin comes
    QStringList m_twins;     // as of the last pass
    CheckedOutDevice m_held; // from m_controller
};
