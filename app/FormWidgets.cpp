#include "FormWidgets.h"

#include <QPainter>
#include <QShowEvent>

ShapeWidget::ShapeWidget(QWidget* parent) : QWidget(parent) {}

void ShapeWidget::setBrushColor(const QColor& color) {
    if (color == m_brushColor)
        return;
    m_brushColor = color;
    update();
}

void ShapeWidget::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setPen(QPen(penColor(), 1));
    painter.setBrush(m_brushColor);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

RoundedPanel::RoundedPanel(QWidget* parent) : QWidget(parent) {}

void RoundedPanel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0xA0, 0xA0, 0xA0), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
}

TabSheet::TabSheet(QWidget* parent) : QWidget(parent) {
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
}

void TabSheet::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous())
        emit shown();
}

void TabSheet::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!event->spontaneous())
        emit hidden();
}
