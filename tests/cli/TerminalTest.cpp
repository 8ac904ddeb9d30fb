// The terminal helpers the progress bars and the second Ctrl+C stand on, on
// the system the tests run on (Linux here, Windows under wine).

#include "HubReport.h"
#include "Interrupt.h"
#include "ProgressView.h"
#include "WhereLeft.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <cstdlib>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

struct Pipe {
    std::array<int, 2> fds{-1, -1};
    Pipe() {
#ifdef _WIN32
        ok = _pipe(fds.data(), 65536, _O_BINARY) == 0;
#else
        ok = ::pipe(fds.data()) == 0;
#endif
    }
    ~Pipe() {
        closeWriteEnd();
        closeFd(fds[0]);
    }
    void closeWriteEnd() {
        closeFd(fds[1]);
    }
    std::string readAll() const {
        std::string text;
        char chunk[512];
        for (;;) {
#ifdef _WIN32
            const int got = _read(fds[0], chunk, sizeof chunk);
#else
            const auto got = ::read(fds[0], chunk, sizeof chunk);
#endif
            if (got <= 0)
                return text;
            text.append(chunk, std::size_t(got));
        }
    }
    static void closeFd(int& fd) {
        if (fd < 0)
            return;
#ifdef _WIN32
        _close(fd);
#else
        ::close(fd);
#endif
        fd = -1;
    }
    bool ok = false;
};

} // namespace

TEST(CliTerminal, APipeIsNoTerminalAndTellsNoSize) {
    Pipe pipe;
    ASSERT_TRUE(pipe.ok);
    EXPECT_FALSE(cli::isTerminal(pipe.fds[1]));
    int columns = -1, rows = -1;
    EXPECT_FALSE(cli::terminalSize(pipe.fds[1], columns, rows));
    const cli::TerminalInfo info = cli::terminalOf(pipe.fds[1]);
    EXPECT_FALSE(info.isTerminal);
    EXPECT_EQ(info.columns, 0);
    EXPECT_EQ(info.rows, 0);
}

// What the second Ctrl+C writes must reach the descriptor byte for byte.
TEST(CliTerminal, WhereLeftReachesTheDescriptorWhole) {
    Pipe pipe;
    ASSERT_TRUE(pipe.ok);
    cli::WhereLeftBoard board;
    board.start({1, 2, 3});
    board.setStage(1, cli::stageWords(HubSession::Stage::Programming));
    board.setRange(1, 99);
    board.setProgress(1, 41);
    board.setStage(2, cli::stageWords(HubSession::Stage::Rebooting));
    board.setFinished(3);
    board.writeTo(pipe.fds[1]);
    const char tail[] = "end\n";
    cli::WhereLeftBoard::writeAll(pipe.fds[1], tail, sizeof tail - 1);
    pipe.closeWriteEnd();

    const std::string expected = board.text().toStdString() + "end\n";
    EXPECT_NE(board.text().indexOf(QStringLiteral("41 of 100 lines")), -1) << board.text().toStdString();
    EXPECT_EQ(pipe.readAll(), expected);
}

#ifndef _WIN32
// The bars take the width the terminal has now, not a guess.
TEST(CliTerminal, ATerminalTellsItsWindowSize) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    winsize size{};
    size.ws_col = 57;
    size.ws_row = 13;
    ASSERT_EQ(::ioctl(master, TIOCSWINSZ, &size), 0);

    const cli::TerminalInfo info = cli::terminalOf(terminal);
    EXPECT_TRUE(info.isTerminal);
    EXPECT_EQ(info.columns, 57);
    EXPECT_EQ(info.rows, 13);
    ::close(terminal);
    ::close(master);
}
#endif
