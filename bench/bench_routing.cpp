// Routing cost against the number of registered meters: the CPU the window
// spends per message, from the client's received() signal (the way the client
// delivers) through the topic lookup to the panel showing it, with 10, 1,000
// and 10,000 meters.
//
// Flood: the messages go round robin over the meters as fast as the window
// takes them, as a backlog arrives after a reconnection, and every reading
// differs from the meter's previous one, so every panel relabels. The window
// is shown and the event loop runs after every 64 messages, as after one read
// wake-up of the client, so the repainting of the visible panel is counted
// too, and so is the refresh that brings the hidden panels up to date
// afterwards.
//
// Plant: every meter reports once a second, the meters spread evenly over the
// second, for kPlantSeconds after a second to settle; the readings go out
// every kPlantTickMs (with fewer meters than ticks, as each falls due), as
// after one read wake-up. This is what a plant pays per reading: nothing
// coalesces, every reading relabels its panel, and the history's recorder and
// writer thread take their share (all threads count). What the whole program
// costs against a plain subscriber is bench_plant's.

#include "benchsupport.h"

#include "mainwindow/mainwindow.h"
#include "measurement/meterboard.h"
#include "mqtt/client.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int kMessagesPerWakeup = 64;
constexpr int kPlantSeconds = 5;
constexpr int kPlantTickMs = 4;
constexpr int kNeverOfflineMs = 24 * 3600 * 1000;

struct Cost
{
    double shownUs = -1;
    double droppedUs = -1;
    double plantUs = -1;
};

// Emits one reading a second for every meter, spread over the second, for `seconds`; returns
// how many went out.
long paceReadings(QMQTT::Client *client, const std::vector<QString> &topics, bench::MeterReadings *readings, long first,
                  double seconds)
{
    const auto meters = long(topics.size());
    const qint64 start = bench::monotonicNs();
    const auto total = long(seconds * double(meters));
    long sent = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QEventLoop loop;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        const double elapsed = double(bench::monotonicNs() - start) / 1e9;
        const long due = std::min(total, long(elapsed * double(meters)));
        for (; sent < due; ++sent) {
            const auto meter = std::size_t((first + sent) % meters);
            emit client->received(QMQTT::Message(topics[meter], readings->next(int(meter))));
        }
        if (sent == total)
            loop.quit();
    });
    tick.start(std::max(kPlantTickMs, int(1000 / meters)));
    loop.exec();
    return sent;
}

