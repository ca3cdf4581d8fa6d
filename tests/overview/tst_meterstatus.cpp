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
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<QString>("expected");

    const QDateTime today(QDate(2026, 3, 1), QTime(12, 3, 20));
    QTest::newRow("never heard") << false << false << today << "нет данных";
    QTest::newRow("online") << true << true << today << "в сети · данные 12:03:14";
    QTest::newRow("offline since today") << true << false << today << "не в сети · последние данные 12:03:14";
    QTest::newRow("offline since yesterday")
        << true << false << today.addDays(1) << "не в сети · последние данные 01.03.2026 12:03:14";
}

void tst_MeterStatus::toolTipSaysStateAndTime()
{
    QFETCH(bool, heard);
    QFETCH(bool, online);
    QFETCH(QDateTime, now);
    QFETCH(QString, expected);

    MeterState meter;
    if (heard) {
        meter.reading = Reading();
        meter.receivedMs = QDateTime(QDate(2026, 3, 1), QTime(12, 3, 14)).toMSecsSinceEpoch();
    }
    meter.online = online;
    QCOMPARE(meterToolTip(meter, now), expected);
}

QTEST_MAIN(tst_MeterStatus)
#include "tst_meterstatus.moc"
