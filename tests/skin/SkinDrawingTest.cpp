#include "SkinTestSupport.h"

#include <QPainterPath>
#include <gtest/gtest.h>

using namespace skintest;

namespace {

const QString Skin = QStringLiteral("Skin");
const Rgb White{255, 255, 255};
const Rgb Black{0, 0, 0};
const Rgb Back = rgbOf(0xFF3296BE);

// A plain window without picture: every pixel below is computable from the fill colour.
struct PlainWindow {
    TSkinForm w;
    PlainWindow() {
        w.resize(859, 587);
        w.SetBackground(QStringLiteral("no_picture"), Skin, 255, 150, 60, 60);
        w.AddModule(100, QStringLiteral("Home"), QStringLiteral("Module_Home_png"), Skin);
        w.AddModule(101, QStringLiteral("Update"), QString(), Skin);
        w.BuildSurfaces();
    }
    QRgb at(int x, int y) const { return w.composedSurface().pixel(x, y); }
    QRgb bg(int x, int y) const { return w.backgroundSurface().pixel(x, y); }
};

// Alpha of a top-to-bottom gradient over h rows in the first row (sampled at the pixel centre).
double firstRowAlpha(double alpha, int h) {
    return alpha * (1.0 - 0.5 / h);
}

QRect boundingBoxOf(const QImage& img, const QRect& area, const std::function<bool(int, int)>& pick) {
    QRect box;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (pick(x, y))
                box = box.united(QRect(x, y, 1, 1));
    (void)img;
    return box;
}

int brightness(QRgb c) {
    return qRed(c) + qGreen(c) + qBlue(c);
}

} // namespace

TEST(SkinDrawing, OutlineHasOuterAndInnerLinesWithRoundedCorners) {
    PlainWindow p;
    const Rgb outer = over(Black, 150, Back);
    const Rgb inner = over(White, 150, Back);
    // Straight edges: outer line on the border pixels, inner line one pixel in.
    EXPECT_TRUE(near(p.bg(429, 0), outer, 2));
    EXPECT_TRUE(near(p.bg(429, 1), inner, 2));
    EXPECT_TRUE(near(p.bg(0, 293), outer, 2));
    EXPECT_TRUE(near(p.bg(1, 293), inner, 2));
    EXPECT_TRUE(near(p.bg(858, 293), outer, 2));
    EXPECT_TRUE(near(p.bg(857, 293), inner, 2));
    EXPECT_TRUE(near(p.bg(429, 586), outer, 2));
    EXPECT_TRUE(near(p.bg(429, 585), inner, 2));
    EXPECT_TRUE(near(p.bg(429, 300), Back, 0));

    // Corners: the radius-3 arcs leave the corner pixels themselves untouched
    // and pass through their neighbours.
    EXPECT_EQ(p.bg(0, 0), 0xFF3296BEu);
    EXPECT_EQ(p.bg(858, 586), 0xFF3296BEu);
    EXPECT_EQ(p.bg(1, 1), 0xFF3296BEu);
    EXPECT_TRUE(near(p.bg(0, 3), outer, 2));
    EXPECT_TRUE(near(p.bg(3, 0), outer, 2));
    EXPECT_TRUE(near(p.bg(1, 4), inner, 2));
    EXPECT_TRUE(near(p.bg(4, 1), inner, 2));
    EXPECT_TRUE(near(p.bg(858, 3), outer, 2));
    EXPECT_TRUE(near(p.bg(3, 586), outer, 2));

    EXPECT_EQ(p.w.mask(), TSkinForm::RoundedWindowShape(859, 587));
}

TEST(SkinDrawing, RoundRectPathRunsInsideItsRectangle) {
    const QPainterPath path = TSkinForm::RoundRectPath(10, 20, 100, 50, 5);
    EXPECT_EQ(path.boundingRect(), QRectF(10, 20, 100, 50));
    EXPECT_TRUE(path.contains(QPointF(60, 45)));
    EXPECT_FALSE(path.contains(QPointF(10.5, 20.5))); // cut off by the corner arc
    EXPECT_TRUE(path.contains(QPointF(15, 20.5)));
}

