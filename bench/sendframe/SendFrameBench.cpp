// One request and reply with the virtual hub (no added latency), through the
// main window's SendFrame, against the same exchange with a spinning reply
// wait (process messages, look, repeat at once) as the reference. Prints the
// time each exchange takes beyond the 2 ms pause after the write, and the
// CPU the process uses per wall-clock time while exchanging; then the same
// with a hub that answers after 20 ms.
//
//   bench_sendframe [frames=1000]

#include "HidControllerClass.h"
#include "HidIap.h"
#include "VirtualHidBus.h"
#include "VirtualHub.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// The reference: the exchange with the reply wait done by spinning.
class SpinningExchange {
public:
    explicit SpinningExchange(TfrmMain& window) : m_window(window) {}

    void onData(THidDevice*, quint8, const quint8* data, quint16 size) {
        std::copy_n(data, std::min<std::size_t>(size, m_reply.size()), m_reply.begin());
    }

    int send(std::uint8_t command, const HubRequest& request) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            THidDevice* hub = m_window.currentHub();
            const auto frame = buildHubFrame(command, request);
            if (!hub || !frame)
                return -1;
            HIDP_CAPS caps;
            hub->QueryCaps(caps);
            quint32 written = 0;
            if (caps.OutputReportByteLength != frame->size() ||
                !hub->WriteReport(frame->data(), int(frame->size()), written))
                continue;
            QThread::msleep(2);
            m_reply.fill(0);
            QElapsedTimer clock;
            clock.start();
            for (;;) {
                QCoreApplication::processEvents();
                if (m_reply[0] == 0x55)
                    return m_reply[4];
                if (clock.elapsed() > 100)
                    break;
            }
        }
        return -1;
    }

private:
    TfrmMain& m_window;
    std::array<std::uint8_t, 64> m_reply{};
};

struct Figures {
    std::vector<double> beyondPauseMs;
    double wallSeconds = 0;
    double processCpuSeconds = 0;
    double uiThreadCpuSeconds = 0;
    int failures = 0;
};

template <typename Send> void runBlock(int frames, Figures& figures, Send send) {
    const double wall0 = cpuSeconds(CLOCK_MONOTONIC);
    const double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double ui0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    for (int i = 0; i < frames; ++i) {
        const auto t0 = Clock::now();
        if (send() != 0)
            ++figures.failures;
        const std::chrono::duration<double, std::milli> took = Clock::now() - t0;
        figures.beyondPauseMs.push_back(took.count() - 2.0);
    }
    figures.wallSeconds += cpuSeconds(CLOCK_MONOTONIC) - wall0;
    figures.processCpuSeconds += cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    figures.uiThreadCpuSeconds += cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - ui0;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::size_t(p * double(values.size() - 1))];
}

void print(const char* name, const Figures& f) {
    std::printf("%-22s %9.3f %9.3f %9.3f %11.1f %11.1f %8d\n", name, percentile(f.beyondPauseMs, 0.5),
                percentile(f.beyondPauseMs, 0.9), percentile(f.beyondPauseMs, 0.99),
                100.0 * f.processCpuSeconds / f.wallSeconds, 100.0 * f.uiThreadCpuSeconds / f.wallSeconds,
                f.failures);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 1000;

    VirtualHidBus bus;
    VirtualHub hub(bus);
    hub.trace().setCapacity(16);
    hub.plug();
    TfrmMain window(bus);
    // Let the start-up notification's pass run before measuring.
    QElapsedTimer settle;
    settle.start();
    while (!window.controller()->FirstPassDone() && settle.elapsed() < 5000) {
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (!window.currentHub()) {
        std::fprintf(stderr, "no hub\n");
        return 1;
    }

    HubRequest request;
    request.assign({0x00});
    SpinningExchange spinning(window);
    const THidDataEvent windowHandler(&window, &TfrmMain::HubDataReceived);
    const THidDataEvent spinningHandler(&spinning, &SpinningExchange::onData);
    const auto product = [&] { return window.SendFrame(CmdGetVersion, request); };
    const auto reference = [&] { return spinning.send(CmdGetVersion, request); };

    const auto compare = [&](const char* title, int count) {
        // Alternate blocks so that load from elsewhere on the machine falls on both alike.
        Figures waiting;
        Figures spinningFigures;
        const int blocks = std::min(10, count);
        for (int b = 0; b < blocks; ++b) {
            const int n = count / blocks + (b < count % blocks ? 1 : 0);
            window.currentHub()->SetDataHandler(windowHandler);
            runBlock(n, waiting, product);
            window.currentHub()->SetDataHandler(spinningHandler);
            runBlock(n, spinningFigures, reference);
        }
        window.currentHub()->SetDataHandler(windowHandler);

        std::printf("\n%s, %d frames each\n", title, count);
        std::printf("%-22s %9s %9s %9s %11s %11s %8s\n", "", "median ms", "p90 ms", "p99 ms", "process CPU%",
                    "UI CPU%", "failures");
        std::printf("%-22s %9s %9s %9s %11s %11s\n", "", "beyond 2ms", "", "", "of one core", "of one core");
        print("event-loop wait", waiting);
        print("spinning wait (ref.)", spinningFigures);
        const double cpuWaiting = waiting.processCpuSeconds / waiting.wallSeconds;
        const double cpuSpinning = spinningFigures.processCpuSeconds / spinningFigures.wallSeconds;
        std::printf("median ratio (wait / spin): %.2f   CPU ratio (spin / wait): %.1f\n",
                    percentile(waiting.beyondPauseMs, 0.5) / percentile(spinningFigures.beyondPauseMs, 0.5),
                    cpuSpinning / cpuWaiting);
        return waiting.failures + spinningFigures.failures;
    };

    Figures warmUp;
    runBlock(20, warmUp, product);
    int failures = compare("Round trip with the virtual hub, no added latency", frames);

    // Where the two waits differ: a hub that takes its time to answer.
    hubsim::HubFaults faults = hub.faults();
    faults.replyDelayMs = 20;
    hub.setFaults(faults);
    failures += compare("Same, the hub answering after 20 ms", std::max(10, frames / 20));
    return failures == 0 ? 0 : 1;
}
