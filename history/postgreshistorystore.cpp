#include "history/postgreshistorystore.h"

#include "history/storedrows.h"

#include <QAtomicInt>
#include <QDate>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include <algorithm>

namespace {

constexpr qint64 kDaySeconds = HistoryStore::kDaySeconds;

// Advisory locks of the programs sharing the database: one makes the schema
// or a partition at a time, one runs retention at a time.
constexpr qint64 kSchemaLock = 0x7a656c6d61720001;
constexpr qint64 kPartitionLock = 0x7a656c6d61720002;
constexpr qint64 kRetentionLock = 0x7a656c6d61720003;

// Rows per INSERT statement of a batch: short enough for the server to
// parse at ease, long enough that a batch of ten thousand meters is a few
// statements.
constexpr int kRowsPerStatement = 1000;

// A drop waits no longer than this for the writers and readers of the table
// before it gives up until the next step: meanwhile it holds them up.
const QString kDropLockTimeout = QStringLiteral("100ms");

// PostgreSQL's SQLSTATE of a lock not had within lock_timeout.
const QString kLockNotAvailable = QStringLiteral("55P03");

QAtomicInt connectionCounter;

const QLatin1String kTableNames[] = {QLatin1String("reading"), QLatin1String("minute")};

qint64 dayOf(qint64 second)
{
    return second >= 0 ? second / kDaySeconds : -((-second + kDaySeconds - 1) / kDaySeconds);
}

QString partitionName(int table, qint64 day)
{
    const QDate date = QDate(1970, 1, 1).addDays(day);
    return kTableNames[table] + QLatin1Char('_') + date.toString(QStringLiteral("yyyyMMdd"));
}

// A connection option's value as libpq reads it: quoted, with its quotes and
// backslashes escaped.
QString quoted(const QString &value)
{
    QString escaped = value;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + escaped + QLatin1Char('\'');
}

} // namespace

PostgresHistoryStore::PostgresHistoryStore() = default;

PostgresHistoryStore::~PostgresHistoryStore()
{
    close();
}

QString PostgresHistoryStore::describe(const PostgresConnection &connection)
{
    return QStringLiteral("%1@%2:%3/%4")
        .arg(connection.user, connection.host)
        .arg(connection.port)
        .arg(connection.database);
}

QSqlDatabase PostgresHistoryStore::database() const
{
    return QSqlDatabase::database(m_connection, false);
}

bool PostgresHistoryStore::open(const PostgresConnection &connection, const HistoryRetention &retention)
{
    close();
    m_problem = {};
    m_retention = retention;
    m_target = describe(connection);
    m_connection = QStringLiteral("zelmar-postgres-%1").arg(connectionCounter.fetchAndAddRelaxed(1));
    QSqlError openError;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connection);
        db.setHostName(connection.host);
        db.setPort(connection.port);
        db.setDatabaseName(connection.database);
        db.setUserName(connection.user);
        db.setPassword(connection.password);
        // A server that does not answer, or a network cut under a statement,
        // fails within seconds rather than hold the writer for the minutes
        // TCP would wait.
        QStringList options{QStringLiteral("connect_timeout=%1").arg(kConnectTimeoutSeconds),
                            QStringLiteral("tcp_user_timeout=%1").arg(kTcpUserTimeoutMs),
                            QStringLiteral("keepalives_idle=30"), QStringLiteral("keepalives_interval=10"),
                            QStringLiteral("keepalives_count=3"), QStringLiteral("application_name=zelmar-history"),
                            // The server's notices ("already exists, skipping") are nobody's business.
                            QStringLiteral("options=") + quoted(QStringLiteral("-c client_min_messages=warning"))};
        if (!connection.sslMode.isEmpty())
            options << QStringLiteral("sslmode=") + quoted(connection.sslMode);
        db.setConnectOptions(options.join(QLatin1Char(';')));
        if (!db.open())
            openError = db.lastError();
    }
    if (openError.isValid())
        return fail(openError);
    return createSchema() && loadPartitions();
}

