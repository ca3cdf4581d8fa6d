#include "common/scratchdirectory.h"
#include "mainwindow/mainwindow.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QtTest>

// The window's form, menus, About box and quit path, without a broker.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startsIdleWithoutConfiguration();
    void menusInOrder();
    void slotListIsComplete();
    void inertSlotsChangeNothing_data();
    void inertSlotsChangeNothing();
    void aboutBoxHasOnlyOk();
    void quitEndsEventLoop_data();
    void quitEndsEventLoop();
    void rebuildLeavesTabsShown();
    void badPortIsReportedWithoutAttempt_data();
    void badPortIsReportedWithoutAttempt();

private:
    std::unique_ptr<ScratchDirectory> workDir;
};

namespace {

QStringList actionNames(const QMenu *menu)
{
    QStringList names;
    for (const QAction *action : menu->actions())
        names << action->objectName();
    return names;
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

void tst_MainWindow::init()
{
    workDir = std::make_unique<ScratchDirectory>();
    QVERIFY(workDir->isValid());
}

void tst_MainWindow::cleanup()
{
    workDir.reset();
}

void tst_MainWindow::startsIdleWithoutConfiguration()
{
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();

    QCOMPARE(window.windowTitle(), QStringLiteral("Zelmar MQTT Client"));
    QCOMPARE(window.size(), QSize(308, 418));
    QCOMPARE(window.findChild<QTabWidget *>("tabWidget")->count(), 0);
    QCOMPARE(window.findChild<QPushButton *>("pushButtonConnect")->text(), QStringLiteral("Подключиться"));
    QVERIFY(window.findChild<QAction *>("actionMQTT_Settings")->isEnabled());
    QVERIFY(window.findChild<QAction *>("actionAddNewDevice")->isEnabled());
    QVERIFY(!client.isConnectedToHost());
    QVERIFY(!QFile::exists(QStringLiteral("Settings.conf")));
}

void tst_MainWindow::menusInOrder()
{
    QMQTT::Client client;
    MainWindow window(&client);

    QStringList titles;
    QList<QMenu *> menus;
    for (QAction *entry : window.findChild<QMenuBar *>("menuBar")->actions()) {
        titles << entry->text();
        menus << entry->menu();
    }
    QCOMPARE(titles, (QStringList{"Файл", "Настройки", "Справка"}));
    QCOMPARE(actionNames(menus[0]), QStringList{"actionQuit"});
    QCOMPARE(actionNames(menus[1]), (QStringList{"actionMQTT_Settings", "actionAddNewDevice"}));
    QCOMPARE(actionNames(menus[2]), QStringList{"actionAbout"});
    QCOMPARE(menus[0]->actions().first()->text(), QStringLiteral("Выход"));
    QCOMPARE(menus[1]->actions().at(0)->text(), QStringLiteral("MQTT"));
    QCOMPARE(menus[1]->actions().at(1)->text(), QStringLiteral("Устройства"));
    QCOMPARE(menus[2]->actions().first()->text(), QStringLiteral("О программе"));

    auto *spare = window.findChild<QAction *>("actionMQTT");
    QVERIFY(spare);
    QCOMPARE(spare->text(), QStringLiteral("MQTT"));
    for (const QMenu *menu : menus)
        QVERIFY(!menu->actions().contains(spare));
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
    QStringList declared;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        declared << QString::fromLatin1(method.methodSignature());
    }
    QCOMPARE(declared, expected);
}

void tst_MainWindow::inertSlotsChangeNothing_data()
{
    QTest::addColumn<QByteArray>("slot");
    QTest::newRow("connack") << QByteArray("onMQTT_Connacked");
    QTest::newRow("pong") << QByteArray("onMQTT_Pong");
    QTest::newRow("subscribed") << QByteArray("onMQTT_subscribed");
    QTest::newRow("unsubacked") << QByteArray("onMQTT_unsubacked");
    QTest::newRow("publish command") << QByteArray("publishTopic");
    QTest::newRow("subscribe command") << QByteArray("subscribeTopic");
    QTest::newRow("connect command") << QByteArray("connectServer");
    QTest::newRow("clear command") << QByteArray("clearMsg");
}

void tst_MainWindow::inertSlotsChangeNothing()
{
    QFETCH(QByteArray, slot);

    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    QSignalSpy quitting(qApp, &QCoreApplication::aboutToQuit);

    const char *name = slot.constData();
    bool invoked = false;
    if (slot == "onMQTT_Connacked")
        invoked = QMetaObject::invokeMethod(&window, name, Q_ARG(uchar, 0));
    else if (slot == "onMQTT_subscribed")
        invoked = QMetaObject::invokeMethod(&window, name, Q_ARG(QString, QStringLiteral("a/b")));
    else if (slot == "onMQTT_unsubacked")
        invoked = QMetaObject::invokeMethod(&window, name, Q_ARG(ushort, 7));
    else
        invoked = QMetaObject::invokeMethod(&window, name);
    QVERIFY(invoked);

    QCOMPARE(window.findChild<QPushButton *>("pushButtonConnect")->text(), QStringLiteral("Подключиться"));
    QVERIFY(window.findChild<QStatusBar *>("statusBar")->currentMessage().isEmpty());
    QVERIFY(window.findChild<QAction *>("actionAddNewDevice")->isEnabled());
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
    window.findChild<QAction *>("actionAbout")->trigger();
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
            window.findChild<QAction *>("actionQuit")->trigger();
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
    writeSettingsFileText("[Devices]\nDEV\\1\\dev_name=A\nDEV\\1\\topic=t/a\n"
                          "DEV\\2\\dev_name=B\nDEV\\2\\topic=t/b\nDEV\\size=2\n");
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *tabs = window.findChild<QTabWidget *>("tabWidget");
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
    {
        QFile file(QStringLiteral("Settings.conf"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[MQTT]\nHost=127.0.0.1\nPort=" + port.toUtf8() + "\n");
    }
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    QSignalSpy failures(&client, &QMQTT::Client::error);

    QTest::mouseClick(window.findChild<QPushButton *>("pushButtonConnect"), Qt::LeftButton);

    QCOMPARE(window.findChild<QStatusBar *>("statusBar")->currentMessage(), status);
    QVERIFY(window.findChild<QAction *>("actionMQTT_Settings")->isEnabled());
    QVERIFY(window.findChild<QAction *>("actionAddNewDevice")->isEnabled());
    QCOMPARE(window.findChild<QPushButton *>("pushButtonConnect")->text(), QStringLiteral("Подключиться"));
    QVERIFY(!client.isConnectedToHost());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
