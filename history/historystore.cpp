#include "history/historystore.h"

#include "history/storedrows.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QThread>
#include <QVariant>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>

namespace {

// How long a write waits for a lock another program holds: another copy of the
// program holds it for a moment, a database browser while the user edits a
// row. Longer locks fail the write; the file is tried again later.
constexpr int kBusyTimeoutMs = 10 * 1000;

// Raised when the tables change shape; a file from a newer program is left alone.
// 2: reading_extra, for readings of seconds already stored.
constexpr int kSchemaVersion = 3;

// SQLite's primary result codes (sqlite3.h), which the Qt driver gives as the
// native error code, extended or not.
constexpr int kSqliteBusy = 5;
constexpr int kSqliteCorrupt = 11;
constexpr int kSqliteFull = 13;
constexpr int kSqliteCantOpen = 14;
constexpr int kSqliteNotADatabase = 26;

// A write-ahead log that grew during a large step is cut back to this after the
// next checkpoint, so that it does not keep its largest size on disk for good.
constexpr int kWalSizeLimit = 4 * 1024 * 1024;

// Free pages are given back to the file system in steps of this many, once
// more than a quarter of the file is free (after a lower Days, say). Fewer
// are kept: new rows reuse them.
constexpr int kVacuumPages = 256;

// A file laid out without incremental vacuum (as files were made at first)
// is rewritten once if it is no larger than this: a larger one would hold
// the writer for long and need as much again on disk while it is rewritten.
constexpr qint64 kRelayOutBytes = 8 * 1024 * 1024;

// How often a new file's switch to the write-ahead log is tried while another
// copy of the program switches it.
constexpr int kWalSwitchAttempts = 20;

QAtomicInt connectionCounter;

qint64 minuteOf(qint64 second)
{
    // Floor, not truncation: seconds before 1970 belong to the minute below.
    return second - ((second % 60) + 60) % 60;
}

QString placeholders(int count)
{
    QStringList marks;
    for (int i = 0; i < count; ++i)
        marks.append(QStringLiteral("?"));
    return marks.join(QLatin1Char(','));
}

// The values of :meter, :t and each field's :<key>.
void bindRow(QSqlQuery *query, int meter, const HistoryRow &row)
{
    query->bindValue(QStringLiteral(":meter"), meter);
    query->bindValue(QStringLiteral(":t"), row.second);
    for (int i = 0; i < kHistoryFieldCount; ++i) {
        const HistoryField field = historyFieldAt(i);
        query->bindValue(QLatin1Char(':') + historyFieldKey(field), historyFieldValue(row.reading, field));
    }
}

// The device and inode of what the path names now, following links as SQLite does.
bool identify(const QString &fileName, quint64 *device, quint64 *inode)
{
    struct stat status = {};
    if (::stat(QFile::encodeName(fileName).constData(), &status) != 0)
        return false;
    *device = quint64(status.st_dev);
    *inode = quint64(status.st_ino);
    return true;
}

} // namespace

HistoryRetention HistoryStore::fileRetention(int days)
{
    return {kDaySeconds, qint64(std::max(1, days)) * kDaySeconds};
}

QLatin1String HistoryStore::tableName(Table table)
{
    switch (table) {
    case ReadingTable:
        break;
    case ExtraTable:
        return QLatin1String("reading_extra");
    case MinuteTable:
    case kTableCount:
        return QLatin1String("minute");
    }
    return QLatin1String("reading");
}

QVector<HistoryField> HistoryStore::allFields()
{
    QVector<HistoryField> fields;
    for (int i = 0; i < kHistoryFieldCount; ++i)
        fields.append(historyFieldAt(i));
    return fields;
}

HistoryStore::HistoryStore() = default;

HistoryStore::~HistoryStore()
{
    close();
}

QSqlDatabase HistoryStore::database() const
{
    return QSqlDatabase::database(m_connection, false);
}

bool HistoryStore::isOpen() const
{
    return !m_connection.isEmpty();
}

bool HistoryStore::open(const QString &fileName, const HistoryRetention &retention)
{
    close();
    m_problem = {};
    m_fileName = fileName;
    m_retention = retention;
    return connectDatabase() && layOutNewFile() && (inMemory() || useWriteAheadLog()) && createSchema() &&
           loadMeters() && prepareStatements() && (inMemory() || rememberFile());
}

bool HistoryStore::rememberFile()
{
    m_identified = identify(m_fileName, &m_device, &m_inode);
    return m_identified || fail(HistoryProblem::CannotOpen, QStringLiteral("%1 is gone").arg(m_fileName));
}

bool HistoryStore::fileInPlace() const
{
    quint64 device = 0;
    quint64 inode = 0;
    return !m_identified || (identify(m_fileName, &device, &inode) && device == m_device && inode == m_inode);
}