void PostgresHistoryStore::close()
{
    if (!isOpen())
        return;
    {
        QSqlDatabase db = database();
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
    m_connection.clear();
    m_meterIds.clear();
    for (QSet<qint64> &partitions : m_partitions)
        partitions.clear();
    m_foldDay = 0;
    m_foldMeter = 0;
}

bool PostgresHistoryStore::exec(const QString &statement)
{
    QSqlQuery query(database());
    return query.exec(statement) || fail(query.lastError());
}

bool PostgresHistoryStore::exec(QSqlQuery &query)
{
    return query.exec() || fail(query.lastError());
}

bool PostgresHistoryStore::createSchema()
{
    // Two programs starting on an empty database at once: the second waits,
    // then finds the schema made.
    if (!exec(QStringLiteral("BEGIN")) || !exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kSchemaLock)))
        return false;
    QSqlQuery version(database());
    if (!version.exec(QStringLiteral("SELECT to_regclass('zelmar.schema_version') IS NOT NULL")) || !version.next())
        return fail(version.lastError());
    if (version.value(0).toBool()) {
        if (!version.exec(QStringLiteral("SELECT max(version) FROM zelmar.schema_version")) || !version.next())
            return fail(version.lastError());
        const int stored = version.value(0).toInt();
        if (stored > kSchemaVersion)
            return fail(HistoryProblem::NewerFormat,
                        QStringLiteral("the database %1 holds history schema version %2, made by a newer program; "
                                       "this one knows version %3 and leaves it alone")
                            .arg(m_target)
                            .arg(stored)
                            .arg(kSchemaVersion));
        if (stored < 2 && !createEventTable())
            return false;
        return exec(QStringLiteral("COMMIT"));
    }

    QStringList readingColumns;
    QStringList minuteColumnDefs;
    for (HistoryField field : HistoryStore::allFields()) {
        const QString key = historyFieldKey(field);
        readingColumns.append(key + QLatin1String(" integer NOT NULL"));
        for (const char *suffix : {"_min", "_max", "_last"})
            minuteColumnDefs.append(key + QLatin1String(suffix) + QLatin1String(" integer NOT NULL"));
    }
    const QStringList statements = {
        QStringLiteral("CREATE SCHEMA IF NOT EXISTS zelmar"),
        QStringLiteral("CREATE TABLE zelmar.schema_version(version integer NOT NULL)"),
        QStringLiteral("INSERT INTO zelmar.schema_version VALUES(%1)").arg(kSchemaVersion),
        QStringLiteral("CREATE TABLE zelmar.meter(id integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, "
                       "topic text NOT NULL UNIQUE)"),
        QStringLiteral("CREATE TABLE zelmar.reading(meter integer NOT NULL, t bigint NOT NULL, %1, "
                       "PRIMARY KEY(meter, t)) PARTITION BY RANGE (t)")
            .arg(readingColumns.join(QStringLiteral(", "))),
        QStringLiteral("CREATE TABLE zelmar.minute(meter integer NOT NULL, t bigint NOT NULL, %1, "
                       "PRIMARY KEY(meter, t)) PARTITION BY RANGE (t)")
            .arg(minuteColumnDefs.join(QStringLiteral(", "))),
    };
    for (const QString &statement : statements) {
        if (!exec(statement))
            return false;
    }
    return createEventTable() && exec(QStringLiteral("COMMIT"));
}

