#include "common/testpostgres.h"
#include "history/postgreshistorystore.h"

#include <QTcpServer>
#include <QtTest>

#include <limits>

Q_DECLARE_METATYPE(HistoryProblem::Kind)

namespace {

// "Now" for retention, on a minute boundary: the store goes by the server's
// clock where it is behind the one given.
const qint64 kNow = QDateTime::currentSecsSinceEpoch() / 60 * 60;
constexpr qint64 kHour = 3600;
constexpr qint64 kDay = 24 * kHour;
constexpr qint64 kEnd = std::numeric_limits<qint64>::max();

Reading readingWith(int voltage, int starts = 7)
{
    Reading reading;
    reading.devType = 10;
    reading.numStarts = starts;
    reading.tCommon = 360000 + voltage;
    reading.voltage = voltage;
    reading.freq = 50;
    return reading;
}

// One row per second for each offset from kNow in [first, first + count), a
// silence of `gapEvery` seconds after every gapEvery rows if it is not 0.
QVector<HistoryRow> rowsFrom(const QString &topic, qint64 first, int count, int voltage = 0, int gapEvery = 0)
{
    QVector<HistoryRow> rows;
    qint64 second = kNow + first;
    for (int i = 0; i < count; ++i, ++second) {
        if (gapEvery > 0 && i > 0 && i % gapEvery == 0)
            second += gapEvery;
        rows.append({topic, second, readingWith(voltage > 0 ? voltage : 200 + (i * 37) % 61, i)});
    }
    return rows;
}

// The day partition of a table that holds kNow + offset, as the store names it.
QString partition(const char *table, qint64 offset)
{
    return QStringLiteral("zelmar.%1_%2")
        .arg(QLatin1String(table),
             QDateTime::fromSecsSinceEpoch(kNow + offset, Qt::UTC).toString(QStringLiteral("yyyyMMdd")));
}

} // namespace

// The shared history's store against a real PostgreSQL server made for the
// test: what the file store does, the same way, and what sharing and
// partitions add.
class tst_PostgresHistoryStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void rowsAndChartsAsTheFileStore();
    void twoWritersShareOneMeter();
    void newerSchemaIsRefused();
    void retentionDropsWholeDays();
    void eventLogOfAnOlderSchema();
    void failedConnectionIsNamed_data();
    void failedConnectionIsNamed();
    void lostServerFailsTheStore();

private:
    PostgresConnection connection() const;
    bool tableExists(const QString &name) const;

    TestPostgres m_server;
};

void tst_PostgresHistoryStore::initTestCase()
{
    const QString unavailable = TestPostgres::unavailableReason();
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(unavailable));
    QVERIFY(m_server.start());
}

void tst_PostgresHistoryStore::init()
{
    QVERIFY(m_server.isRunning() || m_server.start());
    QVERIFY(m_server.execute(QStringLiteral("DROP SCHEMA IF EXISTS zelmar CASCADE")));
}

PostgresConnection tst_PostgresHistoryStore::connection() const
{
    PostgresConnection connection;
    connection.host = m_server.host();
    connection.port = m_server.port();
    connection.database = m_server.database();
    connection.user = m_server.user();
    connection.password = m_server.password();
    connection.sslMode = QStringLiteral("disable");
    return connection;
}

bool tst_PostgresHistoryStore::tableExists(const QString &name) const
{
    return m_server.query(QStringLiteral("SELECT to_regclass('%1') IS NOT NULL").arg(name)) ==
           QStringList{QStringLiteral("t")};
}

// The same rows give the same rows back and the same chart from both stores,
// silences included; a batch written again adds nothing.
void tst_PostgresHistoryStore::rowsAndChartsAsTheFileStore()
{
    const QString topic = QStringLiteral("plant/boiler");
    const QVector<HistoryRow> rows =
        rowsFrom(topic, -2 * kHour, 3000, 0, 700) + rowsFrom(QStringLiteral("plant/pump"), -kHour, 10);
    PostgresHistoryStore shared;
    QVERIFY2(shared.open(connection(), HistoryStore::fileRetention(30)), qPrintable(shared.problem().detail));
    QVERIFY(shared.write(rows));
    QVERIFY(shared.write(rows.mid(100, 50)));
    // A later reading of a second the recorder handed over takes its row's place.
    HistoryRow later = rows.at(200);
    later.reading.voltage += 5;
    later.replacesLast = true;
    QVERIFY(shared.write({later}));
    HistoryStore file;
    QVERIFY(file.open(QString(), HistoryStore::fileRetention(30)));
    QVERIFY(file.write(rows));
    QVERIFY(file.write({later}));

    const QVector<StoredRow> sharedRows = shared.rows(topic, 0, kEnd);
    const QVector<StoredRow> fileRows = file.rows(topic, 0, kEnd);
    QCOMPARE(sharedRows.size(), 3000);
    QCOMPARE(sharedRows.size(), fileRows.size());
    for (int i = 0; i < sharedRows.size(); ++i) {
        QCOMPARE(sharedRows.at(i).second, fileRows.at(i).second);
        QCOMPARE(sharedRows.at(i).last.voltage, fileRows.at(i).last.voltage);
        QCOMPARE(sharedRows.at(i).last.numStarts, fileRows.at(i).last.numStarts);
    }

    const HistoryChartRequest request{
        topic, kNow - 3 * kHour, kNow, 300, {HistoryField::Voltage, HistoryField::NumStarts}};
    const HistoryChart sharedChart = shared.chart(request);
    const HistoryChart fileChart = file.chart(request);
    QCOMPARE(sharedChart.from, fileChart.from);
    QCOMPARE(sharedChart.oldest, fileChart.oldest);
    QCOMPARE(sharedChart.storedRows, fileChart.storedRows);
    QCOMPARE(sharedChart.series.size(), 2);
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(sharedChart.series.at(i).points, fileChart.series.at(i).points);
        QCOMPARE(sharedChart.series.at(i).stretchStarts, fileChart.series.at(i).stretchStarts);
    }
    QCOMPARE(sharedChart.series.at(0).stretchStarts.size(), 5);
}