bool HistoryStore::connectDatabase()
{
    if (!inMemory() && !QFileInfo::exists(m_fileName)) {
        // Plant data, like Settings.conf, are for the owner only. SQLite would
        // make the file readable by all (as the umask lets it), and gives its
        // log and index the file's permissions: so the file is made first. A
        // link to nothing makes it where the link points, as SQLite would.
        const int made = ::open(QFile::encodeName(m_fileName).constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (made >= 0)
            ::close(made);
    }
    m_connection = QStringLiteral("zelmar-history-%1").arg(connectionCounter.fetchAndAddRelaxed(1));
    QSqlError openError;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(inMemory() ? QStringLiteral(":memory:") : m_fileName);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
        if (!db.open())
            openError = db.lastError();
    }
    // Failing closes the connection, which no handle may outlive.
    return !openError.isValid() || fail(openError);
}

bool HistoryStore::layOutNewFile()
{
    // SQLite reads the file's header only here: a file that is no database fails now.
    QSqlQuery pages(database());
    if (!pages.exec(QStringLiteral("PRAGMA page_count")) || !pages.next())
        return fail(pages.lastError());
    // A new file is laid out for incremental vacuum (without it, no freed
    // page is ever given back), and before the write-ahead log: switching
    // to it writes the header, which fixes the layout. Set on a file that
    // has one, the pragma would write its header again at every start.
    const bool empty = pages.value(0).toLongLong() == 0;
    // Its read lock goes first: two copies starting at once would each wait for the other's.
    pages.finish();
    return !empty || exec(QStringLiteral("PRAGMA auto_vacuum=INCREMENTAL"));
}

bool HistoryStore::useWriteAheadLog()
{
    // Switching a new file to the log, SQLite reads its header and then
    // wants to write it. Two copies starting at once may both have read
    // it, and SQLite tells them BUSY at once rather than let each wait
    // for the other for ever. They try again after a while of their own
    // choosing, so that one of them goes first.
    QSqlQuery mode(database());
    for (int attempt = 1; !mode.exec(QStringLiteral("PRAGMA journal_mode=WAL")); ++attempt) {
        const bool busy = (mode.lastError().nativeErrorCode().toInt() & 0xff) == kSqliteBusy;
        if (!busy || attempt == kWalSwitchAttempts)
            return fail(mode.lastError());
        QThread::msleep(QRandomGenerator::global()->bounded(1u, 20u));
    }
    // A commit is on disk once it returns, so a power cut loses at most the batch being written.
    return exec(QStringLiteral("PRAGMA synchronous=FULL")) &&
           exec(QStringLiteral("PRAGMA journal_size_limit=%1").arg(kWalSizeLimit));
}

bool HistoryStore::loadMeters()
{
    QSqlQuery meters(database());
    meters.setForwardOnly(true);
    if (!meters.exec(QStringLiteral("SELECT id, topic FROM meter")))
        return fail(meters.lastError());
    while (meters.next()) {
        m_meterIds.insert(meters.value(1).toString(), meters.value(0).toInt());
        m_meterOrder.append(meters.value(0).toInt());
    }
    std::sort(m_meterOrder.begin(), m_meterOrder.end());

    // A look at the end of each meter's rows: both tables are ordered by meter first.
    QSqlQuery newest(database());
    if (!newest.exec(QStringLiteral("SELECT max(t) FROM (SELECT (SELECT max(t) FROM reading WHERE meter=m.id) AS t "
                                    "FROM meter m UNION ALL SELECT (SELECT max(t) FROM minute WHERE meter=m.id) "
                                    "FROM meter m)")) ||
        !newest.next())
        return fail(newest.lastError());
    if (!newest.isNull(0))
        m_newest = newest.value(0).toLongLong();
    return true;
}