bool PostgresHistoryStore::createEventTable()
{
    // Version 2 added the event log. Its id is the order the events were
    // written in, which is the order the log shows them whatever the clocks
    // of the programs writing it did; the index on the time serves retention.
    const QStringList statements = {
        QStringLiteral("CREATE TABLE zelmar.event(id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY, "
                       "t_ms bigint NOT NULL, kind integer NOT NULL, topic text NOT NULL, meter text NOT NULL, "
                       "value integer NOT NULL, lim integer NOT NULL)"),
        QStringLiteral("CREATE INDEX event_time ON zelmar.event(t_ms)"),
        QStringLiteral("UPDATE zelmar.schema_version SET version = %1").arg(kSchemaVersion),
    };
    for (const QString &statement : statements) {
        if (!exec(statement))
            return false;
    }
    return true;
}

bool PostgresHistoryStore::writeEvents(const QVector<HistoryEvent> &events)
{
    if (!isOpen())
        return false;
    if (events.isEmpty())
        return true;
    // Events are few: one statement of bound values, one transaction.
    QStringList values;
    for (int i = 0; i < events.size(); ++i)
        values << QStringLiteral("(?,?,?,?,?,?)");
    QSqlQuery insert(database());
    if (!insert.prepare(QStringLiteral("INSERT INTO zelmar.event(t_ms,kind,topic,meter,value,lim) VALUES ") +
                        values.join(QLatin1Char(','))))
        return fail(insert.lastError());
    for (const HistoryEvent &event : events) {
        insert.addBindValue(event.timeMs);
        insert.addBindValue(event.kind);
        // NOT NULL columns: a null QString would bind as NULL.
        insert.addBindValue(event.topic.isNull() ? QString(QLatin1String("")) : event.topic);
        insert.addBindValue(event.meter.isNull() ? QString(QLatin1String("")) : event.meter);
        insert.addBindValue(event.value);
        insert.addBindValue(event.limit);
    }
    return exec(insert);
}

QVector<HistoryEvent> PostgresHistoryStore::events(int limit)
{
    QVector<HistoryEvent> result;
    if (!isOpen() || limit <= 0)
        return result;
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT t_ms,kind,topic,meter,value,lim FROM zelmar.event ORDER BY id DESC LIMIT ?"));
    query.addBindValue(limit);
    if (!exec(query))
        return {};
    return readEvents(query);
}

bool PostgresHistoryStore::loadPartitions()
{
    QSqlQuery query(database());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT c.relname FROM pg_inherits i "
                                   "JOIN pg_class c ON c.oid = i.inhrelid "
                                   "JOIN pg_class p ON p.oid = i.inhparent "
                                   "JOIN pg_namespace n ON n.oid = p.relnamespace "
                                   "WHERE n.nspname = 'zelmar' AND p.relname IN ('reading', 'minute')")))
        return fail(query.lastError());
    for (QSet<qint64> &partitions : m_partitions)
        partitions.clear();
    while (query.next()) {
        const QString name = query.value(0).toString();
        for (int table : {ReadingTable, MinuteTable}) {
            const QString prefix = kTableNames[table] + QLatin1Char('_');
            if (!name.startsWith(prefix))
                continue;
            const QDate date = QDate::fromString(name.mid(prefix.size()), QStringLiteral("yyyyMMdd"));
            if (date.isValid())
                m_partitions[table].insert(QDate(1970, 1, 1).daysTo(date));
        }
    }
    return true;
}

bool PostgresHistoryStore::ensurePartition(Table table, qint64 day)
{
    if (m_partitions[table].contains(day))
        return true;
    // Made under a lock: CREATE TABLE IF NOT EXISTS is not safe against
    // another program making the same table at the same moment.
    const QString name = partitionName(table, day);
    if (!exec(QStringLiteral("BEGIN")) ||
        !exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kPartitionLock)) ||
        !exec(QStringLiteral("CREATE TABLE IF NOT EXISTS zelmar.%1 PARTITION OF zelmar.%2 FOR VALUES FROM (%3) TO (%4)")
                  .arg(name, kTableNames[table])
                  .arg(day * kDaySeconds)
                  .arg((day + 1) * kDaySeconds)) ||
        !exec(QStringLiteral("COMMIT")))
        return false;
    m_partitions[table].insert(day);
    return true;
}

