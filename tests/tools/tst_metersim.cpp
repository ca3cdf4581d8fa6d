#include "common/testbroker.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// Drives the built simulator against a private broker and reads what it sent
// with mosquitto_sub, the way anyone would check it by hand.
class tst_MeterSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void loadModeSpreadsReadingsOverMeters_data();
    void loadModeSpreadsReadingsOverMeters();
    void silentMeterPublishesOnceThenStops_data();
    void silentMeterPublishesOnceThenStops();
    void optionsShapeReadings_data();
    void optionsShapeReadings();
    void retainedReadingsReachLateSubscribers();
    void badCommandLineIsRefused_data();
    void badCommandLineIsRefused();

private:
    struct Reading
    {
        int meter = 0;
        QJsonObject values;
    };

    void startSubscriber(QProcess &subscriber, const QString &prefix, int count);
    // Runs the load mode to its end with the extra arguments.
    void runLoad(const QString &prefix, int meters, int count, const QStringList &extra);
    QVector<Reading> readings(const QString &prefix);
    QString outputPath(const QString &prefix) const
    {
        return m_dir.filePath(prefix.section(QLatin1Char('/'), 0, 0) + QStringLiteral(".out"));
    }
    QString nextPrefix() { return QStringLiteral("test%1/meter").arg(++m_prefixes); }

    QTemporaryDir m_dir;
    TestBroker m_broker;
    QString m_port;
    QString m_subscriberPath;
    int m_prefixes = 0;
};

void tst_MeterSim::initTestCase()
{
    m_subscriberPath = QStandardPaths::findExecutable(QStringLiteral("mosquitto_sub"));
    if (m_subscriberPath.isEmpty())
        QSKIP("needs mosquitto_sub (tools/install-deps.sh installs it)");
    QVERIFY(m_dir.isValid());
    // No queue limit, or a busy subscriber would lose QoS 0 messages.
    m_broker.addConfigLine(QStringLiteral("max_queued_messages 0"));
    QVERIFY(m_broker.start());
    m_port = QString::number(m_broker.port());
}

void tst_MeterSim::startSubscriber(QProcess &subscriber, const QString &prefix, int count)
{
    const QString clientId = QStringLiteral("sub-") + prefix.section(QLatin1Char('/'), 0, 0);
    // A file, unlike a pipe nobody reads while the simulator runs, never stalls it.
    subscriber.setStandardOutputFile(outputPath(prefix));
    subscriber.start(m_subscriberPath, {QStringLiteral("-i"), clientId, QStringLiteral("-v"), QStringLiteral("-h"),
                                        QStringLiteral("127.0.0.1"), QStringLiteral("-p"), m_port, QStringLiteral("-t"),
                                        prefix + QStringLiteral("/#"), QStringLiteral("-C"), QString::number(count),
                                        QStringLiteral("-W"), QStringLiteral("60")});
    QVERIFY2(subscriber.waitForStarted(), qPrintable(subscriber.errorString()));
    // Once the broker has logged the subscription, nothing the simulator sends is missed.
    QTRY_VERIFY2_WITH_TIMEOUT(m_broker.loggedSubscriptions().contains(prefix + QStringLiteral("/#")),
                              qPrintable(m_broker.log()), 10000);
}

QVector<tst_MeterSim::Reading> tst_MeterSim::readings(const QString &prefix)
{
    QVector<Reading> result;
    QFile output(outputPath(prefix));
    if (!output.open(QIODevice::ReadOnly))
        return result;
    const QByteArray topicStart = (prefix + QLatin1Char('/')).toUtf8();
    const QList<QByteArray> lines = output.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (!line.startsWith(topicStart))
            continue;
        const int space = line.indexOf(' ');
        Reading reading;
        bool numbered = false;
        reading.meter = line.mid(topicStart.size(), space - topicStart.size()).toInt(&numbered);
        if (!numbered)
            reading.meter = 0;
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(line.mid(space + 1), &error);
        if (error.error == QJsonParseError::NoError && document.isObject())
            reading.values = document.object();
        result.append(reading);
    }
    return result;
}

