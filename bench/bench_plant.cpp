// Plant: the program as a plant runs it, against a plain subscriber on the same stream.
//
// The real executable (zelmar-mqtt-client, offscreen) starts in a folder whose Settings.conf
// registers --meters meters and connects by itself (ConnectOnStart) to a private Mosquitto.
// Beside it, `mosquitto_sub -t 'plant/meter/#' > /dev/null` subscribes to the same topics. The
// meter simulator then publishes one reading a second for every meter, the meters spread evenly
// over the second (--spread), as meters on their own clocks do. Once every meter has been
// heard and has come online in the window (kSettleSeconds), the CPU time both subscribers use
// over --seconds (30) is read from /proc (all threads of each, the history's writer included):
// the program may spend at most 1.25 times what mosquitto_sub does.
//
// Each size (by default 1,000 and 10,000 meters) runs with a broker of its own. Also shown: the
// program's resident memory at the end, and how long it was still busy once the simulator
// stopped (a program that fell behind the stream would be working off a backlog: then the
// ratio does not describe a live plant).

#include "benchsupport.h"

#include "config/settingsfile.h"

#include <QCoreApplication>
#include <QLocale>
#include <QThread>

#include <cstdio>

namespace {

constexpr double kMaxCpuRatio = 1.25;
// One offline interval: every meter has spoken ten times, and the window has taken every meter
// coming online.
constexpr int kSettleSeconds = 10;
// Slices of the quiet check at the end, and what counts as busy in one: a tenth of a core (the
// history's flush alone takes a few milliseconds a second). The check must end before the
// offline marks come.
constexpr int kQuietSliceMs = 250;
constexpr qint64 kQuietSliceCpuNs = 25000000;
constexpr int kMaxQuietMs = 8000;
const QString kPrefix = QStringLiteral("plant/meter");
const QString kClientId = QStringLiteral("plant-bench");

struct Options
{
    int seconds = 30;
    QString program = QStringLiteral(ZELMAR_PROGRAM);
    QString simulator = QStringLiteral(ZELMAR_METER_SIM);
};

struct Result
{
    double oursPercent = 0;
    double theirsPercent = 0;
    long residentKb = -1;
    int busyAfterMs = -1;
};

void sleepMs(int ms)
{
    QThread::msleep(ulong(ms));
}

// Beside the meters and the broker of SettingsDirectory: a client id, so that the broker's log
// tells when the program's subscriptions are all made, and a connection at start.
bool addPlantSettings()
{
    const SettingsFile file;
    BrokerSettings broker = file.readBrokerForEditing();
    broker.clientId = kClientId;
    AdvancedSettings advanced;
    advanced.options.connectOnStart = true;
    return file.writeBroker(broker) == WriteResult::Written &&
           file.writeAdvancedSettings(advanced) == WriteResult::Written;
}

bool startSimulator(bench::Child *simulator, const Options &options, const TestBroker &broker, int meters)
{
    return simulator->start(options.simulator,
                            {QStringLiteral("--port"), QString::number(broker.port()), QStringLiteral("--meters"),
                             QString::number(meters), QStringLiteral("--prefix"), kPrefix, QStringLiteral("--spread"),
                             QStringLiteral("--seed"), QStringLiteral("1")},
                            false);
}

// How long pid keeps working after the stream stopped, in whole slices.
int busyAfterStop(pid_t pid)
{
    qint64 before = bench::processCpuNs(pid);
    for (int waited = kQuietSliceMs; waited <= kMaxQuietMs; waited += kQuietSliceMs) {
        sleepMs(kQuietSliceMs);
        const qint64 after = bench::processCpuNs(pid);
        if (after - before < kQuietSliceCpuNs)
            return waited - kQuietSliceMs;
        before = after;
    }
    return kMaxQuietMs;
}

bool runPlant(const Options &options, int meters, Result *result)
{
    TestBroker broker;
    if (!bench::startBroker(&broker))
        return false;
    // The program starts in this folder and reads its Settings.conf there.
    const bench::SettingsDirectory dir(broker.port(), meters, kPrefix);
    if (!dir.isValid() || !addPlantSettings())
        return false;
    bench::Child program;
    bench::Child sub;
    bench::Child simulator;
    if (!program.start(options.program, {}, false) ||
        !bench::waitForSubscription(broker, kClientId, bench::meterTopic(kPrefix, meters), 180000)) {
        std::fprintf(stderr, "bench_plant: the program did not subscribe its %d meters\n", meters);
        return false;
    }
    if (!bench::startMosquittoSub(&sub, broker, kPrefix + QStringLiteral("/#")) ||
        !startSimulator(&simulator, options, broker, meters))
        return false;
    std::fprintf(stderr, "bench_plant: %d meters publishing, settling for %d s\n", meters, kSettleSeconds);
    sleepMs(kSettleSeconds * 1000);

    const qint64 start = bench::monotonicNs();
    const qint64 oursBefore = bench::processCpuNs(program.pid());
    const qint64 theirsBefore = bench::processCpuNs(sub.pid());
    sleepMs(options.seconds * 1000);
    const qint64 ours = bench::processCpuNs(program.pid()) - oursBefore;
    const qint64 theirs = bench::processCpuNs(sub.pid()) - theirsBefore;
    const double wallNs = double(bench::monotonicNs() - start);
    result->residentKb = bench::residentKb(program.pid());

    simulator.finish();
    result->busyAfterMs = busyAfterStop(program.pid());
    result->oursPercent = 100.0 * double(ours) / wallNs;
    result->theirsPercent = 100.0 * double(theirs) / wallNs;
    program.finish();
    sub.finish();
    return ours > 0 && theirs > 0 && program.exitStatus() == 0;
}

QString formatted(int number)
{
    return QLocale(QLocale::English).toString(number);
}

} // namespace

