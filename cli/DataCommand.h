#pragma once

// quorvi-hub data: each chosen hub's running data, read as the service page
// reads it, once or every so many seconds (--watch) until Ctrl+C or --count
// readings. Each hub is read on its own thread (HubRun); its rows reach the
// sink one whole line at a time, as readable lines, CSV or JSON lines.

#include "CliOptions.h"
#include "HubReplies.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <functional>
#include <mutex>
#include <vector>

class HubRoster;
class HubSession;

namespace cli {

class HubRun;
struct HubOutcome;

// One reading of one hub: a row of the watch.
struct Reading {
    enum class Status { Ok, NoAnswer, Unplugged, Busy };
    QDateTime time;
    int hub = 0;
    QString identity;
    QString path;
    Status status = Status::Ok;
    hubreply::RunData data; // when Ok
    QString note;           // what the readable line adds: who holds a busy hub
};

// "ok", "no-answer", "unplugged", "hub-busy": the status column.
QString readingStatusName(Reading::Status status);
// The readable line; a watch puts the time in front.
QString readingText(const Reading& reading, bool withTime);
QString csvHeader();
QString csvRow(const Reading& reading);
QJsonObject readingJson(const Reading& reading);

class DataCommand {
public:
    // Gets every line written, ended by its newline; error: for standard error.
    using Sink = std::function<void(const QByteArray& text, bool error)>;

    DataCommand(const Options& options, HubRun& run, Sink sink);
    // Runs to the end; returns the exit status.
    int run();

private:
    void watchHub(HubSession& session, HubRoster& roster, HubOutcome& outcome);
    Reading readOnce(HubSession& session, HubRoster& roster, HubOutcome& outcome);
    void take(const Reading& reading);
    void write(const QString& text, bool error = false);

    Options m_options;
    HubRun& m_run;
    Sink m_sink;
    std::mutex m_mutex;              // the hubs' threads take turns at the sink
    std::vector<Reading> m_readings; // read once: one per hub
};

} // namespace cli
