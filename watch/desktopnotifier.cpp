#include "watch/desktopnotifier.h"

#include "watch/maintenance.h"

#include <QCoreApplication>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDateTime>
#include <QStringList>

#include <utility>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
// The installed icon and desktop entry (dist/).
const QString kIconName = QStringLiteral("zelmar-mqtt-client");
const QString kDesktopEntry = QStringLiteral("example.zelmar.MqttClient");
// Names listed in a gathered notification before "…".
constexpr int kNamesShown = 2;

QString translated(const char *text)
{
    return QCoreApplication::translate("DesktopNotifier", text);
}

QString capitalized(QString text)
{
    if (!text.isEmpty())
        text[0] = text.at(0).toUpper();
    return text;
}

QString meterCount(int count)
{
    return QString::number(count) + QLatin1Char(' ') +
           countNoun(count, translated("счётчик"), translated("счётчика"), translated("счётчиков"));
}

// "Насос 1, Насос 2, …"
QString firstOf(const QStringList &items)
{
    QStringList shown = items.mid(0, kNamesShown);
    if (items.size() > kNamesShown)
        shown << QStringLiteral("…");
    return shown.join(QStringLiteral(", "));
}

} // namespace

DesktopNotifier::DesktopNotifier(const QDBusConnection &bus, QObject *parent) : QObject(parent), m_bus(bus)
{
    m_clock.start();
    m_gatherTimer.setSingleShot(true);
    connect(&m_gatherTimer, &QTimer::timeout, this, &DesktopNotifier::flush);
}

DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::setEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    if (!enabled) {
        m_pending.clear();
        m_gatherTimer.stop();
        return;
    }
    if (!m_bus.isConnected()) {
        reportUnavailable(translated("нет сеансовой шины D-Bus"));
        return;
    }
    watch(new QDBusPendingCallWatcher(m_bus.asyncCall(QDBusMessage::createMethodCall(
                                          kService, kPath, kInterface, QStringLiteral("GetServerInformation"))),
                                      this));
}

void DesktopNotifier::setTimings(int gatherMs, int perMeterMs)
{
    m_gatherMs = qMax(0, gatherMs);
    m_perMeterMs = qMax(0, perMeterMs);
}

void DesktopNotifier::notify(const WatchEvent &event)
{
    if (!m_enabled || !m_bus.isConnected())
        return;
    const qint64 nowMs = m_clock.elapsed();
    const auto last = m_lastMs.constFind(event.topic);
    if (last != m_lastMs.constEnd() && nowMs - *last < m_perMeterMs)
        return;
    m_lastMs.insert(event.topic, nowMs);
    m_pending.append(event);
    if (!m_gatherTimer.isActive())
        m_gatherTimer.start(m_gatherMs);
}

void DesktopNotifier::flush()
{
    const QVector<WatchEvent> events = std::exchange(m_pending, {});
    if (events.size() > kMaxSingles) {
        send(events);
        return;
    }
    for (const WatchEvent &event : events)
        send({event});
}

QString DesktopNotifier::summaryOf(const QVector<WatchEvent> &events)
{
    if (events.size() == 1) {
        const WatchEvent &event = events.first();
        return event.meter.isEmpty() && event.topic.isEmpty() ? capitalized(eventText(event))
                                                              : event.meter + QStringLiteral(": ") + eventText(event);
    }
    bool oneKind = true;
    QStringList names;
    QStringList items;
    for (const WatchEvent &event : events) {
        oneKind = oneKind && event.kind == events.first().kind;
        names << event.meter;
        items << (event.topic.isEmpty() ? eventText(event) : event.meter + QStringLiteral(" — ") + eventText(event));
    }
    if (oneKind && events.first().kind == EventKind::Silent)
        return translated("%1 не в сети: %2").arg(meterCount(events.size()), firstOf(names));
    if (oneKind && events.first().kind == EventKind::BackOnline)
        return translated("%1 снова в сети: %2").arg(meterCount(events.size()), firstOf(names));
    const QString count = QString::number(events.size()) + QLatin1Char(' ') +
                          countNoun(events.size(), translated("событие"), translated("события"), translated("событий"));
    return translated("%1: %2").arg(count, firstOf(items));
}

QString DesktopNotifier::bodyOf(const QVector<WatchEvent> &events)
{
    const QString time = QDateTime::fromMSecsSinceEpoch(events.first().timeMs).toString(QStringLiteral("hh:mm:ss"));
    return events.size() == 1 ? time : translated("с %1").arg(time);
}

void DesktopNotifier::send(const QVector<WatchEvent> &events)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), kDesktopEntry},
                            {QStringLiteral("urgency"), QVariant::fromValue(uchar(1))}};
    call << QStringLiteral("Zelmar MQTT Client") << uint(0) << kIconName << summaryOf(events) << bodyOf(events)
         << QStringList() << hints << -1;
    watch(new QDBusPendingCallWatcher(m_bus.asyncCall(call), this));
}

void DesktopNotifier::watch(QDBusPendingCallWatcher *call)
{
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *finished) {
        finished->deleteLater();
        if (!finished->isError())
            return;
        const QDBusError error = finished->error();
        reportUnavailable(error.type() == QDBusError::ServiceUnknown ? translated("нет службы уведомлений")
                                                                     : error.message());
    });
}

void DesktopNotifier::reportUnavailable(const QString &reason)
{
    if (m_reported)
        return;
    m_reported = true;
    emit unavailable(translated("Уведомления на рабочем столе недоступны: %1").arg(reason));
}
