#include "common/testcertificates.h"
#include "common/widgets.h"
#include "common/windowtest.h"
#include "config/devicelistdialog.h"
#include "mainwindow/mainwindow.h"
#include "session/sessioncontroller.h"

#include <QAction>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <functional>

// What the broker saw of one setting, per accepted connection.
using Logged = std::function<QStringList(const TestBroker &)>;
Q_DECLARE_METATYPE(Logged)

// The window against a real broker: tabs from the file, the connect button,
// subscriptions, routing of published readings and the session's failures.
class tst_Session : public WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();

    void tabsFollowCompleteEntries();
    void connectSubscribesOncePerRecord();
    void readingsReachExactlyMatchingTabs_data();
    void readingsReachExactlyMatchingTabs();
    void disconnectByButtonReenablesMenus();
    void hostNameConnects();
    void refusedCredentialsAreReported_data();
    void refusedCredentialsAreReported();
    void clearedCredentialsAreNotReused();
    void clearedValueIsNotSentAgain_data();
    void clearedValueIsNotSentAgain();
    void rebuiltListRoutesByTopic_data();
    void rebuiltListRoutesByTopic();
    void invalidSettingIsNamed_data();
    void invalidSettingIsNamed();
    void pressThatCannotStartEndsPendingAttempt_data();
    void pressThatCannotStartEndsPendingAttempt();
    void ignoredValuesAreNamed_data();
    void ignoredValuesAreNamed();
    void refusedSubscriptionIsNamed();
    void reconnectsAfterBrokerLoss();
    void reconnectsThroughDroppedHandshakes();
    void flappingConnectionBacksOff();
    void pressWhileWaitingStopsRetrying();
    void retriesOnlyForNetworkFailures_data();
    void retriesOnlyForNetworkFailures();
    void connectsOnStart();
    void protocolFiveFromSettings();
    void keepAliveNoticesSilentBroker();
    void tlsOutcomeIsNamed_data();
    void tlsOutcomeIsNamed();

private:
    TestCertificates m_certificates;
    // Answers every attempt with CONNACK 3, "server unavailable", as a broker
    // that is up but cannot serve yet does.
    QTcpServer m_unavailable;
};

void tst_Session::initTestCase()
{
    QVERIFY(m_certificates.create());
    m_broker.enableTls(m_certificates.caFile(), m_certificates.brokerCertFile(), m_certificates.brokerKeyFile());
    QVERIFY(m_broker.start());
    QVERIFY(m_unavailable.listen(QHostAddress::LocalHost));
    connect(&m_unavailable, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_unavailable.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                socket->readAll();
                socket->write(QByteArray::fromHex("20020003"));
            });
        }
    });
}

void tst_Session::tabsFollowCompleteEntries()
{
    writeSettingsFileText(settings()
                              .device("Котёл 1", "plant/a")
                              .deviceWithoutTopic("no topic")
                              .device("Насос", "plant/b")
                              .device("", "plant/c")
                              .bytes());
    startWindow();
    QCOMPARE(tabTitles(m_window.get()), (QStringList{"Котёл 1", "Насос", ""}));
    QCOMPARE(label(0, "label_dev_mode"), QStringLiteral("не в сети"));
}

