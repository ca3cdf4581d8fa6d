#include "common/scratchdirectory.h"
#include "common/testbroker.h"
#include "mainwindow/mainwindow.h"

#include <QAction>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QtTest>

// The window against a real broker: tabs from the file, the connect button,
// subscriptions, routing of published readings and the session's failures.
class tst_Session : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void tabsFollowCompleteEntries();
    void connectSubscribesOncePerRecord();
    void readingsReachExactlyMatchingTabs_data();
    void readingsReachExactlyMatchingTabs();
    void disconnectByButtonReenablesMenus();
    void brokerLossIsShownAndRecoverable();
    void hostNameConnects();
    void refusedCredentialsAreReported_data();
    void refusedCredentialsAreReported();
    void clearedCredentialsAreNotReused();

private:
    void writeSettings(const QString &host, quint16 port, const QStringList &devices, const QString &user = {},
                       const QString &password = {});
    void startWindow();
    void clickConnect();
    QString label(int tab, const char *name) const;
    QString status() const;
    bool menusEnabled() const;

    TestBroker broker;
    std::unique_ptr<ScratchDirectory> workDir;
    std::unique_ptr<QMQTT::Client> client;
    std::unique_ptr<MainWindow> window;
};

void tst_Session::initTestCase()
{
    QVERIFY(broker.start());
}

void tst_Session::init()
{
    workDir = std::make_unique<ScratchDirectory>();
    QVERIFY(workDir->isValid());
    client = std::make_unique<QMQTT::Client>();
}

void tst_Session::cleanup()
{
    window.reset();
    client.reset();
    workDir.reset();
}

// devices: "name|topic" for a complete entry; "name|" leaves out the topic key.
void tst_Session::writeSettings(const QString &host, quint16 port, const QStringList &devices, const QString &user,
                                const QString &password)
{
    QSettings settings(QStringLiteral("Settings.conf"), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("MQTT"));
    settings.setValue(QStringLiteral("Host"), host);
    settings.setValue(QStringLiteral("Port"), QString::number(port));
    settings.setValue(QStringLiteral("username"), user);
    settings.setValue(QStringLiteral("passwd"), password);
    settings.endGroup();
    settings.beginGroup(QStringLiteral("Devices"));
    settings.beginWriteArray(QStringLiteral("DEV"), devices.size());
    for (int i = 0; i < devices.size(); ++i) {
        const QStringList parts = devices[i].split('|');
        settings.setArrayIndex(i);
        settings.setValue(QStringLiteral("dev_name"), parts[0]);
        if (!parts[1].isEmpty())
            settings.setValue(QStringLiteral("topic"), parts[1]);
    }
    settings.endArray();
    settings.endGroup();
    settings.sync();
    QCOMPARE(settings.status(), QSettings::NoError);
}

void tst_Session::startWindow()
{
    window = std::make_unique<MainWindow>(client.get());
    window->show();
}

void tst_Session::clickConnect()
{
    QTest::mouseClick(window->findChild<QPushButton *>("pushButtonConnect"), Qt::LeftButton);
}

QString tst_Session::label(int tab, const char *name) const
{
    const auto *tabs = window->findChild<QTabWidget *>("tabWidget");
    return tabs->widget(tab)->findChild<QLabel *>(QLatin1String(name))->text();
}

QString tst_Session::status() const
{
    return window->findChild<QStatusBar *>("statusBar")->currentMessage();
}

bool tst_Session::menusEnabled() const
{
    return window->findChild<QAction *>("actionMQTT_Settings")->isEnabled() &&
           window->findChild<QAction *>("actionAddNewDevice")->isEnabled();
}

void tst_Session::tabsFollowCompleteEntries()
{
    writeSettings("127.0.0.1", broker.port(), {"Котёл 1|plant/a", "no topic|", "Насос|plant/b", "|plant/c"});
    startWindow();

    const auto *tabs = window->findChild<QTabWidget *>("tabWidget");
    QStringList titles;
    for (int i = 0; i < tabs->count(); ++i)
        titles << tabs->tabText(i);
    QCOMPARE(titles, (QStringList{"Котёл 1", "Насос", ""}));
    QCOMPARE(label(0, "label_dev_mode"), QStringLiteral("не в сети"));
}

