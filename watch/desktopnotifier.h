#pragma once

#include "watch/watchevent.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <QVector>

class QDBusPendingCallWatcher;

// Tells the desktop of events through its notification service on the session bus
// (org.freedesktop.Notifications), in Russian, with the program's icon. At most one
// notification per meter (and one for the broker) per kPerMeterMs; events are gathered for
// kGatherMs from the first, and more than kMaxSingles of them go out as one notification
// ("5 счётчиков не в сети: Насос 1, Насос 2, …"). Calls never wait for an answer. Without a
// bus or a service on it, unavailable() says so once and nothing else happens.
class DesktopNotifier final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DesktopNotifier)

public:
    static constexpr int kGatherMs = 2000;
    static constexpr int kPerMeterMs = 60000;
    static constexpr int kMaxSingles = 3;

    explicit DesktopNotifier(const QDBusConnection &bus, QObject *parent = nullptr);
    ~DesktopNotifier() override;

    // Off by default. Turned on, it asks the service who it is, so that a missing one is
    // reported at once rather than at the first event.
    void setEnabled(bool enabled);
    bool isEnabled() const { return m_enabled; }
    // Tests shorten both.
    void setTimings(int gatherMs, int perMeterMs);

    void notify(const WatchEvent &event);

    // The summary and body of the notification for these events, as sent.
    static QString summaryOf(const QVector<WatchEvent> &events);
    static QString bodyOf(const QVector<WatchEvent> &events);

signals:
    // Once in the notifier's life: why nothing reaches the desktop.
    void unavailable(const QString &text);

private:
    void flush();
    void send(const QVector<WatchEvent> &events);
    void watch(QDBusPendingCallWatcher *call);
    void reportUnavailable(const QString &reason);

    QDBusConnection m_bus;
    bool m_enabled = false;
    bool m_reported = false;
    int m_gatherMs = kGatherMs;
    int m_perMeterMs = kPerMeterMs;
    QElapsedTimer m_clock;
    // When each meter (by topic; the broker by an empty one) was last let through.
    QHash<QString, qint64> m_lastMs;
    QVector<WatchEvent> m_pending;
    QTimer m_gatherTimer;
};
