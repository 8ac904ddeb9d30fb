// The skinned window as a real X11 window (run under Xvfb, no window manager).

#include "SkinTestSupport.h"
#include "TestSupport.h"

#include <QTest>
#include <QWindow>
#include <gtest/gtest.h>

using namespace skintest;

TEST(SkinWindow, FramelessShapedAndMovedByDragging) {
    RecordingSkin w;
    w.resize(859, 587);
    w.SetBackground(QStringLiteral("BkImage1_jpg"), QStringLiteral("Skin"), 255, 150, 60, 60);
    w.AddModule(100, QStringLiteral("Home"), QStringLiteral("Module_Home_png"), QStringLiteral("Skin"));
    w.move(100, 80);
    w.show();
    ASSERT_TRUE(testsupport::waitUntil([&] { return w.windowHandle() && w.windowHandle()->isExposed(); }));
    ASSERT_TRUE(testsupport::waitUntil([&] { return w.paints > 0; }));

    QWindow* window = w.windowHandle();
    EXPECT_TRUE(window->flags() & Qt::FramelessWindowHint);
    EXPECT_EQ(w.frameGeometry(), w.geometry()); // no frame around the client area
    EXPECT_EQ(window->mask(), TSkinForm::RoundedWindowShape(859, 587));
    EXPECT_FALSE(window->mask().contains(QPoint(0, 0)));
    EXPECT_TRUE(window->mask().contains(QPoint(1, 0)));

    // Drag from a point of the top band that no control covers.
    const QPoint start = window->position();
    const QPoint grip(400, 20);
    QTest::mousePress(&w, Qt::LeftButton, Qt::NoModifier, grip);
    EXPECT_EQ(w.pressedIndex(), -1);
    QTest::mouseMove(&w, grip + QPoint(60, 40));
    QTest::mouseRelease(&w, Qt::LeftButton, Qt::NoModifier, grip + QPoint(60, 40));
    ASSERT_TRUE(testsupport::waitUntil([&] { return window->position() == start + QPoint(60, 40); }))
        << window->position().x() << "," << window->position().y();
    EXPECT_TRUE(w.moduleMessages.empty());
    EXPECT_TRUE(w.commands.empty());
}
