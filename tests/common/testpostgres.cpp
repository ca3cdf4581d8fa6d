#include "common/testpostgres.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QSqlDatabase>
#include <QTcpServer>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <pwd.h>
#include <unistd.h>

namespace {

// Holds the test process's id: a folder whose process is gone was left behind.
const QString kFolderPrefix = QStringLiteral("zelmar-postgres-");
const QString kSuperuser = QStringLiteral("postgres");
constexpr int kStartTries = 3;

// The newest /usr/lib/postgresql/<version>/bin with the server's programs.
QString binDirectory()
{
    QDir versions(QStringLiteral("/usr/lib/postgresql"));
    QStringList names = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QCollator numeric;
    numeric.setNumericMode(true);
    std::sort(names.begin(), names.end(),
              [&](const QString &a, const QString &b) { return numeric.compare(a, b) > 0; });
    for (const QString &name : names) {
        const QString bin = versions.filePath(name + QStringLiteral("/bin"));
        if (QFile::exists(bin + QStringLiteral("/initdb")) && QFile::exists(bin + QStringLiteral("/pg_ctl")))
            return bin;
    }
    return QString();
}

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

const passwd *serverAccount()
{
    return runningAsRoot() ? ::getpwnam("postgres") : ::getpwuid(::geteuid());
}

// A server of a test process that died never got its stop: stops it and
// drops its folder.
void stopAbandonedServers(const QString &bin)
{
    QDir temp(QDir::tempPath());
    for (const QString &name : temp.entryList({kFolderPrefix + QLatin1Char('*')}, QDir::Dirs)) {
        const qint64 owner = name.mid(kFolderPrefix.size()).section(QLatin1Char('-'), 0, 0).toLongLong();
        if (owner <= 0 || ::kill(pid_t(owner), 0) == 0 || errno == EPERM)
            continue;
        const QString folder = temp.filePath(name);
        const QString pgCtl = bin + QStringLiteral("/pg_ctl");
        const QStringList stop{QStringLiteral("stop"), QStringLiteral("-D"),        folder + QStringLiteral("/data"),
                               QStringLiteral("-m"),   QStringLiteral("immediate"), QStringLiteral("-w")};
        if (QFile::exists(folder + QStringLiteral("/data/postmaster.pid"))) {
            if (runningAsRoot())
                QProcess::execute(QStringLiteral("runuser"),
                                  QStringList{QStringLiteral("-u"), kSuperuser, QStringLiteral("--"), pgCtl} + stop);
            else
                QProcess::execute(pgCtl, stop);
        }
        QDir(folder).removeRecursively();
    }
}

} // namespace

TestPostgres::TestPostgres()
    : m_dir(QDir::tempPath() + QLatin1Char('/') + kFolderPrefix + QString::number(::getpid()) +
            QStringLiteral("-XXXXXX"))
{
    const QString bin = binDirectory();
    if (!bin.isEmpty())
        stopAbandonedServers(bin);
    // The server runs as postgres, who must reach the folder root made.
    const passwd *account = serverAccount();
    if (m_dir.isValid() && account) [[maybe_unused]]
        const int changed = ::chown(QFile::encodeName(m_dir.path()).constData(), account->pw_uid, account->pw_gid);
}

TestPostgres::~TestPostgres()
{
    if (m_running && !stop())
        kill();
}

QString TestPostgres::unavailableReason()
{
    if (binDirectory().isEmpty())
        return QStringLiteral("PostgreSQL's server programs are not installed in /usr/lib/postgresql/*/bin "
                              "(Debian's postgresql; tools/install-deps.sh installs it)");
    if (!serverAccount())
        return QStringLiteral("there is no postgres user to run the server as");
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
        return QStringLiteral("Qt's PostgreSQL driver is not installed (libqt5sql5-psql)");
    return QString();
}

QString TestPostgres::dataDirectory() const
{
    return m_dir.filePath(QStringLiteral("data"));
}

bool TestPostgres::runTool(const QString &tool, const QStringList &arguments, QByteArray *output, int timeoutMs) const
{
    const QString program = binDirectory() + QLatin1Char('/') + tool;
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    environment.remove(QStringLiteral("PGPASSWORD"));
    process.setProcessEnvironment(environment);
    if (output)
        process.setProcessChannelMode(QProcess::SeparateChannels);
    else
        process.setProcessChannelMode(QProcess::MergedChannels);
    if (runningAsRoot())
        process.start(QStringLiteral("runuser"),
                      QStringList{QStringLiteral("-u"), kSuperuser, QStringLiteral("--"), program} + arguments);
    else
        process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        qWarning("TestPostgres: %s did not finish", qPrintable(tool));
        return false;
    }
    const bool ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (output)
        *output = process.readAllStandardOutput();
    if (!ok)
        qWarning("TestPostgres: %s failed: %s", qPrintable(tool),
                 (output ? process.readAllStandardError() : process.readAll()).constData());
    return ok;
}

