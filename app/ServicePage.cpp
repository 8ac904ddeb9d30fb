// The service page: the hub's running data and the LED level calibration.

#include "FormWidgets.h"
#include "HidIap.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

namespace {

// Both fields of the running data are sent low byte first.
int word(const std::array<std::uint8_t, 64>& reply, std::size_t at) {
    return reply[at] | reply[at + 1] << 8;
}

} // namespace

void TfrmMain::btnReadClick() {
    if (!m_currentHub)
        return;
    // A failed read, on the link or in the display, changes nothing and says nothing.
    try {
        HubRequest request;
        if (SendFrame(CmdReadRunData, request) != 0)
            return;
        const std::array<std::uint8_t, 64> reply = m_replyBuffer;
        edtVolt->setText(QString::number(word(reply, 5)));
        edtCurr->setText(QString::number(word(reply, 7)));
        edtState->setText(QString::number(reply[9]));
        edtChannel->setText(QString::number(reply[10]));
        const QColor empty = QApplication::palette().color(QPalette::Highlight);
        ShapeWidget* const batteries[4] = {shp0, shp1, shp2, shp3};
        for (int i = 0; i < 4; ++i)
            batteries[i]->setBrushColor((reply[11] >> (4 + i)) & 1 ? QColor(0xFFFFFF) : empty);
        edtCyc1->setText(QString::number(reply[12]));
        edtCyc2->setText(QString::number(reply[13]));
        edtCyc3->setText(QString::number(reply[14]));
    } catch (...) {
    }
}

void TfrmMain::chkRefreshClick() {
    if (chkRefresh->isChecked())
        tmrRefresh->start();
    else
        tmrRefresh->stop();
}

void TfrmMain::tmrRefreshTimer() {
    // Replies are not matched to requests: a read started inside another
    // exchange's wait would take that exchange's reply (a mode query or the
    // LED levels an update carries over). The next tick reads instead.
    if (m_replyWaits > 0)
        return;
    btnRead->click();
}

void TfrmMain::btnStartAdjClick() {
    if (!m_currentHub)
        return;
    try {
        HubRequest request;
        if (SendFrame(CmdStartLedAdjust, request) != 0)
            return;
        // Moving the bars sends frames, which reuse the reply buffer.
        const std::array<std::uint8_t, 64> reply = m_replyBuffer;
        const auto bars = trackBars();
        for (std::size_t i = 0; i < bars.size(); ++i) {
            // The bar keeps to its range: a level above 100 shows, and goes back, as 100.
            bars[i]->setValue(reply[5 + i]);
        }
        m_calibrationHeld = true;
    } catch (...) {
    }
}

void TfrmMain::trkLed1Change(QSlider* Sender) {
    if (!m_currentHub || !Sender)
        return;
    try {
        HubRequest request;
        request.assign(
            {static_cast<std::uint8_t>(trackBarTag(Sender)), static_cast<std::uint8_t>(Sender->value())});
        SendFrame(CmdSetLedLevel, request);
    } catch (...) {
    }
}

void TfrmMain::btnEndAdjClick() {
    if (!m_currentHub)
        return;
    try {
        HubRequest request;
        SendFrame(CmdEndLedAdjust, request);
    } catch (...) {
    }
}
