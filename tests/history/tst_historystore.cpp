#include "common/filesizelimit.h"
#include "common/testclock.h"
#include "history/historyrecorder.h"
#include "history/historystore.h"
#include "history/memoryhistorystore.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <tuple>

Q_DECLARE_METATYPE(HistoryProblem::Kind)

namespace {

// (offset from kNow, span) of stored rows.
using Shape = QList<QPair<qint64, int>>;

// A fixed "now" for the store's retention, on a minute boundary.
constexpr qint64 kNow = 1800000000;
constexpr qint64 kHour = 3600;
constexpr qint64 kDay = 24 * kHour;

// The argument that makes the test binary the recording child of sigkillLeavesSoundDatabase().
const QString kChildArgument = QStringLiteral("--record-until-killed");

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

// One row per second for each offset from kNow in [first, first + count).
QVector<HistoryRow> rowsFrom(const QString &topic, qint64 first, int count)
{
    QVector<HistoryRow> rows;
    for (int i = 0; i < count; ++i)
        rows.append({topic, kNow + first + i, readingWith(200 + (i * 37) % 61)});
    return rows;
}

// (offset from kNow, span) of every row stored for the topic.
Shape storedShape(HistoryStore &store, const QString &topic)
{
    Shape shape;
    for (const StoredRow &row : store.rows(topic, 0, kNow + kDay))
        shape.append({row.second - kNow, row.span});
    return shape;
}

// A pragma's value as another connection to the file reads it.
QString filePragma(const QString &fileName, const QString &pragma)
{
    QString value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("pragma"));
        db.setDatabaseName(fileName);
        QSqlQuery query(db);
        if (db.open() && query.exec(QStringLiteral("PRAGMA ") + pragma) && query.next())
            value = query.value(0).toString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("pragma"));
    return value;
}

// A file as the first version of the schema made it (one reading per meter
// and second), holding `count` seconds of the meter from `first` on.
bool writeFirstVersionFile(const QString &fileName, const QString &topic, qint64 first, int count, int voltage)
{
    QString readingColumns;
    QString minuteColumns;
    for (const HistoryField field : HistoryStore::allFields()) {
        const QString key = historyFieldKey(field);
        readingColumns += QStringLiteral(", %1 INTEGER NOT NULL").arg(key);
        for (const char *suffix : {"_min", "_max", "_last"})
            minuteColumns += QStringLiteral(", %1%2 INTEGER NOT NULL").arg(key, QLatin1String(suffix));
    }
    QStringList statements = {
        QStringLiteral("CREATE TABLE meter(id INTEGER PRIMARY KEY, topic TEXT NOT NULL UNIQUE)"),
        QStringLiteral("CREATE TABLE reading(meter INTEGER NOT NULL, t INTEGER NOT NULL%1, PRIMARY KEY(meter, t)) "
                       "WITHOUT ROWID")
            .arg(readingColumns),
        QStringLiteral("CREATE TABLE minute(meter INTEGER NOT NULL, t INTEGER NOT NULL%1, PRIMARY KEY(meter, t)) "
                       "WITHOUT ROWID")
            .arg(minuteColumns),
        QStringLiteral("INSERT INTO meter VALUES(1, '%1')").arg(topic),
        QStringLiteral("PRAGMA user_version=1"),
    };
    for (int i = 0; i < count; ++i) {
        const Reading reading = readingWith(voltage + i);
        QStringList values;
        for (const HistoryField field : HistoryStore::allFields())
            values.append(QString::number(historyFieldValue(reading, field)));
        statements.append(
            QStringLiteral("INSERT INTO reading VALUES(1, %1, %2)").arg(first + i).arg(values.join(QLatin1Char(','))));
    }
    bool done = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("first version"));
        db.setDatabaseName(fileName);
        done = db.open();
        QSqlQuery query(db);
        for (const QString &statement : statements)
            done = done && query.exec(statement);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("first version"));
    return done;
}

// What a child records until it is killed: three meters, as fast as the
// event loop goes, with the wall clock's seconds. It says "written" after
// every batch that reached the file.
int recordUntilKilled(const QString &fileName)
{
    HistoryRecorder recorder(fileName);
    QObject::connect(&recorder, &HistoryRecorder::written, &recorder, [] {
        std::printf("written %lld\n", QDateTime::currentSecsSinceEpoch());
        std::fflush(stdout);
    });
    QTimer load;
    int n = 0;
    QObject::connect(&load, &QTimer::timeout, &recorder, [&] {
        for (const char *topic : {"plant/1", "plant/2", "plant/3"})
            recorder.record(QLatin1String(topic), readingWith(220 + n++ % 20), QDateTime::currentSecsSinceEpoch());
    });
    load.start(2);
    return QCoreApplication::exec();
}

} // namespace

