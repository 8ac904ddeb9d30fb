#include "ProgressView.h"

#include "CliOptions.h"
#include "HubRun.h"
#include "Interrupt.h"
#include "SafeText.h"

#include <QByteArray>

#include <algorithm>
#include <cstdlib>

namespace cli {

namespace {

constexpr int MinBarWidth = 10;
constexpr int MaxBarWidth = 30;
// Room kept for the stage: "restoring the LED levels" fits.
constexpr int StageRoom = 24;
constexpr int RedrawMs = 100;
// Where nothing tells the width.
constexpr int DefaultColumns = 80;

} // namespace

TerminalInfo terminalOf(int fd) {
    TerminalInfo t;
    t.isTerminal = isTerminal(fd);
    t.term = QString::fromLocal8Bit(qgetenv("TERM"));
    if (t.isTerminal && !terminalSize(fd, t.columns, t.rows))
        t.columns = t.rows = 0;
    return t;
}

Display chooseDisplay(const Options& options, const TerminalInfo& terminal) {
    // The document owns standard output; a person at the terminal still sees
    // the progress, on standard error. A script reading both sees none.
    if (options.quiet || (options.json && !terminal.isTerminal))
        return Display::Silent;
    if (options.command != Command::Update || options.verbose || options.noProgress)
        return Display::Lines;
    // A terminal that cannot move its cursor would show every redraw as new text.
    if (!terminal.isTerminal || terminal.term.isEmpty() || terminal.term == QLatin1String("dumb"))
        return Display::Lines;
    if (terminal.columns > 0 && terminal.columns < MinBarColumns)
        return Display::Lines;
    return Display::Bars;
}

int progressStreamFd(const Options& options) {
    // The descriptors have these numbers on every system the program runs on.
    return options.json ? 2 : 1;
}

QString barLine(int hub, int value, int maximum, const QString& stage, int columns) {
    const QString head = QStringLiteral("Hub %1 [").arg(hub, 2);
    const int percent = maximum > 0 ? std::clamp(100 * value / maximum, 0, 100) : 0;
    const QString tail = QStringLiteral("] %1% ").arg(percent, 3);
    // The last column stays free: writing into it makes some terminals wrap.
    const int room = std::max(0, columns - 1 - int(head.size() + tail.size()));
    // The bar's width follows the terminal only, not the stage, so it does not jump.
    const int width = std::clamp(room - StageRoom, MinBarWidth, MaxBarWidth);
    const int filled = maximum > 0 ? width * std::clamp(value, 0, maximum) / maximum : 0;
    QString line = head + QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('-')) +
                   tail + stage.left(std::max(0, room - width));
    if (columns > 0)
        line.truncate(std::max(0, columns - 1));
    return line;
}

QString frameText(int hub, bool sent, const QByteArray& report) {
    qsizetype count = report.size();
    if (sent) {
        // Report id, marker, length n + 5, 0, command, n payload bytes, checksum.
        const qsizetype framed = report.size() > 2 ? quint8(report[2]) + 1 : count;
        count = std::min(count, framed);
    } else {
        // Marker, length, 0, command and result are always shown.
        while (count > 5 && report[count - 1] == 0)
            --count;
    }
    return QStringLiteral("Hub %1 %2 %3")
        .arg(hub)
        .arg(sent ? QLatin1Char('>') : QLatin1Char('<'))
        .arg(QString::fromLatin1(report.left(count).toHex(' ').toUpper()));
}