int PostgresHistoryStore::meterId(const QString &topic, bool create)
{
    const auto known = m_meterIds.constFind(topic);
    if (known != m_meterIds.constEnd())
        return *known;
    // Another program may have made it: asked first, made only when missing.
    QSqlQuery select(database());
    select.prepare(QStringLiteral("SELECT id FROM zelmar.meter WHERE topic = ?"));
    select.addBindValue(topic);
    if (!exec(select))
        return -1;
    if (!select.next()) {
        if (!create)
            return -1;
        QSqlQuery insert(database());
        insert.prepare(QStringLiteral("INSERT INTO zelmar.meter(topic) VALUES(?) ON CONFLICT (topic) DO NOTHING"));
        insert.addBindValue(topic);
        if (!exec(insert) || !exec(select))
            return -1;
        if (!select.next()) {
            fail(HistoryProblem::Failed, QStringLiteral("no meter row for %1").arg(topic));
            return -1;
        }
    }
    const int id = select.value(0).toInt();
    m_meterIds.insert(topic, id);
    return id;
}

bool PostgresHistoryStore::knowMeters(const QVector<HistoryRow> &rows)
{
    QStringList missing;
    QSet<QString> listed;
    for (const HistoryRow &row : rows) {
        if (!m_meterIds.contains(row.topic) && !listed.contains(row.topic)) {
            listed.insert(row.topic);
            missing.append(row.topic);
        }
    }
    if (missing.isEmpty())
        return true;
    // A plant's first batch names thousands of meters: one round trip and
    // one commit each would hold the batch up for seconds, or minutes.
    if (!exec(QStringLiteral("BEGIN")))
        return false;
    for (int first = 0; first < missing.size(); first += kRowsPerStatement) {
        const int end = std::min<int>(missing.size(), first + kRowsPerStatement);
        QStringList values;
        for (int i = first; i < end; ++i)
            values << QStringLiteral("(?)");
        QSqlQuery insert(database());
        insert.prepare(QStringLiteral("INSERT INTO zelmar.meter(topic) VALUES %1 ON CONFLICT (topic) DO NOTHING")
                           .arg(values.join(QLatin1Char(','))));
        for (int i = first; i < end; ++i)
            insert.addBindValue(missing.at(i));
        if (!exec(insert))
            return false;
    }
    if (!exec(QStringLiteral("COMMIT")))
        return false;
    // Those another program made meanwhile come along.
    QSqlQuery all(database());
    if (!all.exec(QStringLiteral("SELECT id, topic FROM zelmar.meter")))
        return fail(all.lastError());
    while (all.next())
        m_meterIds.insert(all.value(1).toString(), all.value(0).toInt());
    return true;
}

