// The main window for the keyboard and for assistive technology, tested
// through Qt's accessibility interfaces and key events alone.

#include "AccessibleWidgets.h"
#include "FormWidgets.h"
#include "HidIap.h"
#include "TestSupport.h"
#include "VirtualHidBus.h"
#include "VirtualHub.h"
#include "WindowPlacement.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QSignalSpy>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

namespace {

QString nameOf(QObject* o) {
    return QAccessible::queryAccessibleInterface(o)->text(QAccessible::Name);
}

void showActive(QWidget& w) {
    w.show();
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
}

// Fails the test on any mouse event that reaches any object.
class NoMouse : public QObject {
public:
    NoMouse() { qApp->installEventFilter(this); }
    ~NoMouse() override { qApp->removeEventFilter(this); }
    int seen = 0;

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        switch (e->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Wheel:
            ++seen;
            break;
        default:
            break;
        }
        return false;
    }
};

} // namespace

TEST(WindowAccessibility, NamesRolesAndValues) {
    VirtualHidBus bus;
    TfrmMain w(bus);
    QAccessibleInterface* window = QAccessible::queryAccessibleInterface(&w);
    EXPECT_EQ(window->role(), QAccessible::Window);
    EXPECT_EQ(window->text(QAccessible::Name), TfrmMain::windowName());

    // The log is named by its label, which is its buddy.
    QAccessibleInterface* log = QAccessible::queryAccessibleInterface(w.mmoUplog);
    EXPECT_EQ(log->text(QAccessible::Name), QStringLiteral("Log:"));
    EXPECT_EQ(w.lblLog->buddy(), w.mmoUplog);
    EXPECT_TRUE(w.mmoUplog->textInteractionFlags() & Qt::TextSelectableByKeyboard);
    EXPECT_TRUE(w.mmoUplog->isReadOnly());

    // Progress in per cent, whatever the bar counts.
    QAccessibleInterface* progress = QAccessible::queryAccessibleInterface(w.pbProgram);
    EXPECT_EQ(progress->role(), QAccessible::ProgressBar);
    EXPECT_EQ(progress->text(QAccessible::Name), QStringLiteral("Update progress"));
    w.pbProgram->setMaximum(626);
    w.pbProgram->setValue(313);
    EXPECT_EQ(progress->text(QAccessible::Value), QStringLiteral("50%"));
    ASSERT_NE(progress->valueInterface(), nullptr);
    EXPECT_EQ(progress->valueInterface()->currentValue().toInt(), 50);
    EXPECT_EQ(progress->valueInterface()->maximumValue().toInt(), 100);
    w.pbProgram->setValue(626);
    EXPECT_EQ(progress->text(QAccessible::Value), QStringLiteral("100%"));
    EXPECT_FALSE(nameOf(w.pbMsg).isEmpty());

    // Every control of the service page is named after its label.
    EXPECT_EQ(nameOf(w.edtVolt), QStringLiteral("电压"));
    EXPECT_EQ(nameOf(w.edtCurr), QStringLiteral("电流"));
    EXPECT_EQ(nameOf(w.edtChannel), QStringLiteral("通道"));
    EXPECT_EQ(nameOf(w.edtState), QStringLiteral("状态"));
    EXPECT_EQ(nameOf(w.trkLed1), QStringLiteral("LED1红"));
    EXPECT_EQ(nameOf(w.trkLed8), QStringLiteral("LED4绿"));
    EXPECT_EQ(nameOf(w.shp0), QStringLiteral("电池1"));
    std::set<QString> names;
    for (QWidget* c : w.tbshtTool->findChildren<QWidget*>()) {
        if (!qobject_cast<QLineEdit*>(c) && !qobject_cast<QSlider*>(c) && !qobject_cast<QAbstractButton*>(c))
            continue;
        const QString name = nameOf(c);
        EXPECT_FALSE(name.isEmpty()) << c->metaObject()->className();
        EXPECT_TRUE(names.insert(name).second) << "two controls named " << name.toStdString();
    }
    EXPECT_EQ(names.size(), 7u + 8u + 5u) << "edits, track bars, buttons (the trend's too) and the check box";
}

