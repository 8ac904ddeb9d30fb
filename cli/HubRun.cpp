#include "HubRun.h"

#include "AppVersion.h"
#include "EventWait.h"
#include "FirmwareImage.h"
#include "HidControllerClass.h"
#include "HubDevice.h"
#include "HubIdentity.h"
#include "HubRoster.h"
#include "HubSessionSetup.h"
#include "LedCalibrationStore.h"
#include "NativeHidPlatform.h"
#include "ScopeExit.h"
#include "UpdatePlan.h"
#include "VirtualHidBus.h"
#include "VirtualHub.h"

#include <QCoreApplication>
#include <QMetaEnum>
#include <QThread>

#include <algorithm>

namespace cli {

namespace {

constexpr int FirstPassMs = 5000;

QString resultName(HubSession::UpdateResult result) {
    const char* key = QMetaEnum::fromType<HubSession::UpdateResult>().valueToKey(int(result));
    return key ? QString::fromLatin1(key) : QString::number(int(result));
}

// The failure's words into the outcome: where the hub was left and the next
// step, and for an update the same words at the end of its log.
void tell(HubOutcome& out, const UpdateFailure& failure, const QString& levelsNote = QString()) {
    out.failure = failure;
    const UpdateOutcome words = describeFailure(failure, out.mode);
    out.whereLeft = words.whereLeft + levelsNote;
    out.nextStep = words.nextStep;
    out.modeAfter = words.modeLeft;
}

} // namespace

struct HubRun::Target {
    HubOutcome outcome;
    HubIdentity identity;
};

HubRun::HubRun(Options options, QObject* parent) : QObject(parent), m_options(std::move(options)) {
    m_report.command = m_options.command;
    m_report.firmwareVersion = AppFirmwareVersion;
}

HubRun::~HubRun() {
    m_controller.reset();
    // The hubs leave the bus before it goes.
    m_virtualHubs.clear();
}

void HubRun::requestStop(const QString& by) {
    std::lock_guard lock(m_sessionsMutex);
    if (!m_stop.load())
        m_stoppedBy = by;
    m_stop.store(true);
    for (HubSession* session : m_sessions)
        session->requestStop();
}

bool HubRun::loadImage() {
    m_image = std::make_unique<FirmwareImage>();
    if (m_options.imageFile.isEmpty()) {
        m_report.imageSource = QStringLiteral("built-in");
        m_image->loadBuiltIn();
    } else {
        m_report.imageSource = m_options.imageFile;
        QString why;
        const std::optional<QByteArray> text = FirmwareImage::readFile(m_options.imageFile, &why);
        if (!text) {
            m_report.error = QStringLiteral("Cannot read the firmware image %1: %2. Nothing was sent.")
                                 .arg(m_options.imageFile, why);
            m_report.imageVersionKnown = false;
            return false;
        }
        m_image->loadChecked(*text, m_options.imageFile);
    }
    m_report.imageLines = m_image->count();
    m_report.firmwareVersion = m_image->version();
    m_report.imageVersionKnown = m_image->isUsable() || m_image->version() != 0;
    if (!m_image->isUsable()) {
        m_report.error = QStringLiteral("The firmware image %1 is refused: %2 Nothing was sent.")
                             .arg(m_report.imageSource, m_image->problem());
        return false;
    }
    return true;
}

void HubRun::setUpVirtualHubs() {
    m_bus = std::make_unique<VirtualHidBus>();
    for (int i = 1; i <= m_options.virtualHubs; ++i) {
        hubsim::HubSetup setup;
        // Each its own serial number, as real hubs have: the hubs are told apart by it.
        setup.serial = QStringLiteral("VH%1").arg(i, 4, 10, QLatin1Char('0')).toStdString();
        setup.version = m_options.virtualVersion.value_or(setup.version);
        setup.bootloaderEntryMs = setup.rebootMs = virtualRestartMs;
        // What the virtual hub runs once the image is written into it.
        if (m_image && m_image->isUsable())
            setup.imageVersion = m_image->version();
        setup.faults.usbTiming = virtualUsbTiming;
        for (const VirtualFault& fault : m_options.faults)
            if (fault.hub == 0 || fault.hub == i)
                hubsim::applyFault(fault, setup.faults);
        setup.scene = m_options.virtualScene.value_or(setup.scene);
        auto hub = std::make_unique<VirtualHub>(*m_bus);
        hub->apply(setup);
        hub->plug();
        m_virtualHubs.push_back(std::move(hub));
    }
}

std::vector<HubRun::Target> HubRun::discover() {
    std::vector<Target> found;
    THidDeviceController& controller = *m_controller;
    processEventsUntil([&controller] { return controller.FirstPassDone(); }, FirstPassMs);
    std::lock_guard lock(controller.ListLock());
    QList<THidDevice*> hubs;
    for (int i = 0; i < controller.count(); ++i) {
        THidDevice* const device = controller.deviceAt(i);
        if (device->Plugged() && hubdevice::isHub(device))
            hubs << device;
    }
    HubRoster roster{HubRoster::Finder()}; // only to name them
    roster.pick(hubs);                     // notes the twins, which are known by their ports
    for (THidDevice* const device : hubs) {
        Target t;
        t.outcome.path = device->PnPInfo()->InterfacePath;
        t.outcome.instance = device->PnPInfo()->InstanceNumber;
        t.identity = roster.hubIdentity(device);
        if (t.identity.isPort() && HubIdentity::of(device).isSerial())
            t.outcome.note = HubRoster::twinNote(HubIdentity::of(device).value());
        t.outcome.identity = t.identity.key();
        t.outcome.port = HubIdentity::portOf(*device->PnPInfo()).value();
        t.outcome.access = device->ReadWriteAccess();
        if (!t.outcome.access)
            t.outcome.accessHint = hubdevice::accessMessage(device->OpenError());
        if (m_bus) {
            for (std::size_t i = 0; i < m_virtualHubs.size(); ++i) {
                if (m_bus->instanceNumber(m_virtualHubs[i]->deviceId()) == t.outcome.instance)
                    t.outcome.number = int(i) + 1;
            }
        }
        // Followed across its restarts by its identity; node and instance change.
        if (t.identity.isValid())
            found.push_back(std::move(t));
    }
    if (m_bus) {
        std::sort(found.begin(), found.end(),
                  [](const Target& a, const Target& b) { return a.outcome.number < b.outcome.number; });
    } else {
        std::sort(found.begin(), found.end(),
                  [](const Target& a, const Target& b) { return a.outcome.path < b.outcome.path; });
        for (std::size_t i = 0; i < found.size(); ++i)
            found[i].outcome.number = int(i) + 1;
    }
    return found;
}

QString HubRun::stoppedBy() const {
    std::lock_guard lock(m_sessionsMutex);
    return m_stoppedBy;
}

QString HubRun::statePath() const {
    if (stateFile)
        return *stateFile;
    // Virtual hubs live as long as this run: their levels and history are not the user's to keep.
    return m_bus ? QString() : LedCalibrationStore::defaultPath();
}

int HubRun::run() {
    if ((m_options.command == Command::Check || m_options.command == Command::Update) && !loadImage())
        return exitCode(m_report);
    if (m_options.virtualHubs >= 0)
        setUpVirtualHubs();
    // One controller for the run, on this thread: its notified passes and
    // the ones the jobs ask for are shared by every hub's job, instead of
    // each job passing over every device at every change.
    HidPlatform* platform = m_bus.get();
    if (!platform) {
        m_native = createNativeHidPlatform();
        platform = m_native.get();
    }
    m_controller = std::make_unique<THidDeviceController>(nullptr, *platform);
    const ScopeExit released([this] { m_controller.reset(); });

    std::vector<Target> targets = discover();
    if (targets.empty() && m_options.command != Command::List) {
        m_report.error = QStringLiteral("No Charging Hub is plugged in.");
        return exitCode(m_report);
    }

    for (Target& t : targets)
        t.outcome.chosen = true;
    if (!m_options.path.isEmpty()) {
        bool any = false;
        for (Target& t : targets)
            any |= t.outcome.chosen = t.outcome.path == m_options.path;
        if (!any) {
            m_report.error = QStringLiteral("No hub at %1 (see 'quorvi-hub list').").arg(m_options.path);
            for (Target& t : targets) {
                if (m_options.command == Command::Update)
                    m_report.hubs.push_back(t.outcome);
            }
            return exitCode(m_report);
        }
        // list and check report only the hub asked for.
        if (m_options.command != Command::Update)
            std::erase_if(targets, [](const Target& t) { return !t.outcome.chosen; });
    } else if (actsOnChosenHubs(m_options.command) && !m_options.all && targets.size() > 1) {
        m_report.error =
            QStringLiteral("%1 hubs are plugged in: choose one with --path P, or all with --all.")
                .arg(targets.size());
        for (Target& t : targets) {
            t.outcome.chosen = false;
            m_report.hubs.push_back(t.outcome);
        }
        return exitCode(m_report);
    }

    runJobs(targets);
    for (Target& t : targets)
        m_report.hubs.push_back(std::move(t.outcome));
    m_report.interrupted = m_stop.load() && m_options.command == Command::Update;
    return exitCode(m_report);
}

RunReport HubRun::reportSoFar(const std::function<void(HubOutcome&)>& unended) const {
    RunReport report = m_report;
    if (!report.hubs.empty())
        return report; // the run has ended
    report.interrupted = m_options.command == Command::Update;
    std::lock_guard lock(m_soFarMutex);
    for (const auto& [outcome, ended] : m_soFar) {
        report.hubs.push_back(outcome);
        if (!ended)
            unended(report.hubs.back());
    }
    return report;
}

void HubRun::refuseWithoutAccess(HubOutcome& out) {
    out.result = QStringLiteral("NoAccess");
    UpdateFailure noAccess;
    noAccess.kind = UpdateFailure::Kind::NoAccess;
    tell(out, noAccess);
    if (m_options.command == Command::Update)
        out.log << describeFailure(noAccess).text << QStringLiteral("Left: ") + out.whereLeft
                << QStringLiteral("Next: ") + out.nextStep;
}

void HubRun::runJobs(std::vector<Target>& targets) {
    QList<int> numbers;
    std::vector<Target*> jobs;
    for (Target& t : targets) {
        if (!t.outcome.chosen)
            continue;
        if (!t.outcome.access) {
            refuseWithoutAccess(t.outcome);
            continue;
        }
        numbers << t.outcome.number;
        jobs.push_back(&t);
    }
    {
        std::lock_guard lock(m_soFarMutex);
        m_soFar.clear();
        for (const Target& t : targets)
            m_soFar.emplace_back(t.outcome, std::find(jobs.begin(), jobs.end(), &t) == jobs.end());
    }
    emit started(numbers);

    // Handed back through an atomic: the thread sanitizer cannot see what
    // QThread::wait() guarantees.
    std::atomic<int> finished{0};
    std::vector<std::unique_ptr<QThread>> threads;
    for (Target* t : jobs) {
        threads.emplace_back(QThread::create([this, t, &finished] {
            t->outcome = runJob(*t);
            jobEnded(t->outcome);
            const int number = t->outcome.number;
            const QString ending = endingWord(t->outcome, m_options.command);
            // From here on the outcome is the waiting thread's.
            finished.fetch_add(1, std::memory_order_release);
            emit hubFinished(number, ending);
            // Wakes the waiting thread also when nobody listens to the signal.
            QMetaObject::invokeMethod(
                this, [] {}, Qt::QueuedConnection);
        }));
        threads.back()->setObjectName(QStringLiteral("hub %1").arg(t->outcome.number));
        threads.back()->start();
    }
    const int count = int(jobs.size());
    while (!processEventsUntil([&] { return finished.load(std::memory_order_acquire) == count; }, 60000)) {
    }
    for (const auto& thread : threads)
        thread->wait();
    QCoreApplication::sendPostedEvents(this); // the last signals before the report
}

void HubRun::jobEnded(const HubOutcome& out) {
    std::lock_guard lock(m_soFarMutex);
    for (auto& [outcome, ended] : m_soFar) {
        if (outcome.number == out.number) {
            outcome = out;
            ended = true;
        }
    }
}

// What a job follows of its session: whether it programs, and its last line.
struct HubRun::Job {
    HubOutcome& out;
    bool programming = false;
    int lastLine = 0;
};

HubOutcome HubRun::runJob(const Target& target) {
    HubOutcome out = target.outcome;

    HubSession session;
    session.timing = timing;
    session.setDiscardCalibration(m_options.discardCalibration);
    session.setTimeoutForEveryFailedLine(false);
    // Each report goes from the read thread straight into the link, and the
    // waits sleep until it is there: no trip through this thread's event loop.
    session.link().setDelivery(HubConnection::Delivery::OnReadThread);
    HubRoster locator(HubRoster::holding(*m_controller, &session));
    locator.follow(target.identity);
    // The twins, told in the log when they are first seen (also the ones listed).
    locator.onNote = [this, &out](const QString& text) { say(out, text); };
    // Shared with the window: kept levels, one update per hub, the history.
    HubSessionSetup setup(m_controller->platform(), statePath());
    setup.apply(session, locator);
    session.setLockRequired(!m_options.noLock);
    // Ctrl+C reaches the session through this list, from any thread.
    {
        std::lock_guard lock(m_sessionsMutex);
        m_sessions.push_back(&session);
        if (m_stop.load())
            session.requestStop();
    }
    const ScopeExit unlisted([this, &session] {
        std::lock_guard lock(m_sessionsMutex);
        std::erase(m_sessions, &session);
    });
    Job job{out};
    follow(session, job);

    session.attach(locator.refreshHub());
    if (m_hubTask)
        m_hubTask(session, locator, out);
    else if (lookAt(session, out))
        update(session, job,
               target.identity.isValid() && setup.store().load(target.identity.key()).has_value());
    session.detach();
    return out;
}

void HubRun::say(HubOutcome& out, const QString& line) {
    out.log << line;
    emit logLine(out.number, line);
}

void HubRun::failed(HubOutcome& out, const UpdateFailure& failure, const QString& levelsNote) {
    tell(out, failure, levelsNote);
    // An update's failure is said at the end of its log as well.
    if (m_options.command != Command::Update)
        return;
    say(out, describeFailure(failure, out.mode).text);
    say(out, QStringLiteral("Left: ") + out.whereLeft);
    say(out, QStringLiteral("Next: ") + out.nextStep);
}

void HubRun::follow(HubSession& session, Job& job) {
    const int n = job.out.number;
    HubOutcome& out = job.out;
    QObject::connect(&session, &HubSession::logLine, &session,
                     [this, &out](const QString& text) { say(out, text); });
    QObject::connect(&session, &HubSession::logAppend, &session, [this, n, &out](const QString& text) {
        if (out.log.isEmpty())
            out.log << QString();
        out.log.last() += text;
        emit logAppend(n, text);
    });
    QObject::connect(&session, &HubSession::progressRange, &session, [this, n, &job](int maximum) {
        job.lastLine = maximum;
        emit progressRange(n, maximum);
    });
    QObject::connect(&session, &HubSession::progress, &session,
                     [this, n](int value) { emit progress(n, value); });
    QObject::connect(&session, &HubSession::stageChanged, &session, [this, n, &job](HubSession::Stage s) {
        job.programming = s == HubSession::Stage::Programming;
        emit stageText(n, stageWords(s));
    });
    if (!m_options.verbose)
        return;
    QObject::connect(&session.link(), &HubConnection::reportWritten, &session,
                     [this, n](const QByteArray& report) { emit frameTraced(n, true, report); });
    QObject::connect(&session.link(), &HubConnection::reportRead, &session,
                     [this, n](const QByteArray& report) { emit frameTraced(n, false, report); });
    QObject::connect(&session.link(), &HubConnection::replyDropped, &session,
                     [this, n](const QByteArray&, const QString& why) {
                         emit logLine(n, QStringLiteral("Not taken as the answer: %1.").arg(why));
                     });
}

bool HubRun::lookAt(HubSession& session, HubOutcome& out) {
    if (!session.device()) {
        UpdateFailure gone;
        gone.kind = UpdateFailure::Kind::Unplugged;
        out.mode = HubMode::NotAnswering;
        out.result = resultName(HubSession::UpdateResult::NoHub);
        failed(out, gone);
        out.problem = describeFailure(gone).text;
        return false;
    }
    // Another program updates it: not even a mode query may go out.
    if (session.hubTakenElsewhere()) {
        UpdateFailure busy;
        busy.kind = UpdateFailure::Kind::HubBusy;
        out.result = resultName(HubSession::UpdateResult::HubBusy);
        failed(out, busy);
        out.problem = out.log.value(0, describeFailure(busy).text);
        return false;
    }
    out.mode = seenMode(session.QueryHubMode());
    if (out.mode == HubMode::Application)
        out.version = session.readVersion();
    out.modeAfter = out.mode;
    // Check and list tell these in the words the update uses for the same
    // silence; a refusal is a refusal.
    UpdateFailure unanswered;
    unanswered.kind = UpdateFailure::Kind::NoAnswer;
    const bool looking = m_options.command != Command::Update;
    if (looking && out.mode == HubMode::NotAnswering) {
        unanswered.command = CmdGetMode;
        unanswered.result = session.lastModeResult();
        if (unanswered.result > 0)
            unanswered.kind = UpdateFailure::Kind::Refused;
        tell(out, unanswered);
    } else if (looking && out.mode == HubMode::Application && !out.version) {
        unanswered.command = CmdGetVersion;
        tell(out, unanswered);
    }
    return true;
}

void HubRun::update(HubSession& session, Job& job, bool levelsKept) {
    HubOutcome& out = job.out;
    const UpdatePlan plan =
        UpdatePlan::decide({out.mode, out.version, m_report.firmwareVersion, m_options.force, levelsKept});
    out.updateAvailable = plan.updateAvailable;
    if (m_options.command != Command::Update)
        return;
    if (plan.levelsGoBack)
        say(out, UpdatePlan::levelsGoBackNote());
    if (plan.action != UpdatePlan::Action::Update) {
        out.skipped = plan.action == UpdatePlan::Action::SkipUpToDate;
        out.result = out.skipped ? QStringLiteral("UpToDate") : QStringLiteral("NotDowngraded");
        if (!out.skipped)
            failed(out, plan.refusal());
        return;
    }
    UpdateFailure stopped;
    stopped.kind = UpdateFailure::Kind::Stopped;
    stopped.stoppedBy = stoppedBy();
    if (m_stop.load()) {
        out.interrupted = true;
        out.result = QStringLiteral("Interrupted");
        failed(out, stopped);
        return;
    }
    const HubSession::UpdateResult result = session.runUpdate(*m_image);
    out.result = resultName(result);
    out.completed = result == HubSession::UpdateResult::Completed;
    out.calibrationCarried = session.calibrationCarried();
    out.versionAfter = session.versionAfter();
    out.levelsRead = session.levelsRead();
    out.levelsWritten = session.levelsWritten();
    if (out.completed) {
        out.modeAfter = HubMode::Application;
        return;
    }
    const QString levelsNote = session.calibrationHeld()
                                   ? QStringLiteral(" Its LED levels before the update were: %1.")
                                         .arg(ledLevelsText(session.heldLevels()))
                                   : QString();
    if (result != HubSession::UpdateResult::Stopped)
        return failed(out, session.failure(), levelsNote);
    out.interrupted = true;
    out.result = QStringLiteral("Interrupted");
    // The session stops before its first frame or between two lines.
    stopped.stoppedBy = stoppedBy();
    stopped.step = job.programming ? UpdateFailure::Step::Programming : UpdateFailure::Step::Asking;
    stopped.line = session.linesWritten() + 1;
    stopped.lineCount = job.lastLine + 1;
    failed(out, stopped, levelsNote);
}
} // namespace cli