bool HistoryStore::prepareStatements()
{
    const QVector<HistoryField> fields = allFields();
    QStringList values;
    QStringList assignments;
    for (HistoryField field : fields) {
        values.append(QLatin1Char(':') + historyFieldKey(field));
        assignments.append(historyFieldKey(field) + QLatin1String("=:") + historyFieldKey(field));
    }
    const QString columns = historyColumns(fields);
    // The first reading of a second goes into reading; one for a second
    // already there (the clock was set back) into reading_extra, after those
    // of that second that came before it. A later reading of the second
    // handed over last takes the place of that second's last reading.
    const QString lastSeq = QStringLiteral("(SELECT max(seq) FROM reading_extra WHERE meter=:meter AND t=:t)");
    const std::pair<std::unique_ptr<QSqlQuery> *, QString> writes[] = {
        {&m_insertReading, QStringLiteral("INSERT INTO reading(meter,t,%1) VALUES(:meter,:t,%2) "
                                          "ON CONFLICT(meter,t) DO NOTHING")
                               .arg(columns, values.join(QLatin1Char(',')))},
        {&m_insertExtra,
         QStringLiteral("INSERT INTO reading_extra(meter,t,seq,%1) VALUES(:meter,:t,coalesce(%2,0)+1,%3)")
             .arg(columns, lastSeq, values.join(QLatin1Char(',')))},
        {&m_replaceReading,
         QStringLiteral("UPDATE reading SET %1 WHERE meter=:meter AND t=:t").arg(assignments.join(QLatin1Char(',')))},
        {&m_replaceExtra, QStringLiteral("UPDATE reading_extra SET %1 WHERE meter=:meter AND t=:t AND seq=%2")
                              .arg(assignments.join(QLatin1Char(',')), lastSeq)},
    };
    for (const auto &write : writes) {
        *write.first = std::make_unique<QSqlQuery>(database());
        if (!(*write.first)->prepare(write.second))
            return fail((*write.first)->lastError());
    }

    // A minute folded in two steps (or given late rows) keeps the extremes of both.
    QStringList merge;
    for (HistoryField field : fields) {
        const QString key = historyFieldKey(field);
        merge << QStringLiteral("%1_min=min(%1_min,excluded.%1_min)").arg(key)
              << QStringLiteral("%1_max=max(%1_max,excluded.%1_max)").arg(key)
              << QStringLiteral("%1_last=excluded.%1_last").arg(key);
    }
    m_upsertMinute = std::make_unique<QSqlQuery>(database());
    if (!m_upsertMinute->prepare(
            QStringLiteral("INSERT INTO minute(meter,t,%1) VALUES(%2) ON CONFLICT(meter,t) DO UPDATE SET %3")
                .arg(minuteColumns(fields), placeholders(2 + 3 * kHistoryFieldCount), merge.join(QLatin1Char(',')))))
        return fail(m_upsertMinute->lastError());

    // Retention asks the same few questions of every meter at every step.
    const auto prepare = [this](std::unique_ptr<QSqlQuery> &query, const QString &statement) {
        query = std::make_unique<QSqlQuery>(database());
        query->setForwardOnly(true);
        return query->prepare(statement) || fail(query->lastError());
    };
    for (int table = 0; table < kTableCount; ++table) {
        const QLatin1String name = tableName(Table(table));
        TableStatements &statements = m_tables[table];
        if (!prepare(statements.oldest, QStringLiteral("SELECT min(t) FROM %1 WHERE meter=?").arg(name)) ||
            !prepare(statements.bound,
                     QStringLiteral("SELECT t FROM %1 WHERE meter=? AND t<? ORDER BY t LIMIT 1 OFFSET ?").arg(name)) ||
            !prepare(statements.remove, QStringLiteral("DELETE FROM %1 WHERE meter=? AND t<?").arg(name)))
            return false;
    }
    if (!prepare(m_insertEvent,
                 QStringLiteral("INSERT INTO event(t_ms,kind,topic,meter,value,lim) VALUES(?,?,?,?,?,?)")))
        return false;
    // The readings of both tables in the order they came.
    return prepare(m_foldRows, QStringLiteral("SELECT t,0,%1 FROM reading WHERE meter=:meter AND t<:before UNION ALL "
                                              "SELECT t,seq,%1 FROM reading_extra WHERE meter=:meter AND t<:before "
                                              "ORDER BY 1,2 LIMIT :limit")
                                   .arg(columns));
}

bool HistoryStore::storedVersion(int *version)
{
    QSqlQuery query(database());
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next())
        return fail(query.lastError());
    *version = query.value(0).toInt();
    if (*version > kSchemaVersion)
        return fail(HistoryProblem::NewerFormat, QString::number(*version));
    return true;
}

