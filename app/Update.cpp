// The update procedure: bootloader entry, the firmware image line by line,
// restart, and the LED calibration carried across.

#include "EventWait.h"
#include "HidIap.h"
#include "ScopeExit.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFrame>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTextCursor>

namespace {

// Lets the window paint and device changes be handled for the given time,
// without keeping a core busy.
void pauseInEventLoop(int ms) {
    if (ms <= 0)
        QCoreApplication::processEvents();
    else
        processEventsUntil({}, ms);
}

void setProgress(QProgressBar* a, QProgressBar* b, int value) {
    a->setValue(value);
    b->setValue(value);
}

void appendToLastLine(QPlainTextEdit* memo, const QString& text) {
    QTextCursor cursor(memo->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
}

} // namespace

int TfrmMain::QueryHubMode() {
    try {
        HubRequest request;
        request.setPayloadLength(0);
        const int result = SendFrame(CmdGetMode, request);
        if (result == 0)
            return m_replyBuffer[hubframe::ReplyDataAt] == 1 ? 1 : 0;
        if (result == 0xFF)
            return 2;
        return 0;
    } catch (...) {
        return 0;
    }
}

bool TfrmMain::WaitForHubMode(int limitMs, int wanted) {
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (clock.elapsed() >= limitMs)
            return false;
        pauseInEventLoop(timing.modePollMs);
        QCoreApplication::processEvents();
        if (RefreshHubs() && QueryHubMode() == wanted)
            return true;
    }
}

bool TfrmMain::EnterBootloader() {
    mmoUplog->appendPlainText(QStringLiteral("Enter bootloader mode..."));
    HubRequest request;
    request.setPayloadLength(0);
    // The hub may restart before it answers, so the answer says nothing.
    SendFrame(CmdEnterBootloader, request);
    return WaitForHubMode(timing.modeWaitMs, 1);
}

void TfrmMain::btnUpdateClick() {
    mmoUplog->clear();
    pbProgram->setValue(0);

    // A broken image would leave the hub half-programmed in its bootloader:
    // refuse it before a single frame goes out.
    if (!m_firmwareImage.isUsable()) {
        mmoUplog->appendPlainText(m_firmwareImage.problem());
        ShowStatus(m_firmwareImage.problem());
        return;
    }

    if (!m_currentHub) {
        mmoUplog->appendPlainText(QStringLiteral("Device disconnected."));
        ShowStatus(QStringLiteral("Device disconnected..."));
        return;
    }

    pnlUpdate->setEnabled(false);
    // Every exit gives the panel back, also one by an error escaping a handler.
    const ScopeExit enablePanel([this] { pnlUpdate->setEnabled(true); });
    m_calibrationHeld = false;

    if (QueryHubMode() == 2) {
        btnStartAdj->click();
        QCoreApplication::processEvents();
    }

    // No running-data reads between the frames of the update.
    chkRefresh->setChecked(false);

    bool inBootloader = false;
    {
        m_updateInProgress = true;
        const ScopeExit clearInProgress([this] { m_updateInProgress = false; });
        inBootloader = EnterBootloader();
    }
    if (!inBootloader) {
        mmoUplog->appendPlainText(QStringLiteral("Enter bootloader error."));
        ShowStatus(QStringLiteral("Enter bootloader error."));
        return;
    }

    mmoUplog->appendPlainText(QStringLiteral("Programming..."));
    ShowStatus(QStringLiteral("Programming..."));

    const int lastLine = m_firmwareImage.count() - 1;
    pbProgram->setMaximum(lastLine);
    pbMsg->setMaximum(lastLine);
    setProgress(pbProgram, pbMsg, 0);
    QCoreApplication::processEvents();

    // One record for every frame: the block write re-sends the data bytes the
    // block data of the same line left in it.
    HubRequest request;
    const auto lineFailed = [this] {
        mmoUplog->appendPlainText(QStringLiteral("Timeout."));
        SetIndicator(1);
    };
    for (int i = 0; i <= lastLine; ++i) {
        setProgress(pbProgram, pbMsg, i);
        const std::optional<FirmwareLine> line = FirmwareImage::readLine(m_firmwareImage.line(i));
        if (!line) {
            lineFailed();
            return;
        }
        if (!line->isData())
            continue;

        const int n = line->byteCount;
        for (std::size_t k = 0; k < 4; ++k)
            request.setPayload(k, 0);
        request.setPayloadLength(n + 1);
        for (qsizetype k = 0; k < line->data.size(); ++k)
            request.setPayload(4 + static_cast<std::size_t>(k), static_cast<std::uint8_t>(line->data.at(k)));
        if (SendFrame(CmdBlockData, request) != 0) {
            lineFailed();
            return;
        }

        request.setPayload(0, static_cast<std::uint8_t>(line->address & 0xFF));
        request.setPayload(1, static_cast<std::uint8_t>(line->address >> 8));
        request.setPayload(2, 0);
        request.setPayload(3, 0);
        request.setPayloadLength(n + 1);
        if (SendFrame(CmdBlockWrite, request) != 0) {
            lineFailed();
            return;
        }
    }
    setProgress(pbProgram, pbMsg, lastLine);

    request.setPayloadLength(0);
    SendFrame(CmdReboot, request);
    mmoUplog->appendPlainText(QStringLiteral("Reboot..."));
    ShowStatus(QStringLiteral("Reboot..."));

    if (!WaitForHubMode(timing.modeWaitMs, 2)) {
        mmoUplog->appendPlainText(QStringLiteral("Update fail."));
        ShowStatus(QStringLiteral("Update fail."));
        return;
    }
    appendToLastLine(mmoUplog, QStringLiteral("OK."));
    if (m_calibrationHeld) {
        // The new firmware starts with its own levels: write the held ones back.
        for (QSlider* bar : trackBars()) {
            trkLed1Change(bar);
            pauseInEventLoop(timing.ledWritePauseMs);
        }
        btnEndAdj->click();
    }
    mmoUplog->appendPlainText(QStringLiteral("Update completed."));
    ShowStatus(QStringLiteral("Update completed."));
}
