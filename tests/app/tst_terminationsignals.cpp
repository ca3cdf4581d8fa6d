#include "app/terminationsignals.h"

#include <QtTest>

#include <csignal>

class tst_TerminationSignals : public QObject
{
    Q_OBJECT

private slots:
    void reportsSignalOnce_data();
    void reportsSignalOnce();
};

namespace {

void (*handlerOf(int number))(int)
{
    struct sigaction action = {};
    ::sigaction(number, nullptr, &action);
    return action.sa_handler;
}

} // namespace

void tst_TerminationSignals::reportsSignalOnce_data()
{
    QTest::addColumn<int>("number");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGINT") << SIGINT;
}

void tst_TerminationSignals::reportsSignalOnce()
{
    QFETCH(int, number);
    const auto before = handlerOf(number);
    {
        TerminationSignals watcher;
        QSignalSpy received(&watcher, &TerminationSignals::received);
        QCOMPARE(::raise(number), 0);
        QVERIFY(received.wait());
        QCOMPARE(received.count(), 1);
        QCOMPARE(received.first().first().toInt(), number);
        // A second signal ends a program that hangs while quitting.
        QVERIFY(handlerOf(number) == SIG_DFL);
    }
    QVERIFY(handlerOf(number) == before);
}

QTEST_GUILESS_MAIN(tst_TerminationSignals)
#include "tst_terminationsignals.moc"
