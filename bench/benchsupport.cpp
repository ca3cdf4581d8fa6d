#include "benchsupport.h"

#include "config/settingsfile.h"

#include <QDir>
#include <QFile>
#include <QSettings>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace bench {

namespace {

qint64 clockNs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The platform is chosen when the application object is made, so it is set
// on the way to the base class's constructor.
int &offscreenUnlessSet(int &argc)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return argc;
}

QByteArray readProcFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

} // namespace

qint64 monotonicNs()
{
    return clockNs(CLOCK_MONOTONIC);
}

qint64 ownCpuNs()
{
    return clockNs(CLOCK_PROCESS_CPUTIME_ID);
}

qint64 treeCpuNs(qint64 pid)
{
    const qint64 tickNs = 1000000000 / sysconf(_SC_CLK_TCK);
    const auto fields = [](qint64 process) {
        QFile file(QStringLiteral("/proc/%1/stat").arg(process));
        if (!file.open(QIODevice::ReadOnly))
            return QList<QByteArray>();
        const QByteArray stat = file.readAll();
        // The command may hold spaces; the fields after it are counted from its ')'.
        return stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    };
    const QList<QByteArray> own = fields(pid);
    if (own.size() < 15)
        return 0;
    // utime stime cutime cstime are fields 14 to 17, 12 to 15 after the command.
    qint64 ticks =
        own.at(11).toLongLong() + own.at(12).toLongLong() + own.at(13).toLongLong() + own.at(14).toLongLong();
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 child = entry.toLongLong(&number);
        if (!number)
            continue;
        const QList<QByteArray> stat = fields(child);
        if (stat.size() > 12 && stat.at(1).toLongLong() == pid)
            ticks += stat.at(11).toLongLong() + stat.at(12).toLongLong();
    }
    return ticks * tickNs;
}

qint64 processCpuNs(pid_t pid)
{
    // schedstat counts in nanoseconds, but per thread: the threads are added
    // up (the history's writer is one). stat counts the whole process, but
    // only in clock ticks of 10 ms.
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    qint64 threadsNs = 0;
    int threads = 0;
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const QByteArray schedstat = readProcFile(tasks.filePath(task + QStringLiteral("/schedstat")));
        const qint64 ns = schedstat.split(' ').value(0).toLongLong(&ok);
        if (ok) {
            threadsNs += ns;
            ++threads;
        }
    }
    if (threads > 0)
        return threadsNs;
    const QByteArray schedstat = readProcFile(QStringLiteral("/proc/%1/schedstat").arg(pid));
    if (!schedstat.isEmpty()) {
        bool ok = false;
        const qint64 ns = schedstat.split(' ').value(0).toLongLong(&ok);
        if (ok)
            return ns;
    }
    const QByteArray stat = readProcFile(QStringLiteral("/proc/%1/stat").arg(pid));
    // The command name may hold spaces; the fields after it do not.
    const int close = stat.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const qint64 ticks = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    return ticks * (1000000000 / sysconf(_SC_CLK_TCK));
}

long residentKb()
{
    return residentKb(::getpid());
}

long residentKb(pid_t pid)
{
    const QByteArray statm = readProcFile(QStringLiteral("/proc/%1/statm").arg(pid));
    const QList<QByteArray> fields = statm.split(' ');
    if (fields.size() < 2)
        return -1;
    return fields.at(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024);
}

long longOption(const QStringList &args, const QString &name, long fallback)
{
    const int at = args.indexOf(name);
    if (at < 0 || at + 1 >= args.size())
        return fallback;
    bool ok = false;
    const long value = args.at(at + 1).toLong(&ok);
    return ok ? value : fallback;
}

QString stringOption(const QStringList &args, const QString &name, const QString &fallback)
{
    const int at = args.indexOf(name);
    return at < 0 || at + 1 >= args.size() ? fallback : args.at(at + 1);
}

