#pragma once

// The trend of the running data: voltage and current of the last ten minutes
// of the service page's automatic refresh as a chart, the battery slots as
// marks on the time axis where they change, the same figures as text, and
// the readings saved as CSV.

#include "RunDataTrend.h"

#include <QPointF>
#include <QWidget>

#include <vector>

class QLabel;
class QPushButton;

// The chart itself, drawn with QPainter.
class TrendChart : public QWidget {
    Q_OBJECT
public:
    explicit TrendChart(const RunDataTrend& trend, QWidget* parent = nullptr);

    // The lines as drawn, in widget coordinates: time to the right, higher values up.
    std::vector<QPointF> voltagePoints() const;
    std::vector<QPointF> currentPoints() const;
    // Where each battery mark stands on the time axis.
    std::vector<double> markPositions() const;
    QRectF plotArea() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<QPointF> points(int RunDataTrend::Sample::*value) const;
    double timeX(qint64 atMs) const;

    const RunDataTrend& m_trend;
};

class TrendWindow : public QWidget {
    Q_OBJECT
public:
    TrendWindow(const RunDataTrend& trend, QWidget* parent = nullptr);

    // A reading was added: redraws and retells the figures.
    void refresh();
    // Writes the readings; the error in words, or empty.
    QString saveCsv(const QString& fileName) const;

    TrendChart* chart = nullptr;
    QLabel* lblSummary = nullptr;
    QPushButton* btnSave = nullptr;

private:
    void btnSaveClick();

    const RunDataTrend& m_trend;
};
