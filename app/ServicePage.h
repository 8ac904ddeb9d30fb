#pragma once

#include "FormWidgets.h"
#include "RunDataTrend.h"

#include <array>

class HubPort;
class QCheckBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QSlider;
class QTimer;
class TrendWindow;

// The service page: the hub's running data and its LED level calibration.
// It talks to the hub through the port alone.
class ServicePage : public TabSheet {
    Q_OBJECT
public:
    explicit ServicePage(HubPort& hub, QWidget* parent = nullptr);

    void btnReadClick();
    void chkRefreshClick();
    void tmrRefreshTimer();
    void btnStartAdjClick();
    void trkLed1Change(QSlider* Sender);
    void btnEndAdjClick();
    void btnTrendClick();

    // trkLed1..trkLed8 in channel order.
    std::array<QSlider*, 8> trackBars() const;
    // Channel number that a track bar sends to the hub.
    static int trackBarTag(const QSlider* bar);

    QGroupBox* const grpRunData;
    QLineEdit* const edtVolt;
    QLineEdit* const edtCurr;
    QLineEdit* const edtChannel;
    QLineEdit* const edtState;
    QLineEdit* const edtCyc1;
    QLineEdit* const edtCyc2;
    QLineEdit* const edtCyc3;
    // The frame and its bar first, so that the slot shapes lie on top of them.
    ShapeWidget* const shp4;
    ShapeWidget* const shp5;
    ShapeWidget* const shp0;
    ShapeWidget* const shp1;
    ShapeWidget* const shp2;
    ShapeWidget* const shp3;
    QPushButton* const btnRead;
    QCheckBox* const chkRefresh;
    // Opens the trend of the readings the automatic refresh takes.
    QPushButton* const btnTrend;
    QGroupBox* const grpLedAdjust;
    // Each track bar carries its channel number as the "Tag" property.
    QSlider* const trkLed1;
    QSlider* const trkLed2;
    QSlider* const trkLed3;
    QSlider* const trkLed4;
    QSlider* const trkLed5;
    QSlider* const trkLed6;
    QSlider* const trkLed7;
    QSlider* const trkLed8;
    QPushButton* const btnStartAdj;
    QPushButton* const btnEndAdj;
    QTimer* const tmrRefresh;

    RunDataTrend runTrend;
    TrendWindow* frmTrend = nullptr;

private:
    void layOut();
    void connectHandlers();

    HubPort& m_hub;
    // The levels read are being put on the bars: their handler must send them.
    bool m_showingLevelsRead = false;
};