void printRow(const QString &bench, const QString &figure, const QString &value, const QString &target, Verdict verdict)
{
    const char *mark = verdict == Verdict::Pass ? "PASS" : verdict == Verdict::Miss ? "MISS" : "-";
    std::printf("row|%s|%s|%s|%s|%s\n", qPrintable(bench), qPrintable(figure), qPrintable(value),
                qPrintable(target.isEmpty() ? QStringLiteral("-") : target), mark);
    std::fflush(stdout);
}

Verdict verdictOf(bool met)
{
    return met ? Verdict::Pass : Verdict::Miss;
}

QString number(double value, int decimals)
{
    return QString::number(value, 'f', decimals);
}

QString meterTopic(const QString &prefix, int number)
{
    return prefix + QLatin1Char('/') + QString::number(number);
}

bool writeSettings(const QString &directory, quint16 port, int meters, const QString &prefix, bool recordHistory)
{
    const QString fileName = QDir(directory).filePath(QStringLiteral("Settings.conf"));
    BrokerSettings broker;
    broker.host = QStringLiteral("127.0.0.1");
    broker.port = port;
    if (SettingsFile(fileName).writeBroker(broker) != WriteResult::Written)
        return false;
    HistorySettings history;
    history.enabled = true;
    if (recordHistory && SettingsFile(fileName).writeHistory(history) != WriteResult::Written)
        return false;
    // One array write: adding meters one by one through the device list
    // would rewrite the file for each of them.
    QSettings settings(fileName, QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Devices"));
    settings.beginWriteArray(QStringLiteral("DEV"), meters);
    for (int i = 0; i < meters; ++i) {
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("dev_name"), QStringLiteral("Счётчик %1").arg(i + 1));
        settings.setValue(QStringLiteral("topic"), meterTopic(prefix, i + 1));
    }
    settings.endArray();
    settings.endGroup();
    settings.sync();
    return settings.status() == QSettings::NoError;
}

bool writeWatchSettings(const QString &directory, bool limitsAndPlans, bool desktop)
{
    const QString fileName = QDir(directory).filePath(QStringLiteral("Settings.conf"));
    const QVector<DeviceEntry> devices = SettingsFile(fileName).readDevices();
    QSettings settings(fileName, QSettings::IniFormat);
    if (desktop)
        settings.setValue(QStringLiteral("Notify/Desktop"), true);
    if (limitsAndPlans) {
        // The simulator's supply stays within these: every reading is checked, none raises.
        settings.setValue(QStringLiteral("Alarms/VoltageMin"), 198);
        settings.setValue(QStringLiteral("Alarms/VoltageMax"), 242);
        settings.setValue(QStringLiteral("Alarms/FrequencyMin"), 48);
        settings.setValue(QStringLiteral("Alarms/FrequencyMax"), 52);
        settings.beginGroup(QStringLiteral("Maintenance"));
        settings.beginWriteArray(QStringLiteral("PLAN"), devices.size());
        for (int i = 0; i < devices.size(); ++i) {
            settings.setArrayIndex(i);
            settings.setValue(QStringLiteral("topic"), devices.at(i).topic);
            settings.setValue(QStringLiteral("IntervalHours"), 1000000);
            settings.setValue(QStringLiteral("IntervalStarts"), 1000000);
            settings.setValue(QStringLiteral("MarkDate"), QStringLiteral("2026-01-01"));
            settings.setValue(QStringLiteral("MarkSeconds"), 0);
            settings.setValue(QStringLiteral("MarkStarts"), 0);
        }
        settings.endArray();
        settings.endGroup();
    }
    settings.sync();
    return settings.status() == QSettings::NoError;
}

WidgetApplication::WidgetApplication(int &argc, char **argv) : QApplication(offscreenUnlessSet(argc), argv) {}

SettingsDirectory::SettingsDirectory(quint16 port, int meters, const QString &prefix, bool recordHistory)
    : m_previous(QDir::currentPath())
{
    m_entered = m_dir.isValid() && writeSettings(m_dir.path(), port, meters, prefix, recordHistory) &&
                QDir::setCurrent(m_dir.path());
}