bool HistoryStore::createSchema()
{
    int stored = 0;
    if (!storedVersion(&stored))
        return false;
    if (stored == kSchemaVersion)
        return true;
    // Another copy of the program may be creating the same new file at this
    // moment: the write lock is taken before anything is read again, so the
    // one that comes second finds the tables made and leaves them be.
    if (!exec(QStringLiteral("BEGIN IMMEDIATE")) || !storedVersion(&stored))
        return false;
    if (stored == kSchemaVersion)
        return exec(QStringLiteral("COMMIT"));

    const QVector<HistoryField> fields = allFields();
    QStringList readingColumns;
    QStringList minuteColumnDefs;
    for (HistoryField field : fields) {
        const QString key = historyFieldKey(field);
        readingColumns.append(key + QLatin1String(" INTEGER NOT NULL"));
        for (const char *suffix : {"_min", "_max", "_last"})
            minuteColumnDefs.append(key + QLatin1String(suffix) + QLatin1String(" INTEGER NOT NULL"));
    }
    QStringList statements;
    if (stored == 0) {
        // A meter is known by its MQTT topic, not by its device name: readings
        // arrive per topic, and a device renamed in the list keeps its history.
        // Two devices registered on one topic show the same readings anyway, so
        // they rightly share one history.
        statements = QStringList{
            QStringLiteral("CREATE TABLE meter(id INTEGER PRIMARY KEY, topic TEXT NOT NULL UNIQUE)"),
            QStringLiteral("CREATE TABLE reading(meter INTEGER NOT NULL, t INTEGER NOT NULL, %1, "
                           "PRIMARY KEY(meter, t)) WITHOUT ROWID")
                .arg(readingColumns.join(QStringLiteral(", "))),
            QStringLiteral("CREATE TABLE minute(meter INTEGER NOT NULL, t INTEGER NOT NULL, %1, "
                           "PRIMARY KEY(meter, t)) WITHOUT ROWID")
                .arg(minuteColumnDefs.join(QStringLiteral(", "))),
        };
    }
    // Version 2 added the readings of seconds already stored, numbered by
    // seq from 1 in the order they came; a first-version file gets the table
    // and keeps its rows where they are.
    if (stored < 2) {
        statements << QStringLiteral("CREATE TABLE reading_extra(meter INTEGER NOT NULL, t INTEGER NOT NULL, "
                                     "seq INTEGER NOT NULL, %1, PRIMARY KEY(meter, t, seq)) WITHOUT ROWID")
                          .arg(readingColumns.join(QStringLiteral(", ")));
    }
    // Version 3 added the event log. Its rowid is the order the events were
    // written in, which is the order the log shows them whatever the clock
    // did; the index on the time serves retention.
    statements << QStringLiteral("CREATE TABLE event(t_ms INTEGER NOT NULL, kind INTEGER NOT NULL, "
                                 "topic TEXT NOT NULL, meter TEXT NOT NULL, value INTEGER NOT NULL, "
                                 "lim INTEGER NOT NULL)")
               << QStringLiteral("CREATE INDEX event_time ON event(t_ms)");
    statements << QStringLiteral("PRAGMA user_version=%1").arg(kSchemaVersion) << QStringLiteral("COMMIT");
    for (const QString &statement : statements) {
        if (!exec(statement))
            return false;
    }
    return true;
}

