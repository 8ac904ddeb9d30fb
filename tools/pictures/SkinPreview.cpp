// Shows a window built on the skin with the main window's size, modules and
// page panel, to look at the skin pictures in place.

#include "VevevSkin.h"

#include <QApplication>
#include <QLabel>
#include <QScreen>

int main(int argc, char** argv) {
    QApplication app(argc, argv);

    TSkinForm window;
    window.resize(859, 587);
    window.SetBackground(QStringLiteral("BkImage1_jpg"), QStringLiteral("Skin"), 255, 150, 60, 60);
    window.AddModule(100, QStringLiteral("Home"), QStringLiteral("Module_Home_png"), QStringLiteral("Skin"));
    window.AddModule(101, QStringLiteral("Update"), QStringLiteral("Module_protec_png"),
                     QStringLiteral("Skin"));
    if (app.arguments().contains(QStringLiteral("--all-modules"))) {
        window.AddModule(102, QStringLiteral("Tools"), QStringLiteral("Module_tools_png"),
                         QStringLiteral("Skin"));
        window.AddModule(103, QStringLiteral("Clock"), QStringLiteral("Module_clock_png"),
                         QStringLiteral("Skin"));
        window.AddModule(104, QStringLiteral("History"), QStringLiteral("Module_history_png"),
                         QStringLiteral("Skin"));
        window.AddModule(105, QStringLiteral("Search"), QStringLiteral("Module_search_png"),
                         QStringLiteral("Skin"));
    }
    window.SelectModule(100);

    auto* page = new QLabel(QStringLiteral("Quorvi Charging Hub"), &window);
    page->setGeometry(27, 152, 786, 359);
    page->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    page->setContentsMargins(40, 33, 0, 0);
    page->setAutoFillBackground(true);
    page->setStyleSheet(QStringLiteral("background: white; color: #333; font: 13px Arial;"));

    auto* version = new QLabel(QStringLiteral("Version: 1.1.15.0906"), &window);
    version->move(723, 554 + 7);
    version->setStyleSheet(QStringLiteral("color: white; font: 12px Arial;"));

    if (QScreen* s = window.screen())
        window.move(s->availableGeometry().center() - window.rect().center());
    window.show();
    return app.exec();
}
