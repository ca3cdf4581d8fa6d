#include "common/historywindows.h"
#include "common/testpostgres.h"
#include "common/widgets.h"
#include "common/windowtest.h"
#include "history/historywindow.h"
#include "history/postgreshistorystore.h"
#include "recorder/recorderservice.h"
#include "watch/eventlog.h"

#include <QLabel>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <functional>
#include <limits>
#include <memory>
#include <thread>

namespace {

// How long the test's or the recorder's event loop may be held up without
// the readings counting as lost.
constexpr qint64 kLongestStallSeconds = 2;

QByteArray reading(int voltage)
{
    return R"({"dev_type":10,"dev_mode":0,"num_starts":7,"t_common":3661,"t_current":61,"t_last":1,"voltage":)" +
           QByteArray::number(voltage) + R"(,"freq":50})";
}

} // namespace

// A plant's history: the recorder service writes it, into its file or into
// PostgreSQL, and the engineers' windows chart it, the shared one without
// recording anything themselves. Real broker, real server, real windows.
class tst_SharedHistory : public WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void windowChartsWhatTheRecorderWrote_data();
    void windowChartsWhatTheRecorderWrote();
    void twoRecordersShareOneMeter();
    void nothingLostWhileTheServerIsAway_data();
    void nothingLostWhileTheServerIsAway();
    void windowRunsOnWithoutTheSharedHistory();

private:
    // [History] keys of the shared history on the test's server.
    SettingsText &sharedHistory(SettingsText &text, quint16 port = 0) const;
    // Starts a recorder service on Settings.conf; its log goes to m_log.
    RecorderService *startService();
    // The rows the server, or history.sqlite, holds for the topic.
    QVector<StoredRow> sharedRows(const QString &topic) const;
    static QVector<StoredRow> fileRows(const QString &topic);
    QString log() const { return m_log.join(QLatin1Char('\n')); }
    // Runs one of the server's tools, which block, on a thread of its own:
    // the recorder lives on this one, and a second it could not hear the
    // meter would be missing from the history for the test's sake.
    static bool aside(const std::function<bool()> &step);
    // A topic of this test's own: the broker's log of subscriptions outlives a test.
    QString topic() const
    {
        return QStringLiteral("plant/%1-%2").arg(QLatin1String(QTest::currentTestFunction())).arg(m_tests);
    }

    TestPostgres m_server;
    std::vector<std::unique_ptr<RecorderService>> m_services;
    QStringList m_log;
    int m_tests = 0;
};

void tst_SharedHistory::initTestCase()
{
    QVERIFY(m_broker.start());
    const QString unavailable = TestPostgres::unavailableReason();
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(unavailable));
    QVERIFY(m_server.start());
}

void tst_SharedHistory::init()
{
    WindowTest::init();
    QVERIFY(m_server.isRunning() || m_server.start());
    QVERIFY(m_server.execute(QStringLiteral("DROP SCHEMA IF EXISTS zelmar CASCADE")));
    m_log.clear();
    ++m_tests;
}

void tst_SharedHistory::cleanup()
{
    m_services.clear();
    WindowTest::cleanup();
}

SettingsText &tst_SharedHistory::sharedHistory(SettingsText &text, quint16 port) const
{
    const auto key = [&](const char *name, const QString &value) {
        text.value(QStringLiteral("History"), QLatin1String(name), value);
    };
    key("Store", QStringLiteral("postgresql"));
    key("Host", m_server.host());
    key("Port", QString::number(port ? port : m_server.port()));
    key("Database", m_server.database());
    key("User", m_server.user());
    key("Password", m_server.password());
    key("SslMode", QStringLiteral("disable"));
    return text;
}

RecorderService *tst_SharedHistory::startService()
{
    auto service = std::make_unique<RecorderService>(QStringLiteral("Settings.conf"), QStringLiteral("history.sqlite"));
    connect(service.get(), &RecorderService::logged, this, [this](LogPriority, const QString &text) { m_log << text; });
    service->setHistoryRetryDelays(100, 400);
    service->start();
    m_services.push_back(std::move(service));
    return m_services.back().get();
}

bool tst_SharedHistory::aside(const std::function<bool()> &step)
{
    std::atomic<int> result{-1};
    std::thread worker([&] { result = step() ? 1 : 0; });
    while (result < 0)
        QTest::qWait(10);
    worker.join();
    return result == 1;
}

