#pragma once

// Small helpers for controls at fixed window coordinates, shared by the
// window and its pages.

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QString>
#include <QWidget>

namespace formlayout {

template <typename W> W* place(W* w, int x, int y, int width, int height) {
    w->setGeometry(x, y, width, height);
    return w;
}

// Labels are sized to hold the longest text the program puts into them.
inline QLabel* label(QWidget* parent, const QString& text, int x, int y, int width = 60, int height = 14) {
    return place(new QLabel(text, parent), x, y, width, height);
}

inline void fillWhite(QWidget* w) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, Qt::white);
    pal.setColor(QPalette::Base, Qt::white);
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

inline QFont pixelFont(const QString& family, int pixelSize, bool bold = false) {
    QFont font(family);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

inline void setTextColor(QWidget* w, const QColor& color) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::WindowText, color);
    w->setPalette(pal);
}

} // namespace formlayout
