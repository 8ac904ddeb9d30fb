#include "SkinTestSupport.h"
#include "TestSupport.h"

#include <QLabel>
#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>

using namespace skintest;

namespace {

const QString Skin = QStringLiteral("Skin");

// Main-window sized skin, shown on the offscreen platform and painted once.
struct ShownWindow {
    RecordingSkin w;
    explicit ShownWindow(bool show = true) {
        w.resize(859, 587);
        w.SetBackground(QStringLiteral("BkImage1_jpg"), Skin, 255, 150, 60, 60);
        w.AddModule(100, QStringLiteral("Home"), QStringLiteral("Module_Home_png"), Skin);
        w.AddModule(101, QStringLiteral("Update"), QStringLiteral("Module_protec_png"), Skin);
        w.SelectModule(100);
        if (show) {
            w.show();
            EXPECT_TRUE(testsupport::waitUntil([this] { return w.paints > 0; }));
        }
    }
};

const QPoint OnMenu(770, 10);
const QPoint OnMinimise(800, 10);
const QPoint OnClose(830, 10);
const QPoint OnHome(40, 70);
const QPoint OffControls(400, 20);

} // namespace

TEST(SkinBehaviour, HoverBeforeTheFirstPaintShowsAtTheFirstPaint) {
    ShownWindow s(false);
    s.w.SetHoverIndex(2);
    EXPECT_TRUE(s.w.control(2).Hovered);
    EXPECT_FALSE(s.w.hasSurfaces());

    s.w.show();
    ASSERT_TRUE(testsupport::waitUntil([&] { return s.w.paints > 0; }));
    ASSERT_TRUE(s.w.hasSurfaces());
    // Red highlight on the close button, which the first build laid out at 818.
    const QRgb c = s.w.composedSurface().pixel(823, 2);
    EXPECT_GT(qRed(c), 200);
    EXPECT_LT(qGreen(c), 80);
    EXPECT_NE(c, s.w.backgroundSurface().pixel(823, 2));
}

TEST(SkinBehaviour, HoverRedrawRepaintsOnlyThatControl) {
    ShownWindow s;
    ASSERT_TRUE(s.w.hasSurfaces());
    const int before = s.w.paints;
    hover(s.w, OnClose);
    EXPECT_EQ(s.w.hoverIndex(), 2);
    ASSERT_TRUE(testsupport::waitUntil([&] { return s.w.paints > before; }));
    const QRect painted = s.w.lastPaintRegion.boundingRect();
    EXPECT_TRUE(QRect(818, 2, 39, 19).contains(painted))
        << painted.x() << "," << painted.y() << " " << painted.width() << "x" << painted.height();

    hover(s.w, OnHome);
    EXPECT_EQ(s.w.hoverIndex(), 3);
    EXPECT_FALSE(s.w.control(2).Hovered);
    hover(s.w, OffControls);
    EXPECT_EQ(s.w.hoverIndex(), -1);
}

TEST(SkinBehaviour, PressOnCloseAndReleaseOverMinimiseMinimises) {
    ShownWindow s;
    press(s.w, OnClose);
    EXPECT_EQ(s.w.pressedIndex(), 2);
    EXPECT_TRUE(s.w.control(2).Pressed);
    release(s.w, OnMinimise);
    EXPECT_EQ(s.w.pressedIndex(), -1);
    EXPECT_FALSE(s.w.control(2).Pressed);
    ASSERT_TRUE(testsupport::waitUntil([&] { return s.w.isMinimized(); }));
    EXPECT_EQ(s.w.commands, std::vector<int>{TSkinForm::CommandMinimise});
    EXPECT_TRUE(s.w.moduleMessages.empty());
}

TEST(SkinBehaviour, ReleaseOffEveryControlDoesNothing) {
    ShownWindow s;
    press(s.w, OnClose);
    release(s.w, QPoint(400, 300));
    EXPECT_EQ(s.w.pressedIndex(), -1);
    testsupport::pumpFor(50);
    EXPECT_TRUE(s.w.commands.empty());
    EXPECT_TRUE(s.w.moduleMessages.empty());
    EXPECT_TRUE(s.w.isVisible());
    EXPECT_FALSE(s.w.isMinimized());
}

