// The window's controls as designed: positions, sizes, fonts, captions and
// initial states. Captions that the program replaces at start-up
// (SetFixedTexts, FormCreate) keep their control's name here.
#include "FormWidgets.h"
#include "HidIap.h"
#include "ResourceLookup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>

namespace {

void fillWhite(QWidget* w) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, Qt::white);
    pal.setColor(QPalette::Base, Qt::white);
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

template <typename W> W* place(W* w, int x, int y, int width, int height) {
    w->setGeometry(x, y, width, height);
    return w;
}

// Labels are sized to hold the longest text the program puts into them.
QLabel* label(QWidget* parent, const QString& text, int x, int y, int width = 60, int height = 14) {
    return place(new QLabel(text, parent), x, y, width, height);
}

QLineEdit* edit(QWidget* parent, int x, int y, int width) {
    return place(new QLineEdit(parent), x, y, width, 23);
}

RoundedPanel* roundedPanel(QWidget* parent, int x, int y, int width, int height) {
    return place(new RoundedPanel(parent), x, y, width, height);
}

QFont pixelFont(const QString& family, int pixelSize, bool bold = false) {
    QFont font(family);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

void setTextColor(QWidget* w, const QColor& color) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::WindowText, color);
    w->setPalette(pal);
}

QPixmap lamp(const QString& name) {
    return QPixmap(resources::findResource(QStringLiteral("LED"), name));
}

} // namespace

std::array<QSlider*, 8> TfrmMain::trackBars() const {
    return {trkLed1, trkLed2, trkLed3, trkLed4, trkLed5, trkLed6, trkLed7, trkLed8};
}

int TfrmMain::trackBarTag(const QSlider* bar) {
    return bar->property("Tag").toInt();
}