TEST(WindowAccessibility, LampSaysWhetherAHubIsConnected) {
    VirtualHidBus bus;
    TfrmMain w(bus);
    w.SetIndicator(0);
    QAccessibleInterface* lamp = QAccessible::queryAccessibleInterface(w.imgIndicator);
    EXPECT_EQ(lamp->text(QAccessible::Name), QStringLiteral("Hub connected"));
    EXPECT_EQ(lamp->text(QAccessible::Description), QStringLiteral("A hub is connected."));
    w.SetIndicator(1);
    EXPECT_EQ(lamp->text(QAccessible::Name), QStringLiteral("No hub connected"));
    EXPECT_EQ(lamp->text(QAccessible::Description), QStringLiteral("No hub is connected."));
}

TEST(WindowAccessibility, NewLogLinesAreAnnouncedOnceAsTheyAppear) {
    VirtualHidBus bus;
    TfrmMain w(bus);
    ASSERT_NE(w.announcer, nullptr);
    QAccessibleInterface* status = QAccessible::queryAccessibleInterface(w.announcer);
    EXPECT_EQ(status->role(), QAccessible::StatusBar);

    w.mmoUplog->appendPlainText(QStringLiteral("Programming..."));
    EXPECT_EQ(status->text(QAccessible::Name), QStringLiteral("Programming..."));
    w.mmoUplog->appendPlainText(QStringLiteral("Reboot..."));
    const int said = w.announcer->announcements();
    // A line that goes on is said again as it stands.
    QTextCursor cursor(w.mmoUplog->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QStringLiteral("OK."));
    EXPECT_EQ(status->text(QAccessible::Name), QStringLiteral("Reboot...OK."));
    EXPECT_EQ(w.announcer->announcements(), said + 1);
    w.mmoUplog->appendPlainText(QStringLiteral("Update completed."));
    EXPECT_EQ(status->text(QAccessible::Name), QStringLiteral("Update completed."));

    // A cleared log says nothing; the same line in a new run is news again.
    const int beforeClear = w.announcer->announcements();
    w.mmoUplog->clear();
    EXPECT_EQ(w.announcer->announcements(), beforeClear);
    w.mmoUplog->appendPlainText(QStringLiteral("Update completed."));
    EXPECT_EQ(w.announcer->announcements(), beforeClear + 1);
}

