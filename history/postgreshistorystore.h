#pragma once

#include "history/historydata.h"
#include "history/historystorage.h"
#include "history/historystore.h"

#include <QHash>
#include <QSet>
#include <QString>

class QSqlError;

// Where the shared history lives: a PostgreSQL server, the database on it
// and who logs in. sslMode is libpq's (disable, allow, prefer, require,
// verify-ca, verify-full); empty is libpq's default.
struct PostgresConnection
{
    QString host;
    int port = 5432;
    QString database;
    QString user;
    QString password;
    QString sslMode;
};

// The readings of every meter in a PostgreSQL database, through QtSql's
// QPSQL driver: the history a whole plant shares. It does what HistoryStore
// does for a file (write a batch, a step of retention, the rows of a range,
// a chart's thinned ranges), in a schema made for many meters and many
// writers. Used from one thread only (the connection belongs to the thread
// that opened it).
//
// Schema "zelmar" (see createSchema()):
//   schema_version(version)          one row; a newer one than ours is refused
//   meter(id, topic)                 a meter is known by its MQTT topic
//   reading(meter, t, <8 fields>)    one row per meter per second
//   minute(meter, t, <8 × min/max/last>)  one row per meter per minute
//   event(id, t_ms, kind, topic, meter, value, lim)  the event log, in the
//                                    order written (id); kept as long as readings
// t is UTC seconds since the epoch. Both reading tables are partitioned by
// UTC day (reading_YYYYMMDD, minute_YYYYMMDD), each keyed (meter, t), so
// that retention drops whole days instead of deleting rows: a day of
// readings is folded into minute rows once all of it is older than the full
// resolution (so a day keeps every second for 24 to 48 hours) and dropped,
// and a day of minutes is dropped once all of it is older than the days
// kept. Writers never wait for retention's drops for long (lock_timeout).
//
// Two programs may write the same meter: a row for a meter and second that
// is already stored stays as it is (ON CONFLICT DO NOTHING), so neither
// fails and no second is stored twice. So does a second stored before the
// clock was set back over it, which the file keeps beside it. A batch is one
// transaction of multi-row INSERTs.
//
// Any failure closes the connection and leaves its reason in problem().
class PostgresHistoryStore final : public HistoryStorage
{
public:
    // 2: the event log.
    static constexpr int kSchemaVersion = 2;
    // A server that does not answer fails an open after this long.
    static constexpr int kConnectTimeoutSeconds = 5;
    // Sent data unacknowledged this long (a cut network) fails the statement.
    static constexpr int kTcpUserTimeoutMs = 15000;

    PostgresHistoryStore();
    ~PostgresHistoryStore() override;
    PostgresHistoryStore(const PostgresHistoryStore &) = delete;
    PostgresHistoryStore &operator=(const PostgresHistoryStore &) = delete;

    // Connects, checks the schema's version and creates the schema when the
    // database has none.
    bool open(const PostgresConnection &connection, const HistoryRetention &retention);
    void setRetention(const HistoryRetention &retention) override { m_retention = retention; }
    void close() override;
    bool isOpen() const override { return !m_connection.isEmpty(); }
    const HistoryProblem &problem() const override { return m_problem; }
    // "user@host:port/database", for messages: never the password.
    static QString describe(const PostgresConnection &connection);

    // Stores the rows in one transaction. A meter's second already stored
    // keeps its row (another program's, or an earlier pass of the clock),
    // unless the row replaces this program's own (HistoryRow::replacesLast).
    bool write(const QVector<HistoryRow> &rows) override;
    // The newest second this program wrote: the others' are not asked for,
    // which would take a scan of a day.
    std::optional<qint64> newestSecond() const override { return m_newest; }

    // One step of retention as of `now` (UTC seconds), or of the server's
    // clock if that is behind: makes the day partitions of today and
    // tomorrow, folds the readings of about `budget` rows' worth of meters of
    // the oldest day due, drops days folded or past keeping. Only one of the
    // programs sharing the database does it at a time. Returns true while
    // work is left, so the caller can come back soon.
    bool maintain(qint64 now, int budget) override;

    QVector<StoredRow> rows(const QString &topic, qint64 from, qint64 to,
                            const QVector<HistoryField> &fields = HistoryStore::allFields()) override;
    bool writeEvents(const QVector<HistoryEvent> &events) override;
    QVector<HistoryEvent> events(int limit) override;
    std::optional<qint64> oldestSecond(const QString &topic) override;

private:
    enum Table
    {
        ReadingTable,
        MinuteTable
    };
    QSqlDatabase database() const;
    bool exec(const QString &statement);
    bool exec(QSqlQuery &query);
    bool createSchema();
    // Within createSchema()'s transaction.
    bool createEventTable();
    // Makes the day partition of `day` (UTC days since the epoch) if it is not there yet.
    bool ensurePartition(Table table, qint64 day);
    // The day partitions there are, by table, from the catalogue.
    bool loadPartitions();
    int meterId(const QString &topic, bool create);
    // Makes the meters of the rows that are not yet known, in one
    // transaction of multi-row statements, and learns every meter's id.
    bool knowMeters(const QVector<HistoryRow> &rows);
    // Folds the readings of one meter of a day into minute rows; how many, or -1.
    int foldMeter(qint64 day, int meter);
    bool fail(const QSqlError &error);
    bool fail(HistoryProblem::Kind kind, const QString &detail);

    QString m_connection;
    QString m_target; // describe() of the connection
    HistoryRetention m_retention;
    HistoryProblem m_problem;
    std::optional<qint64> m_newest;
    QHash<QString, int> m_meterIds;
    QSet<qint64> m_partitions[2];
    // Where folding of a day goes on: the next meter id to fold.
    qint64 m_foldDay = 0;
    int m_foldMeter = 0;
};