// Two programs recording the same meter: neither fails, no second is stored
// twice, and the row stored first stays.
void tst_PostgresHistoryStore::twoWritersShareOneMeter()
{
    const QString topic = QStringLiteral("plant/boiler");
    PostgresHistoryStore first;
    PostgresHistoryStore second;
    QVERIFY(first.open(connection(), HistoryStore::fileRetention(30)));
    QVERIFY(second.open(connection(), HistoryStore::fileRetention(30)));
    QVERIFY(first.write(rowsFrom(topic, 0, 100, 200)));
    QVERIFY2(second.write(rowsFrom(topic, 50, 100, 300)), qPrintable(second.problem().detail));

    const QVector<StoredRow> rows = first.rows(topic, 0, kEnd);
    QCOMPARE(rows.size(), 150);
    QCOMPARE(rows.at(99).last.voltage, 200);
    QCOMPARE(rows.at(100).last.voltage, 300);
    QCOMPARE(m_server.query(QStringLiteral("SELECT count(*) FROM zelmar.meter")), QStringList{QStringLiteral("1")});
}

void tst_PostgresHistoryStore::newerSchemaIsRefused()
{
    {
        PostgresHistoryStore store;
        QVERIFY(store.open(connection(), HistoryStore::fileRetention(30)));
        QVERIFY(store.write(rowsFrom(QStringLiteral("plant/boiler"), 0, 10)));
    }
    QVERIFY(m_server.execute(QStringLiteral("UPDATE zelmar.schema_version SET version = 99")));
    PostgresHistoryStore store;
    QVERIFY(!store.open(connection(), HistoryStore::fileRetention(30)));
    QCOMPARE(store.problem().kind, HistoryProblem::NewerFormat);
    QVERIFY2(store.problem().detail.contains(QLatin1String("version 99, made by a newer program")),
             qPrintable(store.problem().detail));
    QCOMPARE(m_server.query(QStringLiteral("SELECT count(*) FROM zelmar.reading")), QStringList{QStringLiteral("10")});
}

// Readings older than a day are folded into minutes a day at a time, and
// days past keeping go whole: no row is deleted, tables are dropped.
void tst_PostgresHistoryStore::retentionDropsWholeDays()
{
    const QString topic = QStringLiteral("plant/boiler");
    PostgresHistoryStore store;
    QVERIFY(store.open(connection(), HistoryStore::fileRetention(30)));
    QVERIFY(store.write(rowsFrom(topic, -40 * kDay, 120) + rowsFrom(topic, -3 * kDay, 180) +
                        rowsFrom(QStringLiteral("plant/pump"), -3 * kDay, 60) + rowsFrom(topic, -2 * kHour, 30)));
    // A budget of a meter's few minutes: a step for each meter. Between
    // them the day's readings are still there, but a folded second shows
    // only as its minute.
    QVERIFY(store.maintain(kNow, 100));
    QCOMPARE(store.rows(topic, 0, kEnd).size(), 3 + 30);
    QVERIFY(!store.maintain(kNow, 100));
    QVERIFY2(store.isOpen(), qPrintable(store.problem().detail));

    QVERIFY(!tableExists(partition("reading", -40 * kDay)));
    QVERIFY(!tableExists(partition("minute", -40 * kDay)));
    QVERIFY(!tableExists(partition("reading", -3 * kDay)));
    QVERIFY(tableExists(partition("minute", -3 * kDay)));
    QVERIFY(tableExists(partition("reading", 0)));
    QVERIFY(tableExists(partition("reading", kDay)));

    const QVector<StoredRow> rows = store.rows(topic, 0, kEnd);
    QCOMPARE(rows.size(), 3 + 30);
    QCOMPARE(rows.at(0).second, kNow - 3 * kDay);
    QCOMPARE(rows.at(0).span, 60);
    QCOMPARE(rows.at(0).least.voltage, 200);
    QCOMPARE(rows.at(0).greatest.voltage, 260);
    QCOMPARE(rows.at(2).last.numStarts, 179);
    QCOMPARE(rows.at(3).span, 1);
    QCOMPARE(store.rows(QStringLiteral("plant/pump"), 0, kEnd).size(), 1);
}