TEST(WindowKeyboard, FocusStartsOnThePageAndTabNeverEntersTheTabBar) {
    VirtualHidBus bus;
    TfrmMain w(bus);
    showActive(w);
    EXPECT_EQ(QApplication::focusWidget(), w.mmoReleaseNotes) << "the Home page's first control";
    EXPECT_EQ(w.pgcMain->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(w.pgcMain->tabBar()->focusPolicy(), Qt::NoFocus);

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(w.pgcMain->currentWidget(), w.tbshtUpdate);
    EXPECT_EQ(QApplication::focusWidget(), w.btnConnect) << "the Update page's first control";

    // One round of Tab visits every control once and comes back; no trap.
    std::vector<QWidget*> visited;
    for (int i = 0; i < 20 && (visited.empty() || QApplication::focusWidget() != w.btnConnect); ++i) {
        visited.push_back(QApplication::focusWidget());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    ASSERT_EQ(QApplication::focusWidget(), w.btnConnect) << "Tab comes round";
    const std::vector<QWidget*> expected{w.btnConnect,   w.btnUpdate,    w.chkAutoPRG,
                                         w.mmoUplog,     w.keyTarget(3), w.keyTarget(4),
                                         w.keyTarget(0), w.keyTarget(1), w.keyTarget(2)};
    EXPECT_EQ(visited, expected);
}

TEST(WindowKeyboard, CtrlTabSwitchesBetweenTheTwoPagesOnly) {
    VirtualHidBus bus;
    TfrmMain w(bus);
    showActive(w);
    std::vector<QWidget*> pages;
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
        pages.push_back(w.pgcMain->currentWidget());
    }
    EXPECT_EQ(pages, (std::vector<QWidget*>{w.tbshtUpdate, w.tbshtHome, w.tbshtUpdate}));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(w.pgcMain->currentWidget(), w.tbshtHome);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(w.pgcMain->currentWidget(), w.tbshtUpdate);
    // Where the system offers the keys under a second name that also matches,
    // Qt finds the match ambiguous: still a switch, and backwards.
    QShortcut other(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), &w);
    w.ShowServicePage();
    ASSERT_TRUE(testsupport::waitUntil([&] { return w.pgcMain->currentWidget() == w.tbshtTool; }));
    for (int i = 0; i < 2 && w.pgcMain->currentWidget() == w.tbshtTool; ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab,
                        Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(w.pgcMain->currentWidget(), w.tbshtUpdate) << "back from the service page is Update";
    // The skin's selection follows, as after a click on the module button.
    EXPECT_TRUE(w.control(4).Selected);
    EXPECT_FALSE(w.control(3).Selected);
    // From the module bar too; the focus goes into the page shown.
    w.keyTarget(3)->setFocus(Qt::TabFocusReason);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(w.pgcMain->currentWidget(), w.tbshtHome);
    EXPECT_EQ(QApplication::focusWidget(), w.mmoReleaseNotes);
}

TEST(WindowKeyboard, EnterActivatesTheFocusedButton) {
    VirtualHidBus bus;
    TfrmMain w(bus);
    showActive(w);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
    ASSERT_EQ(QApplication::focusWidget(), w.btnConnect);
    QSignalSpy clicked(w.btnConnect, &QPushButton::clicked);
    QTest::keyClick(w.btnConnect, Qt::Key_Return);
    QTest::keyClick(w.btnConnect, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(clicked.count(), 2);
    // A disabled button stays quiet, and Enter with a modifier is not a click.
    QTest::keyClick(w.btnConnect, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(clicked.count(), 2);
    w.btnConnect->setEnabled(false);
    QTest::keyClick(w.btnConnect, Qt::Key_Return);
    EXPECT_EQ(clicked.count(), 2);
}

TEST(WindowKeyboard, KeysAloneReachTheUpdatePageAndCompleteAnUpdate) {
    NoMouse mouse;
    VirtualHidBus bus;
    VirtualHub hub(bus);
    hub.setFirmwareVersion(0x11150905);
    hub.setRestartDelays(40, 40);
    hub.plug();
    TfrmMain w(bus);
    w.timing.writePauseMs = 1;
    w.timing.replyTimeoutMs = 1000;
    w.timing.modePollMs = 25;
    w.timing.modeWaitMs = 800;
    ASSERT_TRUE(testsupport::waitUntil([&] { return w.currentHub() != nullptr; }));
    showActive(w);

    // Tab from the Home page to the module bar, Enter on "Update".
    ASSERT_EQ(QApplication::focusWidget(), w.mmoReleaseNotes);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), w.keyTarget(4)) << "the Update module button";
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    ASSERT_TRUE(testsupport::waitUntil([&] { return w.pgcMain->currentWidget() == w.tbshtUpdate; }));

    // Check the version, then update.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ControlModifier);
    ASSERT_EQ(QApplication::focusWidget(), w.btnConnect);
    QTest::keyClick(w.btnConnect, Qt::Key_Space);
    EXPECT_EQ(w.announcer->lastAnnouncement(),
              QStringLiteral("Version: 1.1.15.0905. Update available. New version: 1.1.15.0906."));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), w.btnUpdate);
    QTest::keyClick(w.btnUpdate, Qt::Key_Return);

    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return w.mmoUplog->toPlainText().contains(QStringLiteral("Update completed.")); }, 20000))
        << w.mmoUplog->toPlainText().toStdString();
    EXPECT_EQ(w.announcer->lastAnnouncement(), QStringLiteral("Update completed."));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(w.pbProgram)->text(QAccessible::Value),
              QStringLiteral("100%"));
    EXPECT_EQ(hub.firmwareVersion(), 0x11150906u);
    EXPECT_EQ(mouse.seen, 0) << "no mouse event anywhere";
}

