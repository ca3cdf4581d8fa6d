// Memory at plant scale: the window with --meters meters (10,000) as the default settings keep
// it (recording off, so the history's last hour is kept in memory), after an hour in which
// every meter sent a reading a second.
//
// The hour is lived through in twelve minutes: the readings go through the client's received()
// signal as the client delivers them, and the board stamps them with a clock that starts an hour
// back and moves a second on after each round of all the meters, until it has caught up with the
// real one. So the history ends holding the last of the hour, as it does after an hour of
// running, with the older rows let go; and every panel has shown its readings. No meter goes
// offline meanwhile. The resident memory is read before the first reading and at the end; the
// program must then fit in 500 MB.
//
// A round takes at least 200 ms (--rounds-per-second 5): five times a plant's pace, which the
// history's writer keeps up with on a busy machine. Faster, batches would queue up for it, which
// a plant never sees, and the queue would be what is measured. --seconds shortens the hour.

#include "benchsupport.h"

#include "mainwindow/mainwindow.h"
#include "measurement/meterboard.h"
#include "mqtt/client.h"

#include <QDateTime>
#include <QLocale>
#include <QThread>

#include <cstdio>
#include <vector>

namespace {

constexpr long kMaxResidentKb = 500 * 1024;
constexpr int kMessagesPerWakeup = 64;
constexpr int kNeverOfflineMs = 24 * 3600 * 1000;
// Time for the history's last batches to reach its store once the readings stop.
constexpr int kSettleMs = 3000;

// Runs the event loop for ms of real time.
void processEventsFor(int ms)
{
    const qint64 end = bench::monotonicNs() + qint64(ms) * 1000000;
    while (bench::monotonicNs() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
}

} // namespace

int main(int argc, char **argv)
{
    bench::WidgetApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int meters = int(bench::longOption(args, QStringLiteral("--meters"), 10000));
    const QString name = QStringLiteral("memory");
    const QString prefix = QStringLiteral("memory/meter");
    const bench::SettingsDirectory dir(1883, meters, prefix);
    if (!dir.isValid()) {
        bench::printRow(name, QStringLiteral("run"), QStringLiteral("failed"), QStringLiteral("completes"),
                        bench::Verdict::Miss);
        return 1;
    }

    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    QCoreApplication::processEvents();
    auto *board = window.findChild<MeterBoard *>();
    if (!board)
        return 1;
    board->setOfflineInterval(kNeverOfflineMs);
    const qint64 spanMs = bench::longOption(args, QStringLiteral("--seconds"), 3600) * 1000;
    const qint64 roundMs =
        1000 / std::max<qint64>(1, bench::longOption(args, QStringLiteral("--rounds-per-second"), 5));
    qint64 simulatedMs = QDateTime::currentMSecsSinceEpoch() - spanMs;
    board->setWallClock([&simulatedMs] { return simulatedMs; });

    std::vector<QString> topics;
    for (int i = 1; i <= meters; ++i)
        topics.push_back(bench::meterTopic(prefix, i));
    bench::MeterReadings readings(meters);
    processEventsFor(500);
    const long before = bench::residentKb();

    const qint64 start = bench::monotonicNs();
    long seconds = 0;
    while (simulatedMs < QDateTime::currentMSecsSinceEpoch()) {
        const qint64 roundStart = bench::monotonicNs();
        for (int i = 0; i < meters; ++i) {
            emit client.received(QMQTT::Message(topics[std::size_t(i)], readings.next(i)));
            if (i % kMessagesPerWakeup == kMessagesPerWakeup - 1)
                QCoreApplication::processEvents();
        }
        processEventsFor(int(std::max<qint64>(0, roundMs - (bench::monotonicNs() - roundStart) / 1000000)));
        simulatedMs += 1000;
        ++seconds;
        if (seconds % 600 == 0)
            std::fprintf(stderr, "bench_memory: %ld simulated seconds in %.0f s, %ld MB\n", seconds,
                         double(bench::monotonicNs() - start) / 1e9, bench::residentKb() / 1024);
    }
    processEventsFor(kSettleMs);
    const long after = bench::residentKb();

    bench::printRow(name,
                    QStringLiteral("resident MB with %1 meters: window shown / after an hour of readings")
                        .arg(QLocale(QLocale::English).toString(meters)),
                    QStringLiteral("%1 / %2").arg(before / 1024).arg(after / 1024));
    bench::printRow(name, QStringLiteral("resident MB after an hour of readings, default settings"),
                    QString::number(after / 1024), QStringLiteral("≤ %1 MB").arg(kMaxResidentKb / 1024),
                    bench::verdictOf(after <= kMaxResidentKb));
    bench::printRow(
        name, QStringLiteral("simulated seconds, minutes it took"),
        QStringLiteral("%1 / %2").arg(seconds).arg(bench::number(double(bench::monotonicNs() - start) / 60e9, 1)));
    return 0;
}
