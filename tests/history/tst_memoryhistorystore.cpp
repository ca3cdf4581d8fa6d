#include "history/historystore.h"
#include "history/memoryhistorystore.h"

#include <QtTest>

namespace {

constexpr qint64 kNow = 1800000000;
constexpr qint64 kKeep = 60;

// One thing done to both stores: rows written (meter, offset from kNow,
// voltage, replacesLast), events written (offset, kind), or a retention step.
struct Step
{
    enum Kind
    {
        Write,
        WriteEvents,
        Maintain,
    } kind = Write;
    QVector<std::tuple<int, qint64, int, bool>> rows;
    QVector<std::pair<qint64, int>> events;
    qint64 now = 0;
    int budget = 0;
};
using Script = QVector<Step>;

Step written(QVector<std::tuple<int, qint64, int, bool>> rows)
{
    return {Step::Write, std::move(rows), {}, 0, 0};
}

// Meters 0 .. meters-1, a row each second from `first` on, `count` seconds.
Step seconds(int meters, qint64 first, int count, int voltage = 200)
{
    Step step{Step::Write, {}, {}, 0, 0};
    for (int s = 0; s < count; ++s)
        for (int m = 0; m < meters; ++m)
            step.rows.append({m, first + s, voltage + s + m, false});
    return step;
}

Step eventsAt(QVector<std::pair<qint64, int>> events)
{
    return {Step::WriteEvents, {}, std::move(events), 0, 0};
}

// Retention as of `now`, in steps of `budget` until it has nothing left.
Step retained(qint64 now, int budget)
{
    return {Step::Maintain, {}, {}, now, budget};
}

QString topic(int meter)
{
    return QStringLiteral("plant/%1").arg(meter);
}

void run(HistoryStorage *store, const Script &script)
{
    for (const Step &step : script) {
        switch (step.kind) {
        case Step::Write: {
            QVector<HistoryRow> rows;
            for (const auto &[meter, offset, voltage, replacesLast] : step.rows) {
                Reading reading;
                reading.voltage = voltage;
                reading.tCommon = 1000 + voltage;
                rows.append({topic(meter), kNow + offset, reading, replacesLast});
            }
            QVERIFY(store->write(rows));
            break;
        }
        case Step::WriteEvents: {
            QVector<HistoryEvent> events;
            for (const auto &[offset, kind] : step.events)
                events.append({(kNow + offset) * 1000, kind, topic(0), QStringLiteral("Насос"), kind, 0});
            QVERIFY(store->writeEvents(events));
            break;
        }
        case Step::Maintain:
            for (int steps = 0; store->maintain(kNow + step.now, step.budget); ++steps)
                QVERIFY2(steps < 10000, "retention never ends");
            break;
        }
    }
}

// What a store holds, as the window and the catch-up read it.
QStringList contents(HistoryStorage *store, int meters)
{
    QStringList lines;
    for (int m = 0; m < meters; ++m) {
        const std::optional<qint64> oldest = store->oldestSecond(topic(m));
        lines << QStringLiteral("%1 oldest %2").arg(topic(m)).arg(oldest ? *oldest - kNow : -1);
        for (const StoredRow &row : store->rows(topic(m), kNow - 1000, kNow + 1000, HistoryStore::allFields()))
            lines << QStringLiteral("%1 %2 span %3 V %4/%5/%6 t %7")
                         .arg(topic(m))
                         .arg(row.second - kNow)
                         .arg(row.span)
                         .arg(row.least.voltage)
                         .arg(row.greatest.voltage)
                         .arg(row.last.voltage)
                         .arg(row.last.tCommon);
        // A narrower range, and fewer fields: what the chart asks.
        for (const StoredRow &row : store->rows(topic(m), kNow + 3, kNow + 5, {HistoryField::Voltage}))
            lines << QStringLiteral("%1 %2 V %3 t %4")
                         .arg(topic(m))
                         .arg(row.second - kNow)
                         .arg(row.last.voltage)
                         .arg(row.last.tCommon);
    }
    for (const HistoryEvent &event : store->events(3))
        lines << QStringLiteral("event %1 kind %2").arg(event.timeMs / 1000 - kNow).arg(event.kind);
    lines << QStringLiteral("newest %1").arg(store->newestSecond() ? *store->newestSecond() - kNow : -1);
    return lines;
}

} // namespace

Q_DECLARE_METATYPE(Script)

// The memory keeps what the SQLite store keeps, in the same order, whatever
// the clock did: the window and the catch-up into a file read either alike.
class tst_MemoryHistoryStore : public QObject
{
    Q_OBJECT

private slots:
    void keepsWhatTheDatabaseKeeps_data();
    void keepsWhatTheDatabaseKeeps();
};

void tst_MemoryHistoryStore::keepsWhatTheDatabaseKeeps_data()
{
    QTest::addColumn<int>("meters");
    QTest::addColumn<Script>("script");

    QTest::newRow("seconds in order, retention at the edge")
        << 3 << Script{seconds(3, 0, 100), retained(kKeep + 20, 5000)};
    QTest::newRow("retention in steps smaller than what is due")
        << 4 << Script{seconds(4, 0, 50), retained(kKeep + 40, 7), seconds(4, 50, 10), retained(kKeep + 55, 3)};
    QTest::newRow("a clock set back: later readings beside the stored ones")
        << 1 << Script{seconds(1, 0, 10), seconds(1, 4, 10, 300), seconds(1, 2, 3, 400)};
    QTest::newRow("a later reading takes the place of its second's last") << 2
                                                                          << Script{written({{0, 5, 1, false},
                                                                                             {0, 5, 2, true},
                                                                                             {0, 5, 3, false},
                                                                                             {0, 5, 4, true},
                                                                                             {1, 9, 5, true},
                                                                                             {1, 9, 6, true},
                                                                                             {1, 7, 7, true},
                                                                                             {0, 6, 8, false},
                                                                                             {0, 5, 9, true}})};
    QTest::newRow("retention takes extra readings with their second")
        << 1 << Script{seconds(1, 0, 8), seconds(1, 0, 8, 300), retained(kKeep + 4, 3)};
    QTest::newRow("events in the order written, kept as long as readings")
        << 1
        << Script{eventsAt({{0, 1}, {-500, 2}, {30, 3}}), eventsAt({{-2, 4}, {50, 5}}), seconds(1, 0, 3),
                  retained(kKeep + 10, 1)};
    QTest::newRow("nothing written") << 2 << Script{retained(kKeep, 10)};
}

void tst_MemoryHistoryStore::keepsWhatTheDatabaseKeeps()
{
    QFETCH(int, meters);
    QFETCH(Script, script);

    HistoryStore database;
    QVERIFY(database.open(QString(), {kKeep, kKeep}));
    run(&database, script);
    MemoryHistoryStore memory({kKeep, kKeep});
    run(&memory, script);

    QCOMPARE(contents(&memory, meters), contents(&database, meters));
    QCOMPARE(memory.removedReadings(), database.removedReadings());
    QCOMPARE(memory.problem().kind, HistoryProblem::None);
}

QTEST_GUILESS_MAIN(tst_MemoryHistoryStore)
#include "tst_memoryhistorystore.moc"
