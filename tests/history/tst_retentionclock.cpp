#include "history/retentionclock.h"

#include <QtTest>

namespace {

constexpr qint64 kHour = 3600;
constexpr qint64 kDay = 24 * kHour;
// The newest stored row; the computer's clock starts there.
constexpr qint64 kStored = 1800000000;
constexpr qint64 kNone = -1;

// One look at the clock: the computer's clock and the steady clock in
// seconds, the newest stored second (kNone: nothing stored), and the verdict.
struct Look
{
    qint64 utc;
    qint64 steady;
    qint64 newest;
    ClockDoubt doubt;
};
using Looks = QVector<Look>;

} // namespace

Q_DECLARE_METATYPE(Looks)

class tst_RetentionClock : public QObject
{
    Q_OBJECT

private slots:
    void judgesTheClock_data();
    void judgesTheClock();
};

void tst_RetentionClock::judgesTheClock_data()
{
    QTest::addColumn<Looks>("looks");

    const ClockDoubt none = ClockDoubt::None;
    const ClockDoubt ahead = ClockDoubt::Ahead;
    const ClockDoubt behind = ClockDoubt::Behind;
    const qint64 s = kStored;
    QTest::newRow("nothing stored") << Looks{{s + 40 * kDay, 0, kNone, none}};
    QTest::newRow("a clock in step") << Looks{{s + 5, 0, s, none}, {s + 10, 5, s + 9, none}};
    QTest::newRow("a month ahead at start") << Looks{{s + 31 * kDay, 0, s, ahead}};
    QTest::newRow("two days ahead at start") << Looks{{s + 2 * kDay, 0, s, ahead}};
    QTest::newRow("behind the newest row") << Looks{{s - kHour, 0, s, behind}};
    QTest::newRow("a time server's step back") << Looks{{s - 30, 0, s, none}};
    QTest::newRow("a jump ahead while running") << Looks{{s, 0, s, none}, {s + 2 * kDay, 5, s, ahead}};
    QTest::newRow("set back while running") << Looks{{s, 0, s, none}, {s - 2 * kHour, 5, s, behind}};
    QTest::newRow("set right again") << Looks{{s, 0, s, none}, {s + 2 * kDay, 5, s, ahead}, {s + 10, 10, s, none}};
    QTest::newRow("caught up with the rows ahead of it")
        << Looks{{s - kHour, 0, s, behind}, {s - 30 * 60, 30 * 60, s, behind}, {s + 1, kHour + 1, s, none}};
    QTest::newRow("taken as it is after a day in step")
        << Looks{{s + 2 * kDay, 0, s, ahead},
                 {s + 2 * kDay + 12 * kHour, 12 * kHour, s + 2 * kDay, ahead},
                 {s + 3 * kDay, kDay, s + 3 * kDay, none},
                 {s + 3 * kDay + 5, kDay + 5, s + 3 * kDay, none}};
    QTest::newRow("rows ahead of a clock taken as it is hold it no longer")
        << Looks{{s - 5 * kDay, 0, s, behind}, {s - 4 * kDay, kDay, s, none}, {s - 4 * kDay + 5, kDay + 5, s, none}};
    QTest::newRow("another jump starts the day again")
        << Looks{{s + 2 * kDay, 0, s, ahead},
                 {s + 2 * kDay + 12 * kHour, 12 * kHour, s, ahead},
                 {s + 5 * kDay + 12 * kHour, 12 * kHour + 5, s, ahead},
                 {s + 6 * kDay + kHour, kDay + kHour, s, ahead},
                 {s + 6 * kDay + 12 * kHour + 6, kDay + 12 * kHour + 5, s, none}};
}

// Retention goes by the clock only while it agrees with what is stored and
// with the steady clock, or once it has run in step for a day.
void tst_RetentionClock::judgesTheClock()
{
    QFETCH(Looks, looks);

    RetentionClock clock;
    for (int i = 0; i < looks.size(); ++i) {
        const Look &look = looks.at(i);
        const std::optional<qint64> newest = look.newest == kNone ? std::nullopt : std::optional<qint64>(look.newest);
        QVERIFY2(clock.check(look.utc, look.steady * 1000, newest) == look.doubt,
                 qPrintable(QStringLiteral("look %1").arg(i)));
    }
}

QTEST_GUILESS_MAIN(tst_RetentionClock)
#include "tst_retentionclock.moc"