void tst_Session::connectSubscribesOncePerRecord()
{
    // An empty topic is a complete entry but gets no subscription.
    writeSettingsFileText(settings()
                              .device("A", "plant/a")
                              .device("B", "plant/b")
                              .device("A again", "plant/a")
                              .device("Empty", "")
                              .bytes());
    startWindow();
    QCOMPARE(tabTitles(m_window.get()).size(), 4);
    QSignalSpy connected(m_client.get(), &QMQTT::Client::connected);
    QSignalSpy subscribed(m_client.get(), &QMQTT::Client::subscribed);
    const int earlier = m_broker.loggedSubscriptions().count();

    clickConnect();
    QVERIFY(!menusEnabled());
    QVERIFY(status().contains(QStringLiteral("Подключение к 127.0.0.1:%1").arg(m_broker.port())));
    QVERIFY(connected.wait());
    QCOMPARE(buttonText(), QStringLiteral("Отключиться"));
    QCOMPARE(status(), QStringLiteral("Подключено к 127.0.0.1:%1").arg(m_broker.port()));
    QVERIFY(!menusEnabled());
    QTRY_COMPARE(subscribed.count(), 3);
    QCOMPARE(subscribed.at(0).at(0).toString(), QStringLiteral("plant/a"));
    QCOMPARE(subscribed.at(1).at(0).toString(), QStringLiteral("plant/b"));
    QCOMPARE(subscribed.at(2).at(0).toString(), QStringLiteral("plant/a"));
    QTRY_COMPARE(m_broker.loggedSubscriptions().count(), earlier + 3);
    QCOMPARE(m_broker.loggedSubscriptions().mid(earlier), (QStringList{"plant/a", "plant/b", "plant/a"}));
}

void tst_Session::readingsReachExactlyMatchingTabs_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QStringList>("models"); // expected dev_type text per tab afterwards

    const QByteArray reading = R"({"dev_type":10,"dev_mode":1,"num_starts":7})";
    QTest::newRow("two records with one topic both update")
        << "plant/shared" << reading << QStringList{"Zelmar-B", "Zelmar-B", ""};
    QTest::newRow("the other topic reaches only its tab") << "plant/own" << reading << QStringList{"", "", "Zelmar-B"};
    QTest::newRow("wrong case reaches none") << "Plant/Shared" << reading << QStringList{"", "", ""};
    QTest::newRow("wildcard device topic never matches") << "plant/x" << reading << QStringList{"", "", ""};
    QTest::newRow("zero byte ends the text")
        << "plant/own" << QByteArray(reading + QByteArray(1, '\0') + "junk") << QStringList{"", "", "Zelmar-B"};
}

void tst_Session::readingsReachExactlyMatchingTabs()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(QStringList, models);

    writeSettingsFileText(settings()
                              .device("Shared 1", "plant/shared")
                              .device("Shared 2", "plant/shared")
                              .device("Own", "plant/own")
                              .device("Wild", "plant/+")
                              .device("Probe", "plant/probe")
                              .bytes());
    startWindow();
    QSignalSpy subscribed(m_client.get(), &QMQTT::Client::subscribed);
    clickConnect();
    QTRY_COMPARE(subscribed.count(), 5);

    QVERIFY(m_broker.publish(topic, payload));
    // Messages from one publisher arrive in order: once the probe shows, the
    // message before it has been routed wherever it was going to go.
    QVERIFY(m_broker.publish(QStringLiteral("plant/probe"), R"({"dev_type":20})"));
    QTRY_COMPARE(label(4, "label_dev_type"), QStringLiteral("Zelmar-C"));

    QStringList seen;
    for (int tab = 0; tab < 3; ++tab)
        seen << label(tab, "label_dev_type");
    QCOMPARE(seen, models);
    QCOMPARE(label(3, "label_dev_type"), QString());
}

void tst_Session::disconnectByButtonReenablesMenus()
{
    writeSettingsFileText(settings().device("A", "plant/a").bytes());
    startWindow();
    QSignalSpy connected(m_client.get(), &QMQTT::Client::connected);
    QSignalSpy disconnected(m_client.get(), &QMQTT::Client::disconnected);
    clickConnect();
    QVERIFY(connected.wait());

    clickConnect();
    QVERIFY(menusEnabled());
    QTRY_COMPARE(disconnected.count(), 1);
    QCOMPARE(buttonText(), QStringLiteral("Подключиться"));
    QCOMPARE(status(), QStringLiteral("Отключено"));
    QVERIFY(menusEnabled());
    QVERIFY(!m_client->isConnectedToHost());
    // A menu entry the pointer passes over sends its (empty) status tip.
    m_window->findChild<QAction *>(QStringLiteral("actionAbout"))->showStatusText(m_window.get());
    QCOMPARE(status(), QStringLiteral("Отключено"));
}

