#include "common/notificationservice.h"
#include "common/sessionbus.h"
#include "common/widgets.h"
#include "common/windowtest.h"
#include "measurement/meterboard.h"
#include "overview/metertablemodel.h"
#include "overview/summarywindow.h"
#include "watch/desktopnotifier.h"
#include "watch/eventlog.h"
#include "watch/eventlogwindow.h"
#include "watch/maintenancedialog.h"
#include "watch/meterwatch.h"

#include <QComboBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QtTest>

#include <csignal>
#include <memory>

// The window watching its meters, fed by a real broker and the meter simulator: the supply
// out of range, a retained reading, a lost broker, maintenance, notifications on a private
// session bus, the event log and the tray.
class tst_Watchman : public WindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void supplyOutOfRangeShowsEverywhere();
    void retainedReadingIsOldData();
    void lostBrokerIsOneEvent();
    void serviceIsMarkedAndResetIsSaid();
    void silentMetersAreOneNotification();
    void eventLogFiltersJumpsAndExports();
    void trayFollowsTheWorstState();

private:
    // Settings.conf for the broker (port 0: the test's own), `meters` devices "<name> n" on
    // "<prefix>/n", and the extra text.
    void startWindow(const QString &name, int meters, const QByteArray &extra = {}, quint16 port = 0);
    // Connects and waits until every meter is subscribed.
    void connectWindow();
    // The simulator on `prefix` with the extra options, until the test ends or stopSimulator().
    void startSimulator(int meters, const QStringList &options, quint16 port = 0);
    void stopSimulator();

    MeterWatch *watch() const { return child<MeterWatch>(m_window.get(), QStringLiteral("meterWatch")); }
    MeterBoard *board() const { return m_window->findChild<MeterBoard *>(); }
    QTabWidget *tabs() const { return child<QTabWidget>(m_window.get(), QStringLiteral("tabWidget")); }
    QString count() const { return child<QLabel>(m_window.get(), QStringLiteral("labelOnlineCount"))->text(); }
    // The tooltip as the tab bar shows it on hovering over the tab.
    QString toolTip(int tab) const;
    // The events of the log, newest first.
    QStringList events() const;
    SummaryWindow *openSummary();
    EventLogWindow *openEventLog();

    SessionBus m_bus;
    QString m_prefix;
    int m_prefixes = 0;
    std::unique_ptr<QProcess> m_simulator;
};

namespace {

QStringList column(const QTableView *table, int column, int role = Qt::DisplayRole)
{
    QStringList texts;
    for (int row = 0; row < table->model()->rowCount(); ++row)
        texts << table->model()->index(row, column).data(role).toString();
    return texts;
}

QColor centreOf(const QIcon &icon)
{
    return icon.pixmap(16, 16).toImage().pixelColor(8, 8);
}

bool looksGreen(const QIcon &icon)
{
    const QColor c = centreOf(icon);
    return c.green() > c.red() + 64 && c.green() > c.blue() + 64;
}

bool looksAmber(const QIcon &icon)
{
    const QColor c = centreOf(icon);
    return c.red() > 200 && c.green() > 120 && c.green() < 200 && c.blue() < 64;
}

QByteArray reading(int voltage)
{
    return R"({"dev_type":10,"dev_mode":1,"num_starts":7,"t_common":3661,"t_current":0,"t_last":1,"voltage":)" +
           QByteArray::number(voltage) + R"(,"freq":50})";
}

} // namespace

void tst_Watchman::initTestCase()
{
    // A zone east of Greenwich, so that the export's offset is not a bare "Z".
    qputenv("TZ", "MSK-3");
    tzset();
    QVERIFY(m_broker.start());
    // Before anything asks for the session bus: the program's notifications go to this one.
    QVERIFY2(m_bus.start(), "needs dbus-daemon (tools/install-deps.sh installs it)");
    qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus.address().toUtf8());
}

void tst_Watchman::init()
{
    WindowTest::init();
    // Retained readings stay on the broker: every test has topics of its own.
    m_prefix = QStringLiteral("watch%1/meter").arg(++m_prefixes);
}

void tst_Watchman::cleanup()
{
    stopSimulator();
    WindowTest::cleanup();
}

void tst_Watchman::startWindow(const QString &name, int meters, const QByteArray &extra, quint16 port)
{
    SettingsText text = port ? SettingsText().broker(QStringLiteral("127.0.0.1"), port) : settings();
    for (int n = 1; n <= meters; ++n)
        text.device(QStringLiteral("%1 %2").arg(name).arg(n), QStringLiteral("%1/%2").arg(m_prefix).arg(n));
    writeSettingsFileText(text.bytes() + extra);
    WindowTest::startWindow();
}

