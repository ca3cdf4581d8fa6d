// Ingest: the meter simulator's load mode publishes --count real meter
// readings over --meters topics to a private Mosquitto; the program's own
// receiving end (bench_ingest_subscriber: client, window, panels) and
// mosquitto_sub on 'prefix/#' take the same stream, and the CPU each spends
// per message is compared.
//
// live:    both subscribers run while the simulator publishes.
// backlog: both are subscribed, then stopped (SIGSTOP keeps their connections;
//          keep-alive is 300 s) while the broker queues the whole load; then
//          each is resumed alone in turn, so neither competes with the other
//          for the two cores. Our client must not cost more than 1.25 times
//          mosquitto_sub per message here, where both work flat out.
//
// summary: the backlog again, but with two of our own receiving ends over
//          --meters meters (1,000 in tools/bench.sh), one with the summary
//          window open: it must not cost more than 1.10 times the CPU per
//          message of the one without.
// history: the same pair over --meters meters (100 in tools/bench.sh), one
//          recording every reading into history.sqlite ([History] Enabled):
//          recording must not cost more than 1.10 times the CPU per message
//          either. Its writer thread counts with the rest of the process.
// watch:   the same pair over --meters meters (1,000 in tools/bench.sh), one
//          with supply limits and a maintenance plan on every meter: checking
//          every reading against them must not cost more than 1.05 times the
//          CPU per message.
//
// The backlog is measured --repeat times (default 3) and the round with the
// median ratio is reported, with its own figures.
//
// CPU time is read from /proc/<pid>/schedstat between the moment a subscriber
// is ready and the moment it has its last message, so start-up is left out.

#include "benchsupport.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

constexpr double kMaxCpuRatio = 1.25;
// What an open summary window, or recording the history, may cost the receiving end.
constexpr double kMaxPairRatio = 1.10;
// What limits and plans on every meter may cost it.
constexpr double kMaxWatchRatio = 1.05;
constexpr int kRunTimeoutMs = 180000;

struct Options
{
    long count = 200000;
    int meters = 100;
    QString simulator = QStringLiteral(ZELMAR_METER_SIM);
    QString subscriber = QStringLiteral(ZELMAR_BENCH_SUBSCRIBER);
};

struct Measured
{
    long count = 0;
    double seconds = 0;
    qint64 cpuNs = 0;

    double rate() const { return seconds > 0 ? double(count) / seconds : 0; }
    double cpuUsPerMessage() const { return count > 0 ? double(cpuNs) / 1000.0 / double(count) : 0; }
};

// mosquitto_sub ends after -C messages, so a clean exit means none was lost.
long mosquittoSubCount(bench::Child *sub, long expected)
{
    sub->finish();
    return sub->exitStatus() == 0 ? expected : 0;
}

// Publishes the whole load while the subscribers are paused, and waits until
// the broker has queued it for them.
bool loadBroker(const Options &options, TestBroker *broker, const QString &prefix)
{
    bench::Child load;
    if (!bench::startLoad(&load, options.simulator, broker->port(), options.meters, prefix, options.count) ||
        !load.waitForExit(kRunTimeoutMs))
        return false;
    load.finish();
    return load.exitStatus() == 0 && bench::waitUntilIdle(*broker, kRunTimeoutMs);
}

