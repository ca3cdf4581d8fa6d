#include "common/notificationservice.h"
#include "common/sessionbus.h"
#include "watch/desktopnotifier.h"

#include <QDBusMessage>
#include <QUuid>
#include <QtTest>

// Notifications on a private session bus, received by the test's own notification service.
class tst_DesktopNotifier : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void eventsReachTheDesktop_data();
    void eventsReachTheDesktop();
    void missingDesktopIsSaidOnce_data();
    void missingDesktopIsSaidOnce();

private:
    SessionBus m_bus;
};

namespace {

WatchEvent eventOf(EventKind kind, int meter)
{
    WatchEvent event;
    event.timeMs = QDateTime(QDate(2026, 3, 1), QTime(14, 20, 22)).toMSecsSinceEpoch();
    event.kind = kind;
    if (meter > 0) {
        event.topic = QStringLiteral("t/%1").arg(meter);
        event.meter = QStringLiteral("Насос %1").arg(meter);
    }
    return event;
}

// A connection of its own to the bus at address, named afresh.
QDBusConnection connection(const QString &address)
{
    return QDBusConnection::connectToBus(address, QUuid::createUuid().toString());
}

} // namespace

Q_DECLARE_METATYPE(QVector<WatchEvent>)

void tst_DesktopNotifier::initTestCase()
{
    if (!m_bus.start())
        QSKIP("needs dbus-daemon (tools/install-deps.sh installs it)");
}

void tst_DesktopNotifier::eventsReachTheDesktop_data()
{
    QTest::addColumn<QVector<WatchEvent>>("events");
    QTest::addColumn<QStringList>("summaries");

    QTest::newRow("one event") << QVector<WatchEvent>{eventOf(EventKind::Silent, 1)}
                               << QStringList{"Насос 1: не в сети"};
    QTest::newRow("three stay three") << QVector<WatchEvent>{eventOf(EventKind::Silent, 1),
                                                             eventOf(EventKind::VoltageNormal, 2),
                                                             eventOf(EventKind::BrokerLost, 0)}
                                      << QStringList{"Насос 1: не в сети", "Насос 2: напряжение в норме",
                                                     "Нет связи с брокером"};
    QVector<WatchEvent> silent;
    for (int meter = 1; meter <= 5; ++meter)
        silent << eventOf(EventKind::Silent, meter);
    QTest::newRow("five silent meters are one") << silent << QStringList{"5 счётчиков не в сети: Насос 1, Насос 2, …"};
    QTest::newRow("four of different kinds are one")
        << QVector<WatchEvent>{eventOf(EventKind::Silent, 1), eventOf(EventKind::VoltageNormal, 2),
                               eventOf(EventKind::ServiceMarked, 3), eventOf(EventKind::BrokerBack, 0)}
        << QStringList{"4 события: Насос 1 — не в сети, Насос 2 — напряжение в норме, …"};
    QTest::newRow("a meter at most once a minute")
        << QVector<WatchEvent>{eventOf(EventKind::Silent, 1), eventOf(EventKind::BackOnline, 1),
                               eventOf(EventKind::Silent, 1)}
        << QStringList{"Насос 1: не в сети"};
}

void tst_DesktopNotifier::eventsReachTheDesktop()
{
    QFETCH(QVector<WatchEvent>, events);
    QFETCH(QStringList, summaries);
    NotificationService service(m_bus.address());
    QVERIFY(service.registerOnBus());
    DesktopNotifier notifier(connection(m_bus.address()));
    notifier.setTimings(100, DesktopNotifier::kPerMeterMs);
    QSignalSpy unavailable(&notifier, &DesktopNotifier::unavailable);
    notifier.setEnabled(true);

    for (const WatchEvent &each : events)
        notifier.notify(each);
    QTRY_COMPARE(service.summaries(), summaries);
    const NotificationService::Call &first = service.calls().first();
    QCOMPARE(first.appName, QStringLiteral("Zelmar MQTT Client"));
    QCOMPARE(first.icon, QStringLiteral("zelmar-mqtt-client"));
    // The time of the (first) event.
    QCOMPARE(first.body,
             summaries.size() == 1 && events.size() > 3 ? QStringLiteral("с 14:20:22") : QStringLiteral("14:20:22"));
    QCOMPARE(first.hints.value(QStringLiteral("desktop-entry")).toString(),
             QStringLiteral("example.zelmar.MqttClient"));
    QCOMPARE(unavailable.count(), 0);
}

void tst_DesktopNotifier::missingDesktopIsSaidOnce_data()
{
    QTest::addColumn<bool>("bus");
    QTest::addColumn<QString>("text");
    QTest::newRow("no notification service on the bus")
        << true << "Уведомления на рабочем столе недоступны: нет службы уведомлений";
    QTest::newRow("no session bus") << false << "Уведомления на рабочем столе недоступны: нет сеансовой шины D-Bus";
}

void tst_DesktopNotifier::missingDesktopIsSaidOnce()
{
    QFETCH(bool, bus);
    QFETCH(QString, text);
    const QDBusConnection link = connection(bus ? m_bus.address() : QStringLiteral("unix:path=/nonexistent/bus"));
    DesktopNotifier notifier(link);
    notifier.setTimings(0, 0);
    QSignalSpy unavailable(&notifier, &DesktopNotifier::unavailable);
    notifier.setEnabled(true);
    QTRY_COMPARE(unavailable.count(), 1);
    QCOMPARE(unavailable.first().first().toString(), text);

    // Every later notification fails the same way, and says nothing more.
    for (int meter = 1; meter <= 5; ++meter) {
        notifier.notify(eventOf(EventKind::Silent, meter));
        QCoreApplication::processEvents();
    }
    if (bus) {
        // The bus answers in order: once it has answered this, it has refused the others.
        QVERIFY(link.call(QDBusMessage::createMethodCall(
                              QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                              QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId")))
                    .type() == QDBusMessage::ReplyMessage);
        QCoreApplication::processEvents();
    }
    QCOMPARE(unavailable.count(), 1);
}

QTEST_GUILESS_MAIN(tst_DesktopNotifier)
#include "tst_desktopnotifier.moc"
