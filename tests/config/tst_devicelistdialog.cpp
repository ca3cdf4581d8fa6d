#include "common/scratchdirectorytest.h"
#include "common/settingstext.h"
#include "common/widgets.h"
#include "config/addnewdeviceform.h"
#include "config/devicelistdialog.h"
#include "config/settingsfile.h"
#include "mainwindow/mainwindow.h"
#include "mqtt/client.h"

#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QtTest>

namespace {

const QString kFile = QStringLiteral("Settings.conf");

// Spaced by hand: a write leaves the lines it does not change as they are.
const QByteArray kTwoDevices = "[Devices]\n"
                               "DEV\\1\\dev_name = Boiler\n"
                               "DEV\\1\\topic = plant/1\n"
                               "DEV\\2\\dev_name = Pump\n"
                               "DEV\\2\\topic = plant/2\n"
                               "DEV\\size = 2\n";

const QByteArray kSameNames = SettingsText().device("Pump", "t/1").device("Fan", "t/2").device("Pump", "t/3").bytes();

// kTwoDevices with a third device, as an append leaves it.
QByteArray withThird(const QString &name, const QString &topic)
{
    return QByteArray(kTwoDevices)
        .replace("DEV\\size = 2\n", "DEV\\size = 3\n" + SettingsText()
                                                            .value("Devices", "DEV/3/dev_name", name)
                                                            .value("Devices", "DEV/3/topic", topic)
                                                            .keyLines());
}

QListWidget *list(QWidget *dialog)
{
    return child<QListWidget>(dialog, QStringLiteral("listWidget"));
}

QString formText(QWidget *dialog, const char *edit)
{
    return child<QLineEdit>(shown<AddNewDeviceForm>(dialog), QLatin1String(edit))->text();
}

} // namespace

class tst_DeviceListDialog : public ScratchDirectoryTest
{
    Q_OBJECT

private slots:

    void noFileShowsEmptyListAndCreatesNone();
    void incompleteElementDroppedOnOpen();
    void add_data();
    void add();
    void editReplacesDoubleClickedRow_data();
    void editReplacesDoubleClickedRow();
    void cancelledFormChangesNothing();
    void removeOnlySelectedRow_data();
    void removeOnlySelectedRow();
    void removeWithoutSelectionWritesNothing();
    void exitActionOnce_data();
    void exitActionOnce();
    void mainWindowTabsFollowFile_data();
    void mainWindowTabsFollowFile();
    void failedWriteIsReported_data();
    void failedWriteIsReported();
    void metaObjectMethodOrder();
};

