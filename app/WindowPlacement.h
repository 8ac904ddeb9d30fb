#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// Where a companion window (the demo's "Virtual hub") opens next to the main
// window: beside it where the screen has room, the pair centred; else beside
// it narrowed as far as the companion allows, the main window moved to the
// screen's edge; else over the main window's lower part, clear of the band
// (the skin's module and caption buttons, given in the main window's
// coordinates) where the screen has room. Always on the screen.
struct WindowPlacement {
    QPoint mainPos;
    QRect companion;
};

WindowPlacement placeCompanion(const QRect& area, const QRect& main, const QRect& keepClear,
                               const QSize& preferred, const QSize& minimum, int gap);

// Where a window of this size opens on a screen of this area: centred where
// it fits; where it does not, its top edge and its right edge (the skin's
// caption buttons, close among them) on the screen.
QPoint placeOnScreen(const QRect& area, const QSize& size);
