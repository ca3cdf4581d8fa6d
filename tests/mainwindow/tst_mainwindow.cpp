#include "common/scratchdirectorytest.h"
#include "common/settingstext.h"
#include "common/widgets.h"
#include "config/advancedsettingsdialog.h"
#include "config/settingsfile.h"
#include "mainwindow/mainwindow.h"
#include "measurement/meterboard.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QtTest>

#include <functional>

// Calls one of the window's slots by name, as code outside it would.
using Invoke = std::function<bool(QObject *)>;
Q_DECLARE_METATYPE(Invoke)

// The window's form, menus, About box and quit path, without a broker.
class tst_MainWindow : public ScratchDirectoryTest
{
    Q_OBJECT

private slots:

    void startsIdleWithoutConfiguration();
    void menusInOrder();
    void advancedSettingsOpenModal();
    void slotListIsComplete();
    void inertSlotsChangeNothing_data();
    void inertSlotsChangeNothing();
    void aboutBoxHasOnlyOk();
    void quitEndsEventLoop_data();
    void quitEndsEventLoop();
    void rebuildLeavesTabsShown();
    void tabsAndCountFollowEachMeter();
    void badPortIsReportedWithoutAttempt_data();
    void badPortIsReportedWithoutAttempt();
    void longStatusKeepsItsEnd();
    void unreadableFileIsNamed_data();
    void unreadableFileIsNamed();
    void noteOnIgnoredValuesGoesOnceMended();
    void desktopWithoutBusIsNamed();
};

namespace {

QStringList actionNames(const QMenu *menu)
{
    QStringList names;
    for (const QAction *action : menu->actions())
        names << action->objectName();
    return names;
}

bool looksGreen(const QIcon &icon)
{
    const QColor centre = icon.pixmap(16, 16).toImage().pixelColor(8, 8);
    return centre.green() > centre.red() + 64 && centre.green() > centre.blue() + 64;
}

// Closes the next modal box that opens and hands it to check() first.
void whenModalOpens(std::function<void(QMessageBox *)> check)
{
    QTimer::singleShot(0, [check] {
        QTRY_VERIFY(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        check(box);
        box->button(QMessageBox::Ok)->click();
    });
}

} // namespace

void tst_MainWindow::startsIdleWithoutConfiguration()
{
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();

    QCOMPARE(window.windowTitle(), QStringLiteral("Zelmar MQTT Client"));
    QCOMPARE(window.size(), QSize(308, 418));
    QCOMPARE(child<QTabWidget>(&window, "tabWidget")->count(), 0);
    QCOMPARE(child<QPushButton>(&window, "pushButtonConnect")->text(), QStringLiteral("Подключиться"));
    QVERIFY(child<QAction>(&window, "actionMQTT_Settings")->isEnabled());
    QVERIFY(child<QAction>(&window, "actionAddNewDevice")->isEnabled());
    QVERIFY(!client.isConnectedToHost());
    QVERIFY(!QFile::exists(QStringLiteral("Settings.conf")));
}

void tst_MainWindow::menusInOrder()
{
    QMQTT::Client client;
    MainWindow window(&client);

    QStringList titles;
    QList<QMenu *> menus;
    for (QAction *entry : child<QMenuBar>(&window, "menuBar")->actions()) {
        titles << entry->text();
        menus << entry->menu();
    }
    QCOMPARE(titles, (QStringList{"Файл", "Настройки", "Вид", "Справка"}));
    QCOMPARE(actionNames(menus[0]), QStringList{"actionQuit"});
    QCOMPARE(actionNames(menus[1]),
             (QStringList{"actionMQTT_Settings", "actionAddNewDevice", "actionAdvancedSettings"}));
    QCOMPARE(actionNames(menus[2]), (QStringList{"actionSummary", "actionEventLog"}));
    QCOMPARE(actionNames(menus[3]), QStringList{"actionAbout"});
    QCOMPARE(menus[0]->actions().first()->text(), QStringLiteral("Выход"));
    QCOMPARE(menus[1]->actions().at(0)->text(), QStringLiteral("MQTT"));
    QCOMPARE(menus[1]->actions().at(1)->text(), QStringLiteral("Устройства"));
    QCOMPARE(menus[1]->actions().at(2)->text(), QStringLiteral("Дополнительно…"));
    QCOMPARE(menus[2]->objectName(), QStringLiteral("menuView"));
    QCOMPARE(menus[2]->actions().first()->text(), QStringLiteral("Сводка по счётчикам"));
    QCOMPARE(menus[3]->actions().first()->text(), QStringLiteral("О программе"));

    auto *spare = child<QAction>(&window, "actionMQTT");
    QVERIFY(spare);
    QCOMPARE(spare->text(), QStringLiteral("MQTT"));
    for (const QMenu *menu : menus)
        QVERIFY(!menu->actions().contains(spare));
}

void tst_MainWindow::advancedSettingsOpenModal()
{
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    QPointer<AdvancedSettingsDialog> dialog = openByAction<AdvancedSettingsDialog>(&window, "actionAdvancedSettings");
    QVERIFY(dialog);
    QVERIFY(dialog->isModal());
    QVERIFY(!(dialog->windowFlags() & Qt::WindowContextHelpButtonHint));
    dialog->close();
    QTRY_VERIFY(dialog.isNull());
}

void tst_MainWindow::slotListIsComplete()
{
    const QStringList expected{
        "onMQTT_Connected()",
        "onMQTT_Connacked(uchar)",
        "onMQTT_error(QMQTT::ClientError)",
        "onMQTT_Published(QMQTT::Message)",
        "onMQTT_Pubacked(uchar,ushort)",
        "onMQTT_Received(QMQTT::Message)",
        "onMQTT_subscribed(QString)",
        "onMQTT_subacked(ushort,uchar)",
        "onMQTT_unsubscribed(QString)",
        "onMQTT_unsubacked(ushort)",
        "onMQTT_Pong()",
        "onMQTT_disconnected()",
        "on_actionAbout_triggered()",
        "on_actionQuit_triggered()",
        "aboutApp()",
        "publishTopic()",
        "subscribeTopic()",
        "connectServer()",
        "quitApp()",
        "clearMsg()",
        "on_actionMQTT_Settings_triggered()",
        "on_actionAddNewDevice_triggered()",
        "RefreshTabs()",
        "on_pushButtonConnect_clicked()",
    };
    const QMetaObject &meta = MainWindow::staticMetaObject;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        QCOMPARE(meta.method(i).methodType(), QMetaMethod::Slot);
        QCOMPARE(meta.method(i).access(), QMetaMethod::Private);
    }
    QCOMPARE(ownMethods(meta), expected);
}

