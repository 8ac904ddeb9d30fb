#include "Crc32.h"
#include "HidIap.h"
#include "HubRun.h"
#include "HubUpdateLock.h"
#include "HubWire.h"
#include "Interrupt.h"
#include "LedCalibrationStore.h"
#include "ProgressView.h"
#include "TestSupport.h"
#include "UpdateHistory.h"
#include "VirtualHub.h"
#include "WhereLeft.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPushButton>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <map>
#include <memory>
#include <vector>

#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace cli;

namespace {

constexpr int DataLines = 16;

// The type digit, then the hex bytes; ':' and the line's checksum are added.
QByteArray withChecksum(const QByteArray& body) {
    unsigned sum = unsigned(QByteArray::fromHex("0" + body.left(1)).at(0));
    for (const char byte : QByteArray::fromHex(body.mid(1)))
        sum += std::uint8_t(byte);
    return ":" + body +
           QByteArray::number((0x100 - (sum & 0xFF)) & 0xFF, 16).rightJustified(2, '0').toUpper();
}

QByteArray lineAt(int k) {
    QByteArray line = "113" + QByteArray::number(0x2000 + 16 * k, 16).rightJustified(4, '0').toUpper();
    for (int b = 0; b < 16; ++b)
        line += QByteArray::number((k * 7 + b) & 0xFF, 16).rightJustified(2, '0').toUpper();
    return withChecksum(line);
}

// An image file of the data lines after an empty first line, closed by the
// record that states their version, count, bytes and CRC-32.
QByteArray imageText(const QByteArray& version = "11150906") {
    QByteArray lines = "\r\n";
    Crc32 crc;
    for (int k = 0; k < DataLines; ++k) {
        lines += lineAt(k) + "\r\n";
        crc.add(QByteArray::fromHex(lineAt(k).mid(2, lineAt(k).size() - 4)));
    }
    const auto word = [](std::uint32_t value) {
        return QByteArray::number(value, 16).rightJustified(8, '0');
    };
    return lines +
           withChecksum("9130000" + version + word(DataLines) + word(16 * DataLines) + word(crc.value())) +
           "\r\n";
}

std::vector<hubsim::WrittenBlock> expectedBlocks() {
    std::vector<hubsim::WrittenBlock> blocks;
    for (int k = 0; k < DataLines; ++k) {
        hubsim::WrittenBlock block;
        block.address = std::uint32_t(0x2000 + 16 * k);
        for (int b = 0; b < 16; ++b)
            block.data.push_back(std::uint8_t((k * 7 + b) & 0xFF));
        blocks.push_back(block);
    }
    return blocks;
}

class CliRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        image = write(QStringLiteral("image.txt"), imageText());
    }

    QString write(const QString& name, const QByteArray& content) {
        QFile file(dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        return file.fileName();
    }

    // Runs the command in this process on fast virtual hubs.
    int run(const QString& line) {
        const ParseResult parsed = parseArguments(line.split(QLatin1Char(' '), Qt::SkipEmptyParts));
        EXPECT_TRUE(parsed.error.isEmpty()) << parsed.error.toStdString();
        return run(parsed.options);
    }
    int run(const Options& options) {
        hubRun = std::make_unique<HubRun>(options);
        hubRun->timing.writePauseMs = 1;
        hubRun->timing.replyTimeoutMs = replyTimeoutMs;
        hubRun->timing.modePollMs = 25;
        hubRun->timing.modeWaitMs = modeWaitMs;
        hubRun->timing.ledWritePauseMs = 1;
        hubRun->virtualUsbTiming = false;
        hubRun->virtualRestartMs = 40;
        hubRun->stateFile = stateFile;
        const int status = hubRun->run();
        json = QJsonDocument::fromJson(toJson(hubRun->report())).object();
        const std::vector<TextLine> lines = toTextLines(hubRun->report());
        text = joinLines(lines, TextLine::Out);
        errors = joinLines(lines, TextLine::Err);
        return status;
    }

    QJsonObject hubJson(int i) const { return json.value(QStringLiteral("hubs")).toArray().at(i).toObject(); }
    VirtualHub& virtualHub(int i) const { return *hubRun->virtualHubs().at(std::size_t(i)); }

    QTemporaryDir dir;
    QString image;
    std::optional<QString> stateFile; // the run's default unless set
    int replyTimeoutMs = 1000;        // the wait ends with the reply
    int modeWaitMs = 3000;
    std::unique_ptr<HubRun> hubRun;
    QJsonObject json;
    QString text;   // standard output
    QString errors; // standard error
};

} // namespace

TEST_F(CliRun, CheckSaysUpToDateOrUpdateAvailable) {
    EXPECT_EQ(run(QStringLiteral("--virtual 2 --virtual-version 1.1.15.0906 check --json")), ExitOk);
    EXPECT_EQ(json.value(QStringLiteral("hubs")).toArray().size(), 2);
    EXPECT_EQ(hubJson(1).value(QStringLiteral("version")).toString(), QStringLiteral("1.1.15.0906"));
    EXPECT_FALSE(hubJson(1).value(QStringLiteral("updateAvailable")).toBool(true));
    EXPECT_TRUE(text.contains(
        QStringLiteral("Hub 2 (virtual:hidraw/2): application, firmware 1.1.15.0906: up to date")))
        << text.toStdString();

    EXPECT_EQ(run(QStringLiteral("check --virtual 1 --json")), ExitUpdateAvailable);
    EXPECT_EQ(hubJson(0).value(QStringLiteral("version")).toString(), QStringLiteral("1.1.15.0905"));
    EXPECT_EQ(hubJson(0).value(QStringLiteral("mode")).toString(), QStringLiteral("application"));
    EXPECT_TRUE(hubJson(0).value(QStringLiteral("updateAvailable")).toBool());
    EXPECT_EQ(json.value(QStringLiteral("exitCode")).toInt(), ExitUpdateAvailable);
    EXPECT_TRUE(virtualHub(0).model().writtenBlocks().empty());
}

// Every hub runs its whole update on its own thread; each must end with
// exactly the image's blocks, whatever the others did meanwhile.
TEST_F(CliRun, ParallelUpdatesWriteTheWholeImageIntoEveryHub) {
    EXPECT_EQ(run(QStringLiteral("--virtual 4 update --all --json --image ") + image), ExitOk)
        << text.toStdString();
    ASSERT_EQ(json.value(QStringLiteral("hubs")).toArray().size(), 4);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const QJsonObject h = hubJson(i);
        EXPECT_EQ(h.value(QStringLiteral("hub")).toInt(), i + 1);
        EXPECT_EQ(h.value(QStringLiteral("result")).toString(), QStringLiteral("Completed"));
        EXPECT_TRUE(h.value(QStringLiteral("completed")).toBool());
        EXPECT_EQ(h.value(QStringLiteral("versionAfter")).toString(), QStringLiteral("1.1.15.0906"));
        EXPECT_EQ(h.value(QStringLiteral("log")).toArray().last().toString(),
                  QStringLiteral("Update completed."));
        EXPECT_EQ(virtualHub(i).model().writtenBlocks(), expectedBlocks());
        EXPECT_EQ(virtualHub(i).mode(), hubsim::HubMode::Application);
        EXPECT_FALSE(virtualHub(i).model().isLedAdjustOpen());
    }
    EXPECT_EQ(json.value(QStringLiteral("image")).toObject().value(QStringLiteral("lines")).toInt(),
              DataLines + 2);
}

