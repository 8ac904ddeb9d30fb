// The demo's window over its virtual hub, with the hub's control window
// beside it, taken through one full update as a user would with the Update
// button. Prints the update's wall time against its floor (the pauses the
// update makes on purpose) and how long a 2 ms sleep takes with and without
// the precise timer, saves a picture of the screen when a file is named, and
// exits 0 only when the hub runs the built-in firmware in its application
// afterwards.
//
//   windows_demo_update [picture.png]

#include "AppVersion.h"
#include "HidIap.h"
#include "PreciseTiming.h"
#include "ThreadExitOrder.h"
#include "VirtualHidBus.h"
#include "VirtualHub.h"
#include "VirtualHubPanel.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

bool processUntil(const std::function<bool()>& done, int ms) {
    QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Labels whose text, in the face the system gave them, does not fit their
// box: a line wider than the box where nothing wraps, or a wrapped text taller
// than the box.
QStringList cutTexts(const QWidget& window) {
    QStringList cut;
    for (const QLabel* label : window.findChildren<QLabel*>()) {
        if (label->text().isEmpty() || label->isHidden() || label->textFormat() == Qt::RichText)
            continue;
        const QRect box = label->contentsRect();
        const QFontMetrics metrics(label->font());
        // Without a face for its script (no CJK font in the test's prefix) a
        // label's width says nothing about the layout: told apart, not judged.
        const QString text = label->text();
        if (std::any_of(text.cbegin(), text.cend(),
                        [&](QChar c) { return !c.isSpace() && !metrics.inFont(c); }))
            continue;
        bool fits = true;
        if (label->wordWrap()) {
            fits = metrics.boundingRect(QRect(0, 0, box.width(), 1 << 16), Qt::TextWordWrap, label->text())
                       .height() <= box.height();
        } else {
            for (const QString& line : label->text().split(QRegularExpression(QStringLiteral("\\r?\\n"))))
                fits = fits && metrics.horizontalAdvance(line) <= box.width();
        }
        if (!fits)
            cut.append(label->objectName().isEmpty() ? label->text().left(30) : label->objectName());
    }
    return cut;
}

double meanSleepMs(int ms, int rounds) {
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < rounds; ++i)
        QThread::msleep(static_cast<unsigned long>(ms));
    return double(clock.nsecsElapsed()) / 1e6 / rounds;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The window's libraries leave the order of a thread's cleanups as the
    // binding sets it (ThreadExitOrder.cpp): its hubs' threads end safely.
    if (!WinSys::threadExitOrderHolds()) {
        std::fprintf(stderr, "a thread's thread-local storage is freed before its destructors run\n");
        return 1;
    }
    const QString picture = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();

    const hubsim::HubSetup setup = hubsim::demoHub();
    VirtualHidBus bus;
    VirtualHub hub(bus);
    hub.apply(setup);
    hub.plug();

    TfrmMain window(bus);
    VirtualHubPanel panel(hub);
    panel.setWindowTitle(QStringLiteral("Virtual hub"));
    window.move(16, 16);
    panel.move(16 + window.width() + 16, 16);
    window.show();
    panel.show();

    if (!processUntil([&] { return window.currentHub() != nullptr; }, 20000)) {
        std::fprintf(stderr, "the window found no hub\n");
        return 1;
    }

    const int lines = window.firmwareImage().count();
    const int frames = 2 * lines;
    const qint64 floorMs =
        qint64(frames) * window.timing.writePauseMs + setup.bootloaderEntryMs + setup.rebootMs;
    QElapsedTimer clock;
    clock.start();
    window.btnUpdate->click(); // returns when the update has ended
    const qint64 wallMs = clock.elapsed();

    const bool updated =
        hub.firmwareVersion() == AppFirmwareVersion && hub.mode() == hubsim::HubMode::Application;
    const QStringList log = window.mmoUplog->toPlainText().split(QLatin1Char('\n'));
    std::printf(
        "update: %lld ms wall, floor %lld ms (%d frames x %d ms pause + restarts %d + %d ms), %.2fx\n",
        static_cast<long long>(wallMs), static_cast<long long>(floorMs), frames, window.timing.writePauseMs,
        setup.bootloaderEntryMs, setup.rebootMs, double(wallMs) / double(floorMs));
    const double coarse = meanSleepMs(2, 50);
    double precise = 0;
    {
        const PreciseTiming hold;
        precise = meanSleepMs(2, 50);
    }
    std::printf("2 ms sleep: %.2f ms without the precise timer, %.2f ms with it\n", coarse, precise);
    std::printf("hub firmware %s, last log line \"%s\"\n", qPrintable(versionHexText(hub.firmwareVersion())),
                qPrintable(log.constLast()));
    const QStringList cut = cutTexts(window);
    std::printf("help text in \"%s\" at %d px; texts cut off: %s\n",
                qPrintable(QFontInfo(window.lblHelp->font()).family()), window.lblHelp->font().pixelSize(),
                cut.isEmpty() ? "none" : qPrintable(cut.join(QStringLiteral(", "))));

    if (!picture.isEmpty()) {
        processUntil([] { return false; }, 300); // let the last texts paint
        QScreen* screen = QGuiApplication::primaryScreen();
        const QPixmap shot = screen ? screen->grabWindow(0) : QPixmap();
        if (shot.isNull() || !shot.save(picture, "PNG")) {
            std::fprintf(stderr, "could not save %s\n", qPrintable(picture));
            return 1;
        }
    }
    return updated && cut.isEmpty() ? 0 : 1;
}
