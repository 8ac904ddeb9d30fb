#include "DataCommand.h"

#include "EventWait.h"
#include "HidControllerClass.h"
#include "HubReport.h"
#include "HubRoster.h"
#include "HubRun.h"
#include "HubSession.h"
#include "SafeText.h"
#include "ServiceLock.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>

namespace cli {

namespace {

constexpr int Slots = 4;
// How often a wait between readings looks whether it is to stop.
constexpr int StopLookMs = 100;

bool batteryPresent(const hubreply::RunData& data, int slot) {
    return (data.batteries >> (4 + slot)) & 1;
}

QString timeText(const QDateTime& time) {
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

// A CSV field: quoted when it holds a separator, a quote or a line end.
QString csvField(const QString& text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString hubPath(const THidDevice* device) {
    return device && device->PnPInfo() ? device->PnPInfo()->InterfacePath : QString();
}

} // namespace

QString readingStatusName(Reading::Status status) {
    switch (status) {
    case Reading::Status::Ok:
        return QStringLiteral("ok");
    case Reading::Status::NoAnswer:
        return QStringLiteral("no-answer");
    case Reading::Status::Unplugged:
        return QStringLiteral("unplugged");
    case Reading::Status::Busy:
        return QStringLiteral("hub-busy");
    }
    return QString();
}

QString readingText(const Reading& r, bool withTime) {
    QString text = withTime ? timeText(r.time) + QLatin1Char(' ') : QString();
    text += QStringLiteral("Hub %1").arg(r.hub);
    if (!withTime)
        text += QStringLiteral(" (%1)").arg(r.path);
    text += QStringLiteral(": ");
    switch (r.status) {
    case Reading::Status::Ok: {
        const hubreply::RunData& d = r.data;
        QStringList batteries;
        for (int i = 0; i < Slots; ++i)
            batteries << QStringLiteral("%1 %2").arg(i + 1).arg(
                batteryPresent(d, i) ? QStringLiteral("present") : QStringLiteral("empty"));
        return text + QStringLiteral("%1 mV, %2 mA, channel %3, state %4, values %5 %6 %7, batteries %8")
                          .arg(d.voltage)
                          .arg(d.current)
                          .arg(d.channel)
                          .arg(d.state)
                          .arg(d.cycles[0])
                          .arg(d.cycles[1])
                          .arg(d.cycles[2])
                          .arg(batteries.join(QStringLiteral(", ")));
    }
    case Reading::Status::NoAnswer:
        return text + QStringLiteral("no answer");
    case Reading::Status::Unplugged:
        return text + QStringLiteral("unplugged, waiting for %1 to come back").arg(r.identity);
    case Reading::Status::Busy:
        return text + r.note + QStringLiteral("; this reading is skipped.");
    }
    return text;
}

QString csvHeader() {
    return QStringLiteral(
        "time,hub,identity,path,status,voltage_mV,current_mA,channel,state,value1,value2,value3,"
        "battery1,battery2,battery3,battery4");
}

QString csvRow(const Reading& r) {
    QStringList cells{timeText(r.time), QString::number(r.hub), csvField(r.identity), csvField(r.path),
                      readingStatusName(r.status)};
    if (r.status == Reading::Status::Ok) {
        const hubreply::RunData& d = r.data;
        cells << QString::number(d.voltage) << QString::number(d.current) << QString::number(d.channel)
              << QString::number(d.state);
        for (const int value : d.cycles)
            cells << QString::number(value);
        for (int i = 0; i < Slots; ++i)
            cells << QString::number(batteryPresent(d, i) ? 1 : 0);
    } else {
        // The same number of columns, empty: a spreadsheet keeps its columns.
        for (int i = 0; i < 11; ++i)
            cells << QString();
    }
    return cells.join(QLatin1Char(','));
}

QJsonObject readingJson(const Reading& r) {
    QJsonObject o;
    o[QStringLiteral("time")] = r.time.toUTC().toString(Qt::ISODateWithMs);
    o[QStringLiteral("hub")] = r.hub;
    o[QStringLiteral("identity")] = r.identity;
    o[QStringLiteral("path")] = r.path;
    o[QStringLiteral("status")] = readingStatusName(r.status);
    if (r.status != Reading::Status::Ok) {
        o[QStringLiteral("data")] = QJsonValue(QJsonValue::Null);
        return o;
    }
    const hubreply::RunData& d = r.data;
    QJsonObject data;
    data[QStringLiteral("voltage")] = d.voltage;
    data[QStringLiteral("current")] = d.current;
    data[QStringLiteral("channel")] = d.channel;
    data[QStringLiteral("state")] = d.state;
    data[QStringLiteral("values")] = QJsonArray{d.cycles[0], d.cycles[1], d.cycles[2]};
    QJsonArray batteries;
    for (int i = 0; i < Slots; ++i)
        batteries.append(batteryPresent(d, i));
    data[QStringLiteral("batteries")] = batteries;
    o[QStringLiteral("data")] = data;
    return o;
}

DataCommand::DataCommand(const Options& options, HubRun& run, Sink sink)
    : m_options(options), m_run(run), m_sink(std::move(sink)) {
    m_run.setHubTask([this](HubSession& session, HubRoster& roster, HubOutcome& outcome) {
        watchHub(session, roster, outcome);
    });
}

void DataCommand::write(const QString& text, bool error) {
    m_sink(safeText(text).toUtf8() + '\n', error);
}

int DataCommand::run() {
    const bool watch = m_options.watchSeconds > 0;
    if (m_options.csv)
        write(csvHeader());
    const int status = m_run.run();
    const RunReport& report = m_run.report();
    // Read once: the rows in the order of the hubs, as the other commands list them.
    if (!watch) {
        std::stable_sort(m_readings.begin(), m_readings.end(),
                         [](const Reading& a, const Reading& b) { return a.hub < b.hub; });
        if (m_options.json) {
            QJsonArray hubs;
            for (const Reading& r : m_readings)
                hubs.append(readingJson(r));
            QJsonObject root;
            root[QStringLiteral("schemaVersion")] = JsonSchemaVersion;
            root[QStringLiteral("command")] = QStringLiteral("data");
            root[QStringLiteral("hubs")] = hubs;
            if (!report.error.isEmpty())
                root[QStringLiteral("error")] = report.error;
            root[QStringLiteral("exitCode")] = status;
            m_sink(QJsonDocument(root).toJson(QJsonDocument::Indented), false);
        } else {
            for (const Reading& r : m_readings) {
                const bool ok = r.status == Reading::Status::Ok;
                write(m_options.csv ? csvRow(r) : readingText(r, false), !ok && !m_options.csv);
            }
        }
    }
    if (!report.error.isEmpty())
        write(report.error, true);
    for (const HubOutcome& hub : report.hubs) {
        if (hub.chosen && !hub.access)
            write(QStringLiteral("Hub %1 (%2): %3").arg(hub.number).arg(hub.path, hub.accessHint), true);
    }
    return status;
}

void DataCommand::take(const Reading& reading) {
    std::lock_guard lock(m_mutex);
    if (m_options.watchSeconds <= 0) {
        m_readings.push_back(reading); // written at the end, in the order of the hubs
        return;
    }
    // A watch may run for days: its rows are written, not kept.
    if (m_options.json)
        m_sink(QJsonDocument(readingJson(reading)).toJson(QJsonDocument::Compact) + '\n', false);
    else
        write(m_options.csv ? csvRow(reading) : readingText(reading, true));
}

Reading DataCommand::readOnce(HubSession& session, HubRoster& roster, HubOutcome& outcome) {
    Reading r;
    r.hub = outcome.number;
    r.identity = outcome.identity;
    r.path = outcome.path;
    const auto follow = [&] {
        // A pass finds the hub again, under a new node when it was plugged in again.
        THidDevice* const device = roster.refreshHub();
        if (device != session.device())
            session.attach(device);
        return device;
    };
    if (!session.device() && !follow()) {
        r.time = QDateTime::currentDateTimeUtc();
        r.status = Reading::Status::Unplugged;
        return r;
    }
    const ServiceLock held = lockHub(session.updateLockFolder(), roster.followed());
    r.time = QDateTime::currentDateTimeUtc();
    if (held.busy) {
        r.status = Reading::Status::Busy;
        r.note = held.busyText;
        return r;
    }
    // Told apart by what they are, not where: the old object may be gone.
    const auto where = [](const THidDevice* device) {
        return qMakePair(device->PnPInfo()->InstanceNumber, device->PnPInfo()->InterfacePath);
    };
    const auto asked = where(session.device());
    std::optional<hubreply::RunData> data = session.readRunData();
    // No answer: the hub may have left, or come back as a new device; that one is asked once more.
    if (!data) {
        const THidDevice* const now = follow();
        if (!now)
            r.status = Reading::Status::Unplugged;
        else if (where(now) != asked)
            data = session.readRunData();
    }
    r.path = hubPath(session.device());
    if (r.path.isEmpty())
        r.path = outcome.path;
    if (data)
        r.data = *data;
    else if (r.status == Reading::Status::Ok)
        r.status = Reading::Status::NoAnswer;
    return r;
}

void DataCommand::watchHub(HubSession& session, HubRoster& roster, HubOutcome& outcome) {
    const bool watch = m_options.watchSeconds > 0;
    const qint64 intervalMs = qRound64(m_options.watchSeconds * 1000);
    QElapsedTimer clock;
    clock.start();
    int answered = 0;
    Reading last;
    bool away = false;
    for (int k = 0;; ++k) {
        const Reading r = readOnce(session, roster, outcome);
        if (r.status == Reading::Status::Unplugged) {
            away = true;
        } else if (r.path != outcome.path || (away && watch)) {
            // Back, maybe at another node: said once, then its rows go on.
            if (watch) {
                // Beside the rows, not among them, when they are CSV or JSON.
                std::lock_guard lock(m_mutex);
                write(QStringLiteral("Hub %1 is plugged in again as %2 (%3).")
                          .arg(r.hub)
                          .arg(r.identity, r.path),
                      m_options.csv || m_options.json);
            }
            outcome.path = r.path;
            away = false;
        }
        answered += r.status == Reading::Status::Ok ? 1 : 0;
        last = r;
        take(r);
        if (!watch || session.stopRequested() || (m_options.count > 0 && k + 1 >= m_options.count))
            break;
        // Readings keep their pace: each is due at its multiple of the interval.
        const qint64 due = (k + 1) * intervalMs;
        while (!session.stopRequested() && clock.elapsed() < due)
            processEventsUntil([&session] { return session.stopRequested(); },
                               int(std::min<qint64>(StopLookMs, due - clock.elapsed())));
        if (session.stopRequested())
            break;
    }
    // The command failed for this hub when it never told its data.
    outcome.failure = UpdateFailure();
    if (answered > 0)
        return;
    if (last.status == Reading::Status::Busy) {
        outcome.failure.kind = UpdateFailure::Kind::HubBusy;
        outcome.problem = last.note;
    } else if (last.status == Reading::Status::Unplugged) {
        outcome.problem = QStringLiteral("unplugged");
    } else {
        outcome.problem = QStringLiteral("no answer");
    }
}

} // namespace cli
