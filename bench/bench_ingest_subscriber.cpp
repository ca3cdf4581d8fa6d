// The program's receiving end as a process of its own, so that bench_ingest
// and bench_responsiveness can pause it and read its CPU time: the real
// client, the real main window built from a Settings.conf with the meters
// 1..--meters of the simulator, and their real panels, offscreen.
//
// It counts messages in a slot connected to the client's received() after
// the window's, so a message counts once its panel has shown it. It prints
//   ready                      every meter's topic is subscribed
//   done COUNT FIRST_NS LAST_NS   after --count messages, or when none came
//                              for --quiet-ms; monotonic clock of the first
//                              and the last message
//   probes N P50_US P99_US MAX_US  with --probe-ms: how late a zero-timer,
//                              posted every --probe-ms, ran while messages came
//   error TEXT
// and then waits to be terminated, so that its CPU time can be read. With
// --summary the summary window is open over the main window throughout.
//
// --history records the readings into history.sqlite, as [History] Enabled does.
// --watch gives every meter supply limits ([Alarms]) and a maintenance plan of
// its own, --notify turns desktop notifications on ([Notify] Desktop), and
// --offline-ms sets the offline interval (and so the wait after connecting
// before silence counts).
//
// --silence watches meters fall silent rather than counting messages: it
// prints
//   watching                   every meter is online and silence counts
//   silent MS                  every meter is "не в сети", MS after the first
//   probes N P50_US P99_US MAX_US  with --probe-ms: the zero-timers posted from
//                              "watching" until 3 s after "silent", when the
//                              notifications have gone out

#include "benchsupport.h"

#include "mainwindow/mainwindow.h"
#include "measurement/meterboard.h"
#include "mqtt/client.h"
#include "watch/meterwatch.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

void say(const QString &line)
{
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

struct Probe
{
    qint64 postedNs;
    qint64 lateNs;
};

qint64 percentile(std::vector<qint64> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t at = std::min(values.size() - 1, std::size_t(fraction * double(values.size())));
    return values[at];
}

// "probes N P50_US P99_US MAX_US" over the probes posted between from and to.
void sayProbes(const std::vector<Probe> &probes, qint64 fromNs, qint64 toNs)
{
    std::vector<qint64> late;
    for (const Probe &probe : probes) {
        if (probe.postedNs >= fromNs && probe.postedNs <= toNs)
            late.push_back(probe.lateNs);
    }
    say(QStringLiteral("probes %1 %2 %3 %4")
            .arg(late.size())
            .arg(percentile(late, 0.50) / 1000)
            .arg(percentile(late, 0.99) / 1000)
            .arg(late.empty() ? 0 : *std::max_element(late.begin(), late.end()) / 1000));
}

} // namespace

