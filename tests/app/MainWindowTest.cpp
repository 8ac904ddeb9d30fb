#include "ErrorCapture.h"
#include "FixedTexts.h"
#include "FormWidgets.h"
#include "HidIap.h"
#include "ResourceLookup.h"
#include "SkinMessage.h"
#include "TestSupport.h"
#include "VirtualHidBus.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <gtest/gtest.h>
#include <stdexcept>

namespace {

using testsupport::ErrorCapture;

// Id of the module button the skin shows selected, 0 when none is.
int selectedModule(const TfrmMain& w) {
    for (int i = 0; i < w.controlCount(); ++i) {
        if (w.control(i).Selected)
            return w.control(i).Id;
    }
    return 0;
}

void postModule(QWidget* window, qintptr id) {
    QCoreApplication::postEvent(window, new SkinMessage(SkinMessage::ModuleMessage, id, 3));
}

QString joinLines(const QStringList& lines) {
    return lines.join(QStringLiteral("\r\n"));
}

} // namespace

TEST(MainWindowStartUp, FixedTextsAreTheExactOnes) {
    ErrorCapture errors;
    VirtualHidBus bus;
    TfrmMain w(bus);
    EXPECT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();

    EXPECT_EQ(w.lblHead->text(), QStringLiteral("Quorvi Charging Hub"));
    const QString help = joinLines({
        "Charging Hub for Lumeta 1",
        "",
        "How to update:",
        "Step 1: Connect the Charging Hub to your computer by micro USB",
        "cable. Red LEDs on the Hub will blink when connected. It is not",
        "necessary to connect the Hub to power.",
        "Step 2: Go to the Update page and click [Check Version]. This will",
        "show whether an update is available.",
        "Step 3: Click [Update] to initiate the update.",
        "",
        "Note:",
        "1 Do not connect more than one Charging Hub at the same time;",
        "2 Do not remove the USB cable during the update;",
        "3 If the update fails, repeat the above steps.",
    });
    EXPECT_EQ(fixedtexts::helpText(), help);
    EXPECT_EQ(w.lblHelp->text(), help);
    const QString notes = joinLines({
        "Release Notes:       ",
        QString(61, '-'),
        "V1.1.15.0906",
        "* Fixed bug that occurs during extended charging,",
        "   e.g. leaving batteries in the Hub for over one",
        "   week.",
    });
    EXPECT_EQ(fixedtexts::releaseNotes(), notes);
    // The memo keeps paragraphs, not CR LF pairs.
    EXPECT_EQ(w.mmoReleaseNotes->toPlainText(), QString(notes).replace("\r\n", "\n"));
    EXPECT_EQ(w.btnConnect->text(), QStringLiteral("&Check Version"));
    EXPECT_EQ(w.btnUpdate->text(), QStringLiteral("&Update"));
    EXPECT_EQ(w.grpFirmware->title(), QStringLiteral("Device"));
    EXPECT_EQ(w.chkAutoPRG->text(), QStringLiteral("Automatically update when new hub is plugged in"));
    EXPECT_EQ(w.lblLog->text(), QStringLiteral("Log:"));
    EXPECT_EQ(w.lbl23->text(), QStringLiteral("自动升级："));
}

TEST(MainWindowStartUp, StateRightAfterCreation) {
    ErrorCapture errors;
    VirtualHidBus bus;
    TfrmMain w(bus);
    EXPECT_EQ(w.size(), QSize(859, 587));
    EXPECT_EQ(w.windowTitle(), TfrmMain::windowName()) << "a title for the task bar";
    EXPECT_TRUE(w.captionText().isEmpty()) << "the skin draws none";
    EXPECT_FALSE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(w.font().family(), QStringLiteral("Arial"));
    EXPECT_EQ(w.lblHead->font().family(), QStringLiteral("Arial"));
    EXPECT_EQ(w.lblHead->font().pixelSize(), 13);
    for (QWidget* inherits : {(QWidget*)w.lblHelp, (QWidget*)w.mmoReleaseNotes, (QWidget*)w.mmoUplog})
        EXPECT_EQ(inherits->font().family(), QStringLiteral("Arial"))
            << "the window's font reaches every page";
    EXPECT_EQ(w.lblMsg->font().family(), QStringLiteral("宋体"));

    EXPECT_EQ(w.lbl10->text(), QStringLiteral("Version: 1.1.15.0906"));
    EXPECT_EQ(w.lblDeviceVersion->text(), QString(17, ' '));
    EXPECT_TRUE(w.lblUpdateAvail->text().isEmpty());
    EXPECT_TRUE(w.lblThisVersion->text().isEmpty());
    EXPECT_FALSE(w.lblThisVersion->isHidden());

    EXPECT_EQ(w.pgcMain->currentWidget(), w.tbshtHome);
    EXPECT_TRUE(w.pgcMain->tabBar()->isHidden());
    EXPECT_TRUE(w.pnl2->isHidden());
    EXPECT_TRUE(w.cbbPort->isHidden());
    EXPECT_TRUE(w.tmrAuto->isActive());
    EXPECT_EQ(w.tmrAuto->interval(), 500);
    EXPECT_FALSE(w.tmrRefresh->isActive());
    EXPECT_EQ(w.tmrRefresh->interval(), 1000);
    EXPECT_FALSE(w.chkAutoPRG->isChecked());
    EXPECT_FALSE(w.chkRefresh->isChecked());
    EXPECT_TRUE(w.imgIndicator->pixmap().isNull()) << "no lamp until a hub pass has run";

    EXPECT_EQ(w.firmwareImage().count(), 626);
    EXPECT_TRUE(w.firmwareImage().isUsable());
}

