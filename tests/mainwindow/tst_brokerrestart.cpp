#include "common/widgets.h"
#include "common/windowtest.h"

#include <QSocketNotifier>
#include <QTimer>
#include <QtTest>

namespace {

constexpr int kRestarts = 10;

// Warnings about socket notifiers: a notifier left on a closed socket number
// prints one, and then watches nothing (or somebody else's socket).
QStringList notifierWarnings;
QtMessageHandler previousHandler = nullptr;

void catchNotifierWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("QSocketNotifier")))
        notifierWarnings << message;
    previousHandler(type, context, message);
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System).size());
}

} // namespace

// A broker that dies and comes back again and again during one run of the
// window: every loss is shown, every reconnect works, and nothing piles up.
class tst_BrokerRestart : public WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void restartsDuringSession_data();
    void restartsDuringSession();

private:
    // What a session leaves behind in the client and the window, once objects
    // whose deletion was deferred are gone.
    QString leftovers() const;
    int notifiers() const { return m_client->findChildren<QSocketNotifier *>().size(); }
};

void tst_BrokerRestart::initTestCase()
{
    QVERIFY(m_broker.start());
    previousHandler = qInstallMessageHandler(catchNotifierWarnings);
}

void tst_BrokerRestart::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
}

void tst_BrokerRestart::init()
{
    notifierWarnings.clear();
    WindowTest::init();
    writeSettingsFileText(settings().device("Котёл", "plant/boiler").bytes());
    startWindow();
}

void tst_BrokerRestart::cleanup()
{
    WindowTest::cleanup();
    // A failed test may have left the broker down.
    QVERIFY(m_broker.isRunning() || m_broker.restart());
}

QString tst_BrokerRestart::leftovers() const
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return QStringLiteral("notifiers %1, client timers %2, client children %3, window timers %4, fds %5")
        .arg(notifiers())
        .arg(m_client->findChildren<QTimer *>().size())
        .arg(m_client->children().size())
        .arg(m_window->findChildren<QTimer *>().size())
        .arg(openDescriptors());
}

void tst_BrokerRestart::restartsDuringSession_data()
{
    QTest::addColumn<bool>("kill");
    QTest::newRow("broker killed") << true;
    QTest::newRow("broker terminated") << false;
}

void tst_BrokerRestart::restartsDuringSession()
{
    QFETCH(bool, kill);
    const QString target = QStringLiteral("127.0.0.1:%1").arg(m_broker.port());
    QSignalSpy connected(m_client.get(), &QMQTT::Client::connected);
    QSignalSpy subscribed(m_client.get(), &QMQTT::Client::subscribed);
    QSignalSpy failed(m_client.get(), &QMQTT::Client::error);
    const QWidget *panel = tabPage(m_window.get(), 0);

    clickConnect();
    QVERIFY(connected.wait());
    QTRY_COMPARE(subscribed.count(), 1);
    const QString connectedLeftovers = leftovers();
    QCOMPARE(notifiers(), 2);

    for (int restart = 1; restart <= kRestarts; ++restart) {
        if (kill)
            m_broker.kill();
        else
            m_broker.stop();
        QTRY_COMPARE(buttonText(), QStringLiteral("Подключиться"));
        QTRY_COMPARE(status(), QStringLiteral("Соединение с %1 потеряно").arg(target));
        QVERIFY(menusEnabled());
        QVERIFY(!m_client->isConnectedToHost());
        const QString idleLeftovers = leftovers();
        QCOMPARE(notifiers(), 0);

        // Every other time, the user tries before the broker is back.
        if (restart % 2 == 0) {
            failed.clear();
            clickConnect();
            QVERIFY(failed.wait());
            QCOMPARE(status(), QStringLiteral("Соединение отклонено: %1").arg(target));
            QVERIFY(menusEnabled());
            QCOMPARE(buttonText(), QStringLiteral("Подключиться"));
            QCOMPARE(leftovers(), idleLeftovers);
        }

        QVERIFY(m_broker.restart());
        subscribed.clear();
        clickConnect();
        QVERIFY(!menusEnabled());
        QVERIFY(connected.wait());
        QCOMPARE(status(), QStringLiteral("Подключено к %1").arg(target));
        QCOMPARE(buttonText(), QStringLiteral("Отключиться"));
        QVERIFY(!menusEnabled());
        QTRY_COMPARE(subscribed.count(), 1);
        // The new connection carries data, not just a CONNACK.
        QVERIFY(m_broker.publish(QStringLiteral("plant/boiler"),
                                 R"({"dev_type":1,"voltage":231,"num_starts":)" + QByteArray::number(restart) + "}"));
        QTRY_COMPARE(labelText(panel, "label_num_starts"), QString::number(restart));
        QCOMPARE(labelText(panel, "label_voltage"), QStringLiteral("231"));
        QCOMPARE(labelText(panel, "label_dev_type"), QStringLiteral("Zelmar-A"));
        QCOMPARE(leftovers(), connectedLeftovers);
    }
    QCOMPARE(connected.count(), kRestarts + 1);
    QVERIFY2(notifierWarnings.isEmpty(), qPrintable(notifierWarnings.join('\n')));
}

QTEST_MAIN(tst_BrokerRestart)
#include "tst_brokerrestart.moc"
