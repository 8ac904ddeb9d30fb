#include "HubIdentity.h"

#include "HidControllerClass.h"

namespace {

const QString SerialPrefix = QStringLiteral("serial:");
const QString PortPrefix = QStringLiteral("port:");

} // namespace

HubIdentity HubIdentity::serial(const QString& serialNumber) {
    const QString value = serialNumber.trimmed();
    return value.isEmpty() ? HubIdentity() : HubIdentity(Kind::Serial, value);
}

HubIdentity HubIdentity::port(const QString& port) {
    const QString value = port.trimmed();
    return value.isEmpty() ? HubIdentity() : HubIdentity(Kind::Port, value);
}

HubIdentity HubIdentity::of(const THidPnPInfo& info) {
    if (HubIdentity id = serial(info.SerialNumber); id.isValid())
        return id;
    if (HubIdentity id = port(info.Port); id.isValid())
        return id;
    // A binding that knows no port: the path at least tells hubs apart now.
    return port(info.InterfacePath);
}

HubIdentity HubIdentity::of(const THidDevice* device) {
    if (!device || !device->PnPInfo())
        return {};
    return of(*device->PnPInfo());
}

HubIdentity HubIdentity::fromKey(const QString& key) {
    if (key.startsWith(SerialPrefix))
        return serial(key.mid(SerialPrefix.size()));
    if (key.startsWith(PortPrefix))
        return port(key.mid(PortPrefix.size()));
    return {};
}

QString HubIdentity::key() const {
    switch (m_kind) {
    case Kind::Serial:
        return SerialPrefix + m_value;
    case Kind::Port:
        return PortPrefix + m_value;
    case Kind::None:
        break;
    }
    return {};
}

QString HubIdentity::text() const {
    switch (m_kind) {
    case Kind::Serial:
        return QStringLiteral("serial ") + m_value;
    case Kind::Port:
        return QStringLiteral("port ") + m_value;
    case Kind::None:
        break;
    }
    return QStringLiteral("(no hub)");
}
