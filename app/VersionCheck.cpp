// "&Check Version": the hub's firmware version against the built-in one.

#include "AppVersion.h"
#include "HidControllerClass.h"
#include "HidIap.h"

#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>

void TfrmMain::btnConnectClick() {
    if (const int selected = cbbPort->currentIndex(); selected >= 0) {
        auto* hub = static_cast<THidDevice*>(cbbPort->itemData(selected).value<void*>());
        if (hub) {
            m_currentHub = hub;
            hub->SetDataHandler(THidDataEvent(this, &TfrmMain::HubDataReceived));
            SetIndicator(0);
            // A first query without payload; neither its result nor its reply is used.
            SendFrame(CmdGetVersion, HubRequest{});
        }
    }
    if (!m_currentHub) {
        SetIndicator(1);
        mmoUplog->appendPlainText(QStringLiteral("Device disconnected."));
        return;
    }

    HubRequest request;
    request.assign({0x00});
    const int result = SendFrame(CmdGetVersion, request);
    const std::array<std::uint8_t, 64> reply = m_replyBuffer;
    if (result == 0) {
        const std::uint32_t version = std::uint32_t(reply[5]) << 24 | std::uint32_t(reply[6]) << 16 |
                                      std::uint32_t(reply[7]) << 8 | std::uint32_t(reply[8]);
        const QString hexText = versionHexText(version);
        lblDeviceVersion->setText(QStringLiteral("Version: ") + FormatVersion(hexText));
        if (version >= AppFirmwareVersion) {
            lblUpdateAvail->setText(QStringLiteral("No update available."));
            lblThisVersion->hide();
        } else {
            lblUpdateAvail->setText(QStringLiteral("Update available."));
            lblThisVersion->setText(QStringLiteral("New version: ") +
                                    FormatVersion(versionHexText(AppFirmwareVersion)));
            lblThisVersion->show();
        }
        ShowStatus(QStringLiteral("APP Version: ") + hexText);
    }
    SetIndicator(0);
}