void tst_Session::hostNameConnects()
{
    writeSettingsFileText(SettingsText().broker("localhost", m_broker.port()).device("A", "plant/a").bytes());
    startWindow();
    QSignalSpy connected(m_client.get(), &QMQTT::Client::connected);
    clickConnect();
    QVERIFY(connected.wait());
    QCOMPARE(status(), QStringLiteral("Подключено к localhost:%1").arg(m_broker.port()));
}

void tst_Session::refusedCredentialsAreReported_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("expected");
    QTest::newRow("wrong password") << m_broker.user() << "wrong"
                                    << "Брокер отклонил имя пользователя или пароль";
    QTest::newRow("unknown user") << "nobody"
                                  << "secret"
                                  << "Брокер отклонил имя пользователя или пароль";
    QTest::newRow("password without user") << ""
                                           << "secret"
                                           << "Пароль задан без имени пользователя";
}

void tst_Session::refusedCredentialsAreReported()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, expected);
    writeSettingsFileText(
        SettingsText().broker("127.0.0.1", m_broker.authPort()).login(user, password).device("A", "plant/a").bytes());
    startWindow();
    QSignalSpy connected(m_client.get(), &QMQTT::Client::connected);
    QSignalSpy failed(m_client.get(), &QMQTT::Client::error);

    clickConnect();
    QVERIFY(failed.count() > 0 || failed.wait());
    QCOMPARE(status(), expected);
    QCOMPARE(connected.count(), 0);
    QVERIFY(menusEnabled());
    QCOMPARE(buttonText(), QStringLiteral("Подключиться"));
}

void tst_Session::clearedCredentialsAreNotReused()
{
    const SettingsText anonymous = SettingsText().broker("127.0.0.1", m_broker.authPort()).login("", "");
    writeSettingsFileText(SettingsText()
                              .broker("127.0.0.1", m_broker.authPort())
                              .login(m_broker.user(), m_broker.password())
                              .device("A", "plant/a")
                              .bytes());
    startWindow();
    QSignalSpy connected(m_client.get(), &QMQTT::Client::connected);
    QSignalSpy failed(m_client.get(), &QMQTT::Client::error);
    clickConnect();
    QVERIFY(connected.wait());
    clickConnect();
    QTRY_VERIFY(menusEnabled() && !m_client->isConnectedToHost());

    writeSettingsFileText(SettingsText(anonymous).device("A", "plant/a").bytes());
    clickConnect();
    QVERIFY(failed.wait());
    QCOMPARE(connected.count(), 1);
    QCOMPARE(status(), QStringLiteral("Брокер отклонил имя пользователя или пароль"));
}

// A value cleared in the settings between two connections of one run must
// be gone from the second, not carried over by the window or the client.
void tst_Session::clearedValueIsNotSentAgain_data()
{
    QTest::addColumn<QString>("key"); // in [MQTT]
    QTest::addColumn<Logged>("logged");
    QTest::addColumn<QString>("clearedPattern"); // what the broker sees once it is cleared

    QTest::newRow("client id") << "clientId" << Logged(&TestBroker::loggedClientIds) << "^auto-";
    QTest::newRow("user name") << "username" << Logged(&TestBroker::loggedUserNames) << "^$";
}

void tst_Session::clearedValueIsNotSentAgain()
{
    QFETCH(QString, key);
    QFETCH(Logged, logged);
    QFETCH(QString, clearedPattern);

    writeSettingsFileText(settings().value("MQTT", key, "panel-7").device("A", "plant/a").bytes());
    startWindow();
    QSignalSpy connected(m_client.get(), &QMQTT::Client::connected);
    const int earlier = logged(m_broker).size();
    clickConnect();
    QVERIFY(connected.wait());
    clickConnect();
    QTRY_VERIFY(menusEnabled() && !m_client->isConnectedToHost());

    writeSettingsFileText(settings().value("MQTT", key, "").device("A", "plant/a").bytes());
    clickConnect();
    QVERIFY(connected.wait());
    QTRY_COMPARE(logged(m_broker).size(), earlier + 2);
    const QStringList seen = logged(m_broker).mid(earlier);
    QCOMPARE(seen.at(0), QStringLiteral("panel-7"));
    QVERIFY2(QRegularExpression(clearedPattern).match(seen.at(1)).hasMatch(), qPrintable(m_broker.log()));
}

