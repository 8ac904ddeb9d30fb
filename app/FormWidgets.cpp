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
