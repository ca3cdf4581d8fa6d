// Silence: 1,000 meters of the simulator report every second to the program's
// receiving end (bench_ingest_subscriber --silence), desktop notifications on,
// with a private session bus and a notification service of the benchmark's
// own. Once silence counts, the simulator stops: every meter falls silent
// within the same second. The desktop must get one notification for all of
// them, and a zero-timer posted every 10 ms must run within 50 ms at the 99th
// percentile throughout.

#include "benchsupport.h"
#include "common/notificationservice.h"
#include "common/sessionbus.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

namespace {

constexpr int kMeters = 1000;
constexpr int kProbeIntervalMs = 10;
constexpr double kMaxP99Ms = 50;
// Short, so that silence counts soon after connecting; still three readings long.
constexpr int kOfflineMs = 3000;
constexpr int kStepTimeoutMs = 60000;

// The next line of the child's output, serving the notification service meanwhile.
bool readLine(bench::Child *child, QByteArray *line, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < timeoutMs) {
        if (child->readLine(line, 20))
            return true;
        QCoreApplication::processEvents();
    }
    return false;
}

void serve(int ms)
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const QString simulator =
        bench::stringOption(args, QStringLiteral("--simulator"), QStringLiteral(ZELMAR_METER_SIM));
    const QString subscriber =
        bench::stringOption(args, QStringLiteral("--subscriber"), QStringLiteral(ZELMAR_BENCH_SUBSCRIBER));
    const QString name = QStringLiteral("silence");
    const QString prefix = QStringLiteral("silence/meter");
    const auto failed = [&name](const char *step) {
        std::fprintf(stderr, "bench_silence: %s\n", step);
        bench::printRow(name, QStringLiteral("run"), QStringLiteral("failed"), QStringLiteral("completes"),
                        bench::Verdict::Miss);
        return 1;
    };

    SessionBus bus;
    if (!bus.start())
        return failed("cannot start dbus-daemon");
    NotificationService service(bus.address());
    if (!service.registerOnBus())
        return failed("cannot register the notification service");
    // The receiving end finds the bus as a desktop session's programs do.
    qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address().toUtf8());

    TestBroker broker;
    bench::Child client;
    bench::Child meters;
    QByteArray line;
    if (!bench::startBroker(&broker))
        return failed("cannot start mosquitto");
    if (!bench::startClientProcess(&client, subscriber, broker.port(), kMeters, prefix, 0,
                                   {QStringLiteral("--silence"), QStringLiteral("--notify"),
                                    QStringLiteral("--offline-ms"), QString::number(kOfflineMs),
                                    QStringLiteral("--probe-ms"), QString::number(kProbeIntervalMs)}))
        return failed("the receiving end did not get ready");
    if (!meters.start(simulator,
                      {QStringLiteral("--port"), QString::number(broker.port()), QStringLiteral("--prefix"), prefix,
                       QStringLiteral("--meters"), QString::number(kMeters), QStringLiteral("--interval-ms"),
                       QStringLiteral("1000")},
                      false))
        return failed("cannot start the simulator");
    if (!readLine(&client, &line, kStepTimeoutMs) || line != "watching")
        return failed("the meters did not all come online");

    std::fprintf(stderr, "bench_silence: %d meters online, stopping them\n", kMeters);
    meters.finish();
    if (!readLine(&client, &line, kStepTimeoutMs) || !line.startsWith("silent "))
        return failed("the meters did not all fall silent");
    const long spreadMs = line.split(' ').value(1).toLong();
    if (!readLine(&client, &line, kStepTimeoutMs) || !line.startsWith("probes "))
        return failed("no probes");
    // Whatever else would come, comes within the next gathering.
    serve(3000);

    const QList<QByteArray> fields = line.split(' ');
    const long samples = fields.value(1).toLong();
    const double p50Ms = fields.value(2).toDouble() / 1000;
    const double p99Ms = fields.value(3).toDouble() / 1000;
    const double maxMs = fields.value(4).toDouble() / 1000;
    const int notifications = service.calls().size();
    bench::printRow(name, QStringLiteral("%1 meters silent, from the first to the last").arg(kMeters),
                    QStringLiteral("%1 ms").arg(spreadMs));
    bench::printRow(name, QStringLiteral("notifications for %1 meters falling silent at once").arg(kMeters),
                    QString::number(notifications), QStringLiteral("1"), bench::verdictOf(notifications == 1));
    if (notifications > 0)
        std::fprintf(stderr, "bench_silence: %s\n", qPrintable(service.calls().first().summary));
    bench::printRow(
        name, QStringLiteral("zero-timer lateness p99 (p50, max; %1 probes)").arg(samples),
        QStringLiteral("%1 ms (%2, %3)").arg(bench::number(p99Ms, 2), bench::number(p50Ms, 2), bench::number(maxMs, 2)),
        QStringLiteral("< %1 ms").arg(kMaxP99Ms), bench::verdictOf(samples > 0 && p99Ms < kMaxP99Ms));
    client.finish();
    return notifications == 1 && p99Ms < kMaxP99Ms ? 0 : 1;
}
