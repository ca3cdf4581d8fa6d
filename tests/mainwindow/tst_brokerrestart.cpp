#include "common/scratchdirectory.h"
#include "common/settingstext.h"
#include "common/testbroker.h"
#include "common/widgets.h"
#include "mainwindow/mainwindow.h"

#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QtTest>

#include <memory>

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
class tst_BrokerRestart : public QObject
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
    void clickConnect() { click(window.get(), "pushButtonConnect"); }
    QString status() const { return statusText(window.get()); }
    QString buttonText() const { return child<QPushButton>(window.get(), "pushButtonConnect")->text(); }
    bool menusEnabled() const { return settingsMenusEnabled(window.get()); }
    // What a session leaves behind in the client and the window, once objects
    // whose deletion was deferred are gone.
    QString leftovers() const;
    int notifiers() const { return client->findChildren<QSocketNotifier *>().size(); }

    TestBroker broker;
    std::unique_ptr<ScratchDirectory> workDir;
    std::unique_ptr<QMQTT::Client> client;
    std::unique_ptr<MainWindow> window;
};

void tst_BrokerRestart::initTestCase()
{
    QVERIFY(broker.start());
    previousHandler = qInstallMessageHandler(catchNotifierWarnings);
}

void tst_BrokerRestart::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
}

void tst_BrokerRestart::init()
{
    notifierWarnings.clear();
    workDir = std::make_unique<ScratchDirectory>();
    QVERIFY(workDir->isValid());
    writeSettingsFileText(SettingsText().broker("127.0.0.1", broker.port()).device("Котёл", "plant/boiler").bytes());

    client = std::make_unique<QMQTT::Client>();
    window = std::make_unique<MainWindow>(client.get());
    window->show();
}

void tst_BrokerRestart::cleanup()
{
    window.reset();
    client.reset();
    workDir.reset();
    // A failed test may have left the broker down.
    QVERIFY(broker.isRunning() || broker.restart());
}

QString tst_BrokerRestart::leftovers() const
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return QStringLiteral("notifiers %1, client timers %2, client children %3, window timers %4, fds %5")
        .arg(notifiers())
        .arg(client->findChildren<QTimer *>().size())
        .arg(client->children().size())
        .arg(window->findChildren<QTimer *>().size())
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
    const QString target = QStringLiteral("127.0.0.1:%1").arg(broker.port());
    QSignalSpy connected(client.get(), &QMQTT::Client::connected);
    QSignalSpy subscribed(client.get(), &QMQTT::Client::subscribed);
    QSignalSpy failed(client.get(), &QMQTT::Client::error);
    const QWidget *panel = tabPage(window.get(), 0);

    clickConnect();
    QVERIFY(connected.wait());
    QTRY_COMPARE(subscribed.count(), 1);
    const QString connectedLeftovers = leftovers();
    QCOMPARE(notifiers(), 2);

    for (int restart = 1; restart <= kRestarts; ++restart) {
        if (kill)
            broker.kill();
        else
            broker.stop();
        QTRY_COMPARE(buttonText(), QStringLiteral("Подключиться"));
        QTRY_COMPARE(status(), QStringLiteral("Соединение с %1 потеряно").arg(target));
        QVERIFY(menusEnabled());
        QVERIFY(!client->isConnectedToHost());
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

        QVERIFY(broker.restart());
        subscribed.clear();
        clickConnect();
        QVERIFY(!menusEnabled());
        QVERIFY(connected.wait());
        QCOMPARE(status(), QStringLiteral("Подключено к %1").arg(target));
        QCOMPARE(buttonText(), QStringLiteral("Отключиться"));
        QVERIFY(!menusEnabled());
        QTRY_COMPARE(subscribed.count(), 1);
        // The new connection carries data, not just a CONNACK.
        QVERIFY(broker.publish(QStringLiteral("plant/boiler"),
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