TEST(SkinDrawing, NineGridKeepsCornersAndStretchesTheMiddle) {
    // A 854 x 605 picture in nine plain parts, cut at (255, 150, 60, 60).
    QImage picture(854, 605, QImage::Format_ARGB32_Premultiplied);
    const int cols[4] = {0, 255, 315, 854};
    const int rows[4] = {0, 150, 210, 605};
    auto partColour = [](int row, int col) { return qRgb(40 + 100 * col, 40 + 100 * row, 90); };
    {
        QPainter painter(&picture);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                painter.fillRect(QRect(cols[c], rows[r], cols[c + 1] - cols[c], rows[r + 1] - rows[r]),
                                 QColor(partColour(r, c)));
    }
    QImage out(859, 587, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::black);
    {
        QPainter painter(&out);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        TSkinForm::DrawNineGrid(painter, picture, QRect(255, 150, 60, 60), 859, 587);
    }
    // Destination columns 0-255, 255-320, 320-859; rows 0-150, 150-192, 192-587.
    const int dcols[4] = {0, 255, 320, 859};
    const int drows[4] = {0, 150, 192, 587};
    auto nearest = [&](QRgb c) {
        int best = -1, bestDistance = 1 << 30;
        for (int r = 0; r < 3; ++r)
            for (int k = 0; k < 3; ++k) {
                const QRgb p = partColour(r, k);
                const int d = std::abs(qRed(c) - qRed(p)) + std::abs(qGreen(c) - qGreen(p));
                if (d < bestDistance) {
                    bestDistance = d;
                    best = r * 3 + k;
                }
            }
        return best;
    };
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            const int x0 = dcols[c], x1 = dcols[c + 1] - 1;
            const int y0 = drows[r], y1 = drows[r + 1] - 1;
            for (QPoint pt : {QPoint(x0, y0), QPoint(x1, y0), QPoint(x0, y1), QPoint(x1, y1),
                              QPoint((x0 + x1) / 2, (y0 + y1) / 2)})
                EXPECT_EQ(nearest(out.pixel(pt)), r * 3 + c)
                    << "part " << r << "," << c << " at " << pt.x() << "," << pt.y();
        }
    }
    // Interior of every part is the part's own colour, not a blend.
    EXPECT_EQ(out.pixel(100, 100), partColour(0, 0));
    EXPECT_EQ(out.pixel(287, 170), partColour(1, 1));
    EXPECT_EQ(out.pixel(600, 400), partColour(2, 2));
}

TEST(SkinDrawing, BackgroundPictureIsNineGridStretchedInTheMainWindow) {
    TSkinForm w;
    w.resize(859, 587);
    w.SetBackground(QStringLiteral("BkImage1_jpg"), Skin, 255, 150, 60, 60);
    ASSERT_TRUE(w.hasBackPicture());
    w.BuildSurfaces();
    const QImage& pic = w.backgroundPicture();
    const QImage& bg = w.backgroundSurface();
    // The kept parts are copied 1:1: top-left, top-right and bottom-right.
    EXPECT_EQ(bg.pixel(100, 100), pic.pixel(100, 100));
    EXPECT_EQ(bg.pixel(600, 100), pic.pixel(595, 100));
    EXPECT_EQ(bg.pixel(700, 500), pic.pixel(695, 518));
    EXPECT_EQ(bg.pixel(100, 500), pic.pixel(100, 518));
}

TEST(SkinDrawing, PictureLargerThanTheWindowShowsItsTopRightPartUnscaled) {
    TSkinForm w;
    w.resize(800, 600);
    w.SetBackground(QStringLiteral("BkImage1_jpg"), Skin, 255, 150, 60, 60);
    w.BuildSurfaces();
    const QImage& pic = w.backgroundPicture();
    const QImage& bg = w.backgroundSurface();
    for (QPoint pt : {QPoint(100, 100), QPoint(10, 590), QPoint(790, 10), QPoint(400, 300)})
        EXPECT_EQ(bg.pixel(pt), pic.pixel(pt + QPoint(54, 0))) << pt.x() << "," << pt.y();
}

TEST(SkinDrawing, TitleIsDrawnOnlyWhenThereIsOne) {
    TSkinForm w;
    w.resize(400, 200);
    w.BuildSurfaces();
    const QImage empty = w.backgroundSurface();
    w.setWindowTitle(QStringLiteral("Hub"));
    w.DropSurfaces();
    w.BuildSurfaces();
    // Without an icon of its own the window takes the executable's, which
    // indents the title to 25.
    EXPECT_TRUE(w.hasWindowIcon());
    const int left = 25;
    const QImage titled = w.backgroundSurface();
    const QRect changed = boundingBoxOf(
        titled, titled.rect(), [&](int x, int y) { return titled.pixel(x, y) != empty.pixel(x, y); });
    ASSERT_FALSE(changed.isEmpty());
    // White copy one pixel up and left of the dark one, inside the title rectangle.
    EXPECT_GE(changed.left(), left - 1);
    EXPECT_LE(changed.left(), left + 3);
    EXPECT_GE(changed.top(), 14);
    EXPECT_LE(changed.bottom(), 31);
    EXPECT_LE(changed.right(), 300);
}