void tst_Watchman::connectWindow()
{
    QSignalSpy subscribed(m_client.get(), &QMQTT::Client::subscribed);
    clickConnect();
    QTRY_COMPARE_WITH_TIMEOUT(subscribed.count(), tabs()->count(), 10000);
}

void tst_Watchman::startSimulator(int meters, const QStringList &options, quint16 port)
{
    stopSimulator();
    m_simulator = std::make_unique<QProcess>();
    m_simulator->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_simulator->start(QStringLiteral(ZELMAR_METER_SIM),
                       QStringList{QStringLiteral("--port"), QString::number(port ? port : m_broker.port()),
                                   QStringLiteral("--prefix"), m_prefix, QStringLiteral("--meters"),
                                   QString::number(meters), QStringLiteral("--interval-ms"), QStringLiteral("100")} +
                           options);
    QVERIFY(m_simulator->waitForStarted());
}

void tst_Watchman::stopSimulator()
{
    if (!m_simulator)
        return;
    m_simulator->terminate();
    m_simulator->waitForFinished(10000);
    m_simulator.reset();
}

QString tst_Watchman::toolTip(int tab) const
{
    QTabBar *bar = tabs()->tabBar();
    const QPoint at = bar->tabRect(tab).center();
    QHelpEvent hover(QEvent::ToolTip, at, bar->mapToGlobal(at));
    QApplication::sendEvent(bar, &hover);
    return tabs()->tabToolTip(tab);
}

QStringList tst_Watchman::events() const
{
    QStringList texts;
    for (const WatchEvent &event : child<EventLog>(m_window.get(), QStringLiteral("eventLog"))->newest(1000))
        texts << (event.meter.isEmpty() ? QString() : event.meter + QStringLiteral(": ")) + eventText(event);
    return texts;
}

SummaryWindow *tst_Watchman::openSummary()
{
    triggerAction(m_window.get(), QStringLiteral("actionSummary"));
    auto *summary = m_window->findChild<SummaryWindow *>();
    if (summary)
        summary->resize(2400, 600);
    return summary;
}

EventLogWindow *tst_Watchman::openEventLog()
{
    triggerAction(m_window.get(), QStringLiteral("actionEventLog"));
    return m_window->findChild<EventLogWindow *>();
}

// A sagging supply makes its meter amber in the tab, counted in the status bar, tinted and
// sorted first in the summary, and a line in the event log; back in range, all of it goes.
void tst_Watchman::supplyOutOfRangeShowsEverywhere()
{
    startWindow(QStringLiteral("Насос"), 2, "[Alarms]\nVoltageMin=198\nVoltageMax=242\n");
    watch()->setHoldTime(300);
    connectWindow();
    startSimulator(
        2, {QStringLiteral("--voltage"), QStringLiteral("187"), QStringLiteral("--faulty"), QStringLiteral("2")});

    QTRY_COMPARE_WITH_TIMEOUT(count(), QStringLiteral("В сети: 2 из 2 · тревог 1"), 10000);
    QVERIFY(looksAmber(tabs()->tabIcon(1)));
    QVERIFY(looksGreen(tabs()->tabIcon(0)));
    QVERIFY2(toolTip(1).startsWith(QStringLiteral("вне пределов · данные ")), qPrintable(toolTip(1)));
    QCOMPARE(events(), QStringList{"Насос 2: напряжение 187 В ниже предела 198 В"});

    SummaryWindow *summary = openSummary();
    QVERIFY(summary);
    auto *table = child<QTableView>(summary, QStringLiteral("tableSummary"));
    QCOMPARE(column(table, MeterTableModel::State), (QStringList{"в сети", "вне пределов"}));
    QVERIFY(!table->model()->index(0, MeterTableModel::Name).data(Qt::BackgroundRole).isValid());
    QVERIFY(table->model()->index(1, MeterTableModel::Name).data(Qt::BackgroundRole).isValid());
    QVERIFY(!table->model()->index(1, MeterTableModel::Name).data(Qt::ForegroundRole).isValid());
    QHeaderView *header = table->horizontalHeader();
    QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                      QPoint(header->sectionViewportPosition(MeterTableModel::State) +
                                 header->sectionSize(MeterTableModel::State) / 2,
                             5));
    QCOMPARE(column(table, MeterTableModel::Name), (QStringList{"Насос 2", "Насос 1"}));

    // The sag moves to the other meter: one alarm clears, one is raised, and the open table
    // keeps its sort, by severity.
    startSimulator(
        2, {QStringLiteral("--voltage"), QStringLiteral("187"), QStringLiteral("--faulty"), QStringLiteral("1")});
    const auto sorted = [this] {
        QStringList raised = events();
        raised.sort();
        return raised;
    };
    QTRY_COMPARE_WITH_TIMEOUT(
        sorted(),
        (QStringList{"Насос 1: напряжение 187 В ниже предела 198 В", "Насос 2: напряжение 187 В ниже предела 198 В",
                     "Насос 2: напряжение в норме"}),
        10000);
    QTRY_COMPARE(column(table, MeterTableModel::Name), (QStringList{"Насос 1", "Насос 2"}));
    QCOMPARE(column(table, MeterTableModel::State), (QStringList{"вне пределов", "в сети"}));
    QCOMPARE(header->sortIndicatorSection(), int(MeterTableModel::State));
    QCOMPARE(count(), QStringLiteral("В сети: 2 из 2 · тревог 1"));
}

