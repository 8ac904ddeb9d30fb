// Start-up cost of the updater window: time from process start (fork of a
// fresh process, so loading the libraries counts) to the first shown and the
// first painted window, and the peak resident memory at that point.
// Runs offscreen. Usage: bench_startup [runs]   (default 10)
#include "HidIap.h"
#include "NativeHidPlatform.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* StartVariable = "QUORVI_BENCH_START_NS";

long long nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

class FirstPaint : public QObject {
public:
    bool painted = false;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            painted = true;
        return false;
    }
};

// Child: start the window like the program does and report the figures.
int runChild(int argc, char** argv, long long startNs) {
    QApplication app(argc, argv);
    const std::unique_ptr<HidPlatform> native =
        createNativeHidPlatform(); // as the program: a pass over the real HID devices
    HidPlatform& platform = *native;
    TfrmMain frmMain(platform);
    FirstPaint paintWatch;
    frmMain.installEventFilter(&paintWatch);
    frmMain.show();
    const long long shownNs = nowNs();
    while (!paintWatch.painted)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const long long paintedNs = nowNs();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%.2f %.2f %ld\n", (shownNs - startNs) / 1e6, (paintedNs - startNs) / 1e6, usage.ru_maxrss);
    return 0;
}

struct Sample {
    double shownMs = 0, paintedMs = 0;
    long rssKb = 0;
};

bool runOnce(const char* self, Sample& sample) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return false;
    const long long start = nowNs();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        close(pipeFds[0]);
        close(pipeFds[1]);
        setenv(StartVariable, std::to_string(start).c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        execl(self, self, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeFds[1]);
    char buffer[128] = {};
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer - 1);
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return n > 0 &&
           std::sscanf(buffer, "%lf %lf %ld", &sample.shownMs, &sample.paintedMs, &sample.rssKb) == 3 &&
           WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (const char* start = std::getenv(StartVariable))
        return runChild(argc, argv, std::atoll(start));

    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    std::vector<double> shown, painted, rss;
    for (int i = 0; i < runs; ++i) {
        Sample sample;
        if (!runOnce("/proc/self/exe", sample)) {
            std::fprintf(stderr, "run %d failed\n", i + 1);
            return 1;
        }
        shown.push_back(sample.shownMs);
        painted.push_back(sample.paintedMs);
        rss.push_back(sample.rssKb / 1024.0);
    }
    std::printf("startup over %d runs (offscreen), goal: shown < 300 ms, peak RSS < 60 MB\n", runs);
    std::printf("  process start -> window shown:   median %7.1f ms  (min %.1f, max %.1f)\n", median(shown),
                *std::min_element(shown.begin(), shown.end()), *std::max_element(shown.begin(), shown.end()));
    std::printf("  process start -> first painted:  median %7.1f ms  (min %.1f, max %.1f)\n", median(painted),
                *std::min_element(painted.begin(), painted.end()),
                *std::max_element(painted.begin(), painted.end()));
    std::printf("  peak RSS at first paint:         median %7.1f MB  (max %.1f)\n", median(rss),
                *std::max_element(rss.begin(), rss.end()));
    return 0;
}
