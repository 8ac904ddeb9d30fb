// The service page: the hub's running data and the LED level calibration.

#include "ServicePage.h"

#include "ErrorReport.h"
#include "FormLayout.h"
#include "HubPort.h"
#include "ScopeExit.h"
#include "TrendWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateTime>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QSlider>
#include <QTimer>

using namespace formlayout;

namespace {

QLineEdit* edit(QWidget* parent, int x, int y, int width) {
    return place(new QLineEdit(parent), x, y, width, 23);
}

// Bars 1 to 4 in the left column, 5 to 8 in the right, LED 1 at the top.
QSlider* ledBar(QWidget* group, int index) {
    static const int rowY[4] = {48, 104, 168, 229};
    auto* bar = place(new QSlider(Qt::Horizontal, group), index >= 4 ? 248 : 13, rowY[index % 4], 225, 32);
    bar->setRange(0, 100);
    bar->setValue(50);
    bar->setTickInterval(5);
    bar->setTickPosition(QSlider::TicksBelow);
    bar->setPageStep(2);
    bar->setProperty("Tag", index + 1);
    return bar;
}

} // namespace

ServicePage::ServicePage(HubPort& hub, QWidget* parent)
    : TabSheet(parent), grpRunData(place(new QGroupBox(QStringLiteral("运行数据"), this), 40, 32, 265, 305)),
      edtVolt(edit(grpRunData, 80, 32, 139)), edtCurr(edit(grpRunData, 80, 56, 139)),
      edtChannel(edit(grpRunData, 80, 80, 169)), edtState(edit(grpRunData, 80, 104, 33)),
      edtCyc1(edit(grpRunData, 120, 104, 33)), edtCyc2(edit(grpRunData, 160, 104, 33)),
      edtCyc3(edit(grpRunData, 208, 104, 33)), shp4(place(new ShapeWidget(grpRunData), 43, 176, 198, 76)),
      shp5(place(new ShapeWidget(grpRunData), 43, 193, 9, 41)),
      shp0(place(new ShapeWidget(grpRunData), 156, 176, 49, 19)),
      shp1(place(new ShapeWidget(grpRunData), 68, 176, 49, 19)),
      shp2(place(new ShapeWidget(grpRunData), 82, 233, 49, 19)),
      shp3(place(new ShapeWidget(grpRunData), 178, 233, 49, 19)),
      btnRead(place(new QPushButton(QStringLiteral("读取"), grpRunData), 48, 267, 75, 25)),
      chkRefresh(place(new QCheckBox(QStringLiteral("自动刷新"), grpRunData), 136, 272, 97, 17)),
      // Above the group, where the page has room: no control of the page moves for it.
      btnTrend(place(new QPushButton(QStringLiteral("Running data &trend..."), this), 40, 4, 160, 23)),
      grpLedAdjust(place(new QGroupBox(QStringLiteral("LED颜色调节"), this), 312, 32, 481, 305)),
      trkLed1(ledBar(grpLedAdjust, 0)), trkLed2(ledBar(grpLedAdjust, 1)), trkLed3(ledBar(grpLedAdjust, 2)),
      trkLed4(ledBar(grpLedAdjust, 3)), trkLed5(ledBar(grpLedAdjust, 4)), trkLed6(ledBar(grpLedAdjust, 5)),
      trkLed7(ledBar(grpLedAdjust, 6)), trkLed8(ledBar(grpLedAdjust, 7)),
      btnStartAdj(place(new QPushButton(QStringLiteral("读取﹠开始"), grpLedAdjust), 69, 267, 97, 25)),
      btnEndAdj(place(new QPushButton(QStringLiteral("写入﹠结束"), grpLedAdjust), 304, 267, 83, 25)),
      tmrRefresh(new QTimer(this)), m_hub(hub) {
    tmrRefresh->setInterval(1000);
    layOut();
    connectHandlers();
}

void ServicePage::layOut() {
    // Each edit is named after its label; the three after the state share its row and label.
    label(grpRunData, QStringLiteral("电压"), 43, 36, 34)->setBuddy(edtVolt);
    label(grpRunData, QStringLiteral("电流"), 43, 60, 34)->setBuddy(edtCurr);
    label(grpRunData, QStringLiteral("通道"), 43, 84, 34)->setBuddy(edtChannel);
    label(grpRunData, QStringLiteral("状态"), 43, 108, 34)->setBuddy(edtState);
    edtCyc1->setAccessibleName(QStringLiteral("状态 2"));
    edtCyc2->setAccessibleName(QStringLiteral("状态 3"));
    edtCyc3->setAccessibleName(QStringLiteral("状态 4"));
    edtVolt->setAccessibleDescription(QStringLiteral("MV"));
    edtCurr->setAccessibleDescription(QStringLiteral("MA"));
    label(grpRunData, QStringLiteral("MV"), 221, 36, 30);
    label(grpRunData, QStringLiteral("MA"), 221, 60, 30);
    label(grpRunData, QStringLiteral("在位状态"), 43, 143, 80);
    label(grpRunData, QStringLiteral("电池2"), 78, 160, 40);
    label(grpRunData, QStringLiteral("电池1"), 166, 160, 40);
    label(grpRunData, QStringLiteral("电池3"), 92, 253, 40);
    label(grpRunData, QStringLiteral("电池4"), 188, 253, 40);
    shp0->setAccessibleName(QStringLiteral("电池1"));
    shp1->setAccessibleName(QStringLiteral("电池2"));
    shp2->setAccessibleName(QStringLiteral("电池3"));
    shp3->setAccessibleName(QStringLiteral("电池4"));
    btnTrend->setAccessibleDescription(
        QStringLiteral("Shows voltage and current of the last ten minutes of automatic refresh"));

    static const char* const ledCaptions[8] = {"LED1红", "LED2红", "LED3红", "LED4红",
                                               "LED1绿", "LED2绿", "LED3绿", "LED4绿"};
    static const int captionY[4] = {32, 88, 152, 213};
    const auto bars = trackBars();
    for (int i = 0; i < 8; ++i) {
        label(grpLedAdjust, QString::fromUtf8(ledCaptions[i]), i >= 4 ? 344 : 109, captionY[i % 4], 60)
            ->setBuddy(bars[std::size_t(i)]);
    }
}

