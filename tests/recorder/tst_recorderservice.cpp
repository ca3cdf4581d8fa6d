#include "common/scratchdirectorytest.h"
#include "common/settingstext.h"
#include "common/testbroker.h"
#include "config/settingsfile.h"
#include "history/historystore.h"
#include "recorder/recorderservice.h"
#include "session/sessioncontroller.h"
#include "watch/watchevent.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <limits>
#include <memory>

namespace {

QByteArray reading(int voltage)
{
    return R"({"dev_type":10,"dev_mode":0,"num_starts":7,"t_common":3661,"t_current":61,"t_last":1,"voltage":)" +
           QByteArray::number(voltage) + R"(,"freq":50})";
}

// The rows history.sqlite in the working directory holds for a topic.
QVector<StoredRow> storedRows(const QString &topic)
{
    HistoryStore store;
    if (!store.open(QStringLiteral("history.sqlite"), HistoryStore::fileRetention(30)))
        return {};
    return store.rows(topic, 0, std::numeric_limits<qint64>::max());
}

} // namespace

// The recorder service against a private broker and a Settings.conf in a
// scratch folder, as the unit runs it: what it records, how it follows the
// file, how it waits for settings that work, and how the program ends.
class tst_RecorderService : public ScratchDirectoryTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void recordsRegisteredMeters();
    void recordsWatchEvents();
    void followsSettingsFile_data();
    void followsSettingsFile();
    void unreadableFileKeepsTheHistory();
    void retriesUntilSettingsWork_data();
    void retriesUntilSettingsWork();
    void sigtermWhileWritingEndsCleanly();

private:
    void startService();
    SettingsText settings() const { return SettingsText().broker(QStringLiteral("127.0.0.1"), m_broker.port()); }
    bool subscribedTo(const QString &topic) const { return m_broker.loggedSubscriptions().contains(topic); }
    QString log() const { return m_log.join(QLatin1Char('\n')); }

    TestBroker m_broker;
    std::unique_ptr<RecorderService> m_service;
    QStringList m_log;
    QVector<LogPriority> m_priorities;
};

void tst_RecorderService::initTestCase()
{
    QVERIFY(m_broker.start());
}

void tst_RecorderService::init()
{
    ScratchDirectoryTest::init();
    m_log.clear();
    m_priorities.clear();
}

void tst_RecorderService::cleanup()
{
    m_service.reset();
    ScratchDirectoryTest::cleanup();
}

void tst_RecorderService::startService()
{
    m_service = std::make_unique<RecorderService>(QStringLiteral("Settings.conf"), QStringLiteral("history.sqlite"));
    connect(m_service.get(), &RecorderService::logged, this, [this](LogPriority priority, const QString &text) {
        m_priorities << priority;
        m_log << text;
    });
    m_service->session()->setRetryDelays(20, 100);
    m_service->start();
}

// Only registered topics are recorded, one row per meter and second; what
// waits for the next write when the service stops is written all the same.
void tst_RecorderService::recordsRegisteredMeters()
{
    writeSettingsFileText(settings().device("Boiler", "plant/boiler").bytes());
    startService();
    m_service->setReportInterval(50);
    QTRY_VERIFY(subscribedTo(QStringLiteral("plant/boiler")));

    QVERIFY(m_broker.publish(QStringLiteral("plant/stranger"), reading(199)));
    QVERIFY(m_broker.publish(QStringLiteral("plant/boiler"), reading(231)));
    QTRY_COMPARE(m_service->readings(), quint64(1));
    QTRY_VERIFY2(log().contains(QLatin1String(": 1 readings,")), qPrintable(log()));
    m_service.reset();

    const QVector<StoredRow> rows = storedRows(QStringLiteral("plant/boiler"));
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.constFirst().last.voltage, 231);
    QVERIFY(storedRows(QStringLiteral("plant/stranger")).isEmpty());
    QVERIFY2(m_log.constLast().startsWith(QLatin1String("stopped: 1 readings")), qPrintable(log()));
}

// The meters are watched as in a window, from the same groups of
// Settings.conf, and the events go beside the readings, where a window
// reading the history shows them, and into the journal.
void tst_RecorderService::recordsWatchEvents()
{
    writeSettingsFileText(settings().device("Boiler", "plant/watched").bytes() +
                          "\n[Maintenance]\nPLAN\\1\\topic=plant/watched\nPLAN\\1\\IntervalHours=1\nPLAN\\size=1\n");
    startService();
    QTRY_VERIFY(subscribedTo(QStringLiteral("plant/watched")));
    QVERIFY(m_broker.publish(QStringLiteral("plant/watched"), reading(231)));
    QTRY_VERIFY2(log().contains(QLatin1String("event: Boiler (plant/watched): ")), qPrintable(log()));
    m_service.reset();

    HistoryStore store;
    QVERIFY(store.open(QStringLiteral("history.sqlite"), HistoryStore::fileRetention(30)));
    const QVector<HistoryEvent> events = store.events(10);
    QCOMPARE(events.size(), 1);
    QCOMPARE(events.constFirst().kind, int(EventKind::ServiceOverdue));
    QCOMPARE(events.constFirst().topic, QStringLiteral("plant/watched"));
}

// A meter added to Settings.conf is subscribed to and recorded without a
// restart, however the file was written.
void tst_RecorderService::followsSettingsFile_data()
{
    QTest::addColumn<bool>("inPlace");
    QTest::newRow("saved by the program, through a rename") << false;
    QTest::newRow("written over in place") << true;
}