bool runBacklog(const Options &options, TestBroker *broker, Measured *ours, Measured *theirs)
{
    const QString prefix = QStringLiteral("backlog/meter");
    bench::Child client;
    bench::Child sub;
    if (!bench::startClientProcess(&client, options.subscriber, broker->port(), options.meters, prefix,
                                   options.count) ||
        !bench::startMosquittoSub(&sub, *broker, prefix + QStringLiteral("/#"), options.count) || !client.stop() ||
        !sub.stop())
        return false;
    const qint64 clientCpu = bench::processCpuNs(client.pid());
    const qint64 subCpu = bench::processCpuNs(sub.pid());
    std::fprintf(stderr, "bench_ingest: subscribers ready and paused, loading the broker\n");

    if (!loadBroker(options, broker, prefix))
        return false;

    std::fprintf(stderr, "bench_ingest: broker loaded, resuming our client\n");
    qint64 start = bench::monotonicNs();
    client.resume();
    bench::ClientDone done;
    if (!bench::waitForClientDone(&client, &done, kRunTimeoutMs))
        return false;
    ours->count = done.count;
    ours->seconds = double(done.lastNs - start) / 1e9;
    ours->cpuNs = bench::processCpuNs(client.pid()) - clientCpu;
    client.finish();

    std::fprintf(stderr, "bench_ingest: resuming mosquitto_sub\n");
    start = bench::monotonicNs();
    sub.resume();
    if (sub.waitForExit(kRunTimeoutMs)) {
        theirs->seconds = double(bench::monotonicNs() - start) / 1e9;
        theirs->cpuNs = bench::processCpuNs(sub.pid()) - subCpu;
    }
    theirs->count = mosquittoSubCount(&sub, options.count);
    return true;
}

// Two of our receiving ends, the second given `option`, take the same backlog,
// each resumed alone; which goes first alternates from round to round, so that
// neither always meets the machine in the same state.
bool runPairBacklog(const Options &options, TestBroker *broker, const QString &option, bool optionFirst,
                    Measured *without, Measured *with)
{
    const QString prefix = QStringLiteral("pair/meter");
    bench::Child clients[2];
    Measured *measured[2] = {without, with};
    qint64 cpuBefore[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        const QStringList extra = i == 1 ? QStringList{option} : QStringList{};
        if (!bench::startClientProcess(&clients[i], options.subscriber, broker->port(), options.meters, prefix,
                                       options.count, extra) ||
            !clients[i].stop())
            return false;
        cpuBefore[i] = bench::processCpuNs(clients[i].pid());
    }
    if (!loadBroker(options, broker, prefix))
        return false;
    for (int i : {optionFirst ? 1 : 0, optionFirst ? 0 : 1}) {
        const qint64 start = bench::monotonicNs();
        clients[i].resume();
        bench::ClientDone done;
        if (!bench::waitForClientDone(&clients[i], &done, kRunTimeoutMs))
            return false;
        measured[i]->count = done.count;
        measured[i]->seconds = double(done.lastNs - start) / 1e9;
        measured[i]->cpuNs = bench::processCpuNs(clients[i].pid()) - cpuBefore[i];
        clients[i].finish();
    }
    return true;
}

bool runLive(const Options &options, TestBroker *broker, Measured *ours, Measured *theirs)
{
    const QString prefix = QStringLiteral("live/meter");
    bench::Child client;
    bench::Child sub;
    if (!bench::startClientProcess(&client, options.subscriber, broker->port(), options.meters, prefix,
                                   options.count) ||
        !bench::startMosquittoSub(&sub, *broker, prefix + QStringLiteral("/#"), options.count))
        return false;
    const qint64 clientCpu = bench::processCpuNs(client.pid());
    const qint64 subCpu = bench::processCpuNs(sub.pid());

    const qint64 start = bench::monotonicNs();
    bench::Child load;
    if (!bench::startLoad(&load, options.simulator, broker->port(), options.meters, prefix, options.count))
        return false;
    bench::ClientDone done;
    if (!bench::waitForClientDone(&client, &done, kRunTimeoutMs))
        return false;
    ours->count = done.count;
    ours->seconds = double(done.lastNs - start) / 1e9;
    ours->cpuNs = bench::processCpuNs(client.pid()) - clientCpu;
    client.finish();

    if (sub.waitForExit(kRunTimeoutMs)) {
        theirs->seconds = double(bench::monotonicNs() - start) / 1e9;
        theirs->cpuNs = bench::processCpuNs(sub.pid()) - subCpu;
    }
    theirs->count = mosquittoSubCount(&sub, options.count);
    load.waitForExit(kRunTimeoutMs);
    return true;
}

