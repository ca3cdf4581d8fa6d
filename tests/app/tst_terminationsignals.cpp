#include "app/terminationsignals.h"

#include <QtTest>

#include <csignal>

class tst_TerminationSignals : public QObject
{
    Q_OBJECT

private slots:
    void reportsSignalOnce_data();
    void reportsSignalOnce();
    void ignoredSignalStaysIgnored_data();
    void ignoredSignalStaysIgnored();
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

void tst_TerminationSignals::ignoredSignalStaysIgnored_data()
{
    reportsSignalOnce_data();
}

// A shell starts a background job with SIGINT ignored: the terminal's Ctrl-C
// is not meant for it.
void tst_TerminationSignals::ignoredSignalStaysIgnored()
{
    QFETCH(int, number);
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction before = {};
    QCOMPARE(::sigaction(number, &ignore, &before), 0);
    {
        const TerminationSignals watcher;
        QVERIFY(handlerOf(number) == SIG_IGN);
    }
    QVERIFY(handlerOf(number) == SIG_IGN);
    ::sigaction(number, &before, nullptr);
}

QTEST_GUILESS_MAIN(tst_TerminationSignals)
#include "tst_terminationsignals.moc"
