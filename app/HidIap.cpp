#include "HidIap.h"

#include "AppVersion.h"
#include "ErrorReport.h"
#include "FormWidgets.h"
#include "ResourceLookup.h"
#include "SkinMessage.h"

#include <QCheckBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>

TfrmMain::TfrmMain(HidPlatform& platform, QWidget* parent)
    : TfrmMain(platform, QStringLiteral("appbin"), parent) {}

TfrmMain::TfrmMain(HidPlatform& platform, const QString& firmwareResource, QWidget* parent)
    : TSkinForm(parent), timing(m_session.timing), m_firmwareResource(firmwareResource),
      m_platform(&platform) {
    BuildLayout();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
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
    errorreport::runGuarded([this] { FormDestroy(); });
}

void TfrmMain::ConnectHandlers() {
    // Each through guarded(): an error a handler lets escape is reported
    // there and never unwinds into the event loop. Check boxes and track bars
    // run their handlers also when the program changes them.
    using errorreport::guarded;
    connect(btnConnect, &QPushButton::clicked, this, guarded([this] { btnConnectClick(); }));
    connect(btnUpdate, &QPushButton::clicked, this, guarded([this] { btnUpdateClick(); }));
    connect(chkAutoPRG, &QCheckBox::toggled, this, guarded([this] { chkAutoPRGClick(); }));
    connect(tmrAuto, &QTimer::timeout, this, guarded([this] { tmrAutoTimer(); }));
    connect(tbshtTool, &TabSheet::shown, this, guarded([this] { tbshtToolShow(); }));
    connect(tbshtTool, &TabSheet::hidden, this, guarded([this] { tbshtToolHide(); }));

    connect(btnRead, &QPushButton::clicked, this, guarded([this] { btnReadClick(); }));
    connect(chkRefresh, &QCheckBox::toggled, this, guarded([this] { chkRefreshClick(); }));
    connect(tmrRefresh, &QTimer::timeout, this, guarded([this] { tmrRefreshTimer(); }));
    connect(btnStartAdj, &QPushButton::clicked, this, guarded([this] { btnStartAdjClick(); }));
    for (QSlider* bar : trackBars())
        connect(bar, &QSlider::valueChanged, this, guarded([this, bar] { trkLed1Change(bar); }));
    connect(btnEndAdj, &QPushButton::clicked, this, guarded([this] { btnEndAdjClick(); }));
    connect(btnTrend, &QPushButton::clicked, this, guarded([this] { btnTrendClick(); }));
    BuildWindowMenu();
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
    if (m_firmwareResource.compare(QLatin1String("appbin"), Qt::CaseInsensitive) == 0)
        m_firmwareImage.loadBuiltIn();
    else
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
    if (!pnl2->isHidden())
        lblMsg->setText(text);
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
