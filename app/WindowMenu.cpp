// The skin's menu button: a small menu that leads to the service page, the
// update history and the program's description.

#include "ErrorReport.h"
#include "HidIap.h"
#include "HistoryWindow.h"
#include "ProgramInfo.h"
#include "SkinMessage.h"

#include <QCoreApplication>
#include <QMenu>
#include <QMessageBox>

void TfrmMain::BuildWindowMenu() {
    using errorreport::guarded;
    mnuWindow = new QMenu(this);
    mnuWindow->setObjectName(QStringLiteral("mnuWindow"));
    mnuWindow->setAccessibleName(QStringLiteral("Window menu"));
    mnuWindow->addAction(QStringLiteral("&Service tool"), this, guarded([this] { ShowServicePage(); }));
    mnuWindow->addAction(QStringLiteral("Update &history"), this, guarded([this] { ShowHistory(); }));
    mnuWindow->addAction(QStringLiteral("&About"), this, guarded([this] { ShowAbout(); }));
}

void TfrmMain::MenuButtonClick(int index) {
    // Under the button, opened without waiting: the keyboard moves in it at once.
    QPoint at = mapToGlobal(QPoint(width() - 100, 24));
    if (index >= 0 && index < controlCount())
        at = mapToGlobal(QPoint(control(index).Left, control(index).Top + control(index).Height));
    mnuWindow->popup(at);
    mnuWindow->setActiveAction(mnuWindow->actions().value(0));
}

void TfrmMain::ShowServicePage() {
    // The page's own way in, so it is switched exactly as the module message does it.
    QCoreApplication::postEvent(this, new SkinMessage(SkinMessage::ModuleMessage, 103, -1));
}

void TfrmMain::ShowHistory() {
    if (!frmHistory)
        frmHistory = new HistoryWindow(this);
    frmHistory->setRecords(m_setup.history().read());
    frmHistory->show();
    frmHistory->raise();
    frmHistory->activateWindow();
}

void TfrmMain::ShowAbout() {
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("About"),
                                programinfo::versionText(QStringLiteral("quorvi-hub-updater")).trimmed(),
                                QMessageBox::Ok, this);
    box->setInformativeText(
        QStringLiteral("Checks and updates the firmware of Quorvi Charging Hubs, reads their "
                       "running data and adjusts their LED levels."));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}
