// quorvi-hub: lists, checks and updates Charging Hubs without a window.

#include "AppVersion.h"
#include "CliOptions.h"
#include "DataCommand.h"
#include "HubReport.h"
#include "HubRun.h"
#include "Interrupt.h"
#include "LedCalibrationStore.h"
#include "LevelsCommand.h"
#include "ProgressView.h"
#include "SafeText.h"
#include "StateDatabase.h"
#include "UpdateHistory.h"
#include "WhereLeft.h"

#include <QCoreApplication>
#include <QMap>

#include <cstdio>
#include <cstdlib>

namespace {

// The standard descriptors have these numbers on every system the program runs on.
constexpr int StdoutFd = 1;
constexpr int StderrFd = 2;

cli::WhereLeftBoard* whereLeft = nullptr;

// The hard stop came too late to the main thread: the board's text, from
// inside a signal handler.
void sayWhereLeft() {
    static const char head[] = "\nStopped at once; where each hub was left:\n";
    cli::WhereLeftBoard::writeAll(StderrFd, head, sizeof head - 1);
    if (whereLeft)
        whereLeft->writeTo(StderrFd);
}

// The one-time import of older state files is told once, on stderr.
void sayStateNotes() {
    for (const QString& note : StateDatabase::takeNotes())
        std::fprintf(stderr, "quorvi-hub: %s\n", qPrintable(safeText(note)));
}

// A hub whose job was under way at a hard stop, told as the board saw it last.
void tellStoppedAtOnce(cli::HubOutcome& hub, const cli::WhereLeftBoard& board, const QString& stoppedBy) {
    using Step = UpdateFailure::Step;
    using Stage = HubSession::Stage;
    const cli::WhereLeftBoard::Hub seen = board.hub(hub.number);
    const QMap<QString, Step> steps{{cli::stageWords(Stage::EnteringBootloader), Step::EnteringBootloader},
                                    {cli::stageWords(Stage::Programming), Step::Programming},
                                    {cli::stageWords(Stage::Rebooting), Step::Restarting},
                                    {cli::stageWords(Stage::RestoringLevels), Step::RestoringLevels}};
    hub.interrupted = true;
    hub.result = QStringLiteral("Interrupted");
    hub.failure.kind = UpdateFailure::Kind::Stopped;
    hub.failure.stoppedBy = stoppedBy;
    hub.failure.step = steps.value(seen.stage, Step::Asking);
    if (hub.failure.step == Step::Programming) {
        hub.failure.line = seen.value + 1;
        hub.failure.lineCount = seen.maximum + 1;
        hub.modeAfter = cli::HubMode::Bootloader;
    }
    const QString line = cli::whereLeftLine(hub.number, seen.stage, seen.value, seen.maximum + 1, false);
    hub.whereLeft = line.mid(line.indexOf(QLatin1String(": ")) + 2);
    hub.nextStep = describeFailure(hub.failure, hub.mode).nextStep;
    hub.log << QStringLiteral("Stopped at once.") << QStringLiteral("Left: ") + hub.whereLeft
            << QStringLiteral("Next: ") + hub.nextStep;
}

// data and levels: rows as they come, Ctrl+C ends a watch after its readings.
int runService(const cli::Options& options) {
    cli::HubRun run(options);
    const auto write = [](const QByteArray& text, bool error) {
        std::FILE* stream = error ? stderr : stdout;
        std::fputs(text.constData(), stream);
        std::fflush(stream);
    };
    // A stop ends a watch after its readings; one requested again later quits at once.
    cli::catchInterrupt(
        &run, [&run](const QString& what) { run.requestStop(what); },
        [] {
            std::fflush(nullptr);
            std::_Exit(1);
        },
        nullptr);
    if (options.command == cli::Command::Data)
        return cli::DataCommand(options, run, write).run();
    return cli::LevelsCommand(options, run, write).run();
}

int runHistory(const cli::Options& options) {
    const UpdateHistory history(LedCalibrationStore::defaultPath());
    const HistoryRead read =
        history.read(HistoryQuery{options.historyHub, options.historySince, options.historyLast});
    sayStateNotes();
    if (!read.ok) {
        std::fprintf(stderr, "quorvi-hub: the update history cannot be read: %s\n",
                     qPrintable(safeText(history.lastError())));
        return cli::ExitFailure;
    }
    if (options.json)
        std::fputs(cli::historyJson(read).constData(), stdout);
    else
        for (const QString& line :
             cli::historyText(read, options.verbose).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            std::fputs(qPrintable(safeText(line) + QLatin1Char('\n')), stdout);
    return cli::ExitOk;
}

// Queued to this thread: the hubs' threads report, the board is this one's.
void followOnBoard(cli::HubRun& run, cli::WhereLeftBoard& board) {
    QObject::connect(&run, &cli::HubRun::started, &run,
                     [&board](const QList<int>& hubs) { board.start(hubs); });
    QObject::connect(&run, &cli::HubRun::stageText, &run,
                     [&board](int hub, const QString& stage) { board.setStage(hub, stage); });
    QObject::connect(&run, &cli::HubRun::progressRange, &run,
                     [&board](int hub, int maximum) { board.setRange(hub, maximum); });
    QObject::connect(&run, &cli::HubRun::progress, &run,
                     [&board](int hub, int value) { board.setProgress(hub, value); });
    QObject::connect(&run, &cli::HubRun::hubFinished, &run, [&board](int hub) { board.setFinished(hub); });
}

// The hard stop: the document is still whole, and where each hub was left
// is said, without waiting for the hubs.
[[noreturn]] void stopAtOnce(cli::HubRun& run, const cli::WhereLeftBoard& board, cli::ProgressView& view,
                             const cli::Options& options) {
    // The hubs' last words before this one.
    QCoreApplication::sendPostedEvents(&run);
    const cli::RunReport report =
        run.reportSoFar([&](cli::HubOutcome& hub) { tellStoppedAtOnce(hub, board, run.stoppedBy()); });
    whereLeft = nullptr;
    view.finish();
    if (options.json)
        std::fputs(cli::toJson(report).constData(), stdout);
    std::fflush(stdout);
    const QByteArray said =
        QByteArrayLiteral("\nStopped at once; where each hub was left:\n") + board.text().toUtf8();
    std::fputs(said.constData(), stderr);
    std::fflush(stderr);
    // The hubs' threads are still at work: no destructor may run under them.
    std::_Exit(cli::ExitFailure);
}

void writeReport(const cli::RunReport& report, const cli::Options& options) {
    const std::vector<cli::TextLine> lines = cli::toTextLines(report, options.quiet);
    if (options.json) {
        // The document is the result; what went wrong is also told on stderr.
        std::fputs(cli::toJson(report).constData(), stdout);
        std::fflush(stdout);
        std::fputs(qPrintable(cli::joinLines(lines, cli::TextLine::Err)), stderr);
        return;
    }
    for (const cli::TextLine& line : lines) {
        std::FILE* stream = line.stream == cli::TextLine::Out ? stdout : stderr;
        std::fputs(qPrintable(safeText(line.text) + QLatin1Char('\n')), stream);
        std::fflush(stream);
    }
}

// list, check and update.
int runHubs(const cli::Options& options) {
    cli::HubRun run(options);
    const int progressFd = cli::progressStreamFd(options);
    cli::ProgressView view(run, cli::chooseDisplay(options, cli::terminalOf(progressFd)),
                           progressFd == StderrFd ? stderr : stdout, stderr, progressFd);
    cli::WhereLeftBoard board;
    followOnBoard(run, board);
    whereLeft = &board;

    // Ctrl+C, and as well a service manager's SIGTERM or the SIGHUP of a
    // dropped ssh session: the hubs finish their lines and the report is whole.
    cli::catchInterrupt(
        &run,
        [&](const QString& what) {
            run.requestStop(what);
            view.note(QStringLiteral("%1: each hub finishes the line it is writing, then stops. "
                                     "Ctrl+C again quits at once.")
                          .arg(what));
        },
        [&] { stopAtOnce(run, board, view, options); }, sayWhereLeft);

    const int status = run.run();
    whereLeft = nullptr;
    view.finish();
    sayStateNotes();
    writeReport(run.report(), options);
    return status;
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
                     qPrintable(safeText(parsed.error)));
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
    switch (options.command) {
    case cli::Command::History:
        return runHistory(options);
    case cli::Command::Data:
    case cli::Command::Levels:
        return runService(options);
    default:
        return runHubs(options);
    }
}