TEST(DemoPlacement, BesideWhereThereIsRoomNeverOverTheButtons) {
    const QRect main(0, 100, 859, 587);
    const QRect band(0, 0, 859, 120);
    const QSize preferred(900, 480), minimum(420, 300);
    const int gap = 16;

    // Room for both: side by side, centred, not overlapping.
    const QRect wide(0, 0, 1920, 1080);
    WindowPlacement p = placeCompanion(wide, main, band, preferred, minimum, gap);
    const QRect mainAt(p.mainPos, main.size());
    EXPECT_EQ(p.companion.size(), preferred);
    EXPECT_EQ(p.companion.left(), mainAt.right() + 1 + gap);
    EXPECT_LE(std::abs((mainAt.left() - wide.left()) - (wide.right() - p.companion.right())), 1);
    EXPECT_TRUE(wide.contains(p.companion));

    // Room for a narrower one: main at the left edge, companion narrowed.
    const QRect mid(0, 0, 1366, 768);
    p = placeCompanion(mid, main, band, preferred, minimum, gap);
    EXPECT_EQ(p.mainPos.x(), 0);
    EXPECT_FALSE(QRect(p.mainPos, main.size()).intersects(p.companion));
    EXPECT_GE(p.companion.width(), minimum.width());
    EXPECT_TRUE(mid.contains(p.companion));

    // No room beside: over the window's lower part, below its buttons.
    for (const QRect& small : {QRect(0, 0, 1024, 768), QRect(0, 0, 800, 600), QRect(0, 0, 640, 480)}) {
        const QRect at(QPoint(0, 0), main.size());
        p = placeCompanion(small, at, band, preferred, minimum, gap);
        EXPECT_FALSE(band.translated(p.mainPos).intersects(p.companion))
            << small.width() << "x" << small.height() << ": over the buttons";
        EXPECT_TRUE(small.contains(p.companion)) << small.width();
        EXPECT_GT(p.companion.width(), 0);
        EXPECT_GT(p.companion.height(), 0);
    }
    // A screen smaller than the window (1280 x 1024 at scale 2), the panel
    // taller than the room below the buttons: on the screen all the same.
    const QRect halved(0, 0, 640, 512);
    const QPoint halvedAt = placeOnScreen(halved, main.size());
    EXPECT_TRUE(halved.contains(QRect(halvedAt, main.size()).topRight())) << "the close button";
    p = placeCompanion(halved, QRect(halvedAt, main.size()), band, preferred, QSize(420, 450), gap);
    EXPECT_TRUE(halved.contains(p.companion));
    EXPECT_EQ(placeOnScreen(wide, main.size()), QPoint(530, 246)) << "centred where it fits";

    // A window already placed low on a tall narrow screen keeps the band clear too.
    p = placeCompanion(QRect(0, 0, 1000, 1600), QRect(50, 400, 859, 587), band, preferred, minimum, gap);
    EXPECT_FALSE(band.translated(p.mainPos).intersects(p.companion));
}

TEST(DemoPlacement, PercentOfAnyRange) {
    EXPECT_EQ(progressPercent(0, 0, 0), 0);
    EXPECT_EQ(progressPercent(-1, 0, 626), 0) << "a reset bar";
    EXPECT_EQ(progressPercent(626, 0, 626), 100);
    EXPECT_EQ(progressPercent(1, 0, 3), 33);
    EXPECT_EQ(progressPercent(900, 0, 626), 100);
    EXPECT_EQ(progressPercent(2000000000, 0, 2100000000), 95) << "no overflow";
    EXPECT_EQ(progressPercent(15, 10, 20), 50);
}