// The hub that fails must not take the other down with it, and the run
// must not count as a success.
TEST_F(CliRun, OneOfTwoHubsFailsMidUpdate) {
    EXPECT_EQ(run(QStringLiteral("update --all --image %1 --virtual 2 --virtual-fault 2:fail@12").arg(image)),
              ExitFailure);
    EXPECT_EQ(virtualHub(0).model().writtenBlocks(), expectedBlocks());
    EXPECT_EQ(virtualHub(0).mode(), hubsim::HubMode::Application);
    EXPECT_EQ(virtualHub(1).mode(), hubsim::HubMode::Bootloader);
    EXPECT_LT(virtualHub(1).model().writtenBlocks().size(), std::size_t(DataLines));

    const HubOutcome& failed = hubRun->report().hubs.at(1);
    EXPECT_TRUE(hubRun->report().hubs.at(0).completed);
    EXPECT_FALSE(failed.completed);
    EXPECT_EQ(failed.result, QStringLiteral("LineNotTaken"));
    // A refusal is told as one, never as a timeout.
    EXPECT_TRUE(failed.log.contains(QStringLiteral("Refused.")));
    EXPECT_FALSE(failed.log.contains(QStringLiteral("Timeout.")));
    EXPECT_TRUE(failed.whereLeft.contains(QStringLiteral("waits in its bootloader")))
        << failed.whereLeft.toStdString();
    EXPECT_TRUE(failed.whereLeft.contains(
        QStringLiteral("LED levels before the update were: 50 50 50 50 50 50 50 50")));
    EXPECT_TRUE(errors.contains(
        QStringLiteral("Hub 2 (virtual:hidraw/2): FAILED (refused)\n    Enter bootloader mode...")))
        << errors.toStdString();
    EXPECT_FALSE(text.contains(QStringLiteral("FAILED"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("1 of 2 hubs updated.")));
}

TEST_F(CliRun, ABrokenImageIsRefusedBeforeAnyHubIsTouched) {
    // One changed digit in the third line.
    QByteArray changed = imageText();
    const qsizetype at = changed.indexOf(lineAt(1)) + 12;
    changed[at] = changed[at] == '0' ? '1' : '0';
    const QString broken = write(QStringLiteral("broken.txt"), changed);
    EXPECT_EQ(run(QStringLiteral("--virtual 1 update --all --json --image ") + broken), ExitFailure);
    const QString error = json.value(QStringLiteral("error")).toString();
    EXPECT_TRUE(error.contains(broken)) << error.toStdString();
    EXPECT_TRUE(error.contains(QStringLiteral("line 3 is refused: its checksum is"))) << error.toStdString();
    EXPECT_TRUE(error.endsWith(QStringLiteral("Nothing was sent.")));
    EXPECT_TRUE(hubRun->virtualHubs().empty());
    // A version is given only where the image told one.
    const QJsonValue brokenVersion =
        json.value(QStringLiteral("image")).toObject().value(QStringLiteral("version"));
    EXPECT_TRUE(brokenVersion.isNull() || brokenVersion.toString() == QStringLiteral("1.1.15.0906"));

    EXPECT_EQ(run(QStringLiteral("--virtual 1 check --json --image ") +
                  dir.filePath(QStringLiteral("missing.txt"))),
              ExitFailure);
    EXPECT_TRUE(errors.contains(QStringLiteral("Cannot read the firmware image"))) << errors.toStdString();
    // An image never read has no version to report.
    EXPECT_TRUE(json.value(QStringLiteral("image")).toObject().value(QStringLiteral("version")).isNull());
    EXPECT_TRUE(json.value(QStringLiteral("firmwareVersion")).isNull());
    EXPECT_EQ(run(QStringLiteral("--virtual 1 check --image ") + dir.filePath(QStringLiteral("missing.txt"))),
              ExitFailure);
    EXPECT_TRUE(text.isEmpty());

    // Names that are no image file: refused at once, without a read that blocks or fills the memory.
    const QString fifo = dir.filePath(QStringLiteral("fifo"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString& name : {QStringLiteral("/dev/zero"), fifo, dir.path()}) {
        EXPECT_EQ(run(QStringLiteral("--virtual 1 update --all --image ") + name), ExitFailure);
        EXPECT_TRUE(errors.contains(QStringLiteral("not a regular file. Nothing was sent.")))
            << errors.toStdString();
        EXPECT_TRUE(hubRun->virtualHubs().empty());
    }
}

TEST_F(CliRun, NoHubAndAHubWithoutAccess) {
    // An empty bus, which the command line itself does not offer.
    Options none;
    none.virtualHubs = 0;
    none.command = Command::Check;
    EXPECT_EQ(run(none), ExitFailure);
    EXPECT_EQ(errors, QStringLiteral("No Charging Hub is plugged in.\n"));
    EXPECT_TRUE(text.isEmpty());
    none.command = Command::List;
    EXPECT_EQ(run(none), ExitOk);
    EXPECT_EQ(errors, QStringLiteral("No Charging Hub is plugged in.\n"));
    EXPECT_TRUE(text.isEmpty());

    const QString hint =
        QStringLiteral("A Charging Hub is connected, but this user may not use it. Install the udev rule");
    EXPECT_EQ(run(QStringLiteral("--virtual 2 --virtual-fault 2:no-access list --json")), ExitOk);
    // Each hub by its serial number and by where it is plugged in.
    EXPECT_EQ(hubJson(1).value(QStringLiteral("identity")).toString(), QStringLiteral("serial:VH0002"));
    EXPECT_EQ(hubJson(1).value(QStringLiteral("port")).toString(), QStringLiteral("virtual-2"));
    EXPECT_TRUE(hubJson(0).value(QStringLiteral("access")).toBool());
    EXPECT_FALSE(hubJson(1).value(QStringLiteral("access")).toBool(true));
    EXPECT_TRUE(hubJson(1).value(QStringLiteral("accessHint")).toString().startsWith(hint));
    EXPECT_TRUE(
        text.contains(QStringLiteral("Hub 2 (virtual:hidraw/2): serial:VH0002, instance 2, no access\n")))
        << text.toStdString();
    EXPECT_TRUE(errors.startsWith(QStringLiteral("Hub 2 (virtual:hidraw/2): ") + hint))
        << errors.toStdString();

    EXPECT_EQ(run(QStringLiteral("--virtual 2 --virtual-fault 2:no-access update --all --image ") + image),
              ExitFailure);
    EXPECT_TRUE(hubRun->report().hubs.at(0).completed);
    EXPECT_FALSE(hubRun->report().hubs.at(1).completed);
    EXPECT_EQ(virtualHub(1).model().framesReceived(), 0u);

    // Several hubs and no choice: none is touched.
    EXPECT_EQ(run(QStringLiteral("--virtual 2 update --image ") + image), ExitFailure);
    EXPECT_TRUE(errors.contains(
        QStringLiteral("2 hubs are plugged in: choose one with --path P, or all with --all.")));
    EXPECT_EQ(virtualHub(0).model().framesReceived() + virtualHub(1).model().framesReceived(), 0u);
}

// Ctrl+C in the middle of programming: each hub finishes the line it is on,
// no block is left half-written, and the report says where each hub stopped.
TEST_F(CliRun, StoppingMidUpdateFinishesTheRunningLineAndSaysWhereEachHubIs) {
    const ParseResult parsed = parseArguments(
        QStringLiteral("--virtual 2 update --all --image %1").arg(image).split(QLatin1Char(' ')));
    ASSERT_TRUE(parsed.error.isEmpty());
    hubRun = std::make_unique<HubRun>(parsed.options);
    hubRun->timing.writePauseMs = 10; // programming takes long enough to stop in the middle
    hubRun->timing.modePollMs = 25;
    hubRun->virtualUsbTiming = false;
    hubRun->virtualRestartMs = 40;
    // Once both are programming, so each has lines written and lines to go.
    std::map<int, int> reached;
    QObject::connect(hubRun.get(), &HubRun::progress, hubRun.get(), [this, &reached](int hub, int value) {
        reached[hub] = value;
        if (reached.size() == 2 && reached.begin()->second >= 4 && reached.rbegin()->second >= 4)
            hubRun->requestStop();
    });
    EXPECT_EQ(hubRun->run(), ExitFailure);
    const RunReport& report = hubRun->report();
    EXPECT_TRUE(report.interrupted);
    const QRegularExpression written(
        QStringLiteral("Stopped by Ctrl\\+C with (\\d+) of %1 lines written").arg(DataLines + 2));
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const HubOutcome& hub = report.hubs.at(std::size_t(i));
        EXPECT_TRUE(hub.interrupted);
        EXPECT_EQ(hub.result, QStringLiteral("Interrupted"));
        EXPECT_FALSE(hub.log.contains(QStringLiteral("Timeout.")));
        EXPECT_EQ(hub.failure.kind, UpdateFailure::Kind::Stopped);
        const QString log = hub.log.join(QLatin1Char('\n'));
        const QRegularExpressionMatch m = written.match(log);
        ASSERT_TRUE(m.hasMatch()) << log.toStdString();
        const int lines = m.captured(1).toInt();
        EXPECT_GE(lines, 1);
        EXPECT_LT(lines, DataLines + 2);
        // The first line carries no data: every written line is one whole block.
        const std::vector<hubsim::WrittenBlock> blocks = virtualHub(i).model().writtenBlocks();
        const std::vector<hubsim::WrittenBlock> all = expectedBlocks();
        EXPECT_EQ(blocks, std::vector<hubsim::WrittenBlock>(all.begin(), all.begin() + (lines - 1)));
        EXPECT_TRUE(virtualHub(i).model().isWriteComplete());
        EXPECT_EQ(virtualHub(i).mode(), hubsim::HubMode::Bootloader);
    }
}

// The program as a script calls it.
TEST_F(CliRun, TheProgramAnswersAsDocumented) {
    const auto program = [](const QStringList& arguments, QByteArray* out = nullptr,
                            QByteArray* err = nullptr) {
        QProcess p;
        p.start(QStringLiteral(QUORVI_HUB_PROGRAM), arguments);
        EXPECT_TRUE(p.waitForFinished(60000));
        if (out)
            *out = p.readAllStandardOutput();
        if (err)
            *err = p.readAllStandardError();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    };
    QByteArray out, err;
    EXPECT_EQ(program({QStringLiteral("--help")}, &out), ExitOk);
    EXPECT_TRUE(out.startsWith("Usage: quorvi-hub"));
    EXPECT_EQ(program({QStringLiteral("--virtual"), QStringLiteral("1"), QStringLiteral("check")}, &out),
              ExitUpdateAvailable);
    EXPECT_TRUE(out.contains("update available (1.1.15.0906)")) << out.constData();
    EXPECT_EQ(program({QStringLiteral("--virtual"), QStringLiteral("1"), QStringLiteral("update"),
                       QStringLiteral("--all"), QStringLiteral("--image"), image},
                      &out),
              ExitOk);
    EXPECT_TRUE(out.endsWith("updated, firmware 1.1.15.0906\n1 of 1 hubs updated.\n")) << out.constData();
    EXPECT_EQ(program({QStringLiteral("check"), QStringLiteral("--frob")}, &out, &err), ExitFailure);
    EXPECT_EQ(err, "quorvi-hub: Unknown option --frob: did you mean --from?\nTry 'quorvi-hub --help'.\n");
    EXPECT_TRUE(out.isEmpty());
}

namespace {

struct Ran {
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Ran runProgram(const QStringList& arguments) {
    QProcess p;
    p.start(QStringLiteral(QUORVI_HUB_PROGRAM), arguments);
    EXPECT_TRUE(p.waitForFinished(60000));
    Ran r;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return r;
}

// The program on a pseudo-terminal of the given width: what the terminal got
// (stdout and stderr both) and the exit status.
Ran runOnTerminal(const QStringList& arguments, const QByteArray& term, int columns) {
    // Everything the child needs is made before the fork: it only execs.
    const QByteArray program = QUORVI_HUB_PROGRAM;
    std::vector<QByteArray> held{program};
    for (const QString& a : arguments)
        held.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& a : held)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    QByteArray termVariable = "TERM=" + term;
    char* envp[] = {termVariable.data(), nullptr};

    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = 24;
    int master = -1;
    Ran r;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, &size);
    if (child == 0) {
        ::execve(program.constData(), argv.data(), envp);
        ::_exit(127);
    }
    EXPECT_GT(child, 0);
    if (child <= 0)
        return r;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got > 0)
            r.out.append(buffer, got);
        else if (got < 0 && errno == EINTR)
            continue;
        else
            break; // EIO once the child is gone
    }
    ::close(master);
    int wstatus = 0;
    ::waitpid(child, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return r;
}

