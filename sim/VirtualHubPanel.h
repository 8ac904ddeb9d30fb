#pragma once

// A small control window for the virtual hub: plug state, firmware version and
// mode, the fault knobs and the live frame trace.

#include "HubModel.h"

#include <QWidget>

class QCheckBox;
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
    QCheckBox* silentBox() const { return m_silent; }
    QSpinBox* replyDelayBox() const { return m_replyDelay; }
    // Empty: the hub has no serial number.
    QLineEdit* serialEdit() const { return m_serialEdit; }

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
    QCheckBox* m_silent;
    QCheckBox* m_wrongMarker;
    QCheckBox* m_neverReturn;
    QCheckBox* m_stayInBootloader;
    QCheckBox* m_bootOldFirmware;
    QCheckBox* m_usbTiming;
    QSpinBox* m_replyDelay;
    QSpinBox* m_unsolicited;
    QSpinBox* m_unplugAfter;
    QSpinBox* m_resultFrame;
    QSpinBox* m_resultByte;
    QPlainTextEdit* m_trace;
};