TEST(SkinBehaviour, CloseButtonClosesTheWindow) {
    ShownWindow s;
    press(s.w, OnClose);
    release(s.w, OnClose);
    ASSERT_TRUE(testsupport::waitUntil([&] { return !s.w.isVisible(); }));
    EXPECT_EQ(s.w.commands, std::vector<int>{TSkinForm::CommandClose});
}

TEST(SkinBehaviour, LeaveClearsHoverAndPress) {
    ShownWindow s;
    hover(s.w, OnMenu);
    press(s.w, OnMenu);
    ASSERT_TRUE(s.w.control(0).Hovered);
    ASSERT_TRUE(s.w.control(0).Pressed);
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(&s.w, &leave);
    EXPECT_EQ(s.w.hoverIndex(), -1);
    EXPECT_EQ(s.w.pressedIndex(), -1);
    EXPECT_FALSE(s.w.control(0).Hovered);
    EXPECT_FALSE(s.w.control(0).Pressed);
    EXPECT_EQ(s.w.composedSurface().pixel(772, 2), s.w.backgroundSurface().pixel(772, 2));
}

TEST(SkinBehaviour, PointerMovingStraightIntoAChildControlClearsTheHover) {
    ShownWindow s;
    auto* page = new QWidget(&s.w);
    page->setGeometry(27, 152, 786, 359);
    page->show();
    // Through the window system, which sends enter and leave as the pointer moves.
    QTest::mouseMove(&s.w, OnHome);
    ASSERT_TRUE(testsupport::waitUntil([&] { return s.w.hoverIndex() == 3; }));
    QTest::mouseMove(&s.w, QPoint(300, 300));
    EXPECT_TRUE(testsupport::waitUntil([&] { return s.w.hoverIndex() == -1; }));
    EXPECT_FALSE(s.w.control(3).Hovered);

    QTest::mouseMove(&s.w, OnHome);
    EXPECT_TRUE(testsupport::waitUntil([&] { return s.w.hoverIndex() == 3; }));
}

TEST(SkinBehaviour, MenuButtonSendsModuleMessageMinusFiveAndKeepsTheSelection) {
    ShownWindow s;
    press(s.w, OnMenu);
    release(s.w, OnMenu);
    ASSERT_TRUE(testsupport::waitUntil([&] { return !s.w.moduleMessages.empty(); }));
    testsupport::pumpFor(20);
    ASSERT_EQ(s.w.moduleMessages.size(), 1u);
    EXPECT_EQ(s.w.moduleMessages[0], std::make_pair(-5, 0));
    EXPECT_TRUE(s.w.commands.empty());
    EXPECT_TRUE(s.w.control(3).Selected);
    EXPECT_FALSE(s.w.control(4).Selected);
    EXPECT_TRUE(s.w.isVisible());
}

TEST(SkinBehaviour, ModuleClickPostsTheModuleMessageWithItsId) {
    ShownWindow s;
    press(s.w, QPoint(100, 60));
    EXPECT_TRUE(s.w.control(4).Pressed);
    release(s.w, QPoint(100, 60));
    // Posted, not sent: nothing has arrived before the event loop runs.
    EXPECT_TRUE(s.w.moduleMessages.empty());
    ASSERT_TRUE(testsupport::waitUntil([&] { return !s.w.moduleMessages.empty(); }));
    EXPECT_EQ(s.w.moduleMessages[0], std::make_pair(101, 4));
    // Selection is the derived window's business.
    EXPECT_TRUE(s.w.control(3).Selected);
}

TEST(SkinBehaviour, DoubleClickIsTwoClicks) {
    ShownWindow s;
    press(s.w, OnHome);
    release(s.w, OnHome);
    sendMouse(s.w, QEvent::MouseButtonDblClick, OnHome, Qt::LeftButton, Qt::LeftButton);
    EXPECT_TRUE(s.w.control(3).Pressed);
    release(s.w, OnHome);
    ASSERT_TRUE(testsupport::waitUntil([&] { return s.w.moduleMessages.size() == 2; }));
    EXPECT_EQ(s.w.moduleMessages[1], std::make_pair(100, 3));
}

TEST(SkinBehaviour, ReleaseClicksTheControlUnderThePointerEvenIfPressElsewhere) {
    ShownWindow s;
    press(s.w, OnMenu);
    release(s.w, OnHome);
    ASSERT_TRUE(testsupport::waitUntil([&] { return !s.w.moduleMessages.empty(); }));
    EXPECT_EQ(s.w.moduleMessages[0], std::make_pair(100, 3));
}

