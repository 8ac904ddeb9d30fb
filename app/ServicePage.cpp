// The service page: the hub's running data and the LED level calibration.

#include "FormWidgets.h"
#include "HidIap.h"
#include "ScopeExit.h"
#include "TrendWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

void TfrmMain::btnReadClick() {
    if (!currentHub() || refusedWhileBusy(QStringLiteral("Read")))
        return;
    ++m_exchanges;
    const ScopeExit done([this] { --m_exchanges; });
    // A failed read, on the link or in the display, changes nothing and says nothing.
    try {
        const std::optional<HubSession::RunData> run = m_session.readRunData();
        if (!run)
            return;
        edtVolt->setText(QString::number(run->voltage));
        edtCurr->setText(QString::number(run->current));
        edtState->setText(QString::number(run->state));
        edtChannel->setText(QString::number(run->channel));
        const QColor empty = QApplication::palette().color(QPalette::Highlight);
        ShapeWidget* const batteries[4] = {shp0, shp1, shp2, shp3};
        for (int i = 0; i < 4; ++i)
            batteries[i]->setBrushColor((run->batteries >> (4 + i)) & 1 ? QColor(0xFFFFFF) : empty);
        edtCyc1->setText(QString::number(run->cycles[0]));
        edtCyc2->setText(QString::number(run->cycles[1]));
        edtCyc3->setText(QString::number(run->cycles[2]));
        // The trend follows the automatic refresh, not a single read.
        if (tmrRefresh->isActive()) {
            runTrend.add(QDateTime::currentMSecsSinceEpoch(), *run);
            if (frmTrend)
                frmTrend->refresh();
        }
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
    if (hubBusy())
        return;
    btnRead->click();
}

void TfrmMain::btnStartAdjClick() {
    if (!currentHub() || refusedWhileBusy(QStringLiteral("Read and start")))
        return;
    ++m_exchanges;
    const ScopeExit done([this] { --m_exchanges; });
    // The bars follow the levels read (see ConnectSession).
    try {
        m_session.startLedAdjust();
    } catch (...) {
    }
}

void TfrmMain::trkLed1Change(QSlider* Sender) {
    if (!currentHub() || !Sender)
        return;
    // Levels just read are sent back in the reader's own exchange; a hand on
    // the bar meanwhile would nest its frame in another's wait. The bar then
    // shows a level the hub does not have: the next move sends it.
    if (!m_showingLevelsRead && refusedWhileBusy(QStringLiteral("LED level %1").arg(trackBarTag(Sender))))
        return;
    try {
        m_session.setLedLevel(trackBarTag(Sender), Sender->value());
    } catch (...) {
    }
}

void TfrmMain::btnEndAdjClick() {
    if (!currentHub() || refusedWhileBusy(QStringLiteral("Write and end")))
        return;
    ++m_exchanges;
    const ScopeExit done([this] { --m_exchanges; });
    try {
        m_session.endLedAdjust();
    } catch (...) {
    }
}

void TfrmMain::btnTrendClick() {
    if (!frmTrend)
        frmTrend = new TrendWindow(runTrend, this);
    frmTrend->refresh();
    frmTrend->show();
    frmTrend->raise();
    frmTrend->activateWindow();
}
