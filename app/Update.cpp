// The update procedure: the session runs it, the window shows it.

#include "HidIap.h"
#include "ScopeExit.h"

#include <QFrame>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>

int TfrmMain::QueryHubMode() {
    return int(m_session.QueryHubMode());
}

bool TfrmMain::WaitForHubMode(int limitMs, int wanted) {
    return m_session.WaitForHubMode(limitMs, HubSession::Mode(wanted));
}

bool TfrmMain::EnterBootloader() {
    return m_session.EnterBootloader();
}

void TfrmMain::btnUpdateClick() {
    if (refusedWhileBusy(QStringLiteral("Update")))
        return;
    ++m_exchanges;
    const ScopeExit done([this] { --m_exchanges; });
    mmoUplog->clear();
    pbProgram->setValue(0);
    // The session takes the panel once it starts (see ConnectSession); every
    // exit after that gives it back, also one by an error escaping a handler.
    // A refusal before the start leaves it alone.
    bool started = false;
    const QMetaObject::Connection watchStart =
        connect(&m_session, &HubSession::stageChanged, this, [&started](HubSession::Stage stage) {
            started = started || stage == HubSession::Stage::Started;
        });
    const ScopeExit enablePanel([this, &started, &watchStart] {
        disconnect(watchStart);
        if (started)
            pnlUpdate->setEnabled(true);
    });
    // The update follows the hub it starts with, by its identity, across
    // its restarts; the window's first hub is the current one again after.
    if (THidDevice* hub = currentHub())
        m_roster.follow(hub);
    const ScopeExit unfollow([this] { m_roster.stopFollowing(); });
    if (m_session.runUpdate(m_firmwareImage) != HubSession::UpdateResult::CalibrationUnreadable ||
        m_automaticUpdate)
        return;
    // Losing the calibration is the user's choice, never the default.
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, QStringLiteral("Update"),
        QStringLiteral("The LED calibration could not be read from the hub, so it cannot be carried "
                       "across the update.\n\nErase it and update anyway? The hub then gets the new "
                       "firmware's default LED levels."),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    m_session.setDiscardCalibration(true);
    const ScopeExit carryAgain([this] { m_session.setDiscardCalibration(false); });
    m_session.runUpdate(m_firmwareImage);
}