class tst_HistoryStore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void oneRowPerMeterPerSecond();
    void retention_data();
    void retention();
    void clockSetBackKeepsReadings_data();
    void clockSetBackKeepsReadings();
    void clockSetAheadKeepsRows_data();
    void clockSetAheadKeepsRows();
    void chartThinsToPixelColumns();
    void filesAreOwnerOnly();
    void fileGivesBackFreePages_data();
    void fileGivesBackFreePages();
    void twoProgramsShareOneFile();
    void unusableFileStopsRecording_data();
    void unusableFileStopsRecording();
    void recordingResumesWhenFileIsBack_data();
    void recordingResumesWhenFileIsBack();
    void readingsBeyondMemoryAreCounted();
    void anotherProgramsLockIsWaitedFor();
    void fileGoneIsOpenedAgain_data();
    void fileGoneIsOpenedAgain();
    void sigkillLeavesSoundDatabase();
    void eventsAreKeptAsLongAsReadings_data();
    void eventsAreKeptAsLongAsReadings();

private:
    QString filePath() const { return HistoryRecorder::fileNameIn(m_dir->path()); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

void tst_HistoryStore::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void tst_HistoryStore::cleanup()
{
    m_dir.reset();
}

// A flood keeps one row per meter per second, the last reading of that
// second, whether or not a flush falls inside the second; and the rows are
// still there when the file is opened again.
void tst_HistoryStore::oneRowPerMeterPerSecond()
{
    const QStringList topics = {QStringLiteral("plant/1"), QStringLiteral("plant/2"), QStringLiteral("цех/3")};
    constexpr int kReadings = 30000;
    constexpr int kSeconds = 6;
    constexpr int kFlushEvery = 4999;
    int written = 0;
    {
        HistoryRecorder recorder(filePath());
        connect(&recorder, &HistoryRecorder::written, this, [&written](int rows) { written += rows; });
        for (int i = 0; i < kReadings; ++i) {
            recorder.record(topics.at(i % 3), readingWith(i), kNow + qint64(i) * kSeconds / kReadings);
            if (i % kFlushEvery == 0)
                recorder.flush();
        }
        recorder.flush();
        // Answered after every batch before it, and so after their written().
        QSignalSpy answered(&recorder, &HistoryRecorder::rowsReady);
        recorder.requestRows(topics.at(0), 0, 0);
        QVERIFY(answered.wait());
    }
    // A flush within a second writes that second again (the later reading replaces the row).
    const int flushes = kReadings / kFlushEvery + 2;
    QVERIFY2(written <= topics.size() * (kSeconds + flushes), qPrintable(QString::number(written)));
    HistoryStore store;
    QVERIFY(store.open(filePath(), HistoryStore::fileRetention(30)));
    for (int t = 0; t < topics.size(); ++t) {
        const QVector<StoredRow> rows = store.rows(topics.at(t), 0, kNow + kDay);
        QCOMPARE(rows.size(), kSeconds);
        for (int s = 0; s < kSeconds; ++s) {
            // The last i of this topic whose second is s.
            int last = -1;
            for (int i = t; i < kReadings; i += 3) {
                if (qint64(i) * kSeconds / kReadings == s)
                    last = i;
            }
            QCOMPARE(rows.at(s).second, kNow + s);
            QCOMPARE(rows.at(s).last.voltage, last);
        }
    }
}

void tst_HistoryStore::retention_data()
{
    QTest::addColumn<int>("days"); // 0: the in-memory store
    QTest::addColumn<int>("meters");
    QTest::addColumn<qint64>("first");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("passes"); // over the same seconds: a clock set back
    QTest::addColumn<Shape>("expected");
    QTest::addColumn<int>("plant"); // the in-memory store: how many meters it is sized for

    QTest::newRow("the last day stays at full resolution")
        << 30 << 1 << -kDay + 60 << 3 << 1 << Shape{{-kDay + 60, 1}, {-kDay + 61, 1}, {-kDay + 62, 1}} << 1;
    QTest::newRow("older rows fold into one row per minute")
        << 30 << 1 << -2 * kDay - 30 << 150 << 1 << Shape{{-2 * kDay - 60, 60}, {-2 * kDay, 60}, {-2 * kDay + 60, 60}}
        << 1;
    QTest::newRow("folding stops at the day's edge")
        << 30 << 1 << -kDay - 90 << 92 << 1
        << Shape{{-kDay - 120, 60}, {-kDay - 60, 60}, {-kDay + 0, 1}, {-kDay + 1, 1}} << 1;
    QTest::newRow("rows past Days go") << 2 << 1 << -2 * kDay - 120 << 180 << 1 << Shape{{-2 * kDay, 60}} << 1;
    QTest::newRow("memory keeps the last hour")
        << 0 << 1 << -kHour - 2 << 4 << 1 << Shape{{-kHour, 1}, {-kHour + 1, 1}} << 1;
    // A million rows hold the hour of a few hundred meters: ten thousand keep 104 s.
    QTest::newRow("memory of a large plant keeps a shorter span")
        << 0 << 1 << qint64(-106) << 4 << 1 << Shape{{-104, 1}, {-103, 1}} << 10000;
    // Steps that end within one meter's rows, and steps that end under budget: every meter gets its turn.
    QTest::newRow("every meter gets its turn")
        << 30 << 5 << -2 * kDay - 30 << 150 << 1 << Shape{{-2 * kDay - 60, 60}, {-2 * kDay, 60}, {-2 * kDay + 60, 60}}
        << 1;
    QTest::newRow("readings of a clock set back fold with the others")
        << 30 << 1 << -2 * kDay - 30 << 150 << 3 << Shape{{-2 * kDay - 60, 60}, {-2 * kDay, 60}, {-2 * kDay + 60, 60}}
        << 1;
    QTest::newRow("readings of a clock set back go with the others")
        << 2 << 1 << -2 * kDay - 120 << 180 << 2 << Shape{{-2 * kDay, 60}} << 1;
}

// Retention as of kNow, in steps small enough to need several: what stays
// of each meter, at what resolution; a folded minute keeps the extremes and
// the last value.
void tst_HistoryStore::retention()
{
    QFETCH(int, days);
    QFETCH(int, meters);
    QFETCH(qint64, first);
    QFETCH(int, count);
    QFETCH(int, passes);
    QFETCH(Shape, expected);
    QFETCH(int, plant);

    HistoryStore store;
    QVERIFY(store.open(days > 0 ? filePath() : QString(),
                       days > 0 ? HistoryStore::fileRetention(days) : MemoryHistoryStore::retention(plant)));
    QStringList topics;
    for (int m = 1; m <= meters; ++m)
        topics.append(QStringLiteral("plant/%1").arg(m));
    // Each meter is first seen with a row beyond the range looked at, so
    // that retention has found nothing due before the older rows come.
    for (const QString &topic : topics)
        QVERIFY(store.write(rowsFrom(topic, 2 * kDay, 1)));
    QVERIFY(!store.maintain(kNow, 130));
    QVector<HistoryRow> written;
    for (int pass = 0; pass < passes; ++pass) {
        QVector<HistoryRow> rows = rowsFrom(topics.at(0), first, count);
        for (HistoryRow &row : rows) {
            row.reading.voltage += 100 * pass;
            row.reading.tCommon += 100 * pass;
        }
        written += rows;
    }
    for (const QString &topic : topics) {
        QVector<HistoryRow> rows = written;
        for (HistoryRow &row : rows)
            row.topic = topic;
        QVERIFY(store.write(rows));
    }

    int steps = 0;
    while (store.maintain(kNow, 130))
        ++steps;
    QVERIFY(store.problem().kind == HistoryProblem::None);
    QVERIFY2(count * passes * meters <= 130 || steps > 0, "a step must not take more than its budget");
    for (const QString &topic : topics)
        QCOMPARE(storedShape(store, topic), expected);

    const QString topic = topics.constLast();
    for (const StoredRow &row : store.rows(topic, 0, kNow)) {
        int least = INT_MAX;
        int greatest = INT_MIN;
        int last = 0;
        for (const HistoryRow &w : written) {
            if (w.second >= row.second && w.second < row.second + row.span) {
                least = qMin(least, w.reading.voltage);
                greatest = qMax(greatest, w.reading.voltage);
                last = w.reading.voltage;
            }
        }
        QCOMPARE(row.least.voltage, least);
        QCOMPARE(row.greatest.voltage, greatest);
        QCOMPARE(row.last.voltage, last);
        QCOMPARE(row.last.tCommon, 360000 + last);
    }
}

void tst_HistoryStore::clockSetBackKeepsReadings_data()
{
    QTest::addColumn<bool>("firstVersionFile");

    QTest::newRow("a new file") << false;
    // One reading per second, keyed (meter, t): its rows move to the new table once.
    QTest::newRow("a file of the first version") << true;
}

// A clock set back 15 s stamps new readings with seconds already stored:
// they are kept beside the stored ones, each after the one that came first,
// and a later reading within the same second still replaces its row.
void tst_HistoryStore::clockSetBackKeepsReadings()
{
    QFETCH(bool, firstVersionFile);

    const QString topic = QStringLiteral("plant/1");
    if (firstVersionFile)
        QVERIFY(writeFirstVersionFile(filePath(), topic, kNow, 15, 200));
    HistoryRecorder recorder(filePath());
    const auto pass = [&](int voltage) {
        for (int i = 0; i < 15; ++i) {
            if (i == 7) {
                recorder.record(topic, readingWith(1), kNow + i);
                recorder.flush();
            }
            recorder.record(topic, readingWith(voltage + i), kNow + i);
        }
        recorder.flush();
    };
    if (!firstVersionFile)
        pass(200);
    pass(300);
    QSignalSpy answered(&recorder, &HistoryRecorder::rowsReady);
    recorder.requestRows(topic, 0, kNow + kDay);
    QVERIFY(answered.wait());

    QVector<int> voltages;
    for (const StoredRow &row : answered.at(0).at(1).value<QVector<StoredRow>>())
        voltages.append(row.last.voltage);
    QVector<int> expected;
    for (int i = 0; i < 15; ++i)
        expected << 200 + i << 300 + i;
    QCOMPARE(voltages, expected);
}

void tst_HistoryStore::clockSetAheadKeepsRows_data()
{
    QTest::addColumn<qint64>("ahead");

    // A month would remove every row, two days fold every second into minutes.
    QTest::newRow("a month ahead") << 31 * kDay;
    QTest::newRow("two days ahead") << 2 * kDay;
}

// A program started with the clock far ahead of the newest row keeps every
// row as it was, and says why retention waits.
void tst_HistoryStore::clockSetAheadKeepsRows()
{
    QFETCH(qint64, ahead);

    const QString topic = QStringLiteral("plant/1");
    const auto clock = std::make_shared<TestClock>(kNow);
    {
        HistoryRecorder recorder(filePath(), 30, {clock});
        QSignalSpy written(&recorder, &HistoryRecorder::written);
        for (qint64 second = -124; second <= 0; ++second)
            recorder.record(topic, readingWith(int(second)), kNow + second);
        recorder.flush();
        QVERIFY(written.wait());
    }
    clock->set(kNow + ahead);
    HistoryRecorder recorder(filePath(), 30, {clock});
    QSignalSpy doubt(&recorder, &HistoryRecorder::clockDoubtChanged);
    QVERIFY(doubt.wait());
    QCOMPARE(doubt.at(0).at(0).value<ClockDoubt>(), ClockDoubt::Ahead);
    QCOMPARE(HistoryRecorder::describe(recorder.clockDoubt()),
             QStringLiteral("Часы компьютера ушли вперёд: очистка истории отложена"));

    QSignalSpy answered(&recorder, &HistoryRecorder::rowsReady);
    recorder.requestRows(topic, 0, kNow + ahead);
    QVERIFY(answered.wait());
    const auto rows = answered.at(0).at(1).value<QVector<StoredRow>>();
    QCOMPARE(rows.size(), 125);
    QVERIFY(std::all_of(rows.begin(), rows.end(), [](const StoredRow &row) { return row.span == 1; }));
}

// However many rows a range holds, a curve gets at most two points per pixel
// column, among them the range's extremes, and a silence starts a new stretch.
void tst_HistoryStore::chartThinsToPixelColumns()
{
    const QString topic = QStringLiteral("plant/1");
    HistoryStore store;
    QVERIFY(store.open(filePath(), HistoryStore::fileRetention(30)));
    QVector<HistoryRow> rows = rowsFrom(topic, -6 * kHour, 2 * kHour);
    rows += rowsFrom(topic, -3 * kHour, 3 * kHour);
    rows[1000].reading.voltage = 1;
    rows[9000].reading.voltage = 999;
    QVERIFY(store.write(rows));

    HistoryChartRequest request{topic, 0, kNow, 500, {HistoryField::Voltage}};
    const HistoryChart chart = store.chart(request);
    QCOMPARE(chart.storedRows, rows.size());
    QCOMPARE(chart.from, kNow - 6 * kHour);
    const HistorySeries &voltage = chart.series.at(0);
    QVERIFY2(voltage.points.size() <= 2 * 500 + 4, qPrintable(QString::number(voltage.points.size())));
    QCOMPARE(voltage.stretchStarts.size(), 2);
    QVERIFY(voltage.points.at(voltage.stretchStarts.at(1) - 1).x() < double(kNow - 4 * kHour) * 1000);
    QVERIFY(voltage.points.at(voltage.stretchStarts.at(1)).x() >= double(kNow - 3 * kHour) * 1000);
    double least = 1e9;
    double greatest = -1e9;
    for (const QPointF &point : voltage.points) {
        least = qMin(least, point.y());
        greatest = qMax(greatest, point.y());
    }
    QCOMPARE(least, 1.0);
    QCOMPARE(greatest, 999.0);
}

// Plant data are private, as Settings.conf is: the file, its log and its
// index, whatever the umask lets others have.
void tst_HistoryStore::filesAreOwnerOnly()
{
    const mode_t umaskBefore = umask(022);
    {
        HistoryStore store;
        QVERIFY(store.open(filePath(), HistoryStore::fileRetention(30)));
        QVERIFY(store.write(rowsFrom(QStringLiteral("plant/1"), 0, 10)));
        for (const char *suffix : {"", "-wal", "-shm"}) {
            const QFileDevice::Permissions others =
                QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ReadOther | QFileDevice::WriteOther;
            QVERIFY2((QFile::permissions(filePath() + QLatin1String(suffix)) & others) == 0, suffix);
        }
    }
    umask(umaskBefore);
}

void tst_HistoryStore::fileGivesBackFreePages_data()
{
    QTest::addColumn<bool>("walHeaderFirst");

    QTest::newRow("a new file") << false;
    // As files were made before auto_vacuum was set ahead of the write-ahead log.
    QTest::newRow("a file whose header came without it") << true;
}

// Pages freed by retention can go back to the file system only in a file
// laid out for incremental vacuum.
void tst_HistoryStore::fileGivesBackFreePages()
{
    QFETCH(bool, walHeaderFirst);

    if (walHeaderFirst)
        QCOMPARE(filePragma(filePath(), QStringLiteral("journal_mode=WAL")), QStringLiteral("wal"));
    HistoryStore store;
    QVERIFY(store.open(filePath(), HistoryStore::fileRetention(30)));
    QVERIFY(store.write(rowsFrom(QStringLiteral("plant/1"), -kHour, 60)));
    store.maintain(kNow, 5000);
    QCOMPARE(filePragma(filePath(), QStringLiteral("auto_vacuum")), QStringLiteral("2"));
}

// Two copies of the program started at once both find no file: whichever
// creates the tables second finds them there and uses them. Both then see
// the same meters, new to either, and record them side by side.
void tst_HistoryStore::twoProgramsShareOneFile()
{
    for (int round = 0; round < 20; ++round) {
        const QString fileName = m_dir->filePath(QStringLiteral("history-%1.sqlite").arg(round));
        QSemaphore ready;
        QSemaphore go;
        HistoryProblem problems[2];
        const auto open = [&](HistoryProblem *problem) {
            HistoryStore store;
            ready.release();
            go.acquire();
            store.open(fileName, HistoryStore::fileRetention(30));
            *problem = store.problem();
        };
        std::unique_ptr<QThread> threads[2] = {std::unique_ptr<QThread>(QThread::create(open, &problems[0])),
                                               std::unique_ptr<QThread>(QThread::create(open, &problems[1]))};
        for (auto &thread : threads)
            thread->start();
        ready.acquire(2);
        go.release(2);
        for (auto &thread : threads)
            QVERIFY(thread->wait());
        for (const HistoryProblem &problem : problems)
            QVERIFY2(problem.kind == HistoryProblem::None, qPrintable(problem.detail));
    }

    const QString topic = QStringLiteral("plant/1");
    HistoryStore stores[2];
    for (HistoryStore &store : stores)
        QVERIFY(store.open(filePath(), HistoryStore::fileRetention(30)));
    QVERIFY(stores[0].write(rowsFrom(topic, 0, 1)));
    QVERIFY2(stores[1].write(rowsFrom(topic, 1, 1)), qPrintable(stores[1].problem().detail));
    QCOMPARE(storedShape(stores[0], topic), (Shape{{0, 1}, {1, 1}}));
}

void tst_HistoryStore::unusableFileStopsRecording_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<HistoryProblem::Kind>("kind");

    QTest::newRow("not a database") << QStringLiteral("text") << HistoryProblem::Damaged;
    QTest::newRow("damaged pages") << QStringLiteral("pages") << HistoryProblem::Damaged;
    QTest::newRow("a folder in its place") << QStringLiteral("folder") << HistoryProblem::CannotOpen;
    QTest::newRow("the file cannot grow") << QStringLiteral("limit") << HistoryProblem::Failed;
}

