#include "EventWait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

bool processEventsUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer clock; // monotonic
    clock.start();
    QTimer deadline; // only wakes the dispatcher; nothing is connected to it
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    for (;;) {
        if (done && done())
            return true;
        const qint64 left = qint64(ms) - clock.elapsed();
        if (left <= 0)
            return false;
        // Armed again only once it has fired: a timer that fired a little
        // early must not leave the dispatcher waiting with nothing to wake
        // it, and re-arming at every wake costs a system timer each time.
        if (!deadline.isActive())
            deadline.start(int(left));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        // Windows' dispatcher sends posted events as a call begins, then
        // blocks: an event posted meanwhile only ends that call, and would
        // wait for the next message (the deadline, a tick) to be delivered.
        QCoreApplication::sendPostedEvents();
    }
}