// After the device list changes, each meter's readings reach its own panel,
// wherever it now stands, and never the panel that took its old place.
void tst_Session::rebuiltListRoutesByTopic_data()
{
    QTest::addColumn<WidgetAction>("change"); // in the device list, which starts as X, A, B
    QTest::addColumn<QStringList>("tabsAfter");

    QTest::newRow("shrank: a device before A removed") << WidgetAction([](QWidget *dialog) {
        selectRow(dialog, 0);
        click(dialog, "pushButtonRemove");
    }) << QStringList{"A", "B"};
    QTest::newRow("grew: A removed, then added after a new one") << WidgetAction([](QWidget *dialog) {
        selectRow(dialog, 1);
        click(dialog, "pushButtonRemove");
        click(dialog, "pushAddd");
        saveEntryForm(dialog, QStringLiteral("C"), QStringLiteral("plant/c"));
        click(dialog, "pushAddd");
        saveEntryForm(dialog, QStringLiteral("A"), QStringLiteral("plant/a"));
    }) << QStringList{"X", "B", "C", "A"};
}

void tst_Session::rebuiltListRoutesByTopic()
{
    QFETCH(WidgetAction, change);
    QFETCH(QStringList, tabsAfter);

    writeSettingsFileText(settings().device("X", "plant/x").device("A", "plant/a").device("B", "plant/b").bytes());
    startWindow();
    QSignalSpy subscribed(m_client.get(), &QMQTT::Client::subscribed);
    // A session before the change, so that whatever it leaves behind is there to be carried over.
    clickConnect();
    QTRY_COMPARE(subscribed.count(), 3);
    QVERIFY(m_broker.publish(QStringLiteral("plant/a"), R"({"num_starts":1})"));
    QTRY_COMPARE(label(1, "label_num_starts"), QStringLiteral("1"));
    clickConnect();
    QTRY_VERIFY(menusEnabled() && !m_client->isConnectedToHost());

    QPointer<DeviceListDialog> dialog = openByAction<DeviceListDialog>(m_window.get(), "actionAddNewDevice");
    QVERIFY(dialog);
    change(dialog);
    click(dialog, "pushButtonCancel");
    QTRY_VERIFY(dialog.isNull());
    QCOMPARE(tabTitles(m_window.get()), tabsAfter);

    subscribed.clear();
    clickConnect();
    QTRY_COMPARE(subscribed.count(), tabsAfter.size());
    QVERIFY(m_broker.publish(QStringLiteral("plant/a"), R"({"num_starts":7})"));
    const int a = tabsAfter.indexOf(QStringLiteral("A"));
    QTRY_COMPARE(label(a, "label_num_starts"), QStringLiteral("7"));
    // One message reaches all its panels in one go: the others have had theirs by now.
    for (int tab = 0; tab < tabsAfter.size(); ++tab) {
        if (tab != a)
            QVERIFY2(label(tab, "label_num_starts").isEmpty(), qPrintable(tabsAfter.at(tab)));
    }
}

// Every setting the client refused was reported as a password without a user name.
void tst_Session::invalidSettingIsNamed_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QString>("expected");
    QTest::newRow("tab in the client id")
        << QByteArray("clientId=meter\\tpanel\n") << "Недопустимый идентификатор клиента";
    QTest::newRow("noncharacter in the client id")
        << QByteArray("clientId=panel\\xfffe\n") << "Недопустимый идентификатор клиента";
    QTest::newRow("line feed in the user name")
        << QByteArray("username=oper\\nator\n") << "Недопустимое имя пользователя";
    QTest::newRow("zero character in the password")
        << QByteArray("username=zelmar\npasswd=meter\\0secret\n") << "Пароль содержит нулевой символ";
    QTest::newRow("password without user name")
        << QByteArray("passwd=secret\n") << "Пароль задан без имени пользователя";
}

