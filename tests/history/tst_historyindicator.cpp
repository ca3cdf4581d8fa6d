#include "common/testclock.h"
#include "history/historyindicator.h"
#include "history/historyrecorder.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr qint64 kNow = 1800000000;

} // namespace

class tst_HistoryIndicator : public QObject
{
    Q_OBJECT

private slots:
    void staysWhileHistoryNeedsAnEye_data();
    void staysWhileHistoryNeedsAnEye();
};

void tst_HistoryIndicator::staysWhileHistoryNeedsAnEye_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("why");

    QTest::newRow("a folder where the file should be")
        << QStringLiteral("folder") << QStringLiteral("История не записывается")
        << QStringLiteral("История не записывается: не удалось открыть history.sqlite\n");
    QTest::newRow("the file deleted while open")
        << QStringLiteral("deleted") << QStringLiteral("Файл истории открыт заново")
        << QStringLiteral("Файл истории history.sqlite удалён: история записывается в новый файл (");
    QTest::newRow("the clock a month ahead")
        << QStringLiteral("clock") << QStringLiteral("Очистка истории отложена")
        << QStringLiteral("Часы компьютера ушли вперёд: очистка истории отложена\n");
}

// The mark stays, with the reason in its tooltip, for as long as the fault
// lasts (a file opened again: for the session), and goes once the file is
// written again.
void tst_HistoryIndicator::staysWhileHistoryNeedsAnEye()
{
    QFETCH(QString, fault);
    QFETCH(QString, text);
    QFETCH(QString, why);

    QTemporaryDir dir;
    const QString fileName = HistoryRecorder::fileNameIn(dir.path());
    HistoryOptions options;
    options.clock = std::make_shared<TestClock>(kNow);
    options.firstRetryMs = 20;
    if (fault == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(fileName));
    } else if (fault == QLatin1String("clock")) {
        HistoryRecorder earlier(fileName, 30, options);
        QSignalSpy written(&earlier, &HistoryRecorder::written);
        earlier.record(QStringLiteral("plant/1"), Reading(), kNow);
        earlier.flush();
        QVERIFY(written.wait());
        options.clock = std::make_shared<TestClock>(kNow + 31 * 24 * 3600);
    }

    HistoryIndicator indicator;
    indicator.show();
    HistoryRecorder recorder(fileName, 30, options);
    indicator.watch(&recorder);
    if (fault == QLatin1String("deleted")) {
        QSignalSpy written(&recorder, &HistoryRecorder::written);
        recorder.record(QStringLiteral("plant/1"), Reading(), kNow);
        recorder.flush();
        QVERIFY(written.wait());
        QVERIFY(QFile::remove(fileName));
        recorder.record(QStringLiteral("plant/1"), Reading(), kNow + 1);
        recorder.flush();
    }
    QTRY_VERIFY(indicator.isVisible());
    QCOMPARE(indicator.text(), text);
    QVERIFY2(indicator.toolTip().startsWith(why), qPrintable(indicator.toolTip()));

    if (fault == QLatin1String("folder")) {
        QVERIFY(QDir(fileName).removeRecursively());
        QTRY_VERIFY(!indicator.isVisible());
    }
}

QTEST_MAIN(tst_HistoryIndicator)
#include "tst_historyindicator.moc"
