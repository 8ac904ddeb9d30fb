// Automatic update: every hub taken while the box is checked is checked,
// updated and checked again, without a click.

#include "HidIap.h"
#include "ScopeExit.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFrame>
#include <QPushButton>
#include <QTimer>

void TfrmMain::chkAutoPRGClick() {
    const bool automatic = chkAutoPRG->isChecked();
    if (!automatic)
        tmrAuto->stop();
    else if (!tmrAuto->isActive())
        tmrAuto->start();
    btnConnect->setEnabled(!automatic);
    btnUpdate->setEnabled(!automatic);
}

void TfrmMain::tmrAutoTimer() {
    if (!m_autoUpdateArmed)
        return;
    // A hub taken during an update (it comes back after its reboot) or any
    // other exchange waits until that has ended: never one inside another.
    if (hubBusy())
        return;
    // One tick passes between taking the hub and starting, so it can settle.
    if (m_armingDelay == 0) {
        m_armingDelay = 1;
        return;
    }
    m_armingDelay = 0;

    // The version check pumps messages while it waits for replies. Stopped
    // already here, the timer cannot start the sequence inside itself, however
    // the event loop treats a timer whose handler is still running.
    tmrAuto->stop();
    chkAutoPRG->setEnabled(false);
    const ScopeExit backToWatching([this] {
        // Arming by the hub coming back during the sequence is not a new hub.
        m_autoUpdateArmed = false;
        tmrAuto->start();
        chkAutoPRG->setEnabled(true);
    });

    btnConnectClick();
    try {
        QCoreApplication::processEvents();
        // Never asks: a hub whose calibration cannot be read is left alone.
        m_automaticUpdate = true;
        const ScopeExit asked([this] { m_automaticUpdate = false; });
        btnUpdateClick();
        QCoreApplication::processEvents();
        btnConnectClick();
    } catch (...) {
        // Whatever the update met already shows in its log; nothing more to say here.
    }
}

void TfrmMain::tbshtToolShow() {
    pnl2->setVisible(chkAutoPRG->isChecked());
}

void TfrmMain::tbshtToolHide() {
    pnl2->hide();
}