bool PostgresHistoryStore::write(const QVector<HistoryRow> &rows)
{
    if (!isOpen())
        return false;
    if (rows.isEmpty())
        return true;
    // Meters and partitions first, in transactions of their own: they stay
    // made whatever becomes of the batch.
    if (!knowMeters(rows))
        return false;
    QVector<int> ids;
    ids.reserve(rows.size());
    for (const HistoryRow &row : rows) {
        const int id = meterId(row.topic, true);
        if (id < 0 || !ensurePartition(ReadingTable, dayOf(row.second)))
            return false;
        ids.append(id);
    }

    if (!exec(QStringLiteral("BEGIN")))
        return false;
    // A row that replaces this program's own row of that second (a later
    // reading of it) overwrites it; any other keeps what is stored.
    QStringList replace;
    for (HistoryField field : HistoryStore::allFields())
        replace << QStringLiteral("%1 = excluded.%1").arg(historyFieldKey(field));
    const QString head =
        QStringLiteral("INSERT INTO zelmar.reading(meter,t,%1) VALUES ").arg(historyColumns(HistoryStore::allFields()));
    const QString keep = QStringLiteral(" ON CONFLICT (meter, t) DO NOTHING");
    const QString overwrite = QStringLiteral(" ON CONFLICT (meter, t) DO UPDATE SET ") + replace.join(QLatin1Char(','));
    for (const bool replacing : {false, true}) {
        QVector<int> chosen;
        for (int i = 0; i < rows.size(); ++i) {
            if (rows.at(i).replacesLast == replacing)
                chosen.append(i);
        }
        for (int first = 0; first < chosen.size(); first += kRowsPerStatement) {
            const int end = std::min<int>(chosen.size(), first + kRowsPerStatement);
            // Nothing but integers goes into the text: the topics went in as bound values above.
            QString statement;
            statement.reserve(head.size() + overwrite.size() + (end - first) * 64);
            statement += head;
            for (int at = first; at < end; ++at) {
                const int i = chosen.at(at);
                if (at > first)
                    statement += QLatin1Char(',');
                statement += QLatin1Char('(') + QString::number(ids.at(i)) + QLatin1Char(',') +
                             QString::number(rows.at(i).second);
                for (int field = 0; field < kHistoryFieldCount; ++field)
                    statement += QLatin1Char(',') +
                                 QString::number(historyFieldValue(rows.at(i).reading, historyFieldAt(field)));
                statement += QLatin1Char(')');
            }
            statement += replacing ? overwrite : keep;
            if (!exec(statement))
                return false;
        }
    }
    if (!exec(QStringLiteral("COMMIT")))
        return false;
    for (const HistoryRow &row : rows)
        m_newest = std::max(m_newest.value_or(row.second), row.second);
    return true;
}

int PostgresHistoryStore::foldMeter(qint64 day, int meter)
{
    QStringList extremes;
    QStringList folded;
    QStringList lastValues;
    QStringList merge;
    for (HistoryField field : HistoryStore::allFields()) {
        const QString key = historyFieldKey(field);
        extremes << QStringLiteral("min(%1) AS %1_min, max(%1) AS %1_max").arg(key);
        folded << QStringLiteral("g.%1_min, g.%1_max, r.%1").arg(key);
        lastValues << key;
        merge << QStringLiteral("%1_min = least(m.%1_min, excluded.%1_min)").arg(key)
              << QStringLiteral("%1_max = greatest(m.%1_max, excluded.%1_max)").arg(key)
              << QStringLiteral("%1_last = excluded.%1_last").arg(key);
    }
    // The least and greatest of each minute in one pass; its last values
    // from its last row, looked up by the key (LIMIT keeps the planner from
    // hashing the whole day's rows for the 1440 it needs). Floor, not truncation: seconds
    // before 1970 belong to the minute below. Folding the same rows again
    // gives the same minute rows: a step cut short, or made by another
    // program as well, does no harm.
    const QString partition = QStringLiteral("zelmar.") + partitionName(ReadingTable, day);
    QSqlQuery fold(database());
    if (!fold.exec(QStringLiteral("INSERT INTO zelmar.minute AS m(meter,t,%1) "
                                  "SELECT g.meter, g.minute, %2 FROM ("
                                  "SELECT meter, t - ((t % 60) + 60) % 60 AS minute, max(t) AS last_t, %3 "
                                  "FROM %4 WHERE meter = %5 GROUP BY meter, minute) g "
                                  "CROSS JOIN LATERAL (SELECT %6 FROM %4 WHERE meter = g.meter AND t = g.last_t "
                                  "LIMIT 1) r "
                                  "ON CONFLICT (meter, t) DO UPDATE SET %7")
                       .arg(minuteColumns(HistoryStore::allFields()), folded.join(QLatin1Char(',')),
                            extremes.join(QLatin1Char(',')), partition)
                       .arg(meter)
                       .arg(lastValues.join(QLatin1Char(',')), merge.join(QLatin1Char(','))))) {
        fail(fold.lastError());
        return -1;
    }
    return fold.numRowsAffected();
}

