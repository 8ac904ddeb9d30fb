// quorvi-hub's parallel update: 1, 4 and 8 virtual hubs with USB-like timing,
// the built-in image and the window's timing. Prints the wall time of each
// run against one hub's, and the CPU it takes, split into the updater (main
// thread, the hubs' session threads and their read threads) and the
// simulated hubs (their scheduler threads), which real hardware would not cost.

#include "CliOptions.h"
#include "HubRun.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

double seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

double processCpu() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return seconds(u.ru_utime) + seconds(u.ru_stime);
}

double threadCpu() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return seconds(u.ru_utime) + seconds(u.ru_stime);
}

// Samples every thread's CPU time from /proc, keeping each thread's latest
// figure: threads that end keep what they had at the last sample.
class ThreadSampler {
public:
    ThreadSampler() : m_self(::getpid()) {
        sample();
        m_start = m_latest;
        m_thread = std::thread([this] {
            m_tid = pid_t(::syscall(SYS_gettid));
            while (!m_stop.load()) {
                sample();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            sample();
            m_ownCpu = threadCpu();
        });
    }
    void stop() {
        m_stop = true;
        m_thread.join();
    }
    // CPU seconds of the updater's threads since the start.
    double updaterCpu() const {
        double sum = 0;
        for (const auto& [tid, entry] : m_latest) {
            const bool updater =
                tid == m_self || entry.comm.rfind("hub ", 0) == 0 || entry.comm.rfind("THidDevice", 0) == 0;
            if (!updater)
                continue;
            const auto before = m_start.find(tid);
            sum += entry.cpu - (before != m_start.end() ? before->second.cpu : 0.0);
        }
        return sum;
    }
    double ownCpu() const { return m_ownCpu; }

private:
    struct Entry {
        std::string comm;
        double cpu = 0;
    };
    void sample() {
        static const double tick = double(::sysconf(_SC_CLK_TCK));
        const QStringList tasks =
            QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        std::lock_guard lock(m_mutex);
        for (const QString& task : tasks) {
            const pid_t tid = pid_t(task.toInt());
            if (tid == m_tid)
                continue;
            QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(task));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            const QByteArray line = stat.readAll();
            const qsizetype open = line.indexOf('('), close = line.lastIndexOf(')');
            if (open < 0 || close < 0)
                continue;
            // Fields after the name, from field 3 on: utime and stime are 14 and 15.
            const QList<QByteArray> fields = line.mid(close + 2).split(' ');
            if (fields.size() < 13)
                continue;
            m_latest[tid] = {line.mid(open + 1, close - open - 1).toStdString(),
                             (fields[11].toDouble() + fields[12].toDouble()) / tick};
        }
    }

    pid_t m_self;
    pid_t m_tid = 0;
    std::map<pid_t, Entry> m_latest, m_start;
    std::mutex m_mutex;
    std::atomic<bool> m_stop{false};
    double m_ownCpu = 0;
    std::thread m_thread;
};

struct Figures {
    bool ok = false;
    double wallMs = 0;
    double cpuMs = 0;
    double updaterMs = 0;
};

Figures runHubs(int hubs) {
    cli::Options options;
    options.command = cli::Command::Update;
    options.all = true;
    options.virtualHubs = hubs;
    cli::HubRun run(options);
    run.virtualUsbTiming = true;

    Figures f;
    ThreadSampler sampler;
    const double cpu0 = processCpu();
    QElapsedTimer wall;
    wall.start();
    f.ok = run.run() == cli::ExitOk;
    f.wallMs = double(wall.nsecsElapsed()) / 1e6;
    sampler.stop();
    f.cpuMs = (processCpu() - cpu0 - sampler.ownCpu()) * 1e3;
    f.updaterMs = sampler.updaterCpu() * 1e3;
    return f;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::printf("Parallel update of virtual hubs (USB-like timing, built-in image, window timing)\n\n");
    std::printf("%5s %4s %9s %9s %12s %12s %12s\n", "hubs", "ok", "wall ms", "vs 1 hub", "CPU all", "updater",
                "sim. hubs");
    double one = 0;
    for (const int hubs : {1, 4, 8}) {
        const Figures f = runHubs(hubs);
        if (hubs == 1)
            one = f.wallMs;
        std::printf("%5d %4s %9.0f %8.2fx %11.1f%% %11.1f%% %11.1f%%\n", hubs, f.ok ? "yes" : "NO", f.wallMs,
                    f.wallMs / one, 100.0 * f.cpuMs / f.wallMs, 100.0 * f.updaterMs / f.wallMs,
                    100.0 * (f.cpuMs - f.updaterMs) / f.wallMs);
    }
    std::printf(
        "\nCPU is in %% of one core over the run's wall time. Goal: 8 hubs within 1.1x one hub's time,\n"
        "the updater under 10%% of one core. Thread CPU is sampled from /proc every 20 ms (10 ms ticks).\n");
    return 0;
}
