// The shared history in PostgreSQL: whether ten thousand meters reporting
// every second can be written as they come, what that costs the writer and
// the server per reading, what a meter's day weighs in the database, and
// how long a week of one meter takes to read and thin for a chart.
//
// A private server (the tests' TestPostgres, durable: it syncs as a real one
// does) and the real store (PostgresHistoryStore). Ingest: one batch of
// --meters rows a second, each written in one transaction as the writer
// thread writes them, for --seconds seconds of wall time; the lag of a
// reading is at most the recorder's second of batching plus the write of
// its batch, held against 2 s. Weight: the table and index bytes of those
// seconds, per meter and day; and a day of --fold-meters meters folded into
// minutes by retention. Chart: one meter with a week of rows as a program
// that ran that long leaves them (the last two days every second, the days
// before in minutes), the median of --repeat charts of the week.

#include "benchsupport.h"

#include "common/testpostgres.h"
#include "history/postgreshistorystore.h"

#include <QCoreApplication>
#include <QDateTime>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr qint64 kHour = 3600;
constexpr qint64 kDay = 24 * kHour;
constexpr double kMaxLagMs = 2000.0;
constexpr double kMaxWeekChartMs = 500.0;
const QString kBench = QStringLiteral("postgres");

Reading readingOf(int meter, qint64 second)
{
    Reading reading;
    reading.devType = 10;
    reading.devMode = (second / 1800 + meter) % 2;
    reading.numStarts = 100 + int(second / 1800);
    reading.tCommon = 3600000 + int(second % 10000000);
    reading.tCurrent = int(second % 1800);
    reading.tLast = 1200;
    reading.voltage = 225 + int((second + meter) % 11);
    reading.freq = 49 + int((second / 7 + meter) % 3);
    return reading;
}

QVector<HistoryRow> batchOf(int meters, qint64 second, int firstMeter = 1)
{
    QVector<HistoryRow> rows;
    rows.reserve(meters);
    for (int meter = firstMeter; meter < firstMeter + meters; ++meter)
        rows.append({bench::meterTopic(QStringLiteral("zelmar/meter"), meter), second, readingOf(meter, second)});
    return rows;
}

