#pragma once

#include "CheckedOutDevice.h"
#include "FirmwareImage.h"
#include "HubProtocol.h"
#include "HubRoster.h"
#include "HubSession.h"
#include "LedCalibrationStore.h"
#include "RunDataTrend.h"
#include "UpdateHistory.h"
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
class TabSheet;
class TrendWindow;
class HidPlatform;
class THidDevice;
class THidDeviceController;

// The main window: Home, Update and service pages, the bottom strip with the
// link lamp, the automatic-update status panel and the built-in version.
// Its implementation is split by subsystem: creation, events and status in
// HidIap.cpp, controls in MainWindowLayout.cpp, texts in FixedTexts.cpp, the
// skin calls in SkinSetUp.cpp.
class TfrmMain : public TSkinForm {
    Q_OBJECT
    // The exchange with the current hub. Declared first: the timing alias
    // below refers into it.
    HubSession m_session;
    LedCalibrationStore m_calibrationStore;
    UpdateHistory m_history{m_calibrationStore.filePath()};
    // Which hub is which: during an update, the hub the update started with
    // is the current hub, wherever it comes in the list after its restarts.
    HubRoster m_roster{[this] { return RefreshHubs() ? currentHub() : nullptr; }};

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
    // The version group's outcome, as the check left it.
    void AnnounceVersion();
    // The first control Tab reaches on a page, nullptr when it has none.
    QWidget* firstControlOf(QWidget* page) const;

    // Controls, public like a designed form's fields so handlers in other files and tests reach them.
    QFrame* pnlPages = nullptr;
    QTabWidget* pgcMain = nullptr;
    TabSheet* tbshtHome = nullptr;
    TabSheet* tbshtUpdate = nullptr;
    TabSheet* tbshtTool = nullptr;

    QLabel* lblHead = nullptr;
    QWidget* pnlHelp = nullptr;
    QLabel* lblHelp = nullptr;
    QWidget* pnlReleaseNotes = nullptr;
    QPlainTextEdit* mmoReleaseNotes = nullptr;

    QComboBox* cbbPort = nullptr;
    QFrame* pnlUpdate = nullptr;
    QPushButton* btnConnect = nullptr;
    QPushButton* btnUpdate = nullptr;
    QGroupBox* grpFirmware = nullptr;
    QLabel* lblDeviceVersion = nullptr;
    QLabel* lblUpdateAvail = nullptr;
    QLabel* lblThisVersion = nullptr;
    QCheckBox* chkAutoPRG = nullptr;
    QLabel* lblLog = nullptr;
    QPlainTextEdit* mmoUplog = nullptr;
    QProgressBar* pbProgram = nullptr;

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

    QGroupBox* grpLedAdjust = nullptr;
    // Each track bar carries its channel number as the "Tag" property.
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
    // Opens the trend of the readings the automatic refresh takes.
    QPushButton* btnTrend = nullptr;
    TrendWindow* frmTrend = nullptr;
    RunDataTrend runTrend;

    // The skin's menu button opens this: Service tool, Update history, About (WindowMenu.cpp).
    QMenu* mnuWindow = nullptr;
    HistoryWindow* frmHistory = nullptr;

    QFrame* pnl1 = nullptr;
    QLabel* imgIndicator = nullptr;
    QFrame* pnl2 = nullptr;
    QLabel* lbl23 = nullptr;
    QProgressBar* pbMsg = nullptr;
    QLabel* lblMsg = nullptr;
    QLabel* lbl10 = nullptr;
    StatusAnnouncer* announcer = nullptr;

    QTimer* tmrAuto = nullptr;
    QTimer* tmrRefresh = nullptr;
    QList<QPixmap> ilLED; // 0 green lamp, 1 red lamp

    // trkLed1..trkLed8 in channel order.
    std::array<QSlider*, 8> trackBars() const;
    // Channel number that a track bar sends to the hub.
    static int trackBarTag(const QSlider* bar);

    // Time limits and pauses of the hub link and the update: the session's.
    // Fixed in the program; tests shorten them to keep the suite fast.
    using Timing = HubSession::Timing;
    Timing& timing;

    HubSession& session() { return m_session; }

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
    THidDevice* currentHub() const { return m_session.device(); }
    // The hub at this position of the hub list (cbbPort), nullptr past its end.
    THidDevice* hubAt(int index) const;
    THidDeviceController* controller() const { return m_controller; }
    const HubRoster& roster() const { return m_roster; }

    // Version check (VersionCheck.cpp).
    void btnConnectClick();

    // Update procedure (Update.cpp).
    void btnUpdateClick();
    int QueryHubMode(); // 0 none, 1 bootloader, 2 application
    bool WaitForHubMode(int limitMs, int wanted);
    bool EnterBootloader();

    // Automatic update (AutoUpdate.cpp).
    void chkAutoPRGClick();
    void tmrAutoTimer();
    void tbshtToolShow();
    void tbshtToolHide();

    // Service page: running data and LED calibration (ServicePage.cpp).
    void btnReadClick();
    void chkRefreshClick();
    void tmrRefreshTimer();
    void btnStartAdjClick();
    void trkLed1Change(QSlider* Sender);
    void btnEndAdjClick();
    void btnTrendClick();

    // Window menu (WindowMenu.cpp). The menu button's click comes as module message -5.
    void MenuButtonClick(int index);
    // What module message 103 does: the service page, shown and selected.
    void ShowServicePage();
    void ShowHistory();
    void ShowAbout();

    // Program-wide flags, read by tests.
    bool autoUpdateArmed() const { return m_autoUpdateArmed; }
    bool updateInProgress() const { return m_session.updateInProgress(); }
    bool calibrationHeld() const { return m_session.calibrationHeld(); }
    // An exchange with the hub runs (a handler's, the update's, or a reply
    // wait): another one started now would take its replies.
    bool hubBusy() const { return m_exchanges > 0 || m_session.inReplyWait() || m_session.updateRunning(); }

protected:
    bool event(QEvent* event) override;

private:
    void BuildLayout();
    void ConnectHandlers();
    void FormCreate();
    void FormDestroy();
    void SetFixedTexts();
    void SetUpSkin();
    void SetUpKeyboardAndAccessibility();
    // Ctrl+Tab and Ctrl+Shift+Tab: the next or previous of the two pages.
    void switchPage(int step);
    void pageShown();
    void logChanged();
    void WMModule(const SkinMessage& message);
    void BuildWindowMenu();
    // Shows what the session reports in the window's controls.
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

    // Says in the log and the status line why a click did nothing; true when busy.
    bool refusedWhileBusy(const QString& what);
    // Handlers whose exchanges are running, and whether the levels read are
    // being put on the bars (their handler must then send them).
    int m_exchanges = 0;
    bool m_showingLevelsRead = false;

    // Log lines already announced, to tell the new ones.
    QStringList m_logSeen;
    // A page switch by the keyboard takes the focus into the page.
    bool m_focusIntoPage = false;

    // The automatic update's state.
    bool m_autoUpdateArmed = false;
    int m_armingDelay = 0;
    bool m_automaticUpdate = false; // the automatic sequence runs: nobody to ask

    // Lets tests set the program-wide flags that only the update procedure writes.
    friend struct TfrmMainTestAccess;
};