QStringList shownLines(const QByteArray& terminalOutput) {
    QString text = QString::fromUtf8(terminalOutput);
    text.remove(QRegularExpression(QStringLiteral("\x1b\\[[0-9;]*[A-Za-z]")));
    return text.split(QRegularExpression(QStringLiteral("[\r\n]")), Qt::SkipEmptyParts);
}

} // namespace

// A script keeps stdout; a person (or a log) reads what went wrong on stderr.
TEST_F(CliRun, AFailingRunKeepsResultsOnStdoutAndFailuresOnStderr) {
    Ran r = runProgram({QStringLiteral("--virtual"), QStringLiteral("2"), QStringLiteral("--virtual-fault"),
                        QStringLiteral("2:fail@12"), QStringLiteral("update"), QStringLiteral("--all"),
                        QStringLiteral("--image"), image});
    EXPECT_EQ(r.status, ExitFailure);
    EXPECT_TRUE(r.out.contains("Hub 1: Programming...\n")) << r.out.constData(); // a pipe gets lines
    EXPECT_TRUE(
        r.out.endsWith("Hub 1 (virtual:hidraw/1): updated, firmware 1.1.15.0906\n1 of 2 hubs updated.\n"))
        << r.out.constData();
    EXPECT_FALSE(r.out.contains("FAILED"));
    EXPECT_FALSE(r.out.contains('\x1b'));
    EXPECT_TRUE(
        r.err.startsWith("Hub 2 (virtual:hidraw/2): FAILED (refused)\n    Enter bootloader mode...\n"))
        << r.err.constData();
    EXPECT_FALSE(r.err.contains("updated"));

    r = runProgram({QStringLiteral("--virtual"), QStringLiteral("1"), QStringLiteral("check"),
                    QStringLiteral("--path"), QStringLiteral("/dev/nowhere")});
    EXPECT_EQ(r.status, ExitFailure);
    EXPECT_TRUE(r.out.isEmpty()) << r.out.constData();
    EXPECT_EQ(r.err, "No hub at /dev/nowhere (see 'quorvi-hub list').\n");

    // A file name that would clear the screen is shown, not obeyed.
    r = runProgram({QStringLiteral("--virtual"), QStringLiteral("1"), QStringLiteral("check"),
                    QStringLiteral("--image"), dir.filePath(QStringLiteral("fw\x1b[2J.txt"))});
    EXPECT_EQ(r.status, ExitFailure);
    EXPECT_TRUE(r.err.contains("fw\\x1b[2J.txt")) << r.err.constData();
    EXPECT_FALSE(r.err.contains('\x1b'));

    r = runProgram(
        {QStringLiteral("-v"), QStringLiteral("--virtual"), QStringLiteral("1"), QStringLiteral("check")});
    EXPECT_EQ(r.status, ExitUpdateAvailable);
    // The mode query and its answer from a hub in its application.
    EXPECT_TRUE(r.err.startsWith("Hub 1 > 00 55 05 00 04 ")) << r.err.constData();
    EXPECT_TRUE(r.err.contains("\nHub 1 < 55 06 00 04 FF ")) << r.err.constData();
    EXPECT_FALSE(r.out.contains(" > ")) << r.out.constData();
}

TEST_F(CliRun, PathAndQuietAreHonouredByCheckAndList) {
    EXPECT_EQ(run(QStringLiteral("--virtual 3 check --json --path virtual:hidraw/2")), ExitUpdateAvailable);
    ASSERT_EQ(json.value(QStringLiteral("hubs")).toArray().size(), 1);
    EXPECT_EQ(hubJson(0).value(QStringLiteral("hub")).toInt(), 2);
    EXPECT_EQ(virtualHub(0).model().framesReceived() + virtualHub(2).model().framesReceived(), 0u);
    EXPECT_GT(virtualHub(1).model().framesReceived(), 0u);

    EXPECT_EQ(run(QStringLiteral("--virtual 2 list --path virtual:hidraw/9")), ExitFailure);
    EXPECT_TRUE(text.isEmpty()) << text.toStdString();
    EXPECT_EQ(errors, QStringLiteral("No hub at virtual:hidraw/9 (see 'quorvi-hub list').\n"));

    const Ran quiet =
        runProgram({QStringLiteral("--virtual"), QStringLiteral("2"), QStringLiteral("-q"),
                    QStringLiteral("update"), QStringLiteral("--all"), QStringLiteral("--image"), image});
    EXPECT_EQ(quiet.status, ExitOk);
    EXPECT_EQ(quiet.out, "2 of 2 hubs updated.\n");
    EXPECT_TRUE(quiet.err.isEmpty()) << quiet.err.constData();
}

// A hung run must show the step it hangs in: a line may not wait for the
// next one. Here the hub never comes back, so "Reboot..." is followed by the
// whole wait for it before "Update fail.".
TEST_F(CliRun, EachLogLineIsWrittenWhenItHappens) {
    QProcess p;
    p.start(QStringLiteral(QUORVI_HUB_PROGRAM),
            {QStringLiteral("--virtual"), QStringLiteral("1"), QStringLiteral("--virtual-fault"),
             QStringLiteral("no-return"), QStringLiteral("update"), QStringLiteral("--image"), image});
    QElapsedTimer clock;
    clock.start();
    QByteArray out;
    qint64 rebootAt = -1, failAt = -1;
    while (failAt < 0 && p.waitForReadyRead(30000)) {
        out += p.readAllStandardOutput();
        if (rebootAt < 0 && out.contains("Hub 1: Reboot...\n"))
            rebootAt = clock.elapsed();
        if (out.contains("Hub 1: Update fail.\n"))
            failAt = clock.elapsed();
    }
    EXPECT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), ExitFailure);
    ASSERT_GE(rebootAt, 0) << out.constData();
    ASSERT_GE(failAt, 0) << out.constData();
    // The program waits 5000 ms for the hub; a line held back until the next
    // one would arrive with it.
    EXPECT_GE(failAt - rebootAt, 2500) << out.constData();
}