// What the broker retained is shown, but as old data: the meter is not online for it, and the
// first live reading brings it online as before.
void tst_Watchman::retainedReadingIsOldData()
{
    const QString topic = m_prefix + QStringLiteral("/1");
    QVERIFY(m_broker.publish(topic, reading(231), true));
    startWindow(QStringLiteral("Склад"), 1);
    connectWindow();

    const QWidget *panel = tabPage(m_window.get(), 0);
    QTRY_COMPARE(labelText(panel, QStringLiteral("label_voltage")), QStringLiteral("231"));
    QCOMPARE(labelText(panel, QStringLiteral("label_dev_mode")), QStringLiteral("не в сети"));
    QCOMPARE(count(), QStringLiteral("В сети: 0 из 1"));
    QVERIFY(!looksGreen(tabs()->tabIcon(0)));
    QCOMPARE(toolTip(0), QStringLiteral("нет данных · время последних данных неизвестно"));
    QCOMPARE(column(child<QTableView>(openSummary(), QStringLiteral("tableSummary")), MeterTableModel::Received),
             QStringList{"неизвестно"});

    QVERIFY(m_broker.publish(topic, reading(229)));
    QTRY_COMPARE(count(), QStringLiteral("В сети: 1 из 1"));
    QCOMPARE(labelText(panel, QStringLiteral("label_dev_mode")), QStringLiteral("индикация"));
    QVERIFY(toolTip(0).startsWith(QStringLiteral("в сети · данные ")));
    QVERIFY(events().isEmpty());
}

// A hundred meters fall silent with the broker: one event, not a hundred and one.
void tst_Watchman::lostBrokerIsOneEvent()
{
    TestBroker broker;
    QVERIFY(broker.start());
    // Recorded, so that the log is there for the next run.
    startWindow(QStringLiteral("Счётчик"), 100, "[MQTT]\nAutoReconnect=true\n[History]\nEnabled=true\n", broker.port());
    // The silence of a meter counts one interval after the connection; shorter here.
    board()->setOfflineInterval(3000);
    connectWindow();
    QElapsedTimer connected;
    connected.start();
    startSimulator(100, {}, broker.port());
    QTRY_COMPARE_WITH_TIMEOUT(count(), QStringLiteral("В сети: 100 из 100"), 15000);
    // Silence counts by now: a meter falling silent on its own would be an event.
    QTRY_VERIFY_WITH_TIMEOUT(connected.elapsed() > 3500, 5000);

    broker.kill();
    QTRY_COMPARE_WITH_TIMEOUT(count(), QStringLiteral("В сети: 0 из 100"), 10000);
    QCOMPARE(events(), QStringList{"нет связи с брокером"});
    QCOMPARE(watch()->count(MeterCondition::NoData), 100);

    // The session and the simulator both come back by themselves.
    QVERIFY(broker.restart());
    QTRY_COMPARE_WITH_TIMEOUT(count(), QStringLiteral("В сети: 100 из 100"), 20000);
    QCOMPARE(events(), (QStringList{"связь с брокером восстановлена", "нет связи с брокером"}));

    clickConnect();
    QTRY_VERIFY(!m_client->isConnectedToHost());
    m_window.reset();
    WindowTest::startWindow();
    QTRY_COMPARE(events(), (QStringList{"связь с брокером восстановлена", "нет связи с брокером"}));
}

