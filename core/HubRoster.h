#pragma once

// The one place that knows which hub is which. It chooses among the hubs a
// device-change pass found, follows one hub across its restarts by its
// identity (a restarted hub is a new device object, with a new node, and
// possibly not the first hub in the list any more), and tells the identity
// whose key its kept LED levels and its update lock live under
// (HubIdentity::key). The window and the command line both choose their hubs
// through it, so what one keeps the other finds.
//
// Twins: cheap hubs may all carry one serial number. While two plugged hubs
// share one, it tells neither apart, so both are known by their ports, and a
// hub followed by its serial number is followed by the port it had.

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
    // Which of these hubs to talk to, as an index into them, -1 for none.
    using Choose = std::function<int(const QList<THidDevice*>& hubs)>;
    // Where the roster finds its hubs: runs a fresh device-change pass, lets
    // choose pick among the hubs plugged in after it (in list order, while
    // none of them can go), and returns the device its holder talks to now.
    using Finder = std::function<THidDevice*(const Choose& choose)>;

    explicit HubRoster(Finder finder);
    HubRoster(const HubRoster&) = delete;
    HubRoster& operator=(const HubRoster&) = delete;

    // A finder for a program that holds one hub per roster: it checks the
    // chosen hub out of the controller and holds it until another is chosen
    // or the finder goes (the session, if given, is detached first). Several
    // threads may share the controller, each with a roster of its own; their
    // passes are shared.
    static Finder holding(THidDeviceController& controller, HubSession* session = nullptr);

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

    // HubLocator: a pass, then the followed hub as it is now, or nullptr;
    // none is chosen while none is followed.
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
    void noteTwins(const QList<THidDevice*>& hubs);

    Finder m_finder;
    HubIdentity m_followed;
    QString m_followedPort; // where the followed hub was last seen, for when a twin comes
    QStringList m_twins;    // as of the last pass
};