TEST(SkinBehaviour, ControlClickMessageOutOfRangeDoesNothing) {
    ShownWindow s;
    QCoreApplication::postEvent(&s.w, new SkinMessage(SkinMessage::ControlClickMessage, -4, 99));
    QCoreApplication::postEvent(&s.w, new SkinMessage(SkinMessage::ControlClickMessage, -4, -1));
    testsupport::pumpFor(30);
    EXPECT_TRUE(s.w.commands.empty());
    EXPECT_TRUE(s.w.isVisible());
}

TEST(SkinBehaviour, PressOffEveryControlMarksNothingAndDragsTheWindow) {
    ShownWindow s;
    const QPoint start = s.w.pos();
    press(s.w, OffControls);
    EXPECT_EQ(s.w.pressedIndex(), -1);
    // Without a window manager the window follows the pointer itself.
    QMouseEvent move(QEvent::MouseMove, QPointF(OffControls + QPoint(30, 25)),
                     QPointF(s.w.mapToGlobal(OffControls + QPoint(30, 25))), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(&s.w, &move);
    EXPECT_EQ(s.w.pos(), start + QPoint(30, 25));
    release(s.w, OffControls);
    hover(s.w, OffControls + QPoint(5, 5));
    EXPECT_EQ(s.w.pos(), start + QPoint(30, 25));
}

TEST(SkinBehaviour, PressOnAChildWidgetDoesNotDragTheWindow) {
    ShownWindow s;
    auto* strip = new QLabel(QStringLiteral("strip"), &s.w);
    strip->setGeometry(0, 540, 859, 47);
    strip->show();
    const QPoint start = s.w.pos();
    const QPoint at(400, 20);
    // The label ignores the press, so Qt hands it on to the window.
    QTest::mousePress(strip, Qt::LeftButton, Qt::NoModifier, at);
    QMouseEvent move(QEvent::MouseMove, QPointF(strip->mapTo(&s.w, at + QPoint(30, 25))),
                     QPointF(strip->mapToGlobal(at + QPoint(30, 25))), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(&s.w, &move);
    QTest::mouseRelease(strip, Qt::LeftButton, Qt::NoModifier, at);
    EXPECT_EQ(s.w.pos(), start);
    EXPECT_EQ(s.w.pressedIndex(), -1);
}

TEST(SkinBehaviour, ResizeDropsTheSurfacesAndTheNextPaintRebuildsThem) {
    ShownWindow s;
    ASSERT_TRUE(s.w.hasSurfaces());
    s.w.resize(700, 500);
    EXPECT_FALSE(s.w.hasSurfaces());
    ASSERT_TRUE(testsupport::waitUntil([&] { return s.w.hasSurfaces(); }));
    EXPECT_EQ(s.w.composedSurface().size(), QSize(700, 500));
    EXPECT_EQ(s.w.control(2).Bounds.Right, 698);
    EXPECT_EQ(s.w.mask(), TSkinForm::RoundedWindowShape(700, 500));
}

TEST(SkinBehaviour, MaximisedWindowCoversTheWorkAreaWithASquareShape) {
    ShownWindow s;
    s.w.showMaximized();
    ASSERT_TRUE(testsupport::waitUntil([&] { return s.w.hasSurfaces() && s.w.surfacesMaximised(); }));
    const QRect work = s.w.screen()->availableGeometry();
    EXPECT_EQ(s.w.geometry(), work);
    EXPECT_EQ(s.w.mask(), QRegion(0, 0, work.width(), work.height()));
    EXPECT_EQ(s.w.control(2).Bounds.Right, work.width() - 2);
}

TEST(SkinBehaviour, RefreshSkinRebuildsAVisibleWindowAtOnce) {
    ShownWindow s;
    const QRgb before = s.w.backgroundSurface().pixel(400, 60);
    s.w.SetBackground(QStringLiteral("missing"), Skin, 0, 0, 0, 0);
    ASSERT_TRUE(s.w.hasSurfaces());
    EXPECT_EQ(s.w.backgroundSurface().pixel(400, 60), 0xFF3296BEu);
    EXPECT_NE(before, 0xFF3296BEu);
}
