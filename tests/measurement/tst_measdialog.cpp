#include "common/widgets.h"
#include "measurement/measdialog.h"

#include <QAccessible>
#include <QLabel>
#include <QTabWidget>
#include <QTimer>
#include <QtTest>

namespace {

// The value labels in the order of the panel's rows.
const char *const valueLabels[] = {"label_dev_type",  "label_dev_mode", "label_num_starts", "label_t_last",
                                   "label_t_current", "label_t_common", "label_voltage",    "label_freq"};

const QString offline = QStringLiteral("не в сети");

const QString fullPayload =
    QStringLiteral("{\"dev_type\":20,\"dev_mode\":1,\"num_starts\":1234,\"t_common\":2147483647,"
                   "\"t_current\":3725,\"t_last\":-3661,\"voltage\":231,\"freq\":50}");

QString text(const MeasDialog &panel, const char *name)
{
    return labelText(&panel, QLatin1String(name));
}

// The value texts keyed by label name, so a failure names the row.
QMap<QString, QString> values(const MeasDialog &panel)
{
    QMap<QString, QString> result;
    for (const char *name : valueLabels)
        result.insert(QLatin1String(name), text(panel, name));
    return result;
}

QMap<QString, QString> values(const QString &type, const QString &mode, const QString &starts, const QString &last,
                              const QString &current, const QString &common, const QString &voltage,
                              const QString &freq)
{
    return {{QStringLiteral("label_dev_type"), type},     {QStringLiteral("label_dev_mode"), mode},
            {QStringLiteral("label_num_starts"), starts}, {QStringLiteral("label_t_last"), last},
            {QStringLiteral("label_t_current"), current}, {QStringLiteral("label_t_common"), common},
            {QStringLiteral("label_voltage"), voltage},   {QStringLiteral("label_freq"), freq}};
}

QTimer *offlineTimer(const MeasDialog &panel)
{
    return panel.findChild<QTimer *>(QStringLiteral("offlineTimer"));
}

} // namespace

using Values = QMap<QString, QString>;

class tst_MeasDialog : public QObject
{
    Q_OBJECT

private slots:

    void newPanelShowsCaptionsAndOffline();
    void newPanelUsesTenSecondInterval();
    void readingShowsValues_data();
    void readingShowsValues();
    void changingReadingsEachShow();
    void offlineAfterTimeoutKeepsValues();
    void readingsInsideIntervalKeepOnline_data();
    void readingsInsideIntervalKeepOnline();
    void badPayloadChangesNothing_data();
    void badPayloadChangesNothing();
    void readingInOfflineBringsModeBack_data();
    void readingInOfflineBringsModeBack();
    void contentKeepsGeometryWhenResized();
    void assistiveTechnologyReadsShownValues_data();
    void assistiveTechnologyReadsShownValues();
};

void tst_MeasDialog::newPanelShowsCaptionsAndOffline()
{
    MeasDialog panel;
    QCOMPARE(panel.windowTitle(), QStringLiteral("Dialog"));
    QCOMPARE(text(panel, "label_txt_dev_type"), QStringLiteral("Тип устройства:"));
    QCOMPARE(text(panel, "label_txt_dev_mode"), QStringLiteral("Режим работы:"));
    QCOMPARE(text(panel, "label_txt_num_starts"), QStringLiteral("Количество пусков:"));
    QCOMPARE(text(panel, "label_txt_t_last"), QStringLiteral("Наработка посл. пуска:"));
    QCOMPARE(text(panel, "label_txt_t_common_2"), QStringLiteral("Текущая наработка:"));
    QCOMPARE(text(panel, "label_txt_t_common"), QStringLiteral("Общая наработки:"));
    QCOMPARE(text(panel, "label_txt_voltage"), QStringLiteral("Напряжение:"));
    QCOMPARE(text(panel, "label_txt_freq"), QStringLiteral("Частота:"));

    QCOMPARE(values(panel), values({}, offline, {}, {}, {}, {}, {}, {}));
    // Never heard has no deadline.
    QVERIFY(offlineTimer(panel));
    QVERIFY(!offlineTimer(panel)->isActive());
}

void tst_MeasDialog::newPanelUsesTenSecondInterval()
{
    MeasDialog panel;
    panel.ShowPayload(QStringLiteral("{}"));
    QVERIFY(offlineTimer(panel)->isActive());
    QCOMPARE(offlineTimer(panel)->interval(), 10000);
    QVERIFY(offlineTimer(panel)->remainingTime() > 9000);
}