// Checks one reading the way the client will read it, plus the plausibility of
// the values; returns an empty text when it is good.
static QString readingFault(int meter, int meters, const QJsonObject &values)
{
    if (meter < 1 || meter > meters)
        return QStringLiteral("topic of meter %1").arg(meter);
    static const QStringList keys{QStringLiteral("dev_mode"),   QStringLiteral("dev_type"), QStringLiteral("freq"),
                                  QStringLiteral("num_starts"), QStringLiteral("t_common"), QStringLiteral("t_current"),
                                  QStringLiteral("t_last"),     QStringLiteral("voltage")};
    if (values.keys() != keys)
        return QStringLiteral("keys ") + values.keys().join(QLatin1Char(','));
    for (const QString &key : keys) {
        const QJsonValue value = values.value(key);
        if (!value.isDouble() || value.toDouble() != value.toInt(-1))
            return key + QStringLiteral(" is not a whole number");
    }
    static const int models[] = {1, 10, 20};
    if (values.value(QLatin1String("dev_type")).toInt() != models[(meter - 1) % 3])
        return QStringLiteral("model code");
    const int mode = values.value(QLatin1String("dev_mode")).toInt();
    const int common = values.value(QLatin1String("t_common")).toInt();
    const int current = values.value(QLatin1String("t_current")).toInt();
    const int voltage = values.value(QLatin1String("voltage")).toInt();
    const int freq = values.value(QLatin1String("freq")).toInt();
    if (mode != 0 && mode != 1)
        return QStringLiteral("mode");
    if (mode == 1 && current != 0)
        return QStringLiteral("a stopped meter counts current time");
    if (current > common || values.value(QLatin1String("t_last")).toInt() > common)
        return QStringLiteral("a run longer than the total");
    if (voltage < 225 || voltage > 235)
        return QStringLiteral("voltage");
    if (freq < 49 || freq > 51)
        return QStringLiteral("frequency");
    return {};
}

void tst_MeterSim::loadModeSpreadsReadingsOverMeters_data()
{
    QTest::addColumn<int>("meters");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("qos");

    QTest::newRow("single message") << 1 << 1 << 0;
    QTest::newRow("uneven share over five meters") << 5 << 503 << 0;
    QTest::newRow("models cycle over seven meters") << 7 << 70 << 0;
    QTest::newRow("acknowledged at QoS 1") << 3 << 60 << 1;
    QTest::newRow("backlog past the socket buffer") << 50 << 100000 << 0;
}

void tst_MeterSim::loadModeSpreadsReadingsOverMeters()
{
    QFETCH(int, meters);
    QFETCH(int, count);
    QFETCH(int, qos);
    const QString prefix = nextPrefix();
    QProcess subscriber;
    startSubscriber(subscriber, prefix, count);
    if (QTest::currentTestFailed())
        return;

    QProcess simulator;
    simulator.start(QStringLiteral(ZELMAR_METER_SIM),
                    {QStringLiteral("--port"), m_port, QStringLiteral("--prefix"), prefix, QStringLiteral("--meters"),
                     QString::number(meters), QStringLiteral("--count"), QString::number(count),
                     QStringLiteral("--qos"), QString::number(qos)});
    QVERIFY(simulator.waitForFinished(60000));
    const QByteArray errors = simulator.readAllStandardError();
    QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
    QVERIFY2(simulator.exitCode() == 0, errors.constData());
    QVERIFY2(errors.contains(QStringLiteral("published %1 messages").arg(count).toUtf8()), errors.constData());
    QVERIFY2(errors.contains("msg/s"), errors.constData());

    QVERIFY(subscriber.waitForFinished(60000));
    const QVector<Reading> received = readings(prefix);
    QCOMPARE(received.size(), count);
    QMap<int, int> perMeter;
    QMap<int, QJsonObject> previous;
    for (const Reading &reading : received) {
        const QString fault = readingFault(reading.meter, meters, reading.values);
        QVERIFY2(fault.isEmpty(), qPrintable(fault + QStringLiteral(" in ") +
                                             QString::fromUtf8(QJsonDocument(reading.values).toJson())));
        ++perMeter[reading.meter];
        if (previous.contains(reading.meter)) {
            const QJsonObject &before = previous[reading.meter];
            for (const char *counter : {"t_common", "num_starts"})
                QVERIFY2(reading.values.value(QLatin1String(counter)).toInt() >=
                             before.value(QLatin1String(counter)).toInt(),
                         counter);
        }
        previous[reading.meter] = reading.values;
    }
    QCOMPARE(perMeter.size(), meters);
    for (int share : qAsConst(perMeter))
        QVERIFY2(share == count / meters || share == count / meters + 1, qPrintable(QString::number(share)));
}

void tst_MeterSim::silentMeterPublishesOnceThenStops_data()
{
    QTest::addColumn<QStringList>("timing");

    QTest::newRow("meters together") << QStringList{};
    QTest::newRow("meters spread over the interval") << QStringList{QStringLiteral("--spread")};
}

