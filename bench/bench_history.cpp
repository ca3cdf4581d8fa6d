// History: what a month of readings costs on disk, and how long the history
// window takes to show a week of them.
//
// The database is filled through the real store (HistoryStore::write, an hour
// of rows per transaction rather than a second, to be quick) with synthetic
// meters reporting every second for --days days up to now, while retention
// runs as the writer runs it (HistoryStore::maintain in budgeted steps), so
// the file ends as a program that ran that long would leave it: the last day
// at full resolution, the rest in minute rows.
//
// Then the real recorder opens the file, and the real history window, shown
// offscreen, is switched to "7 дн": the time from the click until both plots
// are drawn with the answer is the figure held against the target, the median
// of --repeat rounds.
//
// --screenshot FILE saves the window on the range it opens on as a PNG.

#include "benchsupport.h"

#include "history/historyrecorder.h"
#include "history/historystore.h"
#include "history/historywindow.h"
#include "history/memoryhistorystore.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

constexpr double kMaxMegabytesPerMeterMonth = 10.0;
constexpr double kMaxWeekOpenMs = 500.0;
constexpr qint64 kHour = 3600;
constexpr qint64 kDay = 24 * kHour;

// A machine on a day shift: runs of 20 to 90 minutes with stops of 5 to 40
// from six in the morning to ten at night, stopped at night; the supply sags
// in the evening peak; the meter drops off the network every night at three
// for 24 minutes, and now and then at any time.
class SyntheticMeter final
{
public:
    explicit SyntheticMeter(unsigned seed) : m_random(seed)
    {
        m_reading.devType = 10;
        m_reading.devMode = kStopped;
        m_reading.numStarts = int(uniform(50, 900));
        m_reading.tCommon = int(uniform(400, 15000)) * 3600;
        m_reading.tLast = int(uniform(600, 4000));
        m_reading.freq = 50;
    }

    // The reading for `second`, or false while the meter is silent.
    bool next(qint64 second, Reading *reading)
    {
        const QTime local = QDateTime::fromSecsSinceEpoch(second).time();
        const double hour = local.hour() + local.minute() / 60.0;
        // The plant's network goes down for its nightly maintenance, and now and then by surprise.
        if (second < m_silentUntil || (hour >= 3.0 && hour < 3.4))
            return false;
        if (uniform(0, 3 * kDay) == 0) {
            m_silentUntil = second + uniform(5 * 60, 40 * 60);
            return false;
        }
        const bool shift = hour >= 6.0 && hour < 22.0;
        const bool running = m_reading.devMode == kRunning;
        if (running && (--m_phaseLeft <= 0 || !shift)) {
            m_reading.devMode = kStopped;
            m_reading.tLast = m_reading.tCurrent;
            m_reading.tCurrent = 0;
            m_phaseLeft = uniform(5 * 60, 40 * 60);
        } else if (!running && shift && --m_phaseLeft <= 0) {
            m_reading.devMode = kRunning;
            ++m_reading.numStarts;
            m_phaseLeft = uniform(20 * 60, 90 * 60);
        }
        if (m_reading.devMode == kRunning) {
            ++m_reading.tCurrent;
            ++m_reading.tCommon;
        }
        const double evening = std::exp(-std::pow((hour - 19.0) / 1.5, 2.0));
        const double load = m_reading.devMode == kRunning ? 2.0 : 0.0;
        m_reading.voltage = int(std::lround(231.0 - 9.0 * evening - load + m_noise(m_random)));
        m_reading.freq = uniform(0, 20000) == 0 ? 49 : 50;
        *reading = m_reading;
        return true;
    }

private:
    // The meter's own mode codes: counting while the machine runs, showing while it stands.
    static constexpr int kRunning = 0;
    static constexpr int kStopped = 1;

    qint64 uniform(qint64 min, qint64 max) { return std::uniform_int_distribution<qint64>(min, max)(m_random); }

    std::mt19937 m_random;
    std::normal_distribution<> m_noise{0.0, 0.4};
    Reading m_reading;
    qint64 m_phaseLeft = 0;
    qint64 m_silentUntil = 0;
};

qint64 filesBytes(const QString &fileName)
{
    qint64 bytes = 0;
    for (const char *suffix : {"", "-wal", "-shm"})
        bytes += QFileInfo(fileName + QLatin1String(suffix)).size();
    return bytes;
}

