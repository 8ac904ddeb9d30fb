#include "SkinTestSupport.h"

#include <gtest/gtest.h>

using namespace skintest;

namespace {

const QString Skin = QStringLiteral("Skin");

// The main window's skin set-up, without its pages.
void setUpLikeMainWindow(TSkinForm& w) {
    w.resize(859, 587);
    w.SetBackground(QStringLiteral("BkImage1_jpg"), Skin, 255, 150, 60, 60);
    w.AddModule(100, QStringLiteral("Home"), QStringLiteral("Module_Home_png"), Skin);
    w.AddModule(101, QStringLiteral("Update"), QStringLiteral("Module_protec_png"), Skin);
    w.SelectModule(100);
}

} // namespace

TEST(SkinState, CreationSetsColoursFontAndThreeCaptionButtons) {
    TSkinForm w;
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(w.isWindow());
    EXPECT_TRUE(w.hasMouseTracking());
    EXPECT_EQ(w.backColor(), 0xFF3296BEu);
    EXPECT_EQ(w.outerFrameColor(), 0x96000000u);
    EXPECT_EQ(w.innerFrameColor(), 0x96FFFFFFu);
    EXPECT_FALSE(w.hasBackPicture());
    EXPECT_FALSE(w.hasSurfaces());
    EXPECT_EQ(w.titleFont().pixelSize(), 13);
    EXPECT_TRUE(w.titleFont().bold());
    EXPECT_EQ(w.captionFont(), w.titleFont());

    ASSERT_EQ(w.controlCount(), 3);
    EXPECT_EQ(w.captionButtonCount(), 3);
    const int ids[] = {-5, -1, -4};
    const int widths[] = {30, 30, 39};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(w.control(i).Kind, TSkinControl::CaptionButton);
        EXPECT_EQ(w.control(i).Id, ids[i]);
        EXPECT_EQ(w.control(i).Width, widths[i]);
        EXPECT_EQ(w.control(i).Height, 19);
    }
    EXPECT_EQ(w.hoverIndex(), -1);
    EXPECT_EQ(w.pressedIndex(), -1);
    EXPECT_EQ(w.FindCaptionButton(TSkinForm::MaximiseButtonId), -1);
}

TEST(SkinState, LabelFontSetterMakesBoldTitleAndCaptionFonts) {
    TSkinForm w;
    QFont label(QStringLiteral("Arial"));
    label.setPixelSize(17);
    w.setLabelFont(label);
    EXPECT_EQ(w.titleFont().pixelSize(), 17);
    EXPECT_TRUE(w.titleFont().bold());
    EXPECT_EQ(w.captionFont(), w.titleFont());
}

TEST(SkinState, ControlBoundsFollowPositionAndKeepSizeOnMinusOne) {
    TSkinForm w;
    const int index = w.AddControl(7, 10, 20, 30, 40, 55);
    EXPECT_EQ(index, 3);
    const TSkinControl& c = w.control(index);
    EXPECT_EQ(c.Kind, 7);
    EXPECT_FALSE(c.HasPicture || c.Hovered || c.Pressed || c.Selected);
    EXPECT_EQ(c.CaptionLength, 0);

    w.SetControlBounds(index, 100, 200, -1, -1);
    EXPECT_EQ(w.control(index).Width, 30);
    EXPECT_EQ(w.control(index).Height, 40);
    EXPECT_EQ(w.control(index).Bounds.Left, 100);
    EXPECT_EQ(w.control(index).Bounds.Top, 200);
    EXPECT_EQ(w.control(index).Bounds.Right, 130);
    EXPECT_EQ(w.control(index).Bounds.Bottom, 240);

    w.SetControlBounds(index, 1, 2, 0, 5);
    EXPECT_EQ(w.control(index).Bounds.Right, 1);
    EXPECT_EQ(w.control(index).Bounds.Bottom, 7);
    w.SetControlBounds(99, 0, 0, 1, 1); // out of range: ignored
    EXPECT_EQ(w.controlCount(), 4);
}

TEST(SkinState, ModulesLineUpFromTheLeftWithCaptionsAndPictures) {
    TSkinForm w;
    setUpLikeMainWindow(w);
    w.AddModule(102, QString(), QStringLiteral("no_such_picture"), Skin);

    ASSERT_EQ(w.controlCount(), 6);
    const int lefts[] = {7, 84, 161};
    for (int i = 0; i < 3; ++i) {
        const TSkinControl& c = w.control(3 + i);
        EXPECT_EQ(c.Kind, TSkinControl::ModuleButton);
        EXPECT_EQ(c.Left, lefts[i]);
        EXPECT_EQ(c.Top, 44);
        EXPECT_EQ(c.Width, 72);
        EXPECT_EQ(c.Height, 76);
    }
    EXPECT_EQ(w.nextModuleLeft(), 238);

    EXPECT_EQ(w.control(3).CaptionW, QStringLiteral("Home"));
    EXPECT_EQ(w.control(3).Caption, QByteArray("Home"));
    EXPECT_EQ(w.control(3).CaptionLength, 4);
    EXPECT_EQ(w.control(4).CaptionLength, 6);
    EXPECT_EQ(w.control(5).CaptionLength, 0);
    EXPECT_TRUE(w.control(5).CaptionW.isEmpty());

    // Names and types match whatever their case; a missing picture stays absent.
    ASSERT_TRUE(w.control(3).HasPicture);
    EXPECT_EQ(w.control(3).Picture.size(), QSize(48, 48));
    EXPECT_TRUE(w.control(3).Picture.hasAlphaChannel());
    EXPECT_TRUE(w.control(4).HasPicture);
    EXPECT_FALSE(w.control(5).HasPicture);
    ASSERT_TRUE(w.hasBackPicture());
    EXPECT_EQ(w.backgroundPicture().size(), QSize(854, 605));
    EXPECT_EQ(w.stretchRect(), QRect(255, 150, 60, 60));

    // Caption buttons are never looked up among the modules.
    w.AddModule(-4, QStringLiteral("x"), QString(), Skin);
    EXPECT_EQ(w.FindCaptionButton(-4), 2);
    EXPECT_EQ(w.FindCaptionButton(100), -1);
}

