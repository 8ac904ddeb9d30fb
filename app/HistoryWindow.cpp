#include "HistoryWindow.h"

#include "AppVersion.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QString versionCell(const std::optional<std::uint32_t>& version) {
    return version ? FormatVersion(versionHexText(*version)) : QStringLiteral("-");
}

QString levelsCell(const std::optional<UpdateRecord::Levels>& levels) {
    if (!levels)
        return QStringLiteral("-");
    QStringList parts;
    for (const std::uint8_t level : *levels)
        parts << QString::number(level);
    return parts.join(QLatin1Char(' '));
}

} // namespace

HistoryWindow::HistoryWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Update history"));
    setAccessibleName(QStringLiteral("Update history"));
    resize(900, 360);

    auto* hubLabel = new QLabel(QStringLiteral("&Hub:"), this);
    cbbHub = new QComboBox(this);
    cbbHub->setAccessibleName(QStringLiteral("Hub"));
    cbbHub->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    hubLabel->setBuddy(cbbHub);
    lblCount = new QLabel(this);

    grdRecords = new QTableWidget(0, 9, this);
    grdRecords->setAccessibleName(QStringLiteral("Update records, newest first"));
    grdRecords->setHorizontalHeaderLabels(
        {QStringLiteral("Time"), QStringLiteral("Hub"), QStringLiteral("Before"), QStringLiteral("After"),
         QStringLiteral("Result"), QStringLiteral("Levels read"), QStringLiteral("Levels written"),
         QStringLiteral("Program"), QStringLiteral("What was said")});
    grdRecords->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdRecords->setSelectionBehavior(QAbstractItemView::SelectRows);
    grdRecords->verticalHeader()->hide();
    grdRecords->horizontalHeader()->setStretchLastSection(true);

    auto* filterRow = new QHBoxLayout;
    filterRow->addWidget(hubLabel);
    filterRow->addWidget(cbbHub);
    filterRow->addStretch();
    filterRow->addWidget(lblCount);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filterRow);
    layout->addWidget(grdRecords);

    connect(cbbHub, &QComboBox::currentIndexChanged, this, [this] { fill(); });
}

void HistoryWindow::setRecords(const QList<UpdateRecord>& records) {
    m_records = records;
    std::stable_sort(m_records.begin(), m_records.end(),
                     [](const UpdateRecord& a, const UpdateRecord& b) { return a.time > b.time; });
    QStringList hubs;
    for (const UpdateRecord& r : m_records) {
        if (!hubs.contains(r.hub))
            hubs << r.hub;
    }
    hubs.sort();
    const QString chosen = cbbHub->currentData().toString();
    const QSignalBlocker quiet(cbbHub);
    cbbHub->clear();
    cbbHub->addItem(QStringLiteral("All hubs"), QString());
    for (const QString& hub : hubs)
        cbbHub->addItem(hub, hub);
    cbbHub->setCurrentIndex(std::max(0, cbbHub->findData(chosen)));
    fill();
}

QStringList HistoryWindow::hubs() const {
    QStringList keys;
    for (int i = 1; i < cbbHub->count(); ++i)
        keys << cbbHub->itemData(i).toString();
    return keys;
}

void HistoryWindow::filterHub(const QString& hub) {
    cbbHub->setCurrentIndex(std::max(0, cbbHub->findData(hub)));
}

void HistoryWindow::fill() {
    const QString hub = cbbHub->currentData().toString();
    grdRecords->setRowCount(0);
    for (const UpdateRecord& r : m_records) {
        if (!hub.isEmpty() && r.hub != hub)
            continue;
        const int row = grdRecords->rowCount();
        grdRecords->insertRow(row);
        const QStringList cells{r.time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                                r.hub,
                                versionCell(r.versionBefore),
                                versionCell(r.versionAfter),
                                r.result,
                                levelsCell(r.levelsRead),
                                levelsCell(r.levelsWritten),
                                r.program,
                                r.resultText};
        for (int c = 0; c < cells.size(); ++c)
            grdRecords->setItem(row, c, new QTableWidgetItem(cells[c]));
    }
    grdRecords->resizeColumnsToContents();
    lblCount->setText(
        m_records.isEmpty()
            ? QStringLiteral("No update has been recorded.")
            : QStringLiteral("%1 of %2 records").arg(grdRecords->rowCount()).arg(m_records.size()));
}