SettingsDirectory::~SettingsDirectory()
{
    QDir::setCurrent(m_previous);
}

MeterReadings::MeterReadings(int meters)
{
    m_meters.reserve(std::size_t(meters));
    constexpr int kModels[] = {1, 10, 20};
    for (int i = 0; i < meters; ++i)
        m_meters.push_back({kModels[i % 3], 20 + i % 1900, 360000 + 7919 * i, i % 1800, 600 + i % 28000, 227 + i % 7});
}

QByteArray MeterReadings::next(int meter)
{
    State &s = m_meters[std::size_t(meter)];
    ++m_tick;
    ++s.common;
    ++s.current;
    if (m_tick % 3 == 0)
        s.voltage = s.voltage >= 235 ? 225 : s.voltage + 1;
    const int freq = m_tick % 20 == 0 ? 49 : m_tick % 20 == 1 ? 51 : 50;
    char text[200];
    const int length = std::snprintf(text, sizeof text,
                                     "{\"dev_type\":%d,\"dev_mode\":0,\"num_starts\":%d,\"t_common\":%d,"
                                     "\"t_current\":%d,\"t_last\":%d,\"voltage\":%d,\"freq\":%d}",
                                     s.model, s.starts, s.common, s.current, s.last, s.voltage, freq);
    return QByteArray(text, length);
}

Child::~Child()
{
    finish();
}

