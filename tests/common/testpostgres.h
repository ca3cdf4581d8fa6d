#pragma once

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A private PostgreSQL server for one test or benchmark, made with Debian's
// own initdb and pg_ctl in a scratch folder: it listens on 127.0.0.1 on a
// port that was free when it started, and on a socket in that folder. Run as
// root (as the tests are), the server runs as the postgres user through
// runuser, since PostgreSQL refuses root.
//
// Connections over TCP need a password (scram-sha-256): the database
// database(), owned by user() with password(), is made at the first start.
// The fixture itself works through the socket as the server's superuser.
//
// The server is stopped when the object goes, also when a test fails. One
// left behind by a test process that died (a crash, a timeout's kill) is
// stopped by the next fixture made on the machine.
class TestPostgres final
{
public:
    TestPostgres();
    ~TestPostgres();
    TestPostgres(const TestPostgres &) = delete;
    TestPostgres &operator=(const TestPostgres &) = delete;

    // Why a server cannot be made here (its programs or Qt's driver are not
    // installed), for QSKIP; empty when it can.
    static QString unavailableReason();

    // Without it the server neither syncs nor writes full pages: fast, and
    // enough for anything short of a power cut (a commit is in the log, in
    // the system's cache, once it returns, so kill() loses none). Takes
    // effect at the next start().
    void setDurable(bool durable) { m_durable = durable; }

    // Makes the cluster the first time, starts the server and waits until it
    // accepts connections; the same port every time after the first.
    bool start();
    // A fast shutdown: connections are told and closed.
    bool stop();
    // As after a crash of the server: its connections drop without a word.
    bool kill();
    bool isRunning() const;
    // The server's main process (its postmaster), 0 when it does not run.
    qint64 serverPid() const;

    QString host() const { return QStringLiteral("127.0.0.1"); }
    quint16 port() const { return m_port; }
    QString database() const { return QStringLiteral("zelmar"); }
    QString user() const { return QStringLiteral("zelmar"); }
    QString password() const { return m_password; }
    // Gives user() another password, as an administrator would.
    bool setPassword(const QString &password);

    // Runs statements as the superuser in database() (or another), through
    // psql; the output rows as text, fields separated by '|'. Empty on a
    // failure, which is also logged as a warning.
    QStringList query(const QString &sql, const QString &database = QString()) const;
    bool execute(const QString &sql, const QString &database = QString()) const;
    // The server's log so far, for failure messages.
    QString log() const;

private:
    bool initialize();
    bool psql(const QString &sql, const QString &database, QByteArray *output) const;
    bool runTool(const QString &tool, const QStringList &arguments, QByteArray *output = nullptr,
                 int timeoutMs = 60000) const;
    QString dataDirectory() const;

    QTemporaryDir m_dir;
    quint16 m_port = 0;
    QString m_password = QStringLiteral("meter-db-secret");
    bool m_durable = false;
    bool m_initialized = false;
    bool m_running = false;
};
