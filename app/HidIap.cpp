#include "HidIap.h"

#include "AppVersion.h"
#include "ErrorReport.h"
#include "FormWidgets.h"
#include "ResourceLookup.h"
#include "SkinMessage.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>

TfrmMain::TfrmMain(HidPlatform& platform, QWidget* parent)
    : TfrmMain(platform, QStringLiteral("appbin"), parent) {}

TfrmMain::TfrmMain(HidPlatform& platform, const QString& firmwareResource, QWidget* parent)
    : TSkinForm(parent), m_firmwareResource(firmwareResource), m_platform(&platform) {
    BuildLayout();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    ConnectHandlers();
    // A failing step ends the creation there; the window stays as far as it got.
    errorreport::runGuarded([this] { FormCreate(); });
}

TfrmMain::~TfrmMain() {
    errorreport::runGuarded([this] { FormDestroy(); });
}

void TfrmMain::ConnectHandlers() {
    // The handlers of the hub link, the update and the service page are
    // connected here, each through errorreport::guarded().
}

void TfrmMain::FormCreate() {
    QFont windowFont = font();
    windowFont.setFamily(QStringLiteral("Arial"));
    setFont(windowFont);
    QFont headFont = lblHead->font();
    headFont.setFamily(QStringLiteral("Arial"));
    lblHead->setFont(headFont);

    SetFixedTexts();
    m_firmwareImage.clear();
    CreateController();
    m_firmwareImage.load(resources::loadResource(QStringLiteral("APP"), m_firmwareResource));
    SetUpSkin();

    // Pages are switched only by the module message, never by tabs.
    pgcMain->tabBar()->hide();
    pgcMain->setCurrentWidget(tbshtHome);

    lbl10->setText(QStringLiteral("Version: ") + FormatVersion(versionHexText(AppFirmwareVersion)));
    lblUpdateAvail->clear();
    lblThisVersion->clear();
}

void TfrmMain::FormDestroy() {
    m_firmwareImage.clear();
    ReleaseController();
}

void TfrmMain::CreateController() {}

void TfrmMain::ReleaseController() {}

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
    if (!pnl2->isHidden())
        lblMsg->setText(text);
}

void TfrmMain::SetIndicator(int index) {
    if (index < 0 || index >= ilLED.size())
        return;
    imgIndicator->setPixmap(ilLED.at(index));
    imgIndicator->repaint();
}