// A file that cannot be used stops recording with a reason, a damaged one is
// moved aside whole, and the readings go on in memory for the chart.
void tst_HistoryStore::unusableFileStopsRecording()
{
    QFETCH(QString, damage);
    QFETCH(HistoryProblem::Kind, kind);

    const QString topic = QStringLiteral("plant/1");
    QByteArray original;
    if (damage == QLatin1String("text")) {
        original = QByteArray("[MQTT]\nHost=localhost\n").repeated(300);
    } else if (damage == QLatin1String("pages")) {
        {
            HistoryStore store;
            QVERIFY(store.open(filePath(), HistoryStore::fileRetention(30)));
            QVERIFY(store.write(rowsFrom(topic, -kHour, 3000)));
        }
        QFile file(filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        original = file.readAll();
        QVERIFY(original.size() > 8 * 4096);
        // Everything but the header page: the tables' roots are in there.
        original.replace(4096, original.size() - 4096, QByteArray(original.size() - 4096, '\x5a'));
    } else if (damage == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(filePath()));
    }
    if (!original.isEmpty()) {
        QFile file(filePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(original), qint64(original.size()));
    }

    // A limit on file size stands in for a full disk: root passes every permission check.
    rlimit saved{};
    const bool limitSize = damage == QLatin1String("limit");
    if (limitSize) {
        std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit small = saved;
        small.rlim_cur = 64 * 1024;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    }

    HistoryRecorder recorder(filePath());
    QSignalSpy stopped(&recorder, &HistoryRecorder::stopped);
    QSignalSpy answered(&recorder, &HistoryRecorder::rowsReady);
    for (qint64 second = 0; second < 2000; ++second)
        recorder.record(topic, readingWith(int(second)), kNow + second);
    recorder.flush();
    const bool wasStopped = stopped.wait(10000);
    if (limitSize)
        setrlimit(RLIMIT_FSIZE, &saved);
    QVERIFY(wasStopped);

    const auto problem = stopped.at(0).at(0).value<HistoryProblem>();
    QCOMPARE(problem.kind, kind);
    QVERIFY(!recorder.recordsToDisk());
    QVERIFY(HistoryRecorder::describe(problem).startsWith(QStringLiteral("История не записывается: ")));
    if (kind == HistoryProblem::Damaged) {
        QVERIFY(problem.movedTo.startsWith(filePath() + QStringLiteral(".damaged-")));
        QFile moved(problem.movedTo);
        QVERIFY(moved.open(QIODevice::ReadOnly));
        QCOMPARE(moved.readAll(), original);
        QVERIFY(!QFile::exists(filePath()));
    }

    recorder.record(topic, readingWith(5000), kNow + 5000);
    recorder.flush();
    recorder.requestRows(topic, kNow + 5000, kNow + 5000);
    QVERIFY(answered.wait(10000));
    const auto rows = answered.at(0).at(1).value<QVector<StoredRow>>();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.at(0).last.voltage, 5000);
}

