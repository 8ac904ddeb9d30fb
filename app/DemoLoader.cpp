// The updater over the virtual HID bus: the main window talks to one virtual
// hub, which runs an older firmware so an update is on offer, and beside it
// the "Virtual hub" window plugs and unplugs the hub, sets its version, mode
// and faults, and shows every frame on the cable. What the window keeps of
// the virtual hub (LED levels, history) goes to a folder of this run.

#include "HidIap.h"
#include "ProgramInfo.h"
#include "StateDatabase.h"
#include "VirtualHidBus.h"
#include "VirtualHub.h"
#include "VirtualHubPanel.h"
#include "WindowPlacement.h"

#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

// For the project's screenshot script: with QUORVI_SCREENSHOT=<file.png> set,
// the demo saves what the screen shows of the updater's window once it has
// been painted, and ends.
class ScreenshotOnFirstPaint : public QObject {
public:
    ScreenshotOnFirstPaint(QWidget* window, QString file) : m_window(window), m_file(std::move(file)) {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !m_taken) {
            m_taken = true;
            QTimer::singleShot(0, this, [this] {
                const QRect g = m_window->geometry();
                QScreen* screen = m_window->screen();
                const QPixmap shot =
                    screen ? screen->grabWindow(0, g.x(), g.y(), g.width(), g.height()) : QPixmap();
                QCoreApplication::exit(!shot.isNull() && shot.save(m_file, "PNG") ? 0 : 1);
            });
        }
        return false;
    }

private:
    QWidget* m_window;
    QString m_file;
    bool m_taken = false;
};

} // namespace

int main(int argc, char** argv) {
    const QString program = QStringLiteral("quorvi-hub-updater-demo");
    if (const auto answered = programinfo::answerArguments(
            argc, argv, program,
            QStringLiteral("Shows the updater's window over a virtual hub, to try it without hardware.")))
        return *answered;
    QApplication app(argc, argv);
    programinfo::describeApplication(program);

    // The virtual hub's kept levels and history live as long as this run:
    // they are not the user's, and never reach the user's own state.
    QTemporaryDir state;
    StateDatabase::setDefaultFolder(state.path());

    VirtualHidBus bus;
    VirtualHub hub(bus);
    hub.apply(hubsim::demoHub());
    hub.plug();

    TfrmMain frmMain(bus);
    VirtualHubPanel panel(hub);
    panel.setWindowTitle(QStringLiteral("Virtual hub"));

    // Beside the updater where the screen has room, never over its module
    // and caption buttons (without a window manager nothing else moves it).
    if (const QScreen* screen = frmMain.screen()) {
        // The whole band the skin's controls lie in: the caption buttons are
        // laid out from the right edge only when the window is first drawn.
        int bandBottom = 0;
        for (int i = 0; i < frmMain.controlCount(); ++i)
            bandBottom = std::max(bandBottom, frmMain.control(i).Bounds.Bottom);
        const QRect skinControls(0, 0, frmMain.width(), bandBottom);
        const WindowPlacement place = placeCompanion(screen->availableGeometry(), frmMain.geometry(),
                                                     skinControls, panel.size(), panel.minimumSizeHint(), 16);
        frmMain.move(place.mainPos);
        panel.setGeometry(place.companion);
    }
    std::unique_ptr<ScreenshotOnFirstPaint> screenshot;
    if (const QString file = qEnvironmentVariable("QUORVI_SCREENSHOT"); !file.isEmpty())
        screenshot = std::make_unique<ScreenshotOnFirstPaint>(&frmMain, file);
    if (QCoreApplication::arguments().contains(QStringLiteral("--service")))
        frmMain.ShowServicePage();
    frmMain.show();
    panel.show();
    return app.exec();
}