void tst_DeviceListDialog::noFileShowsEmptyListAndCreatesNone()
{
    QWidget opener;
    auto *dialog = openModal<DeviceListDialog>(&opener);
    QCOMPARE(list(dialog)->count(), 0);
    dialog->close();
    QVERIFY(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

void tst_DeviceListDialog::incompleteElementDroppedOnOpen()
{
    writeSettingsFileText(SettingsText().device("A", "t/a").deviceWithoutTopic("Broken").device("C", "t/c").bytes());
    QWidget opener;
    auto *dialog = openModal<DeviceListDialog>(&opener);
    QCOMPARE(rows(dialog), (QStringList{"A", "C"}));
    QCOMPARE(settingsFileText(), SettingsText().device("A", "t/a").device("C", "t/c").bytes());
}

void tst_DeviceListDialog::add_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QStringList>("rowsAfter");
    QTest::addColumn<QByteArray>("fileAfter");

    QTest::newRow("new name and topic append")
        << "Fan"
        << "plant/3" << QStringList{"Boiler", "Pump", "Fan"} << withThird("Fan", "plant/3");
    QTest::newRow("known topic renames in place")
        << "Cellar"
        << "plant/2" << QStringList{"Boiler", "Cellar"} << QByteArray(kTwoDevices).replace("= Pump", "= Cellar");
    QTest::newRow("known name takes the topic")
        << "Boiler"
        << "plant/9" << QStringList{"Boiler", "Pump"} << QByteArray(kTwoDevices).replace("plant/1", "plant/9");
    // Written unquoted, the name read back as a list and the device was gone.
    QTest::newRow("comma in the name") << "Pump, hall"
                                       << "plant/3" << QStringList{"Boiler", "Pump", "Pump, hall"}
                                       << withThird("Pump, hall", "plant/3");
    // Written as \0 and the digit, it read back as one other character.
    const QString zeroThenDigit = QStringLiteral("a") + QChar(0) + QStringLiteral("12");
    QTest::newRow("zero character before a digit")
        << zeroThenDigit << "plant/3" << QStringList{"Boiler", "Pump", zeroThenDigit}
        << withThird(zeroThenDigit, "plant/3");
    const QString longest(kMaxShownNameLength, QLatin1Char('n'));
    QTest::newRow("longest name shown whole")
        << longest << "plant/3" << QStringList{"Boiler", "Pump", longest} << withThird(longest, "plant/3");
}

void tst_DeviceListDialog::add()
{
    QFETCH(QString, name);
    QFETCH(QString, topic);
    QFETCH(QStringList, rowsAfter);
    QFETCH(QByteArray, fileAfter);

    writeSettingsFileText(kTwoDevices);
    QWidget opener;
    auto *dialog = openModal<DeviceListDialog>(&opener);
    click(dialog, "pushAddd");
    AddNewDeviceForm *form = shown<AddNewDeviceForm>(dialog);
    QVERIFY(form);
    QVERIFY(form->isModal());
    QVERIFY(!(form->windowFlags() & Qt::WindowContextHelpButtonHint));
    QVERIFY(formText(dialog, "leDeviceName").isEmpty());
    saveEntryForm(dialog, name, topic);
    QCOMPARE(rows(dialog), rowsAfter);
    QCOMPARE(settingsFileText(), fileAfter);
    QCOMPARE(namesReadByQSettings(), rowsAfter);
}

void tst_DeviceListDialog::editReplacesDoubleClickedRow_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("shownTopic");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QStringList>("rowsAfter");
    QTest::addColumn<QByteArray>("fileAfter");

    QTest::newRow("second same name, name and topic changed")
        << 2 << "t/3"
        << "Heater"
        << "t/9" << QStringList{"Pump", "Fan", "Heater"}
        << SettingsText().device("Pump", "t/1").device("Fan", "t/2").device("Heater", "t/9").bytes();
    QTest::newRow("second same name, topic changed")
        << 2 << "t/3"
        << "Pump"
        << "t/8" << QStringList{"Pump", "Fan", "Pump"}
        << SettingsText().device("Pump", "t/1").device("Fan", "t/2").device("Pump", "t/8").bytes();
    QTest::newRow("topic of another device")
        << 1 << "t/2"
        << "Fan"
        << "t/1" << QStringList{"Pump", "Fan", "Pump"}
        << SettingsText().device("Pump", "t/1").device("Fan", "t/1").device("Pump", "t/3").bytes();
    QTest::newRow("saved unchanged") << 0 << "t/1"
                                     << "Pump"
                                     << "t/1" << QStringList{"Pump", "Fan", "Pump"} << kSameNames;
}

void tst_DeviceListDialog::editReplacesDoubleClickedRow()
{
    QFETCH(int, row);
    QFETCH(QString, shownTopic);
    QFETCH(QString, name);
    QFETCH(QString, topic);
    QFETCH(QStringList, rowsAfter);
    QFETCH(QByteArray, fileAfter);

    writeSettingsFileText(kSameNames);
    QWidget opener;
    auto *dialog = openModal<DeviceListDialog>(&opener);
    doubleClickRow(dialog, row);
    QVERIFY(shown<AddNewDeviceForm>(dialog));
    QCOMPARE(formText(dialog, "leDeviceName"), rows(dialog).at(row));
    QCOMPARE(formText(dialog, "leMQTTTopic"), shownTopic);
    saveEntryForm(dialog, name, topic);
    QCOMPARE(rows(dialog), rowsAfter);
    QCOMPARE(settingsFileText(), fileAfter);

    // The next add is an add again, not an edit of that row.
    click(dialog, "pushAddd");
    saveEntryForm(dialog, QStringLiteral("New"), QStringLiteral("t/new"));
    QCOMPARE(rows(dialog), rowsAfter + QStringList{"New"});
}