void tst_HistoryStore::recordingResumesWhenFileIsBack_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("linked"); // history.sqlite a link to a file in another folder

    QTest::newRow("a folder in its place, removed") << QStringLiteral("folder") << false;
    QTest::newRow("a full disk, freed") << QStringLiteral("full") << false;
    QTest::newRow("a damaged file, moved aside") << QStringLiteral("damaged") << false;
    // The file the link points to goes aside; the link stays and the new file is made where it points.
    QTest::newRow("a damaged file behind a link, moved aside") << QStringLiteral("damaged") << true;
}

// A failure does not stop recording for the session: the file is tried again
// and, once it takes rows, gets what was recorded meanwhile.
void tst_HistoryStore::recordingResumesWhenFileIsBack()
{
    QFETCH(QString, fault);
    QFETCH(bool, linked);

    const QString topic = QStringLiteral("plant/1");
    const QString linkedFolder = m_dir->filePath(QStringLiteral("data"));
    const QString linkedFile = QDir(linkedFolder).filePath(QStringLiteral("plant.sqlite"));
    if (linked)
        QVERIFY(QDir().mkpath(linkedFolder) && QFile::link(linkedFile, filePath()));
    if (fault == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(filePath()));
    if (fault == QLatin1String("damaged")) {
        QFile file(linked ? linkedFile : filePath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(QByteArray(8192, 'x')) == 8192);
    }
    HistoryOptions options;
    options.firstRetryMs = 20;
    options.lastRetryMs = 100;
    std::unique_ptr<FileSizeLimit> full;
    if (fault == QLatin1String("full"))
        full = std::make_unique<FileSizeLimit>(64 * 1024);

    auto recorder = std::make_unique<HistoryRecorder>(filePath(), 30, options);
    QSignalSpy stopped(recorder.get(), &HistoryRecorder::stopped);
    QSignalSpy resumed(recorder.get(), &HistoryRecorder::resumed);
    for (qint64 second = 0; second < 2000; ++second)
        recorder->record(topic, readingWith(int(second)), kNow + second);
    recorder->flush();
    QTRY_COMPARE(stopped.size(), 1);
    QVERIFY(!recorder->recordsToDisk());
    if (fault == QLatin1String("folder"))
        QVERIFY(QDir(filePath()).removeRecursively());
    full.reset();

    QVERIFY(resumed.wait());
    QVERIFY(recorder->recordsToDisk());
    recorder.reset();
    if (linked) {
        QVERIFY(QFileInfo(filePath()).isSymLink());
        QVERIFY(QFileInfo(linkedFile).isFile());
        QCOMPARE(QDir(linkedFolder).entryList({QStringLiteral("plant.sqlite.damaged-*")}).size(), 1);
    }
    HistoryStore store;
    QVERIFY(store.open(filePath(), HistoryStore::fileRetention(30)));
    QCOMPARE(store.rows(topic, 0, kNow + kDay).size(), 2000);
}

