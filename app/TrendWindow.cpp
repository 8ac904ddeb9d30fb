#include "TrendWindow.h"

#include <QDateTime>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int LeftMargin = 64, RightMargin = 64, TopMargin = 24, BottomMargin = 44;
const QColor VoltageColour(0x1F, 0x5F, 0xBF);
const QColor CurrentColour(0xD0, 0x60, 0x10);

// The lowest and highest value, a little apart so a flat line sits in the middle.
std::pair<int, int> rangeOf(const std::deque<RunDataTrend::Sample>& samples,
                            int RunDataTrend::Sample::*value) {
    if (samples.empty())
        return {0, 1};
    const auto [low, high] =
        std::minmax_element(samples.begin(), samples.end(),
                            [value](const auto& a, const auto& b) { return a.*value < b.*value; });
    const int lo = (*low).*value, hi = (*high).*value;
    const int pad = std::max(1, (hi - lo) / 10);
    return {std::max(0, lo - pad), hi + pad};
}

} // namespace

TrendChart::TrendChart(const RunDataTrend& trend, QWidget* parent) : QWidget(parent), m_trend(trend) {
    setMinimumSize(420, 220);
    setAccessibleName(QStringLiteral("Voltage and current over time"));
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
}

QRectF TrendChart::plotArea() const {
    return QRectF(LeftMargin, TopMargin, std::max(1, width() - LeftMargin - RightMargin),
                  std::max(1, height() - TopMargin - BottomMargin));
}

double TrendChart::timeX(qint64 atMs) const {
    const QRectF area = plotArea();
    const auto& samples = m_trend.samples();
    const qint64 first = samples.front().atMs, last = samples.back().atMs;
    if (last == first)
        return area.right();
    return area.left() + area.width() * double(atMs - first) / double(last - first);
}

std::vector<QPointF> TrendChart::points(int RunDataTrend::Sample::*value) const {
    std::vector<QPointF> out;
    const auto& samples = m_trend.samples();
    if (samples.empty())
        return out;
    const QRectF area = plotArea();
    const auto [lo, hi] = rangeOf(samples, value);
    for (const RunDataTrend::Sample& s : samples)
        out.emplace_back(timeX(s.atMs),
                         area.bottom() - area.height() * double(s.*value - lo) / double(hi - lo));
    return out;
}

std::vector<QPointF> TrendChart::voltagePoints() const {
    return points(&RunDataTrend::Sample::voltage);
}

std::vector<QPointF> TrendChart::currentPoints() const {
    return points(&RunDataTrend::Sample::current);
}

std::vector<double> TrendChart::markPositions() const {
    std::vector<double> out;
    for (const RunDataTrend::Mark& mark : m_trend.batteryMarks())
        out.push_back(timeX(mark.atMs));
    return out;
}

