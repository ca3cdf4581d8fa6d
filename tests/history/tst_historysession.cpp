#include "common/historywindows.h"
#include "common/widgets.h"
#include "common/windowtest.h"
#include "config/advancedsettingsdialog.h"
#include "history/historywindow.h"
#include "mainwindow/mainwindow.h"

#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QPointer>
#include <QtTest>

namespace {

const QString kTopic = QStringLiteral("plant/boiler");

QByteArray reading(int voltage)
{
    return R"({"dev_type":10,"dev_mode":0,"num_starts":7,"t_common":3661,"t_current":61,"t_last":1,"voltage":)" +
           QByteArray::number(voltage) + R"(,"freq":50})";
}

} // namespace

// The history in the program: the window records what the broker brings,
// into history.sqlite only with [History] Enabled, and "История…" on a tab
// or on a summary row shows it, also after the window was made anew.
class tst_HistorySession : public WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();

    void readingsOutliveTheWindow_data();
    void readingsOutliveTheWindow();
    void damagedFileIsReported();
    void dialogTurnsRecordingOn();
};

void tst_HistorySession::initTestCase()
{
    QVERIFY(m_broker.start());
}

void tst_HistorySession::readingsOutliveTheWindow_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("fromSummary");
    QTest::addColumn<double>("drawnAfterwards");
    QTest::addColumn<QStringList>("files");

    QTest::newRow("recorded, opened from the tab")
        << true << false << 240.0 << QStringList{"history.sqlite", "Settings.conf"};
    // In memory, the readings are gone with the window; no file but Settings.conf is written.
    QTest::newRow("not recorded, opened from the summary") << false << true << -1.0 << QStringList{"Settings.conf"};
}

void tst_HistorySession::readingsOutliveTheWindow()
{
    QFETCH(bool, enabled);
    QFETCH(bool, fromSummary);
    QFETCH(double, drawnAfterwards);
    QFETCH(QStringList, files);

    SettingsText text = settings().device("Котёл", kTopic);
    if (enabled)
        text.value(QStringLiteral("History"), QStringLiteral("Enabled"), QStringLiteral("true"));
    writeSettingsFileText(text.bytes());
    startWindow();
    QSignalSpy subscribed(m_client.get(), &QMQTT::Client::subscribed);
    clickConnect();
    QVERIFY(subscribed.wait());
    for (int voltage : {230, 235, 240})
        QVERIFY(m_broker.publish(kTopic, reading(voltage)));
    QTRY_COMPARE(label(0, QStringLiteral("label_voltage")), QStringLiteral("240"));

    // While the window lives, the chart shows the session either way.
    HistoryWindow *history = openHistory(m_window.get(), 0, fromSummary);
    QVERIFY(history);
    QCOMPARE(history->windowTitle(), QStringLiteral("История — Котёл"));
    QTRY_COMPARE(drawnVoltage(history), 240.0);

    m_window.reset();
    startWindow();
    history = openHistory(m_window.get(), 0, fromSummary);
    QVERIFY(history);
    QSignalSpy shown(history, &HistoryWindow::chartShown);
    QVERIFY(shown.wait());
    QCOMPARE(drawnVoltage(history), drawnAfterwards);

    m_window.reset();
    QStringList left = QDir::current().entryList(QDir::Files);
    left.removeAll(QStringLiteral("history.sqlite-wal"));
    left.removeAll(QStringLiteral("history.sqlite-shm"));
    QCOMPARE(left, files);
}

void tst_HistorySession::damagedFileIsReported()
{
    writeSettingsFileText(SettingsText()
                              .device("Котёл", kTopic)
                              .value(QStringLiteral("History"), QStringLiteral("Enabled"), QStringLiteral("true"))
                              .bytes());
    QFile damaged(QStringLiteral("history.sqlite"));
    QVERIFY(damaged.open(QIODevice::WriteOnly));
    damaged.write(QByteArray(8192, 'x'));
    damaged.close();

    startWindow();
    QTRY_VERIFY(status().startsWith(QStringLiteral(
        "История не записывается: файл history.sqlite повреждён и переименован в history.sqlite.damaged-")));
    QCOMPARE(QDir::current().entryList({QStringLiteral("history.sqlite.damaged-*")}, QDir::Files).size(), 1);
    // The status message gives way to the next; this mark stays while the file is not written.
    auto *indicator = child<QLabel>(m_window.get(), QStringLiteral("labelHistoryState"));
    QVERIFY(indicator->isVisible());
    QVERIFY(indicator->toolTip().startsWith(QStringLiteral("История не записывается: файл history.sqlite повреждён")));
}

// "Вести историю" takes effect when the dialog closes: the file is made at
// once, and the open history windows, which showed the memory, close.
void tst_HistorySession::dialogTurnsRecordingOn()
{
    writeSettingsFileText(SettingsText().device("Котёл", kTopic).bytes());
    startWindow();
    QPointer<HistoryWindow> history = openHistory(m_window.get(), 0);
    QVERIFY(history);

    triggerAction(m_window.get(), QStringLiteral("actionAdvancedSettings"));
    auto *dialog = shown<AdvancedSettingsDialog>(m_window.get());
    QVERIFY(dialog);
    child<QCheckBox>(dialog, QStringLiteral("cbHistoryEnabled"))->click();
    click(dialog, QStringLiteral("pushButtonSave"));
    QTRY_VERIFY(QFile::exists(QStringLiteral("history.sqlite")));
    QVERIFY(history.isNull());
    QVERIFY(openHistory(m_window.get(), 0, true));
}

QTEST_MAIN(tst_HistorySession)
#include "tst_historysession.moc"
