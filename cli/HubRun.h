#pragma once

// One run of the command: finds the hubs, then asks or updates each one on a
// thread of its own, so that every hub waits only for its own replies, and
// gathers what they did into a RunReport. Progress and log lines come back to
// the calling thread as signals.

#include "CliOptions.h"
#include "HubReport.h"
#include "HubSession.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class HidPlatform;
class HubRoster;
class THidDevice;
class THidDeviceController;
class VirtualHidBus;
class VirtualHub;

namespace cli {

class HubRun : public QObject {
    Q_OBJECT
public:
    explicit HubRun(Options options, QObject* parent = nullptr);
    ~HubRun() override;

    // Applied to every hub's session.
    HubSession::Timing timing;
    // The virtual hubs: about 1 ms per report each way, and their restart time.
    bool virtualUsbTiming = true;
    int virtualRestartMs = 300;
    // The state file whose folder holds the kept LED levels, the update locks
    // and the history: by default the user's for real hubs, none for virtual
    // ones. Empty: nothing is kept, locked or recorded.
    std::optional<QString> stateFile;
    QString statePath() const;

    // Runs to the end on the calling thread's event loop; returns the exit status.
    int run();
    // Ctrl+C: each hub finishes its running line, then stops. Any thread.
    // by: what asked for it, as the report names it ("Ctrl+C", "SIGTERM").
    void requestStop(const QString& by = QStringLiteral("Ctrl+C"));
    // What asked for the first stop; empty while none was asked for.
    QString stoppedBy() const;

    // data and levels: what is done with each chosen hub, on its thread, once
    // its session is attached (device() is null when it left meanwhile).
    using HubTask = std::function<void(HubSession& session, HubRoster& roster, HubOutcome& outcome)>;
    void setHubTask(HubTask task) { m_hubTask = std::move(task); }

    const RunReport& report() const { return m_report; }
    // For a run stopped at once, on the calling thread while run() works: the
    // report as it stands, each hub whose job has ended with its outcome, the
    // others as found and given to unended to tell.
    RunReport reportSoFar(const std::function<void(HubOutcome&)>& unended) const;
    // The virtual hubs of this run, in the order numbered (tests look inside).
    const std::vector<std::unique_ptr<VirtualHub>>& virtualHubs() const { return m_virtualHubs; }
    VirtualHidBus* virtualBus() const { return m_bus.get(); }

signals:
    // Before any job starts: the hubs the command acts on (numbers from 1).
    void started(const QList<int>& hubs);
    void progressRange(int hub, int maximum);
    void progress(int hub, int value);
    void stageText(int hub, const QString& text);
    void logLine(int hub, const QString& text);
    void logAppend(int hub, const QString& text);
    // ending: "done", "FAILED" or "stopped" (see endingWord).
    void hubFinished(int hub, const QString& ending);
    // With --verbose: each report written to (sent) or read from a hub.
    void frameTraced(int hub, bool sent, const QByteArray& report);

private:
    struct Target;
    bool loadImage();
    void setUpVirtualHubs();
    std::vector<Target> discover();
    void runJobs(std::vector<Target>& targets);
    // A hub this user may not open: told as a failure without a frame sent.
    void refuseWithoutAccess(HubOutcome& out);
    // The ended job's outcome, for a report asked for while others still run.
    void jobEnded(const HubOutcome& out);
    struct Job;
    HubOutcome runJob(const Target& target);
    // A line of the hub's log, also told as it happens.
    void say(HubOutcome& out, const QString& line);
    // The failure's words into the outcome, and for an update at the end of its log.
    void failed(HubOutcome& out, const UpdateFailure& failure, const QString& levelsNote = QString());
    // The session's signals into the job and this run's signals.
    void follow(HubSession& session, Job& job);
    // Mode and version, as check, list and update first ask them; false
    // when the hub cannot be asked.
    bool lookAt(HubSession& session, HubOutcome& out);
    // What the plan says for this hub, and for an update the update itself.
    void update(HubSession& session, Job& job, bool levelsKept);

    Options m_options;
    RunReport m_report;
    std::atomic<bool> m_stop{false};
    // The sessions running now, each on its job's thread.
    mutable std::mutex m_sessionsMutex;
    std::vector<HubSession*> m_sessions;
    QString m_stoppedBy;
    // Every hub found, with its outcome once its job has ended (second: ended).
    mutable std::mutex m_soFarMutex;
    std::vector<std::pair<HubOutcome, bool>> m_soFar;
    std::unique_ptr<class FirmwareImage> m_image;
    std::unique_ptr<VirtualHidBus> m_bus;
    std::unique_ptr<HidPlatform> m_native;
    // Shared by the jobs' threads, each holding its own hub checked out.
    std::unique_ptr<THidDeviceController> m_controller;
    std::vector<std::unique_ptr<VirtualHub>> m_virtualHubs;
    HubTask m_hubTask;
};

} // namespace cli
