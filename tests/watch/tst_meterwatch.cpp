#include "history/historyrecorder.h"
#include "measurement/meterboard.h"
#include "watch/eventlog.h"
#include "watch/meterwatch.h"
#include "watch/recordedeventstore.h"

#include <QTemporaryDir>
#include <QtTest>

// The watch over a board fed directly, on a clock of the test's own: the limits' hold rule,
// the order of the conditions and the maintenance arithmetic.
class tst_MeterWatch : public QObject
{
    Q_OBJECT

private slots:
    void limitsHoldBeforeTheyRaiseOrClear_data();
    void limitsHoldBeforeTheyRaiseOrClear();
    void worstConditionWins_data();
    void worstConditionWins();
    void maintenanceCountsFromTheMark_data();
    void maintenanceCountsFromTheMark();
    void markingServiceIsAnEvent();
    void recordedLogOutlivesTheProgram();
};

namespace {

using Step = QPair<int, int>; // clock ms, value

Reading supply(int voltage, int freq = 50)
{
    Reading reading;
    reading.voltage = voltage;
    reading.freq = freq;
    return reading;
}

Reading counters(int seconds, int starts)
{
    Reading reading = supply(230);
    reading.tCommon = seconds;
    reading.numStarts = starts;
    return reading;
}

MaintenancePlan planFor(const QString &topic, std::optional<int> hours, std::optional<int> starts, qint64 markSeconds,
                        qint64 markStarts)
{
    MaintenancePlan plan;
    plan.topic = topic;
    plan.intervalHours = hours;
    plan.intervalStarts = starts;
    plan.markSeconds = markSeconds;
    plan.markStarts = markStarts;
    return plan;
}

// A board of `count` meters ("M0" on "t/0", ...) and its watch, with a clock the test moves.
struct Fixture
{
    explicit Fixture(int count = 1)
    {
        QVector<DeviceEntry> entries;
        for (int i = 0; i < count; ++i)
            entries.append({QStringLiteral("M%1").arg(i), QStringLiteral("t/%1").arg(i)});
        board.setDevices(entries);
        watch.setClock([this] { return nowMs; });
        QObject::connect(&watch, &MeterWatch::eventRaised, &watch,
                         [this](const WatchEvent &event) { events << eventText(event); });
    }

    MeterBoard board;
    MeterWatch watch{&board};
    qint64 nowMs = 0;
    QStringList events;
};

} // namespace

Q_DECLARE_METATYPE(MaintenancePlan)
Q_DECLARE_METATYPE(Reading)

void tst_MeterWatch::limitsHoldBeforeTheyRaiseOrClear_data()
{
    QTest::addColumn<QVector<Step>>("steps");
    QTest::addColumn<bool>("frequency");
    // "ms: text" for each event, at the clock of the reading that raised it.
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("three quick readings wait out the hold")
        << QVector<Step>{{0, 187}, {1000, 187}, {2000, 187}, {4999, 187}, {5000, 187}} << false
        << QStringList{"5000: напряжение 187 В ниже предела 198 В"};
    QTest::newRow("the hold passed, a third reading is still needed")
        << QVector<Step>{{0, 250}, {6000, 250}, {7000, 251}} << false
        << QStringList{"7000: напряжение 251 В выше предела 242 В"};
    QTest::newRow("a reading back inside starts again")
        << QVector<Step>{{0, 187}, {2000, 187}, {3000, 200}, {4000, 187}, {6000, 187}, {8999, 187}, {9000, 187}}
        << false << QStringList{"9000: напряжение 187 В ниже предела 198 В"};
    QTest::newRow("clears after five seconds back inside")
        << QVector<Step>{{0, 187}, {1000, 187}, {5000, 187}, {6000, 230}, {8000, 230}, {10999, 230}, {11000, 230}}
        << false << QStringList{"5000: напряжение 187 В ниже предела 198 В", "11000: напряжение в норме"};
    QVector<Step> onTheLimit;
    for (int second = 0; second < 30; ++second)
        onTheLimit.append({second * 1000, second % 2 ? 197 : 198});
    QTest::newRow("a value sitting on the limit never flickers") << onTheLimit << false << QStringList();
    QTest::newRow("frequency above its limit") << QVector<Step>{{0, 53}, {2500, 53}, {5000, 53}} << true
                                               << QStringList{"5000: частота 53 Гц выше предела 51 Гц"};
}

