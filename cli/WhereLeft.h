#pragma once

// Where each hub stands while a run works, kept as ready text so that a
// second Ctrl+C can still say it from inside the signal handler, where
// nothing but write() is safe.

#include <QList>
#include <QMap>
#include <QString>

#include <array>
#include <atomic>
#include <cstddef>

namespace cli {

// One line for a hub left at this point of its job. stage is the session's
// stage in the run's words (stageWords), empty before it started.
QString whereLeftLine(int hub, const QString& stage, int linesWritten, int lineCount, bool finished);

class WhereLeftBoard {
public:
    void start(const QList<int>& hubs);
    void setStage(int hub, const QString& stage);
    void setRange(int hub, int maximum);
    void setProgress(int hub, int value);
    void setFinished(int hub);

    // Async-signal-safe: writes the last published text to the descriptor.
    void writeTo(int fd) const;
    // write() until done; safe in a signal handler.
    static void writeAll(int fd, const char* data, std::size_t length);
    QString text() const;

    struct Hub {
        QString stage;
        int maximum = 0;
        int value = 0; // the line index under way: as many lines written
        bool finished = false;
    };
    Hub hub(int number) const { return m_hubs.value(number); }

private:
    void publish();

    QMap<int, Hub> m_hubs;
    // Two buffers: the handler reads the published one while the next is written.
    static constexpr std::size_t Capacity = 16384;
    std::array<std::array<char, Capacity>, 2> m_buffers{};
    std::array<std::size_t, 2> m_lengths{};
    std::atomic<int> m_published{-1};
};

} // namespace cli