void tst_Session::connectSubscribesOncePerRecord()
{
    writeSettings("127.0.0.1", broker.port(), {"A|plant/a", "B|plant/b", "A again|plant/a", "Empty|"});
    // An empty topic is a complete entry but gets no subscription.
    {
        QSettings settings(QStringLiteral("Settings.conf"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Devices/DEV/4/topic"), QStringLiteral(""));
    }
    startWindow();
    QCOMPARE(window->findChild<QTabWidget *>("tabWidget")->count(), 4);
    QSignalSpy connected(client.get(), &QMQTT::Client::connected);
    QSignalSpy subscribed(client.get(), &QMQTT::Client::subscribed);
    const int earlier = broker.loggedSubscriptions().count();

    clickConnect();
    QVERIFY(!menusEnabled());
    QVERIFY(status().contains(QStringLiteral("Подключение к 127.0.0.1:%1").arg(broker.port())));
    QVERIFY(connected.wait());
    QCOMPARE(window->findChild<QPushButton *>("pushButtonConnect")->text(), QStringLiteral("Отключиться"));
    QCOMPARE(status(), QStringLiteral("Подключено к 127.0.0.1:%1").arg(broker.port()));
    QVERIFY(!menusEnabled());
    QTRY_COMPARE(subscribed.count(), 3);
    QCOMPARE(subscribed.at(0).at(0).toString(), QStringLiteral("plant/a"));
    QCOMPARE(subscribed.at(1).at(0).toString(), QStringLiteral("plant/b"));
    QCOMPARE(subscribed.at(2).at(0).toString(), QStringLiteral("plant/a"));
    QTRY_COMPARE(broker.loggedSubscriptions().count(), earlier + 3);
    QCOMPARE(broker.loggedSubscriptions().mid(earlier), (QStringList{"plant/a", "plant/b", "plant/a"}));
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

    writeSettings(
        "127.0.0.1", broker.port(),
        {"Shared 1|plant/shared", "Shared 2|plant/shared", "Own|plant/own", "Wild|plant/+", "Probe|plant/probe"});
    startWindow();
    QSignalSpy subscribed(client.get(), &QMQTT::Client::subscribed);
    clickConnect();
    QTRY_COMPARE(subscribed.count(), 5);

    QVERIFY(broker.publish(topic, payload));
    // Messages from one publisher arrive in order: once the probe shows, the
    // message before it has been routed wherever it was going to go.
    QVERIFY(broker.publish(QStringLiteral("plant/probe"), R"({"dev_type":20})"));
    QTRY_COMPARE(label(4, "label_dev_type"), QStringLiteral("Zelmar-C"));

    QStringList seen;
    for (int tab = 0; tab < 3; ++tab)
        seen << label(tab, "label_dev_type");
    QCOMPARE(seen, models);
    QCOMPARE(label(3, "label_dev_type"), QString());
}

void tst_Session::disconnectByButtonReenablesMenus()
{
    writeSettings("127.0.0.1", broker.port(), {"A|plant/a"});
    startWindow();
    QSignalSpy connected(client.get(), &QMQTT::Client::connected);
    QSignalSpy disconnected(client.get(), &QMQTT::Client::disconnected);
    clickConnect();
    QVERIFY(connected.wait());

    clickConnect();
    QVERIFY(menusEnabled());
    QTRY_COMPARE(disconnected.count(), 1);
    QCOMPARE(window->findChild<QPushButton *>("pushButtonConnect")->text(), QStringLiteral("Подключиться"));
    QCOMPARE(status(), QStringLiteral("Отключено"));
    QVERIFY(menusEnabled());
    QVERIFY(!client->isConnectedToHost());
}

void tst_Session::brokerLossIsShownAndRecoverable()
{
    writeSettings("127.0.0.1", broker.port(), {"A|plant/a"});
    startWindow();
    QSignalSpy connected(client.get(), &QMQTT::Client::connected);
    clickConnect();
    QVERIFY(connected.wait());

    broker.kill();
    QTRY_COMPARE(window->findChild<QPushButton *>("pushButtonConnect")->text(), QStringLiteral("Подключиться"));
    QVERIFY(menusEnabled());
    QCOMPARE(status(), QStringLiteral("Соединение с 127.0.0.1:%1 потеряно").arg(broker.port()));

    QVERIFY(broker.restart());
    QSignalSpy subscribed(client.get(), &QMQTT::Client::subscribed);
    clickConnect();
    QVERIFY(connected.wait());
    QTRY_COMPARE(subscribed.count(), 1);
    QVERIFY(broker.publish(QStringLiteral("plant/a"), R"({"dev_type":1,"voltage":231})"));
    QTRY_COMPARE(label(0, "label_voltage"), QStringLiteral("231"));
    QCOMPARE(label(0, "label_dev_type"), QStringLiteral("Zelmar-A"));
}

void tst_Session::hostNameConnects()
{
    writeSettings("localhost", broker.port(), {"A|plant/a"});
    startWindow();
    QSignalSpy connected(client.get(), &QMQTT::Client::connected);
    clickConnect();
    QVERIFY(connected.wait());
    QCOMPARE(status(), QStringLiteral("Подключено к localhost:%1").arg(broker.port()));
}

void tst_Session::refusedCredentialsAreReported_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("expected");
    QTest::newRow("wrong password") << broker.user() << "wrong"
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
    writeSettings("127.0.0.1", broker.authPort(), {"A|plant/a"}, user, password);
    startWindow();
    QSignalSpy connected(client.get(), &QMQTT::Client::connected);
    QSignalSpy failed(client.get(), &QMQTT::Client::error);

    clickConnect();
    QVERIFY(failed.count() > 0 || failed.wait());
    QCOMPARE(status(), expected);
    QCOMPARE(connected.count(), 0);
    QVERIFY(menusEnabled());
    QCOMPARE(window->findChild<QPushButton *>("pushButtonConnect")->text(), QStringLiteral("Подключиться"));
}

void tst_Session::clearedCredentialsAreNotReused()
{
    writeSettings("127.0.0.1", broker.authPort(), {"A|plant/a"}, broker.user(), broker.password());
    startWindow();
    QSignalSpy connected(client.get(), &QMQTT::Client::connected);
    QSignalSpy failed(client.get(), &QMQTT::Client::error);
    clickConnect();
    QVERIFY(connected.wait());
    clickConnect();
    QTRY_VERIFY(menusEnabled() && !client->isConnectedToHost());

    writeSettings("127.0.0.1", broker.authPort(), {"A|plant/a"});
    clickConnect();
    QVERIFY(failed.wait());
    QCOMPARE(connected.count(), 1);
    QCOMPARE(status(), QStringLiteral("Брокер отклонил имя пользователя или пароль"));
}

QTEST_MAIN(tst_Session)
#include "tst_session.moc"
