#include "HidIap.h"
#include "LinuxHidPlatform.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    LinuxHidPlatform platform;
    TfrmMain frmMain(platform);
    frmMain.show();
    return app.exec();
}
