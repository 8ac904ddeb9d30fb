// "&Check Version": the hub's firmware version against the built-in one.

#include "AppVersion.h"
#include "HidControllerClass.h"
#include "HidIap.h"
#include "ScopeExit.h"

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>

void TfrmMain::btnConnectClick() {
    if (refusedWhileBusy(QStringLiteral("Check Version")))
        return;
    ++m_exchanges;
    const ScopeExit done([this] { --m_exchanges; });
    if (const int selected = cbbPort->currentIndex(); selected >= 0) {
        if (THidDevice* hub = hubAt(selected)) {
            m_session.attach(hub);
            SetIndicator(0);
            // Another program is updating it: the session said so; no frame goes out.
            if (m_session.hubTakenElsewhere())
                return;
            // A first query without payload; neither its result nor its reply is used.
            SendFrame(CmdGetVersion, HubRequest{});
        }
    }
    if (!currentHub()) {
        SetIndicator(1);
        mmoUplog->appendPlainText(QStringLiteral("Device disconnected."));
        return;
    }

    if (const std::optional<std::uint32_t> read = m_session.readVersion()) {
        const std::uint32_t version = *read;
        const QString hexText = versionHexText(version);
        lblDeviceVersion->setText(QStringLiteral("Version: ") + FormatVersion(hexText));
        const std::uint32_t imageVersion = m_firmwareImage.version();
        if (version >= imageVersion) {
            lblUpdateAvail->setText(QStringLiteral("No update available."));
            lblThisVersion->hide();
        } else {
            lblUpdateAvail->setText(QStringLiteral("Update available."));
            lblThisVersion->setText(QStringLiteral("New version: ") +
                                    FormatVersion(versionHexText(imageVersion)));
            lblThisVersion->show();
        }
        ShowStatus(QStringLiteral("APP Version: ") + hexText);
        AnnounceVersion();
    }
    // The hub may have left during the check.
    SetIndicator(currentHub() && currentHub()->Plugged() ? 0 : 1);
}