int main(int argc, char **argv)
{
    bench::WidgetApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const auto port = quint16(bench::longOption(args, QStringLiteral("--port"), 1883));
    const int meters = int(bench::longOption(args, QStringLiteral("--meters"), 100));
    const QString prefix = bench::stringOption(args, QStringLiteral("--prefix"), QStringLiteral("bench/meter"));
    const long expected = bench::longOption(args, QStringLiteral("--count"), 200000);
    const int probeMs = int(bench::longOption(args, QStringLiteral("--probe-ms"), 0));
    const int quietMs = int(bench::longOption(args, QStringLiteral("--quiet-ms"), 10000));
    const bool recordHistory = args.contains(QStringLiteral("--history"));
    const int offlineMs = int(bench::longOption(args, QStringLiteral("--offline-ms"), 0));
    const bool silence = args.contains(QStringLiteral("--silence"));

    const bench::SettingsDirectory dir(port, meters, prefix, recordHistory);
    if (!dir.isValid() || !bench::writeWatchSettings(QDir::currentPath(), args.contains(QStringLiteral("--watch")),
                                                     args.contains(QStringLiteral("--notify")))) {
        say(QStringLiteral("error cannot write Settings.conf"));
        return 2;
    }

    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    auto *board = window.findChild<MeterBoard *>();
    auto *watch = window.findChild<MeterWatch *>(QStringLiteral("meterWatch"));
    if (offlineMs > 0)
        board->setOfflineInterval(offlineMs);
    if (args.contains(QStringLiteral("--summary"))) {
        auto *summary = window.findChild<QAction *>(QStringLiteral("actionSummary"));
        if (!summary) {
            say(QStringLiteral("error no summary action"));
            return 2;
        }
        summary->trigger();
    }

    long count = 0;
    qint64 firstNs = 0;
    qint64 lastNs = 0;
    bool finished = false;
    std::vector<Probe> probes;
    QTimer probeTimer;
    probeTimer.setTimerType(Qt::PreciseTimer);
    probeTimer.setInterval(probeMs);
    QObject::connect(&probeTimer, &QTimer::timeout, &app, [&] {
        const qint64 posted = bench::monotonicNs();
        auto *zero = new QTimer(&app);
        zero->setSingleShot(true);
        QObject::connect(zero, &QTimer::timeout, &app, [&probes, zero, posted] {
            probes.push_back({posted, bench::monotonicNs() - posted});
            zero->deleteLater();
        });
        zero->start(0);
    });

    const auto finish = [&] {
        finished = true;
        probeTimer.stop();
        say(QStringLiteral("done %1 %2 %3").arg(count).arg(firstNs).arg(lastNs));
        if (probeMs > 0)
            sayProbes(probes, firstNs, lastNs);
    };

    // Silence: from the moment silence counts until every meter is silent, and the
    // notifications of it have gone out.
    qint64 watchingNs = 0;
    qint64 firstSilentNs = 0;
    qint64 connectedNs = 0;
    QTimer silenceWatch;
    silenceWatch.setInterval(50);
    QObject::connect(&silenceWatch, &QTimer::timeout, &app, [&] {
        const qint64 nowNs = bench::monotonicNs();
        if (watchingNs == 0) {
            if (connectedNs == 0 || board->onlineCount() < meters ||
                nowNs - connectedNs < qint64(board->offlineInterval() + 1000) * 1000000)
                return;
            watchingNs = nowNs;
            if (probeMs > 0)
                probeTimer.start();
            say(QStringLiteral("watching"));
            return;
        }
        const int silent = watch->count(MeterCondition::Silent);
        if (silent > 0 && firstSilentNs == 0)
            firstSilentNs = nowNs;
        if (silent < meters || finished)
            return;
        finished = true;
        say(QStringLiteral("silent %1").arg((nowNs - firstSilentNs) / 1000000));
        QTimer::singleShot(3000, &app, [&] {
            probeTimer.stop();
            if (probeMs > 0)
                sayProbes(probes, watchingNs, bench::monotonicNs());
        });
    });
    if (silence) {
        QObject::connect(&client, &QMQTT::Client::connected, &app, [&] { connectedNs = bench::monotonicNs(); });
        silenceWatch.start();
    }

    // After the window's own connection, so it runs once the panel has shown the message.
    QObject::connect(&client, &QMQTT::Client::received, &app, [&] {
        if (finished || silence)
            return;
        lastNs = bench::monotonicNs();
        if (++count == 1)
            firstNs = lastNs;
        if (count == expected)
            finish();
    });

    QTimer quietWatch;
    quietWatch.setInterval(250);
    QObject::connect(&quietWatch, &QTimer::timeout, &app, [&] {
        if (!finished && count > 0 && bench::monotonicNs() - lastNs > qint64(quietMs) * 1000000)
            finish();
    });
    quietWatch.start();

    int subscribed = 0;
    QObject::connect(&client, &QMQTT::Client::subscribed, &app, [&] {
        if (++subscribed == meters) {
            if (probeMs > 0 && !silence)
                probeTimer.start();
            say(QStringLiteral("ready"));
        }
    });
    QObject::connect(&client, &QMQTT::Client::error, &app, [&](QMQTT::ClientError error) {
        say(QStringLiteral("error client error %1").arg(int(error)));
        QCoreApplication::exit(2);
    });
    QObject::connect(&client, &QMQTT::Client::disconnected, &app, [&] {
        say(QStringLiteral("error disconnected"));
        QCoreApplication::exit(2);
    });

    // The user's way in: the window reads the broker from Settings.conf and
    // subscribes every meter once connected.
    auto *connectButton = window.findChild<QPushButton *>(QStringLiteral("pushButtonConnect"));
    if (!connectButton) {
        say(QStringLiteral("error no connect button"));
        return 2;
    }
    connectButton->click();
    return QApplication::exec();
}
