// Routing cost against the number of registered meters: the CPU the window
// spends per message, from the client's received() signal (the way the client
// delivers) through the topic lookup to the panel showing it, with 10, 1,000
// and 10,000 meters. The 10,000-meter cost must stay within 25% of the
// 10-meter one.
//
// The messages go round robin over the meters, as the simulator and a plant of
// meters reporting every second send them, and every reading differs from the
// meter's previous one, so every panel relabels. The window is shown and the
// event loop runs after every 64 messages, as after one read wake-up of the
// client, so the repainting of the visible panel is counted too, and so is
// the refresh that brings the hidden panels up to date afterwards.

#include "benchsupport.h"

#include "mainwindow/mainwindow.h"
#include "measurement/meterboard.h"
#include "mqtt/client.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr double kMaxGrowth = 1.25;
constexpr int kMessagesPerWakeup = 64;

struct Cost
{
    double shownUs = -1;
    double droppedUs = -1;
};

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
    const auto *board = window->findChild<MeterBoard *>();
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
        std::printf("%d meters: %.2f µs/msg shown, %.2f µs/msg dropped\n", only, cost.shownUs, cost.droppedUs);
        return 0;
    }

    const Cost few = routingCost(10, count);
    const Cost some = routingCost(1000, count);
    const Cost many = routingCost(10000, count);
    if (few.shownUs <= 0 || some.shownUs <= 0 || many.shownUs <= 0) {
        bench::printRow(name, QStringLiteral("run"), QStringLiteral("failed"), QStringLiteral("completes"),
                        bench::Verdict::Miss);
        return 1;
    }
    bench::printRow(
        name, QStringLiteral("CPU µs/msg with 10 / 1,000 / 10,000 meters"),
        QStringLiteral("%1 / %2 / %3")
            .arg(bench::number(few.shownUs, 2), bench::number(some.shownUs, 2), bench::number(many.shownUs, 2)));
    bench::printRow(
        name, QStringLiteral("CPU µs/msg on a topic no meter has, 10 / 1,000 / 10,000 meters"),
        QStringLiteral("%1 / %2 / %3")
            .arg(bench::number(few.droppedUs, 2), bench::number(some.droppedUs, 2), bench::number(many.droppedUs, 2)));
    const double growth = many.shownUs / few.shownUs;
    bench::printRow(name, QStringLiteral("CPU per message, 10,000 ÷ 10 meters"), bench::number(growth, 2),
                    QStringLiteral("≤ %1").arg(kMaxGrowth, 0, 'f', 2), bench::verdictOf(growth <= kMaxGrowth));
    return 0;
}