// Fills the store with `meters` synthetic meters from `start` to `end`,
// `batch` seconds per transaction, running retention after each batch as of
// its end.
bool fill(HistoryStorage *store, int meters, qint64 start, qint64 end, qint64 batchSeconds)
{
    std::vector<SyntheticMeter> synthetic;
    for (int m = 0; m < meters; ++m)
        synthetic.emplace_back(unsigned(m + 1));
    QVector<HistoryRow> batch;
    for (qint64 batchStart = start; batchStart < end; batchStart += batchSeconds) {
        batch.clear();
        for (qint64 second = batchStart; second < std::min(end, batchStart + batchSeconds); ++second) {
            for (int m = 0; m < meters; ++m) {
                Reading reading;
                if (synthetic[std::size_t(m)].next(second, &reading))
                    batch.append({bench::meterTopic(QStringLiteral("plant/meter"), m + 1), second, reading});
            }
        }
        if (!store->write(batch))
            break;
        while (store->maintain(batchStart + batchSeconds, 5000)) {
        }
    }
    if (store->problem().kind == HistoryProblem::None)
        return true;
    std::fprintf(stderr, "bench_history: %s\n", qPrintable(store->problem().detail));
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    bench::WidgetApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int days = int(bench::longOption(args, QStringLiteral("--days"), 30));
    const int meters = int(bench::longOption(args, QStringLiteral("--meters"), 1));
    const int repeat = int(std::max(1L, bench::longOption(args, QStringLiteral("--repeat"), 5)));
    const QString screenshot = bench::stringOption(args, QStringLiteral("--screenshot"), QString());

    QTemporaryDir dir;
    const QString fileName = HistoryRecorder::fileNameIn(dir.path());
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const qint64 start = now - days * kDay;

    // Recording off: the last hour of every meter in memory.
    constexpr int kMemoryMeters = 100;
    {
        const long residentBefore = bench::residentKb();
        MemoryHistoryStore store(MemoryHistoryStore::retention());
        if (!fill(&store, kMemoryMeters, now - 2 * kHour, now, 60))
            return 1;
        bench::printRow(QStringLiteral("history"),
                        QStringLiteral("resident KB per meter for the hour kept in memory (recording off)"),
                        QString::number((bench::residentKb() - residentBefore) / kMemoryMeters));
    }

    std::fprintf(stderr, "bench_history: filling %d days of %d meters\n", days, meters);
    const qint64 fillStartNs = bench::monotonicNs();
    {
        HistoryStore store;
        if (!store.open(fileName, HistoryStore::fileRetention(30)) || !fill(&store, meters, start, now, kHour))
            return 1;
    }
    const double fillSeconds = double(bench::monotonicNs() - fillStartNs) / 1e9;
    const qint64 bytes = filesBytes(fileName);
    const double perMeter = double(bytes) / meters / 1e6;
    std::fprintf(stderr, "bench_history: filled in %.1f s, %lld bytes\n", fillSeconds, bytes);
    bench::printRow(QStringLiteral("history"),
                    QStringLiteral("database bytes per meter per day, %1 days of %2 meter(s)").arg(days).arg(meters),
                    QString::number(qint64(double(bytes) / meters / days)));
    // The last day at full resolution weighs most, so only a whole month says what a month costs.
    if (days == 30) {
        bench::printRow(QStringLiteral("history"), QStringLiteral("MB per meter for 30 days of a reading a second"),
                        bench::number(perMeter, 2), QStringLiteral("≤ %1").arg(kMaxMegabytesPerMeterMonth),
                        bench::verdictOf(perMeter <= kMaxMegabytesPerMeterMonth));
    }

    HistoryRecorder recorder(fileName);
    HistoryWindow window(&recorder, bench::meterTopic(QStringLiteral("plant/meter"), 1), QStringLiteral("Котельная"));
    window.resize(1000, 700);
    QSignalSpy shown(&window, &HistoryWindow::chartShown);
    const qint64 openStartNs = bench::monotonicNs();
    window.show();
    if (!shown.wait(30000))
        return 1;
    const double openMs = double(bench::monotonicNs() - openStartNs) / 1e6;
    if (!screenshot.isEmpty())
        window.grab().save(screenshot);

    auto *week = window.findChild<QPushButton *>(QStringLiteral("pushButtonRangeWeek"));
    auto *day = window.findChild<QPushButton *>(QStringLiteral("pushButtonRangeDay"));
    std::vector<double> weekMs;
    for (int round = 0; round < repeat; ++round) {
        day->click();
        if (!shown.wait(30000))
            return 1;
        const qint64 clickNs = bench::monotonicNs();
        week->click();
        if (!shown.wait(30000))
            return 1;
        weekMs.push_back(double(bench::monotonicNs() - clickNs) / 1e6);
    }
    std::sort(weekMs.begin(), weekMs.end());
    const double medianWeekMs = weekMs[weekMs.size() / 2];
    bench::printRow(QStringLiteral("history"), QStringLiteral("ms to open the window (1 ч, a month stored)"),
                    bench::number(openMs, 0));
    bench::printRow(QStringLiteral("history"), QStringLiteral("ms to show 7 days of one meter"),
                    bench::number(medianWeekMs, 0), QStringLiteral("< %1 ms").arg(kMaxWeekOpenMs),
                    bench::verdictOf(medianWeekMs < kMaxWeekOpenMs));
    return 0;
}
