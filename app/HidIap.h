#pragma once

#include "AutoUpdate.h"
#include "CheckedOutDevice.h"
#include "FirmwareImage.h"
#include "HomePage.h"
#include "HubPort.h"
#include "HubProtocol.h"
#include "HubRoster.h"
#include "HubSession.h"
#include "HubSessionSetup.h"
#include "ServicePage.h"
#include "UpdatePage.h"
#include "VevevSkin.h"

#include <QList>
#include <QPixmap>
#include <QWidget>
#include <array>
#include <cstdint>
#include <vector>

class HistoryWindow;
class QCheckBox;
class QMenu;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSlider;
class QTabWidget;
class QTimer;
class SkinMessage;
class StatusAnnouncer;
class ShapeWidget;
class HidPlatform;
class THidDevice;
class THidDeviceController;

// The main window: the Home, Update and service pages, the automatic update,
// and the bottom strip with the link lamp, the automatic-update status panel
// and the built-in version. Each page and the automatic update own their
// controls and behaviour and reach the hub through the window's HubPort; the
// window itself keeps the hub list, the link lamp and the page switching.
class TfrmMain : public TSkinForm, private HubPort {
    Q_OBJECT
    // The exchange with the current hub. Declared first: the timing alias
    // below refers into it.
    HubSession m_session;
    // Kept levels, history and update locks, as the command line keeps them.
    HubSessionSetup m_setup;
    // Which hub is which: during an update, the hub the update started with
    // is the current hub, wherever it comes in the list after its restarts.
    HubRoster m_roster{[this](const HubRoster::Choose&) { return findHub(); }};

public:
    // The window finds its hubs through the given HID binding: the Linux one
    // for real hubs, the virtual bus for the demo and the tests.
    explicit TfrmMain(HidPlatform& platform, QWidget* parent = nullptr);
    // Loads the firmware image from the APP resource of the given name instead of "appbin".
    TfrmMain(HidPlatform& platform, const QString& firmwareResource, QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Puts the text on the status line, but only while the status panel is up;
    // a text sent while it is hidden is dropped, not kept for later.
    void ShowStatus(const QString& text);
    // Link lamp: 0 green (a hub is selected), 1 red (none).
    void SetIndicator(int index);

    const FirmwareImage& firmwareImage() const { return m_firmwareImage; }

    // The window's title names it in the task bar and window lists; the skin
    // draws no title on it.
    static QString windowName();
    QString captionText() const override { return {}; }

    // Keyboard and assistive technology (Accessibility.cpp).
    // Tells assistive technology what just appeared in the window.
    void Announce(const QString& text);
    // The first control Tab reaches on a page, nullptr when it has none.
    QWidget* firstControlOf(QWidget* page) const;

    QFrame* pnlPages = nullptr;
    QTabWidget* pgcMain = nullptr;
    HomePage* tbshtHome = nullptr;
    UpdatePage* tbshtUpdate = nullptr;
    ServicePage* tbshtTool = nullptr;
    AutoUpdate* automaticUpdate = nullptr;

    // The hub list, entry for entry of m_hubs; hidden.
    QComboBox* cbbPort = nullptr;
    QFrame* pnl1 = nullptr;
    QLabel* imgIndicator = nullptr;
    QLabel* lbl10 = nullptr;
    StatusAnnouncer* announcer = nullptr;
    QList<QPixmap> ilLED; // 0 green lamp, 1 red lamp
    // The skin's menu button opens this: Service tool, Update history, About (WindowMenu.cpp).
    QMenu* mnuWindow = nullptr;
    HistoryWindow* frmHistory = nullptr;

    // The pages' controls under their designed names, for those that find
    // the window's controls by name. The pages own them; nothing in the
    // window reads them.
    QLabel* lblHead = nullptr;
    QWidget* pnlHelp = nullptr;
    QLabel* lblHelp = nullptr;
    QWidget* pnlReleaseNotes = nullptr;
    QPlainTextEdit* mmoReleaseNotes = nullptr;
    QFrame* pnlUpdate = nullptr;
    QPushButton* btnConnect = nullptr;
    QPushButton* btnUpdate = nullptr;
    QGroupBox* grpFirmware = nullptr;
    QLabel* lblDeviceVersion = nullptr;
    QLabel* lblUpdateAvail = nullptr;
    QLabel* lblThisVersion = nullptr;
    QLabel* lblLog = nullptr;
    QPlainTextEdit* mmoUplog = nullptr;
    QProgressBar* pbProgram = nullptr;
    QCheckBox* chkAutoPRG = nullptr;
    QTimer* tmrAuto = nullptr;
    QFrame* pnl2 = nullptr;
    QLabel* lbl23 = nullptr;
    QProgressBar* pbMsg = nullptr;
    QLabel* lblMsg = nullptr;
    QGroupBox* grpRunData = nullptr;
    QLineEdit* edtVolt = nullptr;
    QLineEdit* edtCurr = nullptr;
    QLineEdit* edtChannel = nullptr;
    QLineEdit* edtState = nullptr;
    QLineEdit* edtCyc1 = nullptr;
    QLineEdit* edtCyc2 = nullptr;
    QLineEdit* edtCyc3 = nullptr;
    ShapeWidget* shp0 = nullptr;
    ShapeWidget* shp1 = nullptr;
    ShapeWidget* shp2 = nullptr;
    ShapeWidget* shp3 = nullptr;
    ShapeWidget* shp4 = nullptr;
    ShapeWidget* shp5 = nullptr;
    QPushButton* btnRead = nullptr;
    QCheckBox* chkRefresh = nullptr;
    QPushButton* btnTrend = nullptr;
    QGroupBox* grpLedAdjust = nullptr;
    QSlider* trkLed1 = nullptr;
    QSlider* trkLed2 = nullptr;
    QSlider* trkLed3 = nullptr;
    QSlider* trkLed4 = nullptr;
    QSlider* trkLed5 = nullptr;
    QSlider* trkLed6 = nullptr;
    QSlider* trkLed7 = nullptr;
    QSlider* trkLed8 = nullptr;
    QPushButton* btnStartAdj = nullptr;
    QPushButton* btnEndAdj = nullptr;
    QTimer* tmrRefresh = nullptr;

    // Time limits and pauses of the hub link and the update: the session's.
    // Fixed in the program; tests shorten them to keep the suite fast.
    using Timing = HubSession::Timing;
    Timing& timing;

    HubSession& session() override { return m_session; }

    // Hub link: one request frame and its reply, through the session (HubLink.cpp).
    int SendFrame(std::uint8_t command, const HubRequest& request);
    int SendFrameSub(std::uint8_t command, const HubRequest& request);
    int WaitReply();
    void HubDataReceived(THidDevice* HidDev, std::uint8_t ReportID, const std::uint8_t* Data,
                         std::uint16_t Size);
    const std::array<std::uint8_t, 64>& replyBuffer() const { return m_session.link().replyBuffer(); }

    // Hub discovery and selection (HubDiscovery.cpp).
    void HubDeviceChange(QObject* Sender);
    bool RefreshHubs();
    // The roster's finder: a pass, then the current hub.
    THidDevice* findHub();
    THidDevice* currentHub() const { return m_session.device(); }
    // The hub at this position of the hub list (cbbPort), nullptr past its end.
    THidDevice* hubAt(int index) const;
    THidDeviceController* controller() const { return m_controller; }
    const HubRoster& roster() const { return m_roster; }

    // The version check and the update, as their buttons run them.
    void btnConnectClick();
    void btnUpdateClick();
    int QueryHubMode(); // 0 none, 1 bootloader, 2 application
    bool WaitForHubMode(int limitMs, int wanted);
    bool EnterBootloader();

    // Window menu (WindowMenu.cpp). The menu button's click comes as module message -5.
    void MenuButtonClick(int index);
    // What module message 103 does: the service page, shown and selected.
    void ShowServicePage();
    void ShowHistory();
    void ShowAbout();

    // Program-wide flags, read by tests.
    bool autoUpdateArmed() const;
    bool updateInProgress() const { return m_session.updateInProgress(); }
    bool calibrationHeld() const { return m_session.calibrationHeld(); }
    // An exchange with the hub runs (a handler's, the update's, or a reply
    // wait): another one started now would take its replies.
    bool hubBusy() const { return m_exchanges > 0 || m_session.inReplyWait() || m_session.updateRunning(); }

protected:
    bool event(QEvent* event) override;
    // Closing while an update runs would leave it running unseen: the window
    // stays until the update has ended, and says so.
    void closeEvent(QCloseEvent* event) override;

private:
    // What the pages ask of the hub (HubLink.cpp).
    bool busy() const override { return hubBusy(); }
    void exchangeBegins() override { ++m_exchanges; }
    void exchangeEnds() override { --m_exchanges; }
    bool takeSelectedHub() override;
    QString whyNoHub() const override;
    HubSession::UpdateResult runUpdate(const FirmwareImage& image) override;
    void showLink() override;
    void showStatus(const QString& text) override { ShowStatus(text); }
    void tell(const QString& text) override;

    void BuildLayout();
    // The pages' controls under the window's names.
    void nameControls();
    void ConnectHandlers();
    void FormCreate();
    void FormDestroy();
    void SetFixedTexts();
    void SetUpSkin();
    void SetUpKeyboardAndAccessibility();
    // Ctrl+Tab and Ctrl+Shift+Tab: the next or previous of the two pages.
    void switchPage(int step);
    void pageShown();
    void WMModule(const SkinMessage& message);
    void BuildWindowMenu();
    // Shows what the session reports in the window's own controls.
    void ConnectSession();

    // The HID device controller and the first hub discovery pass (creation),
    // and at the end the release of every checked-out device, then the
    // controller (HubDiscovery.cpp).
    void CreateController();
    void ReleaseController();
    // Checks every device of the hub list back in and empties it.
    void releaseHubList();

    QString m_firmwareResource;
    FirmwareImage m_firmwareImage;

    // The HID layer: the binding given at creation (not owned) and the
    // controller (owned, created in FormCreate). The hub the window talks to
    // is the session's device.
    HidPlatform* m_platform = nullptr;
    THidDeviceController* m_controller = nullptr;
    // The hubs of the hub list, entry for entry of cbbPort, held checked out.
    std::vector<CheckedOutDevice> m_hubs;
    // Checked-out devices that are not in the hub list: other HID devices and
    // hubs this user may not open. Given back once unplugged, and at the end.
    std::vector<CheckedOutDevice> m_setAside;
    QList<quint32> m_accessReported; // instances told of missing access

    // Handlers whose exchanges are running.
    int m_exchanges = 0;
    // A page switch by the keyboard takes the focus into the page.
    bool m_focusIntoPage = false;
    // Closed while an update ran: closes once it has ended.
    bool m_closeWhenUpdated = false;

    // Lets tests set the program-wide flags that only the update procedure writes.
    friend struct TfrmMainTestAccess;
};
