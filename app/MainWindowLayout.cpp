// The window's frame as designed: the page control with its pages, the
// bottom strip and the hub list. The pages lay out their own controls.
#include "AutoUpdate.h"
#include "FormLayout.h"
#include "HidIap.h"
#include "HomePage.h"
#include "ResourceLookup.h"
#include "ServicePage.h"
#include "UpdatePage.h"

#include <QComboBox>
#include <QLabel>
#include <QTabBar>
#include <QTabWidget>

using namespace formlayout;

namespace {

QPixmap lamp(const QString& name) {
    return QPixmap(resources::findResource(QStringLiteral("LED"), name));
}

} // namespace

void TfrmMain::BuildLayout() {
    setFixedSize(859, 587);
    setWindowTitle(windowName());
    {
        QFont f = font();
        f.setPixelSize(12);
        setFont(f);
    }

    pnlPages = place(new QFrame(this), 27, 152, 786, 359);
    fillWhite(pnlPages);
    pgcMain = place(new QTabWidget(pnlPages), 0, 0, 786, 359);
    pgcMain->setTabPosition(QTabWidget::South);
    pgcMain->setDocumentMode(true);
    pgcMain->tabBar()->setFixedHeight(21);
    // The skin's title and module captions use the bold form of the header's designed font.
    setLabelFont(pixelFont(QStringLiteral("Arial"), 13));
    tbshtHome = new HomePage;
    tbshtUpdate = new UpdatePage(*this, m_firmwareImage);
    tbshtTool = new ServicePage(*this);
    pgcMain->addTab(tbshtHome, QStringLiteral("Home"));
    pgcMain->addTab(tbshtUpdate, QStringLiteral("Update"));
    pgcMain->addTab(tbshtTool, QStringLiteral("Tool"));
    cbbPort = place(new QComboBox(tbshtUpdate), 40, 0, 145, 20);
    cbbPort->hide();
    cbbPort->setAccessibleName(QStringLiteral("Hubs"));

    // Bottom strip; it lets the window's own background show through.
    pnl1 = place(new QFrame(this), 0, height() - 33, width(), 33);
    imgIndicator = place(new QLabel(pnl1), 24, 4, 24, 24);
    automaticUpdate = new AutoUpdate(*this, *tbshtUpdate, pnl1, this);
    lbl10 = label(pnl1, QStringLiteral("lbl10"), 723, 7, width() - 723, 16);
    lbl10->setFont(pixelFont(QStringLiteral("Arial"), 12));
    setTextColor(lbl10, Qt::white);
    ilLED = {lamp(QStringLiteral("LedGreen.png")), lamp(QStringLiteral("LedRed.png"))};
    nameControls();
}

void TfrmMain::nameControls() {
    lblHead = tbshtHome->lblHead;
    pnlHelp = tbshtHome->pnlHelp;
    lblHelp = tbshtHome->lblHelp;
    pnlReleaseNotes = tbshtHome->pnlReleaseNotes;
    mmoReleaseNotes = tbshtHome->mmoReleaseNotes;

    const UpdatePage& update = *tbshtUpdate;
    pnlUpdate = update.pnlUpdate;
    btnConnect = update.btnConnect;
    btnUpdate = update.btnUpdate;
    grpFirmware = update.grpFirmware;
    lblDeviceVersion = update.lblDeviceVersion;
    lblUpdateAvail = update.lblUpdateAvail;
    lblThisVersion = update.lblThisVersion;
    lblLog = update.lblLog;
    mmoUplog = update.mmoUplog;
    pbProgram = update.pbProgram;

    const AutoUpdate& automatic = *automaticUpdate;
    chkAutoPRG = automatic.chkAutoPRG;
    tmrAuto = automatic.tmrAuto;
    pnl2 = automatic.pnl2;
    lbl23 = automatic.lbl23;
    pbMsg = automatic.pbMsg;
    lblMsg = automatic.lblMsg;

    const ServicePage& service = *tbshtTool;
    grpRunData = service.grpRunData;
    edtVolt = service.edtVolt;
    edtCurr = service.edtCurr;
    edtChannel = service.edtChannel;
    edtState = service.edtState;
    edtCyc1 = service.edtCyc1;
    edtCyc2 = service.edtCyc2;
    edtCyc3 = service.edtCyc3;
    shp0 = service.shp0;
    shp1 = service.shp1;
    shp2 = service.shp2;
    shp3 = service.shp3;
    shp4 = service.shp4;
    shp5 = service.shp5;
    btnRead = service.btnRead;
    chkRefresh = service.chkRefresh;
    btnTrend = service.btnTrend;
    grpLedAdjust = service.grpLedAdjust;
    trkLed1 = service.trkLed1;
    trkLed2 = service.trkLed2;
    trkLed3 = service.trkLed3;
    trkLed4 = service.trkLed4;
    trkLed5 = service.trkLed5;
    trkLed6 = service.trkLed6;
    trkLed7 = service.trkLed7;
    trkLed8 = service.trkLed8;
    btnStartAdj = service.btnStartAdj;
    btnEndAdj = service.btnEndAdj;
    tmrRefresh = service.tmrRefresh;
}