void tst_DeviceListDialog::cancelledFormChangesNothing()
{
    writeSettingsFileText(kTwoDevices);
    QWidget opener;
    auto *dialog = openModal<DeviceListDialog>(&opener);
    doubleClickRow(dialog, 1);
    AddNewDeviceForm *form = shown<AddNewDeviceForm>(dialog);
    QVERIFY(form);
    QTest::keyClicks(child<QLineEdit>(form, QStringLiteral("leDeviceName")), QStringLiteral("xx"));
    const qint64 identity = settingsFileIdentity();
    click(form, "SetttCancelButton");
    QVERIFY(!shown<AddNewDeviceForm>(dialog));
    QCOMPARE(rows(dialog), (QStringList{"Boiler", "Pump"}));
    QCOMPARE(settingsFileText(), kTwoDevices);
    QCOMPARE(settingsFileIdentity(), identity);

    // The next add is an add, not the edit given up.
    click(dialog, "pushAddd");
    saveEntryForm(dialog, QStringLiteral("Fan"), QStringLiteral("plant/3"));
    QCOMPARE(rows(dialog), (QStringList{"Boiler", "Pump", "Fan"}));
}

void tst_DeviceListDialog::removeOnlySelectedRow_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QByteArray>("fileAfter");

    QTest::newRow("first of two same names") << 0 << SettingsText().device("Fan", "t/2").device("Pump", "t/3").bytes();
    QTest::newRow("second of two same names") << 2 << SettingsText().device("Pump", "t/1").device("Fan", "t/2").bytes();
    QTest::newRow("name borne once") << 1 << SettingsText().device("Pump", "t/1").device("Pump", "t/3").bytes();
}

void tst_DeviceListDialog::removeOnlySelectedRow()
{
    QFETCH(int, row);
    QFETCH(QByteArray, fileAfter);

    writeSettingsFileText(kSameNames);
    QWidget opener;
    auto *dialog = openModal<DeviceListDialog>(&opener);
    selectRow(dialog, row);
    QCOMPARE(list(dialog)->currentRow(), row);
    click(dialog, "pushButtonRemove");
    QCOMPARE(settingsFileText(), fileAfter);
    QCOMPARE(rows(dialog), storedNames());
}

void tst_DeviceListDialog::removeWithoutSelectionWritesNothing()
{
    writeSettingsFileText(kTwoDevices);
    QWidget opener;
    auto *dialog = openModal<DeviceListDialog>(&opener);
    // Taking the focus makes the first row current, though nobody picked it.
    QApplication::setActiveWindow(dialog);
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    list(dialog)->setFocus(Qt::TabFocusReason);
    QCOMPARE(list(dialog)->currentRow(), 0);
    QVERIFY(list(dialog)->selectedItems().isEmpty());
    const qint64 identity = settingsFileIdentity();
    click(dialog, "pushButtonRemove");
    QCOMPARE(rows(dialog), (QStringList{"Boiler", "Pump"}));
    QCOMPARE(settingsFileText(), kTwoDevices);
    QCOMPARE(settingsFileIdentity(), identity);
}

void tst_DeviceListDialog::exitActionOnce_data()
{
    QTest::addColumn<WidgetAction>("dismiss");
    for (const auto &[name, dismiss] : dismissals(QStringLiteral("pushButtonCancel"), QStringLiteral("listWidget")))
        QTest::newRow(name) << dismiss;
    QTest::newRow("rejected, then closed") << WidgetAction([](QWidget *dialog) {
        static_cast<QDialog *>(dialog)->reject();
        dialog->close();
    });
}

void tst_DeviceListDialog::exitActionOnce()
{
    QFETCH(WidgetAction, dismiss);

    QWidget opener;
    QPointer<DeviceListDialog> dialog = openModal<DeviceListDialog>(&opener);
    QSignalSpy exits(dialog.data(), &DeviceListDialog::ExitAction);
    dismiss(dialog);
    QCOMPARE(exits.count(), 1);
    QTRY_VERIFY(dialog.isNull());
}

void tst_DeviceListDialog::mainWindowTabsFollowFile_data()
{
    QTest::addColumn<WidgetAction>("dismiss");
    for (const auto &[name, dismiss] : dismissals(QStringLiteral("pushButtonCancel"), QStringLiteral("listWidget")))
        QTest::newRow(name) << dismiss;
}