TEST(SkinDrawing, CaptionButtonsFollowTheRightEdge) {
    PlainWindow p;
    EXPECT_EQ(p.w.control(2).Bounds.Right, 857);
    p.w.resize(600, 400);
    p.w.BuildSurfaces();
    EXPECT_EQ(p.w.control(2).Left, 559);
    EXPECT_EQ(p.w.control(1).Left, 529);
    EXPECT_EQ(p.w.control(0).Left, 499);
}

TEST(SkinDrawing, CloseButtonShowsAWhiteCrossAndRedHighlights) {
    PlainWindow p;
    // Glyph origin: trunc((39 - 11) / 2 + 818 - 1), trunc((19 - 9) / 2 + 2 - 1).
    const int gx = 831, gy = 6;
    for (int i = 0; i <= 8; ++i) {
        EXPECT_EQ(p.at(gx + i + 1, gy + i), 0xFFFFFFFFu) << i;
        EXPECT_EQ(p.at(gx + 9 - i, gy + i), 0xFFFFFFFFu) << i;
    }
    EXPECT_NE(p.at(gx + 5, gy), 0xFFFFFFFFu);
    EXPECT_NE(p.at(gx + 5, gy + 8), 0xFFFFFFFFu);
    // The halo darkens the surroundings of the glyph.
    EXPECT_LT(brightness(p.at(gx - 1, gy)), brightness(p.bg(gx - 1, gy)));
    EXPECT_LT(brightness(p.at(gx + 5, gy + 2)), brightness(p.bg(gx + 5, gy + 2)));
    // No highlight while idle, no separator on the close button.
    EXPECT_EQ(p.at(823, 2), p.bg(823, 2));
    EXPECT_EQ(p.at(856, 12), p.bg(856, 12));
    EXPECT_EQ(p.at(855, 12), p.bg(855, 12));

    const double a = firstRowAlpha(180, 19);
    const Rgb red{255, 0, 0};
    p.w.SetHoverIndex(2);
    // Column 818 gets one fill, the inner columns two, column 856 one.
    EXPECT_TRUE(near(p.at(818, 2), over(red, a, rgbOf(p.bg(818, 2))), 8)) << rgbOf(p.at(818, 2));
    EXPECT_TRUE(near(p.at(823, 2), over(red, a, over(red, a, rgbOf(p.bg(823, 2)))), 8))
        << rgbOf(p.at(823, 2));
    EXPECT_TRUE(near(p.at(856, 2), over(red, a, rgbOf(p.bg(856, 2))), 8)) << rgbOf(p.at(856, 2));
    EXPECT_EQ(p.at(gx + 1, gy), 0xFFFFFFFFu); // glyph stays on top

    const Rgb darkRed{128, 0, 0};
    p.w.SetPressedIndex(2);
    EXPECT_TRUE(near(p.at(823, 2), over(darkRed, a, over(darkRed, a, rgbOf(p.bg(823, 2)))), 8))
        << rgbOf(p.at(823, 2));

    p.w.SetPressedIndex(-1);
    p.w.SetHoverIndex(-1);
    EXPECT_EQ(p.at(823, 2), p.bg(823, 2));
}

TEST(SkinDrawing, OtherCaptionButtonsHaveSeparatorsAndLightOrDarkHighlights) {
    PlainWindow p;
    const double white = firstRowAlpha(120, 19);
    const double dark = firstRowAlpha(90, 19);
    // Menu at 758-788 and minimise at 788-818: light line on the last column, dark before it.
    for (int right : {788, 818}) {
        EXPECT_TRUE(near(p.at(right - 1, 2), over(White, white, rgbOf(p.bg(right - 1, 2))), 4)) << right;
        EXPECT_TRUE(near(p.at(right - 2, 2), over(Black, dark, rgbOf(p.bg(right - 2, 2))), 4)) << right;
        EXPECT_EQ(p.at(right - 3, 2), p.bg(right - 3, 2)) << right;
    }
    // The separator fades out towards the bottom.
    EXPECT_GT(brightness(p.at(787, 2)), brightness(p.at(787, 19)));

    // Minimise glyph: an 11 x 2 bar 7 rows below the origin trunc(9.5 + 787) = 796, 6.
    EXPECT_EQ(p.at(796, 13), 0xFFFFFFFFu);
    EXPECT_EQ(p.at(806, 14), 0xFFFFFFFFu);
    EXPECT_NE(p.at(796, 12), 0xFFFFFFFFu);
    EXPECT_NE(p.at(807, 13), 0xFFFFFFFFu);

    const double light = firstRowAlpha(60, 19);
    p.w.SetHoverIndex(1);
    EXPECT_TRUE(near(p.at(792, 2), over(White, light, over(White, light, rgbOf(p.bg(792, 2)))), 6));
    const double pressed = firstRowAlpha(90, 19);
    p.w.SetPressedIndex(1);
    EXPECT_TRUE(near(p.at(792, 2), over(Black, pressed, over(Black, pressed, rgbOf(p.bg(792, 2)))), 6));
}

