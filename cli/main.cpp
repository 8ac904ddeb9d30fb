// quorvi-hub: lists, checks and updates Charging Hubs without a window.

#include "AppVersion.h"
#include "CliOptions.h"
#include "HubReport.h"
#include "HubRun.h"
#include "Interrupt.h"
#include "ProgressView.h"

#include <QCoreApplication>

#include <cstdio>

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

    cli::HubRun run(options);
    const bool live = !options.json && cli::isTerminal(stdout);
    std::unique_ptr<cli::ProgressView> view;
    if (!options.json)
        view = std::make_unique<cli::ProgressView>(run, stdout, live);

    cli::catchInterrupt(&run, [&] {
        run.requestStop();
        const QString notice = QStringLiteral(
            "Ctrl+C: each hub finishes the line it is writing, then stops. Ctrl+C again quits at once.");
        if (view)
            view->note(notice);
        else
            std::fprintf(stderr, "%s\n", qPrintable(notice));
    });

    const int status = run.run();
    if (view)
        view->finish();
    if (options.json)
        std::fputs(cli::toJson(run.report()).constData(), stdout);
    else
        std::fputs(qPrintable(cli::toText(run.report())), stdout);
    return status;
}