bool Child::start(const QString &program, const QStringList &args, bool readOutput)
{
    std::vector<QByteArray> storage;
    storage.push_back(program.toLocal8Bit());
    for (const QString &arg : args)
        storage.push_back(arg.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    if (readOutput && ::pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    const int devNull = readOutput ? -1 : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t parent = ::getpid();
    m_pid = ::fork();
    if (m_pid == 0) {
        // Only async-signal-safe calls from here on. A benchmark that is
        // killed takes its broker and subscribers with it.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(readOutput ? pipeFds[1] : devNull, STDOUT_FILENO);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    if (readOutput) {
        ::close(pipeFds[1]);
        m_out = pipeFds[0];
    } else {
        ::close(devNull);
    }
    if (m_pid < 0) {
        m_pid = -1;
        return false;
    }
    m_exited = false;
    return true;
}

bool Child::readLine(QByteArray *line, int timeoutMs)
{
    const qint64 deadline = monotonicNs() + qint64(timeoutMs) * 1000000;
    while (true) {
        const int newline = m_buffer.indexOf('\n');
        if (newline >= 0) {
            *line = m_buffer.left(newline);
            m_buffer.remove(0, newline + 1);
            return true;
        }
        const qint64 left = (deadline - monotonicNs()) / 1000000;
        if (m_out < 0 || left <= 0)
            break;
        pollfd waitFor{m_out, POLLIN, 0};
        if (::poll(&waitFor, 1, int(left)) <= 0)
            continue;
        char chunk[4096];
        const ssize_t got = ::read(m_out, chunk, sizeof chunk);
        if (got <= 0)
            break;
        m_buffer.append(chunk, int(got));
    }
    line->clear();
    return false;
}

bool Child::stop()
{
    if (m_pid <= 0 || ::kill(m_pid, SIGSTOP) != 0)
        return false;
    siginfo_t info{};
    return ::waitid(P_PID, id_t(m_pid), &info, WSTOPPED) == 0;
}

bool Child::resume()
{
    return m_pid > 0 && ::kill(m_pid, SIGCONT) == 0;
}

bool Child::waitForExit(int timeoutMs)
{
    if (m_pid <= 0)
        return false;
    const qint64 deadline = monotonicNs() + qint64(timeoutMs) * 1000000;
    while (!m_exited) {
        siginfo_t info{};
        if (::waitid(P_PID, id_t(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
            return false;
        if (info.si_pid == m_pid) {
            m_exited = true;
            break;
        }
        if (monotonicNs() > deadline)
            return false;
        // Short enough not to blur the end of a run of a second or more.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void Child::finish()
{
    if (m_pid > 0) {
        if (!m_exited) {
            ::kill(m_pid, SIGCONT);
            ::kill(m_pid, SIGTERM);
            if (!waitForExit(5000))
                ::kill(m_pid, SIGKILL);
        }
        int status = 0;
        if (::waitpid(m_pid, &status, 0) == m_pid)
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        m_pid = -1;
    }
    if (m_out >= 0) {
        ::close(m_out);
        m_out = -1;
    }
}

bool startBroker(TestBroker *broker)
{
    // The default of 1000 would drop QoS 0 messages for a subscriber that is
    // paused or slower than the publisher.
    broker->addConfigLine(QStringLiteral("max_queued_messages 0"));
    return broker->start();
}

bool waitForSubscription(const TestBroker &broker, const QString &clientId, const QString &filter, int timeoutMs)
{
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (broker.loggedSubscriptions(clientId).contains(filter))
            return true;
        sleepMs(20);
    }
    return false;
}

bool waitUntilIdle(const TestBroker &broker, int timeoutMs)
{
    const pid_t pid = pid_t(broker.pid());
    qint64 before = processCpuNs(pid);
    for (int waited = 0; waited < timeoutMs; waited += 250) {
        sleepMs(250);
        const qint64 after = processCpuNs(pid);
        if (after - before < 2000000)
            return true;
        before = after;
    }
    return false;
}

bool startMosquittoSub(Child *sub, const TestBroker &broker, const QString &filter, long count)
{
    // A new id each time: the broker's log is searched for this subscription.
    static int started = 0;
    const QString clientId = QStringLiteral("bench-sub-%1").arg(++started);
    QStringList args{QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                     QStringLiteral("-p"), QString::number(broker.port()),
                     QStringLiteral("-i"), clientId,
                     QStringLiteral("-k"), QStringLiteral("300"),
                     QStringLiteral("-t"), filter};
    if (count > 0)
        args << QStringLiteral("-C") << QString::number(count);
    return sub->start(mosquittoTool(QStringLiteral("mosquitto_sub")), args, false) &&
           waitForSubscription(broker, clientId, filter, 10000);
}

bool startClientProcess(Child *child, const QString &program, quint16 port, int meters, const QString &prefix,
                        long count, const QStringList &extraArgs)
{
    const QStringList args =
        QStringList{QStringLiteral("--port"),  QString::number(port),      QStringLiteral("--meters"),
                    QString::number(meters),   QStringLiteral("--prefix"), prefix,
                    QStringLiteral("--count"), QString::number(count)} +
        extraArgs;
    if (!child->start(program, args, true))
        return false;
    QByteArray line;
    if (!child->readLine(&line, 60000) || line != "ready") {
        std::fprintf(stderr, "client process did not get ready: %s\n", line.constData());
        return false;
    }
    return true;
}

bool waitForClientDone(Child *child, ClientDone *done, int timeoutMs)
{
    QByteArray line;
    if (!child->readLine(&line, timeoutMs) || !line.startsWith("done ")) {
        std::fprintf(stderr, "client process did not finish: %s\n", line.constData());
        return false;
    }
    const QList<QByteArray> fields = line.split(' ');
    if (fields.size() < 4)
        return false;
    done->count = fields.at(1).toLong();
    done->firstNs = fields.at(2).toLongLong();
    done->lastNs = fields.at(3).toLongLong();
    return true;
}

bool startLoad(Child *child, const QString &program, quint16 port, int meters, const QString &prefix, long count)
{
    return child->start(program,
                        {QStringLiteral("--port"), QString::number(port), QStringLiteral("--meters"),
                         QString::number(meters), QStringLiteral("--prefix"), prefix, QStringLiteral("--count"),
                         QString::number(count), QStringLiteral("--seed"), QStringLiteral("1")},
                        false);
}

} // namespace bench
