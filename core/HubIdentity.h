#pragma once

// Which hub a device is: its serial number, or where it is plugged in when it
// has none. Unlike the device object, its node and its instance number, the
// identity stays the same across the hub's restarts, so a hub is followed,
// its LED levels kept and its update locked by it.

#include <QMetaType>
#include <QString>

class THidDevice;
class THidPnPInfo;

class HubIdentity {
public:
    enum class Kind {
        None,   // no device
        Serial, // the hub's serial number
        Port,   // no serial number: where it is plugged in
    };

    HubIdentity() = default;
    static HubIdentity serial(const QString& serialNumber);
    static HubIdentity port(const QString& port);
    // The device's serial number, else its port, else its interface path.
    static HubIdentity of(const THidPnPInfo& info);
    // Its port, else its interface path: a hub whose serial number is no
    // identity (another plugged hub has the same) is known by this.
    static HubIdentity portOf(const THidPnPInfo& info);
    static HubIdentity of(const THidDevice* device);
    // Back from key(); None when the text is no key.
    static HubIdentity fromKey(const QString& key);

    Kind kind() const { return m_kind; }
    bool isValid() const { return m_kind != Kind::None; }
    bool isSerial() const { return m_kind == Kind::Serial; }
    bool isPort() const { return m_kind == Kind::Port; }
    const QString& value() const { return m_value; }
    // "serial:ABC123", "port:usb-0000:00:14.0-2/input0"; empty for None.
    QString key() const;
    // For people: "serial ABC123", "port usb-0000:00:14.0-2/input0".
    QString text() const;
    // The name of every file kept per hub (its lock): whatever the hub
    // reports, at most 64 characters of letters, digits, '.', '_' and '-',
    // readable and different for every key ("serial-ABC123-1f3a...").
    QString fileName() const;

    friend bool operator==(const HubIdentity& a, const HubIdentity& b) {
        return a.m_kind == b.m_kind && a.m_value == b.m_value;
    }
    friend bool operator!=(const HubIdentity& a, const HubIdentity& b) { return !(a == b); }

private:
    HubIdentity(Kind kind, QString value) : m_kind(kind), m_value(std::move(value)) {}

    Kind m_kind = Kind::None;
    QString m_value;
};

Q_DECLARE_METATYPE(HubIdentity)