qint64 tableBytes(const TestPostgres &server, const QString &table)
{
    const QStringList rows =
        server.query(QStringLiteral("SELECT coalesce(sum(pg_total_relation_size(i.inhrelid)), 0) FROM pg_inherits i "
                                    "WHERE i.inhparent = 'zelmar.%1'::regclass")
                         .arg(table));
    return rows.value(0).toLongLong();
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

PostgresConnection connectionTo(const TestPostgres &server)
{
    return {server.host(), server.port(),     server.database(),
            server.user(), server.password(), QStringLiteral("disable")};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int meters = int(bench::longOption(args, QStringLiteral("--meters"), 10000));
    const int seconds = int(bench::longOption(args, QStringLiteral("--seconds"), 30));
    const int foldMeters = int(bench::longOption(args, QStringLiteral("--fold-meters"), 20));
    const int repeat = int(std::max(1L, bench::longOption(args, QStringLiteral("--repeat"), 5)));

    const QString unavailable = TestPostgres::unavailableReason();
    if (!unavailable.isEmpty()) {
        std::fprintf(stderr, "bench_postgres: %s\n", qPrintable(unavailable));
        return 1;
    }
    TestPostgres server;
    server.setDurable(true);
    if (!server.start())
        return 1;
    PostgresHistoryStore store;
    if (!store.open(connectionTo(server), HistoryStore::fileRetention(30))) {
        std::fprintf(stderr, "bench_postgres: %s\n", qPrintable(store.problem().detail));
        return 1;
    }

    // Ingest, paced by the wall clock as the recorder's flush timer paces it.
    std::fprintf(stderr, "bench_postgres: %d meters a second for %d s\n", meters, seconds);
    if (!store.write(batchOf(meters, QDateTime::currentSecsSinceEpoch() - 1)))
        return 1;
    std::vector<double> writeMs;
    const qint64 serverCpuBefore = bench::treeCpuNs(server.serverPid());
    const qint64 ownCpuBefore = bench::ownCpuNs();
    const qint64 startNs = bench::monotonicNs();
    for (int i = 0; i < seconds; ++i) {
        const qint64 dueNs = startNs + qint64(i) * 1000000000;
        const qint64 waitNs = dueNs - bench::monotonicNs();
        if (waitNs > 0)
            std::this_thread::sleep_for(std::chrono::nanoseconds(waitNs));
        const qint64 second = QDateTime::currentSecsSinceEpoch();
        const QVector<HistoryRow> batch = batchOf(meters, second);
        const qint64 beforeNs = bench::monotonicNs();
        if (!store.write(batch)) {
            std::fprintf(stderr, "bench_postgres: %s\n", qPrintable(store.problem().detail));
            return 1;
        }
        writeMs.push_back(double(bench::monotonicNs() - beforeNs) / 1e6);
    }
    const double readings = double(meters) * seconds;
    const double ownCpuUs = double(bench::ownCpuNs() - ownCpuBefore) / 1e3 / readings;
    const double serverCpuUs = double(bench::treeCpuNs(server.serverPid()) - serverCpuBefore) / 1e3 / readings;
    const double worstWriteMs = *std::max_element(writeMs.begin(), writeMs.end());
    const double lagMs = 1000.0 + worstWriteMs;
    bench::printRow(kBench, QStringLiteral("ms to write a second of %1 meters (median / worst)").arg(meters),
                    bench::number(median(writeMs), 0) + QStringLiteral(" / ") + bench::number(worstWriteMs, 0));
    bench::printRow(kBench, QStringLiteral("worst lag of a reading, ms (1 s batching + worst write)"),
                    bench::number(lagMs, 0), QStringLiteral("≤ %1").arg(kMaxLagMs),
                    bench::verdictOf(lagMs <= kMaxLagMs));
    bench::printRow(kBench, QStringLiteral("µs CPU per reading: writer / server"),
                    bench::number(ownCpuUs, 2) + QStringLiteral(" / ") + bench::number(serverCpuUs, 2));
    const double secondBytes = double(tableBytes(server, QStringLiteral("reading"))) / (meters * (seconds + 1.0));
    bench::printRow(kBench, QStringLiteral("database bytes per meter per day at full resolution"),
                    QString::number(qint64(secondBytes * kDay)));

    // A day of readings of a few meters, folded by retention into minutes.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 foldDay = (now / kDay - 3) * kDay;
    for (qint64 second = foldDay; second < foldDay + kDay; second += kHour) {
        QVector<HistoryRow> rows;
        for (qint64 s = second; s < second + kHour; ++s)
            rows += batchOf(foldMeters, s, meters + 1);
        if (!store.write(rows))
            return 1;
    }
    const qint64 minuteBytesBefore = tableBytes(server, QStringLiteral("minute"));
    const qint64 foldStartNs = bench::monotonicNs();
    while (store.maintain(now, 100000)) {
    }
    if (!store.isOpen())
        return 1;
    const double foldSeconds = double(bench::monotonicNs() - foldStartNs) / 1e9;
    const double minuteBytes = double(tableBytes(server, QStringLiteral("minute")) - minuteBytesBefore) / foldMeters;
    bench::printRow(kBench, QStringLiteral("database bytes per meter per day in minutes"),
                    QString::number(qint64(minuteBytes)));
    bench::printRow(kBench, QStringLiteral("ms of retention to fold a meter's day"),
                    bench::number(foldSeconds * 1000.0 / foldMeters, 0));
    // A month: the day or two at full resolution and thirty in minutes.
    bench::printRow(kBench, QStringLiteral("MB per meter for 30 days of a reading a second"),
                    bench::number((1.5 * secondBytes * kDay + 30 * minuteBytes) / 1e6, 1));

    // A week of one meter as a program leaves it: five days in minutes, two every second.
    const QString topic = QStringLiteral("bench/week");
    for (qint64 second = now - 7 * kDay; second < now; second += kHour) {
        QVector<HistoryRow> rows;
        for (qint64 s = second; s < second + kHour && s < now; ++s)
            rows.append({topic, s, readingOf(1, s)});
        if (!store.write(rows))
            return 1;
    }
    while (store.maintain(now, 1000000)) {
    }
    std::vector<double> chartMs;
    int stored = 0;
    const qint64 chartOwnCpuBefore = bench::ownCpuNs();
    const qint64 chartServerCpuBefore = bench::treeCpuNs(server.serverPid());
    for (int round = 0; round < repeat; ++round) {
        const qint64 beforeNs = bench::monotonicNs();
        const HistoryChart chart =
            store.chart({topic,
                         now - 7 * kDay,
                         now,
                         1000,
                         {HistoryField::Voltage, HistoryField::Freq, HistoryField::TCurrent, HistoryField::NumStarts}});
        chartMs.push_back(double(bench::monotonicNs() - beforeNs) / 1e6);
        stored = chart.storedRows;
    }
    std::fprintf(stderr, "bench_postgres: a week of one meter is %d rows\n", stored);
    // On a busy machine the time waits for a processor as well: the CPU time says what the chart costs.
    bench::printRow(
        kBench, QStringLiteral("CPU ms per chart of 7 days: reader / server"),
        bench::number(double(bench::ownCpuNs() - chartOwnCpuBefore) / 1e6 / repeat, 0) + QStringLiteral(" / ") +
            bench::number(double(bench::treeCpuNs(server.serverPid()) - chartServerCpuBefore) / 1e6 / repeat, 0));
    const double weekMs = median(chartMs);
    bench::printRow(kBench, QStringLiteral("ms to read and thin 7 days of one meter"), bench::number(weekMs, 0),
                    QStringLiteral("< %1").arg(kMaxWeekChartMs), bench::verdictOf(weekMs < kMaxWeekChartMs));
    return store.isOpen() ? 0 : 1;
}
