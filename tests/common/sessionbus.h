#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// A private D-Bus session bus for one test: dbus-daemon --session on a socket in a temporary
// directory, ended with the object. Nothing else on the machine sees it.
class SessionBus final
{
public:
    SessionBus();
    ~SessionBus();
    SessionBus(const SessionBus &) = delete;
    SessionBus &operator=(const SessionBus &) = delete;

    // Starts the daemon and waits for its address; false if dbus-daemon is missing or fails.
    bool start();
    // For QDBusConnection::connectToBus(), or DBUS_SESSION_BUS_ADDRESS.
    QString address() const { return m_address; }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
};
