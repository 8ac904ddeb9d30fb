#include "CliOptions.h"
#include "HubDevice.h"
#include "HubReport.h"
#include "ProgressView.h"
#include "SafeText.h"

#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace cli;

namespace {

HubOutcome updated(int number, bool completed) {
    HubOutcome h;
    h.number = number;
    h.path = QStringLiteral("/dev/hidraw%1").arg(number);
    h.mode = HubMode::Application;
    h.version = 0x11150905;
    h.chosen = true;
    h.completed = completed;
    h.result = completed ? QStringLiteral("Completed") : QStringLiteral("Timeout");
    h.log = {QStringLiteral("Programming..."),
             completed ? QStringLiteral("Update completed.") : QStringLiteral("Timeout.")};
    if (completed) {
        h.versionAfter = 0x11150906;
    } else {
        h.failure.kind = UpdateFailure::Kind::Refused;
        h.failure.step = UpdateFailure::Step::Programming;
        h.failure.command = 0x09;
        h.failure.result = 1;
        h.failure.line = 4;
        h.failure.lineCount = 18;
        const UpdateOutcome words = describeFailure(h.failure, h.mode);
        h.whereLeft = words.whereLeft;
        h.nextStep = words.nextStep;
        h.log << words.text << QStringLiteral("Left: ") + h.whereLeft
              << QStringLiteral("Next: ") + h.nextStep;
    }
    return h;
}

QString readAll(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return QString::fromUtf8(file.readAll());
}

} // namespace

// A script reads its results from stdout and must not find a failure there;
// a person sees every failure on stderr, even with --quiet.
TEST(CliOutput, ResultsGoToStdoutAndFailuresToStderr) {
    RunReport r;
    r.command = Command::Update;
    r.hubs = {updated(1, true), updated(2, false)};
    const std::vector<TextLine> lines = toTextLines(r);
    EXPECT_EQ(joinLines(lines, TextLine::Out),
              QStringLiteral("Hub 1 (/dev/hidraw1): updated, firmware 1.1.15.0906\n1 of 2 hubs updated.\n"));
    EXPECT_EQ(joinLines(lines, TextLine::Err),
              QStringLiteral("Hub 2 (/dev/hidraw2): FAILED (refused)\n    Programming...\n    Timeout.\n"
                             "    The hub refused the block data (0x09) of line 4 of 18 (result 0x01).\n"
                             "    Left: The hub waits in its bootloader with 3 of 18 lines written, its "
                             "firmware incomplete.\n    Next: Run the update again.\n"));
    // The summary comes after the failures, as the last word.
    EXPECT_EQ(lines.back().text, QStringLiteral("1 of 2 hubs updated."));

    const std::vector<TextLine> quiet = toTextLines(r, true);
    EXPECT_EQ(joinLines(quiet, TextLine::Out), QStringLiteral("1 of 2 hubs updated.\n"));
    EXPECT_EQ(joinLines(quiet, TextLine::Err), joinLines(lines, TextLine::Err));

    r.command = Command::Check;
    r.firmwareVersion = 0x11150906;
    r.hubs = {updated(1, false), updated(2, false)};
    r.hubs[0].updateAvailable = true;
    r.hubs[1].mode = HubMode::NotAnswering;
    r.hubs[1].version.reset();
    for (HubOutcome& h : r.hubs)
        h.failure = {};
    const std::vector<TextLine> check = toTextLines(r, true);
    EXPECT_EQ(joinLines(check, TextLine::Out),
              QStringLiteral("1 of 2 hubs checked: 1 with an update available, 1 could not be checked.\n"));
    EXPECT_TRUE(
        joinLines(check, TextLine::Err).startsWith(QStringLiteral("Hub 2 (/dev/hidraw2): not answering")));

    r.error = QStringLiteral("The firmware image a\x1b]0;owned\x07.txt is refused");
    const QString err = joinLines(toTextLines(r), TextLine::Err);
    EXPECT_TRUE(err.endsWith(QStringLiteral("The firmware image a\\x1b]0;owned\\x07.txt is refused\n")))
        << err.toStdString();
}

TEST(CliOutput, ControlCharactersAreShownEscaped) {
    EXPECT_EQ(safeText(QStringLiteral("a\tb\r\n\x1b[2J\x7f") + QChar(0x9B) + QStringLiteral("ü")),
              QStringLiteral("a\\x09b\\x0d\\x0a\\x1b[2J\\x7f\\x9bü"));
    EXPECT_EQ(safeText(QStringLiteral("/dev/hidraw3")), QStringLiteral("/dev/hidraw3"));
}

