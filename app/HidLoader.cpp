#include "HidIap.h"
#include "NativeHidPlatform.h"
#include "ProgramInfo.h"

#include <QApplication>

#include <memory>

int main(int argc, char** argv) {
    const QString program = QStringLiteral("quorvi-hub-updater");
    if (const auto answered = programinfo::answerArguments(
            argc, argv, program, QStringLiteral("Checks and updates the firmware of Quorvi Charging Hubs.")))
        return *answered;
    QApplication app(argc, argv);
    programinfo::describeApplication(program);
    const std::unique_ptr<HidPlatform> platform = createNativeHidPlatform();
    TfrmMain frmMain(*platform);
    if (QCoreApplication::arguments().contains(QStringLiteral("--service")))
        frmMain.ShowServicePage();
    frmMain.show();
    return app.exec();
}
