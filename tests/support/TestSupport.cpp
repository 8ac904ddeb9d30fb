#include "TestSupport.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace testsupport {

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0)
            return condition();
        // Block in the event loop for at most a short slice so that a condition
        // changed by a posted event or another thread is seen promptly.
        QEventLoop loop;
        QTimer::singleShot(static_cast<int>(std::min<qint64>(left, 5)), &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void pumpFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace testsupport