bool PostgresHistoryStore::maintain(qint64 now, int budget)
{
    if (!isOpen())
        return false;
    QSqlQuery lock(database());
    if (!lock.exec(QStringLiteral("SELECT pg_try_advisory_lock(%1)").arg(kRetentionLock)) || !lock.next())
        return fail(lock.lastError());
    // Another program sharing the database runs retention now.
    if (!lock.value(0).toBool())
        return false;

    // The server's clock, not the caller's: a computer whose clock is set
    // ahead must not drop days of the history the whole plant shares.
    QSqlQuery clock(database());
    if (!clock.exec(QStringLiteral("SELECT extract(epoch FROM now())::bigint")) || !clock.next())
        return fail(clock.lastError());
    now = std::min(now, clock.value(0).toLongLong());

    bool more = false;
    const bool ok = [&] {
        // Today's and tomorrow's days are there before the first row of them comes.
        const qint64 today = dayOf(now);
        for (qint64 day : {today, today + 1}) {
            if (!ensurePartition(ReadingTable, day) || !ensurePartition(MinuteTable, day))
                return false;
        }
        if (!loadPartitions())
            return false;

        const qint64 foldBefore = now - m_retention.fullResolution;
        const qint64 removeBefore = now - m_retention.keep;
        const bool folds = m_retention.keep > m_retention.fullResolution;
        // A day goes when all of it is past keeping; readings past keeping need no folding.
        for (int table : {ReadingTable, MinuteTable}) {
            QList<qint64> days = m_partitions[table].values();
            std::sort(days.begin(), days.end());
            for (qint64 day : qAsConst(days)) {
                if ((day + 1) * kDaySeconds > removeBefore)
                    break;
                if (!exec(QStringLiteral("BEGIN")) ||
                    !exec(QStringLiteral("SET LOCAL lock_timeout = '%1'").arg(kDropLockTimeout)))
                    return false;
                QSqlQuery drop(database());
                if (!drop.exec(QStringLiteral("DROP TABLE zelmar.%1").arg(partitionName(table, day)))) {
                    // Busy: tried again at the next step.
                    if (drop.lastError().nativeErrorCode() != kLockNotAvailable)
                        return fail(drop.lastError());
                    more = true;
                    if (!exec(QStringLiteral("ROLLBACK")))
                        return false;
                    continue;
                }
                if (!exec(QStringLiteral("COMMIT")))
                    return false;
                m_partitions[table].remove(day);
            }
        }
        // Events stay as long as readings do; they are few, so one statement takes them.
        QSqlQuery events(database());
        events.prepare(QStringLiteral("DELETE FROM zelmar.event WHERE t_ms < ?"));
        events.addBindValue(removeBefore * 1000);
        if (!exec(events))
            return false;
        if (!folds)
            return true;

        // The oldest day all of whose readings are older than the full resolution.
        QList<qint64> due;
        for (qint64 day : qAsConst(m_partitions[ReadingTable])) {
            if ((day + 1) * kDaySeconds <= foldBefore)
                due.append(day);
        }
        if (due.isEmpty())
            return true;
        const qint64 day = *std::min_element(due.begin(), due.end());
        if (day != m_foldDay) {
            m_foldDay = day;
            m_foldMeter = 0;
        }
        if (!ensurePartition(MinuteTable, day))
            return false;
        const QString partition = partitionName(ReadingTable, day);
        for (int used = 0; used < budget;) {
            QSqlQuery next(database());
            if (!next.exec(QStringLiteral("SELECT min(meter) FROM zelmar.%1 WHERE meter >= %2")
                               .arg(partition)
                               .arg(m_foldMeter)) ||
                !next.next())
                return fail(next.lastError());
            if (next.isNull(0)) {
                // Folded whole: the day's readings go.
                if (!exec(QStringLiteral("BEGIN")) ||
                    !exec(QStringLiteral("SET LOCAL lock_timeout = '%1'").arg(kDropLockTimeout)))
                    return false;
                QSqlQuery drop(database());
                if (!drop.exec(QStringLiteral("DROP TABLE zelmar.%1").arg(partition))) {
                    if (drop.lastError().nativeErrorCode() != kLockNotAvailable)
                        return fail(drop.lastError());
                    more = true;
                    return exec(QStringLiteral("ROLLBACK"));
                }
                m_partitions[ReadingTable].remove(day);
                more = due.size() > 1;
                return exec(QStringLiteral("COMMIT"));
            }
            const int meter = next.value(0).toInt();
            const int minutes = foldMeter(day, meter);
            if (minutes < 0)
                return false;
            // At most 60 readings went into each minute.
            used += std::max(1, minutes * int(HistoryStore::kMinuteSeconds));
            m_foldMeter = meter + 1;
        }
        more = true;
        return true;
    }();

    if (!isOpen())
        return false;
    QSqlQuery unlock(database());
    if (!unlock.exec(QStringLiteral("SELECT pg_advisory_unlock(%1)").arg(kRetentionLock)))
        return fail(unlock.lastError());
    return ok && more;
}