QVector<StoredRow> tst_SharedHistory::sharedRows(const QString &topic) const
{
    PostgresHistoryStore store;
    PostgresConnection connection{m_server.host(), m_server.port(),     m_server.database(),
                                  m_server.user(), m_server.password(), QStringLiteral("disable")};
    if (!store.open(connection, HistoryStore::fileRetention(30)))
        return {};
    return store.rows(topic, 0, std::numeric_limits<qint64>::max());
}

QVector<StoredRow> tst_SharedHistory::fileRows(const QString &topic)
{
    HistoryStore store;
    if (!store.open(QStringLiteral("history.sqlite"), HistoryStore::fileRetention(30)))
        return {};
    return store.rows(topic, 0, std::numeric_limits<qint64>::max());
}

// What the recorder writes, a window in its folder charts, and follows as it
// comes: from the file it records into as well, or from the shared history
// with its own recording off.
void tst_SharedHistory::windowChartsWhatTheRecorderWrote_data()
{
    QTest::addColumn<bool>("shared");
    QTest::newRow("history.sqlite") << false;
    QTest::newRow("PostgreSQL") << true;
}

void tst_SharedHistory::windowChartsWhatTheRecorderWrote()
{
    QFETCH(bool, shared);
    SettingsText text = settings().device("Котёл", topic());
    if (shared)
        sharedHistory(text);
    else
        text.value(QStringLiteral("History"), QStringLiteral("Enabled"), QStringLiteral("true"));
    // Due for service at the first reading: an event of the recorder's.
    writeSettingsFileText(text.bytes() + "\n[Maintenance]\nPLAN\\1\\topic=" + topic().toUtf8() +
                          "\nPLAN\\1\\IntervalHours=1\nPLAN\\size=1\n");
    RecorderService *service = startService();
    QTRY_VERIFY(m_broker.loggedSubscriptions().contains(topic()));
    QVERIFY(m_broker.publish(topic(), reading(231)));
    QTRY_COMPARE(service->readings(), quint64(1));
    // Written once the recorder's second is over.
    QTRY_VERIFY_WITH_TIMEOUT(!(shared ? sharedRows(topic()) : fileRows(topic())).isEmpty(), 10000);

    // The window never connects: all it charts is the recorder's.
    startWindow();
    HistoryWindow *history = openHistory(m_window.get(), 0);
    QVERIFY(history);
    QTRY_COMPARE_WITH_TIMEOUT(drawnVoltage(history), 231.0, 10000);
    // So is its event log: the recorder's.
    const EventLog *log = m_window->findChild<EventLog *>(QStringLiteral("eventLog"));
    QVERIFY(log);
    QTRY_COMPARE(log->newest(1).size(), 1);
    QCOMPARE(log->newest(1).constFirst().kind, EventKind::ServiceOverdue);
    if (!shared)
        return;
    // Only reading, the window follows what the recorder writes.
    QVERIFY(m_broker.publish(topic(), reading(236)));
    QTRY_COMPARE_WITH_TIMEOUT(drawnVoltage(history), 236.0, 10000);
    QVERIFY(!QFile::exists(QStringLiteral("history.sqlite")));
}

// Two recorders of one meter into one database: neither fails, and each
// second of the meter is stored once.
void tst_SharedHistory::twoRecordersShareOneMeter()
{
    SettingsText text = settings().device("Котёл", topic());
    writeSettingsFileText(sharedHistory(text).bytes());
    RecorderService *first = startService();
    RecorderService *second = startService();
    QTRY_COMPARE(m_broker.loggedSubscriptions().count(topic()), 2);
    for (int voltage : {229, 230, 231})
        QVERIFY(m_broker.publish(topic(), reading(voltage)));
    QTRY_COMPARE(first->readings(), quint64(3));
    QTRY_COMPARE(second->readings(), quint64(3));
    m_services.clear();

    const QVector<StoredRow> rows = sharedRows(topic());
    QVERIFY(!rows.isEmpty());
    for (int i = 1; i < rows.size(); ++i)
        QVERIFY(rows.at(i).second > rows.at(i - 1).second);
    QVERIFY2(!log().contains(QStringLiteral("history: Общая история недоступна")), qPrintable(log()));
}

