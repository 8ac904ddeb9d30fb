// quorvi-hub: lists, checks and updates Charging Hubs without a window.

#include "AppVersion.h"
#include "CliOptions.h"
#include "HubReport.h"
#include "HubRun.h"
#include "ProgressView.h"

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
        std::fprintf(stderr, "quorvi-hub: %s\nTry 'quorvi-hub --help'.\n",
                     qPrintable(cli::escapeControls(parsed.error)));
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

    cli::HubRun run(options);
    cli::ProgressView view(run, cli::chooseDisplay(options, cli::terminalOf(STDOUT_FILENO)), stdout, stderr,
                           STDOUT_FILENO);

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
            view.note(notice);
        });
        std::signal(SIGINT, onInterrupt);
    }

    const int status = run.run();
    view.finish();
    const std::vector<cli::TextLine> lines = cli::toTextLines(run.report(), options.quiet);
    if (options.json) {
        // The document is the result; what went wrong is also told on stderr.
        std::fputs(cli::toJson(run.report()).constData(), stdout);
        std::fflush(stdout);
        std::fputs(qPrintable(cli::joinLines(lines, cli::TextLine::Err)), stderr);
        return status;
    }
    for (const cli::TextLine& line : lines) {
        std::FILE* stream = line.stream == cli::TextLine::Out ? stdout : stderr;
        std::fputs(qPrintable(cli::escapeControls(line.text) + QLatin1Char('\n')), stream);
        std::fflush(stream);
    }
    return status;
}