QVector<StoredRow> PostgresHistoryStore::rows(const QString &topic, qint64 from, qint64 to,
                                              const QVector<HistoryField> &fields)
{
    QVector<StoredRow> result;
    if (!isOpen())
        return result;
    const int id = meterId(topic, false);
    if (id < 0)
        return result;

    QSqlQuery minutes(database());
    minutes.setForwardOnly(true);
    minutes.prepare(QStringLiteral("SELECT t,%1 FROM zelmar.minute WHERE meter = ? AND t >= ? AND t <= ? ORDER BY t")
                        .arg(minuteColumns(fields)));
    minutes.addBindValue(id);
    minutes.addBindValue(from);
    minutes.addBindValue(to);
    if (!exec(minutes))
        return {};
    appendMinutes(minutes, fields, &result);
    const int minuteRows = result.size();

    // A day's readings stay until all its meters are folded, so a meter's
    // seconds already folded are left out: those up to its last minute row.
    // Folding goes forward in time, a meter at a time.
    const qint64 secondsFrom = minuteRows > 0 ? std::max(from, result.constLast().second + 60) : from;
    QSqlQuery seconds(database());
    seconds.setForwardOnly(true);
    seconds.prepare(QStringLiteral("SELECT t,%1 FROM zelmar.reading WHERE meter = ? AND t >= ? AND t <= ? ORDER BY t")
                        .arg(historyColumns(fields)));
    seconds.addBindValue(id);
    seconds.addBindValue(secondsFrom);
    seconds.addBindValue(to);
    if (!exec(seconds))
        return {};
    appendSeconds(seconds, fields, &result);
    return result;
}

std::optional<qint64> PostgresHistoryStore::oldestSecond(const QString &topic)
{
    const int id = meterId(topic, false);
    if (id < 0)
        return std::nullopt;
    QSqlQuery oldest(database());
    oldest.prepare(QStringLiteral("SELECT least((SELECT min(t) FROM zelmar.minute WHERE meter = ?), "
                                  "(SELECT min(t) FROM zelmar.reading WHERE meter = ?))"));
    oldest.addBindValue(id);
    oldest.addBindValue(id);
    if (!exec(oldest) || !oldest.next() || oldest.isNull(0))
        return std::nullopt;
    return oldest.value(0).toLongLong();
}

bool PostgresHistoryStore::fail(const QSqlError &error)
{
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    return fail(error.type() == QSqlError::ConnectionError ? HistoryProblem::CannotOpen : HistoryProblem::Failed,
                text.trimmed());
}

bool PostgresHistoryStore::fail(HistoryProblem::Kind kind, const QString &detail)
{
    m_problem = {kind, m_target, QString(), detail, true};
    // Closing rolls back whatever transaction the failure left open.
    close();
    return false;
}
