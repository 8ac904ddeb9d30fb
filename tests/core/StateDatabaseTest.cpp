// The state database: a write cut off loses nothing else, every program sees
// the others' writes at once, the older files are imported once, the history
// stays bounded and answers its queries.

#include "StateDatabase.h"
#include "LedCalibrationStore.h"
#include "UpdateHistory.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace {

UpdateRecord record(const QString& hub, const QDateTime& time, const QString& text = {}) {
    UpdateRecord r;
    r.time = time;
    r.hub = hub;
    r.program = QStringLiteral("quorvi-hub");
    r.result = QStringLiteral("completed");
    r.resultText = text;
    r.calibration = QStringLiteral("carried");
    return r;
}

QDateTime at(int day, int hour = 12) {
    return QDateTime(QDate(2026, 3, day), QTime(hour, 0), Qt::UTC);
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

class StateDatabaseTest : public ::testing::Test {
protected:
    QTemporaryDir folder;
    QString path = folder.filePath(QStringLiteral("state.sqlite"));
};

} // namespace

// A program killed in the middle of its transaction leaves what was there
// before, and the next append goes in beside it.
TEST_F(StateDatabaseTest, AWriterKilledMidTransactionLosesNothingElse) {
    UpdateHistory history(path);
    ASSERT_TRUE(history.append(record(QStringLiteral("serial:A"), at(1), QStringLiteral("first"))));
    EXPECT_EXIT(
        {
            StateDatabase(path).write([](QSqlDatabase& db, QString& error) {
                UpdateHistory::insert(db, record(QStringLiteral("serial:B"), at(2)), error);
                std::_Exit(3); // the power goes before the commit
                return true;
            });
        },
        ::testing::ExitedWithCode(3), "");
    ASSERT_TRUE(history.append(record(QStringLiteral("serial:C"), at(3), QStringLiteral("third"))))
        << history.lastError().toStdString();
    const HistoryRead read = history.read(HistoryQuery{});
    ASSERT_EQ(read.records.size(), 2);
    EXPECT_EQ(read.records[0].resultText, QStringLiteral("first"));
    EXPECT_EQ(read.records[1].resultText, QStringLiteral("third"));
    EXPECT_EQ(read.unreadable, 0);
}