void HistoryStore::close()
{
    if (!isOpen())
        return;
    for (auto *write : {&m_insertReading, &m_insertExtra, &m_replaceReading, &m_replaceExtra})
        write->reset();
    m_upsertMinute.reset();
    for (TableStatements &statements : m_tables)
        statements = {};
    m_foldRows.reset();
    m_insertEvent.reset();
    if (!fileInPlace()) {
        // The log is named after the path, where another file stands now (or
        // none): whoever opens the path next would take its pages for that
        // file's and spoil it. Emptied into the file it belongs to, it cannot.
        QSqlQuery checkpoint(database());
        checkpoint.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    }
    {
        QSqlDatabase db = database();
        db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
    m_connection.clear();
    m_meterIds.clear();
    m_meterOrder.clear();
    m_oldest.clear();
    m_newest.reset();
    m_nextMeter = 0;
    m_layoutChecked = false;
    m_identified = false;
}

bool HistoryStore::exec(QSqlQuery &query)
{
    return query.exec() || fail(query.lastError());
}

bool HistoryStore::exec(const QString &statement)
{
    QSqlQuery query(database());
    return query.exec(statement) || fail(query.lastError());
}

int HistoryStore::meterId(const QString &topic, bool create)
{
    const auto known = m_meterIds.constFind(topic);
    if (known != m_meterIds.constEnd())
        return *known;
    if (!create)
        return -1;
    // Another copy of the program recording the same file may have met the
    // meter first: then its row is taken as it is.
    QSqlQuery insert(database());
    insert.prepare(QStringLiteral("INSERT INTO meter(topic) VALUES(?) ON CONFLICT(topic) DO NOTHING"));
    insert.addBindValue(topic);
    if (!exec(insert))
        return -1;
    const bool created = insert.numRowsAffected() == 1;
    int id = insert.lastInsertId().toInt();
    if (!created) {
        QSqlQuery select(database());
        select.prepare(QStringLiteral("SELECT id FROM meter WHERE topic=?"));
        select.addBindValue(topic);
        if (!exec(select))
            return -1;
        if (!select.next()) {
            // Cannot be: the row that stood in the way is in this transaction's view.
            fail(HistoryProblem::Failed, QStringLiteral("no meter row for %1").arg(topic));
            return -1;
        }
        id = select.value(0).toInt();
    }
    m_meterIds.insert(topic, id);
    m_meterOrder.insert(std::upper_bound(m_meterOrder.begin(), m_meterOrder.end(), id), id);
    if (created)
        m_oldest.insert(id, {{kNoRows, kNoRows, kNoRows}});
    return id;
}

bool HistoryStore::write(const QVector<HistoryRow> &rows)
{
    if (!isOpen())
        return false;
    if (rows.isEmpty())
        return true;
    if (!exec(QStringLiteral("BEGIN")))
        return false;
    for (const HistoryRow &row : rows) {
        const int id = meterId(row.topic, true);
        if (id < 0)
            return false;
        Table table = ReadingTable;
        if (!store(id, row, &table))
            return false;
        const auto oldest = m_oldest.find(id);
        if (oldest != m_oldest.end())
            oldest->second[table] = std::min(oldest->second[table], row.second);
        m_newest = std::max(m_newest.value_or(row.second), row.second);
    }
    return exec(QStringLiteral("COMMIT"));
}

bool HistoryStore::store(int meter, const HistoryRow &row, Table *table)
{
    const auto run = [&](QSqlQuery *query, Table into) {
        bindRow(query, meter, row);
        *table = into;
        return exec(*query);
    };
    // The second's last reading is its newest extra one, if it has any. None
    // at all if the row went meanwhile (folded, say): then the reading is new.
    if (row.replacesLast) {
        if (!run(m_replaceExtra.get(), ExtraTable))
            return false;
        if (m_replaceExtra->numRowsAffected() > 0)
            return true;
        if (!run(m_replaceReading.get(), ReadingTable))
            return false;
        if (m_replaceReading->numRowsAffected() > 0)
            return true;
    }
    if (!run(m_insertReading.get(), ReadingTable))
        return false;
    return m_insertReading->numRowsAffected() > 0 || run(m_insertExtra.get(), ExtraTable);
}

bool HistoryStore::forget(const QString &topic)
{
    const int id = meterId(topic, false);
    if (id < 0)
        return isOpen();
    for (int table = 0; table < kTableCount; ++table) {
        if (removeBefore(id, Table(table), std::numeric_limits<qint64>::max()) < 0)
            return false;
    }
    m_oldest.remove(id);
    return true;
}

bool HistoryStore::writeEvents(const QVector<HistoryEvent> &events)
{
    if (!isOpen())
        return false;
    if (events.isEmpty())
        return true;
    if (!exec(QStringLiteral("BEGIN")))
        return false;
    QSqlQuery &insert = *m_insertEvent;
    for (const HistoryEvent &event : events) {
        insert.bindValue(0, event.timeMs);
        insert.bindValue(1, event.kind);
        // NOT NULL columns: a null QString would bind as NULL.
        insert.bindValue(2, event.topic.isNull() ? QString(QLatin1String("")) : event.topic);
        insert.bindValue(3, event.meter.isNull() ? QString(QLatin1String("")) : event.meter);
        insert.bindValue(4, event.value);
        insert.bindValue(5, event.limit);
        if (!exec(insert))
            return false;
    }
    return exec(QStringLiteral("COMMIT"));
}

QVector<HistoryEvent> HistoryStore::events(int limit)
{
    QVector<HistoryEvent> result;
    if (!isOpen() || limit <= 0)
        return result;
    QSqlQuery query(database());
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT t_ms,kind,topic,meter,value,lim FROM event ORDER BY rowid DESC LIMIT ?"));
    query.addBindValue(limit);
    if (!exec(query))
        return {};
    return readEvents(query);
}

int HistoryStore::removeOldEvents(qint64 before, int limit, bool *more)
{
    // Asked first, so that a step with nothing due still takes no write lock.
    QSqlQuery due(database());
    due.setForwardOnly(true);
    due.prepare(QStringLiteral("SELECT 1 FROM event WHERE t_ms<? LIMIT 1"));
    due.addBindValue(before);
    if (!exec(due))
        return -1;
    if (!due.next())
        return 0;
    due.finish();
    QSqlQuery remove(database());
    remove.prepare(QStringLiteral("DELETE FROM event WHERE rowid IN (SELECT rowid FROM event WHERE t_ms<? LIMIT ?)"));
    remove.addBindValue(before);
    remove.addBindValue(limit);
    if (!exec(remove))
        return -1;
    const int removed = remove.numRowsAffected();
    if (removed >= limit)
        *more = true;
    return removed;
}

bool HistoryStore::maintain(qint64 now, int budget)
{
    if (!isOpen())
        return false;
    // Events stay as long as readings do; they are few, so they go first and
    // in a statement of their own.
    bool eventsLeft = false;
    const int removedEvents = removeOldEvents((now - m_retention.keep) * 1000, budget, &eventsLeft);
    if (removedEvents < 0)
        return false;
    budget -= removedEvents;
    if (m_meterOrder.isEmpty() || budget <= 0)
        return (eventsLeft || budget <= 0) && isOpen();
    // Only whole minutes are folded, so that a minute row never has to be
    // merged with rows of its own minute that were still to come.
    const qint64 foldBefore = minuteOf(now - m_retention.fullResolution);
    const qint64 removeBefore = now - m_retention.keep;
    const bool folds = m_retention.keep > m_retention.fullResolution;

    if (!m_layoutChecked) {
        m_layoutChecked = true;
        relayOutForVacuum();
    }

    const int meters = m_meterOrder.size();
    bool began = false;
    bool more = eventsLeft;
    int used = 0;
    const int first = m_nextMeter % meters;
    int visited = 0;
    for (; visited < meters && used < budget; ++visited) {
        const int id = m_meterOrder.at((first + visited) % meters);
        bool due = false;
        if (!isDue(id, folds ? foldBefore : removeBefore, removeBefore, &due))
            return false;
        if (!due)
            continue;
        // The step reads before it writes: without the write lock taken
        // first, another copy of the program writing the same file would
        // make it fail at its first write rather than wait.
        if (!began && !exec(QStringLiteral("BEGIN IMMEDIATE")))
            return false;
        began = true;
        // Rows past keeping go before anything is folded, so none is folded only to be removed.
        for (int table = 0; table < kTableCount; ++table) {
            const int removed = removeOld(id, Table(table), removeBefore, budget - used, &more);
            if (removed < 0)
                return false;
            used += removed;
            if (table != MinuteTable)
                m_removedReadings += removed;
        }
        if (folds && used < budget) {
            const int folded = fold(id, foldBefore, budget - used, &more);
            if (folded < 0)
                return false;
            used += folded;
        }
        // Asked again at the meter's next turn, unless rows come first.
        m_oldest.remove(id);
    }
    // A meter left unfinished waits for the others' turn before its own comes again.
    m_nextMeter = (first + visited) % meters;
    if (used >= budget)
        more = true;
    if (began && !exec(QStringLiteral("COMMIT")))
        return false;
    giveBackFreePages();
    return more && isOpen();
}

bool HistoryStore::isDue(int meter, qint64 readingsBefore, qint64 minutesBefore, bool *due)
{
    auto oldest = m_oldest.find(meter);
    if (oldest == m_oldest.end()) {
        OldestRows known;
        for (int table = 0; table < kTableCount; ++table) {
            QSqlQuery &query = *m_tables[table].oldest;
            query.bindValue(0, meter);
            if (!exec(query))
                return false;
            // min() of no rows is NULL.
            known.second[table] = query.next() && !query.isNull(0) ? query.value(0).toLongLong() : kNoRows;
            query.finish();
        }
        oldest = m_oldest.insert(meter, known);
    }
    *due = std::min(oldest->second[ReadingTable], oldest->second[ExtraTable]) < readingsBefore ||
           oldest->second[MinuteTable] < minutesBefore;
    return true;
}

int HistoryStore::removeOld(int meter, Table table, qint64 before, int limit, bool *more)
{
    if (limit <= 0) {
        *more = true;
        return 0;
    }
    // The second of the limit-th row due, if there are that many: only rows up
    // to it go in this step.
    QSqlQuery &bound = *m_tables[table].bound;
    bound.bindValue(0, meter);
    bound.bindValue(1, before);
    bound.bindValue(2, limit - 1);
    if (!exec(bound))
        return -1;
    qint64 end = before;
    if (bound.next()) {
        end = bound.value(0).toLongLong() + 1;
        *more = true;
    }
    bound.finish();
    return removeBefore(meter, table, end);
}

int HistoryStore::removeBefore(int meter, Table table, qint64 end)
{
    QSqlQuery &remove = *m_tables[table].remove;
    remove.bindValue(0, meter);
    remove.bindValue(1, end);
    if (!exec(remove))
        return -1;
    return remove.numRowsAffected();
}

int HistoryStore::fold(int meter, qint64 before, int limit, bool *more)
{
    // A meter stores at most 60 rows a minute, so a limit of two minutes'
    // worth always folds at least one whole minute.
    constexpr int kLeast = 2 * 60;
    if (limit < kLeast) {
        *more = true;
        return 0;
    }
    QSqlQuery &select = *m_foldRows;
    select.bindValue(QStringLiteral(":meter"), meter);
    select.bindValue(QStringLiteral(":before"), before);
    select.bindValue(QStringLiteral(":limit"), limit);
    if (!exec(select))
        return -1;

    // minute -> its folded row; ordered, so the last minute is at hand.
    std::map<qint64, StoredRow> minutes;
    int selected = 0;
    qint64 firstSecond = 0;
    qint64 lastSecond = 0;
    while (select.next()) {
        const qint64 second = select.value(0).toLongLong();
        if (selected++ == 0)
            firstSecond = second;
        lastSecond = second;
        Reading reading;
        for (int i = 0; i < kHistoryFieldCount; ++i)
            setHistoryFieldValue(&reading, historyFieldAt(i), select.value(2 + i).toInt());
        auto found = minutes.find(minuteOf(second));
        if (found == minutes.end()) {
            minutes.emplace(minuteOf(second),
                            StoredRow{minuteOf(second), int(kMinuteSeconds), reading, reading, reading});
            continue;
        }
        StoredRow &folded = found->second;
        for (int i = 0; i < kHistoryFieldCount; ++i) {
            const HistoryField field = historyFieldAt(i);
            const int value = historyFieldValue(reading, field);
            setHistoryFieldValue(&folded.least, field, std::min(historyFieldValue(folded.least, field), value));
            setHistoryFieldValue(&folded.greatest, field, std::max(historyFieldValue(folded.greatest, field), value));
        }
        folded.last = reading; // rows come in the order they came
    }
    select.finish();
    if (minutes.empty())
        return 0;
    qint64 end = std::prev(minutes.end())->first + kMinuteSeconds;
    // With the limit reached, the last minute may go on beyond what was read.
    if (selected == limit) {
        *more = true;
        if (minutes.size() > 1) {
            minutes.erase(std::prev(minutes.end()));
            end = std::prev(minutes.end())->first + kMinuteSeconds;
        } else {
            // One minute holds more readings than a step takes (the clock
            // went back over it again and again): what was read is folded,
            // and the rest of its last second read is folded again with the
            // rest of the minute, which least, greatest and last bear.
            end = std::max(lastSecond, firstSecond + 1);
        }
    }

    for (const auto &entry : minutes) {
        const StoredRow &folded = entry.second;
        m_upsertMinute->bindValue(0, meter);
        m_upsertMinute->bindValue(1, folded.second);
        for (int i = 0; i < kHistoryFieldCount; ++i) {
            const HistoryField field = historyFieldAt(i);
            m_upsertMinute->bindValue(2 + 3 * i, historyFieldValue(folded.least, field));
            m_upsertMinute->bindValue(3 + 3 * i, historyFieldValue(folded.greatest, field));
            m_upsertMinute->bindValue(4 + 3 * i, historyFieldValue(folded.last, field));
        }
        if (!exec(*m_upsertMinute))
            return -1;
    }
    for (const Table table : {ReadingTable, ExtraTable}) {
        if (removeBefore(meter, table, end) < 0)
            return -1;
    }
    return selected;
}

void HistoryStore::relayOutForVacuum()
{
    if (inMemory())
        return;
    QSqlQuery layout(database());
    layout.setForwardOnly(true);
    if (!layout.exec(QStringLiteral("SELECT auto_vacuum, page_count * page_size "
                                    "FROM pragma_auto_vacuum, pragma_page_count, pragma_page_size")) ||
        !layout.next())
        return;
    const bool laidOut = layout.value(0).toInt() != 0;
    const qint64 bytes = layout.value(1).toLongLong();
    layout.finish();
    if (laidOut || bytes > kRelayOutBytes)
        return;
    // A failure (a full disk, another copy of the program reading) leaves the
    // file as it was, which still works: it is only larger than need be.
    QSqlQuery vacuum(database());
    if (vacuum.exec(QStringLiteral("PRAGMA auto_vacuum=INCREMENTAL")))
        vacuum.exec(QStringLiteral("VACUUM"));
}

void HistoryStore::giveBackFreePages()
{
    QSqlQuery pages(database());
    if (!pages.exec(
            QStringLiteral("SELECT freelist_count, page_count FROM pragma_freelist_count, pragma_page_count")) ||
        !pages.next()) {
        fail(pages.lastError());
        return;
    }
    const qint64 freePages = pages.value(0).toLongLong();
    const qint64 allPages = pages.value(1).toLongLong();
    if (freePages > kVacuumPages && freePages * 4 > allPages) {
        // incremental_vacuum returns a row per page freed; all must be stepped through.
        QSqlQuery vacuum(database());
        vacuum.setForwardOnly(true);
        if (!vacuum.exec(QStringLiteral("PRAGMA incremental_vacuum(%1)").arg(kVacuumPages))) {
            fail(vacuum.lastError());
            return;
        }
        while (vacuum.next()) {
        }
    }
}

QVector<StoredRow> HistoryStore::rows(const QString &topic, qint64 from, qint64 to, const QVector<HistoryField> &fields)
{
    QVector<StoredRow> result;
    if (!isOpen())
        return result;
    const int id = meterId(topic, false);
    if (id < 0)
        return result;

    QSqlQuery minutes(database());
    minutes.setForwardOnly(true);
    minutes.prepare(QStringLiteral("SELECT t,%1 FROM minute WHERE meter=? AND t>=? AND t<=? ORDER BY t")
                        .arg(minuteColumns(fields)));
    minutes.addBindValue(id);
    minutes.addBindValue(from);
    minutes.addBindValue(to);
    if (!exec(minutes))
        return {};
    appendMinutes(minutes, fields, &result);
    const int minuteRows = result.size();

    // Both tables of readings, each in the order the readings came.
    int runStart = minuteRows;
    for (const QLatin1String table : {QLatin1String("reading"), QLatin1String("reading_extra")}) {
        QSqlQuery seconds(database());
        seconds.setForwardOnly(true);
        seconds.prepare(QStringLiteral("SELECT t,%1 FROM %2 WHERE meter=? AND t>=? AND t<=? ORDER BY %3")
                            .arg(historyColumns(fields), table,
                                 table == QLatin1String("reading") ? QLatin1String("t") : QLatin1String("t,seq")));
        seconds.addBindValue(id);
        seconds.addBindValue(from);
        seconds.addBindValue(to);
        if (!exec(seconds))
            return {};
        appendSeconds(seconds, fields, &result);
        // Minutes are folded oldest first, so both runs are mostly one after
        // the other; while folding lags behind they may interleave. The merge
        // keeps equal seconds in run order: the first reading of a second
        // before those that came later.
        const auto earlier = [](const StoredRow &a, const StoredRow &b) { return a.second < b.second; };
        std::inplace_merge(result.begin(), result.begin() + runStart, result.end(), earlier);
        runStart = result.size();
    }
    return result;
}

std::optional<qint64> HistoryStore::oldestSecond(const QString &topic)
{
    const int id = meterId(topic, false);
    if (id < 0)
        return std::nullopt;
    qint64 oldest = kNoRows;
    for (TableStatements &statements : m_tables) {
        QSqlQuery &query = *statements.oldest;
        query.bindValue(0, id);
        if (!exec(query))
            return std::nullopt;
        // min() of no rows is NULL.
        if (query.next() && !query.isNull(0))
            oldest = std::min(oldest, query.value(0).toLongLong());
        query.finish();
    }
    return oldest == kNoRows ? std::nullopt : std::optional<qint64>(oldest);
}

bool HistoryStore::fail(const QSqlError &error)
{
    const int code = error.nativeErrorCode().toInt() & 0xff;
    HistoryProblem::Kind kind = HistoryProblem::Failed;
    if (code == kSqliteCorrupt || code == kSqliteNotADatabase)
        kind = HistoryProblem::Damaged;
    else if (code == kSqliteFull)
        kind = HistoryProblem::DiskFull;
    else if (code == kSqliteCantOpen)
        kind = HistoryProblem::CannotOpen;
    return fail(kind, error.databaseText().isEmpty() ? error.text() : error.databaseText());
}

bool HistoryStore::fail(HistoryProblem::Kind kind, const QString &detail)
{
    m_problem = {kind, m_fileName, QString(), detail, false};
    if (isOpen()) {
        // A failed statement may leave a transaction open; closing rolls it back.
        close();
    }
    if (kind == HistoryProblem::Damaged && !inMemory())
        moveAside();
    return false;
}

void HistoryStore::moveAside()
{
    // Behind a link, the damaged file is the one it points to: that one goes
    // aside, in its own folder, and the link stays, so that the new file is
    // made where the link points, as SQLite names its log after it as well.
    const QFileInfo info(m_fileName);
    const QString damaged = info.isSymLink() ? info.canonicalFilePath() : m_fileName;
    if (damaged.isEmpty())
        return;
    // The write-ahead log and its index go along under matching names, so that
    // the moved file can still be opened with everything it held.
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = damaged + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFileInfo::exists(target) || QFileInfo::exists(target + QLatin1String("-wal")); ++n)
        target = damaged + QStringLiteral(".damaged-%1-%2").arg(stamp).arg(n);
    if (!QFile::rename(damaged, target))
        return;
    m_problem.movedTo = target;
    for (const char *suffix : {"-wal", "-shm"}) {
        if (QFileInfo::exists(damaged + QLatin1String(suffix)))
            QFile::rename(damaged + QLatin1String(suffix), target + QLatin1String(suffix));
    }
}
