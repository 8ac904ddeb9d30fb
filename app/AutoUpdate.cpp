// Automatic update: every hub taken while the box is checked is checked,
// updated and checked again, without a click.

#include "AutoUpdate.h"

#include "ErrorReport.h"
#include "FormLayout.h"
#include "HubPort.h"
#include "ScopeExit.h"
#include "UpdatePage.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>

using namespace formlayout;

AutoUpdate::AutoUpdate(HubPort& hub, UpdatePage& page, QWidget* strip, QObject* parent)
    : QObject(parent), chkAutoPRG(new QCheckBox(QStringLiteral("chkAutoPRG"))), tmrAuto(new QTimer(this)),
      pnl2(place(new QFrame(strip), 88, 6, 609, 25)),
      lbl23(label(pnl2, QStringLiteral("自动升级："), 15, 5, 60)),
      pbMsg(place(new QProgressBar(pnl2), 75, 3, 217, 14)),
      lblMsg(label(pnl2, QStringLiteral("lblMsg"), 295, 3, 609 - 295, 16)), m_hub(hub), m_page(page) {
    page.placeAutomaticBox(chkAutoPRG);
    pnl2->hide();
    pbMsg->setTextVisible(false);
    pbMsg->setValue(0);
    pbMsg->setAccessibleName(QStringLiteral("Automatic update progress"));
    const QFont statusFont = pixelFont(QStringLiteral("宋体"), 12, true);
    for (QLabel* l : {lbl23, lblMsg}) {
        l->setFont(statusFont);
        setTextColor(l, Qt::white);
    }
    // Runs from the start; it does nothing until a hub arms it.
    tmrAuto->setInterval(500);
    tmrAuto->start();

    using errorreport::guarded;
    connect(chkAutoPRG, &QCheckBox::toggled, this, guarded([this] { chkAutoPRGClick(); }));
    connect(tmrAuto, &QTimer::timeout, this, guarded([this] { tmrAutoTimer(); }));
    connect(&page, &UpdatePage::progressShown, this, [this](int value, int maximum) {
        pbMsg->setMaximum(maximum);
        pbMsg->setValue(value);
    });
}

void AutoUpdate::setFixedTexts() {
    chkAutoPRG->setText(QStringLiteral("Automatically update when new hub is plugged in"));
}

void AutoUpdate::showStatus(const QString& text) {
    if (!pnl2->isHidden())
        lblMsg->setText(text);
}

void AutoUpdate::servicePageShown(bool shown) {
    pnl2->setVisible(shown && chkAutoPRG->isChecked());
}

void AutoUpdate::hubTaken() {
    if (chkAutoPRG->isChecked() && !m_hub.session().updateInProgress())
        m_armed = true;
}

void AutoUpdate::chkAutoPRGClick() {
    const bool automatic = chkAutoPRG->isChecked();
    if (!automatic)
        tmrAuto->stop();
    else if (!tmrAuto->isActive())
        tmrAuto->start();
    m_page.setAutomatic(automatic);
}

void AutoUpdate::tmrAutoTimer() {
    if (!m_armed)
        return;
    // A hub taken during an update (it comes back after its reboot) or any
    // other exchange waits until that has ended: never one inside another.
    if (m_hub.busy())
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
    m_running = true;
    const ScopeExit backToWatching([this] {
        // Arming by the hub coming back during the sequence is not a new hub.
        m_armed = false;
        m_running = false;
        tmrAuto->start();
        chkAutoPRG->setEnabled(true);
    });

    m_page.btnConnectClick();
    try {
        QCoreApplication::processEvents();
        // Never asks: a hub whose calibration cannot be read is left alone.
        m_page.setAskBeforeLosingCalibration(false);
        const ScopeExit asked([this] { m_page.setAskBeforeLosingCalibration(true); });
        m_page.btnUpdateClick();
        QCoreApplication::processEvents();
        m_page.btnConnectClick();
    } catch (...) {
        // Whatever the update met already shows in its log; nothing more to say here.
    }
}
