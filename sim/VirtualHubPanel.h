#pragma once

// A small control window for the virtual hub: plug state, firmware version and
// mode, the fault knobs and the live frame trace.

#include "HubFaultNames.h"

#include <map>

#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class VirtualHub;

class VirtualHubPanel : public QWidget {
    Q_OBJECT
public:
    // Lines kept in the trace view; older ones scroll away.
    static constexpr int TraceLines = 400;

    explicit VirtualHubPanel(VirtualHub& hub, QWidget* parent = nullptr);

    // One trace line as shown: time in ms since the panel opened, direction, bytes.
    static QString formatTraceLine(double ms, bool fromHub, const QByteArray& bytes);

    QPushButton* plugButton() const { return m_plug; }
    QLabel* versionLabel() const { return m_version; }
    QLabel* modeLabel() const { return m_mode; }
    QPlainTextEdit* traceView() const { return m_trace; }
    // The control of a fault, as the fault names list them: a check box for
    // a fault without a value, a spin box (0: off) for one with; nullptr for
    // the faults shown otherwise (fail: the result row; no-serial: the
    // serial number's field).
    QCheckBox* faultBox(hubsim::FaultKind kind) const;
    QSpinBox* faultSpinBox(hubsim::FaultKind kind) const;
    QCheckBox* silentBox() const { return faultBox(hubsim::FaultKind::Silent); }
    QSpinBox* replyDelayBox() const { return faultSpinBox(hubsim::FaultKind::Slow); }
    // Empty: the hub has no serial number.
    QLineEdit* serialEdit() const { return m_serialEdit; }
    // The running data's scene (hubsim::Scene as item data).
    QComboBox* sceneBox() const { return m_scene; }

private:
    void refreshState();
    void applyFaults();
    void armResultOnFrame();
    void appendTrace(qint64 timeNs, bool fromHub, const QByteArray& bytes);

    VirtualHub& m_hub;
    qint64 m_startNs;
    QPushButton* m_plug;
    QLabel* m_version;
    QLabel* m_mode;
    QLineEdit* m_versionEdit;
    QLineEdit* m_serialEdit;
    QComboBox* m_scene;
    std::map<hubsim::FaultKind, QCheckBox*> m_faultBoxes;
    std::map<hubsim::FaultKind, QSpinBox*> m_faultSpinBoxes;
    QSpinBox* m_resultFrame;
    QSpinBox* m_resultByte;
    QPlainTextEdit* m_trace;
};
