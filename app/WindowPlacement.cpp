#include "WindowPlacement.h"

#include <algorithm>

namespace {

// Top edge and height for a window that should start at y, kept on the screen.
void fitVertically(const QRect& area, int y, int wanted, int minimum, int& top, int& height) {
    height = std::max(std::min(wanted, area.height()), std::min(minimum, area.height()));
    top = std::clamp(y, area.top(), area.bottom() + 1 - height);
}

} // namespace

WindowPlacement placeCompanion(const QRect& area, const QRect& main, const QRect& keepClear,
                               const QSize& preferred, const QSize& minimum, int gap) {
    WindowPlacement p{main.topLeft(), {}};
    int top = 0, height = 0;
    fitVertically(area, main.top(), preferred.height(), minimum.height(), top, height);

    // Side by side at full width, the pair centred.
    if (main.width() + gap + preferred.width() <= area.width()) {
        const int left = area.left() + (area.width() - main.width() - gap - preferred.width()) / 2;
        p.mainPos = QPoint(left, main.top());
        p.companion = QRect(left + main.width() + gap, top, preferred.width(), height);
        return p;
    }
    // Side by side, narrowed: the main window at the left edge.
    const int room = area.width() - main.width() - gap;
    if (room >= minimum.width()) {
        p.mainPos = QPoint(area.left(), main.top());
        p.companion = QRect(area.left() + main.width() + gap, top, room, height);
        return p;
    }
    // No room beside it: at the screen's right edge, below the band to keep clear.
    const QRect band = keepClear.translated(main.topLeft());
    const int width = std::clamp(preferred.width(), std::min(minimum.width(), area.width()), area.width());
    const int below = band.bottom() + 1 + gap;
    const int roomBelow = area.bottom() + 1 - below;
    if (roomBelow >= std::min(minimum.height(), area.height())) {
        const int h =
            std::max(std::min(preferred.height(), roomBelow), std::min(minimum.height(), roomBelow));
        p.companion = QRect(area.right() + 1 - width, below, width, h);
        return p;
    }
    // Not even that: at the screen's right edge as low as it fits, over the
    // band if it must, but on the screen.
    const int h = std::min(std::max(std::min(minimum.height(), area.height()), roomBelow), area.height());
    p.companion =
        QRect(area.right() + 1 - width, std::clamp(below, area.top(), area.bottom() + 1 - h), width, h);
    return p;
}

QPoint placeOnScreen(const QRect& area, const QSize& size) {
    const QPoint centred = area.center() - QRect(QPoint(), size).center();
    const int x = size.width() <= area.width() ? centred.x() : area.right() + 1 - size.width();
    const int y = size.height() <= area.height() ? centred.y() : area.top();
    return {x, y};
}