// Bars on a terminal that can take them, fitted to its width; lines where
// they would flood the screen or show as escape codes.
TEST_F(CliRun, BarsFitA50ColumnTerminalAndGiveWayWhereTheyCannotBeDrawn) {
    const QStringList arguments = {QStringLiteral("--virtual"),       QStringLiteral("2"),
                                   QStringLiteral("--virtual-fault"), QStringLiteral("2:fail@12"),
                                   QStringLiteral("update"),          QStringLiteral("--all"),
                                   QStringLiteral("--image"),         image};
    const Ran bars = runOnTerminal(arguments, "xterm", 50);
    EXPECT_EQ(bars.status, ExitFailure);
    EXPECT_TRUE(bars.out.contains("\x1b[")) << bars.out.constData();
    const QRegularExpression bar(QStringLiteral("^Hub +(\\d+) \\[[#-]+\\] +\\d+% (.*)$"));
    QMap<int, QString> lastStage;
    int barLines = 0;
    for (const QString& line : shownLines(bars.out)) {
        const QRegularExpressionMatch m = bar.match(line);
        if (!m.hasMatch())
            continue;
        ++barLines;
        EXPECT_LT(line.size(), 50) << line.toStdString();
        lastStage[m.captured(1).toInt()] = m.captured(2);
    }
    EXPECT_GT(barLines, 0);
    EXPECT_EQ(lastStage.value(1), QStringLiteral("done"));
    EXPECT_EQ(lastStage.value(2), QStringLiteral("FAILED while programming"));
    for (const char* name : {"EnteringBootloader", "RestoringLevels", "Rebooting", "Started"})
        EXPECT_FALSE(bars.out.contains(name)) << name;
    EXPECT_FALSE(bars.out.contains("Hub 1: Programming...")); // the bars take the lines' place

    for (const auto& [term, columns] :
         {std::pair<QByteArray, int>{"dumb", 50}, {"xterm", MinBarColumns - 1}}) {
        SCOPED_TRACE(term.toStdString() + " " + std::to_string(columns));
        const Ran lines = runOnTerminal(arguments, term, columns);
        EXPECT_EQ(lines.status, ExitFailure);
        EXPECT_FALSE(lines.out.contains('\x1b')) << lines.out.constData();
        EXPECT_TRUE(lines.out.contains("Hub 1: Programming...")) << lines.out.constData();
        EXPECT_TRUE(lines.out.contains("Hub 2: Refused.")) << lines.out.constData();
    }
}

// Up to date is skipped, newer is not downgraded, both unless --force; the
// image file's own version is the one compared and verified.
TEST_F(CliRun, UpdateSkipsUpToDateHubsAndRefusesToDowngradeUnlessForced) {
    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-version 1.1.15.0906 update --json --image ") + image),
              ExitOk);
    EXPECT_EQ(hubJson(0).value(QStringLiteral("result")).toString(), QStringLiteral("UpToDate"));
    EXPECT_TRUE(hubJson(0).value(QStringLiteral("skipped")).toBool());
    EXPECT_TRUE(virtualHub(0).model().writtenBlocks().empty());
    EXPECT_EQ(virtualHub(0).model().framesReceived(), 2u); // its mode and its version, nothing more

    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-version 1.2.00.0000 update --image ") + image),
              ExitFailure);
    EXPECT_EQ(hubRun->report().hubs.at(0).result, QStringLiteral("NotDowngraded"));
    EXPECT_TRUE(
        errors.contains(QStringLiteral("FAILED (not-downgraded)\n    The hub runs firmware 1.2.00.0000, "
                                       "newer than the image's 1.1.15.0906.\n")))
        << errors.toStdString();
    EXPECT_TRUE(errors.contains(QStringLiteral("Next: Give --force to downgrade it.")));
    EXPECT_EQ(virtualHub(0).model().framesReceived(), 2u);

    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-version 1.2.00.0000 update --force --json --image ") +
                  image),
              ExitOk);
    EXPECT_TRUE(hubJson(0).value(QStringLiteral("completed")).toBool());
    EXPECT_EQ(virtualHub(0).model().writtenBlocks(), expectedBlocks());

    // An image of 1.1.16.0000: a hub at 1.1.15.0906 has an update, and gets it.
    const QString newer = write(QStringLiteral("newer.txt"), imageText("11160000"));
    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-version 1.1.15.0906 check --image ") + newer),
              ExitUpdateAvailable);
    EXPECT_TRUE(text.contains(QStringLiteral("update available (1.1.16.0000)"))) << text.toStdString();
    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-version 1.1.15.0906 update --json --image ") + newer),
              ExitOk);
    EXPECT_EQ(hubJson(0).value(QStringLiteral("versionAfter")).toString(), QStringLiteral("1.1.16.0000"));
    EXPECT_EQ(json.value(QStringLiteral("image")).toObject().value(QStringLiteral("version")).toString(),
              QStringLiteral("1.1.16.0000"));

    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-version 1.2.00.0000 check")), ExitOk);
    EXPECT_TRUE(text.contains(QStringLiteral("1.2.00.0000: newer than the image (1.1.15.0906)")))
        << text.toStdString();
}

// The results a working hub never gives: its old firmware after the reboot,
// an answer contradicted, no calibration to carry.
TEST_F(CliRun, WhatTheHubProvesOrNotShowsInTheResult) {
    EXPECT_EQ(
        run(QStringLiteral("--virtual 1 --virtual-fault boot-old-firmware update --json --image ") + image),
        ExitFailure);
    EXPECT_EQ(hubJson(0).value(QStringLiteral("result")).toString(), QStringLiteral("WrongVersion"));
    EXPECT_EQ(hubJson(0).value(QStringLiteral("versionAfter")).toString(), QStringLiteral("1.1.15.0905"));
    // The session's own line, before the failure's three.
    const QJsonArray log = hubJson(0).value(QStringLiteral("log")).toArray();
    EXPECT_TRUE(log.at(log.size() - 4)
                    .toString()
                    .contains(QStringLiteral(
                        "runs firmware 1.1.15.0905 after the update, not the image's 1.1.15.0906")));

    // Frames: mode, version, mode, levels, bootloader, mode, then two per data line (the first carries
    // none).
    const int lastWrite = 6 + 2 * DataLines;
    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-fault copy-then-refuse@%1 update --json --image %2")
                      .arg(lastWrite)
                      .arg(image)),
              ExitFailure);
    EXPECT_FALSE(hubJson(0).value(QStringLiteral("completed")).toBool(true));
    EXPECT_EQ(virtualHub(0).model().writtenBlocks().size(), std::size_t(DataLines - 1));
    EXPECT_EQ(virtualHub(0).mode(), hubsim::HubMode::Bootloader);

    // Completed without its calibration: still a success, and said so.
    EXPECT_EQ(run(QStringLiteral("--virtual 1 update --json --image ") + image), ExitOk);
    EXPECT_TRUE(hubJson(0).value(QStringLiteral("calibrationCarried")).toBool(false));
    RunReport report = hubRun->report();
    report.hubs.at(0).calibrationCarried = false;
    EXPECT_EQ(exitCode(report), ExitOk);
    const QJsonObject h = QJsonDocument::fromJson(toJson(report))
                              .object()
                              .value(QStringLiteral("hubs"))
                              .toArray()
                              .at(0)
                              .toObject();
    EXPECT_FALSE(h.value(QStringLiteral("calibrationCarried")).toBool(true));
    EXPECT_TRUE(joinLines(toTextLines(report), TextLine::Err)
                    .contains(QStringLiteral("Its LED calibration could not be carried")));
}

