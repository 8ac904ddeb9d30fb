#include "HidIap.h"

#include "AccessibleWidgets.h"
#include "AppVersion.h"
#include "AutoUpdate.h"
#include "ErrorReport.h"
#include "FixedTexts.h"
#include "FormWidgets.h"
#include "HomePage.h"
#include "ResourceLookup.h"
#include "ServicePage.h"
#include "SkinMessage.h"
#include "UpdatePage.h"
#include "WindowPlacement.h"

#include <QCloseEvent>
#include <QLabel>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>

TfrmMain::TfrmMain(HidPlatform& platform, QWidget* parent)
    : TfrmMain(platform, QStringLiteral("appbin"), parent) {}

TfrmMain::TfrmMain(HidPlatform& platform, const QString& firmwareResource, QWidget* parent)
    : TSkinForm(parent), m_setup(platform, LedCalibrationStore::defaultPath()), timing(m_session.timing),
      m_firmwareResource(firmwareResource), m_platform(&platform) {
    // Before any control exists: the pages name theirs as they make them.
    installAppAccessibleFactory();
    BuildLayout();
    if (const QScreen* screen = this->screen())
        move(placeOnScreen(screen->availableGeometry(), size()));
    ConnectHandlers();
    ConnectSession();
    SetUpKeyboardAndAccessibility();
    // A failing step ends the creation there; the window stays as far as it got.
    errorreport::runGuarded([this] { FormCreate(); });
    // The window opens with the focus on the first control of its page.
    if (QWidget* first = firstControlOf(pgcMain->currentWidget()))
        first->setFocus(Qt::OtherFocusReason);
}

TfrmMain::~TfrmMain() {
    // The controls outlive this part of the window: a page hidden or a timer
    // fired while they are torn down must not reach a handler of it.
    for (QObject* child : findChildren<QObject*>())
        child->disconnect(this);
    delete automaticUpdate;
    automaticUpdate = nullptr;
    errorreport::runGuarded([this] { FormDestroy(); });
}

void TfrmMain::ConnectHandlers() {
    // Each through guarded(): an error a handler lets escape is reported
    // there and never unwinds into the event loop.
    using errorreport::guarded;
    connect(tbshtTool, &TabSheet::shown, this, guarded([this] { automaticUpdate->servicePageShown(true); }));
    connect(tbshtTool, &TabSheet::hidden, this,
            guarded([this] { automaticUpdate->servicePageShown(false); }));
    connect(tbshtUpdate, &UpdatePage::announce, this, &TfrmMain::Announce);
    connect(tbshtUpdate, &UpdatePage::updateEnded, this, [this] {
        if (m_closeWhenUpdated && !m_session.updateRunning())
            QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    });
    BuildWindowMenu();
}

void TfrmMain::btnConnectClick() {
    tbshtUpdate->btnConnectClick();
}

void TfrmMain::btnUpdateClick() {
    tbshtUpdate->btnUpdateClick();
}

bool TfrmMain::autoUpdateArmed() const {
    return automaticUpdate && automaticUpdate->armed();
}

void TfrmMain::SetFixedTexts() {
    tbshtHome->setFixedTexts();
    tbshtUpdate->setFixedTexts();
    automaticUpdate->setFixedTexts();
    for (QLabel* fixed : findChildren<QLabel*>())
        if (fixed->textFormat() != Qt::RichText && !fixed->text().isEmpty())
            fixedtexts::fitToBox(fixed);
}

void TfrmMain::FormCreate() {
    QFont windowFont = font();
    windowFont.setFamily(QStringLiteral("Arial"));
    setFont(windowFont);
    tbshtHome->setHeadFamily(QStringLiteral("Arial"));

    SetFixedTexts();
    m_firmwareImage.clear();
    CreateController();
    if (m_firmwareResource.compare(QLatin1String("appbin"), Qt::CaseInsensitive) == 0)
        m_firmwareImage.loadBuiltIn();
    else
        m_firmwareImage.load(resources::loadResource(QStringLiteral("APP"), m_firmwareResource));
    SetUpSkin();

    // Pages are switched only by the module message, never by tabs.
    pgcMain->tabBar()->hide();
    pgcMain->setCurrentWidget(tbshtHome);

    lbl10->setText(QStringLiteral("Version: ") + FormatVersion(versionHexText(AppFirmwareVersion)));
    tbshtUpdate->clearVerdict();
}

void TfrmMain::FormDestroy() {
    m_firmwareImage.clear();
    ReleaseController();
}

bool TfrmMain::event(QEvent* e) {
    if (e->type() == static_cast<QEvent::Type>(SkinMessage::ModuleMessage)) {
        const auto& message = static_cast<const SkinMessage&>(*e);
        errorreport::runGuarded([&] { WMModule(message); });
        return true;
    }
    return TSkinForm::event(e);
}

void TfrmMain::WMModule(const SkinMessage& message) {
    const qintptr id = message.wParam();
    if (id == MenuButtonId) {
        MenuButtonClick(int(message.lParam()));
        return;
    }
    if (id < 100 || id > 105)
        return;
    SelectModule(static_cast<int>(id));
    switch (id) {
    case 100:
        pgcMain->setCurrentWidget(tbshtHome);
        break;
    case 101:
        pgcMain->setCurrentWidget(tbshtUpdate);
        break;
    case 103:
        pgcMain->setCurrentWidget(tbshtTool);
        break;
    default:
        break;
    }
}

void TfrmMain::ShowStatus(const QString& text) {
    if (automaticUpdate)
        automaticUpdate->showStatus(text);
}

void TfrmMain::closeEvent(QCloseEvent* event) {
    if (!m_session.updateRunning()) {
        TSkinForm::closeEvent(event);
        return;
    }
    // Hidden, the update would go on unseen, and a hub unplugged now may be
    // left in its bootloader.
    event->ignore();
    if (!m_closeWhenUpdated)
        tell(QStringLiteral("The update is still running: the window closes once it has ended. Do not "
                            "unplug the hub until then."));
    m_closeWhenUpdated = true;
}

void TfrmMain::SetIndicator(int index) {
    if (index < 0 || index >= ilLED.size())
        return;
    imgIndicator->setPixmap(ilLED.at(index));
    imgIndicator->repaint();
    // Not by colour alone: the name and description say it, and their change
    // is an accessibility event.
    imgIndicator->setAccessibleName(index == 0 ? QStringLiteral("Hub connected")
                                               : QStringLiteral("No hub connected"));
    imgIndicator->setAccessibleDescription(index == 0 ? QStringLiteral("A hub is connected.")
                                                      : QStringLiteral("No hub is connected."));
}