TEST(CliOutput, BarsOnlyWhereATerminalCanRedrawThem) {
    Options update;
    update.command = Command::Update;
    const TerminalInfo wide{true, QStringLiteral("xterm-256color"), 120, 40};
    EXPECT_EQ(chooseDisplay(update, wide), Display::Bars);
    EXPECT_EQ(chooseDisplay(update, {true, QStringLiteral("xterm"), 0, 0}), Display::Bars); // size unknown

    const struct {
        const char* what;
        TerminalInfo terminal;
    } lines[] = {
        {"a pipe", {false, QStringLiteral("xterm"), 0, 0}},
        {"TERM=dumb", {true, QStringLiteral("dumb"), 120, 40}},
        {"no TERM", {true, QString(), 120, 40}},
        {"too narrow", {true, QStringLiteral("xterm"), MinBarColumns - 1, 40}},
    };
    for (const auto& c : lines) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(chooseDisplay(update, c.terminal), Display::Lines);
    }
    Options o = update;
    o.noProgress = true;
    EXPECT_EQ(chooseDisplay(o, wide), Display::Lines);
    o = update;
    o.verbose = true; // the frames would tear the bars apart
    EXPECT_EQ(chooseDisplay(o, wide), Display::Lines);
    o = update;
    o.quiet = true;
    EXPECT_EQ(chooseDisplay(o, wide), Display::Silent);
    o = update;
    o.json = true;
    EXPECT_EQ(chooseDisplay(o, wide), Display::Silent);
    o = update;
    o.command = Command::Check; // nothing to measure
    EXPECT_EQ(chooseDisplay(o, wide), Display::Lines);
}

// A bar that reaches the last column wraps, and every redraw then leaves a
// line behind: the screen floods.
TEST(CliOutput, ABarNeverReachesTheLastColumnAndKeepsItsWidth) {
    const QStringList stages = {QStringLiteral("waiting"), QStringLiteral("entering the bootloader"),
                                QStringLiteral("restoring the LED levels"),
                                QStringLiteral("FAILED while entering the bootloader")};
    for (int columns = MinBarColumns; columns <= 200; ++columns) {
        SCOPED_TRACE(columns);
        qsizetype width = -1;
        for (const QString& stage : stages) {
            const QString line = barLine(16, 313, 625, stage, columns);
            EXPECT_LT(line.size(), columns) << line.toStdString();
            EXPECT_TRUE(line.startsWith(QStringLiteral("Hub 16 [")));
            const qsizetype bar = line.indexOf(QLatin1Char(']')) - line.indexOf(QLatin1Char('['));
            if (width < 0)
                width = bar;
            EXPECT_EQ(bar, width) << line.toStdString();
        }
    }
    // Up to 80 columns the stage is shown whole, the failure at least by its word.
    EXPECT_TRUE(barLine(1, 1, 2, QStringLiteral("restoring the LED levels"), 50)
                    .endsWith(QStringLiteral(" 50% restoring the LED levels")));
    EXPECT_TRUE(
        barLine(1, 0, 0, QStringLiteral("FAILED while programming"), 40).contains(QStringLiteral("FAILED")));
    EXPECT_EQ(barLine(3, 10, 10, QStringLiteral("done"), 80),
              QStringLiteral("Hub  3 [##############################] 100% done"));
}

TEST(CliOutput, FramesAreTracedUpToTheirChecksumOrLastByte) {
    QByteArray written(65, 0);
    written[1] = 0x55;
    written[2] = 0x06; // one payload byte
    written[4] = 0x01;
    written[5] = 0x00;
    written[6] = char(0xC8);
    written[20] = 0x33; // padding left in the record
    EXPECT_EQ(frameText(2, true, written), QStringLiteral("Hub 2 > 00 55 06 00 01 00 C8"));
    QByteArray read(64, 0);
    read[0] = 0x55;
    read[1] = 0x05;
    read[3] = 0x04;
    EXPECT_EQ(frameText(1, false, read), QStringLiteral("Hub 1 < 55 05 00 04 00"));
    read[6] = 0x11;
    EXPECT_EQ(frameText(1, false, read), QStringLiteral("Hub 1 < 55 05 00 04 00 00 11"));
}

