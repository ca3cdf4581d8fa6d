#pragma once

#include <QByteArray>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// The path of a Mosquitto program (the broker itself lives in /usr/sbin), or its bare name.
QString mosquittoTool(const QString &name);

// A private Mosquitto broker for one test or benchmark: an anonymous listener on port(), and
// a listener on authPort() that only lets user()/password() in. Both listen on
// 127.0.0.1, on ports that were free when the object was made. The broker logs
// connections and subscriptions into its temporary directory, where tests can
// read them back.
class TestBroker final
{
public:
    TestBroker();
    ~TestBroker();
    TestBroker(const TestBroker &) = delete;
    TestBroker &operator=(const TestBroker &) = delete;

    // A line for mosquitto.conf (e.g. "max_queued_messages 0"); takes effect
    // at the next start() or restart().
    void addConfigLine(const QString &line);
    // Makes the anonymous listener grant only subscriptions whose filter
    // matches `pattern` and refuse the others, through Mosquitto's
    // dynamic-security plugin (its acl_file never refuses a subscription).
    // Takes effect at the next start() or restart(); false if the plugin is
    // not installed.
    bool grantSubscriptionsOnly(const QString &pattern);

    // Adds two TLS listeners with the broker's CA, certificate and key (PEM):
    // tlsPort() takes anonymous clients, mutualTlsPort() only those with a
    // certificate the CA signed. Takes effect at the next start() or restart().
    void enableTls(const QString &caFile, const QString &certFile, const QString &keyFile);

    // Starts the broker and waits until all its ports accept connections.
    bool start();
    // SIGTERM, then waits for the broker to end.
    void stop();
    // SIGKILL: the broker vanishes without a word to its clients.
    void kill();
    // Stops the broker if it runs and starts it again on the same ports.
    bool restart();
    // SIGSTOP and SIGCONT: a broker that stops answering, its connections up.
    bool pause();
    bool resume();
    bool isRunning() const;

    quint16 port() const { return m_port; }
    quint16 authPort() const { return m_authPort; }
    quint16 tlsPort() const { return m_tlsPort; }
    quint16 mutualTlsPort() const { return m_mutualTlsPort; }
    QString user() const;
    QString password() const;

    // Publishes one message (QoS 0) on the anonymous listener with
    // mosquitto_pub; the payload goes over byte for byte.
    bool publish(const QString &topic, const QByteArray &payload, bool retain = false) const;
    // Publishes every line of `lines` as one message, through one mosquitto_pub.
    bool publishLines(const QString &topic, const QByteArray &lines) const;

    // The topic filters of all SUBSCRIBE requests the broker has seen (from
    // clientId only, if one is given), oldest first.
    QStringList loggedSubscriptions(const QString &clientId = {}) const;
    // The client id of every accepted connection, oldest first; the broker
    // makes up an "auto-..." id for a client that brings none.
    QStringList loggedClientIds() const;
    // The user name of every accepted connection, oldest first; empty for an anonymous one.
    QStringList loggedUserNames() const;
    // The broker's whole log so far, for failure messages.
    QString log() const;

    QString directory() const { return m_dir.path(); }
    // The broker's process id, 0 when it does not run.
    qint64 pid() const;

private:
    bool writeConfig();
    bool waitUntilListening();
    bool runPublisher(const QStringList &args, const QByteArray &input, int timeoutMs) const;
    QStringList logLines() const;
    // The first capture of `pattern` in every log line it matches.
    QStringList loggedCaptures(const QRegularExpression &pattern) const;

    QTemporaryDir m_dir;
    quint16 m_port = 0;
    quint16 m_authPort = 0;
    quint16 m_tlsPort = 0;
    quint16 m_mutualTlsPort = 0;
    QStringList m_tlsFiles; // CA, certificate, key
    QStringList m_extraLines;
    QStringList m_anonymousListenerLines;
    std::unique_ptr<QProcess> m_process;
};