void tst_MeterWatch::limitsHoldBeforeTheyRaiseOrClear()
{
    QFETCH(QVector<Step>, steps);
    QFETCH(bool, frequency);
    QFETCH(QStringList, expected);

    Fixture f;
    SupplyLimits limits;
    limits.voltageMin = 198;
    limits.voltageMax = 242;
    limits.frequencyMax = 51;
    f.watch.setSettings(limits, {});
    QStringList timed;
    connect(&f.watch, &MeterWatch::eventRaised, this,
            [&](const WatchEvent &event) { timed << QStringLiteral("%1: %2").arg(f.nowMs).arg(eventText(event)); });
    for (const Step &step : steps) {
        f.nowMs = step.first;
        f.board.record(0, frequency ? supply(230, step.second) : supply(step.second));
    }
    QCOMPARE(timed, expected);
    const bool alarmed = !expected.isEmpty() && !expected.last().endsWith(QStringLiteral("в норме"));
    QCOMPARE(f.watch.condition(0), alarmed ? MeterCondition::OutOfRange : MeterCondition::Online);
    QCOMPARE(f.watch.alarmCount(), alarmed ? 1 : 0);
}

void tst_MeterWatch::worstConditionWins_data()
{
    QTest::addColumn<bool>("heard");
    QTest::addColumn<bool>("outOfRange");
    QTest::addColumn<bool>("overdue");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<bool>("brokerLost");
    QTest::addColumn<MeterCondition>("condition");

    QTest::newRow("never heard") << false << false << false << false << false << MeterCondition::NoData;
    QTest::newRow("online") << true << false << false << false << false << MeterCondition::Online;
    QTest::newRow("overdue over online") << true << false << true << false << false << MeterCondition::ServiceOverdue;
    QTest::newRow("out of range over overdue") << true << true << true << false << false << MeterCondition::OutOfRange;
    QTest::newRow("silent over out of range") << true << true << true << true << false << MeterCondition::Silent;
    QTest::newRow("silent with the broker gone is no data")
        << true << false << false << true << true << MeterCondition::NoData;
    QTest::newRow("the broker gone leaves the alarm")
        << true << true << false << true << true << MeterCondition::OutOfRange;
}

void tst_MeterWatch::worstConditionWins()
{
    QFETCH(bool, heard);
    QFETCH(bool, outOfRange);
    QFETCH(bool, overdue);
    QFETCH(bool, silent);
    QFETCH(bool, brokerLost);
    QFETCH(MeterCondition, condition);

    Fixture f(2);
    SupplyLimits limits;
    limits.voltageMin = 198;
    f.watch.setSettings(limits, {planFor(QStringLiteral("t/0"), 100, std::nullopt, 0, 0)});
    // Meter 1 stays online and in range throughout: the worst is meter 0's, or online.
    f.board.record(1, supply(230));
    if (heard) {
        Reading reading = supply(outOfRange ? 180 : 230);
        reading.tCommon = overdue ? 100 * 3600 : 10;
        for (int second = 0; second <= 5; ++second) {
            f.nowMs = second * 1000;
            f.board.record(0, reading);
        }
    }
    if (brokerLost) {
        f.watch.brokerConnected();
        f.watch.brokerLost();
    }
    if (silent)
        f.board.markOffline(0);

    QCOMPARE(f.watch.condition(0), condition);
    QCOMPARE(f.watch.worstCondition(), condition == MeterCondition::NoData ? MeterCondition::Online : condition);
    QCOMPARE(f.watch.count(condition), 1 + (condition == MeterCondition::Online));
    QCOMPARE(f.events.contains(QStringLiteral("не в сети")), silent && !brokerLost);
    QCOMPARE(f.events.contains(QStringLiteral("обслуживание просрочено")), overdue);
}

