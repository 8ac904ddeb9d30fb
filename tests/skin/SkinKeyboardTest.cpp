// The skin's controls for the keyboard and for assistive technology: Tab
// order, focus mark, Space and Enter, and their accessible objects; and that
// nothing of it shows while no control has the keyboard focus.

#include "SkinTestSupport.h"
#include "TestSupport.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QTest>
#include <gtest/gtest.h>

using namespace skintest;

namespace {

const QString Skin = QStringLiteral("Skin");

// Composes the surface again from the drawing routines alone, the way the
// skin draws its controls without any focus.
class Recomposing : public RecordingSkin {
public:
    QImage recompose() const {
        QImage image = backgroundSurface().copy();
        QPainter p(&image);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        for (int i = 0; i < controlCount(); ++i) {
            if (control(i).Kind == TSkinControl::CaptionButton)
                DrawCaptionButton(p, control(i));
            else
                DrawModuleButton(p, control(i));
        }
        return image;
    }
};

struct KeyWindow {
    Recomposing w;
    KeyWindow() {
        w.resize(859, 587);
        w.SetBackground(QStringLiteral("BkImage1_jpg"), Skin, 255, 150, 60, 60);
        w.AddModule(100, QStringLiteral("Home"), QStringLiteral("Module_Home_png"), Skin);
        w.AddModule(101, QStringLiteral("Update"), QStringLiteral("Module_protec_png"), Skin);
        w.SelectModule(100);
        w.show();
        w.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&w));
        EXPECT_TRUE(testsupport::waitUntil([this] { return w.paints > 0; }));
    }
    int indexOf(int id) const {
        for (int i = 0; i < w.controlCount(); ++i) {
            if (w.control(i).Id == id)
                return i;
        }
        return -1;
    }
};

// Pixels of a that differ from b, and the rectangle they span.
QRect differingArea(const QImage& a, const QImage& b, int* count = nullptr) {
    QRect area;
    int n = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            if (a.pixel(x, y) != b.pixel(x, y)) {
                area |= QRect(x, y, 1, 1);
                ++n;
            }
        }
    }
    if (count)
        *count = n;
    return area;
}

} // namespace

TEST(SkinKeyboard, NoControlIsFocusedUntilTheKeyboardMovesTheFocus) {
    KeyWindow k;
    EXPECT_EQ(k.w.focusIndex(), -1);
    for (int i = 0; i < k.w.controlCount(); ++i)
        EXPECT_FALSE(k.w.control(i).Focused) << i;
    // Unfocused, the composed surface is exactly what the drawing routines
    // make: the focus code adds nothing.
    EXPECT_EQ(k.w.composedSurface(), k.w.recompose());
    // The key targets are empty: nothing of them shows over the skin.
    const QImage shown = k.w.grab().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
    EXPECT_EQ(differingArea(shown, k.w.composedSurface()), QRect());
}

TEST(SkinKeyboard, TabVisitsModulesThenCaptionButtonsFromTheLeft) {
    KeyWindow k;
    k.w.keyTarget(k.indexOf(100))->setFocus(Qt::TabFocusReason);
    std::vector<int> ids;
    for (int step = 0; step < 5; ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_GE(k.w.focusIndex(), 0) << "step " << step;
        ids.push_back(k.w.control(k.w.focusIndex()).Id);
        EXPECT_EQ(QApplication::focusWidget(), k.w.keyTarget(k.w.focusIndex()));
    }
    // The bare skin has nothing else to visit: after Close comes Home again.
    EXPECT_EQ(ids, (std::vector<int>{101, TSkinForm::MenuButtonId, TSkinForm::MinimiseButtonId,
                                     TSkinForm::CloseButtonId, 100}));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    EXPECT_EQ(k.w.control(k.w.focusIndex()).Id, TSkinForm::CloseButtonId);
}

TEST(SkinKeyboard, RedrawsLeaveThePixelsBesideAControlAlone) {
    // The selected module's anti-aliased outline reaches half a pixel past
    // its rectangle; redraws restore only the rectangle, so drawing it again
    // there would darken those pixels with every hover.
    KeyWindow k;
    const QImage before = k.w.composedSurface().copy();
    for (int i = 0; i < 20; ++i) {
        hover(k.w, QPoint(40, 70));
        hover(k.w, QPoint(400, 20));
        k.w.SelectModule(100);
    }
    EXPECT_EQ(differingArea(k.w.composedSurface(), before), QRect());
}