// While the file fails, the memory keeps what it may (here a minute); what
// no longer fits is counted, and the count said once the file is back.
void tst_HistoryStore::readingsBeyondMemoryAreCounted()
{
    const QString topic = QStringLiteral("plant/1");
    QVERIFY(QDir().mkpath(filePath()));
    HistoryOptions options;
    options.clock = std::make_shared<TestClock>(kNow + 200);
    options.firstRetryMs = 20;
    options.lastRetryMs = 100;
    options.fallbackSeconds = 60;
    HistoryRecorder recorder(filePath(), 30, options);
    QSignalSpy notices(&recorder, &HistoryRecorder::notice);
    for (qint64 second = 0; second < 200; ++second)
        recorder.record(topic, readingWith(int(second)), kNow + second);
    recorder.flush();
    QTRY_COMPARE_WITH_TIMEOUT(recorder.lostReadings(), qint64(140), 10000);

    QVERIFY(QDir(filePath()).removeRecursively());
    QTRY_VERIFY(recorder.recordsToDisk());
    QVERIFY(notices.constLast().at(0).toString().endsWith(QStringLiteral("потеряны показания: 140")));
    HistoryStore store;
    QVERIFY(store.open(filePath(), HistoryStore::fileRetention(30)));
    QCOMPARE(store.rows(topic, 0, kNow + kDay).size(), 60);
}

