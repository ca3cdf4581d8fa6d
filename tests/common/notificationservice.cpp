#include "common/notificationservice.h"

#include <QUuid>

NotificationService::NotificationService(const QString &address)
    : m_bus(QDBusConnection::connectToBus(address, QUuid::createUuid().toString()))
{
}

NotificationService::~NotificationService()
{
    const QString name = m_bus.name();
    m_bus.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    QDBusConnection::disconnectFromBus(name);
}

bool NotificationService::registerOnBus()
{
    return m_bus.isConnected() &&
           m_bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                                QDBusConnection::ExportAllSlots) &&
           m_bus.registerService(QStringLiteral("org.freedesktop.Notifications"));
}

QStringList NotificationService::summaries() const
{
    QStringList summaries;
    for (const Call &call : m_calls)
        summaries << call.summary;
    return summaries;
}

uint NotificationService::Notify(const QString &appName, uint, const QString &icon, const QString &summary,
                                 const QString &body, const QStringList &, const QVariantMap &hints, int)
{
    m_calls.append({appName, icon, summary, body, hints});
    emit notified();
    return uint(m_calls.size());
}

QStringList NotificationService::GetCapabilities()
{
    return {QStringLiteral("body")};
}

QString NotificationService::GetServerInformation(QString &vendor, QString &version, QString &protocolVersion)
{
    vendor = QStringLiteral("tests");
    version = QStringLiteral("1");
    protocolVersion = QStringLiteral("1.2");
    return QStringLiteral("NotificationService");
}

void NotificationService::CloseNotification(uint) {}