void tst_MainWindow::inertSlotsChangeNothing_data()
{
    QTest::addColumn<Invoke>("invoke");

    const auto plain = [](const char *slot) {
        return Invoke([slot](QObject *w) { return QMetaObject::invokeMethod(w, slot); });
    };
    QTest::newRow("connack") << Invoke(
        [](QObject *w) { return QMetaObject::invokeMethod(w, "onMQTT_Connacked", Q_ARG(uchar, 0)); });
    QTest::newRow("pong") << plain("onMQTT_Pong");
    QTest::newRow("subscribed") << Invoke([](QObject *w) {
        return QMetaObject::invokeMethod(w, "onMQTT_subscribed", Q_ARG(QString, QStringLiteral("a/b")));
    });
    QTest::newRow("unsubacked") << Invoke(
        [](QObject *w) { return QMetaObject::invokeMethod(w, "onMQTT_unsubacked", Q_ARG(ushort, 7)); });
    QTest::newRow("publish command") << plain("publishTopic");
    QTest::newRow("subscribe command") << plain("subscribeTopic");
    QTest::newRow("connect command") << plain("connectServer");
    QTest::newRow("clear command") << plain("clearMsg");
}

void tst_MainWindow::inertSlotsChangeNothing()
{
    QFETCH(Invoke, invoke);

    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    QSignalSpy quitting(qApp, &QCoreApplication::aboutToQuit);

    QVERIFY(invoke(&window));

    QCOMPARE(child<QPushButton>(&window, "pushButtonConnect")->text(), QStringLiteral("Подключиться"));
    QVERIFY(statusText(&window).isEmpty());
    QVERIFY(child<QAction>(&window, "actionAddNewDevice")->isEnabled());
    QVERIFY(!client.isConnectedToHost());
    const QWidgetList shown = QApplication::topLevelWidgets();
    QCOMPARE(std::count_if(shown.cbegin(), shown.cend(), [](const QWidget *w) { return w->isVisible(); }), 1);
    QCOMPARE(quitting.count(), 0);
}

void tst_MainWindow::aboutBoxHasOnlyOk()
{
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();

    bool checked = false;
    whenModalOpens([&checked](QMessageBox *box) {
        QCOMPARE(box->windowTitle(), QStringLiteral("О программе"));
        QCOMPARE(box->buttons().size(), 1);
        QVERIFY(box->button(QMessageBox::Ok));
        QCOMPARE(box->parentWidget(), nullptr);
        const QStringList lines = box->text().split('\n');
        QCOMPARE(lines.size(), 5);
        QCOMPARE(lines[0], QStringLiteral("Версия: 0.1.1"));
        QCOMPARE(lines[1], QString());
        QCOMPARE(lines[2], QStringLiteral("MQTT клиент для счётчиков нарабоки Zelmar"));
        checked = true;
    });
    child<QAction>(&window, "actionAbout")->trigger();
    QVERIFY(checked);
}

