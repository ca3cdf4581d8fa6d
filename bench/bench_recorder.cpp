// The recorder service under a plant's load: ten thousand meters reporting
// every second through a private broker (the meter simulator), recorded by
// zelmar-recorder into its history. How far behind the readings its store
// is at worst, and its CPU time per reading.
//
// The recorder runs as the service runs it, a process of its own with its
// Settings.conf (--meters meters of the simulator). Once every meter is
// subscribed and a few seconds have settled, the benchmark hears three of
// the meters itself and looks at the store every 50 ms for --seconds
// seconds: when a meter's second first shows there, its lag is the time since
// the last reading of that second came. The worst lag is held against 2 s.
//
// With --store postgresql it records into a private PostgreSQL server of
// the tests' making (durable: it syncs as a real one does), as a plant's
// recorder does, and the server's CPU per reading is reported beside.

#include "benchsupport.h"

#include "common/testpostgres.h"
#include "config/settingsfile.h"
#include "history/historystore.h"
#include "history/postgreshistorystore.h"
#include "mqtt/client.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QHash>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <memory>
#include <thread>

namespace {

constexpr double kMaxLagMs = 2000.0;
const QString kPrefix = QStringLiteral("zelmar/meter");
const QString kClientId = QStringLiteral("zelmar-recorder-bench");

qint64 wallMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int meters = int(bench::longOption(args, QStringLiteral("--meters"), 10000));
    const int seconds = int(bench::longOption(args, QStringLiteral("--seconds"), 30));
    const bool shared =
        bench::stringOption(args, QStringLiteral("--store"), QStringLiteral("sqlite")) == QLatin1String("postgresql");
    const QString bench = shared ? QStringLiteral("recorder-postgres") : QStringLiteral("recorder");

    TestBroker broker;
    if (!bench::startBroker(&broker))
        return 1;
    bench::SettingsDirectory directory(broker.port(), meters, kPrefix);
    if (!directory.isValid())
        return 1;
    BrokerSettings brokerSettings = SettingsFile().readBrokerForEditing();
    brokerSettings.clientId = kClientId;
    if (SettingsFile().writeBroker(brokerSettings) != WriteResult::Written)
        return 1;
    std::unique_ptr<TestPostgres> server;
    PostgresConnection connection;
    if (shared) {
        const QString unavailable = TestPostgres::unavailableReason();
        if (!unavailable.isEmpty()) {
            std::fprintf(stderr, "bench_recorder: %s\n", qPrintable(unavailable));
            return 1;
        }
        server = std::make_unique<TestPostgres>();
        server->setDurable(true);
        if (!server->start())
            return 1;
        connection = {server->host(), server->port(),     server->database(),
                      server->user(), server->password(), QStringLiteral("disable")};
        QFile file(QStringLiteral("Settings.conf"));
        if (!file.open(QIODevice::Append))
            return 1;
        file.write(QStringLiteral("\n[History]\nStore=postgresql\nHost=%1\nPort=%2\nDatabase=%3\nUser=%4\n"
                                  "Password=%5\nSslMode=disable\n")
                       .arg(connection.host)
                       .arg(connection.port)
                       .arg(connection.database, connection.user, connection.password)
                       .toUtf8());
    }

    bench::Child recorder;
    if (!recorder.start(QStringLiteral(ZELMAR_RECORDER_PROGRAM),
                        {QStringLiteral("--config"), QStringLiteral("Settings.conf")}, false) ||
        !bench::waitForSubscription(broker, kClientId, bench::meterTopic(kPrefix, meters), 60000)) {
        std::fprintf(stderr, "bench_recorder: the recorder did not subscribe\n");
        return 1;
    }
    bench::Child simulator;
    if (!simulator.start(QStringLiteral(ZELMAR_METER_SIM),
                         {QStringLiteral("--port"), QString::number(broker.port()), QStringLiteral("--meters"),
                          QString::number(meters), QStringLiteral("--prefix"), kPrefix},
                         false))
        return 1;
    std::this_thread::sleep_for(std::chrono::seconds(5));

    HistoryStore file;
    PostgresHistoryStore database;
    if (!(shared ? database.open(connection, HistoryStore::fileRetention(30))
                 : file.open(QStringLiteral("history.sqlite"), HistoryStore::fileRetention(30))))
        return 1;
    HistoryStorage &store = shared ? static_cast<HistoryStorage &>(database) : file;
    const QStringList sampled{bench::meterTopic(kPrefix, 1), bench::meterTopic(kPrefix, (meters + 1) / 2),
                              bench::meterTopic(kPrefix, meters)};
    // When each reading of the sampled meters came, as the recorder heard it too.
    QHash<QString, QVector<qint64>> arrivals;
    QMQTT::Client listener;
    listener.setHostName(QStringLiteral("127.0.0.1"));
    listener.setPort(broker.port());
    QObject::connect(&listener, &QMQTT::Client::connected, [&] {
        for (const QString &topic : sampled)
            listener.subscribe(topic);
    });
    QObject::connect(&listener, &QMQTT::Client::received,
                     [&](const QMQTT::Message &message) { arrivals[message.topic()].append(wallMs()); });
    listener.connectToHost();

    QHash<QString, qint64> shown; // the newest second seen stored, per sampled meter
    const qint64 cpuBefore = bench::processCpuNs(recorder.pid());
    const qint64 serverCpuBefore = server ? bench::treeCpuNs(server->serverPid()) : 0;
    const qint64 startMs = wallMs();
    qint64 worstLagMs = 0;
    int lags = 0;
    while (wallMs() - startMs < qint64(seconds) * 1000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        const qint64 nowMs = wallMs();
        for (const QString &topic : sampled) {
            const qint64 after = shown.value(topic, startMs / 1000 + 2);
            for (const StoredRow &row :
                 store.rows(topic, after + 1, std::numeric_limits<qint64>::max(), {HistoryField::Voltage})) {
                // The last reading of that second; the recorder's second may end a moment apart from ours.
                qint64 last = 0;
                for (qint64 at : arrivals.value(topic)) {
                    if (at >= row.second * 1000 - 50 && at < (row.second + 1) * 1000 + 50)
                        last = std::max(last, at);
                }
                if (last > 0) {
                    worstLagMs = std::max(worstLagMs, nowMs - last);
                    ++lags;
                }
                shown[topic] = row.second;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    if (lags < seconds) {
        std::fprintf(stderr, "bench_recorder: only %d seconds of the sampled meters were stored\n", lags);
        return 1;
    }
    const double elapsedS = double(wallMs() - startMs) / 1000.0;
    const double cpuUs = double(bench::processCpuNs(recorder.pid()) - cpuBefore) / 1e3 / (meters * elapsedS);
    const double serverCpuUs =
        server ? double(bench::treeCpuNs(server->serverPid()) - serverCpuBefore) / 1e3 / (meters * elapsedS) : 0;
    simulator.finish();
    recorder.finish();

    bench::printRow(bench, QStringLiteral("worst lag of the store behind %1 meters a second, ms").arg(meters),
                    QString::number(worstLagMs), QStringLiteral("≤ %1").arg(kMaxLagMs),
                    bench::verdictOf(worstLagMs <= kMaxLagMs));
    bench::printRow(bench, QStringLiteral("µs CPU of the recorder per reading"), bench::number(cpuUs, 2));
    if (server)
        bench::printRow(bench, QStringLiteral("µs CPU of the server per reading"), bench::number(serverCpuUs, 2));
    return recorder.exitStatus() == 0 ? 0 : 1;
}