void tst_MeterSim::silentMeterPublishesOnceThenStops()
{
    QFETCH(QStringList, timing);
    const QString prefix = nextPrefix();
    const int wanted = 21; // three on the first round, then two a round
    QProcess subscriber;
    startSubscriber(subscriber, prefix, wanted);
    if (QTest::currentTestFailed())
        return;

    QProcess simulator;
    simulator.start(QStringLiteral(ZELMAR_METER_SIM),
                    QStringList{QStringLiteral("--port"), m_port, QStringLiteral("--prefix"), prefix,
                                QStringLiteral("--meters"), QStringLiteral("3"), QStringLiteral("--silent"),
                                QStringLiteral("2"), QStringLiteral("--interval-ms"), QStringLiteral("20"),
                                QStringLiteral("--speed"), QStringLiteral("600")} +
                        timing);
    QVERIFY2(simulator.waitForStarted(), qPrintable(simulator.errorString()));
    QVERIFY(subscriber.waitForFinished(60000));
    QCOMPARE(simulator.state(), QProcess::Running);
    simulator.terminate();
    QVERIFY(simulator.waitForFinished(10000));
    QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.exitCode(), 0);

    const QVector<Reading> received = readings(prefix);
    QCOMPARE(received.size(), wanted);
    QMap<int, QVector<QJsonObject>> perMeter;
    for (const Reading &reading : received) {
        QVERIFY2(readingFault(reading.meter, 3, reading.values).isEmpty(), qPrintable(QString::number(reading.meter)));
        perMeter[reading.meter].append(reading.values);
    }
    QCOMPARE(perMeter.value(2).size(), 1);
    QCOMPARE(perMeter.value(1).size(), 10);
    QCOMPARE(perMeter.value(3).size(), 10);
    // Ten rounds at 600x cover at least two minutes of the meter's life: longer
    // than any pause, so it ran and its total grew.
    for (int meter : {1, 3}) {
        const QVector<QJsonObject> &series = perMeter.value(meter);
        QVERIFY2(series.last().value(QLatin1String("t_common")).toInt() >
                     series.first().value(QLatin1String("t_common")).toInt(),
                 qPrintable(QString::number(meter)));
    }
}

void tst_MeterSim::runLoad(const QString &prefix, int meters, int count, const QStringList &extra)
{
    QProcess simulator;
    simulator.start(QStringLiteral(ZELMAR_METER_SIM),
                    QStringList{QStringLiteral("--port"), m_port, QStringLiteral("--prefix"), prefix,
                                QStringLiteral("--meters"), QString::number(meters), QStringLiteral("--count"),
                                QString::number(count)} +
                        extra);
    QVERIFY(simulator.waitForFinished(60000));
    QVERIFY2(simulator.exitCode() == 0, simulator.readAllStandardError().constData());
}

void tst_MeterSim::optionsShapeReadings_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("meters");
    // Per meter: the voltage and frequency it must report, 0 for any plausible one.
    QTest::addColumn<QVector<int>>("voltages");
    QTest::addColumn<QVector<int>>("frequencies");
    // The first reading's total operating time and starts, each reading one second more; -1: random.
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("starts");

    QTest::newRow("voltage on one meter") << QStringList{"--voltage", "187", "--faulty", "2"} << 3
                                          << QVector<int>{0, 187, 0} << QVector<int>{0, 0, 0} << -1 << -1;
    QTest::newRow("frequency on every meter")
        << QStringList{"--frequency", "53"} << 2 << QVector<int>{0, 0} << QVector<int>{53, 53} << -1 << -1;
    QTest::newRow("total grows from where it starts")
        << QStringList{"--total", "3600", "--starts", "7"} << 1 << QVector<int>{0} << QVector<int>{0} << 3601 << 7;
}

void tst_MeterSim::optionsShapeReadings()
{
    QFETCH(QStringList, options);
    QFETCH(int, meters);
    QFETCH(QVector<int>, voltages);
    QFETCH(QVector<int>, frequencies);
    QFETCH(int, total);
    QFETCH(int, starts);
    const QString prefix = nextPrefix();
    const int count = 4 * meters;
    QProcess subscriber;
    startSubscriber(subscriber, prefix, count);
    if (QTest::currentTestFailed())
        return;
    runLoad(prefix, meters, count, options);
    QVERIFY(subscriber.waitForFinished(60000));

    const QVector<Reading> received = readings(prefix);
    QCOMPARE(received.size(), count);
    QMap<int, int> seen;
    for (const Reading &reading : received) {
        const auto value = [&reading](const char *key) { return reading.values.value(QLatin1String(key)).toInt(); };
        const int index = reading.meter - 1;
        const int voltage = voltages.value(index);
        const int frequency = frequencies.value(index);
        if (voltage > 0)
            QCOMPARE(value("voltage"), voltage);
        else
            QVERIFY(value("voltage") >= 225 && value("voltage") <= 235);
        if (frequency > 0)
            QCOMPARE(value("freq"), frequency);
        else
            QVERIFY(value("freq") >= 49 && value("freq") <= 51);
        if (total >= 0) {
            QCOMPARE(value("t_common"), total + seen[reading.meter]);
            QCOMPARE(value("num_starts"), starts);
            QCOMPARE(value("dev_mode"), 0);
        }
        ++seen[reading.meter];
    }
}