// A service manager's SIGTERM (or an ssh session's SIGHUP) in the middle of
// programming: the lines in hand are finished and every hub's state reported,
// the JSON document whole.
TEST_F(CliRun, SigtermMidUpdateFinishesTheLineAndReportsEveryHub) {
    const auto startUpdate = [](QProcess& p, const QStringList& extra) {
        // The built-in image, each reply a little late: programming takes seconds.
        p.start(QStringLiteral(QUORVI_HUB_PROGRAM),
                QStringList{QStringLiteral("--virtual"), QStringLiteral("2"),
                            QStringLiteral("--virtual-fault"), QStringLiteral("slow@4"),
                            QStringLiteral("update"), QStringLiteral("--all")} +
                    extra);
        return p.waitForStarted(10000);
    };

    // Plain lines: the signal goes once both hubs are programming.
    QProcess plain;
    ASSERT_TRUE(startUpdate(plain, {}));
    QByteArray out;
    QDeadlineTimer limit(60000);
    while (out.count("Programming...") < 2 && !limit.hasExpired() && plain.state() == QProcess::Running) {
        plain.waitForReadyRead(200);
        out += plain.readAllStandardOutput();
    }
    ASSERT_EQ(out.count("Programming..."), 2) << out.constData();
    ::kill(pid_t(plain.processId()), SIGTERM);
    ASSERT_TRUE(plain.waitForFinished(60000));
    out += plain.readAllStandardOutput();
    const QByteArray err = plain.readAllStandardError();
    EXPECT_EQ(plain.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(plain.exitCode(), ExitFailure);
    EXPECT_TRUE((out + err).contains("SIGTERM: each hub finishes the line it is writing")) << err.constData();
    const QRegularExpression state(
        QStringLiteral("Hub (\\d) \\(virtual:hidraw/\\d\\): FAILED \\(stopped\\)"));
    EXPECT_EQ(QString::fromUtf8(err).count(state), 2) << err.constData();
    EXPECT_EQ(err.count("lines written.\n    Left: The hub waits in its bootloader"), 2) << err.constData();
    // The stop is named as what it was.
    EXPECT_EQ(err.count("Stopped by SIGTERM with"), 2) << err.constData();
    EXPECT_FALSE(err.contains("Ctrl+C with")) << err.constData();

    // JSON: the document is whole and names each hub's state.
    QProcess whole;
    ASSERT_TRUE(startUpdate(whole, {QStringLiteral("--json")}));
    // Nothing shows until the end; the signal may come before programming.
    whole.waitForFinished(1500);
    ASSERT_EQ(whole.state(), QProcess::Running);
    ::kill(pid_t(whole.processId()), SIGTERM);
    ASSERT_TRUE(whole.waitForFinished(60000));
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(whole.readAllStandardOutput(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    const QJsonObject root = document.object();
    EXPECT_TRUE(root.value(QStringLiteral("interrupted")).toBool());
    EXPECT_EQ(root.value(QStringLiteral("exitCode")).toInt(), ExitFailure);
    const QJsonArray hubs = root.value(QStringLiteral("hubs")).toArray();
    ASSERT_EQ(hubs.size(), 2);
    for (const QJsonValue& hub : hubs) {
        EXPECT_TRUE(hub.toObject().value(QStringLiteral("interrupted")).toBool());
        EXPECT_FALSE(hub.toObject().value(QStringLiteral("whereLeft")).toString().isEmpty());
        EXPECT_EQ(hub.toObject().value(QStringLiteral("failure")).toObject().value(QStringLiteral("kind")),
                  QStringLiteral("stopped"));
        EXPECT_TRUE(hub.toObject()
                        .value(QStringLiteral("failure"))
                        .toObject()
                        .value(QStringLiteral("text"))
                        .toString()
                        .startsWith(QStringLiteral("Stopped by SIGTERM")));
    }
    EXPECT_EQ(whole.exitCode(), ExitFailure);
}

// GNU timeout signals the program and then its process group: two SIGTERMs
// within microseconds are one request. One a second or more after the first
// is a hard stop, which does not wait for the hubs but still writes the whole
// document.
TEST_F(CliRun, SignalsTogetherAreOneStopAndAHardStopStillWritesTheDocument) {
    // A small image, and a hub that never comes back from its restart: the
    // run waits seconds for it after the last line.
    const auto startUpdate = [this](QProcess& p) {
        p.start(QStringLiteral(QUORVI_HUB_PROGRAM),
                {QStringLiteral("--virtual"), QStringLiteral("1"), QStringLiteral("--virtual-fault"),
                 QStringLiteral("no-return"), QStringLiteral("update"), QStringLiteral("--all"),
                 QStringLiteral("--json"), QStringLiteral("--image"), image});
        EXPECT_TRUE(p.waitForStarted(10000));
        // Well into that wait: a stop while lines are sent would end the run at the next line.
        p.waitForFinished(2500);
        EXPECT_EQ(p.state(), QProcess::Running);
        ::kill(pid_t(p.processId()), SIGTERM);
    };
    const auto documentOf = [](QProcess& p) {
        EXPECT_TRUE(p.waitForFinished(60000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), ExitFailure);
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(p.readAllStandardOutput(), &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
        return document.object();
    };

    QProcess together;
    startUpdate(together);
    ::kill(pid_t(together.processId()), SIGTERM);
    const QJsonObject calm = documentOf(together);
    EXPECT_FALSE(together.readAllStandardError().contains("Stopped at once"));
    ASSERT_EQ(calm.value(QStringLiteral("hubs")).toArray().size(), 1);
    EXPECT_EQ(calm.value(QStringLiteral("hubs"))[0][QStringLiteral("failure")][QStringLiteral("kind")],
              QStringLiteral("no-return"));

    QProcess later;
    startUpdate(later);
    later.waitForFinished(StopGraceMs + 300);
    ASSERT_EQ(later.state(), QProcess::Running);
    ::kill(pid_t(later.processId()), SIGTERM);
    const QJsonObject stopped = documentOf(later);
    EXPECT_TRUE(later.readAllStandardError().contains(
        "Stopped at once; where each hub was left:\nHub 1: every line written, restarting"));
    EXPECT_TRUE(stopped.value(QStringLiteral("interrupted")).toBool());
    const QJsonArray hubs = stopped.value(QStringLiteral("hubs")).toArray();
    ASSERT_EQ(hubs.size(), 1);
    const QJsonObject hub = hubs[0].toObject();
    EXPECT_TRUE(hub.value(QStringLiteral("interrupted")).toBool());
    EXPECT_EQ(hub.value(QStringLiteral("failure"))[QStringLiteral("kind")], QStringLiteral("stopped"));
    EXPECT_TRUE(
        hub.value(QStringLiteral("whereLeft")).toString().startsWith(QStringLiteral("every line written")));
    EXPECT_FALSE(hub.value(QStringLiteral("path")).toString().isEmpty());
}

TEST(WhereLeft, OneLinePerHubAtEachStage) {
    WhereLeftBoard board;
    board.start({1, 2});
    board.setStage(1, stageWords(HubSession::Stage::Programming));
    board.setRange(1, 625);
    board.setProgress(1, 120);
    board.setStage(2, stageWords(HubSession::Stage::RestoringLevels));
    const QStringList lines = board.text().trimmed().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("Hub 1: in its bootloader with 120 of 626 lines written, its firmware "
                                       "incomplete: run the update again."));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("Hub 2: runs the new firmware")));
    board.setFinished(2);
    EXPECT_TRUE(board.text().contains(QStringLiteral("Hub 2: its update had ended")));
    EXPECT_TRUE(whereLeftLine(3, QString(), 0, 0, false).contains(QStringLiteral("nothing was written")));
}

// The window and the command line share the kept levels, the update locks
// and the history, all under the hub's identity. Virtual hub 1 of a run has
// the serial number VH0001, as the window's virtual hub here.
class SharedState : public CliRun {
protected:
    void SetUp() override {
        CliRun::SetUp();
        stateFile = dir.filePath(QStringLiteral("state/state.sqlite"));
    }
    // A window on a bus of its own with one hub (serial VH0001) running its application.
    void makeWindow(const LedCalibrationStore::Levels& levels) {
        windowHub = std::make_unique<VirtualHub>(windowBus);
        windowHub->setRestartDelays(20, 20);
        windowHub->model().setLedLevels(levels);
        ASSERT_TRUE(windowHub->plug());
        window = std::make_unique<TfrmMain>(windowBus);
        window->timing.writePauseMs = 1;
        window->timing.replyTimeoutMs = 1000;
        window->timing.modePollMs = 25;
        window->timing.modeWaitMs = 800;
        ASSERT_TRUE(testsupport::waitUntil([this] { return window->currentHub() != nullptr; }));
    }
    void TearDown() override {
        window.reset();
        windowHub.reset();
        // The window keeps its levels in this run's state folder.
        QFile::remove(LedCalibrationStore::defaultPath());
    }
    QStringList windowLog() const { return window->mmoUplog->toPlainText().split(QLatin1Char('\n')); }

    VirtualHidBus windowBus;
    std::unique_ptr<VirtualHub> windowHub;
    std::unique_ptr<TfrmMain> window;
};

TEST_F(SharedState, LevelsKeptByTheWindowAreRestoredByTheCommandLine) {
    const LedCalibrationStore::Levels levels{11, 22, 33, 44, 55, 66, 77, 88};
    stateFile = LedCalibrationStore::defaultPath(); // the window's
    makeWindow(levels);
    window->timing.modeWaitMs = 0; // the bootloader is never reached: the levels stay kept
    window->btnUpdate->click();
    ASSERT_TRUE(windowLog().contains(QStringLiteral("Enter bootloader error.")));
    ASSERT_EQ(LedCalibrationStore(*stateFile).load(QStringLiteral("serial:VH0001")), std::optional(levels));

    EXPECT_EQ(run(QStringLiteral("--virtual 2 update --all --image ") + image), ExitOk);
    EXPECT_EQ(virtualHub(0).model().savedLedLevels(), levels);
    EXPECT_NE(virtualHub(1).model().savedLedLevels(), levels); // VH0002 keeps its own
    EXPECT_TRUE(hubRun->report().hubs.at(0).log.contains(
        QStringLiteral("Restoring the LED levels kept from an earlier attempt.")));
    EXPECT_FALSE(hubRun->report().hubs.at(1).log.contains(
        QStringLiteral("Restoring the LED levels kept from an earlier attempt.")));
    EXPECT_FALSE(LedCalibrationStore(*stateFile).load(QStringLiteral("serial:VH0001")));
}

TEST_F(SharedState, LevelsKeptByTheCommandLineAreRestoredByTheWindow) {
    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-fault fail@12 update --image ") + image),
              ExitFailure);
    const std::optional<LedCalibrationStore::Levels> kept =
        LedCalibrationStore(*stateFile).load(QStringLiteral("serial:VH0001"));
    ASSERT_TRUE(kept);
    EXPECT_EQ(*kept, virtualHub(0).model().savedLedLevels());

    // The window's hub VH0001 reports other levels now (its firmware's
    // defaults after the failed update): the kept ones win.
    QFile::remove(LedCalibrationStore::defaultPath());
    ASSERT_TRUE(QDir().mkpath(QFileInfo(LedCalibrationStore::defaultPath()).absolutePath()));
    ASSERT_TRUE(QFile::copy(*stateFile, LedCalibrationStore::defaultPath()));
    makeWindow({1, 1, 1, 1, 1, 1, 1, 1});
    window->btnUpdate->click();
    EXPECT_TRUE(
        windowLog().contains(QStringLiteral("Restoring the LED levels kept from an earlier attempt.")));
    EXPECT_EQ(windowLog().last(), QStringLiteral("Update completed."));
    EXPECT_EQ(windowHub->model().savedLedLevels(), *kept);
}

