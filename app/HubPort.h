#pragma once

// What a page of the window may ask of the hub the window talks to. The
// window answers from its hub list and its session; a test can answer with a
// session of its own.

#include "HubSession.h"

#include <QString>

class FirmwareImage;

class HubPort {
public:
    virtual ~HubPort() = default;

    // The exchanges with the current hub, and what they report.
    virtual HubSession& session() = 0;
    bool hasHub() { return session().device() != nullptr; }

    // An exchange with the hub is under way (a handler's, the update's, or a
    // reply wait): one started now would take its replies.
    virtual bool busy() const = 0;
    virtual void exchangeBegins() = 0;
    virtual void exchangeEnds() = 0;

    // The hub selected in the hub list becomes the current one; false when
    // the list is empty.
    virtual bool takeSelectedHub() = 0;
    // Why no hub can be talked to beyond its absence (one plugged in that
    // this user may not open), or empty.
    virtual QString whyNoHub() const = 0;
    // The update of the current hub, which it follows across its restarts.
    virtual HubSession::UpdateResult runUpdate(const FirmwareImage& image) = 0;

    // The link lamp, as the link stands now.
    virtual void showLink() = 0;
    virtual void showStatus(const QString& text) = 0;
    // A line for the log and the status line.
    virtual void tell(const QString& text) = 0;
};

// Counts as an exchange with the hub while it lives.
class HubExchange {
public:
    explicit HubExchange(HubPort& port) : m_port(port) { m_port.exchangeBegins(); }
    ~HubExchange() { m_port.exchangeEnds(); }
    HubExchange(const HubExchange&) = delete;
    HubExchange& operator=(const HubExchange&) = delete;

private:
    HubPort& m_port;
};

// Says in the log and the status line why `what` does not start now; true
// when another exchange runs.
inline bool refusedWhileBusy(HubPort& port, const QString& what) {
    if (!port.busy())
        return false;
    port.tell(QStringLiteral("%1: not now, another exchange with the hub is still running.").arg(what));
    return true;
}