void tst_MeterWatch::maintenanceCountsFromTheMark_data()
{
    QTest::addColumn<MaintenancePlan>("plan");
    QTest::addColumn<Reading>("reading");
    QTest::addColumn<QString>("text");
    QTest::addColumn<MeterCondition>("condition");

    const int mark = 1000 * 3600;
    const QString topic = QStringLiteral("t/0");
    QTest::newRow("hours ahead") << planFor(topic, 500, std::nullopt, mark, 40) << counters(mark + 380 * 3600, 41)
                                 << "через 120 ч" << MeterCondition::Online;
    QTest::newRow("under an hour ahead, rounded up")
        << planFor(topic, 1, std::nullopt, mark, 40) << counters(mark + 1500, 40) << "через 35 мин"
        << MeterCondition::Online;
    QTest::newRow("hours overdue") << planFor(topic, 500, std::nullopt, mark, 40) << counters(mark + 512 * 3600, 41)
                                   << "просрочено на 12 ч" << MeterCondition::ServiceOverdue;
    QTest::newRow("starts ahead") << planFor(topic, std::nullopt, 400, mark, 40) << counters(mark, 140)
                                  << "через 300 пусков" << MeterCondition::Online;
    QTest::newRow("one start ahead") << planFor(topic, std::nullopt, 400, mark, 40) << counters(mark, 439)
                                     << "через 1 пуск" << MeterCondition::Online;
    QTest::newRow("starts overdue, hours ahead") << planFor(topic, 500, 400, mark, 40) << counters(mark + 3600, 443)
                                                 << "просрочено на 3 пуска" << MeterCondition::ServiceOverdue;
    QTest::newRow("both ahead") << planFor(topic, 500, 400, mark, 40) << counters(mark + 380 * 3600, 140)
                                << "через 120 ч или 300 пусков" << MeterCondition::Online;
    QTest::newRow("replaced meter counts below the mark")
        << planFor(topic, 500, std::nullopt, mark, 40) << counters(7200, 2) << "счётчик заменён или сброшен"
        << MeterCondition::Online;
    QTest::newRow("no plan") << planFor(topic, std::nullopt, std::nullopt, mark, 40) << counters(mark * 2, 41) << ""
                             << MeterCondition::Online;
}

void tst_MeterWatch::maintenanceCountsFromTheMark()
{
    QFETCH(MaintenancePlan, plan);
    QFETCH(Reading, reading);
    QFETCH(QString, text);
    QFETCH(MeterCondition, condition);

    Fixture f;
    f.watch.setSettings({}, {plan});
    f.board.record(0, reading);
    QCOMPARE(maintenanceText(f.watch.maintenance(0)), text);
    QCOMPARE(f.watch.condition(0), condition);
    QCOMPARE(f.events,
             condition == MeterCondition::ServiceOverdue ? QStringList{"обслуживание просрочено"} : QStringList());
}

// A new mark is one event, once, and takes the meter out of "обслуживание просрочено".
void tst_MeterWatch::markingServiceIsAnEvent()
{
    Fixture f;
    MaintenancePlan plan = planFor(QStringLiteral("t/0"), 500, std::nullopt, 0, 0);
    f.watch.setSettings({}, {plan});
    f.board.record(0, counters(600 * 3600, 10));
    QCOMPARE(f.watch.condition(0), MeterCondition::ServiceOverdue);

    plan.markDate = QDate(2026, 3, 1);
    plan.markSeconds = 600 * 3600;
    plan.markStarts = 10;
    f.watch.setSettings({}, {plan});
    f.watch.setSettings({}, {plan});
    QCOMPARE(f.events, (QStringList{"обслуживание просрочено", "обслуживание отмечено"}));
    QCOMPARE(f.watch.condition(0), MeterCondition::Online);
    QCOMPARE(maintenanceText(f.watch.maintenance(0)), QStringLiteral("через 500 ч"));
}

// Recorded, the log is read back from the history's file by the next run,
// before the events that run adds while the file is still being read.
void tst_MeterWatch::recordedLogOutlivesTheProgram()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fileName = HistoryRecorder::fileNameIn(dir.path());
    const auto event = [](qint64 timeMs, EventKind kind, const QString &meter) {
        return WatchEvent{timeMs, kind, QStringLiteral("plant/") + meter, meter, 187, 198};
    };
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    {
        HistoryRecorder recorder(fileName);
        EventLog log;
        log.setStore(std::make_unique<RecordedEventStore>(&recorder));
        log.add(event(now - 2000, EventKind::VoltageLow, QStringLiteral("Насос 1")));
        log.add(event(now - 1000, EventKind::Silent, QStringLiteral("Насос 2")));
    }
    HistoryRecorder recorder(fileName);
    EventLog log;
    QSignalSpy read(&log, &EventLog::storeChanged);
    log.setStore(std::make_unique<RecordedEventStore>(&recorder));
    log.add(event(now, EventKind::BackOnline, QStringLiteral("Насос 2")));
    QVERIFY(read.wait());
    QStringList shown;
    for (const WatchEvent &e : log.newest(10))
        shown.append(e.meter + QLatin1Char(' ') + eventText(e));
    QCOMPARE(shown,
             (QStringList{"Насос 2 снова в сети", "Насос 2 не в сети", "Насос 1 напряжение 187 В ниже предела 198 В"}));
}

QTEST_GUILESS_MAIN(tst_MeterWatch)
#include "tst_meterwatch.moc"
