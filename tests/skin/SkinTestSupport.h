#pragma once

#include "VevevSkin.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>

#include <cmath>
#include <cstdlib>
#include <ostream>
#include <utility>
#include <vector>

namespace skintest {

// A skinned window that records what reaches it.
class RecordingSkin : public TSkinForm {
public:
    std::vector<std::pair<int, int>> moduleMessages;
    std::vector<int> commands;
    QRegion lastPaintRegion;
    int paints = 0;

protected:
    bool event(QEvent* e) override {
        const int type = static_cast<int>(e->type());
        if (type == SkinMessage::ModuleMessage) {
            const auto* m = static_cast<SkinMessage*>(e);
            moduleMessages.emplace_back(static_cast<int>(m->wParam()), static_cast<int>(m->lParam()));
        } else if (type == WindowCommandMessage) {
            commands.push_back(static_cast<int>(static_cast<SkinMessage*>(e)->wParam()));
        }
        return TSkinForm::event(e);
    }
    void paintEvent(QPaintEvent* e) override {
        lastPaintRegion = e->region();
        ++paints;
        TSkinForm::paintEvent(e);
    }
};

inline void sendMouse(QWidget& w, QEvent::Type type, QPoint pos, Qt::MouseButton button,
                      Qt::MouseButtons buttons) {
    QMouseEvent e(type, QPointF(pos), QPointF(w.mapToGlobal(pos)), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(&w, &e);
}
inline void hover(QWidget& w, QPoint pos) {
    sendMouse(w, QEvent::MouseMove, pos, Qt::NoButton, Qt::NoButton);
}
inline void press(QWidget& w, QPoint pos) {
    sendMouse(w, QEvent::MouseButtonPress, pos, Qt::LeftButton, Qt::LeftButton);
}
inline void release(QWidget& w, QPoint pos) {
    sendMouse(w, QEvent::MouseButtonRelease, pos, Qt::LeftButton, Qt::NoButton);
}

struct Rgb {
    double r, g, b;
};

inline Rgb rgbOf(QRgb c) {
    return {double(qRed(c)), double(qGreen(c)), double(qBlue(c))};
}

// Source-over of an unpremultiplied colour with coverage alpha (0..255).
inline Rgb over(Rgb src, double alpha, Rgb dst) {
    const double a = alpha / 255.0;
    return {src.r * a + dst.r * (1 - a), src.g * a + dst.g * (1 - a), src.b * a + dst.b * (1 - a)};
}

inline bool near(QRgb actual, Rgb expected, double tolerance) {
    const Rgb a = rgbOf(actual);
    return std::abs(a.r - expected.r) <= tolerance && std::abs(a.g - expected.g) <= tolerance &&
           std::abs(a.b - expected.b) <= tolerance;
}

} // namespace skintest

// Lets gtest print pixels readably.
inline std::ostream& operator<<(std::ostream& os, const skintest::Rgb& c) {
    return os << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}