void tst_Session::invalidSettingIsNamed()
{
    QFETCH(QByteArray, lines);
    QFETCH(QString, expected);
    writeSettingsFileText(settings().bytes() + lines);
    startWindow();
    QSignalSpy failed(m_client.get(), &QMQTT::Client::error);
    clickConnect();
    QVERIFY(failed.wait());
    QCOMPARE(status(), expected);
    QVERIFY(menusEnabled());
}

// The earlier attempt went on with the old settings and could still
// connect, with the menus unlocked.
void tst_Session::pressThatCannotStartEndsPendingAttempt_data()
{
    QTest::addColumn<QByteArray>("broker");
    QTest::addColumn<QString>("expected");
    QTest::newRow("host emptied") << QByteArray("[MQTT]\nHost=\nPort=1883\n") << "Не задан адрес сервера MQTT";
    QTest::newRow("port made invalid") << QByteArray("[MQTT]\nHost=127.0.0.1\nPort=0\n") << "Недопустимый порт MQTT: 0";
}

void tst_Session::pressThatCannotStartEndsPendingAttempt()
{
    QFETCH(QByteArray, broker);
    QFETCH(QString, expected);
    // Takes the connection and never answers, like a broker that hangs.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    writeSettingsFileText(SettingsText().broker("127.0.0.1", silent.serverPort()).bytes());
    startWindow();
    clickConnect();
    QVERIFY(silent.hasPendingConnections() || silent.waitForNewConnection(5000));
    QTcpSocket *pending = silent.nextPendingConnection();

    writeSettingsFileText(broker);
    clickConnect();
    QCOMPARE(status(), expected);
    QVERIFY(menusEnabled());
    // Well before the attempt's own ten-second timeout.
    QTRY_COMPARE_WITH_TIMEOUT(pending->state(), QAbstractSocket::UnconnectedState, 2000);
}

// A value the program cannot read as text and one out of range are named at
// start and on connecting, and their defaults apply.
void tst_Session::ignoredValuesAreNamed_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("atStart");
    QTest::addColumn<QString>("named"); // the key, and why
    QTest::newRow("a variant for the client id")
        << QByteArray("clientId=@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\n")
        << "В Settings.conf есть значения, которые не учтены: MQTT/clientId (не текст, а @Variant(…))"
        << "MQTT/clientId (не текст, а @Variant(…))";
    QTest::newRow("a keep-alive below 5")
        << QByteArray("KeepAlive=3\n")
        << "В Settings.conf есть значения, которые не учтены: MQTT/KeepAlive (не от 5 до 65535)"
        << "MQTT/KeepAlive (не от 5 до 65535)";
}

void tst_Session::ignoredValuesAreNamed()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, atStart);
    QFETCH(QString, named);
    writeSettingsFileText(settings().bytes() + line);
    startWindow();
    QCOMPARE(status(), atStart);

    QSignalSpy connected(m_client.get(), &QMQTT::Client::connected);
    clickConnect();
    QCOMPARE(
        status(),
        QStringLiteral("Подключение к 127.0.0.1:%1… Не учтено в Settings.conf: %2").arg(m_broker.port()).arg(named));
    QVERIFY(connected.wait());
}

// A device whose subscription the broker refuses would wait for readings
// in silence; the others go on.
void tst_Session::refusedSubscriptionIsNamed()
{
    TestBroker strict;
    QVERIFY(strict.grantSubscriptionsOnly(QStringLiteral("plant/#")));
    QVERIFY(strict.start());
    writeSettingsFileText(
        SettingsText().broker("127.0.0.1", strict.port()).device("A", "plant/a").device("S", "secret/s").bytes());
    startWindow();
    clickConnect();
    QTRY_COMPARE(status(),
                 QStringLiteral("Подключено к 127.0.0.1:%1. Подписка не принята: secret/s").arg(strict.port()));
    QVERIFY(strict.publish(QStringLiteral("plant/a"), R"({"voltage":231})"));
    QTRY_COMPARE(label(0, "label_voltage"), QStringLiteral("231"));
}