// A plan by operating hours comes due as the total grows; a mark starts it over; a meter whose
// total went below the mark says so instead of a negative figure.
void tst_Watchman::serviceIsMarkedAndResetIsSaid()
{
    startWindow(QStringLiteral("Станок"), 1,
                "[Maintenance]\nPLAN\\1\\topic=" + m_prefix.toUtf8() +
                    "/1\nPLAN\\1\\IntervalHours=1\nPLAN\\1\\MarkDate=2026-01-01\nPLAN\\1\\MarkSeconds=0\n"
                    "PLAN\\1\\MarkStarts=0\nPLAN\\size=1\n");
    connectWindow();
    // Two simulated seconds a reading, from ten seconds before the hour is due.
    startSimulator(
        1, {QStringLiteral("--total"), QStringLiteral("3590"), QStringLiteral("--speed"), QStringLiteral("20")});
    QTRY_COMPARE_WITH_TIMEOUT(watch()->condition(0), MeterCondition::ServiceOverdue, 10000);
    QCOMPARE(events(), QStringList{"Станок 1: обслуживание просрочено"});
    QVERIFY2(toolTip(0).startsWith(QStringLiteral("обслуживание просрочено · данные ")), qPrintable(toolTip(0)));
    auto *table = child<QTableView>(openSummary(), QStringLiteral("tableSummary"));
    QVERIFY(column(table, MeterTableModel::Service).value(0).startsWith(QStringLiteral("просрочено на ")));

    QVERIFY(triggerTabMenuAction(m_window.get(), 0, QStringLiteral("actionMaintenance")));
    auto *dialog = shown<MaintenanceDialog>(m_window.get());
    QVERIFY(dialog);
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Обслуживание — Станок 1"));
    QVERIFY(labelText(dialog, QStringLiteral("labelStatus")).startsWith(QStringLiteral("Обслуживание просрочено на ")));
    click(dialog, QStringLiteral("pushButtonMark"));
    QCOMPARE(events().value(0), QStringLiteral("Станок 1: обслуживание отмечено"));
    QCOMPARE(watch()->condition(0), MeterCondition::Online);
    QVERIFY(labelText(dialog, QStringLiteral("labelStatus")).startsWith(QStringLiteral("До обслуживания: ")));
    QCOMPARE(SettingsFile().readMaintenancePlan(m_prefix + QStringLiteral("/1")).markDate, QDate::currentDate());
    click(dialog, QStringLiteral("pushButtonCancel"));
    QTRY_COMPARE(column(table, MeterTableModel::Service).value(0).left(6), QStringLiteral("через "));

    // Replaced by a new meter that starts from nothing.
    startSimulator(1, {QStringLiteral("--total"), QStringLiteral("100")});
    QTRY_COMPARE_WITH_TIMEOUT(column(table, MeterTableModel::Service), QStringList{"счётчик заменён или сброшен"},
                              10000);
    QVERIFY(triggerTabMenuAction(m_window.get(), 0, QStringLiteral("actionMaintenance")));
    dialog = shown<MaintenanceDialog>(m_window.get());
    QVERIFY(labelText(dialog, QStringLiteral("labelStatus")).contains(QStringLiteral("заменён или сброшен")));
    QCOMPARE(watch()->condition(0), MeterCondition::Online);
}

// Five meters falling silent at once reach the desktop as one notification.
void tst_Watchman::silentMetersAreOneNotification()
{
    NotificationService service(m_bus.address());
    QVERIFY(service.registerOnBus());
    startWindow(QStringLiteral("Насос"), 5, "[Notify]\nDesktop=true\n");
    child<DesktopNotifier>(m_window.get(), QStringLiteral("desktopNotifier"))->setTimings(500, 60000);
    board()->setOfflineInterval(500);
    connectWindow();
    QElapsedTimer connected;
    connected.start();
    startSimulator(5, {});
    QTRY_COMPARE_WITH_TIMEOUT(count(), QStringLiteral("В сети: 5 из 5"), 10000);
    QTRY_VERIFY(connected.elapsed() > 1000);

    stopSimulator();
    QTRY_COMPARE_WITH_TIMEOUT(service.summaries(), QStringList{"5 счётчиков не в сети: Насос 1, Насос 2, …"}, 5000);
    QCOMPARE(events().size(), 5);
    QVERIFY(!status().contains(QStringLiteral("Уведомления")));
}

