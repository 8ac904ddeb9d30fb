#pragma once

// What a person sees while the hubs work: on a terminal one live bar per hub,
// redrawn in place; elsewhere (a log file, a pipe) plain lines, one per log
// line and one per quarter of the programming.

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QTimer>

#include <cstdio>

namespace cli {

class HubRun;

class ProgressView : public QObject {
    Q_OBJECT
public:
    ProgressView(HubRun& run, std::FILE* out, bool live, QObject* parent = nullptr);
    // Draws the bars a last time.
    void finish();
    // A line between runs of the bars (the Ctrl+C notice).
    void note(const QString& text);

private:
    struct Hub {
        QString stage = QStringLiteral("Waiting");
        QString pending; // plain lines: the log line not yet printed (an append may follow)
        int maximum = 0;
        int value = 0;
        int quarter = 0;
        bool done = false;
    };
    void redraw();
    void flushPending(int hub);
    void printLine(const QString& text);

    std::FILE* m_out;
    bool m_live;
    QMap<int, Hub> m_hubs;
    int m_drawnLines = 0;
    bool m_dirty = false;
    QTimer m_timer;
};

} // namespace cli
