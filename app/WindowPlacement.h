#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// Where a companion window (the demo's "Virtual hub") opens next to the main
// window: beside it where the screen has room, the pair centred; else beside
// it narrowed as far as the companion allows, the main window moved to the
// screen's edge; else over the main window's lower part, never over the band
// that must stay clear (the skin's module and caption buttons), given in the
// main window's coordinates.
struct WindowPlacement {
    QPoint mainPos;
    QRect companion;
};

WindowPlacement placeCompanion(const QRect& area, const QRect& main, const QRect& keepClear,
                               const QSize& preferred, const QSize& minimum, int gap);