void report(const QString &name, const Options &options, const Measured &ours, const Measured &theirs,
            bool ratioHasTarget)
{
    bench::printRow(name, QStringLiteral("msg/s, ours / mosquitto_sub"),
                    QStringLiteral("%1 / %2").arg(ours.rate(), 0, 'f', 0).arg(theirs.rate(), 0, 'f', 0));
    bench::printRow(name, QStringLiteral("CPU µs/msg, ours / mosquitto_sub"),
                    QStringLiteral("%1 / %2").arg(bench::number(ours.cpuUsPerMessage(), 2),
                                                  bench::number(theirs.cpuUsPerMessage(), 2)));
    const double ratio = theirs.cpuUsPerMessage() > 0 ? ours.cpuUsPerMessage() / theirs.cpuUsPerMessage() : 0;
    if (ratioHasTarget) {
        bench::printRow(name, QStringLiteral("CPU per message, ours ÷ mosquitto_sub"), bench::number(ratio, 2),
                        QStringLiteral("≤ %1").arg(kMaxCpuRatio), bench::verdictOf(ratio > 0 && ratio <= kMaxCpuRatio));
    } else {
        bench::printRow(name, QStringLiteral("CPU per message, ours ÷ mosquitto_sub"), bench::number(ratio, 2));
    }
    const bool complete = ours.count == options.count && theirs.count == options.count;
    bench::printRow(name, QStringLiteral("messages shown, ours / mosquitto_sub"),
                    QStringLiteral("%1 / %2").arg(ours.count).arg(theirs.count),
                    QStringLiteral("%1 each").arg(options.count), bench::verdictOf(complete));
}

// The rows of a pair: what the option is about, and the words for without and with.
struct Pair
{
    QString name;
    QString option;
    QString subject;
    QString without;
    QString with;
    double maxRatio = kMaxPairRatio;
};