void tst_MainWindow::quitEndsEventLoop_data()
{
    QTest::addColumn<bool>("byMenu");
    QTest::newRow("menu Файл → Выход") << true;
    QTest::newRow("quitApp invoked by name") << false;
}

void tst_MainWindow::quitEndsEventLoop()
{
    QFETCH(bool, byMenu);
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();

    QTimer::singleShot(0, &window, [&window, byMenu] {
        if (byMenu)
            child<QAction>(&window, "actionQuit")->trigger();
        else
            QMetaObject::invokeMethod(&window, "quitApp");
    });
    QTimer failsafe;
    failsafe.setSingleShot(true);
    connect(&failsafe, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    failsafe.start(5000);
    QCOMPARE(QCoreApplication::exec(), 0);
}

void tst_MainWindow::rebuildLeavesTabsShown()
{
    writeSettingsFileText(SettingsText().device("A", "t/a").device("B", "t/b").bytes());
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *tabs = child<QTabWidget>(&window, "tabWidget");
    tabs->setCurrentIndex(1);

    // The rebuild hides the tab widget while it replaces the pages.
    QVERIFY(QMetaObject::invokeMethod(&window, "RefreshTabs"));

    QVERIFY(tabs->isVisible());
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("A"));
    QCOMPARE(tabs->currentIndex(), 0);
    QVERIFY(tabs->currentWidget()->isVisible());
    QVERIFY(!tabs->widget(1)->isVisible());
}

void tst_MainWindow::tabsAndCountFollowEachMeter()
{
    writeSettingsFileText(SettingsText().device("A", "t/a").device("B", "t/b").bytes());
    QMQTT::Client client;
    MainWindow window(&client);
    auto *board = window.findChild<MeterBoard *>();
    board->setOfflineInterval(300);
    window.show();
    const auto *tabs = child<QTabWidget>(&window, "tabWidget");
    const auto *count = child<QLabel>(&window, "labelOnlineCount");
    QCOMPARE(count->text(), QStringLiteral("В сети: 0 из 2"));
    QCOMPARE(tabs->tabToolTip(1), QStringLiteral("нет данных"));
    QVERIFY(!looksGreen(tabs->tabIcon(1)));

    emit client.received(QMQTT::Message(QStringLiteral("t/b"), R"({"dev_mode":1})"));
    const QString time = QDateTime::fromMSecsSinceEpoch(board->meter(1).receivedMs).toString("hh:mm:ss");
    QCOMPARE(tabTitles(&window), (QStringList{"A", "B"}));
    QCOMPARE(count->text(), QStringLiteral("В сети: 1 из 2"));
    QVERIFY(!looksGreen(tabs->tabIcon(0)));

    // Whenever the panel shows the meter online, so do the tab and the count; from the moment
    // its offline mark comes, they say that too.
    const QWidget *panel = tabPage(&window, 1);
    QDeadlineTimer patience(5000);
    while (labelText(panel, "label_dev_mode") != QStringLiteral("не в сети") && !patience.hasExpired()) {
        QCOMPARE(labelText(panel, "label_dev_mode"), QStringLiteral("индикация"));
        QVERIFY(looksGreen(tabs->tabIcon(1)));
        QCOMPARE(tabs->tabToolTip(1), QStringLiteral("в сети · данные ") + time);
        QCOMPARE(count->text(), QStringLiteral("В сети: 1 из 2"));
        QTest::qWait(5);
    }
    QCOMPARE(labelText(panel, "label_dev_mode"), QStringLiteral("не в сети"));
    QVERIFY(!looksGreen(tabs->tabIcon(1)));
    QCOMPARE(tabs->tabToolTip(1), QStringLiteral("не в сети · последние данные ") + time);
    QCOMPARE(count->text(), QStringLiteral("В сети: 0 из 2"));

    // M counts the tabs of the list as it is now, and N starts again from none, also when the
    // list is replaced while a meter is online.
    emit client.received(QMQTT::Message(QStringLiteral("t/a"), R"({"dev_mode":1})"));
    writeSettingsFileText(SettingsText().device("C", "t/c").bytes());
    QVERIFY(QMetaObject::invokeMethod(&window, "RefreshTabs"));
    QCOMPARE(count->text(), QStringLiteral("В сети: 0 из 1"));
}

void tst_MainWindow::badPortIsReportedWithoutAttempt_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("status");
    QTest::newRow("above 65535 is not wrapped") << "70000"
                                                << "Недопустимый порт MQTT: 70000";
    QTest::newRow("zero") << "0"
                          << "Недопустимый порт MQTT: 0";
    QTest::newRow("not a number") << "abc"
                                  << "Недопустимый порт MQTT: 0";
    QTest::newRow("negative") << "-1"
                              << "Недопустимый порт MQTT: -1";
}