TEST(MainWindowStartUp, MissingFirmwareStopsCreationAtThatStep) {
    ErrorCapture errors;
    VirtualHidBus bus;
    TfrmMain w(bus, QStringLiteral("xyz"));
    ASSERT_EQ(errors.messages, QStringList{QStringLiteral("Resource xyz not found")});
    // Steps before the image ran ...
    EXPECT_EQ(w.lblHead->text(), QStringLiteral("Quorvi Charging Hub"));
    EXPECT_EQ(w.firmwareImage().count(), 0);
    EXPECT_FALSE(w.firmwareImage().isUsable());
    // ... the ones after it did not.
    EXPECT_FALSE(w.pgcMain->tabBar()->isHidden());
    EXPECT_FALSE(w.lbl10->text().contains(QStringLiteral("1.1.15.0906")));
    EXPECT_FALSE(w.lblUpdateAvail->text().isEmpty());
    // The window still works.
    postModule(&w, 101);
    QCoreApplication::sendPostedEvents(&w);
    EXPECT_EQ(w.pgcMain->currentWidget(), w.tbshtUpdate);
}

TEST(MainWindowModuleMessage, SwitchesPagesAndSelectsModules) {
    struct Case {
        qintptr id;
        bool selects;
        int page; // -1: unchanged
    };
    const Case cases[] = {{99, false, -1}, {100, true, 0},  {101, true, 1},   {102, true, -1}, {103, true, 2},
                          {104, true, -1}, {105, true, -1}, {106, false, -1}, {-5, false, -1}};
    VirtualHidBus bus;
    TfrmMain w(bus);
    for (const Case& c : cases) {
        for (int start : {0, 1}) {
            const int startModule = 100 + start;
            w.pgcMain->setCurrentIndex(start);
            w.SelectModule(startModule);
            postModule(&w, c.id);
            EXPECT_EQ(w.pgcMain->currentIndex(), start) << "a posted message waits for the event loop";
            EXPECT_EQ(selectedModule(w), startModule);
            QCoreApplication::sendPostedEvents(&w);
            EXPECT_EQ(w.pgcMain->currentIndex(), c.page < 0 ? start : c.page) << "id " << c.id;
            // Only Home (100) and Update (101) have buttons; selecting another id leaves none selected.
            const int expected = !c.selects ? startModule : (c.id == 100 || c.id == 101) ? int(c.id) : 0;
            EXPECT_EQ(selectedModule(w), expected) << "id " << c.id;
        }
    }
}

TEST(MainWindowModuleMessage, ToolPageAnnouncesItsShowAndHide) {
    VirtualHidBus bus;
    TfrmMain w(bus);
    QSignalSpy shown(w.tbshtTool, &TabSheet::shown);
    QSignalSpy hidden(w.tbshtTool, &TabSheet::hidden);
    w.show();
    ASSERT_TRUE(testsupport::waitUntil([&] { return w.isVisible(); }));
    EXPECT_EQ(shown.count(), 0);
    postModule(&w, 103);
    ASSERT_TRUE(testsupport::waitUntil([&] { return shown.count() == 1; }));
    EXPECT_EQ(hidden.count(), 0);
    postModule(&w, 102);
    postModule(&w, 101);
    ASSERT_TRUE(testsupport::waitUntil([&] { return hidden.count() == 1; }));
    EXPECT_EQ(shown.count(), 1);
}

TEST(MainWindowModuleMessage, ClosingOnTheToolPageRunsNoHandlerOfTheDyingWindow) {
    // Tearing down the pages hides the Tool page; its hide handler must not run
    // on a window that is half destroyed (the sanitizer build catches that).
    ErrorCapture errors;
    VirtualHidBus bus;
    auto* w = new TfrmMain(bus);
    w->chkAutoPRG->setChecked(true);
    w->show();
    postModule(w, 103);
    ASSERT_TRUE(testsupport::waitUntil([&] { return w->pnl2->isVisible(); }));
    delete w;
    EXPECT_TRUE(errors.messages.isEmpty()) << errors.messages.join('\n').toStdString();
}

