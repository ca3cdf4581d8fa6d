#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QVariantMap>
#include <QVector>

// A desktop's notification service of the test's own (org.freedesktop.Notifications on the
// bus at `address`) that shows nothing and records every Notify call.
class NotificationService final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call
    {
        QString appName;
        QString icon;
        QString summary;
        QString body;
        QVariantMap hints;
    };

    explicit NotificationService(const QString &address);
    ~NotificationService() override;

    // Takes the service's name on the bus; false if that fails.
    bool registerOnBus();

    const QVector<Call> &calls() const { return m_calls; }
    QStringList summaries() const;

public slots:
    uint Notify(const QString &appName, uint replacesId, const QString &icon, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints, int timeout);
    QStringList GetCapabilities();
    QString GetServerInformation(QString &vendor, QString &version, QString &protocolVersion);
    void CloseNotification(uint id);

signals:
    void notified();

private:
    QDBusConnection m_bus;
    QVector<Call> m_calls;
};
