#pragma once

#include "history/historydata.h"
#include "history/historystorage.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <limits>
#include <memory>
#include <optional>

class QSqlDatabase;
class QSqlError;
class QSqlQuery;

// The readings of every meter in an SQLite database, through QtSql's driver:
// a file beside Settings.conf, or an in-memory database that lives as long as
// the store. Used from one thread only (the connection belongs to the thread
// that opened it).
//
// Schema (see createSchema()):
//   meter(id, topic)                 a meter is known by its MQTT topic
//   reading(meter, t, <8 fields>)    a meter's first reading of each second
//   reading_extra(meter, t, seq, <8 fields>)  any later ones, seq 1, 2, ...
//   minute(meter, t, <8 × min/max/last>)  one row per meter per minute
//   event(t_ms, kind, topic, meter, value, lim)  the event log, in the order
//                                    written (rowid); kept as long as readings
// t is UTC seconds since the epoch (a minute row: the minute's first second).
// The tables are keyed by meter and time WITHOUT ROWID, so a meter's rows lie
// in time order in one b-tree and a range is one contiguous scan, with no
// second index to store. A second holds more than one reading only when the
// clock was set back over it: the readings of both passes are kept, in the
// order they came, and reading_extra is empty otherwise.
//
// Any failure closes the store and leaves its reason in problem(); a file
// found damaged is moved aside first, never deleted.
class HistoryStore final : public HistoryStorage
{
public:
    static constexpr qint64 kDaySeconds = 24 * 60 * 60;
    static constexpr qint64 kMinuteSeconds = 60;
    // What the file keeps: a day at full resolution, `days` in all.
    static HistoryRetention fileRetention(int days);

    HistoryStore();
    ~HistoryStore() override;
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // Opens the file, creating it if need be, or with an empty name a fresh
    // in-memory database.
    bool open(const QString &fileName, const HistoryRetention &retention);
    // From the next retention step on.
    void setRetention(const HistoryRetention &retention) override { m_retention = retention; }
    void close() override;
    bool isOpen() const override;
    bool inMemory() const { return m_fileName.isEmpty(); }
    // The meters that have rows here.
    int meterCount() const { return m_meterOrder.size(); }
    QString fileName() const { return m_fileName; }
    // Whether the file open is still the one at its path: false once it was
    // deleted, moved away or replaced by another (a restored backup, say),
    // when whatever is written goes nowhere the user will look. Always true
    // in memory.
    bool fileInPlace() const;
    bool inPlace() const override { return fileInPlace(); }
    // Readings that retention removed unfolded since the store was made: in
    // memory, those that no longer fitted.
    qint64 removedReadings() const { return m_removedReadings; }
    const HistoryProblem &problem() const override { return m_problem; }

    // Stores the rows in one transaction. A row for a meter and second already
    // stored is kept beside the stored ones, after them, unless it replaces
    // the last of them (HistoryRow::replacesLast).
    bool write(const QVector<HistoryRow> &rows) override;

    // Appends the events, in one transaction.
    bool writeEvents(const QVector<HistoryEvent> &events) override;
    // At most `limit` of the events written last, newest first.
    QVector<HistoryEvent> events(int limit) override;

    // The newest second stored, if any: what retention holds the clock against.
    std::optional<qint64> newestSecond() const override { return m_newest; }

    // One step of retention as of `now` (UTC seconds): folds full-resolution
    // rows of whole minutes into minute rows and removes what is past keeping,
    // touching at most about `budget` rows, in one transaction. Returns true
    // while work is left, so the caller can come back soon.
    bool maintain(qint64 now, int budget) override;

    // The meters with rows, by topic.
    QStringList topics() const { return m_meterIds.keys(); }
    // Removes every row of the meter.
    bool forget(const QString &topic);

    // The rows of a meter between two seconds (both included), oldest first,
    // with the requested fields filled in.
    QVector<StoredRow> rows(const QString &topic, qint64 from, qint64 to,
                            const QVector<HistoryField> &fields = allFields()) override;
    std::optional<qint64> oldestSecond(const QString &topic) override;

    static QVector<HistoryField> allFields();

private:
    // The steps of open(), in their order; each fails the store on its own.
    bool connectDatabase();
    bool layOutNewFile();
    bool useWriteAheadLog();
    bool createSchema();
    bool loadMeters();
    bool prepareStatements();
    bool rememberFile();

    QSqlDatabase database() const;
    bool exec(QSqlQuery &query);
    bool exec(const QString &statement);
    // The file's schema version; one newer than this program's is a failure.
    bool storedVersion(int *version);
    int meterId(const QString &topic, bool create);
    enum Table
    {
        ReadingTable,
        ExtraTable, // readings of seconds already in ReadingTable
        MinuteTable,
        kTableCount
    };
    static QLatin1String tableName(Table table);
    // Writes one reading, into the table it says.
    bool store(int meter, const HistoryRow &row, Table *table);
    // Whether the meter has readings older than the one second or minute rows
    // older than the other.
    bool isDue(int meter, qint64 readingsBefore, qint64 minutesBefore, bool *due);
    int removeOld(int meter, Table table, qint64 before, int limit, bool *more);
    int removeBefore(int meter, Table table, qint64 end);
    int fold(int meter, qint64 before, int limit, bool *more);
    int removeOldEvents(qint64 before, int limit, bool *more);
    void relayOutForVacuum();
    void giveBackFreePages();
    bool fail(const QSqlError &error);
    bool fail(HistoryProblem::Kind kind, const QString &detail);
    void moveAside();

    QString m_connection;
    QString m_fileName;
    HistoryRetention m_retention;
    HistoryProblem m_problem;
    // The retention statements of one table, prepared once.
    struct TableStatements
    {
        std::unique_ptr<QSqlQuery> oldest;
        std::unique_ptr<QSqlQuery> bound;
        std::unique_ptr<QSqlQuery> remove;
    };
    // A meter's oldest second in each table; kNoRows for none.
    struct OldestRows
    {
        qint64 second[kTableCount];
    };
    static constexpr qint64 kNoRows = std::numeric_limits<qint64>::max();

    QHash<QString, int> m_meterIds;
    QVector<int> m_meterOrder; // the ids, ascending: the order of retention's turns
    int m_nextMeter = 0;       // where the next retention step starts, so every meter gets its turn
    std::optional<qint64> m_newest;
    qint64 m_removedReadings = 0;
    // What retention knows of each meter without asking: a meter with
    // nothing due costs a step one lookup. A meter missing is asked again.
    QHash<int, OldestRows> m_oldest;
    bool m_layoutChecked = false;
    // The open file's device and inode, as its path named them when it was opened.
    bool m_identified = false;
    quint64 m_device = 0;
    quint64 m_inode = 0;
    std::unique_ptr<QSqlQuery> m_insertReading;
    std::unique_ptr<QSqlQuery> m_insertExtra;
    std::unique_ptr<QSqlQuery> m_replaceReading;
    std::unique_ptr<QSqlQuery> m_replaceExtra;
    std::unique_ptr<QSqlQuery> m_upsertMinute;
    TableStatements m_tables[kTableCount];
    std::unique_ptr<QSqlQuery> m_foldRows;
    std::unique_ptr<QSqlQuery> m_insertEvent;
};