// A hub at the image's version whose levels are still owed is not skipped:
// only the update gives them back.
TEST_F(SharedState, AnUpToDateHubWithKeptLevelsIsUpdatedToGetThemBack) {
    const LedCalibrationStore::Levels levels{9, 18, 27, 36, 45, 54, 63, 72};
    ASSERT_TRUE(LedCalibrationStore(*stateFile).save(QStringLiteral("serial:VH0001"), levels));
    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-version 1.1.15.0906 update --json --image ") + image),
              ExitOk);
    EXPECT_FALSE(hubJson(0).value(QStringLiteral("skipped")).toBool(true));
    EXPECT_TRUE(hubJson(0).value(QStringLiteral("completed")).toBool());
    EXPECT_EQ(virtualHub(0).model().savedLedLevels(), levels);
    EXPECT_FALSE(LedCalibrationStore(*stateFile).load(QStringLiteral("serial:VH0001")));
}

TEST_F(SharedState, AHubAnotherProgramIsUpdatingIsLeftAloneAndCountsAsFailed) {
    HubUpdateLock other(HubUpdateLock::folderFor(*stateFile), HubIdentity::serial(QStringLiteral("VH0001")));
    ASSERT_TRUE(other.tryLock());
    EXPECT_EQ(run(QStringLiteral("--virtual 2 update --all --json --image ") + image), ExitFailure);
    EXPECT_EQ(hubJson(0).value(QStringLiteral("result")).toString(), QStringLiteral("HubBusy"));
    EXPECT_TRUE(hubJson(0)
                    .value(QStringLiteral("log"))
                    .toArray()
                    .at(0)
                    .toString()
                    .startsWith(QStringLiteral("Another program is updating hub serial:VH0001")));
    EXPECT_EQ(hubJson(1).value(QStringLiteral("result")).toString(), QStringLiteral("Completed"));
    for (const hubsim::Bytes& frame : virtualHub(0).trace().reports(hubsim::TraceEntry::Direction::ToHub))
        EXPECT_NE(hubsim::parseRequest(frame).command, CmdEnterBootloader);
    EXPECT_EQ(virtualHub(0).mode(), hubsim::HubMode::Application);
}

// Not only an update: list and check send a hub that another program updates no frame.
TEST_F(SharedState, ListAndCheckLeaveAHubAnotherProgramIsUpdatingAlone) {
    HubUpdateLock other(HubUpdateLock::folderFor(*stateFile), HubIdentity::serial(QStringLiteral("VH0001")));
    ASSERT_TRUE(other.tryLock());
    for (const char* command : {"list", "check"}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(run(QStringLiteral("--virtual 1 --json ") + QLatin1String(command)),
                  QLatin1String(command) == QLatin1String("list") ? ExitOk : ExitFailure);
        EXPECT_TRUE(hubJson(0)
                        .value(QStringLiteral("log"))
                        .toArray()
                        .at(0)
                        .toString()
                        .startsWith(QStringLiteral("Another program is updating hub serial:VH0001")));
        EXPECT_TRUE(virtualHub(0).trace().reports(hubsim::TraceEntry::Direction::ToHub).empty());
    }
}

TEST_F(SharedState, EveryAttemptIsInTheHistoryThatTheHistoryCommandShows) {
    EXPECT_EQ(run(QStringLiteral("--virtual 2 --virtual-fault 2:fail@12 update --all --image ") + image),
              ExitFailure);
    const QList<UpdateRecord> records = UpdateHistory(*stateFile).read();
    ASSERT_EQ(records.size(), 2);
    QMap<QString, UpdateRecord> byHub;
    for (const UpdateRecord& r : records)
        byHub.insert(r.hub, r);
    ASSERT_TRUE(byHub.contains(QStringLiteral("serial:VH0001")));
    ASSERT_TRUE(byHub.contains(QStringLiteral("serial:VH0002")));
    const UpdateRecord& ok = byHub[QStringLiteral("serial:VH0001")];
    const UpdateRecord& failed = byHub[QStringLiteral("serial:VH0002")];
    EXPECT_EQ(ok.result, QStringLiteral("completed"));
    EXPECT_EQ(ok.modeBefore, QStringLiteral("application"));
    EXPECT_EQ(ok.versionBefore, std::optional<std::uint32_t>(hubsim::DefaultFirmwareVersion));
    EXPECT_EQ(ok.versionAfter, ok.imageVersion);
    EXPECT_EQ(ok.imageDigest.size(), 8); // the data lines' CRC-32
    EXPECT_TRUE(ok.levelsRead && ok.levelsWritten && *ok.levelsRead == *ok.levelsWritten);
    EXPECT_EQ(ok.calibration, QStringLiteral("carried"));
    const QString kind =
        hubJson(1).value(QStringLiteral("failure")).toObject().value(QStringLiteral("kind")).toString();
    EXPECT_EQ(failed.result, kind);
    EXPECT_FALSE(kind.isEmpty());
    EXPECT_EQ(failed.calibration, QStringLiteral("kept"));
    EXPECT_TRUE(failed.levelsRead);
    EXPECT_FALSE(failed.levelsWritten);

    HistoryRead read;
    read.records = records;
    read.unreadable = 1;
    const QStringList table = historyText(read).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(table.size(), 4) << table.join('\n').toStdString();
    EXPECT_TRUE(table[0].startsWith(QStringLiteral("time"))) << table[0].toStdString();
    for (const QString& line : table)
        EXPECT_LE(line.size(), 80) << line.toStdString();
    // Local time with its offset from UTC.
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d[+-]\\d\\d:\\d\\d "))
                    .match(table[1])
                    .hasMatch())
        << table[1].toStdString();
    EXPECT_EQ(table[3], QStringLiteral("1 record(s) could not be read."));
    // The details say where the failed hub was left, in the report's words
    // (which add the levels the run read).
    HistoryRead failedOnly;
    failedOnly.records = {failed};
    const QString details = historyText(failedOnly, true);
    const QString left = hubJson(1).value(QStringLiteral("whereLeft")).toString();
    const QString said =
        details.mid(details.indexOf(QStringLiteral("Left: ")) + 6).section(QLatin1Char('\n'), 0, 0);
    EXPECT_FALSE(said.isEmpty());
    EXPECT_TRUE(left.startsWith(said)) << said.toStdString();

    const QJsonObject exported = QJsonDocument::fromJson(historyJson(read)).object();
    EXPECT_EQ(exported.value(QStringLiteral("schemaVersion")).toInt(), JsonSchemaVersion);
    EXPECT_EQ(exported.value(QStringLiteral("unreadable")).toInt(), 1);
    const QJsonArray updates = exported.value(QStringLiteral("updates")).toArray();
    ASSERT_EQ(updates.size(), 2);
    const QJsonObject second = updates.at(1).toObject();
    EXPECT_EQ(second.value(QStringLiteral("hub")).toString(), records.at(1).hub);
    const QJsonObject failedJson = records.at(1).hub == failed.hub ? second : updates.at(0).toObject();
    EXPECT_EQ(failedJson.value(QStringLiteral("failureKind")).toString(), kind);
    EXPECT_EQ(failedJson.value(QStringLiteral("failure")), hubJson(1).value(QStringLiteral("failure")));
    EXPECT_EQ(failedJson.value(QStringLiteral("whereLeft")).toString(), said);
}