TEST(SkinState, MissingBackgroundReplacesTheOldPicture) {
    TSkinForm w;
    w.SetBackground(QStringLiteral("BKIMAGE2_JPG"), QStringLiteral("SKIN"), 1, 2, 3, 4);
    ASSERT_TRUE(w.hasBackPicture());
    w.SetBackground(QStringLiteral("missing_jpg"), Skin, 5, 6, 7, 8);
    EXPECT_FALSE(w.hasBackPicture());
    EXPECT_TRUE(w.backgroundPicture().isNull());
    EXPECT_EQ(w.stretchRect(), QRect(5, 6, 7, 8));
}

TEST(SkinState, HitTestEdgesAreInclusiveTopLeftExclusiveBottomRight) {
    TSkinForm w;
    setUpLikeMainWindow(w);
    w.BuildSurfaces(); // lays the caption buttons out from the right edge

    EXPECT_EQ(w.control(2).Left, 818);
    EXPECT_EQ(w.control(1).Left, 788);
    EXPECT_EQ(w.control(0).Left, 758);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(w.control(i).Top, 2);

    EXPECT_EQ(w.HitTest(818, 2), 2);
    EXPECT_EQ(w.HitTest(856, 20), 2);
    EXPECT_EQ(w.HitTest(857, 2), -1);
    EXPECT_EQ(w.HitTest(818, 21), -1);
    EXPECT_EQ(w.HitTest(817, 2), 1); // minimise ends where close begins
    EXPECT_EQ(w.HitTest(758, 1), -1);
    EXPECT_EQ(w.HitTest(757, 10), -1);
    EXPECT_EQ(w.HitTest(7, 44), 3);
    EXPECT_EQ(w.HitTest(78, 119), 3);
    EXPECT_EQ(w.HitTest(79, 60), -1);
    EXPECT_EQ(w.HitTest(40, 120), -1);
    EXPECT_EQ(w.HitTest(84, 44), 4);
    EXPECT_EQ(w.HitTest(400, 300), -1);
}

TEST(SkinState, SelectModuleKeepsExactlyOneOrNoneSelected) {
    TSkinForm w;
    setUpLikeMainWindow(w);
    w.BuildSurfaces();
    EXPECT_TRUE(w.control(3).Selected);
    EXPECT_FALSE(w.control(4).Selected);

    w.SelectModule(101);
    EXPECT_FALSE(w.control(3).Selected);
    EXPECT_TRUE(w.control(4).Selected);

    w.SelectModule(101); // again: still the one selected
    EXPECT_FALSE(w.control(3).Selected);
    EXPECT_TRUE(w.control(4).Selected);

    w.SelectModule(104); // no such module: none stays selected
    EXPECT_FALSE(w.control(3).Selected);
    EXPECT_FALSE(w.control(4).Selected);

    w.SelectModule(-4); // caption buttons are never selected
    for (int i = 0; i < w.controlCount(); ++i)
        EXPECT_FALSE(w.control(i).Selected) << i;
}

TEST(SkinState, HoverAndPressMarksMoveBetweenControls) {
    TSkinForm w;
    setUpLikeMainWindow(w);
    w.SetHoverIndex(2);
    w.SetPressedIndex(3);
    EXPECT_TRUE(w.control(2).Hovered);
    EXPECT_TRUE(w.control(3).Pressed);

    w.SetHoverIndex(0);
    EXPECT_FALSE(w.control(2).Hovered);
    EXPECT_TRUE(w.control(0).Hovered);
    EXPECT_EQ(w.hoverIndex(), 0);

    w.SetPressedIndex(-1);
    EXPECT_FALSE(w.control(3).Pressed);
    EXPECT_EQ(w.pressedIndex(), -1);

    w.SetHoverIndex(42); // beyond the list: recorded, nothing marked
    EXPECT_EQ(w.hoverIndex(), 42);
    for (int i = 0; i < w.controlCount(); ++i)
        EXPECT_FALSE(w.control(i).Hovered) << i;
    w.SetHoverIndex(-1);
    EXPECT_EQ(w.hoverIndex(), -1);
}

TEST(SkinState, WindowShapeCutsOnlyTheOuterCornerPixels) {
    const QRegion shape = TSkinForm::RoundedWindowShape(859, 587);
    for (QPoint corner : {QPoint(0, 0), QPoint(858, 0), QPoint(0, 586), QPoint(858, 586)})
        EXPECT_FALSE(shape.contains(corner)) << corner.x() << "," << corner.y();
    for (QPoint inside : {QPoint(1, 0), QPoint(0, 1), QPoint(857, 0), QPoint(858, 1), QPoint(1, 586),
                          QPoint(0, 585), QPoint(857, 586), QPoint(858, 585), QPoint(429, 293)})
        EXPECT_TRUE(shape.contains(inside)) << inside.x() << "," << inside.y();
    EXPECT_FALSE(shape.contains(QPoint(859, 10)));
    EXPECT_FALSE(shape.contains(QPoint(10, 587)));
}
