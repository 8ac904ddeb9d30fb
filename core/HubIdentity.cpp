#include "HubIdentity.h"

#include "HidControllerClass.h"

#include <QCryptographicHash>

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
    return portOf(info);
}

HubIdentity HubIdentity::portOf(const THidPnPInfo& info) {
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

QString HubIdentity::fileName() const {
    constexpr int ReadableChars = 40;
    QString readable;
    for (const QChar c : key().left(ReadableChars)) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                           (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.') ||
                           c == QLatin1Char('_') || c == QLatin1Char('-');
        readable += plain ? c : QLatin1Char('_');
    }
    // Names that only differ where the prefix lost them stay apart by the hash.
    // A leading dot would hide the file; none can come, as every key starts with a letter.
    const QByteArray hash = QCryptographicHash::hash(key().toUtf8(), QCryptographicHash::Sha256);
    return readable + QLatin1Char('-') + QString::fromLatin1(hash.left(8).toHex());
}
