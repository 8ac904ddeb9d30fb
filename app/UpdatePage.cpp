// The Update page: the session runs the exchanges, the page shows them.

#include "UpdatePage.h"

#include "AppVersion.h"
#include "ErrorReport.h"
#include "FirmwareImage.h"
#include "FormLayout.h"
#include "HubPort.h"
#include "SafeText.h"
#include "ScopeExit.h"
#include "UpdateOutcome.h"

#include <QCheckBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCursor>
#include <QTextDocument>

using namespace formlayout;

namespace {

const QString AutomaticReason =
    QStringLiteral("Off while \"Automatically update when new hub is plugged in\" is ticked: every hub "
                   "plugged in is checked and updated without a click.");

} // namespace

UpdatePage::UpdatePage(HubPort& hub, const FirmwareImage& image, QWidget* parent)
    : TabSheet(parent), pnlUpdate(place(new QFrame(this), 40, 24, 273, 33)),
      btnConnect(place(new QPushButton(QStringLiteral("btnConnect"), pnlUpdate), 2, 6, 110, 25)),
      btnUpdate(place(new QPushButton(QStringLiteral("btnUpdate"), pnlUpdate), 163, 6, 110, 25)),
      grpFirmware(place(new QGroupBox(QStringLiteral("grpFirmware"), this), 40, 64, 289, 185)),
      lblDeviceVersion(label(grpFirmware, QString(17, QLatin1Char(' ')), 16, 28, 265, 15)),
      lblUpdateAvail(label(grpFirmware, QStringLiteral("lblUpdateAvail"), 16, 48, 265, 15)),
      lblThisVersion(label(grpFirmware, QStringLiteral("lblThisVersion"), 16, 68, 265, 15)),
      lblLog(label(this, QStringLiteral("lblLog"), 344, 32)),
      mmoUplog(place(new QPlainTextEdit(this), 344, 48, 441, 233)),
      pbProgram(place(new QProgressBar(this), 40, 297, 745, 17)), m_hub(hub), m_image(image) {
    fillWhite(pnlUpdate);
    lblThisVersion->setFont(pixelFont(QStringLiteral("Arial"), 12, true)); // the version an update brings
    mmoUplog->setReadOnly(true);
    mmoUplog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mmoUplog->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    mmoUplog->setTabChangesFocus(true);
    mmoUplog->setFocusPolicy(Qt::StrongFocus);
    lblLog->setBuddy(mmoUplog);
    pbProgram->setTextVisible(false);
    pbProgram->setValue(0);
    pbProgram->setAccessibleName(QStringLiteral("Update progress"));

    using errorreport::guarded;
    connect(btnConnect, &QPushButton::clicked, this, guarded([this] { btnConnectClick(); }));
    connect(btnUpdate, &QPushButton::clicked, this, guarded([this] { btnUpdateClick(); }));
    connect(mmoUplog->document(), &QTextDocument::contentsChanged, this, [this] { logChanged(); });
    showSessionReports();
}

void UpdatePage::setFixedTexts() {
    btnConnect->setText(QStringLiteral("&Check Version"));
    btnUpdate->setText(QStringLiteral("&Update"));
    grpFirmware->setTitle(QStringLiteral("Device"));
    lblLog->setText(QStringLiteral("Log:"));
}

void UpdatePage::clearVerdict() {
    lblUpdateAvail->clear();
    lblThisVersion->clear();
}

void UpdatePage::placeAutomaticBox(QCheckBox* box) {
    box->setParent(this);
    box->setGeometry(43, 258, 294, 17);
    // Tab goes through the page as it reads: the buttons, the box, the log.
    QWidget::setTabOrder(btnUpdate, box);
    QWidget::setTabOrder(box, mmoUplog);
}

void UpdatePage::appendLog(const QString& text) {
    mmoUplog->appendPlainText(text);
}