// The server goes away while readings come, or comes back refusing the
// password: the recorder says why, keeps the readings in memory and writes
// them once it can, every second of them.
void tst_SharedHistory::nothingLostWhileTheServerIsAway_data()
{
    QTest::addColumn<bool>("wrongPassword");
    QTest::addColumn<QString>("said");
    QTest::newRow("server stopped") << false << "Общая история недоступна";
    QTest::newRow("restarted with another password") << true << "password authentication failed";
}

void tst_SharedHistory::nothingLostWhileTheServerIsAway()
{
    QFETCH(bool, wrongPassword);
    QFETCH(QString, said);
    SettingsText text = settings().device("Котёл", topic());
    writeSettingsFileText(sharedHistory(text).bytes());
    const QString password = m_server.password();
    startService();
    QTRY_VERIFY(m_broker.loggedSubscriptions().contains(topic()));

    // A reading every quarter of a second: every second has one.
    int voltage = 200;
    QTimer meter;
    connect(&meter, &QTimer::timeout, this, [&] { m_broker.publish(topic(), reading(++voltage)); });
    meter.start(250);
    QTRY_VERIFY_WITH_TIMEOUT(sharedRows(topic()).size() >= 2, 10000);

    // A new password counts from the next login: the restart's.
    if (wrongPassword)
        QVERIFY(aside([&] { return m_server.setPassword(QStringLiteral("changed-by-the-admin")); }));
    QVERIFY(aside([&] { return m_server.stop(); }));
    if (wrongPassword)
        QVERIFY(aside([&] { return m_server.start(); }));
    QTRY_VERIFY2_WITH_TIMEOUT(log().contains(said), qPrintable(log()), 10000);
    // Seconds of readings the server does not see.
    const int away = voltage;
    QTRY_VERIFY(voltage >= away + 8);
    QVERIFY(aside([&] { return wrongPassword ? m_server.setPassword(password) : m_server.start(); }));
    QTRY_VERIFY2_WITH_TIMEOUT(log().contains(QStringLiteral("снова записывается")), qPrintable(log()), 15000);
    meter.stop();
    const int last = voltage;
    QTRY_VERIFY_WITH_TIMEOUT(!sharedRows(topic()).isEmpty() && sharedRows(topic()).constLast().last.voltage == last,
                             10000);
    m_services.clear();

    // A row is stamped with the second the recorder took its reading in, so
    // a loop held up for a second (a slow machine, the sanitizers) leaves a
    // second without one. Readings lost to the outage would leave a hole of
    // eight seconds or more.
    const QVector<StoredRow> rows = sharedRows(topic());
    for (int i = 1; i < rows.size(); ++i)
        QVERIFY2(
            rows.at(i).second - rows.at(i - 1).second <= kLongestStallSeconds + 1,
            qPrintable(QStringLiteral("no row between %1 and %2").arg(rows.at(i - 1).second).arg(rows.at(i).second)));
    QVERIFY(!log().contains(QLatin1String("lost")));
    QVERIFY(!log().contains(password));
}

// A window whose shared history cannot be reached says so, and shows its
// meters as ever.
void tst_SharedHistory::windowRunsOnWithoutTheSharedHistory()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 nowhere = closed.serverPort();
    closed.close();
    SettingsText text = settings().device("Котёл", topic());
    writeSettingsFileText(sharedHistory(text, nowhere).bytes());
    startWindow();
    QTRY_VERIFY2(
        status().startsWith(QStringLiteral("Общая история недоступна (zelmar@127.0.0.1:%1/zelmar)").arg(nowhere)),
        qPrintable(status()));
    QCOMPARE(child<QLabel>(m_window.get(), QStringLiteral("labelHistoryState"))->text(),
             QStringLiteral("Общая история недоступна"));

    QSignalSpy subscribed(m_client.get(), &QMQTT::Client::subscribed);
    clickConnect();
    QVERIFY(subscribed.wait());
    QVERIFY(m_broker.publish(topic(), reading(233)));
    QTRY_COMPARE(label(0, QStringLiteral("label_voltage")), QStringLiteral("233"));
    // Its own readings chart meanwhile.
    HistoryWindow *history = openHistory(m_window.get(), 0);
    QVERIFY(history);
    QTRY_COMPARE(drawnVoltage(history), 233.0);
}

QTEST_MAIN(tst_SharedHistory)
#include "tst_sharedhistory.moc"