// A write lock held for a few seconds, as a database browser holds it while a
// row is edited, is waited for rather than taken for a failure.
void tst_HistoryStore::anotherProgramsLockIsWaitedFor()
{
    const QString topic = QStringLiteral("plant/1");
    HistoryRecorder recorder(filePath());
    QSignalSpy stopped(&recorder, &HistoryRecorder::stopped);
    QSignalSpy written(&recorder, &HistoryRecorder::written);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("browser"));
        db.setDatabaseName(filePath());
        QVERIFY(db.open());
        QSqlQuery lock(db);
        QVERIFY(lock.exec(QStringLiteral("BEGIN IMMEDIATE")));
        QTimer::singleShot(2500, &recorder, [&lock] { lock.exec(QStringLiteral("COMMIT")); });
        recorder.record(topic, readingWith(230), kNow);
        recorder.flush();
        QVERIFY(written.wait(20000));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("browser"));
    QCOMPARE(stopped.size(), 0);
}

void tst_HistoryStore::fileGoneIsOpenedAgain_data()
{
    QTest::addColumn<bool>("backup");

    QTest::newRow("deleted") << false;
    QTest::newRow("replaced by a backup") << true;
}

// A file deleted or replaced while open is not written into the void: the
// next batch goes into the file at the path, a new one if there is none.
void tst_HistoryStore::fileGoneIsOpenedAgain()
{
    QFETCH(bool, backup);

    const QString topic = QStringLiteral("plant/1");
    const QString backupName = m_dir->filePath(QStringLiteral("backup.sqlite"));
    if (backup) {
        HistoryStore store;
        QVERIFY(store.open(backupName, HistoryStore::fileRetention(30)));
        QVERIFY(store.write(rowsFrom(topic, -100, 10)));
    }
    // The rows' seconds are the clock's: a wall clock behind them would add a
    // notice of its own once retention looks, as it does on a slow machine.
    HistoryRecorder recorder(filePath(), 30, {std::make_shared<TestClock>(kNow + 60)});
    QSignalSpy written(&recorder, &HistoryRecorder::written);
    QSignalSpy notice(&recorder, &HistoryRecorder::notice);
    recorder.record(topic, readingWith(230), kNow);
    recorder.flush();
    QVERIFY(written.wait());

    if (backup)
        QVERIFY(std::rename(QFile::encodeName(backupName).constData(), QFile::encodeName(filePath()).constData()) == 0);
    else
        QVERIFY(QFile::remove(filePath()));
    recorder.record(topic, readingWith(231), kNow + 1);
    recorder.flush();
    QVERIFY(written.wait());
    QCOMPARE(notice.size(), 1);
    QVERIFY2(notice.at(0).at(0).toString().startsWith(backup ? QStringLiteral("Файл истории history.sqlite заменён")
                                                             : QStringLiteral("Файл истории history.sqlite удалён")),
             qPrintable(notice.at(0).at(0).toString()));

    HistoryStore store;
    QVERIFY(store.open(filePath(), HistoryStore::fileRetention(30)));
    const QVector<StoredRow> rows = store.rows(topic, 0, kNow + kDay);
    QCOMPARE(rows.size(), backup ? 11 : 1);
    QCOMPARE(rows.constLast().last.voltage, 231);
}