// No cache in between: a write on one thread is there for the next read of
// another store on another thread, and the other way round.
TEST_F(StateDatabaseTest, TwoWritersSeeEachOthersWritesAtOnce) {
    LedCalibrationStore mine(path);
    const LedCalibrationStore::Levels levels{1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(mine.save(QStringLiteral("serial:A"), levels));
    std::optional<LedCalibrationStore::Levels> seen;
    std::thread([&] {
        LedCalibrationStore theirs(path);
        seen = theirs.load(QStringLiteral("serial:A"));
        theirs.clear(QStringLiteral("serial:A"));
        UpdateHistory(path).append(record(QStringLiteral("serial:A"), at(1)));
    }).join();
    EXPECT_EQ(seen, std::optional(levels));
    EXPECT_FALSE(mine.load(QStringLiteral("serial:A")));
    EXPECT_EQ(UpdateHistory(path).read().size(), 1);
}

// The older files go in once: the kept levels, the rotated history before
// the current one, a line cut off and glued to the next append counted and
// the record after the cut kept; the files are renamed, and a file found
// again after a stop between commit and rename is not taken twice.
TEST_F(StateDatabaseTest, TheOlderFilesAreImportedOnceAndSaySo) {
    writeFile(folder.filePath(QStringLiteral("led-calibration.ini")),
              "[hub-" + QByteArray("serial:A").toHex() +
                  "]\nlevels=9 8 7 6 5 4 3 2\nread=2026-03-01T09:30:00Z\n"
                  "where=" +
                  QByteArray("usb-1").toHex() + "\n\n[hub-" + QByteArray("serial:B").toHex() +
                  "]\nlevels=1 2 3\n");
    const QByteArray older = R"({"hub":"serial:A","result":"Completed","time":"2026-03-01T08:00:00.000Z",)"
                             R"("levelsRead":[1,2,3,4,5,6,7,8],"levelsWritten":[1,2,3,4,5,6,7,8]})"
                             "\n";
    const QByteArray cut = R"({"hub":"serial:B","result":"Timeout","ti)";
    const QByteArray glued = R"({"hub":"serial:C","result":"UpdateFail","time":"2026-03-02T08:00:00.000Z"})";
    writeFile(folder.filePath(QStringLiteral("update-history.jsonl.1")), older);
    writeFile(folder.filePath(QStringLiteral("update-history.jsonl")), cut + glued + "\n" + cut);
    StateDatabase::takeNotes();

    LedCalibrationStore store(path);
    const auto a = store.entry(QStringLiteral("serial:A"));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->levels, (LedCalibrationStore::Levels{9, 8, 7, 6, 5, 4, 3, 2}));
    EXPECT_EQ(a->readAt, QDateTime(QDate(2026, 3, 1), QTime(9, 30), Qt::UTC));
    EXPECT_EQ(a->where, QStringLiteral("usb-1"));
    EXPECT_FALSE(store.load(QStringLiteral("serial:B")));

    const HistoryRead read = UpdateHistory(path).read(HistoryQuery{});
    ASSERT_EQ(read.records.size(), 2);
    EXPECT_EQ(read.records[0].hub, QStringLiteral("serial:A"));
    EXPECT_EQ(read.records[0].result, QStringLiteral("completed"));
    EXPECT_EQ(read.records[0].calibration, QStringLiteral("carried"));
    EXPECT_EQ(read.records[1].hub, QStringLiteral("serial:C"));
    EXPECT_EQ(read.records[1].result, QStringLiteral("unknown"));
    EXPECT_EQ(read.unreadable, 3); // the glued line, the cut last line, the short levels

    const QStringList notes = StateDatabase::takeNotes();
    ASSERT_EQ(notes.size(), 3) << notes.join('\n').toStdString();
    EXPECT_TRUE(notes[0].startsWith(QStringLiteral("Imported 1 kept LED level entries")))
        << notes[0].toStdString();
    EXPECT_TRUE(notes[2].contains(QStringLiteral("2 could not be read"))) << notes[2].toStdString();
    const QStringList left = QDir(folder.path()).entryList(QDir::Files);
    EXPECT_TRUE(left.contains(QStringLiteral("update-history.jsonl.imported")));
    EXPECT_FALSE(left.contains(QStringLiteral("update-history.jsonl")));

    ASSERT_TRUE(QFile::copy(folder.filePath(QStringLiteral("update-history.jsonl.1.imported")),
                            folder.filePath(QStringLiteral("update-history.jsonl.1"))));
    EXPECT_EQ(UpdateHistory(path).read().size(), 2);
    EXPECT_TRUE(StateDatabase::takeNotes().isEmpty());
    EXPECT_FALSE(QFile::exists(folder.filePath(QStringLiteral("update-history.jsonl.1"))));
}

TEST_F(StateDatabaseTest, TheHistoryAnswersByHubSinceAndLast) {
    UpdateHistory history(path);
    history.setMaxRecords(6);
    for (int day = 1; day <= 8; ++day)
        ASSERT_TRUE(
            history.append(record(day % 2 ? QStringLiteral("serial:ODD") : QStringLiteral("port:usb-2"),
                                  at(day), QString::number(day))));
    const auto texts = [&history](const QString& hub, const QDateTime& since = {}, int last = 0) {
        QStringList out;
        for (const UpdateRecord& r : history.read(HistoryQuery{hub, since, last}).records)
            out << r.resultText;
        return out.join(QLatin1Char(' '));
    };
    EXPECT_EQ(texts({}), QStringLiteral("3 4 5 6 7 8")); // the oldest two pruned
    EXPECT_EQ(texts(QStringLiteral("ODD")), QStringLiteral("3 5 7"));
    EXPECT_EQ(texts(QStringLiteral("serial:ODD")), QStringLiteral("3 5 7"));
    EXPECT_EQ(texts(QStringLiteral("usb-2")), QStringLiteral("4 6 8"));
    EXPECT_EQ(texts(QStringLiteral("usb")), QString()); // a key's part is no hub
    EXPECT_EQ(texts({}, at(6)), QStringLiteral("6 7 8"));
    EXPECT_EQ(texts({}, {}, 2), QStringLiteral("7 8"));
    EXPECT_EQ(texts(QStringLiteral("ODD"), at(4), 1), QStringLiteral("7"));

    // A record this program cannot read is counted, not shown.
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("raw"));
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        ASSERT_TRUE(QSqlQuery(db).exec(
            QStringLiteral("UPDATE history SET levels_read = '1 2' WHERE result_text = '8'")));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("raw"));
    const HistoryRead read = history.read(HistoryQuery{});
    EXPECT_EQ(read.records.size(), 5);
    EXPECT_EQ(read.unreadable, 1);
}