// A database of the first schema gains the event log; events come back
// newest first and go with the readings' retention.
void tst_PostgresHistoryStore::eventLogOfAnOlderSchema()
{
    {
        PostgresHistoryStore store;
        QVERIFY(store.open(connection(), HistoryStore::fileRetention(30)));
    }
    QVERIFY(m_server.execute(QStringLiteral("DROP TABLE zelmar.event")));
    QVERIFY(m_server.execute(QStringLiteral("UPDATE zelmar.schema_version SET version = 1")));
    PostgresHistoryStore store;
    QVERIFY2(store.open(connection(), HistoryStore::fileRetention(30)), qPrintable(store.problem().detail));
    QCOMPARE(m_server.query(QStringLiteral("SELECT version FROM zelmar.schema_version")),
             QStringList{QString::number(PostgresHistoryStore::kSchemaVersion)});
    const HistoryEvent old{(kNow - 40 * kDay) * 1000, 1, QStringLiteral("plant/boiler"),
                           QStringLiteral("Boiler"),  0, 0};
    const HistoryEvent plant{kNow * 1000, 4, QString(), QString(), 0, 0};
    const HistoryEvent limit{kNow * 1000 - 5, 2, QStringLiteral("plant/pump"), QStringLiteral("Pump"), 251, 242};
    QVERIFY(store.writeEvents({old, plant}));
    QVERIFY(store.writeEvents({limit}));
    const auto kinds = [&store] {
        QVector<int> result;
        for (const HistoryEvent &event : store.events(10))
            result.append(event.kind);
        return result;
    };
    QCOMPARE(kinds(), (QVector<int>{2, 4, 1}));
    const HistoryEvent stored = store.events(1).constFirst();
    QCOMPARE(stored.meter, limit.meter);
    QCOMPARE(stored.value, 251);
    QCOMPARE(stored.limit, 242);
    QVERIFY(!store.maintain(kNow, 1000));
    QCOMPARE(kinds(), (QVector<int>{2, 4}));
}

// A store that cannot connect says why, in libpq's words, at once, and never
// with the password.
void tst_PostgresHistoryStore::failedConnectionIsNamed_data()
{
    QTest::addColumn<QString>("what");
    QTest::addColumn<QString>("detail");

    QTest::newRow("wrong password") << "password"
                                    << "password authentication failed";
    QTest::newRow("no such database") << "database"
                                      << "does not exist";
    QTest::newRow("nobody listening") << "port"
                                      << "Connection refused";
}

void tst_PostgresHistoryStore::failedConnectionIsNamed()
{
    QFETCH(QString, what);
    QFETCH(QString, detail);
    PostgresConnection connection = this->connection();
    if (what == QLatin1String("password")) {
        connection.password = QStringLiteral("not-the-secret");
    } else if (what == QLatin1String("database")) {
        connection.database = QStringLiteral("nowhere");
    } else {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        connection.port = closed.serverPort();
    }
    PostgresHistoryStore store;
    QVERIFY(!store.open(connection, HistoryStore::fileRetention(30)));
    QCOMPARE(store.problem().kind, HistoryProblem::CannotOpen);
    QVERIFY2(store.problem().detail.contains(detail), qPrintable(store.problem().detail));
    QVERIFY(!store.problem().detail.contains(connection.password));
    QCOMPARE(store.problem().fileName, PostgresHistoryStore::describe(connection));
}

// A server gone under an open store fails the next write; once it is back a
// new open finds everything written before.
void tst_PostgresHistoryStore::lostServerFailsTheStore()
{
    const QString topic = QStringLiteral("plant/boiler");
    PostgresHistoryStore store;
    QVERIFY(store.open(connection(), HistoryStore::fileRetention(30)));
    QVERIFY(store.write(rowsFrom(topic, 0, 10)));
    QVERIFY(m_server.kill());
    QVERIFY(!store.write(rowsFrom(topic, 10, 10)));
    QVERIFY(!store.isOpen());
    QCOMPARE(store.problem().kind, HistoryProblem::Failed);

    QVERIFY(m_server.start());
    QVERIFY(store.open(connection(), HistoryStore::fileRetention(30)));
    QCOMPARE(store.rows(topic, 0, kEnd).size(), 10);
}

QTEST_GUILESS_MAIN(tst_PostgresHistoryStore)
#include "tst_postgreshistorystore.moc"
