// quorvi-hub: lists, checks and updates Charging Hubs without a window.

#include "AppVersion.h"
#include "CliOptions.h"
#include "HubReport.h"
#include "HubRun.h"
#include "LedCalibrationStore.h"
#include "ProgressView.h"
#include "UpdateHistory.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onInterrupt(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    // A second Ctrl+C ends the program at once.
    std::signal(SIGINT, SIG_DFL);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvi-hub"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVI_VERSION));

    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    const cli::ParseResult parsed = cli::parseArguments(arguments);
    if (!parsed.error.isEmpty()) {
        std::fprintf(stderr, "quorvi-hub: %s\nTry 'quorvi-hub --help'.\n", qPrintable(parsed.error));
        return cli::ExitFailure;
    }
    const cli::Options& options = parsed.options;
    if (options.help) {
        std::fputs(qPrintable(cli::usageText()), stdout);
        return cli::ExitOk;
    }
    if (options.version) {
        std::printf("quorvi-hub %s\nbuilt-in firmware %s\n", QUORVI_VERSION,
                    qPrintable(cli::versionText(AppFirmwareVersion)));
        return cli::ExitOk;
    }

    if (options.command == cli::Command::History) {
        const UpdateHistory history(LedCalibrationStore::defaultPath());
        const QList<UpdateRecord> records = history.read();
        if (options.json)
            std::fputs(cli::historyJson(records).constData(), stdout);
        else
            std::fputs(qPrintable(cli::historyText(records)), stdout);
        return cli::ExitOk;
    }

    cli::HubRun run(options);
    const bool live = !options.json && ::isatty(STDOUT_FILENO) == 1;
    std::unique_ptr<cli::ProgressView> view;
    if (!options.json)
        view = std::make_unique<cli::ProgressView>(run, stdout, live);

    std::unique_ptr<QSocketNotifier> interrupt;
    if (::pipe(signalPipe) == 0) {
        interrupt = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(interrupt.get(), &QSocketNotifier::activated, [&] {
            char byte = 0;
            [[maybe_unused]] const ssize_t got = ::read(signalPipe[0], &byte, 1);
            interrupt->setEnabled(false);
            run.requestStop();
            const QString notice = QStringLiteral(
                "Ctrl+C: each hub finishes the line it is writing, then stops. Ctrl+C again quits at once.");
            if (view)
                view->note(notice);
            else
                std::fprintf(stderr, "%s\n", qPrintable(notice));
        });
        std::signal(SIGINT, onInterrupt);
    }

    const int status = run.run();
    if (view)
        view->finish();
    if (options.json)
        std::fputs(cli::toJson(run.report()).constData(), stdout);
    else
        std::fputs(qPrintable(cli::toText(run.report())), stdout);
    return status;
}
