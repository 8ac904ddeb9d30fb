#include "VirtualHubPanel.h"

#include "HubTrace.h"
#include "VirtualHub.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QSpinBox* spinBox(int maximum, const QString& specialZero = {}) {
    auto* box = new QSpinBox;
    box->setRange(0, maximum);
    if (!specialZero.isEmpty())
        box->setSpecialValueText(specialZero);
    return box;
}

} // namespace

VirtualHubPanel::VirtualHubPanel(VirtualHub& hub, QWidget* parent)
    : QWidget(parent), m_hub(hub), m_startNs(hubsim::HubTrace::nowNs()) {
    setWindowTitle(QStringLiteral("Virtual hub"));

    m_plug = new QPushButton;
    m_version = new QLabel;
    m_mode = new QLabel;
    m_versionEdit = new QLineEdit;
    m_versionEdit->setInputMask(QStringLiteral("HHHHHHHH"));
    m_versionEdit->setToolTip(QStringLiteral("Firmware version, 8 hex digits"));

    m_serialEdit = new QLineEdit(hub.serial());
    m_serialEdit->setMaxLength(63);
    m_serialEdit->setPlaceholderText(QStringLiteral("none"));
    m_serialEdit->setToolTip(
        QStringLiteral("Serial number from the next plug-in or restart; empty for none"));

    auto* state = new QGroupBox(QStringLiteral("Hub"));
    auto* stateForm = new QFormLayout(state);
    stateForm->addRow(m_plug);
    stateForm->addRow(QStringLiteral("Mode:"), m_mode);
    stateForm->addRow(QStringLiteral("Firmware:"), m_version);
    stateForm->addRow(QStringLiteral("Set firmware:"), m_versionEdit);
    stateForm->addRow(QStringLiteral("Serial number:"), m_serialEdit);

    m_silent = new QCheckBox(QStringLiteral("Silent"));
    m_wrongMarker = new QCheckBox(QStringLiteral("Wrong marker"));
    m_neverReturn = new QCheckBox(QStringLiteral("Never come back after reboot"));
    m_stayInBootloader = new QCheckBox(QStringLiteral("Stay in bootloader after reboot"));
    m_bootOldFirmware = new QCheckBox(QStringLiteral("Boot old firmware after reboot"));
    m_usbTiming = new QCheckBox(QStringLiteral("USB timing (1 ms each way)"));
    m_replyDelay = spinBox(5000, QStringLiteral("none"));
    m_replyDelay->setSuffix(QStringLiteral(" ms"));
    m_unsolicited = spinBox(10000, QStringLiteral("none"));
    m_unsolicited->setSuffix(QStringLiteral(" ms"));
    m_unplugAfter = spinBox(1000000, QStringLiteral("never"));
    m_resultFrame = spinBox(1000000);
    m_resultByte = spinBox(255);
    m_resultByte->setDisplayIntegerBase(16);
    m_resultByte->setPrefix(QStringLiteral("0x"));
    m_resultByte->setValue(1);
    auto* arm = new QPushButton(QStringLiteral("Arm"));

    auto* faults = new QGroupBox(QStringLiteral("Faults"));
    auto* faultForm = new QFormLayout(faults);
    for (QCheckBox* box :
         {m_silent, m_wrongMarker, m_neverReturn, m_stayInBootloader, m_bootOldFirmware, m_usbTiming})
        faultForm->addRow(box);
    faultForm->addRow(QStringLiteral("Reply after:"), m_replyDelay);
    faultForm->addRow(QStringLiteral("Unsolicited every:"), m_unsolicited);
    faultForm->addRow(QStringLiteral("Unplug after frame:"), m_unplugAfter);
    auto* resultRow = new QHBoxLayout;
    resultRow->addWidget(m_resultFrame);
    resultRow->addWidget(m_resultByte);
    resultRow->addWidget(arm);
    faultForm->addRow(QStringLiteral("Result on frame:"), resultRow);

    m_trace = new QPlainTextEdit;
    m_trace->setReadOnly(true);
    m_trace->setMaximumBlockCount(TraceLines);
    m_trace->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_trace->setFont(QFont(QStringLiteral("Monospace"), 8));
    auto* clear = new QPushButton(QStringLiteral("Clear trace"));

    auto* left = new QVBoxLayout;
    left->addWidget(state);
    left->addWidget(faults);
    left->addStretch();
    auto* right = new QVBoxLayout;
    right->addWidget(m_trace);
    right->addWidget(clear, 0, Qt::AlignRight);
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(left);
    layout->addLayout(right, 1);
    resize(900, 480);

    const hubsim::HubFaults current = hub.faults();
    m_silent->setChecked(current.silent);
    m_wrongMarker->setChecked(current.wrongMarker);
    m_neverReturn->setChecked(current.neverReturnAfterReboot);
    m_stayInBootloader->setChecked(current.stayInBootloaderAfterReboot);
    m_bootOldFirmware->setChecked(current.bootOldFirmwareAfterReboot);
    m_usbTiming->setChecked(current.usbTiming);
    m_replyDelay->setValue(current.replyDelayMs);
    m_unsolicited->setValue(current.unsolicitedIntervalMs);
    m_unplugAfter->setValue(static_cast<int>(current.unplugAfterFrame));

    connect(m_serialEdit, &QLineEdit::editingFinished, this,
            [this] { m_hub.setSerial(m_serialEdit->text().trimmed()); });
    connect(m_plug, &QPushButton::clicked, this, [this] {
        if (m_hub.isPlugged())
            m_hub.unplug();
        else
            m_hub.plug();
        refreshState();
    });
    connect(m_versionEdit, &QLineEdit::editingFinished, this, [this] {
        bool ok = false;
        const quint32 version = m_versionEdit->text().toUInt(&ok, 16);
        if (ok && m_versionEdit->text().size() == 8)
            m_hub.setFirmwareVersion(version);
    });
    for (QCheckBox* box :
         {m_silent, m_wrongMarker, m_neverReturn, m_stayInBootloader, m_bootOldFirmware, m_usbTiming})
        connect(box, &QCheckBox::toggled, this, &VirtualHubPanel::applyFaults);
    for (QSpinBox* box : {m_replyDelay, m_unsolicited, m_unplugAfter})
        connect(box, &QSpinBox::valueChanged, this, &VirtualHubPanel::applyFaults);
    connect(arm, &QPushButton::clicked, this, &VirtualHubPanel::armResultOnFrame);
    connect(clear, &QPushButton::clicked, m_trace, &QPlainTextEdit::clear);

    connect(&hub, &VirtualHub::plugged, this, &VirtualHubPanel::refreshState);
    connect(&hub, &VirtualHub::unplugged, this, &VirtualHubPanel::refreshState);
    connect(&hub, &VirtualHub::modeChanged, this, &VirtualHubPanel::refreshState);
    connect(&hub, &VirtualHub::versionChanged, this, &VirtualHubPanel::refreshState);
    connect(&hub, &VirtualHub::traceAppended, this, &VirtualHubPanel::appendTrace);
    refreshState();
}