// Newest first, filtered by meter and by kind, a double click brings the meter's tab
// forward, and the export writes the rows as shown.
void tst_Watchman::eventLogFiltersJumpsAndExports()
{
    startWindow(QStringLiteral("Котёл"), 3);
    auto *log = child<EventLog>(m_window.get(), QStringLiteral("eventLog"));
    const QDateTime start(QDate(2026, 3, 1), QTime(10, 0, 0));
    const auto add = [&](int seconds, EventKind kind, int meter, int value = 0, int limit = 0) {
        const QString topic = meter ? QStringLiteral("%1/%2").arg(m_prefix).arg(meter) : QString();
        const QString name = meter ? QStringLiteral("Котёл %1").arg(meter) : QString();
        log->add({start.addSecs(seconds).toMSecsSinceEpoch(), kind, topic, name, value, limit});
    };
    add(0, EventKind::Silent, 1);
    add(5, EventKind::VoltageLow, 2, 187, 198);
    add(10, EventKind::BrokerLost, 0);
    EventLogWindow *window = openEventLog();
    QVERIFY(window);
    add(15, EventKind::BackOnline, 1);
    auto *table = child<QTableView>(window, QStringLiteral("tableEvents"));
    QTRY_COMPARE(column(table, 2), (QStringList{"снова в сети", "нет связи с брокером",
                                                "напряжение 187 В ниже предела 198 В", "не в сети"}));
    QCOMPARE(column(table, 1), (QStringList{"Котёл 1", "брокер MQTT", "Котёл 2", "Котёл 1"}));

    auto *meter = child<QComboBox>(window, QStringLiteral("comboMeter"));
    auto *kind = child<QComboBox>(window, QStringLiteral("comboKind"));
    kind->setCurrentIndex(kind->findText(QStringLiteral("Напряжение")));
    QCOMPARE(column(table, 1), QStringList{"Котёл 2"});
    kind->setCurrentIndex(0);
    meter->setCurrentIndex(meter->findText(QStringLiteral("Котёл 1")));
    QCOMPARE(column(table, 2), (QStringList{"снова в сети", "не в сети"}));

    const QString fileName = QDir(m_dir->path()).filePath(QStringLiteral("журнал.csv"));
    answerFileDialog(fileName);
    click(window, QStringLiteral("pushButtonExport"));
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("\xEF\xBB\xBF"
                                        "Время (UTC+03:00);Счётчик;Событие\r\n"
                                        "2026-03-01 10:00:15;Котёл 1;снова в сети\r\n"
                                        "2026-03-01 10:00:00;Котёл 1;не в сети\r\n"));

    meter->setCurrentIndex(meter->findText(QStringLiteral("Котёл 2")));
    const QPoint row = table->visualRect(table->model()->index(0, 0)).center();
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, row);
    QTest::mouseDClick(table->viewport(), Qt::LeftButton, {}, row);
    QCOMPARE(tabs()->currentIndex(), 1);
}

// The tray icon takes the worst state's colour and the status bar's count, and a click brings
// the window forward.
void tst_Watchman::trayFollowsTheWorstState()
{
    startWindow(QStringLiteral("Насос"), 2, "[Alarms]\nVoltageMin=198\n[Notify]\nTray=true\n");
    qint64 nowMs = 0;
    watch()->setClock([&nowMs] { return nowMs; });
    auto *tray = child<QSystemTrayIcon>(m_window.get(), QStringLiteral("trayIcon"));
    QTRY_COMPARE(tray->toolTip(), QStringLiteral("В сети: 0 из 2"));

    emit m_client->received(QMQTT::Message(m_prefix + QStringLiteral("/1"), reading(230)));
    QTRY_COMPARE(tray->toolTip(), QStringLiteral("В сети: 1 из 2"));
    QVERIFY(looksGreen(tray->icon()));
    for (; nowMs <= 6000; nowMs += 3000)
        emit m_client->received(QMQTT::Message(m_prefix + QStringLiteral("/2"), reading(187)));
    QTRY_COMPARE(tray->toolTip(), QStringLiteral("В сети: 2 из 2 · тревог 1"));
    QVERIFY(looksAmber(tray->icon()));

    m_window->showMinimized();
    emit tray->activated(QSystemTrayIcon::Trigger);
    QVERIFY(!m_window->isMinimized());
}

QTEST_MAIN(tst_Watchman)
#include "tst_watchman.moc"