// A recording process killed outright leaves a file that opens, passes
// SQLite's integrity check and lacks at most the last second or so.
void tst_HistoryStore::sigkillLeavesSoundDatabase()
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {kChildArgument, filePath()});
    QVERIFY(child.waitForStarted());
    int batches = 0;
    while (batches < 3) {
        QVERIFY2(child.waitForReadyRead(10000), "the child stopped writing");
        while (child.canReadLine())
            batches += child.readLine().startsWith("written") ? 1 : 0;
    }
    const qint64 killedAt = QDateTime::currentSecsSinceEpoch();
    child.kill();
    QVERIFY(child.waitForFinished());
    QCOMPARE(child.exitStatus(), QProcess::CrashExit);

    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(filePath());
        QVERIFY(db.open());
        QSqlQuery check(db);
        QVERIFY(check.exec(QStringLiteral("PRAGMA integrity_check")));
        QVERIFY(check.next());
        QCOMPARE(check.value(0).toString(), QStringLiteral("ok"));
        QVERIFY(check.exec(QStringLiteral("SELECT max(t), count(DISTINCT meter) FROM reading")));
        QVERIFY(check.next());
        QCOMPARE(check.value(1).toInt(), 3);
        QVERIFY2(
            check.value(0).toLongLong() >= killedAt - 2,
            qPrintable(QStringLiteral("last row %1, killed at %2").arg(check.value(0).toLongLong()).arg(killedAt)));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
}