// A broker restart at night: readings flow again without a click, the waits
// grow to their cap, and every device is subscribed again.
void tst_Session::reconnectsAfterBrokerLoss()
{
    writeSettingsFileText(settings().value("MQTT", "AutoReconnect", "true").device("A", "plant/a").bytes());
    startWindow();
    session()->setRetryDelays(50, 200);
    QSignalSpy connected(m_client.get(), &QMQTT::Client::connected);
    QSignalSpy subscribed(m_client.get(), &QMQTT::Client::subscribed);
    QList<int> waits;
    QStringList shown;
    connect(session(), &SessionController::retryScheduled, this, [&](int delayMs) {
        waits << delayMs;
        shown << status() + QLatin1Char('|') + buttonText() + QLatin1Char('|') + QString::number(menusEnabled());
    });
    clickConnect();
    QTRY_COMPARE(subscribed.count(), 1);

    m_broker.kill();
    QTRY_VERIFY(waits.size() >= 5);
    QCOMPARE(waits.mid(0, 5), (QList<int>{50, 100, 200, 200, 200}));
    QCOMPARE(shown.constFirst(),
             QStringLiteral("Нет связи с 127.0.0.1:%1, повтор через 1 с|Отключиться|0").arg(m_broker.port()));

    QVERIFY(m_broker.restart());
    QTRY_COMPARE(connected.count(), 2);
    QTRY_COMPARE(subscribed.count(), 2);
    QCOMPARE(status(), QStringLiteral("Подключено к 127.0.0.1:%1").arg(m_broker.port()));
    QVERIFY(m_broker.publish(QStringLiteral("plant/a"), R"({"voltage":232})"));
    QTRY_COMPARE(label(0, "label_voltage"), QStringLiteral("232"));
}

// A TLS broker behind a TCP proxy (docker-proxy, ssh -L) restarts: while it is
// away, the proxy takes each connection and drops it in the handshake, which
// reads as a TLS error, not a network one, and ended the reconnecting.
void tst_Session::reconnectsThroughDroppedHandshakes()
{
    writeSettingsFileText(SettingsText()
                              .broker("localhost", m_broker.tlsPort())
                              .value("MQTT", "Tls", "true")
                              .value("MQTT", "CaFile", m_certificates.caFile())
                              .value("MQTT", "AutoReconnect", "true")
                              .device("A", "plant/a")
                              .bytes());
    startWindow();
    session()->setRetryDelays(50, 50);
    QSignalSpy connected(m_client.get(), &QMQTT::Client::connected);
    clickConnect();
    QVERIFY(connected.wait());

    const auto restart = qScopeGuard([this] { QVERIFY(m_broker.isRunning() || m_broker.restart()); });
    m_broker.stop();
    {
        QTcpServer proxy;
        QVERIFY(proxy.listen(QHostAddress::LocalHost, m_broker.tlsPort()));
        int dropped = 0;
        connect(&proxy, &QTcpServer::newConnection, &proxy, [&] {
            while (QTcpSocket *socket = proxy.nextPendingConnection()) {
                socket->close();
                ++dropped;
            }
        });
        QTRY_VERIFY(dropped >= 2);
    }
    QVERIFY(m_broker.restart());
    QTRY_COMPARE(status(), QStringLiteral("Подключено к localhost:%1").arg(m_broker.tlsPort()));
}

// Two panels with one client id take it from each other: every takeover is a
// lost connection, and the waits before taking it back must grow as they do
// while a broker is away, not start again at the first.
void tst_Session::flappingConnectionBacksOff()
{
    writeSettingsFileText(settings()
                              .value("MQTT", "clientId", "panel-7")
                              .value("MQTT", "AutoReconnect", "true")
                              .device("A", "plant/a")
                              .bytes());
    startWindow();
    session()->setRetryDelays(50, 1000);
    QMQTT::Client twin;
    twin.setPort(m_broker.port());
    twin.setClientId(QStringLiteral("panel-7"));
    connect(m_client.get(), &QMQTT::Client::connected, &twin, [&twin] { twin.connectToHost(); });
    QList<int> waits;
    connect(session(), &SessionController::retryScheduled, &twin, [&waits](int delayMs) { waits << delayMs; });
    clickConnect();
    QTRY_VERIFY(waits.size() >= 4);
    QCOMPARE(waits.mid(0, 4), (QList<int>{50, 100, 200, 400}));
}