int main(int argc, char **argv)
{
    // The program finds its platform in the environment it inherits.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    Options options;
    options.seconds = int(bench::longOption(args, QStringLiteral("--seconds"), options.seconds));
    options.program = bench::stringOption(args, QStringLiteral("--program"), options.program);
    options.simulator = bench::stringOption(args, QStringLiteral("--simulator"), options.simulator);
    // --meters N measures N meters alone.
    const long only = bench::longOption(args, QStringLiteral("--meters"), 0);
    const QVector<int> sizes = only > 0 ? QVector<int>{int(only)} : QVector<int>{1000, 10000};

    int status = 0;
    for (int meters : sizes) {
        const QString name = QStringLiteral("plant, %1 meters").arg(formatted(meters));
        Result result;
        if (!runPlant(options, meters, &result)) {
            bench::printRow(name, QStringLiteral("run"), QStringLiteral("failed"), QStringLiteral("completes"),
                            bench::Verdict::Miss);
            status = 1;
            continue;
        }
        bench::printRow(name,
                        QStringLiteral("CPU % of a core over %1 s at %2 msg/s, ours / mosquitto_sub")
                            .arg(options.seconds)
                            .arg(formatted(meters)),
                        QStringLiteral("%1 / %2").arg(bench::number(result.oursPercent, 1),
                                                      bench::number(result.theirsPercent, 1)));
        const double ratio = result.oursPercent / result.theirsPercent;
        bench::printRow(name, QStringLiteral("CPU per message, ours ÷ mosquitto_sub"), bench::number(ratio, 2),
                        QStringLiteral("≤ %1").arg(kMaxCpuRatio, 0, 'f', 2), bench::verdictOf(ratio <= kMaxCpuRatio));
        bench::printRow(name, QStringLiteral("resident MB of the program at the end"),
                        bench::number(double(result.residentKb) / 1024.0, 0));
        bench::printRow(name, QStringLiteral("ms the program was still busy once the stream stopped"),
                        QString::number(result.busyAfterMs));
    }
    return status;
}