void TfrmMain::BuildLayout() {
    setFixedSize(859, 587);
    setWindowTitle(windowName());
    {
        QFont f = font();
        f.setPixelSize(12);
        setFont(f);
    }

    // Pages.
    pnlPages = place(new QFrame(this), 27, 152, 786, 359);
    fillWhite(pnlPages);
    pgcMain = place(new QTabWidget(pnlPages), 0, 0, 786, 359);
    pgcMain->setTabPosition(QTabWidget::South);
    pgcMain->setDocumentMode(true);
    pgcMain->tabBar()->setFixedHeight(21);
    tbshtHome = new TabSheet;
    tbshtUpdate = new TabSheet;
    tbshtTool = new TabSheet;
    pgcMain->addTab(tbshtHome, QStringLiteral("Home"));
    pgcMain->addTab(tbshtUpdate, QStringLiteral("Update"));
    pgcMain->addTab(tbshtTool, QStringLiteral("Tool"));

    // Home page.
    lblHead = label(tbshtHome, QStringLiteral("lblHead"), 40, 33, 300, 16);
    lblHead->setFont(pixelFont(font().family(), 13));
    // The skin's title and module captions use the bold form of the header's designed font.
    setLabelFont(pixelFont(QStringLiteral("Arial"), 13));
    pnlHelp = roundedPanel(tbshtHome, 33, 56, 379, 277);
    lblHelp = label(pnlHelp, QStringLiteral("lblHelp"), 9, 9, 361, 210);
    lblHelp->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    pnlReleaseNotes = roundedPanel(tbshtHome, 426, 55, 341, 279);
    mmoReleaseNotes = place(new QPlainTextEdit(pnlReleaseNotes), 18, 24, 305, 231);
    mmoReleaseNotes->setReadOnly(true);
    mmoReleaseNotes->setFrameShape(QFrame::NoFrame);
    mmoReleaseNotes->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    fillWhite(mmoReleaseNotes);

    // Update page.
    cbbPort = place(new QComboBox(tbshtUpdate), 40, 0, 145, 20);
    cbbPort->hide();
    pnlUpdate = place(new QFrame(tbshtUpdate), 40, 24, 273, 33);
    fillWhite(pnlUpdate);
    btnConnect = place(new QPushButton(QStringLiteral("btnConnect"), pnlUpdate), 2, 6, 110, 25);
    btnUpdate = place(new QPushButton(QStringLiteral("btnUpdate"), pnlUpdate), 163, 6, 110, 25);
    grpFirmware = place(new QGroupBox(QStringLiteral("grpFirmware"), tbshtUpdate), 40, 64, 289, 185);
    lblDeviceVersion = label(grpFirmware, QString(17, QLatin1Char(' ')), 16, 28, 265, 15);
    lblUpdateAvail = label(grpFirmware, QStringLiteral("lblUpdateAvail"), 16, 48, 265, 15);
    lblThisVersion = label(grpFirmware, QStringLiteral("lblThisVersion"), 16, 68, 265, 15);
    lblThisVersion->setFont(pixelFont(QStringLiteral("Arial"), 12, true)); // the version an update brings
    chkAutoPRG = place(new QCheckBox(QStringLiteral("chkAutoPRG"), tbshtUpdate), 43, 258, 294, 17);
    lblLog = label(tbshtUpdate, QStringLiteral("lblLog"), 344, 32);
    mmoUplog = place(new QPlainTextEdit(tbshtUpdate), 344, 48, 441, 233);
    mmoUplog->setReadOnly(true);
    mmoUplog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pbProgram = place(new QProgressBar(tbshtUpdate), 40, 297, 745, 17);
    pbProgram->setTextVisible(false);
    pbProgram->setValue(0);

    // Service page: running data.
    grpRunData = place(new QGroupBox(QStringLiteral("运行数据"), tbshtTool), 40, 32, 265, 305);
    QLabel* const lblVolt = label(grpRunData, QStringLiteral("电压"), 43, 36, 34);
    QLabel* const lblCurr = label(grpRunData, QStringLiteral("电流"), 43, 60, 34);
    QLabel* const lblChannel = label(grpRunData, QStringLiteral("通道"), 43, 84, 34);
    QLabel* const lblState = label(grpRunData, QStringLiteral("状态"), 43, 108, 34);
    edtVolt = edit(grpRunData, 80, 32, 139);
    edtCurr = edit(grpRunData, 80, 56, 139);
    edtChannel = edit(grpRunData, 80, 80, 169);
    edtState = edit(grpRunData, 80, 104, 33);
    edtCyc1 = edit(grpRunData, 120, 104, 33);
    edtCyc2 = edit(grpRunData, 160, 104, 33);
    edtCyc3 = edit(grpRunData, 208, 104, 33);
    // Each edit is named after its label; the three after the state share its row and label.
    lblVolt->setBuddy(edtVolt);
    lblCurr->setBuddy(edtCurr);
    lblChannel->setBuddy(edtChannel);
    lblState->setBuddy(edtState);
    edtCyc1->setAccessibleName(QStringLiteral("状态 2"));
    edtCyc2->setAccessibleName(QStringLiteral("状态 3"));
    edtCyc3->setAccessibleName(QStringLiteral("状态 4"));
    edtVolt->setAccessibleDescription(QStringLiteral("MV"));
    edtCurr->setAccessibleDescription(QStringLiteral("MA"));
    label(grpRunData, QStringLiteral("MV"), 221, 36, 30);
    label(grpRunData, QStringLiteral("MA"), 221, 60, 30);
    label(grpRunData, QStringLiteral("在位状态"), 43, 143, 80);
    // The frame and its bar first, so that the slot shapes lie on top of them.
    shp4 = place(new ShapeWidget(grpRunData), 43, 176, 198, 76);
    shp5 = place(new ShapeWidget(grpRunData), 43, 193, 9, 41);
    shp0 = place(new ShapeWidget(grpRunData), 156, 176, 49, 19);
    shp1 = place(new ShapeWidget(grpRunData), 68, 176, 49, 19);
    shp2 = place(new ShapeWidget(grpRunData), 82, 233, 49, 19);
    shp3 = place(new ShapeWidget(grpRunData), 178, 233, 49, 19);
    label(grpRunData, QStringLiteral("电池2"), 78, 160, 40);
    label(grpRunData, QStringLiteral("电池1"), 166, 160, 40);
    label(grpRunData, QStringLiteral("电池3"), 92, 253, 40);
    label(grpRunData, QStringLiteral("电池4"), 188, 253, 40);
    shp0->setAccessibleName(QStringLiteral("电池1"));
    shp1->setAccessibleName(QStringLiteral("电池2"));
    shp2->setAccessibleName(QStringLiteral("电池3"));
    shp3->setAccessibleName(QStringLiteral("电池4"));
    btnRead = place(new QPushButton(QStringLiteral("读取"), grpRunData), 48, 267, 75, 25);
    chkRefresh = place(new QCheckBox(QStringLiteral("自动刷新"), grpRunData), 136, 272, 97, 17);
    // Above the group, where the page has room: no control of the page moves for it.
    btnTrend = place(new QPushButton(QStringLiteral("Running data &trend..."), tbshtTool), 40, 4, 160, 23);
    btnTrend->setAccessibleDescription(
        QStringLiteral("Shows voltage and current of the last ten minutes of automatic refresh"));

    // Service page: LED colour adjustment.
    grpLedAdjust = place(new QGroupBox(QStringLiteral("LED颜色调节"), tbshtTool), 312, 32, 481, 305);
    static const char* const ledCaptions[8] = {"LED1红", "LED2红", "LED3红", "LED4红",
                                               "LED1绿", "LED2绿", "LED3绿", "LED4绿"};
    static const int rowY[4] = {48, 104, 168, 229};
    static const int captionY[4] = {32, 88, 152, 213};
    QSlider** bars[8] = {&trkLed1, &trkLed2, &trkLed3, &trkLed4, &trkLed5, &trkLed6, &trkLed7, &trkLed8};
    for (int i = 0; i < 8; ++i) {
        const bool right = i >= 4;
        const int row = i % 4;
        QLabel* caption =
            label(grpLedAdjust, QString::fromUtf8(ledCaptions[i]), right ? 344 : 109, captionY[row], 60);
        auto* bar = place(new QSlider(Qt::Horizontal, grpLedAdjust), right ? 248 : 13, rowY[row], 225, 32);
        caption->setBuddy(bar);
        bar->setRange(0, 100);
        bar->setValue(50);
        bar->setTickInterval(5);
        bar->setTickPosition(QSlider::TicksBelow);
        bar->setPageStep(2);
        bar->setProperty("Tag", i + 1);
        *bars[i] = bar;
    }
    btnStartAdj = place(new QPushButton(QStringLiteral("读取﹠开始"), grpLedAdjust), 69, 267, 97, 25);
    btnEndAdj = place(new QPushButton(QStringLiteral("写入﹠结束"), grpLedAdjust), 304, 267, 83, 25);

    // Bottom strip; it lets the window's own background show through.
    pnl1 = place(new QFrame(this), 0, height() - 33, width(), 33);
    imgIndicator = place(new QLabel(pnl1), 24, 4, 24, 24);
    pnl2 = place(new QFrame(pnl1), 88, 6, 609, 25);
    pnl2->hide();
    const QFont statusFont = pixelFont(QStringLiteral("宋体"), 12, true);
    lbl23 = label(pnl2, QStringLiteral("自动升级："), 15, 5, 60);
    pbMsg = place(new QProgressBar(pnl2), 75, 3, 217, 14);
    pbMsg->setTextVisible(false);
    pbMsg->setValue(0);
    lblMsg = label(pnl2, QStringLiteral("lblMsg"), 295, 3, 609 - 295, 16);
    for (QLabel* l : {lbl23, lblMsg}) {
        l->setFont(statusFont);
        setTextColor(l, Qt::white);
    }
    lbl10 = label(pnl1, QStringLiteral("lbl10"), 723, 7, width() - 723, 16);
    lbl10->setFont(pixelFont(QStringLiteral("Arial"), 12));
    setTextColor(lbl10, Qt::white);

    // Components without a place on screen.
    tmrAuto = new QTimer(this);
    tmrAuto->setInterval(500);
    tmrAuto->start();
    tmrRefresh = new QTimer(this);
    tmrRefresh->setInterval(1000);
    ilLED = {lamp(QStringLiteral("LedGreen.png")), lamp(QStringLiteral("LedRed.png"))};
}