void tst_Session::pressWhileWaitingStopsRetrying()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close();
    writeSettingsFileText(
        SettingsText().broker("127.0.0.1", port).value("MQTT", "AutoReconnect", "true").device("A", "t").bytes());
    startWindow();
    session()->setRetryDelays(50, 50);
    QSignalSpy retries(session(), &SessionController::retryScheduled);
    clickConnect();
    QVERIFY(retries.wait());
    QCOMPARE(buttonText(), QStringLiteral("Отключиться"));

    clickConnect();
    QCOMPARE(status(), QStringLiteral("Отключено"));
    QCOMPARE(buttonText(), QStringLiteral("Подключиться"));
    QVERIFY(menusEnabled());
    QSignalSpy failures(m_client.get(), &QMQTT::Client::error);
    QVERIFY(!failures.wait(300));
    QCOMPARE(session()->state(), SessionController::State::Idle);
}

// Failures that need the user are not tried again; the password never shows.
void tst_Session::retriesOnlyForNetworkFailures_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("retried");

    const auto withLogin = [this](quint16 port, const QString &password) {
        return SettingsText().broker("127.0.0.1", port).login(m_broker.user(), password);
    };
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost);
    const quint16 closedPort = closed.serverPort();
    closed.close();
    QTest::newRow("connection refused") << withLogin(closedPort, "secret-1").bytes() << true;
    QTest::newRow("server unavailable") << withLogin(m_unavailable.serverPort(), "secret-6").bytes() << true;
    QTest::newRow("password refused") << withLogin(m_broker.authPort(), "secret-2").bytes() << false;
    QTest::newRow("client id the library refuses")
        << withLogin(m_broker.port(), "secret-3").bytes() + "clientId=a\\tb\n"
        << false;
    QTest::newRow("certificate of an unknown CA") << withLogin(m_broker.tlsPort(), "secret-4")
                                                         .value("MQTT", "Tls", "true")
                                                         .value("MQTT", "CaFile", m_certificates.otherCaFile())
                                                         .bytes()
                                                  << false;
    // Reached through the retries, it may be a proxy whose broker restarts.
    QTest::newRow("first handshake with a port without TLS")
        << withLogin(m_broker.port(), "secret-5").value("MQTT", "Tls", "true").bytes() << false;
}

void tst_Session::retriesOnlyForNetworkFailures()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, retried);
    writeSettingsFileText(text + "AutoReconnect=true\n");
    startWindow();
    // No retry comes during the test; half a second past a whole one, so
    // that a countdown rounded down shows.
    session()->setRetryDelays(60500, 60500);
    QString countdown;
    connect(session(), &SessionController::retryScheduled, this, [&] { countdown = status(); });
    QSignalSpy failed(m_client.get(), &QMQTT::Client::error);
    clickConnect();
    QVERIFY(failed.wait());
    QCOMPARE(session()->state(), retried ? SessionController::State::Waiting : SessionController::State::Idle);
    QVERIFY2(!status().contains(QLatin1String("secret")), qPrintable(status()));
    QVERIFY2(countdown.endsWith(QStringLiteral(", повтор через 61 с")) == retried, qPrintable(countdown));
}

void tst_Session::connectsOnStart()
{
    writeSettingsFileText(settings().value("MQTT", "ConnectOnStart", "true").device("A", "plant/a").bytes());
    QSignalSpy subscribed(m_client.get(), &QMQTT::Client::subscribed);
    startWindow();
    QTRY_COMPARE(subscribed.count(), 1);
    QCOMPARE(status(), QStringLiteral("Подключено к 127.0.0.1:%1").arg(m_broker.port()));
}

