#include "measurement/meterboard.h"

#include <QtTest>

// The board's offline deadlines and how it tells a meter's view, without a window.
class tst_MeterBoard : public QObject
{
    Q_OBJECT

private slots:
    void metersGoOfflineOneIntervalAfterTheirLastReading_data();
    void metersGoOfflineOneIntervalAfterTheirLastReading();
    void hiddenViewCatchesUp();
    void shownViewIsToldAtMostOncePerFrame();
    void retainedReadingIsNoSignOfLife();
};

namespace {

Reading withStarts(int starts)
{
    Reading reading;
    reading.numStarts = starts;
    return reading;
}

QVector<DeviceEntry> meters(int count)
{
    QVector<DeviceEntry> entries;
    for (int i = 0; i < count; ++i)
        entries.append({QStringLiteral("M%1").arg(i), QStringLiteral("t/%1").arg(i)});
    return entries;
}

// Remembers the starts count of every state it is shown.
class CountingView final : public MeterView
{
public:
    QVector<int> shownStarts;
    void showMeter(const MeterState &meter) override { shownStarts.append(meter.reading->numStarts); }
};

} // namespace

void tst_MeterBoard::metersGoOfflineOneIntervalAfterTheirLastReading_data()
{
    QTest::addColumn<int>("laterStarts");

    QTest::newRow("new reading") << 2;
    // Nothing to relabel, but the meter spoke: its deadline moves all the same.
    QTest::newRow("same reading again") << 1;
}

void tst_MeterBoard::metersGoOfflineOneIntervalAfterTheirLastReading()
{
    QFETCH(int, laterStarts);
    MeterBoard board;
    board.setDevices(meters(3));
    board.setOfflineInterval(300);
    board.setMeterOfflineInterval(2, 60);
    QVector<int> order;
    QVector<qint64> lateBy;
    QElapsedTimer clock;
    QVector<qint64> deadline(3);
    connect(&board, &MeterBoard::onlineChanged, this, [&](int index, bool online) {
        if (online)
            return;
        order.append(index);
        lateBy.append(clock.elapsed() - deadline[index]);
    });

    clock.start();
    board.record(0, withStarts(1));
    board.record(1, withStarts(1));
    deadline[0] = deadline[1] = 300;
    QTest::qWait(100);
    // A later reading moves meter 0's deadline behind meter 1's; meter 2's own shorter interval
    // puts it ahead of both.
    deadline[0] = clock.elapsed() + 300;
    board.record(0, withStarts(laterStarts));
    deadline[2] = clock.elapsed() + 60;
    board.record(2, withStarts(1));
    QCOMPARE(board.onlineCount(), 3);

    QTRY_COMPARE(order.size(), 3);
    QCOMPARE(order, (QVector<int>{2, 1, 0}));
    for (qint64 late : lateBy)
        QVERIFY2(late >= 0, "a meter went offline before its deadline");
    QCOMPARE(board.onlineCount(), 0);
    QVERIFY(board.meter(0).reading == withStarts(laterStarts));
}

void tst_MeterBoard::hiddenViewCatchesUp()
{
    MeterBoard board;
    board.setDevices(meters(1));
    CountingView view;
    board.setView(0, &view);

    // Coming online is shown at once, even hidden; later readings of a hidden view come together.
    board.record(0, withStarts(1));
    board.record(0, withStarts(2));
    board.record(0, withStarts(3));
    QCOMPARE(view.shownStarts, QVector<int>{1});
    QTRY_COMPARE(view.shownStarts, (QVector<int>{1, 3}));

    board.record(0, withStarts(4));
    board.setViewShown(0, true);
    QCOMPARE(view.shownStarts, (QVector<int>{1, 3, 4}));
    board.record(0, withStarts(5));
    QCOMPARE(view.shownStarts, (QVector<int>{1, 3, 4, 5}));
    board.detachView(0, &view);
}

void tst_MeterBoard::shownViewIsToldAtMostOncePerFrame()
{
    MeterBoard board;
    board.setDevices(meters(1));
    CountingView view;
    board.setView(0, &view);
    board.setViewShown(0, true);

    QElapsedTimer burst;
    burst.start();
    for (int starts = 1; starts <= 1000; ++starts)
        board.record(0, withStarts(starts));
    const qint64 burstMs = burst.elapsed();
    QCOMPARE(view.shownStarts.first(), 1);
    QVERIFY2(view.shownStarts.size() <= 2 + burstMs / MeterBoard::kShownRefreshMs,
             qPrintable(QStringLiteral("%1 shows in %2 ms").arg(view.shownStarts.size()).arg(burstMs)));
    // The last reading of the burst follows when its frame ends.
    QTRY_COMPARE(view.shownStarts.last(), 1000);
    board.detachView(0, &view);
}

// The broker hands out a retained reading on subscribing: old data, shown, but the meter is not
// online for it, its deadline does not move, and nobody records it as a reading of now.
void tst_MeterBoard::retainedReadingIsNoSignOfLife()
{
    MeterBoard board;
    board.setDevices(meters(2));
    CountingView view;
    board.setView(0, &view);
    QSignalSpy recorded(&board, &MeterBoard::readingRecorded);
    QSignalSpy changed(&board, &MeterBoard::onlineChanged);

    board.recordRetained({0, 1}, withStarts(7));
    QCOMPARE(view.shownStarts, QVector<int>{7});
    QVERIFY(board.meter(0).retained);
    QVERIFY(!board.meter(0).online);
    QCOMPARE(board.meter(0).receivedMs, qint64(0));
    QCOMPARE(board.onlineCount(), 0);
    QCOMPARE(recorded.count(), 0);
    QCOMPARE(changed.count(), 0);

    board.record(0, withStarts(8));
    QVERIFY(!board.meter(0).retained);
    QVERIFY(board.meter(0).online);
    QCOMPARE(board.onlineCount(), 1);
    QCOMPARE(recorded.count(), 1);
    board.detachView(0, &view);
}

QTEST_MAIN(tst_MeterBoard)
#include "tst_meterboard.moc"