ProgressView::ProgressView(HubRun& run, Display display, std::FILE* out, std::FILE* err, int terminalFd,
                           QObject* parent)
    : QObject(parent), m_display(display), m_out(out), m_err(err), m_terminalFd(terminalFd) {
    connect(&run, &HubRun::started, this, [this](const QList<int>& hubs) {
        for (const int hub : hubs)
            m_hubs.insert(hub, Hub{});
        // More bars than rows cannot be redrawn in place.
        if (m_display == Display::Bars && m_terminalFd >= 0) {
            const TerminalInfo t = terminalOf(m_terminalFd);
            if (t.rows > 0 && int(hubs.size()) >= t.rows)
                m_display = Display::Lines;
        }
        m_dirty = true;
        redraw();
    });
    connect(&run, &HubRun::progressRange, this, [this](int hub, int maximum) {
        m_hubs[hub].maximum = maximum;
        m_dirty = true;
    });
    connect(&run, &HubRun::progress, this, [this](int hub, int value) {
        Hub& h = m_hubs[hub];
        h.value = value;
        m_dirty = true;
        if (m_display != Display::Lines || h.maximum <= 0)
            return;
        const int quarter = 4 * value / h.maximum;
        if (quarter > h.quarter && quarter < 4) {
            h.quarter = quarter;
            printLine(m_out, QStringLiteral("Hub %1: %2%").arg(hub).arg(25 * quarter));
        }
    });
    connect(&run, &HubRun::stageText, this, [this](int hub, const QString& text) {
        m_hubs[hub].stage = text;
        m_dirty = true;
    });
    connect(&run, &HubRun::logLine, this, [this](int hub, const QString& text) {
        m_hubs[hub].lastLine = text;
        if (m_display == Display::Lines)
            printLine(m_out, QStringLiteral("Hub %1: %2").arg(hub).arg(text));
    });
    // "Reboot..." is shown when the restart begins; "OK." follows as the
    // whole line again once the hub is back, so no line waits for the next.
    connect(&run, &HubRun::logAppend, this, [this](int hub, const QString& text) {
        Hub& h = m_hubs[hub];
        h.lastLine += text;
        if (m_display == Display::Lines)
            printLine(m_out, QStringLiteral("Hub %1: %2").arg(hub).arg(h.lastLine));
    });
    connect(&run, &HubRun::frameTraced, this, [this](int hub, bool sent, const QByteArray& report) {
        printLine(m_err, frameText(hub, sent, report));
    });
    connect(&run, &HubRun::hubFinished, this, [this](int hub, const QString& ending) {
        Hub& h = m_hubs[hub];
        if (ending == QLatin1String("done") || h.stage == QLatin1String("waiting"))
            h.stage = ending;
        else
            h.stage = QStringLiteral("%1 while %2").arg(ending, h.stage);
        m_dirty = true;
    });
    if (m_display == Display::Bars) {
        m_timer.setInterval(RedrawMs);
        connect(&m_timer, &QTimer::timeout, this, &ProgressView::redraw);
        m_timer.start();
    }
}

void ProgressView::printLine(std::FILE* stream, const QString& text) {
    if (stream == m_err)
        std::fflush(m_out); // what came before stays before
    std::fputs(qPrintable(safeText(text) + QLatin1Char('\n')), stream);
    std::fflush(stream);
}

int ProgressView::columns() const {
    const int known = m_terminalFd >= 0 ? terminalOf(m_terminalFd).columns : 0;
    return known > 0 ? known : DefaultColumns;
}

void ProgressView::note(const QString& text) {
    printLine(m_err, text);
    // On the same terminal the notice pushed the bars up: draw them anew below it.
    if (m_display == Display::Bars && m_drawnLines > 0 && isTerminal(m_err)) {
        m_drawnLines = 0;
        m_dirty = true;
        redraw();
    }
}

void ProgressView::redraw() {
    if (m_display != Display::Bars || !m_dirty || m_hubs.isEmpty())
        return;
    m_dirty = false;
    const int width = columns();
    QString text;
    if (m_drawnLines > 0)
        text += QStringLiteral("\x1b[%1A").arg(m_drawnLines);
    for (auto it = m_hubs.cbegin(); it != m_hubs.cend(); ++it) {
        const Hub& h = it.value();
        text += QStringLiteral("\r\x1b[2K") + barLine(it.key(), h.value, h.maximum, h.stage, width) +
                QLatin1Char('\n');
    }
    m_drawnLines = int(m_hubs.size());
    std::fputs(qPrintable(text), m_out);
    std::fflush(m_out);
}

void ProgressView::finish() {
    m_dirty = true;
    redraw();
    m_timer.stop();
}

} // namespace cli
