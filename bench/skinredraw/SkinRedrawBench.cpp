// Cost of the hover feedback of one control (RedrawControl: recompose its
// rectangle from the background layer) against a full composition
// (BuildSurfaces), in the main window's size and with its pictures.
// Prints medians in microseconds; the hover redraw should stay below 500 us.

#include "VevevSkin.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

double medianMicroseconds(int runs, const std::function<void()>& body) {
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(runs));
    QElapsedTimer clock;
    for (int i = 0; i < runs; ++i) {
        clock.start();
        body();
        samples.push_back(static_cast<double>(clock.nsecsElapsed()) / 1000.0);
    }
    std::nth_element(samples.begin(), samples.begin() + runs / 2, samples.end());
    return samples[static_cast<size_t>(runs / 2)];
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    TSkinForm w;
    w.resize(859, 587);
    const QString skin = QStringLiteral("Skin");
    w.SetBackground(QStringLiteral("BkImage1_jpg"), skin, 255, 150, 60, 60);
    w.AddModule(100, QStringLiteral("Home"), QStringLiteral("Module_Home_png"), skin);
    w.AddModule(101, QStringLiteral("Update"), QStringLiteral("Module_protec_png"), skin);
    w.SelectModule(100);
    w.BuildSurfaces();

    constexpr int runs = 2000;
    const int close = w.FindCaptionButton(TSkinForm::CloseButtonId);
    const int module = 4; // "Update", picture and caption

    // Highlighted controls: the dearer case (gradients, anti-aliased paths).
    w.SetHoverIndex(close);
    const double closeRedraw = medianMicroseconds(runs, [&] { w.RedrawControl(close); });
    w.SetHoverIndex(module);
    const double moduleRedraw = medianMicroseconds(runs, [&] { w.RedrawControl(module); });
    w.SetHoverIndex(-1);
    bool on = false;
    const double hoverToggle = medianMicroseconds(runs, [&] {
        on = !on;
        w.SetHoverIndex(on ? module : -1);
    });
    const double fullBuild = medianMicroseconds(200, [&] {
        w.DropSurfaces();
        w.BuildSurfaces();
    });

    std::printf("skin redraw, 859 x 587 window, median of %d runs (microseconds)\n", runs);
    std::printf("  RedrawControl close, hovered : %8.1f\n", closeRedraw);
    std::printf("  RedrawControl module, hovered: %8.1f\n", moduleRedraw);
    std::printf("  SetHoverIndex module on/off  : %8.1f\n", hoverToggle);
    std::printf("  BuildSurfaces (full)         : %8.1f  (median of 200)\n", fullBuild);
    std::printf("  hover redraw goal < 500 us   : %s\n",
                std::max(closeRedraw, moduleRedraw) < 500.0 ? "met" : "NOT met");
    return 0;
}