QString VirtualHubPanel::formatTraceLine(double ms, bool fromHub, const QByteArray& bytes) {
    // A frame is shown through its checksum; what follows is padding.
    qsizetype shown = bytes.size();
    if (bytes.size() >= 3 && quint8(bytes[1]) == 0x55 && quint8(bytes[2]) >= 5)
        shown = std::min<qsizetype>(bytes.size(), quint8(bytes[2]) + 1);
    QString line = QStringLiteral("%1 ms %2 ")
                       .arg(ms, 10, 'f', 3)
                       .arg(fromHub ? QStringLiteral("hub->host") : QStringLiteral("host->hub"));
    line += QString::fromLatin1(bytes.left(shown).toHex(' ').toUpper());
    if (shown < bytes.size())
        line += QStringLiteral(" ...");
    return line;
}

void VirtualHubPanel::refreshState() {
    const bool plugged = m_hub.isPlugged();
    m_plug->setText(plugged ? QStringLiteral("Unplug") : QStringLiteral("Plug in"));
    const bool bootloader = m_hub.mode() == hubsim::HubMode::Bootloader;
    QString mode = bootloader ? QStringLiteral("Bootloader") : QStringLiteral("Application");
    if (!plugged)
        mode += QStringLiteral(" (off the bus)");
    m_mode->setText(mode);
    m_version->setText(QStringLiteral("%1").arg(m_hub.firmwareVersion(), 8, 16, QLatin1Char('0')).toUpper());
    if (!m_versionEdit->hasFocus())
        m_versionEdit->setText(m_version->text());
}

void VirtualHubPanel::applyFaults() {
    hubsim::HubFaults f = m_hub.faults(); // keeps armed result bytes
    f.silent = m_silent->isChecked();
    f.wrongMarker = m_wrongMarker->isChecked();
    f.neverReturnAfterReboot = m_neverReturn->isChecked();
    f.stayInBootloaderAfterReboot = m_stayInBootloader->isChecked();
    f.bootOldFirmwareAfterReboot = m_bootOldFirmware->isChecked();
    f.usbTiming = m_usbTiming->isChecked();
    f.replyDelayMs = m_replyDelay->value();
    f.unsolicitedIntervalMs = m_unsolicited->value();
    f.unplugAfterFrame = static_cast<std::uint64_t>(m_unplugAfter->value());
    m_hub.setFaults(f);
}

void VirtualHubPanel::armResultOnFrame() {
    if (m_resultFrame->value() > 0)
        m_hub.model().setResultOnFrame(static_cast<std::uint64_t>(m_resultFrame->value()),
                                       static_cast<std::uint8_t>(m_resultByte->value()));
}

void VirtualHubPanel::appendTrace(qint64 timeNs, bool fromHub, const QByteArray& bytes) {
    m_trace->appendPlainText(formatTraceLine(double(timeNs - m_startNs) / 1e6, fromHub, bytes));
}
