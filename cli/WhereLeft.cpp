#include "WhereLeft.h"

#include "HubReport.h"
#include "Interrupt.h"

#include <QStringList>

#include <algorithm>
#include <cstring>

namespace cli {

QString whereLeftLine(int hub, const QString& stage, int linesWritten, int lineCount, bool finished) {
    using S = HubSession::Stage;
    const QString head = QStringLiteral("Hub %1: ").arg(hub);
    if (finished)
        return head + QStringLiteral("its update had ended; see its log.");
    if (stage.isEmpty() || stage == stageWords(S::Started))
        return head + QStringLiteral("nothing was written; it runs its old firmware.");
    if (stage == stageWords(S::EnteringBootloader))
        return head +
               QStringLiteral("on its way into its bootloader, nothing written: run the update again.");
    if (stage == stageWords(S::Programming))
        return head +
               QStringLiteral("in its bootloader with %1 of %2 lines written, its firmware incomplete: "
                              "run the update again.")
                   .arg(linesWritten)
                   .arg(lineCount);
    if (stage == stageWords(S::Rebooting))
        return head + QStringLiteral("every line written, restarting into the new firmware: check it.");
    if (stage == stageWords(S::RestoringLevels))
        return head + QStringLiteral("runs the new firmware, its LED levels only partly written back: run "
                                     "the update again to restore them.");
    return head + stage;
}

void WhereLeftBoard::start(const QList<int>& hubs) {
    m_hubs.clear();
    for (const int hub : hubs)
        m_hubs.insert(hub, Hub{});
    publish();
}

void WhereLeftBoard::setStage(int hub, const QString& stage) {
    m_hubs[hub].stage = stage;
    publish();
}

void WhereLeftBoard::setRange(int hub, int maximum) {
    m_hubs[hub].maximum = maximum;
}

void WhereLeftBoard::setProgress(int hub, int value) {
    Hub& h = m_hubs[hub];
    if (h.value == value)
        return;
    h.value = value;
    publish();
}

void WhereLeftBoard::setFinished(int hub) {
    m_hubs[hub].finished = true;
    publish();
}

QString WhereLeftBoard::text() const {
    QStringList lines;
    for (auto it = m_hubs.cbegin(); it != m_hubs.cend(); ++it) {
        const Hub& h = it.value();
        // Progress counts line indexes: line i under way means i lines written.
        lines << whereLeftLine(it.key(), h.stage, h.value, h.maximum + 1, h.finished);
    }
    return lines.isEmpty() ? QString() : lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void WhereLeftBoard::publish() {
    const int next = m_published.load(std::memory_order_relaxed) == 0 ? 1 : 0;
    const QByteArray bytes = text().toUtf8();
    const std::size_t length = std::min<std::size_t>(std::size_t(bytes.size()), Capacity);
    std::memcpy(m_buffers[std::size_t(next)].data(), bytes.constData(), length);
    m_lengths[std::size_t(next)] = length;
    m_published.store(next, std::memory_order_release);
}

void WhereLeftBoard::writeTo(int fd) const {
    const int which = m_published.load(std::memory_order_acquire);
    if (which < 0)
        return;
    writeAll(fd, m_buffers[std::size_t(which)].data(), m_lengths[std::size_t(which)]);
}

void WhereLeftBoard::writeAll(int fd, const char* data, std::size_t left) {
    while (left > 0) {
        const long long written = writeSome(fd, data, left);
        if (written <= 0)
            return;
        data += written;
        left -= std::size_t(written);
    }
}

} // namespace cli