void tst_HistoryStore::eventsAreKeptAsLongAsReadings_data()
{
    QTest::addColumn<int>("days"); // 0: the in-memory store
    QTest::addColumn<bool>("firstVersionFile");
    QTest::addColumn<QVector<qint64>>("kept"); // offsets from kNow, newest first

    QTest::newRow("the file keeps Days") << 2 << false
                                         << QVector<qint64>{0, -kDay, -kHour + 1, -kHour - 1, -2 * kDay + 1};
    QTest::newRow("memory keeps the last hour") << 0 << false << QVector<qint64>{0, -kHour + 1};
    QTest::newRow("a first-version file gains the log")
        << 2 << true << QVector<qint64>{0, -kDay, -kHour + 1, -kHour - 1, -2 * kDay + 1};
}

// Events in the order written (a clock set back does not reorder them), newest
// first, until retention takes them with the readings of their time.
void tst_HistoryStore::eventsAreKeptAsLongAsReadings()
{
    QFETCH(int, days);
    QFETCH(bool, firstVersionFile);
    QFETCH(QVector<qint64>, kept);

    if (firstVersionFile)
        QVERIFY(writeFirstVersionFile(filePath(), QStringLiteral("plant/1"), kNow, 5, 200));
    HistoryStore store;
    QVERIFY(store.open(days > 0 ? filePath() : QString(),
                       days > 0 ? HistoryStore::fileRetention(days) : MemoryHistoryStore::retention()));
    const QVector<qint64> written = {-3 * kDay, -2 * kDay + 1, -kHour - 1, -kHour + 1, -kDay, 0};
    QVector<HistoryEvent> events;
    for (int i = 0; i < written.size(); ++i)
        events.append({(kNow + written.at(i)) * 1000, i, QStringLiteral("plant/1"), QStringLiteral("Насос"), i, 0});
    QVERIFY(store.writeEvents(events.mid(0, 3)));
    QVERIFY(store.writeEvents(events.mid(3)));
    // Budgets smaller than what is due: retention comes back until it is done.
    while (store.maintain(kNow, 1)) {
    }
    QVERIFY(store.problem().kind == HistoryProblem::None);
    if (days > 0) {
        store.close();
        QVERIFY(store.open(filePath(), HistoryStore::fileRetention(days)));
    }
    QVector<qint64> stored;
    for (const HistoryEvent &event : store.events(100)) {
        stored.append(event.timeMs / 1000 - kNow);
        const HistoryEvent &sent = events.at(event.kind);
        QCOMPARE(std::tie(event.timeMs, event.topic, event.meter, event.value, event.limit),
                 std::tie(sent.timeMs, sent.topic, sent.meter, sent.value, sent.limit));
    }
    QCOMPARE(stored, kept);
    QCOMPARE(store.events(1).size(), 1);
}

int main(int argc, char **argv)
{
    if (argc == 3 && QLatin1String(argv[1]) == kChildArgument) {
        QCoreApplication app(argc, argv);
        return recordUntilKilled(QString::fromLocal8Bit(argv[2]));
    }
    QCoreApplication app(argc, argv);
    tst_HistoryStore test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_historystore.moc"