void tst_MeterSim::retainedReadingsReachLateSubscribers()
{
    const QString prefix = nextPrefix();
    runLoad(prefix, 3, 6, {QStringLiteral("--retain")});
    // Subscribed after the simulator has gone, it still gets each meter's last reading.
    QProcess subscriber;
    startSubscriber(subscriber, prefix, 3);
    // The retained readings come with the subscription: it may have ended while
    // startSubscriber() waited, when waitForFinished() would say false.
    QVERIFY(subscriber.state() == QProcess::NotRunning || subscriber.waitForFinished(60000));
    QCOMPARE(subscriber.exitCode(), 0);
    QMap<int, int> perMeter;
    for (const Reading &reading : readings(prefix))
        ++perMeter[reading.meter];
    QCOMPARE(perMeter, (QMap<int, int>{{1, 1}, {2, 1}, {3, 1}}));
}

void tst_MeterSim::badCommandLineIsRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("complaint");

    QTest::newRow("unknown option") << QStringList{QStringLiteral("--bogus")} << QStringLiteral("unknown option");
    QTest::newRow("stray argument") << QStringList{QStringLiteral("meters")} << QStringLiteral("unexpected argument");
    QTest::newRow("missing value") << QStringList{QStringLiteral("--port")} << QStringLiteral("needs a value");
    QTest::newRow("no meters") << QStringList{QStringLiteral("--meters"), QStringLiteral("0")}
                               << QStringLiteral("--meters");
    QTest::newRow("port past 65535") << QStringList{QStringLiteral("--port=65536")} << QStringLiteral("--port");
    QTest::newRow("interval not a number")
        << QStringList{QStringLiteral("--interval-ms"), QStringLiteral("1s")} << QStringLiteral("--interval-ms");
    QTest::newRow("QoS 3") << QStringList{QStringLiteral("--qos"), QStringLiteral("3")} << QStringLiteral("--qos");
    QTest::newRow("negative count") << QStringList{QStringLiteral("--count=-5")} << QStringLiteral("--count");
    QTest::newRow("wildcard in prefix") << QStringList{QStringLiteral("--prefix"), QStringLiteral("plant/+")}
                                        << QStringLiteral("--prefix");
    QTest::newRow("empty entry in silent list")
        << QStringList{QStringLiteral("--silent"), QStringLiteral("1,,2")} << QStringLiteral("--silent");
    QTest::newRow("silent meter beyond the last")
        << QStringList{QStringLiteral("--meters"), QStringLiteral("2"), QStringLiteral("--silent"), QStringLiteral("3")}
        << QStringLiteral("only 2 meters");
    QTest::newRow("faulty meters without a supply value")
        << QStringList{QStringLiteral("--faulty"), QStringLiteral("1")} << QStringLiteral("--faulty needs");
    QTest::newRow("faulty meter beyond the last")
        << QStringList{QStringLiteral("--meters"), QStringLiteral("2"),        QStringLiteral("--voltage"),
                       QStringLiteral("180"),      QStringLiteral("--faulty"), QStringLiteral("3")}
        << QStringLiteral("only 2 meters");
    QTest::newRow("voltage not a number")
        << QStringList{QStringLiteral("--voltage=low")} << QStringLiteral("--voltage");
    QTest::newRow("silent meters in load mode")
        << QStringList{QStringLiteral("--count"), QStringLiteral("10"), QStringLiteral("--silent"), QStringLiteral("1")}
        << QStringLiteral("--count");
    QTest::newRow("spread meters in load mode")
        << QStringList{QStringLiteral("--count"), QStringLiteral("10"), QStringLiteral("--spread")}
        << QStringLiteral("--spread");
}

void tst_MeterSim::badCommandLineIsRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, complaint);
    // Aimed at the test broker, so a check that slipped would show up as
    // a success rather than as traffic elsewhere.
    QProcess simulator;
    simulator.start(QStringLiteral(ZELMAR_METER_SIM), QStringList{QStringLiteral("--port"), m_port} + arguments);
    QVERIFY(simulator.waitForFinished(10000));
    const QString errors = QString::fromUtf8(simulator.readAllStandardError());
    QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
    QCOMPARE(simulator.exitCode(), 2);
    QVERIFY2(errors.contains(complaint), qPrintable(errors));
    QVERIFY2(errors.contains(QLatin1String("--help")), qPrintable(errors));
}

QTEST_GUILESS_MAIN(tst_MeterSim)
#include "tst_metersim.moc"
