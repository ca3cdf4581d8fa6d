// Responsiveness: while the program ingests the simulator's load mode as fast
// as it comes (no other subscriber on the broker), a zero-timer posted every
// 10 ms must run within 50 ms at the 99th percentile. The lateness of every
// zero-timer posted between the first and the last message counts.
//
// A second run adds, beside the same load, a publisher no meter would ever
// be: payloads of 1 MB (a JSON array of zeros) on a registered meter's topic,
// 100 a second. The program drops them as they arrive; the target is the same.

#include "benchsupport.h"

#include <QCoreApplication>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

constexpr int kProbeIntervalMs = 10;
constexpr double kMaxP99Ms = 50;
constexpr double kTargetRate = 50000;
constexpr int kRunTimeoutMs = 600000;
constexpr int kBigPayloadBytes = 1024 * 1024;
constexpr int kBigPayloadsPerSecond = 100;

// mosquitto_pub in line mode, fed one payload per line at a steady rate from
// a thread of its own, until stop().
class PayloadStream final
{
public:
    PayloadStream() = default;
    ~PayloadStream() { stop(); }
    PayloadStream(const PayloadStream &) = delete;
    PayloadStream &operator=(const PayloadStream &) = delete;

    bool start(quint16 port, const QString &topic)
    {
        const QByteArray command = mosquittoTool(QStringLiteral("mosquitto_pub")).toLocal8Bit() + " -h 127.0.0.1 -p " +
                                   QByteArray::number(port) + " -q 0 -t " + topic.toUtf8() + " -l";
        m_pipe = ::popen(command.constData(), "w");
        if (!m_pipe)
            return false;
        QByteArray line = "[0";
        while (line.size() < kBigPayloadBytes - 1)
            line += ",0";
        line += "]\n";
        m_thread = std::thread([this, line] {
            const auto interval = std::chrono::microseconds(1000000 / kBigPayloadsPerSecond);
            auto next = std::chrono::steady_clock::now();
            while (!m_stop) {
                if (std::fwrite(line.constData(), 1, size_t(line.size()), m_pipe) != size_t(line.size()) ||
                    std::fflush(m_pipe) != 0)
                    break;
                ++m_sent;
                next += interval;
                std::this_thread::sleep_until(next);
            }
        });
        return true;
    }

    long stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_pipe) {
            ::pclose(m_pipe);
            m_pipe = nullptr;
        }
        return m_sent;
    }

private:
    FILE *m_pipe = nullptr;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_sent{0};
};

struct Run
{
    bool ok = false;
    long samples = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double maxMs = 0;
    double rate = 0;
    long shown = 0;
    long bigPayloads = 0;
};

Run run(const QString &simulator, const QString &subscriber, long count, int meters, bool withBigPayloads)
{
    const QString prefix = QStringLiteral("probe/meter");
    TestBroker broker;
    bench::Child client;
    bench::Child load;
    PayloadStream stream;
    bench::ClientDone done;
    Run result;
    const bool ran = bench::startBroker(&broker) &&
                     bench::startClientProcess(&client, subscriber, broker.port(), meters, prefix, count,
                                               {QStringLiteral("--probe-ms"), QString::number(kProbeIntervalMs)}) &&
                     (!withBigPayloads || stream.start(broker.port(), bench::meterTopic(prefix, 1))) &&
                     bench::startLoad(&load, simulator, broker.port(), meters, prefix, count) &&
                     bench::waitForClientDone(&client, &done, kRunTimeoutMs);
    result.bigPayloads = stream.stop();
    QByteArray probes;
    if (!ran || !client.readLine(&probes, 10000) || !probes.startsWith("probes "))
        return result;
    load.waitForExit(kRunTimeoutMs);

    const QList<QByteArray> fields = probes.split(' ');
    result.ok = true;
    result.samples = fields.value(1).toLong();
    result.p50Ms = fields.value(2).toDouble() / 1000;
    result.p99Ms = fields.value(3).toDouble() / 1000;
    result.maxMs = fields.value(4).toDouble() / 1000;
    const double seconds = double(done.lastNs - done.firstNs) / 1e9;
    result.rate = seconds > 0 ? double(done.count - 1) / seconds : 0;
    result.shown = done.count;
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const long count = bench::longOption(args, QStringLiteral("--count"), 500000);
    const int meters = int(bench::longOption(args, QStringLiteral("--meters"), 100));
    const QString simulator =
        bench::stringOption(args, QStringLiteral("--simulator"), QStringLiteral(ZELMAR_METER_SIM));
    const QString subscriber =
        bench::stringOption(args, QStringLiteral("--subscriber"), QStringLiteral(ZELMAR_BENCH_SUBSCRIBER));
    const QString name = QStringLiteral("responsiveness");

    bool allRan = true;
    for (const bool withBigPayloads : {false, true}) {
        const Run result = run(simulator, subscriber, count, meters, withBigPayloads);
        const QString beside =
            withBigPayloads ? QStringLiteral(", 1 MB payloads at %1/s beside").arg(kBigPayloadsPerSecond) : QString();
        if (!result.ok) {
            bench::printRow(name, QStringLiteral("run") + beside, QStringLiteral("failed"), QStringLiteral("completes"),
                            bench::Verdict::Miss);
            allRan = false;
            continue;
        }
        // The simulator publishes as fast as it can, which is about the 50,000 msg/s the
        // target speaks of; the rate it reached is shown beside the lateness.
        bench::printRow(
            name,
            QStringLiteral("msg/s ingested while probing (meant: about %1)%2").arg(kTargetRate, 0, 'f', 0).arg(beside),
            QString::number(result.rate, 'f', 0));
        if (withBigPayloads)
            bench::printRow(name, QStringLiteral("1 MB payloads published during the run"),
                            QString::number(result.bigPayloads));
        bench::printRow(
            name, QStringLiteral("zero-timer lateness p99 (p50, max; %1 probes)%2").arg(result.samples).arg(beside),
            QStringLiteral("%1 ms (%2, %3)")
                .arg(bench::number(result.p99Ms, 2), bench::number(result.p50Ms, 2), bench::number(result.maxMs, 2)),
            QStringLiteral("< %1 ms").arg(kMaxP99Ms), bench::verdictOf(result.samples > 0 && result.p99Ms < kMaxP99Ms));
        bench::printRow(name, QStringLiteral("messages shown") + beside, QString::number(result.shown),
                        QString::number(count), bench::verdictOf(result.shown == count));
    }
    return allRan ? 0 : 1;
}