void ServicePage::connectHandlers() {
    // Each through guarded(): an error a handler lets escape is reported
    // there and never unwinds into the event loop. Check boxes and track bars
    // run their handlers also when the program changes them.
    using errorreport::guarded;
    connect(btnRead, &QPushButton::clicked, this, guarded([this] { btnReadClick(); }));
    connect(chkRefresh, &QCheckBox::toggled, this, guarded([this] { chkRefreshClick(); }));
    connect(tmrRefresh, &QTimer::timeout, this, guarded([this] { tmrRefreshTimer(); }));
    connect(btnStartAdj, &QPushButton::clicked, this, guarded([this] { btnStartAdjClick(); }));
    for (QSlider* bar : trackBars())
        connect(bar, &QSlider::valueChanged, this, guarded([this, bar] { trkLed1Change(bar); }));
    connect(btnEndAdj, &QPushButton::clicked, this, guarded([this] { btnEndAdjClick(); }));
    connect(btnTrend, &QPushButton::clicked, this, guarded([this] { btnTrendClick(); }));

    HubSession& session = m_hub.session();
    connect(&session, &HubSession::ledLevelsRead, this, [this](const HubSession::LedLevels& levels) {
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
    connect(&session, &HubSession::stageChanged, this, [this](HubSession::Stage stage) {
        if (stage == HubSession::Stage::EnteringBootloader)
            chkRefresh->setChecked(false); // no running-data reads between the frames of the update
    });
}

std::array<QSlider*, 8> ServicePage::trackBars() const {
    return {trkLed1, trkLed2, trkLed3, trkLed4, trkLed5, trkLed6, trkLed7, trkLed8};
}

int ServicePage::trackBarTag(const QSlider* bar) {
    return bar->property("Tag").toInt();
}

void ServicePage::btnReadClick() {
    if (!m_hub.hasHub() || refusedWhileBusy(m_hub, QStringLiteral("Read")))
        return;
    const HubExchange exchange(m_hub);
    // A failed read, on the link or in the display, changes nothing and says nothing.
    try {
        const std::optional<HubSession::RunData> run = m_hub.session().readRunData();
        if (!run)
            return;
        edtVolt->setText(QString::number(run->voltage));
        edtCurr->setText(QString::number(run->current));
        edtState->setText(QString::number(run->state));
        edtChannel->setText(QString::number(run->channel));
        const QColor empty = QApplication::palette().color(QPalette::Highlight);
        ShapeWidget* const batteries[4] = {shp0, shp1, shp2, shp3};
        for (int i = 0; i < 4; ++i)
            batteries[i]->setBrushColor((run->batteries >> (4 + i)) & 1 ? QColor(0xFFFFFF) : empty);
        edtCyc1->setText(QString::number(run->cycles[0]));
        edtCyc2->setText(QString::number(run->cycles[1]));
        edtCyc3->setText(QString::number(run->cycles[2]));
        // The trend follows the automatic refresh, not a single read.
        if (tmrRefresh->isActive()) {
            runTrend.add(QDateTime::currentMSecsSinceEpoch(), *run);
            if (frmTrend)
                frmTrend->refresh();
        }
    } catch (...) {
    }
}

void ServicePage::chkRefreshClick() {
    if (chkRefresh->isChecked())
        tmrRefresh->start();
    else
        tmrRefresh->stop();
}

void ServicePage::tmrRefreshTimer() {
    // Replies are not matched to requests: a read started inside another
    // exchange's wait would take that exchange's reply (a mode query or the
    // LED levels an update carries over). The next tick reads instead.
    if (m_hub.busy())
        return;
    btnRead->click();
}

void ServicePage::btnStartAdjClick() {
    if (!m_hub.hasHub() || refusedWhileBusy(m_hub, QStringLiteral("Read and start")))
        return;
    const HubExchange exchange(m_hub);
    // The bars follow the levels read (see connectHandlers).
    try {
        m_hub.session().startLedAdjust();
    } catch (...) {
    }
}

void ServicePage::trkLed1Change(QSlider* Sender) {
    if (!m_hub.hasHub() || !Sender)
        return;
    // Levels just read are sent back in the reader's own exchange; a hand on
    // the bar meanwhile would nest its frame in another's wait. The bar then
    // shows a level the hub does not have: the next move sends it.
    if (!m_showingLevelsRead &&
        refusedWhileBusy(m_hub, QStringLiteral("LED level %1").arg(trackBarTag(Sender))))
        return;
    try {
        m_hub.session().setLedLevel(trackBarTag(Sender), Sender->value());
    } catch (...) {
    }
}

void ServicePage::btnEndAdjClick() {
    if (!m_hub.hasHub() || refusedWhileBusy(m_hub, QStringLiteral("Write and end")))
        return;
    const HubExchange exchange(m_hub);
    try {
        m_hub.session().endLedAdjust();
    } catch (...) {
    }
}

void ServicePage::btnTrendClick() {
    if (!frmTrend)
        frmTrend = new TrendWindow(runTrend, this);
    frmTrend->refresh();
    frmTrend->show();
    frmTrend->raise();
    frmTrend->activateWindow();
}
