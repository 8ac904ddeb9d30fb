// The window's path for plug and unplug without the window: the controller
// over the Windows binding runs a pass only when its hidden window hears of a
// change (WM_DEVICECHANGE, RegisterDeviceNotification), and this prints
// "hubs N (serials)" whenever the number of hubs changes. It ends with 0 once
// it has seen a hub come and go, with 1 when the time runs out.
//
//   windows_plug_watch [seconds]

#include "HidControllerClass.h"
#include "HubDevice.h"
#include "WindowsHidPlatform.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTimer>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 120;
    WindowsHidPlatform platform;
    THidDeviceController controller(nullptr, platform);
    int last = -1;
    bool seen = false;
    controller.setOnDeviceChange(TNotifyEvent(&controller, [&](QObject*) {
        QStringList serials;
        for (int i = 0; i < controller.count(); ++i) {
            const THidDevice* device = controller.deviceAt(i);
            if (device->Plugged() && hubdevice::isHub(device))
                serials.append(device->PnPInfo()->SerialNumber);
        }
        const int hubs = int(serials.size());
        if (hubs == last)
            return;
        last = hubs;
        std::printf("hubs %d (%s)\n", hubs, qPrintable(serials.join(QLatin1Char(' '))));
        std::fflush(stdout);
        seen = seen || hubs > 0;
        if (seen && hubs == 0)
            app.exit(0);
    }));
    QTimer::singleShot(seconds * 1000, &app, [&app] { app.exit(1); });
    return app.exec();
}