// The virtual hubs' levels and history are not the user's: a run with them
// leaves the state folder (and the whole home) as it was.
TEST_F(CliRun, VirtualHubsLeaveTheUsersStateAlone) {
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_STATE_HOME"), home.filePath(QStringLiteral("state")));
    const auto program = [&env](const QStringList& arguments) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(QUORVI_HUB_PROGRAM), arguments);
        EXPECT_TRUE(p.waitForFinished(60000));
        return p.readAllStandardOutput();
    };
    program({QStringLiteral("--virtual"), QStringLiteral("1"), QStringLiteral("update"),
             QStringLiteral("--image"), image});
    EXPECT_EQ(program({QStringLiteral("history")}), "No update has been recorded.\n");
    EXPECT_TRUE(
        QDir(home.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

// Each way an update can fail is told by its kind, the line it reached,
// where the hub was left and the next step: the same sentences in the log
// (last three lines), on stderr and in the JSON; and the hub really is
// where the words say.
TEST_F(CliRun, EachFailureKindIsToldInTheSameWordsEverywhere) {
    modeWaitMs = 800; // restarts take 40 ms here
    const int lines = DataLines + 2;
    // Frames: mode, version, mode, levels, bootloader, mode; then two per data line from line 2.
    struct Case {
        const char* fault;
        const char* kind;
        QString text;
        hubsim::HubMode hubMode; // where the virtual hub really is
        bool onBus;
        const char* modeAfter;
    } cases[] = {
        {"fail@12", "refused",
         QStringLiteral("The hub refused the block write (0x06) of line 4 of %1 (result 0x01).").arg(lines),
         hubsim::HubMode::Bootloader, true, "bootloader"},
        {"fail@11", "refused",
         QStringLiteral("The hub refused the block data (0x09) of line 4 of %1 (result 0x01).").arg(lines),
         hubsim::HubMode::Bootloader, true, "bootloader"},
        {"unplug@12", "unplugged", QStringLiteral("The hub was unplugged at line 5 of %1.").arg(lines),
         hubsim::HubMode::Bootloader, false, "unknown"},
        {"no-return", "no-return", QStringLiteral("The hub did not come back after its restart (0x0B)."),
         hubsim::HubMode::Application, false, "unknown"},
        {"stay-in-bootloader", "stayed-in-bootloader",
         QStringLiteral(
             "The hub came back in its bootloader after its restart (0x0B), not in its application."),
         hubsim::HubMode::Bootloader, true, "bootloader"},
        {"boot-old-firmware", "wrong-version",
         QStringLiteral("The hub came back running firmware 1.1.15.0905, not the image's 1.1.15.0906."),
         hubsim::HubMode::Application, true, "application"},
    };
    QSet<QString> nextSteps;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-fault %1 update --json --image %2")
                          .arg(c.fault, image)),
                  ExitFailure);
        const QJsonObject h = hubJson(0);
        const QJsonObject failure = h.value(QStringLiteral("failure")).toObject();
        EXPECT_EQ(failure.value(QStringLiteral("kind")).toString(), QLatin1String(c.kind));
        EXPECT_EQ(failure.value(QStringLiteral("text")).toString(), c.text);
        EXPECT_EQ(h.value(QStringLiteral("resultText")).toString(), c.text);
        EXPECT_EQ(h.value(QStringLiteral("modeAfter")).toString(), QLatin1String(c.modeAfter));
        const QString where = h.value(QStringLiteral("whereLeft")).toString();
        const QString next = h.value(QStringLiteral("nextStep")).toString();
        EXPECT_FALSE(where.isEmpty());
        EXPECT_FALSE(next.isEmpty());
        nextSteps << next;
        const QJsonArray log = h.value(QStringLiteral("log")).toArray();
        ASSERT_GE(log.size(), 3);
        EXPECT_EQ(log.at(log.size() - 3).toString(), c.text);
        EXPECT_EQ(log.at(log.size() - 2).toString(), QStringLiteral("Left: ") + where);
        EXPECT_EQ(log.at(log.size() - 1).toString(), QStringLiteral("Next: ") + next);
        EXPECT_TRUE(errors.startsWith(QStringLiteral("Hub 1 (virtual:hidraw/1): FAILED (%1)\n").arg(c.kind)))
            << errors.toStdString();
        EXPECT_TRUE(errors.contains(QStringLiteral("    ") + c.text + QLatin1Char('\n')));
        EXPECT_TRUE(errors.contains(QStringLiteral("    Left: ") + where));
        EXPECT_EQ(virtualHub(0).isPlugged(), c.onBus);
        if (c.onBus) {
            EXPECT_EQ(virtualHub(0).mode(), c.hubMode);
        }
    }
    // Each kind leads somewhere; not all to one catch-all step.
    EXPECT_GE(nextSteps.size(), 4);

    // A refused line leaves the lines before it written, as the words say.
    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-fault fail@12 update --image ") + image),
              ExitFailure);
    EXPECT_TRUE(hubRun->report().hubs.at(0).whereLeft.startsWith(
        QStringLiteral("The hub waits in its bootloader with 3 of %1 lines written").arg(lines)));
    // Lines 2 and 3; line 1 has no data.
    const std::vector<hubsim::WrittenBlock> blocks = virtualHub(0).model().writtenBlocks();
    const std::vector<hubsim::WrittenBlock> all = expectedBlocks();
    ASSERT_GE(blocks.size(), 2u);
    EXPECT_EQ(std::vector<hubsim::WrittenBlock>(blocks.begin(), blocks.begin() + 2),
              std::vector<hubsim::WrittenBlock>(all.begin(), all.begin() + 2));
}

// A hub that answers nothing reads the same in check and in update: no
// "Enter bootloader error" in one and "not answering" in the other.
TEST_F(CliRun, ASilentHubReadsTheSameInCheckAndUpdate) {
    replyTimeoutMs = 100;
    modeWaitMs = 600;
    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-fault silent check --json")), ExitFailure);
    const QJsonObject checked = hubJson(0);
    const QString said =
        checked.value(QStringLiteral("failure")).toObject().value(QStringLiteral("text")).toString();
    EXPECT_EQ(said, QStringLiteral("The hub did not answer its mode query (0x04)."));
    EXPECT_EQ(checked.value(QStringLiteral("failure")).toObject().value(QStringLiteral("kind")).toString(),
              QStringLiteral("no-answer"));
    EXPECT_EQ(checked.value(QStringLiteral("result")).toString(), QStringLiteral("NotChecked"));
    EXPECT_TRUE(errors.contains(QStringLiteral("could not be checked (no-answer): ") + said))
        << errors.toStdString();

    // The update says the same silence, and that it was not sent to its bootloader for it.
    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-fault silent update --json --image ") + image),
              ExitFailure);
    const QJsonObject updated = hubJson(0);
    EXPECT_TRUE(updated.value(QStringLiteral("failure"))
                    .toObject()
                    .value(QStringLiteral("text"))
                    .toString()
                    .contains(QStringLiteral("did not answer its mode query (0x04)")));
    EXPECT_EQ(updated.value(QStringLiteral("result")).toString(), QStringLiteral("CalibrationUnreadable"));
    EXPECT_TRUE(
        errors.startsWith(QStringLiteral("Hub 1 (virtual:hidraw/1): FAILED (calibration-unreadable)\n")));
    EXPECT_TRUE(virtualHub(0).model().writtenBlocks().empty());
    EXPECT_EQ(virtualHub(0).mode(), hubsim::HubMode::Application);
}