Cost routingCost(int meters, long count)
{
    const QString prefix = QStringLiteral("route/meter");
    const bench::SettingsDirectory dir(1883, meters, prefix);
    if (!dir.isValid())
        return {};

    const qint64 built = bench::monotonicNs();
    QMQTT::Client client;
    auto window = std::make_unique<MainWindow>(&client);
    window->show();
    QCoreApplication::processEvents();
    auto *board = window->findChild<MeterBoard *>();
    // However slowly this machine gets from one stream to the next, no meter goes offline in
    // between: coming online again costs what a plant in its stride never pays.
    if (board)
        board->setOfflineInterval(kNeverOfflineMs);

    std::vector<QString> topics;
    for (int i = 1; i <= meters; ++i)
        topics.push_back(bench::meterTopic(prefix, i));
    bench::MeterReadings readings(meters);
    // Every panel shows a first reading before the clock starts: the first
    // one of a panel costs more than any later one.
    for (int i = 0; i < meters; ++i) {
        emit client.received(QMQTT::Message(topics[std::size_t(i)], readings.next(i)));
        if (i % kMessagesPerWakeup == kMessagesPerWakeup - 1)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    std::fprintf(stderr, "%d meters: window built and warmed up after %.1f s\n", meters,
                 double(bench::monotonicNs() - built) / 1e9);

    std::vector<QMQTT::Message> messages;
    messages.reserve(std::size_t(count));
    for (long i = 0; i < count; ++i) {
        const int meter = int(i % meters);
        messages.emplace_back(topics[std::size_t(meter)], readings.next(meter));
    }

    // Hidden panels catch up with their meters a moment later; that work is counted too.
    const auto settle = [board] {
        QCoreApplication::processEvents();
        while (board && board->hasStaleViews())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    };
    settle();

    const qint64 start = bench::ownCpuNs();
    for (long i = 0; i < count; ++i) {
        emit client.received(messages[std::size_t(i)]);
        if (i % kMessagesPerWakeup == kMessagesPerWakeup - 1)
            QCoreApplication::processEvents();
    }
    settle();
    Cost cost;
    cost.shownUs = double(bench::ownCpuNs() - start) / 1000.0 / double(count);

    // The lookup alone: the same stream on topics no meter has, which the window drops.
    const QString elsewhere = QStringLiteral("elsewhere/meter");
    for (long i = 0; i < count; ++i) {
        QMQTT::Message &message = messages[std::size_t(i)];
        message = QMQTT::Message(bench::meterTopic(elsewhere, int(i % meters) + 1), message.payload());
    }
    const qint64 dropStart = bench::ownCpuNs();
    for (long i = 0; i < count; ++i)
        emit client.received(messages[std::size_t(i)]);
    cost.droppedUs = double(bench::ownCpuNs() - dropStart) / 1000.0 / double(count);

    // A plant: a second to settle into the pace, then the measured seconds.
    long sent = paceReadings(&client, topics, &readings, 0, 1.0);
    const qint64 plantStart = bench::ownCpuNs();
    sent = paceReadings(&client, topics, &readings, sent, kPlantSeconds);
    settle();
    cost.plantUs = double(bench::ownCpuNs() - plantStart) / 1000.0 / double(sent);

    window.reset();
    return cost;
}

} // namespace

int main(int argc, char **argv)
{
    bench::WidgetApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const long count = bench::longOption(args, QStringLiteral("--count"), 200000);
    const QString name = QStringLiteral("routing");
    // --only N measures N meters alone, for profiling.
    const int only = int(bench::longOption(args, QStringLiteral("--only"), 0));
    if (only > 0) {
        const Cost cost = routingCost(only, count);
        std::printf("%d meters: %.2f µs/msg shown, %.2f µs/msg dropped, %.2f µs per reading at a plant's pace\n", only,
                    cost.shownUs, cost.droppedUs, cost.plantUs);
        return 0;
    }

    const Cost few = routingCost(10, count);
    const Cost some = routingCost(1000, count);
    const Cost many = routingCost(10000, count);
    if (few.plantUs <= 0 || some.plantUs <= 0 || many.plantUs <= 0) {
        bench::printRow(name, QStringLiteral("run"), QStringLiteral("failed"), QStringLiteral("completes"),
                        bench::Verdict::Miss);
        return 1;
    }
    bench::printRow(
        name, QStringLiteral("CPU µs/msg in a flood, 10 / 1,000 / 10,000 meters"),
        QStringLiteral("%1 / %2 / %3")
            .arg(bench::number(few.shownUs, 2), bench::number(some.shownUs, 2), bench::number(many.shownUs, 2)));
    bench::printRow(
        name, QStringLiteral("CPU µs/msg on a topic no meter has, 10 / 1,000 / 10,000 meters"),
        QStringLiteral("%1 / %2 / %3")
            .arg(bench::number(few.droppedUs, 2), bench::number(some.droppedUs, 2), bench::number(many.droppedUs, 2)));
    // What a plant pays per reading at its size; the whole program against a plain subscriber
    // is held to its target by bench_plant.
    bench::printRow(
        name, QStringLiteral("CPU µs per reading, each meter once a second, 10 / 1,000 / 10,000 meters"),
        QStringLiteral("%1 / %2 / %3")
            .arg(bench::number(few.plantUs, 2), bench::number(some.plantUs, 2), bench::number(many.plantUs, 2)));
    return 0;
}
