// Latency from an input report queued by a virtual device to the data handler
// running on the UI thread, and the CPU an idle read thread uses.

#include "HidControllerClass.h"
#include "VirtualHidBus.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

namespace {

QByteArray hubDescriptor() {
    static const quint8 bytes[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0x15,
                                   0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02,
                                   0x09, 0x03, 0x75, 0x08, 0x95, 0x40, 0x91, 0x02, 0xC0};
    return QByteArray(reinterpret_cast<const char*>(bytes), sizeof(bytes));
}

using Clock = std::chrono::steady_clock;

double threadCpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int reports = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;

    VirtualHidBus bus;
    VirtualHidDeviceSetup setup;
    setup.vendorId = 0xFFF0;
    setup.productId = 0x0018;
    setup.reportDescriptor = hubDescriptor();
    const VirtualDeviceId hub = bus.plug(setup);

    THidDeviceController controller(nullptr, bus);
    controller.DeviceChange();
    CheckedOutDevice device;
    if (!controller.CheckOutNext(device)) {
        std::fprintf(stderr, "no device\n");
        return 1;
    }

    std::vector<double> latencies;
    latencies.reserve(size_t(reports));
    std::atomic<qint64> sentAt{0};
    int received = 0;
    QEventLoop loop;
    device->SetDataHandler(THidDataEvent(&received, [&](THidDevice*, quint8, const quint8*, quint16) {
        const qint64 now = Clock::now().time_since_epoch().count();
        latencies.push_back(double(now - sentAt.load()) / 1000.0);
        ++received;
        loop.quit();
    }));

    // The model sends from its own thread, one report at a time, the next
    // after the previous one was handled: latency without queueing.
    const QByteArray data(64, '\x5A');
    for (int i = 0; i < reports; ++i) {
        std::thread sender([&] {
            sentAt = Clock::now().time_since_epoch().count();
            bus.queueInput(hub, 0, data);
        });
        if (received <= i)
            loop.exec();
        sender.join();
    }

    std::sort(latencies.begin(), latencies.end());
    const auto at = [&](double q) {
        return latencies[std::min(latencies.size() - 1, size_t(q * latencies.size()))];
    };
    std::printf("report to UI-thread handler over %d reports: median %.1f us, p99 %.1f us, max %.1f us\n",
                reports, at(0.5), at(0.99), latencies.back());

    // Idle read thread: CPU time of the whole process (the UI thread sleeps
    // in its event loop meanwhile) over the idle period.
    const double cpuBefore = threadCpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    QEventLoop idle;
    QTimer::singleShot(idleSeconds * 1000, &idle, &QEventLoop::quit);
    idle.exec();
    const double cpuAfter = threadCpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    std::printf("idle read thread (slice %d ms): %.2f ms CPU over %d s\n", device->SleepTime(),
                (cpuAfter - cpuBefore) * 1000.0, idleSeconds);

    device.reset();
    return 0;
}