// A hub that refuses the first question is told as refusing it, not as silent.
TEST_F(CliRun, ARefusedFirstFrameIsARefusalInCheck) {
    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-fault fail@1 check --json")), ExitFailure);
    const QJsonObject failure = hubJson(0).value(QStringLiteral("failure")).toObject();
    EXPECT_EQ(failure.value(QStringLiteral("kind")).toString(), QStringLiteral("refused"));
    EXPECT_TRUE(failure.value(QStringLiteral("text"))
                    .toString()
                    .startsWith(QStringLiteral("The hub refused its mode query (0x04) (result 0x")))
        << failure.value(QStringLiteral("text")).toString().toStdString();
    EXPECT_FALSE(errors.contains(QStringLiteral("did not answer"))) << errors.toStdString();
    EXPECT_TRUE(errors.contains(QStringLiteral("could not be checked (refused)"))) << errors.toStdString();
}

// A hub is sent to its bootloader only with its calibration safe; otherwise
// it is left untouched, unless the user gives up the calibration.
TEST_F(CliRun, AnUnreadableCalibrationStopsTheUpdateUnlessDiscarded) {
    // Frames: mode, version, mode, levels; a refused level read is tried once more.
    EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-fault fail@4 update --json --image ") + image),
              ExitOk);
    EXPECT_TRUE(hubJson(0).value(QStringLiteral("calibrationCarried")).toBool(false));

    const struct {
        const char* faults;
        QString text;
    } cases[] = {
        {"fail@3", QStringLiteral("The hub's LED calibration could not be read: it refused its mode query "
                                  "(0x04) (result 0x01).")},
        {"fail@4 --virtual-fault fail@5",
         QStringLiteral("The hub's LED calibration could not be read: it refused the LED level read (0xF2) "
                        "(result 0x01).")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-fault %1 update --json --image %2")
                          .arg(QLatin1String(c.faults), image)),
                  ExitFailure);
        const QJsonObject h = hubJson(0);
        const QJsonObject failure = h.value(QStringLiteral("failure")).toObject();
        EXPECT_EQ(failure.value(QStringLiteral("kind")).toString(), QStringLiteral("calibration-unreadable"));
        EXPECT_EQ(failure.value(QStringLiteral("text")).toString(), c.text);
        EXPECT_TRUE(
            h.value(QStringLiteral("nextStep")).toString().contains(QStringLiteral("--discard-calibration")));
        EXPECT_EQ(virtualHub(0).mode(), hubsim::HubMode::Application);
        EXPECT_EQ(virtualHub(0).firmwareVersion(), hubsim::DefaultFirmwareVersion);

        EXPECT_EQ(run(QStringLiteral("--virtual 1 --virtual-fault %1 update --discard-calibration --json "
                                     "--image %2")
                          .arg(QLatin1String(c.faults), image)),
                  ExitOk);
        EXPECT_FALSE(hubJson(0).value(QStringLiteral("calibrationCarried")).toBool(true));
    }
}

namespace {

// Every field of a JSON value as a path: "hubs[].failure.kind". Arrays of
// objects add "[]"; arrays of numbers or texts are one field.
void collectPaths(const QJsonValue& value, const QString& path, QSet<QString>& into) {
    if (!path.isEmpty() && !path.endsWith(QLatin1String("[]")))
        into << path;
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it)
            collectPaths(it.value(), path.isEmpty() ? it.key() : path + QLatin1Char('.') + it.key(), into);
    } else if (value.isArray()) {
        for (const QJsonValue& element : value.toArray()) {
            if (element.isObject())
                collectPaths(element, path + QStringLiteral("[]"), into);
        }
    }
}

// The fields the manual page's JSON OUTPUT section names, one ".TP" entry each.
QSet<QString> documentedFields() {
    QFile file(QStringLiteral(QUORVI_HUB_MANUAL));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    QSet<QString> fields;
    bool inSection = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].startsWith(QLatin1String(".SH ")))
            inSection = lines[i] == QLatin1String(".SH JSON OUTPUT");
        else if (inSection && lines[i] == QLatin1String(".TP") && i + 1 < lines.size() &&
                 lines[i + 1].startsWith(QLatin1String(".B ")))
            fields << lines[i + 1].mid(3);
    }
    return fields;
}

} // namespace

// A script may rely on every documented field, and on none that is not: the
// fields of real runs (a completed, a failed and a forbidden hub; a check;
// a run stopped as a whole) are exactly those the manual page documents.
TEST_F(CliRun, TheJsonHasEveryDocumentedFieldAndNoOther) {
    QSet<QString> seen;
    const auto take = [&] {
        EXPECT_EQ(json.value(QStringLiteral("schemaVersion")).toInt(), JsonSchemaVersion);
        collectPaths(json, QString(), seen);
    };

    EXPECT_EQ(
        run(QStringLiteral("--virtual 3 --virtual-fault 2:fail@12 --virtual-fault 3:no-access update --all "
                           "--json --image ") +
            image),
        ExitFailure);
    take();
    const QJsonObject done = hubJson(0);
    const QJsonObject failed = hubJson(1);
    // Levels as numbers, read and written back alike.
    const QJsonArray read = done.value(QStringLiteral("levelsRead")).toArray();
    ASSERT_EQ(read.size(), 8);
    for (const QJsonValue& level : read)
        EXPECT_EQ(level.toInt(-1), 50);
    EXPECT_EQ(done.value(QStringLiteral("levelsWritten")).toArray(), read);
    EXPECT_TRUE(done.value(QStringLiteral("failure")).isNull());
    EXPECT_TRUE(done.value(QStringLiteral("nextStep")).isNull());
    EXPECT_EQ(done.value(QStringLiteral("mode")).toString(), QStringLiteral("application"));
    EXPECT_EQ(done.value(QStringLiteral("version")).toString(), QStringLiteral("1.1.15.0905"));
    EXPECT_EQ(done.value(QStringLiteral("modeAfter")).toString(), QStringLiteral("application"));
    EXPECT_EQ(done.value(QStringLiteral("versionAfter")).toString(), QStringLiteral("1.1.15.0906"));
    // The failed one kept its levels unwritten, and says where it stopped.
    EXPECT_EQ(failed.value(QStringLiteral("levelsRead")).toArray(), read);
    EXPECT_TRUE(failed.value(QStringLiteral("levelsWritten")).isNull());
    const QJsonObject failure = failed.value(QStringLiteral("failure")).toObject();
    EXPECT_EQ(failure.value(QStringLiteral("command")).toInt(), CmdBlockWrite);
    EXPECT_EQ(failure.value(QStringLiteral("resultByte")).toInt(), 1);
    EXPECT_EQ(failure.value(QStringLiteral("line")).toInt(), 4);
    EXPECT_EQ(failure.value(QStringLiteral("lineCount")).toInt(), DataLines + 2);
    EXPECT_EQ(failure.value(QStringLiteral("step")).toString(), QStringLiteral("programming"));
    EXPECT_EQ(hubJson(2).value(QStringLiteral("failure")).toObject().value(QStringLiteral("kind")).toString(),
              QStringLiteral("no-access"));
    EXPECT_TRUE(
        hubJson(2).value(QStringLiteral("nextStep")).toString().contains(QStringLiteral("udev rule")));

    EXPECT_EQ(run(QStringLiteral("--virtual 1 check --json")), ExitUpdateAvailable);
    take();
    EXPECT_EQ(hubJson(0).value(QStringLiteral("result")).toString(), QStringLiteral("UpdateAvailable"));
    EXPECT_EQ(run(QStringLiteral("--virtual 2 update --json --image ") + image), ExitFailure);
    take();
    EXPECT_EQ(run(QStringLiteral("--virtual 1 list --json")), ExitOk);
    take();

    const QSet<QString> documented = documentedFields();
    EXPECT_GE(documented.size(), 40);
    for (const QString& field : seen)
        EXPECT_TRUE(documented.contains(field)) << "not documented: " << field.toStdString();
    for (const QString& field : documented)
        EXPECT_TRUE(seen.contains(field)) << "documented, never written: " << field.toStdString();
}