void tst_MeasDialog::readingShowsValues_data()
{
    QTest::addColumn<QString>("payload");
    QTest::addColumn<Values>("expected");

    QTest::newRow("full reading with extreme durations")
        << fullPayload
        << values(QStringLiteral("Zelmar-C"), QStringLiteral("индикация"), QStringLiteral("1234"),
                  QStringLiteral("-01:01:01"), QStringLiteral("01:02:05"), QStringLiteral("596523:14:07"),
                  QStringLiteral("231"), QStringLiteral("50"));
    QTest::newRow("empty object") << QStringLiteral("{}")
                                  << values(QStringLiteral("unknown"), QStringLiteral("счёт"), QStringLiteral("0"),
                                            QStringLiteral("00:00:00"), QStringLiteral("00:00:00"),
                                            QStringLiteral("00:00:00"), QStringLiteral("0"), QStringLiteral("0"));
    QTest::newRow("top-level array") << QStringLiteral("[{\"dev_type\":1}]")
                                     << values(QStringLiteral("unknown"), QStringLiteral("счёт"), QStringLiteral("0"),
                                               QStringLiteral("00:00:00"), QStringLiteral("00:00:00"),
                                               QStringLiteral("00:00:00"), QStringLiteral("0"), QStringLiteral("0"));
    QTest::newRow("unknown codes and negative counts")
        << QStringLiteral("{\"dev_type\":2,\"dev_mode\":-1,\"num_starts\":-5,\"t_common\":-2147483648,"
                          "\"t_current\":-59,\"t_last\":360000,\"voltage\":-2147483648,\"freq\":2147483647}")
        << values(QStringLiteral("unknown"), QStringLiteral("unknown"), QStringLiteral("-5"),
                  QStringLiteral("100:00:00"), QStringLiteral("-00:00:59"), QStringLiteral("-596523:14:08"),
                  QStringLiteral("-2147483648"), QStringLiteral("2147483647"));
}

void tst_MeasDialog::readingShowsValues()
{
    QFETCH(QString, payload);
    QFETCH(Values, expected);

    MeasDialog panel;
    panel.ShowPayload(payload);
    QCOMPARE(values(panel), expected);
    QVERIFY(offlineTimer(panel)->isActive());
}

void tst_MeasDialog::changingReadingsEachShow()
{
    MeasDialog panel;
    const QString first = QStringLiteral("{\"dev_type\":1,\"num_starts\":1,\"voltage\":220,\"freq\":50}");
    const Values firstValues =
        values(QStringLiteral("Zelmar-A"), QStringLiteral("счёт"), QStringLiteral("1"), QStringLiteral("00:00:00"),
               QStringLiteral("00:00:00"), QStringLiteral("00:00:00"), QStringLiteral("220"), QStringLiteral("50"));

    panel.ShowPayload(first);
    QCOMPARE(values(panel), firstValues);
    // Only the last member differs: the panel must not take it for the reading it already shows.
    panel.ShowPayload(QStringLiteral("{\"dev_type\":1,\"num_starts\":1,\"voltage\":220,\"freq\":60}"));
    QCOMPARE(text(panel, "label_freq"), QStringLiteral("60"));
    panel.ShowPayload(fullPayload);
    QCOMPARE(text(panel, "label_dev_type"), QStringLiteral("Zelmar-C"));
    panel.ShowPayload(first);
    QCOMPARE(values(panel), firstValues);
}

void tst_MeasDialog::offlineAfterTimeoutKeepsValues()
{
    MeasDialog panel;
    panel.setOfflineInterval(50);
    panel.ShowPayload(fullPayload);
    Values expected = values(panel);
    QCOMPARE(expected.value(QStringLiteral("label_dev_mode")), QStringLiteral("индикация"));

    QTRY_COMPARE(text(panel, "label_dev_mode"), offline);
    expected.insert(QStringLiteral("label_dev_mode"), offline);
    QCOMPARE(values(panel), expected);
    // The mark is set once: the timer does not keep firing.
    QVERIFY(!offlineTimer(panel)->isActive());
}

void tst_MeasDialog::readingsInsideIntervalKeepOnline_data()
{
    QTest::addColumn<QStringList>("payloads");

    QTest::newRow("same reading repeated") << QStringList{fullPayload, fullPayload, fullPayload};
    QTest::newRow("changing readings") << QStringList{fullPayload, QStringLiteral("{\"dev_mode\":1}"), fullPayload};
}

void tst_MeasDialog::readingsInsideIntervalKeepOnline()
{
    QFETCH(QStringList, payloads);

    const int interval = 400;
    MeasDialog panel;
    panel.setOfflineInterval(interval);
    QSignalSpy alarms(offlineTimer(panel), &QTimer::timeout);

    // Each reading comes when half the interval has gone; together they outlast the interval.
    for (const QString &payload : payloads) {
        panel.ShowPayload(payload);
        QVERIFY(offlineTimer(panel)->remainingTime() > interval / 2);
        QTRY_VERIFY_WITH_TIMEOUT(offlineTimer(panel)->remainingTime() < interval / 2, interval);
        QCOMPARE(text(panel, "label_dev_mode"), QStringLiteral("индикация"));
    }
    QCOMPARE(alarms.count(), 0);
}

void tst_MeasDialog::badPayloadChangesNothing_data()
{
    QTest::addColumn<QString>("payload");

    QTest::newRow("empty text") << QString();
    QTest::newRow("not JSON") << QStringLiteral("offline");
    QTest::newRow("bare number") << QStringLiteral("5");
    QTest::newRow("object followed by stray text") << QStringLiteral("{\"dev_type\":1}}");
}