void UpdatePage::showSessionReports() {
    HubSession& session = m_hub.session();
    // Direct connections: the session runs on this thread and its reports
    // must show before its next step. They may quote a hub's serial number or
    // an image file's line: a control character in them is shown, not obeyed.
    connect(&session, &HubSession::logLine, this, [this](const QString& text) { appendLog(safeText(text)); });
    connect(&session, &HubSession::logAppend, this, [this](const QString& text) {
        QTextCursor cursor(mmoUplog->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertText(safeText(text));
    });
    connect(&session, &HubSession::progressRange, this, [this](int maximum) {
        pbProgram->setMaximum(maximum);
        emit progressShown(pbProgram->value(), maximum);
    });
    connect(&session, &HubSession::progress, this, [this](int value) {
        pbProgram->setValue(value);
        emit progressShown(value, pbProgram->maximum());
    });
    connect(&session, &HubSession::stageChanged, this, [this](HubSession::Stage stage) {
        if (stage == HubSession::Stage::Started)
            pnlUpdate->setEnabled(false);
    });
}

void UpdatePage::setAutomatic(bool automatic) {
    for (QPushButton* button : {btnConnect, btnUpdate}) {
        button->setEnabled(!automatic);
        button->setToolTip(automatic ? AutomaticReason : QString());
        button->setAccessibleDescription(automatic ? AutomaticReason : QString());
    }
    if (automatic)
        m_hub.showStatus(AutomaticReason);
}

void UpdatePage::btnConnectClick() {
    if (refusedWhileBusy(m_hub, QStringLiteral("Check Version")))
        return;
    const HubExchange exchange(m_hub);
    HubSession& session = m_hub.session();
    if (m_hub.takeSelectedHub()) {
        // Another program is updating it: the session said so; no frame goes out.
        if (session.hubTakenElsewhere())
            return;
        // A first query without payload; neither its result nor its reply is used.
        session.link().SendFrame(CmdGetVersion, HubRequest{});
    }
    if (!m_hub.hasHub()) {
        m_hub.showLink();
        appendLog(QStringLiteral("Device disconnected."));
        if (const QString why = m_hub.whyNoHub(); !why.isEmpty())
            appendLog(why);
        return;
    }

    if (const std::optional<std::uint32_t> version = session.readVersion()) {
        // A hub in its bootloader may still tell the version it ran: only the
        // mode says that it needs an update all the same.
        const bool inBootloader =
            *version >= m_image.version() && session.QueryHubMode() == HubSession::Mode::Bootloader;
        showVersion(*version, inBootloader);
        m_hub.showStatus(QStringLiteral("APP Version: ") + versionHexText(*version));
        if (inBootloader) {
            appendLog(QStringLiteral("The hub is %1.")
                          .arg(checkVerdict(SeenMode::Bootloader, version, m_image.version()).text));
        }
        emit announce(versionSummary());
    } else if (!session.hubTakenElsewhere()) {
        // In the words the command line's check uses for the same silence.
        UpdateFailure silent;
        silent.kind = UpdateFailure::Kind::NoAnswer;
        silent.command = CmdGetVersion;
        const UpdateOutcome outcome = describeFailure(silent);
        appendLog(outcome.text);
        appendLog(outcome.nextStep);
        m_hub.showStatus(outcome.text);
    }
    // The hub may have left during the check.
    m_hub.showLink();
}

void UpdatePage::showVersion(std::uint32_t version, bool inBootloader) {
    lblDeviceVersion->setText(QStringLiteral("Version: ") + FormatVersion(versionHexText(version)));
    const std::uint32_t imageVersion = m_image.version();
    if (version >= imageVersion && !inBootloader) {
        lblUpdateAvail->setText(QStringLiteral("No update available."));
        lblThisVersion->hide();
    } else {
        lblUpdateAvail->setText(QStringLiteral("Update available."));
        lblThisVersion->setText(QStringLiteral("New version: ") +
                                FormatVersion(versionHexText(imageVersion)));
        lblThisVersion->show();
    }
}

QString UpdatePage::versionSummary() const {
    QStringList said;
    for (const QLabel* label : {lblDeviceVersion, lblUpdateAvail, lblThisVersion}) {
        QString text = label->text().simplified();
        if (label->isHidden() || text.isEmpty())
            continue;
        if (!text.endsWith(QLatin1Char('.')))
            text += QLatin1Char('.');
        said << text;
    }
    return said.join(QLatin1Char(' '));
}

void UpdatePage::btnUpdateClick() {
    if (refusedWhileBusy(m_hub, QStringLiteral("Update")))
        return;
    const HubExchange exchange(m_hub);
    mmoUplog->clear();
    pbProgram->setValue(0);
    // The session takes the panel once it starts (see showSessionReports);
    // every exit after that gives it back, also one by an error escaping a
    // handler. A refusal before the start leaves it alone.
    bool started = false;
    const QMetaObject::Connection watchStart =
        connect(&m_hub.session(), &HubSession::stageChanged, this, [&started](HubSession::Stage stage) {
            started = started || stage == HubSession::Stage::Started;
        });
    const ScopeExit enablePanel([this, &started, &watchStart] {
        disconnect(watchStart);
        if (started)
            pnlUpdate->setEnabled(true);
        emit updateEnded();
    });
    HubSession::UpdateResult result = m_hub.runUpdate(m_image);
    if (result == HubSession::UpdateResult::CalibrationUnreadable && m_ask) {
        // Losing the calibration is the user's choice, never the default.
        const QMessageBox::StandardButton answer = QMessageBox::question(
            this, QStringLiteral("Update"),
            QStringLiteral("The LED calibration could not be read from the hub, so it cannot be carried "
                           "across the update.\n\nErase it and update anyway? The hub then gets the new "
                           "firmware's default LED levels."),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer == QMessageBox::Yes) {
            HubSession& session = m_hub.session();
            session.setDiscardCalibration(true);
            const ScopeExit carryAgain([&session] { session.setDiscardCalibration(false); });
            result = m_hub.runUpdate(m_image);
        }
    }
    showOutcome(result);
}

void UpdatePage::showOutcome(HubSession::UpdateResult result) {
    HubSession& session = m_hub.session();
    const UpdateFailure& failure = session.failure();
    if (result == HubSession::UpdateResult::NoHub) {
        if (const QString why = m_hub.whyNoHub(); !why.isEmpty())
            appendLog(why);
    } else if (failure.failed()) {
        // After the short word, where the hub was left and what to do, in
        // the command line's words.
        const UpdateOutcome outcome = describeFailure(failure);
        for (const QString& line : {outcome.whereLeft, outcome.nextStep}) {
            if (!line.isEmpty())
                appendLog(line);
        }
    }
    // What the hub told after its update, not what it ran before.
    if (const std::optional<std::uint32_t> after = session.versionAfter())
        showVersion(*after, false);
    // A full bar says every line went in and all is well: after a failure it
    // shows the lines written only while some are missing.
    if (failure.failed() && pbProgram->value() >= pbProgram->maximum()) {
        pbProgram->setValue(0);
        emit progressShown(0, pbProgram->maximum());
    }
    m_hub.showLink();
}

void UpdatePage::logChanged() {
    // The log grows at its end: new lines, or a last line that goes on
    // ("Reboot..." then "OK."). Each is said once, as it stands then.
    const QStringList lines = mmoUplog->toPlainText().split(QLatin1Char('\n'));
    qsizetype same = 0;
    while (same < lines.size() && same < m_logSeen.size() && lines[same] == m_logSeen[same])
        ++same;
    QStringList fresh;
    for (qsizetype i = same; i < lines.size(); ++i) {
        if (!lines[i].trimmed().isEmpty())
            fresh << lines[i];
    }
    m_logSeen = lines;
    if (!fresh.isEmpty())
        emit announce(fresh.join(QLatin1Char(' ')));
}
