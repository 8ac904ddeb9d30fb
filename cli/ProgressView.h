#pragma once

// What a person sees while the hubs work: on a terminal that can take them,
// one live bar per hub, redrawn in place; elsewhere (a pipe, a log file,
// TERM=dumb, a narrow window) plain lines, each written the moment it happens.

#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdio>

namespace cli {

class HubRun;
struct Options;

enum class Display {
    Silent, // --quiet, or --json without a terminal: nothing while the hubs work
    Lines,  // one line per log line and per quarter of the programming
    Bars,   // live bars, redrawn in place
};

struct TerminalInfo {
    bool isTerminal = false;
    QString term;    // $TERM
    int columns = 0; // 0: not known
    int rows = 0;
};

// What the terminal behind this descriptor is, if any.
TerminalInfo terminalOf(int fd);

// Narrower than this, a bar leaves no room for its stage.
inline constexpr int MinBarColumns = 40;

// Bars only for an update, on a terminal that moves its cursor and is wide
// enough, and only when nothing else asks for lines. terminal: where the
// progress goes (progressStreamFd).
Display chooseDisplay(const Options& options, const TerminalInfo& terminal);
// Progress goes to standard output, or with --json, which owns that, to
// standard error.
int progressStreamFd(const Options& options);

// One hub's bar, fitted into the given columns.
QString barLine(int hub, int value, int maximum, const QString& stage, int columns);

// A frame of the exchange as --verbose shows it: the bytes in hex, a frame
// written up to its checksum, a report read up to its last byte that is not
// padding.
QString frameText(int hub, bool sent, const QByteArray& report);

class ProgressView : public QObject {
    Q_OBJECT
public:
    // terminalFd: where the bars' width is read from each time they are drawn.
    ProgressView(HubRun& run, Display display, std::FILE* out, std::FILE* err, int terminalFd = -1,
                 QObject* parent = nullptr);
    // Draws the bars a last time.
    void finish();
    // A notice on the error stream (the Ctrl+C notice), the bars drawn anew below it.
    void note(const QString& text);

    Display display() const { return m_display; }

private:
    struct Hub {
        QString stage = QStringLiteral("waiting");
        QString lastLine; // plain lines: an append completes it
        int maximum = 0;
        int value = 0;
        int quarter = 0;
    };
    void redraw();
    int columns() const;
    void printLine(std::FILE* stream, const QString& text);

    Display m_display;
    std::FILE* m_out;
    std::FILE* m_err;
    int m_terminalFd;
    QMap<int, Hub> m_hubs;
    int m_drawnLines = 0;
    bool m_dirty = false;
    QTimer m_timer;
};

} // namespace cli
