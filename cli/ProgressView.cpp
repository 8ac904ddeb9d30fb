#include "ProgressView.h"

#include "HubRun.h"

namespace cli {

namespace {
constexpr int BarWidth = 30;
constexpr int RedrawMs = 100;
} // namespace

ProgressView::ProgressView(HubRun& run, std::FILE* out, bool live, QObject* parent)
    : QObject(parent), m_out(out), m_live(live) {
    connect(&run, &HubRun::started, this, [this](const QList<int>& hubs) {
        for (const int hub : hubs)
            m_hubs.insert(hub, Hub{});
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
        if (m_live || h.maximum <= 0)
            return;
        const int quarter = 4 * value / h.maximum;
        if (quarter > h.quarter && quarter < 4) {
            h.quarter = quarter;
            flushPending(hub);
            printLine(QStringLiteral("Hub %1: %2%").arg(hub).arg(25 * quarter));
        }
    });
    connect(&run, &HubRun::stageText, this, [this](int hub, const QString& text) {
        m_hubs[hub].stage = text;
        m_dirty = true;
    });
    connect(&run, &HubRun::logLine, this, [this](int hub, const QString& text) {
        if (m_live)
            return;
        flushPending(hub);
        m_hubs[hub].pending = text;
    });
    connect(&run, &HubRun::logAppend, this, [this](int hub, const QString& text) {
        if (!m_live)
            m_hubs[hub].pending += text;
    });
    connect(&run, &HubRun::hubFinished, this, [this](int hub) {
        Hub& h = m_hubs[hub];
        h.done = true;
        if (h.stage != QLatin1String("Waiting"))
            h.stage += QStringLiteral(", done");
        flushPending(hub);
        m_dirty = true;
    });
    if (m_live) {
        m_timer.setInterval(RedrawMs);
        connect(&m_timer, &QTimer::timeout, this, &ProgressView::redraw);
        m_timer.start();
    }
}

void ProgressView::flushPending(int hub) {
    Hub& h = m_hubs[hub];
    if (h.pending.isEmpty())
        return;
    printLine(QStringLiteral("Hub %1: %2").arg(hub).arg(h.pending));
    h.pending.clear();
}

void ProgressView::printLine(const QString& text) {
    std::fputs(qPrintable(text + QLatin1Char('\n')), m_out);
    std::fflush(m_out);
}

void ProgressView::note(const QString& text) {
    if (m_live && m_drawnLines > 0) {
        // Under the bars; they are drawn anew below it.
        printLine(text);
        m_drawnLines = 0;
        m_dirty = true;
        redraw();
        return;
    }
    printLine(text);
}

void ProgressView::redraw() {
    if (!m_live || !m_dirty || m_hubs.isEmpty())
        return;
    m_dirty = false;
    QString text;
    if (m_drawnLines > 0)
        text += QStringLiteral("\x1b[%1A").arg(m_drawnLines);
    for (auto it = m_hubs.cbegin(); it != m_hubs.cend(); ++it) {
        const Hub& h = it.value();
        const int filled = h.maximum > 0 ? BarWidth * h.value / h.maximum : 0;
        const int percent = h.maximum > 0 ? 100 * h.value / h.maximum : 0;
        text += QStringLiteral("\r\x1b[2KHub %1 [%2%3] %4% %5\n")
                    .arg(it.key(), 2)
                    .arg(QString(filled, QLatin1Char('#')), QString(BarWidth - filled, QLatin1Char('-')))
                    .arg(percent, 3)
                    .arg(h.stage);
    }
    m_drawnLines = int(m_hubs.size());
    std::fputs(qPrintable(text), m_out);
    std::fflush(m_out);
}

void ProgressView::finish() {
    m_dirty = true;
    redraw();
    m_timer.stop();
    for (auto it = m_hubs.begin(); it != m_hubs.end(); ++it)
        flushPending(it.key());
}

} // namespace cli