TEST(SkinDrawing, ModuleButtonHighlightIsStrongWhenSelectedOrPressedAndLightWhenHovered) {
    PlainWindow p;
    const QPoint inside(12, 74); // within the inner path, clear of picture and caption
    const Rgb under = rgbOf(p.bg(inside.x(), inside.y()));
    EXPECT_EQ(p.at(inside.x(), inside.y()), p.bg(inside.x(), inside.y()));

    p.w.SelectModule(100);
    EXPECT_TRUE(near(p.at(inside.x(), inside.y()), over(White, 40, under), 2));

    p.w.SelectModule(101);
    EXPECT_EQ(p.at(inside.x(), inside.y()), p.bg(inside.x(), inside.y()));
    p.w.SetHoverIndex(3);
    EXPECT_TRUE(near(p.at(inside.x(), inside.y()), over(White, 50, under), 2));
    p.w.SetPressedIndex(3);
    EXPECT_TRUE(near(p.at(inside.x(), inside.y()), over(White, 40, under), 2));

    // The picture lands at (19, 48), 48 x 48, whatever the highlight.
    const QImage& picture = p.w.control(3).Picture;
    p.w.SetPressedIndex(-1);
    p.w.SetHoverIndex(-1);
    p.w.SelectModule(0);
    int opaque = 0;
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 48; ++x)
            if (qAlpha(picture.pixel(x, y)) == 255) {
                ++opaque;
                EXPECT_EQ(p.at(19 + x, 48 + y), picture.pixel(x, y));
            }
    EXPECT_GT(opaque, 0);
}

TEST(SkinDrawing, ModuleCaptionHasItsShadowOnePixelDownAndRight) {
    PlainWindow p;
    // Second module (84, 44) has no picture; its caption area is text only.
    const QRect area(84, 44 + 76 - 26, 72, 22);
    const QImage& img = p.w.composedSurface();
    const QRect changed = boundingBoxOf(img, area, [&](int x, int y) { return p.at(x, y) != p.bg(x, y); });
    const QRect lighter = boundingBoxOf(
        img, area, [&](int x, int y) { return brightness(p.at(x, y)) > brightness(p.bg(x, y)) + 30; });
    ASSERT_FALSE(lighter.isEmpty());
    EXPECT_EQ(changed.left(), lighter.left());
    EXPECT_EQ(changed.top(), lighter.top());
    EXPECT_EQ(changed.right(), lighter.right() + 1);
    EXPECT_EQ(changed.bottom(), lighter.bottom() + 1);
    // White text inside (84, 95, 71, 18), centred horizontally.
    EXPECT_TRUE(QRect(84, 95, 71, 18).contains(lighter));
    const int leftGap = lighter.left() - 84;
    const int rightGap = 84 + 71 - 1 - lighter.right();
    EXPECT_LE(std::abs(leftGap - rightGap), 2);
}

TEST(SkinDrawing, MaximisedWindowHasRectangularOutline) {
    TSkinForm w;
    w.resize(500, 300);
    w.showMaximized();
    w.BuildSurfaces();
    ASSERT_TRUE(w.surfacesMaximised());
    const Rgb outer = over(Black, 150, Back);
    const Rgb inner = over(White, 150, Back);
    const QImage& bg = w.backgroundSurface();
    const int W = bg.width(), H = bg.height();
    EXPECT_TRUE(near(bg.pixel(0, 0), outer, 2));
    EXPECT_TRUE(near(bg.pixel(W - 1, H - 1), outer, 2));
    EXPECT_TRUE(near(bg.pixel(1, 1), inner, 2));
    EXPECT_TRUE(near(bg.pixel(W - 2, H - 2), inner, 2));
    EXPECT_EQ(w.mask(), QRegion(0, 0, W, H));
}
