#include "common/sessionbus.h"

#include <QStandardPaths>

SessionBus::SessionBus() = default;

SessionBus::~SessionBus()
{
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(5000))
            m_daemon.kill();
        m_daemon.waitForFinished(5000);
    }
}

bool SessionBus::start()
{
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty() || !m_dir.isValid())
        return false;
    m_daemon.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                            QStringLiteral("--print-address=1"),
                            QStringLiteral("--address=unix:path=") + m_dir.filePath(QStringLiteral("bus"))});
    if (!m_daemon.waitForStarted(5000))
        return false;
    while (!m_daemon.canReadLine()) {
        if (!m_daemon.waitForReadyRead(5000))
            return false;
    }
    m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
    return !m_address.isEmpty();
}
