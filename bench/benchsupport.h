#pragma once

// What the benchmarks share: clocks, CPU and memory readings, child processes,
// a private broker, the configuration file, meter payloads, and the result
// rows that tools/bench.sh gathers into its table.

#include "common/testbroker.h"

#include <QApplication>
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/types.h>

#include <vector>

namespace bench {

qint64 monotonicNs();
// CPU time (user + system) of this process so far.
qint64 ownCpuNs();
// CPU time (user + system) of another process so far, all its threads
// together, also of one that has exited but not yet been reaped (then of its
// main thread); -1 if it cannot be read.
qint64 processCpuNs(pid_t pid);
// CPU time (user + system) of a process and of its children, alive or
// reaped (a server's workers), in clock ticks of 10 ms; 0 if it cannot be read.
qint64 treeCpuNs(qint64 pid);
// Resident set of this process, or of another one (-1 if it cannot be read).
long residentKb();
long residentKb(pid_t pid);

// The value of "--name VALUE" in args, or fallback.
long longOption(const QStringList &args, const QString &name, long fallback);
QString stringOption(const QStringList &args, const QString &name, const QString &fallback);

// One line of the result table: the figure, what was measured, the target
// it is held against (empty for a plain figure) and whether it was met.
enum class Verdict
{
    None,
    Pass,
    Miss
};
void printRow(const QString &bench, const QString &figure, const QString &value, const QString &target = {},
              Verdict verdict = Verdict::None);
Verdict verdictOf(bool met);
QString number(double value, int decimals);

// The topic the meter simulator publishes meter `number` (from 1) on.
QString meterTopic(const QString &prefix, int number);
// Writes the Settings.conf the program would have after registering meters
// 1..meters of the simulator and setting the broker 127.0.0.1:port.
// With recordHistory, [History] Enabled=true too.
bool writeSettings(const QString &directory, quint16 port, int meters, const QString &prefix,
                   bool recordHistory = false);

// Adds to the Settings.conf in directory, for the meters it registers: with
// limitsAndPlans, supply limits for all ([Alarms]) and a maintenance plan by
// hours and starts for each, far from due; with desktop, [Notify] Desktop=true.
bool writeWatchSettings(const QString &directory, bool limitsAndPlans, bool desktop);

// The application object of a benchmark that makes widgets: offscreen, unless
// QT_QPA_PLATFORM names another platform.
class WidgetApplication final : public QApplication
{
public:
    WidgetApplication(int &argc, char **argv);
};

// A scratch working directory for as long as the object lives, holding the
// Settings.conf of writeSettings(); the one before is the working directory
// again at the end.
class SettingsDirectory final
{
public:
    SettingsDirectory(quint16 port, int meters, const QString &prefix, bool recordHistory = false);
    ~SettingsDirectory();
    SettingsDirectory(const SettingsDirectory &) = delete;
    SettingsDirectory &operator=(const SettingsDirectory &) = delete;

    bool isValid() const { return m_entered; }

private:
    QTemporaryDir m_dir;
    QString m_previous;
    bool m_entered = false;
};

// Readings of a row of running meters, shaped like the simulator's: each call
// of next() for a meter gives its next reading, in which the running time and
// the supply values have moved on.
class MeterReadings final
{
public:
    explicit MeterReadings(int meters);
    QByteArray next(int meter);

private:
    struct State
    {
        int model;
        int starts;
        int common;
        int current;
        int last;
        int voltage;
    };
    std::vector<State> m_meters;
    unsigned m_tick = 0;
};

// A child process, killed when the benchmark dies. Its standard output is either read
// line by line through a pipe or thrown away; standard error goes to ours.
class Child final
{
public:
    Child() = default;
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool start(const QString &program, const QStringList &args, bool readOutput);
    pid_t pid() const { return m_pid; }
    // The next whole line of output, without its newline; empty and false
    // after timeoutMs or at the end of the output.
    bool readLine(QByteArray *line, int timeoutMs);
    bool stop();
    bool resume();
    // Waits for the end without reaping, so that processCpuNs() still works.
    bool waitForExit(int timeoutMs);
    // SIGTERM if still running, then reaps it.
    void finish();
    int exitStatus() const { return m_status; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    QByteArray m_buffer;
    bool m_exited = false;
    int m_status = -1;
};

// The tests' private broker, set never to drop a message for a slow subscriber.
bool startBroker(TestBroker *broker);
// Waits until the broker's log shows clientId subscribed to filter.
bool waitForSubscription(const TestBroker &broker, const QString &clientId, const QString &filter, int timeoutMs);
// Waits until the broker has used no CPU for a while: the messages a
// publisher left in its socket are all in the subscribers' queues then.
bool waitUntilIdle(const TestBroker &broker, int timeoutMs);

// mosquitto_sub on filter, its output thrown away, waited for until the
// broker has its subscription; it ends after count messages (none: it runs
// until stopped). Keep-alive 300 s, like the program's, so that a long pause
// does not end its session.
bool startMosquittoSub(Child *sub, const TestBroker &broker, const QString &filter, long count = 0);

// bench_ingest_subscriber (the program's receiving end) started on the
// broker at port, for meters 1..meters of the simulator with that prefix,
// waited for until it has subscribed them all.
bool startClientProcess(Child *child, const QString &program, quint16 port, int meters, const QString &prefix,
                        long count, const QStringList &extraArgs = {});

// What the client process says when it is done.
struct ClientDone
{
    long count = 0;
    qint64 firstNs = 0;
    qint64 lastNs = 0;
};
bool waitForClientDone(Child *child, ClientDone *done, int timeoutMs);

// The simulator's load mode: count readings, round robin over meters 1..meters.
bool startLoad(Child *child, const QString &program, quint16 port, int meters, const QString &prefix, long count);

} // namespace bench
