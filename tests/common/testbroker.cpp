#include "common/testbroker.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>

#include <memory>
#include <vector>

#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

const QString UserName = QStringLiteral("zelmar");
const QString UserPassword = QStringLiteral("meter-secret");
constexpr int StartTimeoutMs = 10000;
constexpr int ProbeIntervalMs = 20;
// Another test run may grab a port between our check and the broker's bind.
constexpr int StartTries = 3;

// Mosquitto dies with the process that started it, even one that is killed.
class BrokerProcess final : public QProcess
{
protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGKILL); }
};

// Distinct loopback ports nobody listened on a moment ago.
bool pickFreePorts(std::initializer_list<quint16 *> ports)
{
    std::vector<std::unique_ptr<QTcpServer>> servers;
    for (quint16 *port : ports) {
        servers.push_back(std::make_unique<QTcpServer>());
        if (!servers.back()->listen(QHostAddress::LocalHost, 0))
            return false;
        *port = servers.back()->serverPort();
    }
    return true;
}

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    const bool ok = socket.waitForConnected(ProbeIntervalMs * 10);
    socket.abort();
    return ok;
}

QString currentUserName()
{
    const passwd *entry = getpwuid(geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QStringLiteral("root");
}

} // namespace

QString mosquittoTool(const QString &name)
{
    QString path = QStandardPaths::findExecutable(name);
    if (path.isEmpty())
        path = QStandardPaths::findExecutable(
            name, {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/local/sbin"), QStringLiteral("/sbin")});
    return path.isEmpty() ? name : path;
}

TestBroker::TestBroker() = default;

TestBroker::~TestBroker()
{
    stop();
}

void TestBroker::addConfigLine(const QString &line)
{
    m_extraLines << line;
}

QString TestBroker::user() const
{
    return UserName;
}

QString TestBroker::password() const
{
    return UserPassword;
}

bool TestBroker::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

bool TestBroker::start()
{
    if (isRunning())
        return true;
    for (int i = 0; i < StartTries; ++i) {
        if (!pickFreePorts({&m_port, &m_authPort, &m_tlsPort, &m_mutualTlsPort}))
            return false;
        if (restart())
            return true;
    }
    return false;
}

bool TestBroker::restart()
{
    stop();
    if (!m_dir.isValid() || m_port == 0 || !writeConfig())
        return false;
    m_process = std::make_unique<BrokerProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->start(mosquittoTool(QStringLiteral("mosquitto")),
                     {QStringLiteral("-c"), m_dir.filePath("mosquitto.conf")});
    if (!m_process->waitForStarted() || !waitUntilListening()) {
        qWarning("TestBroker: mosquitto did not come up: %s", m_process->readAll().constData());
        kill();
        return false;
    }
    return true;
}

bool TestBroker::waitUntilListening()
{
    for (int waited = 0; waited < StartTimeoutMs; waited += ProbeIntervalMs) {
        if (accepts(m_port) && accepts(m_authPort) &&
            (m_tlsFiles.isEmpty() || (accepts(m_tlsPort) && accepts(m_mutualTlsPort))))
            return true;
        // Doubles as the pause between probes, and notices a broker that quit.
        if (m_process->waitForFinished(ProbeIntervalMs))
            return false;
    }
    return false;
}

void TestBroker::stop()
{
    if (!isRunning())
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(5000))
        kill();
}

void TestBroker::kill()
{
    if (!isRunning())
        return;
    m_process->kill();
    m_process->waitForFinished(5000);
}

bool TestBroker::writeConfig()
{
    const QString passwordFile = m_dir.filePath(QStringLiteral("passwd"));
    if (!QFile::exists(passwordFile)) {
        QProcess tool;
        tool.start(mosquittoTool(QStringLiteral("mosquitto_passwd")),
                   {QStringLiteral("-b"), QStringLiteral("-c"), passwordFile, UserName, UserPassword});
        if (!tool.waitForFinished() || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
            return false;
    }

    QFile file(m_dir.filePath(QStringLiteral("mosquitto.conf")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    QTextStream out(&file);
    // Started as root, Mosquitto would become user "mosquitto", who cannot
    // read the private temporary directory; staying who we are avoids that.
    out << "user " << currentUserName() << '\n'
        << "per_listener_settings true\n"
        << "persistence false\n"
        << "log_dest file " << m_dir.filePath(QStringLiteral("broker.log")) << '\n'
        << "log_type notice\n"
        << "log_type subscribe\n"
        << "log_timestamp false\n";
    for (const QString &line : qAsConst(m_extraLines))
        out << line << '\n';
    out << "listener " << m_port << " 127.0.0.1\n"
        << "allow_anonymous true\n";
    for (const QString &line : qAsConst(m_anonymousListenerLines))
        out << line << '\n';
    // Anonymous too, one listener content with the server's certificate, one
    // that wants the client's as well.
    if (!m_tlsFiles.isEmpty()) {
        for (const quint16 port : {m_tlsPort, m_mutualTlsPort}) {
            out << "listener " << port << " 127.0.0.1\n"
                << "allow_anonymous true\n"
                << "cafile " << m_tlsFiles.at(0) << '\n'
                << "certfile " << m_tlsFiles.at(1) << '\n'
                << "keyfile " << m_tlsFiles.at(2) << '\n';
        }
        out << "require_certificate true\n";
    }
    out << "listener " << m_authPort << " 127.0.0.1\n"
        << "allow_anonymous false\n"
        << "password_file " << passwordFile << '\n';
    return out.status() == QTextStream::Ok;
}

void TestBroker::enableTls(const QString &caFile, const QString &certFile, const QString &keyFile)
{
    m_tlsFiles = QStringList{caFile, certFile, keyFile};
}

bool TestBroker::pause()
{
    return isRunning() && ::kill(pid_t(m_process->processId()), SIGSTOP) == 0;
}

bool TestBroker::resume()
{
    return isRunning() && ::kill(pid_t(m_process->processId()), SIGCONT) == 0;
}

bool TestBroker::grantSubscriptionsOnly(const QString &pattern)
{
    QString plugin;
    const QString name = QStringLiteral("mosquitto_dynamic_security.so");
    QStringList places{QStringLiteral("/usr/lib"), QStringLiteral("/usr/local/lib")};
    for (const QString &triplet : QDir(QStringLiteral("/usr/lib")).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        places << QStringLiteral("/usr/lib/") + triplet;
    for (const QString &place : qAsConst(places)) {
        if (QFile::exists(place + QLatin1Char('/') + name)) {
            plugin = place + QLatin1Char('/') + name;
            break;
        }
    }
    if (plugin.isEmpty())
        return false;

    // Anonymous clients get the roles of the anonymous group; everything else
    // is allowed by default, subscribing not.
    const QJsonObject acl{{QStringLiteral("acltype"), QStringLiteral("subscribePattern")},
                          {QStringLiteral("topic"), pattern},
                          {QStringLiteral("allow"), true},
                          {QStringLiteral("priority"), 0}};
    const QJsonObject role{{QStringLiteral("rolename"), QStringLiteral("granted")},
                           {QStringLiteral("acls"), QJsonArray{acl}}};
    const QJsonObject group{
        {QStringLiteral("groupname"), QStringLiteral("anonymous")},
        {QStringLiteral("roles"), QJsonArray{QJsonObject{{QStringLiteral("rolename"), QStringLiteral("granted")}}}},
        {QStringLiteral("clients"), QJsonArray()}};
    const QJsonObject defaults{{QStringLiteral("publishClientSend"), true},
                               {QStringLiteral("publishClientReceive"), true},
                               {QStringLiteral("subscribe"), false},
                               {QStringLiteral("unsubscribe"), true}};
    const QJsonObject config{{QStringLiteral("defaultACLAccess"), defaults},
                             {QStringLiteral("clients"), QJsonArray()},
                             {QStringLiteral("groups"), QJsonArray{group}},
                             {QStringLiteral("roles"), QJsonArray{role}},
                             {QStringLiteral("anonymousGroup"), QStringLiteral("anonymous")}};
    const QString configFile = m_dir.filePath(QStringLiteral("dynamic-security.json"));
    QFile file(configFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(QJsonDocument(config).toJson()) < 0)
        return false;
    m_anonymousListenerLines =
        QStringList{QStringLiteral("plugin ") + plugin, QStringLiteral("plugin_opt_config_file ") + configFile};
    return true;
}

bool TestBroker::publish(const QString &topic, const QByteArray &payload, bool retain) const
{
    QStringList args{QStringLiteral("-t"), topic};
    // mosquitto_pub refuses to send an empty stdin; -n is its empty message.
    args << (payload.isEmpty() ? QStringLiteral("-n") : QStringLiteral("-s"));
    if (retain)
        args << QStringLiteral("-r");
    return runPublisher(args, payload, 10000);
}

bool TestBroker::publishLines(const QString &topic, const QByteArray &lines) const
{
    return runPublisher({QStringLiteral("-t"), topic, QStringLiteral("-l")}, lines, 30000);
}

bool TestBroker::runPublisher(const QStringList &args, const QByteArray &input, int timeoutMs) const
{
    QProcess pub;
    pub.setProcessChannelMode(QProcess::ForwardedChannels);
    pub.start(mosquittoTool(QStringLiteral("mosquitto_pub")),
              QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                          QString::number(m_port), QStringLiteral("-q"), QStringLiteral("0")} +
                  args);
    if (!pub.waitForStarted())
        return false;
    pub.write(input);
    pub.closeWriteChannel();
    return pub.waitForFinished(timeoutMs) && pub.exitStatus() == QProcess::NormalExit && pub.exitCode() == 0;
}

QStringList TestBroker::logLines() const
{
    QFile file(m_dir.filePath(QStringLiteral("broker.log")));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString TestBroker::log() const
{
    return logLines().join(QLatin1Char('\n'));
}

QStringList TestBroker::loggedCaptures(const QRegularExpression &pattern) const
{
    QStringList captures;
    for (const QString &line : logLines()) {
        const QRegularExpressionMatch match = pattern.match(line);
        if (match.hasMatch())
            captures << match.captured(1);
    }
    return captures;
}

QStringList TestBroker::loggedSubscriptions(const QString &clientId) const
{
    // Mosquitto logs a subscription as "<client id> <qos> <topic filter>".
    static const QRegularExpression pattern(QStringLiteral("^(\\S+) [0-2] (.+)$"));
    QStringList filters;
    for (const QString &line : logLines()) {
        const QRegularExpressionMatch match = pattern.match(line);
        if (match.hasMatch() && (clientId.isEmpty() || match.captured(1) == clientId))
            filters << match.captured(2);
    }
    return filters;
}

qint64 TestBroker::pid() const
{
    return isRunning() ? m_process->processId() : 0;
}

QStringList TestBroker::loggedClientIds() const
{
    static const QRegularExpression pattern(QStringLiteral("^New client connected from \\S+ as (\\S+) \\("));
    return loggedCaptures(pattern);
}

QStringList TestBroker::loggedUserNames() const
{
    // "... as <id> (p2, c1, k60, u'<user>')." names a user; an anonymous client has no u'...'.
    static const QRegularExpression pattern(QStringLiteral("^New client connected from .*?(?:, u'(.*)')?\\)\\.$"));
    return loggedCaptures(pattern);
}
