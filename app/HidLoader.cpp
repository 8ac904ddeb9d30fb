#include "HidIap.h"
#include "NativeHidPlatform.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    NativeHidPlatform platform;
    TfrmMain frmMain(platform);
    frmMain.show();
    return app.exec();
}