void tst_RecorderService::followsSettingsFile()
{
    QFETCH(bool, inPlace);
    const QString added = QStringLiteral("plant/pump-%1").arg(inPlace);
    writeSettingsFileText(settings().device("Boiler", "plant/boiler").bytes());
    startService();
    QTRY_VERIFY(subscribedTo(QStringLiteral("plant/boiler")));

    if (inPlace) {
        QFile file(QStringLiteral("Settings.conf"));
        QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
        file.write(settings().device("Boiler", "plant/boiler").device("Pump", added).bytes());
    } else {
        QCOMPARE(SettingsFile().storeDevice(QStringLiteral("Pump"), added).status, WriteResult::Written);
    }
    QTRY_VERIFY_WITH_TIMEOUT(subscribedTo(added), 10000);
    QVERIFY(m_broker.publish(added, reading(229)));
    QTRY_COMPARE(m_service->readings(), quint64(1));
    m_service.reset();
    QCOMPARE(storedRows(added).size(), 1);
    QVERIFY2(log().contains(QStringLiteral("added ") + added), qPrintable(log()));
}

// A Settings.conf that cannot be read for a while (here a folder stands in
// its place) says nothing of the history: where it goes and how long it
// keeps stay as they were.
void tst_RecorderService::unreadableFileKeepsTheHistory()
{
    writeSettingsFileText(settings()
                              .device("Boiler", "plant/boiler")
                              .value(QStringLiteral("History"), QStringLiteral("Days"), QStringLiteral("7"))
                              .bytes());
    startService();
    QTRY_VERIFY(subscribedTo(QStringLiteral("plant/boiler")));
    QVERIFY(QFile::remove(QStringLiteral("Settings.conf")));
    QVERIFY(QDir().mkdir(QStringLiteral("Settings.conf")));
    QTRY_VERIFY2_WITH_TIMEOUT(log().contains(QStringLiteral("no longer recorded plant/boiler")), qPrintable(log()),
                              10000);
    QVERIFY2(log().contains(QStringLiteral("cannot read Settings.conf (")), qPrintable(log()));
    QVERIFY2(!log().contains(QStringLiteral("keeps 30 days")), qPrintable(log()));
}

// Nobody will press a button: whatever failed is tried again, with each
// failure said once however often it recurs, and never a password.
void tst_RecorderService::retriesUntilSettingsWork_data()
{
    QTest::addColumn<QByteArray>("failing");
    QTest::addColumn<QByteArray>("working");

    const auto login = [this](const QString &password) {
        return SettingsText()
            .broker(QStringLiteral("127.0.0.1"), m_broker.authPort())
            .login(m_broker.user(), password)
            .device("Boiler", "plant/boiler")
            .bytes();
    };
    QTest::newRow("password refused") << login(QStringLiteral("wrong-secret")) << login(m_broker.password());
    QTest::newRow("no broker in the file") << SettingsText().device("Boiler", "plant/boiler").bytes()
                                           << settings().device("Boiler", "plant/boiler").bytes();
}

void tst_RecorderService::retriesUntilSettingsWork()
{
    QFETCH(QByteArray, failing);
    QFETCH(QByteArray, working);
    writeSettingsFileText(failing);
    startService();
    QSignalSpy retries(m_service->session(), &SessionController::retryScheduled);
    QTRY_VERIFY(retries.count() >= 3);
    writeSettingsFileText(working);
    QTRY_COMPARE(m_service->session()->state(), SessionController::State::Connected);

    QCOMPARE(m_priorities.count(LogPriority::Warning), 1);
    QVERIFY2(!log().contains(QLatin1String("secret")), qPrintable(log()));
}

// SIGTERM, as systemd stops the unit, ends the program within 2 s while
// readings pour in, with status 0 and a store that opens with its rows.
void tst_RecorderService::sigtermWhileWritingEndsCleanly()
{
    constexpr int kMeters = 20;
    SettingsText text = settings();
    for (int i = 1; i <= kMeters; ++i)
        text.device(QStringLiteral("Meter %1").arg(i), QStringLiteral("zelmar/meter/%1").arg(i));
    writeSettingsFileText(text.bytes());

    QProcess simulator;
    simulator.start(QStringLiteral(ZELMAR_METER_SIM),
                    {QStringLiteral("--port"), QString::number(m_broker.port()), QStringLiteral("--meters"),
                     QString::number(kMeters), QStringLiteral("--interval-ms"), QStringLiteral("20")});
    QVERIFY(simulator.waitForStarted());
    QProcess recorder;
    recorder.start(QStringLiteral(ZELMAR_RECORDER_PROGRAM),
                   {QStringLiteral("--config"), QStringLiteral("Settings.conf")});
    QVERIFY(recorder.waitForStarted());
    // Its first batches are in, more are coming.
    QTRY_VERIFY_WITH_TIMEOUT(!storedRows(QStringLiteral("zelmar/meter/1")).isEmpty(), 10000);

    ::kill(pid_t(recorder.processId()), SIGTERM);
    const bool ended = recorder.waitForFinished(2000);
    simulator.kill();
    simulator.waitForFinished();
    const QByteArray errors = recorder.readAllStandardError();
    QVERIFY2(ended, errors.constData());
    QCOMPARE(recorder.exitStatus(), QProcess::NormalExit);
    QCOMPARE(recorder.exitCode(), 0);
    QVERIFY2(errors.contains("stopping on SIGTERM") && errors.trimmed().endsWith("since the start"),
             errors.constData());
    QVERIFY(storedRows(QStringLiteral("zelmar/meter/%1").arg(kMeters)).size() >= 1);
}

QTEST_GUILESS_MAIN(tst_RecorderService)
#include "tst_recorderservice.moc"
