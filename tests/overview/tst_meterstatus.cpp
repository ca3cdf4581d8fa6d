#include "measurement/meterboard.h"
#include "overview/meterstatus.h"

#include <QtTest>

// How a meter's state reads in a tab's tooltip.
class tst_MeterStatus : public QObject
{
    Q_OBJECT

private slots:
    void toolTipSaysStateAndTime_data();
    void toolTipSaysStateAndTime();
};

void tst_MeterStatus::toolTipSaysStateAndTime_data()
{
    QTest::addColumn<bool>("heard");
    QTest::addColumn<bool>("online");
    QTest::addColumn<bool>("retained");
    QTest::addColumn<MeterCondition>("condition");
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QString>("expected");

    const QDateTime today(QDate(2026, 3, 1), QTime(12, 3, 20));
    QTest::newRow("never heard") << false << false << false << MeterCondition::NoData << today << "нет данных";
    QTest::newRow("online") << true << true << false << MeterCondition::Online << today << "в сети · данные 12:03:14";
    QTest::newRow("offline since today") << true << false << false << MeterCondition::Silent << today
                                         << "не в сети · последние данные 12:03:14";
    QTest::newRow("silent for minutes") << true << false << false << MeterCondition::Silent << today.addSecs(12 * 60)
                                        << "не в сети 12 мин · последние данные 12:03:14";
    QTest::newRow("offline since yesterday")
        << true << false << false << MeterCondition::Silent << today.addSecs(26 * 3600 + 5 * 60)
        << "не в сети 1 дн 2 ч · последние данные 01.03.2026 12:03:14";
    QTest::newRow("silent with the broker gone") << true << false << false << MeterCondition::NoData
                                                 << today.addSecs(3600) << "нет данных · последние данные 12:03:14";
    QTest::newRow("out of range") << true << true << false << MeterCondition::OutOfRange << today
                                  << "вне пределов · данные 12:03:14";
    QTest::newRow("retained, never heard live") << false << false << true << MeterCondition::NoData << today
                                                << "нет данных · время последних данных неизвестно";
}

void tst_MeterStatus::toolTipSaysStateAndTime()
{
    QFETCH(bool, heard);
    QFETCH(bool, online);
    QFETCH(bool, retained);
    QFETCH(MeterCondition, condition);
    QFETCH(QDateTime, now);
    QFETCH(QString, expected);

    MeterState meter;
    if (heard) {
        meter.reading = Reading();
        meter.receivedMs = QDateTime(QDate(2026, 3, 1), QTime(12, 3, 14)).toMSecsSinceEpoch();
    }
    if (retained) {
        meter.reading = Reading();
        meter.retained = true;
    }
    meter.online = online;
    QCOMPARE(meterToolTip(meter, condition, now), expected);
}

QTEST_MAIN(tst_MeterStatus)
#include "tst_meterstatus.moc"