void tst_MeasDialog::badPayloadChangesNothing()
{
    QFETCH(QString, payload);

    const int interval = 300;
    MeasDialog panel;
    panel.setOfflineInterval(interval);

    const Values neverHeard = values(panel);
    panel.ShowPayload(payload);
    QCOMPARE(values(panel), neverHeard);
    QVERIFY(!offlineTimer(panel)->isActive());

    panel.ShowPayload(fullPayload);
    const Values online = values(panel);
    QTRY_VERIFY_WITH_TIMEOUT(offlineTimer(panel)->remainingTime() < interval * 3 / 4, interval);
    panel.ShowPayload(payload);
    QCOMPARE(values(panel), online);
    QVERIFY(offlineTimer(panel)->isActive());
    QVERIFY2(offlineTimer(panel)->remainingTime() < interval * 3 / 4, "the deadline was postponed");
    QTRY_COMPARE_WITH_TIMEOUT(text(panel, "label_dev_mode"), offline, interval);
}

void tst_MeasDialog::readingInOfflineBringsModeBack_data()
{
    QTest::addColumn<QString>("payload");
    QTest::addColumn<Values>("expected");

    QTest::newRow("same reading again") << fullPayload
                                        << values(QStringLiteral("Zelmar-C"), QStringLiteral("индикация"),
                                                  QStringLiteral("1234"), QStringLiteral("-01:01:01"),
                                                  QStringLiteral("01:02:05"), QStringLiteral("596523:14:07"),
                                                  QStringLiteral("231"), QStringLiteral("50"));
    QTest::newRow("another reading") << QStringLiteral(
                                            "{\"dev_type\":1,\"num_starts\":1235,\"voltage\":229,\"freq\":50}")
                                     << values(QStringLiteral("Zelmar-A"), QStringLiteral("счёт"),
                                               QStringLiteral("1235"), QStringLiteral("00:00:00"),
                                               QStringLiteral("00:00:00"), QStringLiteral("00:00:00"),
                                               QStringLiteral("229"), QStringLiteral("50"));
}

void tst_MeasDialog::readingInOfflineBringsModeBack()
{
    QFETCH(QString, payload);
    QFETCH(Values, expected);

    MeasDialog panel;
    panel.setOfflineInterval(50);
    panel.ShowPayload(fullPayload);
    QTRY_COMPARE(text(panel, "label_dev_mode"), offline);

    panel.ShowPayload(payload);
    QCOMPARE(values(panel), expected);
    QVERIFY(offlineTimer(panel)->isActive());
    // And the restarted timer marks it offline again.
    QTRY_COMPARE(text(panel, "label_dev_mode"), offline);
}

void tst_MeasDialog::contentKeepsGeometryWhenResized()
{
    QTabWidget tabs;
    auto *panel = new MeasDialog;
    tabs.addTab(panel, QStringLiteral("Насос"));
    tabs.resize(900, 700);
    tabs.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tabs));

    auto *content = panel->findChild<QWidget *>(QStringLiteral("verticalLayoutWidget"));
    QVERIFY(content);
    const QRect fixed(10, 10, 331, 221);
    QCOMPARE(content->geometry(), fixed);
    QCOMPARE(panel->size(), QSize(640, 480));

    tabs.resize(300, 200);
    QTRY_COMPARE(panel->size(), QSize(320, 240));
    QCOMPARE(content->geometry(), fixed);

    panel->resize(500, 400);
    QCOMPARE(content->geometry(), fixed);
}

void tst_MeasDialog::assistiveTechnologyReadsShownValues_data()
{
    QTest::addColumn<bool>("onScreen");

    QTest::newRow("panel on screen") << true;
    QTest::newRow("hidden panel, then shown") << false;
}

void tst_MeasDialog::assistiveTechnologyReadsShownValues()
{
    QFETCH(bool, onScreen);
    QTabWidget tabs;
    tabs.addTab(new MeasDialog, QStringLiteral("Насос"));
    auto *panel = new MeasDialog;
    tabs.addTab(panel, QStringLiteral("Пресс"));
    tabs.setCurrentIndex(onScreen ? 1 : 0);
    tabs.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tabs));

    panel->ShowPayload(fullPayload);
    panel->ShowPayload(QStringLiteral("{\"dev_type\":1,\"dev_mode\":0,\"num_starts\":7,\"t_common\":61,"
                                      "\"t_current\":2,\"t_last\":3,\"voltage\":229,\"freq\":49}"));
    tabs.setCurrentIndex(1);
    for (const char *name : valueLabels) {
        auto *label = panel->findChild<QLabel *>(QLatin1String(name));
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(label);
        QVERIFY2(accessible, name);
        QCOMPARE(accessible->text(QAccessible::Name), label->text());
    }
}

QTEST_MAIN(tst_MeasDialog)
#include "tst_measdialog.moc"