// Protocol=5 reaches the broker, which then keeps a huge message to itself;
// the readings after it arrive as ever.
void tst_Session::protocolFiveFromSettings()
{
    writeSettingsFileText(settings().value("MQTT", "Protocol", "5").device("A", "plant/a").bytes());
    startWindow();
    QSignalSpy subscribed(m_client.get(), &QMQTT::Client::subscribed);
    clickConnect();
    QTRY_COMPARE(subscribed.count(), 1);
    const QString log = m_broker.log();
    const QString accepted = log.mid(log.lastIndexOf(QLatin1String("New client connected")));
    QVERIFY2(accepted.contains(QLatin1String("(p5, ")), qPrintable(accepted));

    QVERIFY(m_broker.publish(QStringLiteral("plant/a"), QByteArray(1024 * 1024, ' ')));
    QVERIFY(m_broker.publish(QStringLiteral("plant/a"), R"({"voltage":229})"));
    QTRY_COMPARE(label(0, "label_voltage"), QStringLiteral("229"));
    QCOMPARE(status(), QStringLiteral("Подключено к 127.0.0.1:%1").arg(m_broker.port()));
}

// A broker that stops answering, its connection still up, is noticed after
// twice the keep-alive at the most, not the ten minutes of the default.
void tst_Session::keepAliveNoticesSilentBroker()
{
    writeSettingsFileText(settings().value("MQTT", "KeepAlive", "5").device("A", "plant/a").bytes());
    startWindow();
    QSignalSpy connected(m_client.get(), &QMQTT::Client::connected);
    clickConnect();
    QVERIFY(connected.wait());
    QVERIFY(m_broker.pause());
    const auto resume = qScopeGuard([this] { m_broker.resume(); });
    QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("Соединение с 127.0.0.1:%1 потеряно").arg(m_broker.port()),
                              2 * 5000 + 5000);
    QCOMPARE(buttonText(), QStringLiteral("Подключиться"));
}

// The broker's certificate names "localhost" only.
void tst_Session::tlsOutcomeIsNamed_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("tls");         // in Settings.conf
    QTest::addColumn<bool>("tlsListener"); // the port the settings name
    QTest::addColumn<bool>("ourCa");
    QTest::addColumn<QString>("expected"); // %1: the port
    QTest::newRow("our CA, the name") << "localhost" << true << true << true << "Подключено к localhost:%1";
    QTest::newRow("another CA") << "localhost" << true << true << false
                                << "Сертификат брокера не принят: его не подтверждает центр сертификации";
    QTest::newRow("the address, which it does not name")
        << "127.0.0.1" << true << true << true << "Сертификат брокера не принят: он выдан не для 127.0.0.1";
    // OpenSSL's own words were "unexpected eof while reading", and the other
    // way round the connection was only "lost".
    QTest::newRow("TLS to a port without it")
        << "localhost" << true << false << true << "Брокер не отвечает по TLS: возможно, это порт без TLS";
    QTest::newRow("plain MQTT to a TLS port")
        << "localhost" << false << true << true
        << "Брокер localhost:%1 закрыл соединение, не ответив: возможно, этот порт ждёт TLS";
}

void tst_Session::tlsOutcomeIsNamed()
{
    QFETCH(QString, host);
    QFETCH(bool, tls);
    QFETCH(bool, tlsListener);
    QFETCH(bool, ourCa);
    QFETCH(QString, expected);
    const quint16 port = tlsListener ? m_broker.tlsPort() : m_broker.port();
    writeSettingsFileText(SettingsText()
                              .broker(host, port)
                              .value("MQTT", "Tls", tls ? "true" : "false")
                              .value("MQTT", "CaFile", ourCa ? m_certificates.caFile() : m_certificates.otherCaFile())
                              .bytes());
    startWindow();
    clickConnect();
    QTRY_COMPARE(status(), expected.contains(QLatin1String("%1")) ? expected.arg(port) : expected);
}

QTEST_MAIN(tst_Session)
#include "tst_session.moc"