// --help, the manual page and the completions must tell the same options.
TEST(CliDocs, HelpManualPageAndCompletionsAgree) {
    const QString help = usageText();
    for (const QString& line : help.split(QLatin1Char('\n')))
        EXPECT_LE(line.size(), 80) << line.toStdString();

    QString manual = readAll(QStringLiteral(QUORVI_HUB_MANUAL));
    manual.replace(QStringLiteral("\\-"), QStringLiteral("-"));
    const QString bash = readAll(QStringLiteral(QUORVI_COMPLETION_DIR "/quorvi-hub.bash"));
    const QString zsh = readAll(QStringLiteral(QUORVI_COMPLETION_DIR "/_quorvi-hub"));

    const QRegularExpression option(QStringLiteral("(?<![\\w-])(--[a-z][a-z-]+|-[a-zA-Z])\\b"));
    QStringList options;
    for (auto it = option.globalMatch(help); it.hasNext();)
        options << it.next().captured(1);
    options.removeDuplicates();
    EXPECT_GE(options.size(), 16) << options.join(QLatin1Char(' ')).toStdString();
    for (const QString& name : options) {
        SCOPED_TRACE(name.toStdString());
        const QRegularExpression whole(QStringLiteral("(?<![\\w-])") + QRegularExpression::escape(name) +
                                       QStringLiteral("(?![\\w-])"));
        EXPECT_TRUE(manual.contains(whole));
        EXPECT_TRUE(bash.contains(whole));
        EXPECT_TRUE(zsh.contains(whole));
    }
    for (const char* kind : {"silent", "slow@", "wrong-marker", "fail@", "unplug@", "no-return",
                             "stay-in-bootloader", "no-access"}) {
        SCOPED_TRACE(kind);
        EXPECT_TRUE(help.contains(QLatin1String(kind)));
        EXPECT_TRUE(manual.contains(QLatin1String(kind)));
        EXPECT_TRUE(bash.contains(QLatin1String(kind)));
        EXPECT_TRUE(zsh.contains(QLatin1String(kind)));
    }
    // Every failure kind a report can show is explained in --help and in the
    // manual page's FAILURES section.
    const qsizetype failures = manual.indexOf(QStringLiteral(".SH FAILURES"));
    ASSERT_GE(failures, 0);
    const QString failureSection =
        manual.mid(failures, manual.indexOf(QStringLiteral(".SH "), failures + 1) - failures);
    for (int k = int(UpdateFailure::Kind::None) + 1; k <= int(UpdateFailure::Kind::Stopped); ++k) {
        const QString kind = failureKindName(UpdateFailure::Kind(k));
        SCOPED_TRACE(kind.toStdString());
        EXPECT_TRUE(help.contains(kind));
        EXPECT_TRUE(failureSection.contains(QStringLiteral(".B ") + kind + QLatin1Char('\n')));
    }
    // The hint a user without access gets names the file the manual page names.
    EXPECT_FALSE(manual.contains(QStringLiteral("@QUORVI")));
    EXPECT_TRUE(manual.contains(QStringLiteral(".I ") + hubdevice::udevRulePath() + QLatin1Char('\n')));
    EXPECT_TRUE(hubdevice::accessMessage(0).contains(hubdevice::udevRulePath()));
}

// The history file and a hub's serial number are anyone's to write: shown, never obeyed.
TEST(CliOutput, HistoryAndListShowForeignTextEscaped) {
    UpdateRecord r;
    r.time = QDateTime(QDate(2026, 3, 1), QTime(9, 30), Qt::UTC);
    r.hub = QStringLiteral("serial:\x1b]0;owned\x07");
    r.result = QStringLiteral("Completed\r\n");
    r.program = QStringLiteral("quorvi-hub");
    const QString text = historyText(HistoryRead{{r}, 0, true}, true);
    EXPECT_FALSE(text.contains(QChar(0x1b)));
    EXPECT_FALSE(text.contains(QLatin1Char('\r')));
    EXPECT_TRUE(text.contains(QStringLiteral("\\x1b]0;owned\\x07"))) << text.toStdString();

    RunReport list;
    list.command = Command::List;
    HubOutcome twin;
    twin.number = 1;
    twin.path = QStringLiteral("/dev/hidraw1");
    twin.identity = QStringLiteral("port:usb-1/input0");
    twin.note = QStringLiteral("Two hubs share serial number \x1b[2J: known by their ports.");
    list.hubs.push_back(twin);
    const QString out = joinLines(toTextLines(list), TextLine::Out);
    EXPECT_TRUE(
        out.contains(QStringLiteral("    Two hubs share serial number \\x1b[2J: known by their ports.\n")))
        << out.toStdString();
}