void tst_DeviceListDialog::mainWindowTabsFollowFile()
{
    QFETCH(WidgetAction, dismiss);

    writeSettingsFileText(kSameNames);
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    QCOMPARE(tabTitles(&window), (QStringList{"Pump", "Fan", "Pump"}));

    QPointer<DeviceListDialog> dialog = openByAction<DeviceListDialog>(&window, QStringLiteral("actionAddNewDevice"));
    QVERIFY(dialog);
    selectRow(dialog, 0);
    click(dialog, "pushButtonRemove");
    click(dialog, "pushAddd");
    saveEntryForm(dialog, QStringLiteral("Котёл"), QStringLiteral("t/k"));
    QCOMPARE(tabTitles(&window), (QStringList{"Pump", "Fan", "Pump"}));

    dismiss(dialog);
    QTRY_VERIFY(dialog.isNull());
    QCOMPARE(storedNames(), (QStringList{"Fan", "Pump", QStringLiteral("Котёл")}));
    QCOMPARE(tabTitles(&window), storedNames());
}

void tst_DeviceListDialog::failedWriteIsReported_data()
{
    QTest::addColumn<bool>("locked"); // the file cannot be changed, else a directory stands in its place
    QTest::addColumn<WidgetAction>("change");
    QTest::addColumn<QStringList>("rowsAfter");

    const WidgetAction add = [](QWidget *dialog) {
        click(dialog, "pushAddd");
        saveEntryForm(dialog, QStringLiteral("Fan"), QStringLiteral("plant/3"));
    };
    const WidgetAction edit = [](QWidget *dialog) {
        doubleClickRow(dialog, 1);
        saveEntryForm(dialog, QStringLiteral("Fan"), QStringLiteral("plant/3"));
    };
    const WidgetAction remove = [](QWidget *dialog) {
        selectRow(dialog, 0);
        click(dialog, "pushButtonRemove");
    };
    const QStringList none;
    const QStringList both{"Boiler", "Pump"};
    QTest::newRow("add, directory in place of the file") << false << add << none;
    QTest::newRow("edit, directory in place of the file") << false << edit << none;
    QTest::newRow("add, unchangeable file") << true << add << both;
    QTest::newRow("edit, unchangeable file") << true << edit << both;
    QTest::newRow("remove, unchangeable file") << true << remove << both;
}

void tst_DeviceListDialog::failedWriteIsReported()
{
    QFETCH(bool, locked);
    QFETCH(WidgetAction, change);
    QFETCH(QStringList, rowsAfter);

    writeSettingsFileText(kTwoDevices);
    QWidget opener;
    auto *dialog = openModal<DeviceListDialog>(&opener);
    QCOMPARE(rows(dialog), (QStringList{"Boiler", "Pump"}));

    if (!locked) {
        QVERIFY(QFile::rename(kFile, QStringLiteral("saved.conf")));
        QVERIFY(QDir().mkdir(kFile));
    } else if (!m_dir->lockSettingsFile()) {
        QSKIP("chattr +i is not available here");
    }

    change(dialog);
    QCOMPARE(rows(dialog), rowsAfter);
    QCOMPARE(rows(dialog), storedNames());
    QCOMPARE(answerMessageBox(dialog),
             QStringLiteral("Не удалось записать изменения в файл Settings.conf, они не сохранены.\n"
                            "Список показывает устройства, которые записаны в файле."));
    QTRY_VERIFY(!shown<QMessageBox>(dialog));
    QVERIFY(dialog->isVisible());

    if (locked)
        QCOMPARE(settingsFileText(), kTwoDevices);
    else
        QCOMPARE(QFile(QStringLiteral("saved.conf")).size(), qint64(kTwoDevices.size()));
}

// Other code finds these by index, so their order is part of the interface.
void tst_DeviceListDialog::metaObjectMethodOrder()
{
    QCOMPARE(ownMethods(DeviceListDialog::staticMetaObject),
             (QStringList{"ExitAction()", "on_pushAddd_clicked()", "on_pushButtonCancel_clicked()",
                          "on_pushButtonRemove_clicked()", "on_listWidget_itemDoubleClicked(QListWidgetItem*)"}));
}

QTEST_MAIN(tst_DeviceListDialog)
#include "tst_devicelistdialog.moc"
