// The updater over the virtual HID bus: the main window talks to one virtual
// hub, which runs an older firmware so an update is on offer, and beside it
// the "Virtual hub" window plugs and unplugs the hub, sets its version, mode
// and faults, and shows every frame on the cable.

#include "HidIap.h"
#include "VirtualHidBus.h"
#include "VirtualHub.h"
#include "VirtualHubPanel.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>

int main(int argc, char** argv) {
    QApplication app(argc, argv);

    VirtualHidBus bus;
    VirtualHub hub(bus);
    hub.setFirmwareVersion(0x11150905);
    // Restarts take about as long as on the real hub, and every report about
    // a USB frame each way.
    hub.setRestartDelays(1000, 1000);
    hubsim::HubFaults faults = hub.faults();
    faults.usbTiming = true;
    hub.setFaults(faults);
    hub.plug();

    TfrmMain frmMain(bus);
    VirtualHubPanel panel(hub);
    panel.setWindowTitle(QStringLiteral("Virtual hub"));

    // Side by side when the screen has room, the updater on the left.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        const int width = frmMain.width() + 16 + panel.sizeHint().width();
        if (width <= area.width()) {
            const int left = area.left() + (area.width() - width) / 2;
            frmMain.move(left, frmMain.y());
            panel.move(left + frmMain.width() + 16, frmMain.y());
        }
    }
    frmMain.show();
    panel.show();
    return app.exec();
}