// --repeat rounds of runPairBacklog(); the round with the median ratio stands for all.
int comparePair(const Options &options, TestBroker *broker, int repeat, const Pair &pair)
{
    std::vector<std::pair<Measured, Measured>> rounds;
    for (int round = 0; round < repeat; ++round) {
        Measured without;
        Measured with;
        if (!runPairBacklog(options, broker, pair.option, round % 2 == 1, &without, &with))
            break;
        std::fprintf(stderr, "bench_ingest: %s round %d: %.2f / %.2f us per message\n", qPrintable(pair.subject),
                     round + 1, without.cpuUsPerMessage(), with.cpuUsPerMessage());
        rounds.emplace_back(without, with);
    }
    if (int(rounds.size()) != repeat) {
        bench::printRow(pair.name, QStringLiteral("run"), QStringLiteral("failed"), QStringLiteral("completes"),
                        bench::Verdict::Miss);
        return 1;
    }
    const auto ratio = [](const std::pair<Measured, Measured> &r) {
        return r.first.cpuNs > 0 ? double(r.second.cpuNs) / double(r.first.cpuNs) : 0.0;
    };
    std::sort(rounds.begin(), rounds.end(), [&](const auto &a, const auto &b) { return ratio(a) < ratio(b); });
    const auto &[without, with] = rounds[rounds.size() / 2];
    const double median = with.cpuUsPerMessage() / without.cpuUsPerMessage();
    bench::printRow(pair.name,
                    QStringLiteral("CPU µs/msg over %1 meters, %2 %3 / %4")
                        .arg(QString::number(options.meters), pair.subject, pair.without, pair.with),
                    QStringLiteral("%1 / %2").arg(bench::number(without.cpuUsPerMessage(), 2),
                                                  bench::number(with.cpuUsPerMessage(), 2)));
    bench::printRow(pair.name, QStringLiteral("CPU per message, %1 ÷ %2").arg(pair.with, pair.without),
                    bench::number(median, 2), QStringLiteral("≤ %1").arg(pair.maxRatio, 0, 'f', 2),
                    bench::verdictOf(median > 0 && median <= pair.maxRatio));
    const bool complete = without.count == options.count && with.count == options.count;
    bench::printRow(pair.name, QStringLiteral("messages shown, %1 / %2").arg(pair.without, pair.with),
                    QStringLiteral("%1 / %2").arg(without.count).arg(with.count),
                    QStringLiteral("%1 each").arg(options.count), bench::verdictOf(complete));
    return complete ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    Options options;
    options.count = bench::longOption(args, QStringLiteral("--count"), options.count);
    options.meters = int(bench::longOption(args, QStringLiteral("--meters"), options.meters));
    options.simulator = bench::stringOption(args, QStringLiteral("--simulator"), options.simulator);
    options.subscriber = bench::stringOption(args, QStringLiteral("--subscriber"), options.subscriber);
    const QString mode = bench::stringOption(args, QStringLiteral("--mode"), QStringLiteral("both"));
    const int repeat = int(std::max(1L, bench::longOption(args, QStringLiteral("--repeat"), 3)));
    std::fprintf(stderr, "bench_ingest: %ld messages over %d meters\n", options.count, options.meters);

    TestBroker broker;
    if (!bench::startBroker(&broker)) {
        std::fprintf(stderr, "bench_ingest: cannot start mosquitto\n");
        return 1;
    }
    int status = 0;
    if (mode == QLatin1String("both") || mode == QLatin1String("backlog")) {
        // The machine is noisy: the round with the median ratio stands for all of them.
        std::vector<std::pair<Measured, Measured>> rounds;
        for (int round = 0; round < repeat; ++round) {
            Measured ours;
            Measured theirs;
            if (!runBacklog(options, &broker, &ours, &theirs))
                break;
            std::fprintf(stderr, "bench_ingest: backlog round %d: %.2f / %.2f us per message\n", round + 1,
                         ours.cpuUsPerMessage(), theirs.cpuUsPerMessage());
            rounds.emplace_back(ours, theirs);
        }
        if (int(rounds.size()) == repeat) {
            const auto ratio = [](const std::pair<Measured, Measured> &r) {
                return r.second.cpuNs > 0 ? double(r.first.cpuNs) / double(r.second.cpuNs) : 0.0;
            };
            std::sort(rounds.begin(), rounds.end(), [&](const auto &a, const auto &b) { return ratio(a) < ratio(b); });
            const auto &median = rounds[rounds.size() / 2];
            report(QStringLiteral("ingest, backlog"), options, median.first, median.second, true);
        } else {
            bench::printRow(QStringLiteral("ingest, backlog"), QStringLiteral("run"), QStringLiteral("failed"),
                            QStringLiteral("completes"), bench::Verdict::Miss);
            status = 1;
        }
    }
    if (mode == QLatin1String("summary")) {
        const Pair summary{QStringLiteral("ingest, summary open"), QStringLiteral("--summary"),
                           QStringLiteral("summary"), QStringLiteral("closed"), QStringLiteral("open")};
        status = comparePair(options, &broker, repeat, summary);
    }
    if (mode == QLatin1String("history")) {
        const Pair history{QStringLiteral("ingest, history recorded"), QStringLiteral("--history"),
                           QStringLiteral("recording"), QStringLiteral("off"), QStringLiteral("on")};
        status = comparePair(options, &broker, repeat, history);
    }
    if (mode == QLatin1String("watch")) {
        const Pair watch{QStringLiteral("ingest, limits and plans"), QStringLiteral("--watch"),
                         QStringLiteral("limits and plans"),         QStringLiteral("none"),
                         QStringLiteral("on every meter"),           kMaxWatchRatio};
        status = comparePair(options, &broker, repeat, watch);
    }
    if (mode == QLatin1String("both") || mode == QLatin1String("live")) {
        Measured ours;
        Measured theirs;
        if (runLive(options, &broker, &ours, &theirs)) {
            report(QStringLiteral("ingest, live"), options, ours, theirs, false);
        } else {
            bench::printRow(QStringLiteral("ingest, live"), QStringLiteral("run"), QStringLiteral("failed"),
                            QStringLiteral("completes"), bench::Verdict::Miss);
            status = 1;
        }
    }
    return status;
}