bool TestPostgres::initialize()
{
    if (m_initialized)
        return true;
    // The superuser comes in through the socket as the server's own account;
    // everybody over TCP with a password.
    m_initialized = runTool(QStringLiteral("initdb"),
                            {QStringLiteral("-D"), dataDirectory(), QStringLiteral("-U"), kSuperuser,
                             QStringLiteral("--auth-local=peer"), QStringLiteral("--auth-host=scram-sha-256"),
                             QStringLiteral("--encoding=UTF8"), QStringLiteral("--no-locale"), QStringLiteral("-N")});
    return m_initialized;
}

bool TestPostgres::start()
{
    if (m_running)
        return true;
    if (!m_dir.isValid() || !initialize())
        return false;
    const bool first = m_port == 0;
    for (int attempt = 0; attempt < (first ? kStartTries : 1); ++attempt) {
        if (first) {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, 0))
                return false;
            m_port = probe.serverPort();
        }
        QStringList options{QStringLiteral("-p %1").arg(m_port), QStringLiteral("-k %1").arg(m_dir.path()),
                            QStringLiteral("-c listen_addresses=127.0.0.1")};
        if (!m_durable)
            options << QStringLiteral("-c fsync=off -c full_page_writes=off");
        m_running =
            runTool(QStringLiteral("pg_ctl"), {QStringLiteral("start"), QStringLiteral("-D"), dataDirectory(),
                                               QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60"),
                                               QStringLiteral("-l"), m_dir.filePath(QStringLiteral("server.log")),
                                               QStringLiteral("-o"), options.join(QLatin1Char(' '))});
        if (m_running)
            break;
        // Another program may have taken the port in between.
        if (first)
            m_port = 0;
    }
    if (!m_running)
        return false;
    if (first) {
        const QString role = QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD '%2'").arg(user(), m_password);
        if (!execute(role, QStringLiteral("postgres")) ||
            !execute(QStringLiteral("CREATE DATABASE %1 OWNER %2").arg(database(), user()), QStringLiteral("postgres")))
            return false;
    }
    return true;
}

bool TestPostgres::stop()
{
    if (!m_running)
        return true;
    m_running =
        !runTool(QStringLiteral("pg_ctl"), {QStringLiteral("stop"), QStringLiteral("-D"), dataDirectory(),
                                            QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w")});
    return !m_running;
}

bool TestPostgres::kill()
{
    if (!m_running)
        return true;
    m_running =
        !runTool(QStringLiteral("pg_ctl"), {QStringLiteral("stop"), QStringLiteral("-D"), dataDirectory(),
                                            QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("-w")});
    return !m_running;
}

bool TestPostgres::isRunning() const
{
    return m_running;
}

qint64 TestPostgres::serverPid() const
{
    QFile file(dataDirectory() + QStringLiteral("/postmaster.pid"));
    if (!m_running || !file.open(QIODevice::ReadOnly))
        return 0;
    return file.readLine().trimmed().toLongLong();
}

bool TestPostgres::setPassword(const QString &password)
{
    if (!execute(QStringLiteral("ALTER ROLE %1 PASSWORD '%2'").arg(user(), password), QStringLiteral("postgres")))
        return false;
    m_password = password;
    return true;
}

QStringList TestPostgres::query(const QString &sql, const QString &database) const
{
    QByteArray output;
    if (!psql(sql, database, &output))
        return {};
    return QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool TestPostgres::execute(const QString &sql, const QString &database) const
{
    QByteArray output;
    return psql(sql, database, &output);
}

bool TestPostgres::psql(const QString &sql, const QString &database, QByteArray *output) const
{
    return runTool(QStringLiteral("psql"),
                   {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-A"), QStringLiteral("-t"),
                    QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-h"), m_dir.path(),
                    QStringLiteral("-p"), QString::number(m_port), QStringLiteral("-U"), kSuperuser,
                    QStringLiteral("-d"), database.isEmpty() ? this->database() : database, QStringLiteral("-c"), sql},
                   output);
}

QString TestPostgres::log() const
{
    QFile file(m_dir.filePath(QStringLiteral("server.log")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