void tst_MainWindow::badPortIsReportedWithoutAttempt()
{
    QFETCH(QString, port);
    QFETCH(QString, status);
    writeSettingsFileText(SettingsText().broker("127.0.0.1", port).bytes());
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    QSignalSpy failures(&client, &QMQTT::Client::error);

    click(&window, "pushButtonConnect");

    QCOMPARE(statusText(&window), status);
    QVERIFY(settingsMenusEnabled(&window));
    QCOMPARE(child<QPushButton>(&window, "pushButtonConnect")->text(), QStringLiteral("Подключиться"));
    QVERIFY(!client.isConnectedToHost());
}

// The narrow window cut a reconnection countdown off before its seconds.
void tst_MainWindow::longStatusKeepsItsEnd()
{
    const QString head = QStringLiteral("Нет связи с broker-of-the-boiler-house.plant.example:1883");
    const QString tail = QStringLiteral(", повтор через 5 с");
    const QString message = head + tail;
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *bar = child<QStatusBar>(&window, "statusBar");
    auto *shown = child<QLabel>(bar, "labelStatusMessage");
    // Room for the countdown and three quarters of the host.
    const QFontMetrics metrics = shown->fontMetrics();
    const int room = metrics.horizontalAdvance(tail) + metrics.horizontalAdvance(head) * 3 / 4;
    window.resize(window.width() - shown->contentsRect().width() + room, window.height());
    QTRY_COMPARE(shown->contentsRect().width(), room);
    const auto barAlone = [bar] {
        QImage image(bar->size(), QImage::Format_ARGB32);
        bar->render(&image, QPoint(), QRegion(), QWidget::DrawWindowBackground);
        return image;
    };
    const QImage empty = barAlone();

    bar->showMessage(message);
    QVERIFY2(shown->text().endsWith(tail), qPrintable(shown->text()));
    QVERIFY2(shown->text().contains(QChar(0x2026)), qPrintable(shown->text()));
    QVERIFY(metrics.horizontalAdvance(shown->text()) <= room);
    QCOMPARE(shown->toolTip(), message);
    QCOMPARE(statusText(&window), message);
    // The bar itself writes nothing under it.
    QVERIFY(barAlone() == empty);

    window.resize(window.width() + metrics.horizontalAdvance(head), window.height());
    QTRY_COMPARE(shown->text(), message);
}

// Read as empty, such a file sent the user to settings that were there all
// along: "Не задан адрес сервера MQTT".
void tst_MainWindow::unreadableFileIsNamed_data()
{
    QTest::addColumn<bool>("directory"); // in the file's place, else a file above the size limit
    QTest::addColumn<QString>("status");
    QTest::newRow("a directory in its place") << true << "Settings.conf недоступен для чтения: это папка";
    QTest::newRow("larger than 16 MB") << false << "Settings.conf больше 16 МБ: не прочитан";
}

void tst_MainWindow::unreadableFileIsNamed()
{
    QFETCH(bool, directory);
    QFETCH(QString, status);
    if (directory) {
        QVERIFY(QDir().mkdir(QStringLiteral("Settings.conf")));
    } else {
        writeSettingsFileText(SettingsText().broker("127.0.0.1", 1883).bytes());
        QVERIFY(QFile(QStringLiteral("Settings.conf")).resize(SettingsFile::kMaxFileSize + 1));
    }
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    QCOMPARE(statusText(&window), status);

    click(&window, "pushButtonConnect");
    QCOMPARE(statusText(&window), status);
    QVERIFY(settingsMenusEnabled(&window));
    QVERIFY(!client.isConnectedToHost());
}

// Mended in the broker settings, or in an editor beside the program: the
// note goes when the window is back in front.
void tst_MainWindow::noteOnIgnoredValuesGoesOnceMended()
{
    writeSettingsFileText("[MQTT]\nHost=127.0.0.1\nclientId=@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x1)\n");
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(
        statusText(&window),
        QStringLiteral("В Settings.conf есть значения, которые не учтены: MQTT/clientId (не текст, а @Variant(…))"));

    QPointer<QDialog> form = openByAction<QDialog>(&window, QStringLiteral("actionMQTT_Settings"));
    QVERIFY(form);
    click(form, "SetttSaveButton");
    QTRY_VERIFY(!form);
    QApplication::setActiveWindow(&window);
    QTRY_COMPARE(statusText(&window), QString());
}

// Notifications asked for where there is no session bus: the window said nothing, since the
// notifier found out while the window was still being made.
void tst_MainWindow::desktopWithoutBusIsNamed()
{
    // Before anything in this process asks for the session bus.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    writeSettingsFileText("[Notify]\nDesktop=true\n");
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    QCOMPARE(statusText(&window), QStringLiteral("Уведомления на рабочем столе недоступны: нет сеансовой шины D-Bus"));
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
