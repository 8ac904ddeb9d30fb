// Everything the window asks of its skin: the background, the module bar and
// the module selection.
#include "HidIap.h"

void TfrmMain::SetUpSkin() {
    SetBackground(QStringLiteral("BkImage1_jpg"), QStringLiteral("Skin"), 255, 150, 60, 60);
    AddModule(100, QStringLiteral("Home"), QStringLiteral("Module_Home_png"), QStringLiteral("Skin"));
    AddModule(101, QStringLiteral("Update"), QStringLiteral("Module_protec_png"), QStringLiteral("Skin"));
    SelectModule(100);
}
