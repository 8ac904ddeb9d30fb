#include "VirtualHubPanel.h"

#include "HubTrace.h"
#include "VirtualHub.h"

#include <QCheckBox>
#include <QComboBox>
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
#include <string_view>

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
    // What the running data tell: batteries charging, slots filling and emptying.
    m_scene = new QComboBox;
    m_scene->setAccessibleName(QStringLiteral("Batteries"));
    m_scene->addItem(QStringLiteral("Fixed values"), int(hubsim::Scene::Fixed));
    m_scene->addItem(QStringLiteral("No battery"), int(hubsim::Scene::Idle));
    m_scene->addItem(QStringLiteral("Two charging"), int(hubsim::Scene::Charging));
    m_scene->addItem(QStringLiteral("Busy charger"), int(hubsim::Scene::Busy));
    m_scene->setCurrentIndex(m_scene->findData(int(hub.model().scene())));
    m_scene->setToolTip(
        QStringLiteral("The batteries in the hub's slots, as its running data tell them; a charge "
                       "takes about a minute"));
    stateForm->addRow(QStringLiteral("Batteries:"), m_scene);
    connect(m_scene, &QComboBox::activated, this,
            [this] { m_hub.model().setScene(hubsim::Scene(m_scene->currentData().toInt())); });

    m_resultFrame = spinBox(1000000);
    m_resultByte = spinBox(255);
    m_resultByte->setDisplayIntegerBase(16);
    m_resultByte->setPrefix(QStringLiteral("0x"));
    m_resultByte->setValue(1);
    auto* arm = new QPushButton(QStringLiteral("Arm"));

    auto* faults = new QGroupBox(QStringLiteral("Faults"));
    auto* faultForm = new QFormLayout(faults);
    const hubsim::HubFaults current = hub.faults();
    for (const hubsim::FaultInfo& info : hubsim::faultTable()) {
        if (info.kind == hubsim::FaultKind::Fail || info.kind == hubsim::FaultKind::NoSerial)
            continue;
        const std::optional<int> value = hubsim::faultValue(info.kind, current);
        if (!info.valueName) {
            auto* box = new QCheckBox(QString::fromUtf8(info.label));
            box->setToolTip(QString::fromUtf8(info.description));
            box->setChecked(value.has_value());
            faultForm->addRow(box);
            m_faultBoxes[info.kind] = box;
            continue;
        }
        const std::string_view unit = info.valueName;
        const bool ms = unit == "MS";
        auto* box = spinBox(std::min(info.maxValue, 1000000), ms                ? QStringLiteral("none")
                                                              : unit == "BYTES" ? QStringLiteral("all")
                                                                                : QStringLiteral("never"));
        if (ms)
            box->setSuffix(QStringLiteral(" ms"));
        box->setToolTip(QString::fromUtf8(info.description));
        box->setValue(value.value_or(0));
        faultForm->addRow(QString::fromUtf8(info.label), box);
        m_faultSpinBoxes[info.kind] = box;
    }
    auto* resultRow = new QHBoxLayout;
    resultRow->addWidget(m_resultFrame);
    resultRow->addWidget(m_resultByte);
    resultRow->addWidget(arm);
    faultForm->addRow(QString::fromUtf8(hubsim::faultInfo(hubsim::FaultKind::Fail).label), resultRow);

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
    for (const auto& [kind, box] : m_faultBoxes)
        connect(box, &QCheckBox::toggled, this, &VirtualHubPanel::applyFaults);
    for (const auto& [kind, box] : m_faultSpinBoxes)
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

QCheckBox* VirtualHubPanel::faultBox(hubsim::FaultKind kind) const {
    const auto it = m_faultBoxes.find(kind);
    return it == m_faultBoxes.end() ? nullptr : it->second;
}

QSpinBox* VirtualHubPanel::faultSpinBox(hubsim::FaultKind kind) const {
    const auto it = m_faultSpinBoxes.find(kind);
    return it == m_faultSpinBoxes.end() ? nullptr : it->second;
}

void VirtualHubPanel::applyFaults() {
    hubsim::HubFaults f = m_hub.faults(); // keeps armed result bytes
    for (const auto& [kind, box] : m_faultBoxes) {
        hubsim::clearFault(kind, f);
        if (box->isChecked())
            hubsim::applyFault({0, kind, 0}, f);
    }
    for (const auto& [kind, box] : m_faultSpinBoxes) {
        const int gap = hubsim::faultGap(kind, f); // set on the command line; no control of its own
        hubsim::clearFault(kind, f);
        if (box->value() > 0)
            hubsim::applyFault({0, kind, box->value(), gap}, f);
    }
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
