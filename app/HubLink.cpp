// The hub link of the window: its current hub's session, and how the
// session's reports reach the controls.

#include "HidIap.h"
#include "HubUpdateLock.h"
#include "SafeText.h"
#include "ScopeExit.h"
#include "StateDatabase.h"

#include <QCheckBox>
#include <QFrame>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSlider>
#include <QTextCursor>

int TfrmMain::SendFrame(std::uint8_t command, const HubRequest& request) {
    return m_session.link().SendFrame(command, request);
}

int TfrmMain::SendFrameSub(std::uint8_t command, const HubRequest& request) {
    return m_session.link().SendFrameSub(command, request);
}

int TfrmMain::WaitReply() {
    return m_session.link().WaitReply();
}

void TfrmMain::HubDataReceived(THidDevice* HidDev, std::uint8_t ReportID, const std::uint8_t* Data,
                               std::uint16_t Size) {
    m_session.link().HubDataReceived(HidDev, ReportID, Data, Size);
}

bool TfrmMain::refusedWhileBusy(const QString& what) {
    if (!hubBusy())
        return false;
    const QString text =
        QStringLiteral("%1: not now, another exchange with the hub is still running.").arg(what);
    mmoUplog->appendPlainText(text);
    ShowStatus(text);
    return true;
}

void TfrmMain::ConnectSession() {
    m_session.setLocator(&m_roster);
    m_session.setCalibrationStore(&m_calibrationStore);
    // Shared with the command line: one update per hub, one history.
    if (!m_calibrationStore.filePath().isEmpty())
        m_session.setUpdateLockFolder(HubUpdateLock::folderFor(m_calibrationStore.filePath()));
    m_session.setHistory(&m_history);
    // The first look at the state imports the older state files, once; the log says so.
    m_calibrationStore.entry(QString());
    for (const QString& note : StateDatabase::takeNotes())
        mmoUplog->appendPlainText(note);
    // Direct connections: the session runs on this thread and its reports
    // must show before its next step. They may quote a hub's serial number or
    // an image file's line: a control character in them is shown, not obeyed.
    connect(&m_session, &HubSession::logLine, this,
            [this](const QString& text) { mmoUplog->appendPlainText(safeText(text)); });
    connect(&m_session, &HubSession::logAppend, this, [this](const QString& text) {
        QTextCursor cursor(mmoUplog->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(safeText(text));
    });
    connect(&m_session, &HubSession::statusText, this,
            [this](const QString& text) { ShowStatus(safeText(text)); });
    connect(&m_session, &HubSession::progressRange, this, [this](int maximum) {
        pbProgram->setMaximum(maximum);
        pbMsg->setMaximum(maximum);
    });
    connect(&m_session, &HubSession::progress, this, [this](int value) {
        pbProgram->setValue(value);
        pbMsg->setValue(value);
    });
    connect(&m_session, &HubSession::linkIndicator, this, [this](int index) { SetIndicator(index); });
    connect(&m_session, &HubSession::ledLevelsRead, this, [this](const HubSession::LedLevels& levels) {
        const auto bars = trackBars();
        // The bars' handler sends what moved, as the read is meant to.
        const bool showing = m_showingLevelsRead;
        m_showingLevelsRead = true;
        const ScopeExit shown([this, showing] { m_showingLevelsRead = showing; });
        for (std::size_t i = 0; i < bars.size(); ++i) {
            // The bar keeps to its range: a level above 100 shows, and goes back, as 100.
            bars[i]->setValue(levels[i]);
        }
    });
    connect(&m_session, &HubSession::stageChanged, this, [this](HubSession::Stage stage) {
        if (stage == HubSession::Stage::Started)
            pnlUpdate->setEnabled(false);
        else if (stage == HubSession::Stage::EnteringBootloader)
            chkRefresh->setChecked(false); // no running-data reads between the frames of the update
    });
}
