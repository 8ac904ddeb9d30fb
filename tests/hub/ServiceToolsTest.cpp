// What leads to the service page and what it adds: the window menu, the
// update history window and the running data trend.

#include "FormWidgets.h"
#include "HistoryWindow.h"
#include "HubTestSupport.h"
#include "SkinMessage.h"
#include "TrendWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimeZone>

using namespace hubtest;

namespace {

class ServiceTools : public WindowWithHub {};

TEST_F(ServiceTools, TheMenuButtonOpensTheMenuThatLeadsToTheServicePage) {
    window->show();
    QCoreApplication::postEvent(window.get(),
                                new SkinMessage(SkinMessage::ModuleMessage, TSkinForm::MenuButtonId,
                                                window->FindCaptionButton(TSkinForm::MenuButtonId)));
    ASSERT_TRUE(testsupport::waitUntil([&] { return window->mnuWindow->isVisible(); }));
    QStringList entries;
    for (const QAction* action : window->mnuWindow->actions())
        entries << action->text();
    EXPECT_EQ(entries, (QStringList{QStringLiteral("&Service tool"), QStringLiteral("Update &history"),
                                    QStringLiteral("&About")}));
    EXPECT_EQ(window->mnuWindow->accessibleName(), QStringLiteral("Window menu"));
    EXPECT_EQ(window->mnuWindow->activeAction(), window->mnuWindow->actions().first()); // Enter takes it
    window->mnuWindow->actions().first()->trigger();
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return window->pgcMain->currentWidget() == static_cast<QWidget*>(window->tbshtTool); }));

    window->mnuWindow->actions().at(1)->trigger();
    ASSERT_NE(window->frmHistory, nullptr);
    EXPECT_TRUE(window->frmHistory->isVisible());
}

TEST(HistoryWindowTest, NewestFirstAndFilteredByHub) {
    const auto record = [](const char* hub, int minute, const char* result) {
        UpdateRecord r;
        r.time = QDateTime(QDate(2024, 5, 1), QTime(12, minute), Qt::UTC);
        r.hub = QString::fromLatin1(hub);
        r.result = QString::fromLatin1(result);
        return r;
    };
    HistoryWindow w;
    w.setRecords({record("serial:B", 1, "Completed"), record("serial:A", 3, "Timeout"),
                  record("serial:B", 2, "CalibrationChanged")});
    EXPECT_EQ(w.hubs(), (QStringList{QStringLiteral("serial:A"), QStringLiteral("serial:B")}));
    ASSERT_EQ(w.grdRecords->rowCount(), 3);
    EXPECT_EQ(w.grdRecords->item(0, 4)->text(), QStringLiteral("Timeout"));
    EXPECT_EQ(w.grdRecords->item(2, 4)->text(), QStringLiteral("Completed"));
    w.filterHub(QStringLiteral("serial:B"));
    ASSERT_EQ(w.grdRecords->rowCount(), 2);
    EXPECT_EQ(w.grdRecords->item(0, 4)->text(), QStringLiteral("CalibrationChanged"));
    EXPECT_EQ(w.lblCount->text(), QStringLiteral("2 of 3 records"));
    // New records keep the hub chosen.
    w.setRecords({record("serial:B", 5, "Completed"), record("serial:A", 6, "Completed")});
    EXPECT_EQ(w.grdRecords->rowCount(), 1);
    w.filterHub(QString());
    EXPECT_EQ(w.grdRecords->rowCount(), 2);
}

TEST(TrendChartTest, TheSeriesFollowTheReadings) {
    RunDataTrend trend;
    const int volts[] = {3400, 3600, 3500, 4200};
    const int amps[] = {1000, 1000, 500, 100};
    const std::uint8_t batteries[] = {0x10, 0x10, 0x50, 0x40};
    for (int i = 0; i < 4; ++i) {
        hubreply::RunData d;
        d.voltage = volts[i];
        d.current = amps[i];
        d.batteries = batteries[i];
        trend.add(1000 * i, d);
    }
    TrendWindow w(trend);
    w.chart->resize(600, 300);
    const QRectF area = w.chart->plotArea();
    const std::vector<QPointF> v = w.chart->voltagePoints(), c = w.chart->currentPoints();
    ASSERT_EQ(v.size(), 4u);
    ASSERT_EQ(c.size(), 4u);
    // Time runs left to right across the plot, evenly for even steps.
    EXPECT_DOUBLE_EQ(v.front().x(), area.left());
    EXPECT_DOUBLE_EQ(v.back().x(), area.right());
    EXPECT_NEAR(v[2].x() - v[1].x(), v[1].x() - v[0].x(), 1e-9);
    // Higher values stand higher, each line on its own scale within the plot.
    EXPECT_LT(v[1].y(), v[2].y());
    EXPECT_LT(v[2].y(), v[0].y());
    EXPECT_LT(v[3].y(), v[1].y());
    EXPECT_DOUBLE_EQ(c[0].y(), c[1].y());
    EXPECT_GT(c[3].y(), c[2].y());
    for (const QPointF& p : v)
        EXPECT_TRUE(area.contains(p));
    // Slot 3 filled at the third reading, slot 1 emptied at the fourth.
    const std::vector<double> marks = w.chart->markPositions();
    ASSERT_EQ(marks.size(), 2u);
    EXPECT_DOUBLE_EQ(marks[0], v[2].x());
    EXPECT_DOUBLE_EQ(marks[1], v[3].x());
    EXPECT_EQ(w.chart->accessibleDescription(), trend.summary());
}

TEST_F(ServiceTools, TheAutomaticRefreshFeedsTheTrendAndASingleReadDoesNot) {
    window->btnRead->click();
    EXPECT_TRUE(window->tbshtTool->runTrend.samples().empty());
    window->chkRefresh->setChecked(true);
    window->tbshtTool->tmrRefreshTimer();
    window->tbshtTool->tmrRefreshTimer();
    window->chkRefresh->setChecked(false);
    ASSERT_EQ(window->tbshtTool->runTrend.samples().size(), 2u);
    EXPECT_EQ(window->tbshtTool->runTrend.samples().back().voltage, hubsim::RunData{}.voltage);
    window->btnTrend->click();
    ASSERT_NE(window->tbshtTool->frmTrend, nullptr);
    EXPECT_TRUE(window->tbshtTool->frmTrend->lblSummary->text().contains(QStringLiteral("2 readings")));

    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("trend.csv"));
    ASSERT_TRUE(window->tbshtTool->frmTrend->saveCsv(file).isEmpty());
    QFile saved(file);
    ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
    EXPECT_EQ(saved.readAll().count('\n'), 3);
}

} // namespace