TEST(SkinKeyboard, FocusMarkStaysInsideTheControlAndLeavesNoTrace) {
    KeyWindow k;
    const QImage before = k.w.composedSurface().copy();
    for (int id : {100, 101, TSkinForm::MenuButtonId, TSkinForm::CloseButtonId}) {
        const int index = k.indexOf(id);
        k.w.keyTarget(index)->setFocus(Qt::TabFocusReason);
        ASSERT_EQ(k.w.focusIndex(), index);
        ASSERT_TRUE(k.w.control(index).Focused);
        const TSkinControl& c = k.w.control(index);
        int changed = 0;
        const QRect area = differingArea(k.w.composedSurface(), before, &changed);
        EXPECT_GT(changed, 20) << "a visible mark on " << id;
        EXPECT_TRUE(QRect(c.Left, c.Top, c.Width, c.Height).contains(area))
            << "mark of " << id << " spills: " << area.x() << "," << area.y() << " " << area.width() << "x"
            << area.height();
        // White dots: some marked pixel is brighter than it was.
        bool brighter = false;
        for (int y = area.top(); y <= area.bottom() && !brighter; ++y)
            for (int x = area.left(); x <= area.right() && !brighter; ++x)
                brighter = qGray(k.w.composedSurface().pixel(x, y)) > qGray(before.pixel(x, y)) + 40;
        EXPECT_TRUE(brighter) << id;
    }
    k.w.setFocus(Qt::OtherFocusReason); // the window itself: no control
    EXPECT_EQ(k.w.focusIndex(), -1);
    EXPECT_EQ(k.w.composedSurface(), before) << "pixel-identical once the focus has left";
    k.w.DropSurfaces();
    k.w.BuildSurfaces();
    EXPECT_EQ(k.w.composedSurface(), before);
}

TEST(SkinKeyboard, SpaceAndEnterClickAsTheMouseDoes) {
    KeyWindow k;
    const int home = k.indexOf(100);
    QWidget* target = k.w.keyTarget(home);
    target->setFocus(Qt::TabFocusReason);

    QTest::keyPress(target, Qt::Key_Space);
    EXPECT_EQ(k.w.pressedIndex(), home) << "pressed look while Space is down";
    QTest::keyRelease(target, Qt::Key_Space);
    EXPECT_EQ(k.w.pressedIndex(), -1);
    QCoreApplication::sendPostedEvents(&k.w);
    QCoreApplication::sendPostedEvents(&k.w);
    ASSERT_EQ(k.w.moduleMessages.size(), 1u);
    EXPECT_EQ(k.w.moduleMessages[0], std::make_pair(100, home));

    QTest::keyClick(target, Qt::Key_Return);
    QTest::keyClick(target, Qt::Key_Enter, Qt::KeypadModifier);
    QCoreApplication::sendPostedEvents(&k.w);
    QCoreApplication::sendPostedEvents(&k.w);
    EXPECT_EQ(k.w.moduleMessages.size(), 3u);

    // A press the focus leaves before the release is no click.
    QTest::keyPress(target, Qt::Key_Space);
    k.w.keyTarget(k.indexOf(101))->setFocus(Qt::TabFocusReason);
    EXPECT_EQ(k.w.pressedIndex(), -1);
    QTest::keyRelease(k.w.keyTarget(k.indexOf(101)), Qt::Key_Space);
    QCoreApplication::sendPostedEvents(&k.w);
    QCoreApplication::sendPostedEvents(&k.w);
    EXPECT_EQ(k.w.moduleMessages.size(), 3u);

    // Minimise and close from the keyboard.
    QTest::keyClick(k.w.keyTarget(k.indexOf(TSkinForm::MinimiseButtonId)), Qt::Key_Return);
    QCoreApplication::sendPostedEvents(&k.w, SkinMessage::ControlClickMessage);
    k.w.keyTarget(k.indexOf(TSkinForm::CloseButtonId))->setFocus(Qt::TabFocusReason);
    QTest::keyClick(k.w.keyTarget(k.indexOf(TSkinForm::CloseButtonId)), Qt::Key_Space);
    QCoreApplication::sendPostedEvents(&k.w, SkinMessage::ControlClickMessage);
    EXPECT_EQ(k.w.commands, (std::vector<int>{}));
    QCoreApplication::sendPostedEvents(&k.w, TSkinForm::WindowCommandMessage);
    EXPECT_EQ(k.w.commands, (std::vector<int>{TSkinForm::CommandMinimise, TSkinForm::CommandClose}));
}