void TrendChart::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF area = plotArea();
    const QColor text = palette().color(QPalette::Text);
    p.setPen(QPen(palette().color(QPalette::Mid), 1));
    p.drawRect(area);
    const auto& samples = m_trend.samples();
    if (samples.empty()) {
        p.setPen(text);
        p.drawText(area, Qt::AlignCenter, QStringLiteral("No readings yet"));
        return;
    }
    const auto line = [&p](const std::vector<QPointF>& pts, const QColor& colour) {
        QPainterPath path(pts.front());
        for (std::size_t i = 1; i < pts.size(); ++i)
            path.lineTo(pts[i]);
        p.setPen(QPen(colour, 2));
        p.drawPath(path);
        if (pts.size() == 1)
            p.drawEllipse(pts.front(), 2, 2);
    };
    line(voltagePoints(), VoltageColour);
    line(currentPoints(), CurrentColour);

    // Each scale in its line's colour, on its side.
    const auto [vLo, vHi] = rangeOf(samples, &RunDataTrend::Sample::voltage);
    const auto [cLo, cHi] = rangeOf(samples, &RunDataTrend::Sample::current);
    const QFontMetrics fm(font());
    p.setPen(VoltageColour);
    p.drawText(QRectF(0, area.top() - 8, LeftMargin - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("%1 mV").arg(vHi));
    p.drawText(QRectF(0, area.bottom() - 8, LeftMargin - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("%1 mV").arg(vLo));
    p.drawText(QPointF(area.left(), fm.ascent() + 2), QStringLiteral("voltage"));
    p.setPen(CurrentColour);
    p.drawText(QRectF(area.right() + 6, area.top() - 8, RightMargin - 6, 16),
               Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("%1 mA").arg(cHi));
    p.drawText(QRectF(area.right() + 6, area.bottom() - 8, RightMargin - 6, 16),
               Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("%1 mA").arg(cLo));
    p.drawText(QRectF(area.left(), 2, area.width(), fm.height()), Qt::AlignRight, QStringLiteral("current"));

    // The time axis: first and last reading, and a mark where a slot filled (+) or emptied (-).
    p.setPen(text);
    const auto clock = [](qint64 ms) {
        return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("HH:mm:ss"));
    };
    p.drawText(QPointF(area.left(), area.bottom() + fm.height() + 18), clock(samples.front().atMs));
    const QString lastText = clock(samples.back().atMs);
    p.drawText(QPointF(area.right() - fm.horizontalAdvance(lastText), area.bottom() + fm.height() + 18),
               lastText);
    // A filled mark: a battery put in; a hollow one: taken out. Labels that
    // would run into the one before are left to the marks and the figures.
    double labelEnd = -1e9;
    for (const RunDataTrend::Mark& mark : m_trend.batteryMarks()) {
        const double x = timeX(mark.atMs);
        const QPolygonF triangle({QPointF(x, area.bottom()), QPointF(x - 4, area.bottom() + 7),
                                  QPointF(x + 4, area.bottom() + 7)});
        p.setBrush(mark.present ? text : palette().color(QPalette::Base));
        p.drawPolygon(triangle);
        const QString label =
            QString::number(mark.slot) + (mark.present ? QLatin1Char('+') : QLatin1Char('-'));
        if (x - 6 > labelEnd) {
            p.drawText(QPointF(x - 6, area.bottom() + 8 + fm.ascent()), label);
            labelEnd = x - 6 + fm.horizontalAdvance(label) + 4;
        }
    }
}

TrendWindow::TrendWindow(const RunDataTrend& trend, QWidget* parent)
    : QWidget(parent, Qt::Window), m_trend(trend) {
    setWindowTitle(QStringLiteral("Running data trend"));
    setAccessibleName(QStringLiteral("Running data trend"));
    chart = new TrendChart(trend, this);
    lblSummary = new QLabel(this);
    lblSummary->setWordWrap(true);
    lblSummary->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    lblSummary->setFocusPolicy(Qt::StrongFocus); // the figures are reached by Tab, and read
    lblSummary->setAccessibleName(QStringLiteral("Figures"));
    btnSave = new QPushButton(QStringLiteral("&Save as CSV..."), this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnSave);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(chart, 1);
    layout->addWidget(lblSummary);
    layout->addLayout(buttons);
    connect(btnSave, &QPushButton::clicked, this, &TrendWindow::btnSaveClick);
    refresh();
}

void TrendWindow::refresh() {
    const QString figures = m_trend.summary();
    lblSummary->setText(figures);
    chart->setAccessibleDescription(figures);
    chart->update();
}

QString TrendWindow::saveCsv(const QString& fileName) const {
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return file.errorString();
    if (file.write(m_trend.csv().toUtf8()) < 0)
        return file.errorString();
    return QString();
}

void TrendWindow::btnSaveClick() {
    const QString fileName =
        QFileDialog::getSaveFileName(this, QStringLiteral("Save the readings"),
                                     QStringLiteral("running-data.csv"), QStringLiteral("CSV files (*.csv)"));
    if (fileName.isEmpty())
        return;
    if (const QString error = saveCsv(fileName); !error.isEmpty())
        QMessageBox::warning(this, QStringLiteral("Save the readings"),
                             QStringLiteral("Cannot write %1: %2").arg(fileName, error));
}
