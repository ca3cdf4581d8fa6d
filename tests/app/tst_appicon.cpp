#include "app/appicon.h"
#include "common/scratchdirectory.h"
#include "config/addnewdeviceform.h"
#include "config/devicelistdialog.h"
#include "config/mqttsettform.h"
#include "mainwindow/mainwindow.h"
#include "mqtt/client.h"

#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

class tst_AppIcon : public QObject
{
    Q_OBJECT

private slots:
    void drawnAtEveryThemeSize();
    void everyWindowShowsIt_data();
    void everyWindowShowsIt();
};

void tst_AppIcon::drawnAtEveryThemeSize()
{
    const QIcon icon = applicationIcon();
    QList<QSize> sizes = icon.availableSizes();
    std::sort(sizes.begin(), sizes.end(), [](QSize a, QSize b) { return a.width() < b.width(); });
    const QList<QSize> expected{{16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}, {128, 128}, {256, 256}};
    QCOMPARE(sizes, expected);
    for (const QSize &size : expected)
        QCOMPARE(icon.pixmap(size).size(), size);
}

using WindowMaker = std::function<std::unique_ptr<QWidget>(QMQTT::Client *)>;
Q_DECLARE_METATYPE(WindowMaker)

// A window with an icon of its own would hide the program's.
void tst_AppIcon::everyWindowShowsIt_data()
{
    QTest::addColumn<WindowMaker>("make");
    QTest::newRow("main window") << WindowMaker(
        [](QMQTT::Client *client) -> std::unique_ptr<QWidget> { return std::make_unique<MainWindow>(client); });
    QTest::newRow("broker settings") << WindowMaker(
        [](QMQTT::Client *) -> std::unique_ptr<QWidget> { return std::make_unique<MQTTSettForm>(); });
    QTest::newRow("device list") << WindowMaker(
        [](QMQTT::Client *) -> std::unique_ptr<QWidget> { return std::make_unique<DeviceListDialog>(); });
    QTest::newRow("device entry") << WindowMaker([](QMQTT::Client *) -> std::unique_ptr<QWidget> {
        return std::make_unique<AddNewDeviceForm>(nullptr, QString(), QString());
    });
}

void tst_AppIcon::everyWindowShowsIt()
{
    QFETCH(WindowMaker, make);
    ScratchDirectory workDir;
    QVERIFY(workDir.isValid());
    QApplication::setWindowIcon(applicationIcon());
    QMQTT::Client client;

    const std::unique_ptr<QWidget> window = make(&client);
    QCOMPARE(window->windowIcon().cacheKey(), QApplication::windowIcon().cacheKey());
}

QTEST_MAIN(tst_AppIcon)
#include "tst_appicon.moc"