TEST(SkinAccessibility, EveryControlIsANamedButtonWithAPressAction) {
    KeyWindow k;
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&k.w);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->role(), QAccessible::Window);

    struct Expected {
        int id;
        const char* name;
    };
    const Expected expected[] = {{100, "Home"},
                                 {101, "Update"},
                                 {TSkinForm::MenuButtonId, "Menu"},
                                 {TSkinForm::MinimiseButtonId, "Minimise"},
                                 {TSkinForm::CloseButtonId, "Close"}};
    for (const Expected& e : expected) {
        const int index = k.indexOf(e.id);
        QAccessibleInterface* button = QAccessible::queryAccessibleInterface(k.w.keyTarget(index));
        ASSERT_NE(button, nullptr) << e.name;
        EXPECT_EQ(button->role(), QAccessible::Button) << e.name;
        EXPECT_EQ(button->text(QAccessible::Name), QString::fromLatin1(e.name));
        EXPECT_FALSE(button->text(QAccessible::Description).isEmpty()) << e.name;
        EXPECT_EQ(button->parent()->object(), &k.w) << e.name;
        EXPECT_GE(window->indexOfChild(button), 0) << e.name << " is reachable from the window";
        const TSkinControl& c = k.w.control(index);
        EXPECT_EQ(button->rect(), QRect(k.w.mapToGlobal(QPoint(c.Left, c.Top)), QSize(c.Width, c.Height)));
        EXPECT_TRUE(button->state().focusable);
        EXPECT_FALSE(button->state().focused);
        EXPECT_FALSE(button->state().invisible);
        QAccessibleActionInterface* actions = button->actionInterface();
        ASSERT_NE(actions, nullptr);
        EXPECT_TRUE(actions->actionNames().contains(QAccessibleActionInterface::pressAction())) << e.name;
    }
    QAccessibleInterface* home = QAccessible::queryAccessibleInterface(k.w.keyTarget(k.indexOf(100)));
    EXPECT_TRUE(home->state().selected);
    EXPECT_FALSE(QAccessible::queryAccessibleInterface(k.w.keyTarget(k.indexOf(101)))->state().selected);

    // Press: the module message, as a click; set focus: the focus mark.
    QAccessibleInterface* update = QAccessible::queryAccessibleInterface(k.w.keyTarget(k.indexOf(101)));
    update->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QCoreApplication::sendPostedEvents(&k.w);
    QCoreApplication::sendPostedEvents(&k.w);
    ASSERT_EQ(k.w.moduleMessages.size(), 1u);
    EXPECT_EQ(k.w.moduleMessages[0].first, 101);
    update->actionInterface()->doAction(QAccessibleActionInterface::setFocusAction());
    EXPECT_TRUE(update->state().focused);
    EXPECT_EQ(k.w.focusIndex(), k.indexOf(101));

    QAccessibleInterface* close = QAccessible::queryAccessibleInterface(k.w.keyTarget(k.indexOf(-4)));
    close->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    QCoreApplication::sendPostedEvents(&k.w, SkinMessage::ControlClickMessage);
    QCoreApplication::sendPostedEvents(&k.w, TSkinForm::WindowCommandMessage);
    EXPECT_EQ(k.w.commands, (std::vector<int>{TSkinForm::CommandClose}));
}

TEST(SkinAccessibility, ATitleCanNameTheWindowWithoutBeingDrawn) {
    class Untitled : public RecordingSkin {
        QString captionText() const override { return {}; }
    };
    RecordingSkin titled;
    Untitled untitled;
    RecordingSkin plain;
    for (RecordingSkin* w : {&titled, (RecordingSkin*)&untitled, &plain}) {
        w->resize(400, 200);
        if (w != &plain)
            w->setWindowTitle(QStringLiteral("Quorvi Hub Updater"));
        w->BuildSurfaces();
    }
    EXPECT_NE(titled.backgroundSurface(), plain.backgroundSurface());
    EXPECT_EQ(untitled.backgroundSurface(), plain.backgroundSurface());
    EXPECT_EQ(QAccessible::queryAccessibleInterface(&untitled)->text(QAccessible::Name),
              QStringLiteral("Quorvi Hub Updater"));
}