TEST(MainWindowStatus, ShowStatusWritesOnlyWhileThePanelIsUp) {
    VirtualHidBus bus;
    TfrmMain w(bus);
    const QString before = w.lblMsg->text();
    w.ShowStatus(QStringLiteral("Programming..."));
    EXPECT_EQ(w.lblMsg->text(), before);
    w.pnl2->show();
    EXPECT_EQ(w.lblMsg->text(), before) << "a dropped text does not come back";
    w.ShowStatus(QStringLiteral("Update completed."));
    EXPECT_EQ(w.lblMsg->text(), QStringLiteral("Update completed."));
    w.pnl2->hide();
    w.ShowStatus(QStringLiteral("Timeout."));
    EXPECT_EQ(w.lblMsg->text(), QStringLiteral("Update completed."));
}

TEST(MainWindowStatus, IndicatorShowsGreenOrRedLamp) {
    VirtualHidBus bus;
    TfrmMain w(bus);
    ASSERT_EQ(w.ilLED.size(), 2);
    for (const QPixmap& lamp : w.ilLED)
        ASSERT_EQ(lamp.size(), QSize(24, 24));
    const auto centre = [&] { return w.imgIndicator->pixmap().toImage().pixelColor(12, 12); };
    w.SetIndicator(0);
    EXPECT_GT(centre().green(), 2 * centre().red());
    w.SetIndicator(1);
    EXPECT_GT(centre().red(), 2 * centre().green());
    w.SetIndicator(2); // no such lamp: keeps the red one
    EXPECT_GT(centre().red(), 2 * centre().green());
}

TEST(MainWindowStatus, ShapesPaintTheirFillInsideAGreyOutline) {
    ShapeWidget shape;
    shape.resize(49, 19);
    shape.setBrushColor(QColor(0x33, 0x99, 0xFF));
    const QImage image = shape.grab().toImage();
    EXPECT_EQ(image.pixelColor(24, 9), QColor(0x33, 0x99, 0xFF));
    EXPECT_EQ(image.pixelColor(0, 0), ShapeWidget::penColor());
    EXPECT_EQ(image.pixelColor(48, 18), ShapeWidget::penColor());
    VirtualHidBus bus;
    TfrmMain w(bus);
    w.shp2->setProperty("brushColor", QColor(Qt::white));
    EXPECT_EQ(w.shp2->brushColor(), QColor(Qt::white));
}

TEST(ErrorReporting, EscapingExceptionsAreReportedAndTheProgramGoesOn) {
    ErrorCapture errors;
    QPushButton button;
    int after = 0;
    QObject::connect(&button, &QPushButton::clicked,
                     errorreport::guarded([] { throw std::runtime_error("Device cannot be opened"); }));
    QObject::connect(&button, &QPushButton::clicked, [&] { ++after; });
    button.click();
    EXPECT_EQ(errors.messages, QStringList{QStringLiteral("Device cannot be opened")});
    EXPECT_EQ(after, 1);

    QSlider slider;
    int seen = -1;
    QObject::connect(&slider, &QSlider::valueChanged, errorreport::guarded([&](int v) {
        seen = v;
        throw 42;
    }));
    slider.setValue(7);
    EXPECT_EQ(seen, 7) << "handlers receive the signal's arguments";
    EXPECT_EQ(errors.messages.size(), 2);
    EXPECT_TRUE(errorreport::runGuarded([] {}));
}

TEST(Resources, LookupIgnoresCaseAndNamesWhatIsMissing) {
    const QString path = resources::findResource(QStringLiteral("app"), QStringLiteral("appbin"));
    EXPECT_FALSE(path.isEmpty());
    EXPECT_EQ(resources::findResource(QStringLiteral("APP"), QStringLiteral("APPBIN")), path);
    EXPECT_EQ(resources::loadResource(QStringLiteral("App"), QStringLiteral("AppBin")).size(), 31300);
    EXPECT_FALSE(resources::findResource(QStringLiteral("led"), QStringLiteral("ledred.png")).isEmpty());
    EXPECT_TRUE(resources::findResource(QStringLiteral("APP"), QStringLiteral("xyz")).isEmpty());
    try {
        resources::loadResource(QStringLiteral("APP"), QStringLiteral("xyz"));
        FAIL() << "no exception";
    } catch (const resources::ResourceNotFound& e) {
        EXPECT_STREQ(e.what(), "Resource xyz not found");
    }
}
