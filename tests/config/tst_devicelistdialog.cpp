#include "common/scratchdirectory.h"
#include "config/addnewdeviceform.h"
#include "config/devicelistdialog.h"
#include "config/settingsfile.h"
#include "mainwindow/mainwindow.h"
#include "mqtt/client.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QtTest>

#include <memory>

namespace {

const QString kFile = QStringLiteral("Settings.conf");

QByteArray devicesText(const QVector<DeviceEntry> &devices)
{
    QByteArray text = "[Devices]\n";
    for (int i = 0; i < devices.size(); ++i) {
        const QByteArray prefix = "DEV\\" + QByteArray::number(i + 1) + '\\';
        text += prefix + "dev_name=" + devices.at(i).name.toUtf8() + '\n';
        text += prefix + "topic=" + devices.at(i).topic.toUtf8() + '\n';
    }
    return text + "DEV\\size=" + QByteArray::number(devices.size()) + '\n';
}

// Spaced by hand, so that any rewrite by QSettings shows in the text.
const QByteArray kTwoDevices = "[Devices]\n"
                               "DEV\\1\\dev_name = Boiler\n"
                               "DEV\\1\\topic = plant/1\n"
                               "DEV\\2\\dev_name = Pump\n"
                               "DEV\\2\\topic = plant/2\n"
                               "DEV\\size = 2\n";

const QByteArray kSameNames = "[Devices]\n"
                              "DEV\\1\\dev_name=Pump\n"
                              "DEV\\1\\topic=t/1\n"
                              "DEV\\2\\dev_name=Fan\n"
                              "DEV\\2\\topic=t/2\n"
                              "DEV\\3\\dev_name=Pump\n"
                              "DEV\\3\\topic=t/3\n"
                              "DEV\\size=3\n";

// Opened the way the main window opens it.
DeviceListDialog *openDialog(QWidget *opener)
{
    auto *dialog = new DeviceListDialog(opener);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowFlags(dialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    dialog->setModal(true);
    dialog->show();
    return dialog;
}

QListWidget *list(QWidget *dialog)
{
    return dialog->findChild<QListWidget *>(QStringLiteral("listWidget"));
}

QStringList rows(QWidget *dialog)
{
    QStringList texts;
    for (int i = 0; i < list(dialog)->count(); ++i)
        texts.append(list(dialog)->item(i)->text());
    return texts;
}

void click(QWidget *parent, const char *buttonName)
{
    auto *button = parent->findChild<QPushButton *>(QLatin1String(buttonName));
    QVERIFY2(button, buttonName);
    QTest::mouseClick(button, Qt::LeftButton);
}

QRect rowRect(QWidget *dialog, int row)
{
    return list(dialog)->visualItemRect(list(dialog)->item(row));
}

void selectRow(QWidget *dialog, int row)
{
    QTest::mouseClick(list(dialog)->viewport(), Qt::LeftButton, Qt::NoModifier, rowRect(dialog, row).center());
}

// The widget overload of QTest::mouseDClick sends the double-click event
// alone; a real double click starts with a press and release.
void doubleClickRow(QWidget *dialog, int row)
{
    QTest::mouseClick(list(dialog)->viewport(), Qt::LeftButton, Qt::NoModifier, rowRect(dialog, row).center());
    QTest::mouseDClick(list(dialog)->viewport(), Qt::LeftButton, Qt::NoModifier, rowRect(dialog, row).center());
}

// The entry form that is open now, not one that is waiting for deletion.
AddNewDeviceForm *entryForm(QWidget *dialog)
{
    for (AddNewDeviceForm *form : dialog->findChildren<AddNewDeviceForm *>()) {
        if (form->isVisible())
            return form;
    }
    return nullptr;
}

void saveInForm(QWidget *dialog, const QString &name, const QString &topic)
{
    AddNewDeviceForm *form = entryForm(dialog);
    QVERIFY(form);
    form->findChild<QLineEdit *>(QStringLiteral("leDeviceName"))->setText(name);
    form->findChild<QLineEdit *>(QStringLiteral("leMQTTTopic"))->setText(topic);
    click(form, "SetttSaveButton");
    QVERIFY(!entryForm(dialog));
}

QMessageBox *messageBox(QWidget *dialog)
{
    for (QMessageBox *box : dialog->findChildren<QMessageBox *>()) {
        if (box->isVisible())
            return box;
    }
    return nullptr;
}

QStringList tabTitles(MainWindow &window)
{
    auto *tabs = window.findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    QStringList titles;
    for (int i = 0; i < tabs->count(); ++i)
        titles.append(tabs->tabText(i));
    return titles;
}

QStringList namesInFile()
{
    QStringList names;
    for (const DeviceEntry &device : SettingsFile().readDevices())
        names.append(device.name);
    return names;
}

} // namespace

class tst_DeviceListDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

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

private:
    std::unique_ptr<ScratchDirectory> m_dir;
    bool m_locked = false;
};

void tst_DeviceListDialog::init()
{
    m_dir = std::make_unique<ScratchDirectory>();
    QVERIFY(m_dir->isValid());
}

void tst_DeviceListDialog::cleanup()
{
    if (m_locked)
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), kFile});
    m_locked = false;
    m_dir.reset();
}

void tst_DeviceListDialog::noFileShowsEmptyListAndCreatesNone()
{
    QWidget opener;
    DeviceListDialog *dialog = openDialog(&opener);
    QCOMPARE(list(dialog)->count(), 0);
    dialog->close();
    QVERIFY(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

void tst_DeviceListDialog::incompleteElementDroppedOnOpen()
{
    writeSettingsFileText("[Devices]\n"
                          "DEV\\1\\dev_name=A\n"
                          "DEV\\1\\topic=t/a\n"
                          "DEV\\2\\dev_name=Broken\n"
                          "DEV\\3\\dev_name=C\n"
                          "DEV\\3\\topic=t/c\n"
                          "DEV\\size=3\n");
    QWidget opener;
    DeviceListDialog *dialog = openDialog(&opener);
    QCOMPARE(rows(dialog), (QStringList{"A", "C"}));
    QCOMPARE(settingsFileText(), devicesText({{"A", "t/a"}, {"C", "t/c"}}));
}

void tst_DeviceListDialog::add_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QStringList>("rowsAfter");
    QTest::addColumn<QByteArray>("fileAfter");

    QTest::newRow("new name and topic append")
        << "Fan"
        << "plant/3" << QStringList{"Boiler", "Pump", "Fan"}
        << devicesText({{"Boiler", "plant/1"}, {"Pump", "plant/2"}, {"Fan", "plant/3"}});
    QTest::newRow("known topic renames in place")
        << "Cellar"
        << "plant/2" << QStringList{"Boiler", "Cellar"} << devicesText({{"Boiler", "plant/1"}, {"Cellar", "plant/2"}});
    QTest::newRow("known name takes the topic")
        << "Boiler"
        << "plant/9" << QStringList{"Boiler", "Pump"} << devicesText({{"Boiler", "plant/9"}, {"Pump", "plant/2"}});
}

void tst_DeviceListDialog::add()
{
    QFETCH(QString, name);
    QFETCH(QString, topic);
    QFETCH(QStringList, rowsAfter);
    QFETCH(QByteArray, fileAfter);

    writeSettingsFileText(kTwoDevices);
    QWidget opener;
    DeviceListDialog *dialog = openDialog(&opener);
    click(dialog, "pushAddd");
    AddNewDeviceForm *form = entryForm(dialog);
    QVERIFY(form);
    QVERIFY(form->isModal());
    QVERIFY(!(form->windowFlags() & Qt::WindowContextHelpButtonHint));
    QVERIFY(form->findChild<QLineEdit *>(QStringLiteral("leDeviceName"))->text().isEmpty());
    saveInForm(dialog, name, topic);
    QCOMPARE(rows(dialog), rowsAfter);
    QCOMPARE(settingsFileText(), fileAfter);
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
        << devicesText({{"Pump", "t/1"}, {"Fan", "t/2"}, {"Heater", "t/9"}});
    QTest::newRow("second same name, topic changed") << 2 << "t/3"
                                                     << "Pump"
                                                     << "t/8" << QStringList{"Pump", "Fan", "Pump"}
                                                     << devicesText({{"Pump", "t/1"}, {"Fan", "t/2"}, {"Pump", "t/8"}});
    QTest::newRow("topic of another device") << 1 << "t/2"
                                             << "Fan"
                                             << "t/1" << QStringList{"Pump", "Fan", "Pump"}
                                             << devicesText({{"Pump", "t/1"}, {"Fan", "t/1"}, {"Pump", "t/3"}});
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
    DeviceListDialog *dialog = openDialog(&opener);
    doubleClickRow(dialog, row);
    AddNewDeviceForm *form = entryForm(dialog);
    QVERIFY(form);
    QCOMPARE(form->findChild<QLineEdit *>(QStringLiteral("leDeviceName"))->text(), rows(dialog).at(row));
    QCOMPARE(form->findChild<QLineEdit *>(QStringLiteral("leMQTTTopic"))->text(), shownTopic);
    saveInForm(dialog, name, topic);
    QCOMPARE(rows(dialog), rowsAfter);
    QCOMPARE(settingsFileText(), fileAfter);

    // The next add is an add again, not an edit of that row.
    click(dialog, "pushAddd");
    saveInForm(dialog, QStringLiteral("New"), QStringLiteral("t/new"));
    QCOMPARE(rows(dialog), rowsAfter + QStringList{"New"});
}

void tst_DeviceListDialog::cancelledFormChangesNothing()
{
    writeSettingsFileText(kTwoDevices);
    QWidget opener;
    DeviceListDialog *dialog = openDialog(&opener);
    doubleClickRow(dialog, 1);
    AddNewDeviceForm *form = entryForm(dialog);
    QVERIFY(form);
    QTest::keyClicks(form->findChild<QLineEdit *>(QStringLiteral("leDeviceName")), QStringLiteral("xx"));
    click(form, "SetttCancelButton");
    QVERIFY(!entryForm(dialog));
    QCOMPARE(rows(dialog), (QStringList{"Boiler", "Pump"}));
    QCOMPARE(settingsFileText(), kTwoDevices);
}

void tst_DeviceListDialog::removeOnlySelectedRow_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QByteArray>("fileAfter");

    QTest::newRow("first of two same names") << 0 << devicesText({{"Fan", "t/2"}, {"Pump", "t/3"}});
    QTest::newRow("second of two same names") << 2 << devicesText({{"Pump", "t/1"}, {"Fan", "t/2"}});
    QTest::newRow("name borne once") << 1 << devicesText({{"Pump", "t/1"}, {"Pump", "t/3"}});
}

void tst_DeviceListDialog::removeOnlySelectedRow()
{
    QFETCH(int, row);
    QFETCH(QByteArray, fileAfter);

    writeSettingsFileText(kSameNames);
    QWidget opener;
    DeviceListDialog *dialog = openDialog(&opener);
    selectRow(dialog, row);
    QCOMPARE(list(dialog)->currentRow(), row);
    click(dialog, "pushButtonRemove");
    QCOMPARE(settingsFileText(), fileAfter);
    QCOMPARE(rows(dialog), namesInFile());
}

void tst_DeviceListDialog::removeWithoutSelectionWritesNothing()
{
    writeSettingsFileText(kTwoDevices);
    QWidget opener;
    DeviceListDialog *dialog = openDialog(&opener);
    // Taking the focus makes the first row current, though nobody picked it.
    QApplication::setActiveWindow(dialog);
    QVERIFY(QTest::qWaitForWindowActive(dialog));
    list(dialog)->setFocus(Qt::TabFocusReason);
    QCOMPARE(list(dialog)->currentRow(), 0);
    QVERIFY(list(dialog)->selectedItems().isEmpty());
    click(dialog, "pushButtonRemove");
    QCOMPARE(rows(dialog), (QStringList{"Boiler", "Pump"}));
    QCOMPARE(settingsFileText(), kTwoDevices);
}

void tst_DeviceListDialog::exitActionOnce_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("cancel button") << "cancel";
    QTest::newRow("escape key") << "escape";
    QTest::newRow("window closed") << "close";
    QTest::newRow("rejected, then closed") << "reject and close";
}

void tst_DeviceListDialog::exitActionOnce()
{
    QFETCH(QString, how);

    QWidget opener;
    QPointer<DeviceListDialog> dialog = openDialog(&opener);
    QSignalSpy exits(dialog.data(), &DeviceListDialog::ExitAction);
    if (how == QLatin1String("cancel")) {
        click(dialog, "pushButtonCancel");
    } else if (how == QLatin1String("escape")) {
        QTest::keyClick(list(dialog), Qt::Key_Escape);
    } else if (how == QLatin1String("close")) {
        dialog->close();
    } else {
        dialog->reject();
        dialog->close();
    }
    QCOMPARE(exits.count(), 1);
    QTRY_VERIFY(dialog.isNull());
}

void tst_DeviceListDialog::mainWindowTabsFollowFile_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("cancel button") << "cancel";
    QTest::newRow("escape key") << "escape";
    QTest::newRow("window closed") << "close";
}

void tst_DeviceListDialog::mainWindowTabsFollowFile()
{
    QFETCH(QString, how);

    writeSettingsFileText(kSameNames);
    QMQTT::Client client;
    MainWindow window(&client);
    window.show();
    QCOMPARE(tabTitles(window), (QStringList{"Pump", "Fan", "Pump"}));

    window.findChild<QAction *>(QStringLiteral("actionAddNewDevice"))->trigger();
    QPointer<DeviceListDialog> dialog = window.findChild<DeviceListDialog *>();
    QVERIFY(dialog);
    selectRow(dialog, 0);
    click(dialog, "pushButtonRemove");
    click(dialog, "pushAddd");
    saveInForm(dialog, QStringLiteral("Котёл"), QStringLiteral("t/k"));
    QCOMPARE(tabTitles(window), (QStringList{"Pump", "Fan", "Pump"}));

    if (how == QLatin1String("cancel"))
        click(dialog, "pushButtonCancel");
    else if (how == QLatin1String("escape"))
        QTest::keyClick(list(dialog), Qt::Key_Escape);
    else
        dialog->close();
    QTRY_VERIFY(dialog.isNull());
    QCOMPARE(namesInFile(), (QStringList{"Fan", "Pump", QStringLiteral("Котёл")}));
    QCOMPARE(tabTitles(window), namesInFile());
}

void tst_DeviceListDialog::failedWriteIsReported_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<QString>("change");
    QTest::addColumn<QStringList>("rowsAfter");

    const QStringList none;
    const QStringList both{"Boiler", "Pump"};
    QTest::newRow("add, directory in place of the file") << "directory"
                                                         << "add" << none;
    QTest::newRow("edit, directory in place of the file") << "directory"
                                                          << "edit" << none;
    QTest::newRow("add, unchangeable file") << "immutable"
                                            << "add" << both;
    QTest::newRow("edit, unchangeable file") << "immutable"
                                             << "edit" << both;
    QTest::newRow("remove, unchangeable file") << "immutable"
                                               << "remove" << both;
}

void tst_DeviceListDialog::failedWriteIsReported()
{
    QFETCH(QString, failure);
    QFETCH(QString, change);
    QFETCH(QStringList, rowsAfter);

    writeSettingsFileText(kTwoDevices);
    QWidget opener;
    DeviceListDialog *dialog = openDialog(&opener);
    QCOMPARE(rows(dialog), (QStringList{"Boiler", "Pump"}));

    if (failure == QLatin1String("directory")) {
        QVERIFY(QFile::rename(kFile, QStringLiteral("saved.conf")));
        QVERIFY(QDir().mkdir(kFile));
    } else {
        if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), kFile}) != 0)
            QSKIP("chattr +i is not available here");
        m_locked = true;
    }

    if (change == QLatin1String("add")) {
        click(dialog, "pushAddd");
        saveInForm(dialog, QStringLiteral("Fan"), QStringLiteral("plant/3"));
    } else if (change == QLatin1String("edit")) {
        doubleClickRow(dialog, 1);
        saveInForm(dialog, QStringLiteral("Fan"), QStringLiteral("plant/3"));
    } else {
        selectRow(dialog, 0);
        click(dialog, "pushButtonRemove");
    }

    QMessageBox *box = messageBox(dialog);
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("Не удалось записать изменения в файл Settings.conf, они не сохранены.\n"
                                         "Список показывает устройства, которые записаны в файле."));
    QCOMPARE(rows(dialog), rowsAfter);
    QCOMPARE(rows(dialog), namesInFile());
    box->button(QMessageBox::Ok)->click();
    QTRY_VERIFY(!messageBox(dialog));
    QVERIFY(dialog->isVisible());

    if (failure == QLatin1String("immutable"))
        QCOMPARE(settingsFileText(), kTwoDevices);
    else
        QCOMPARE(QFile(QStringLiteral("saved.conf")).size(), qint64(kTwoDevices.size()));
}

// Other code finds these by index, so their order is part of the interface.
void tst_DeviceListDialog::metaObjectMethodOrder()
{
    const QMetaObject &meta = DeviceListDialog::staticMetaObject;
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        methods.append(QString::fromLatin1(meta.method(i).methodSignature()));
    QCOMPARE(methods,
             (QStringList{"ExitAction()", "on_pushAddd_clicked()", "on_pushButtonCancel_clicked()",
                          "on_pushButtonRemove_clicked()", "on_listWidget_itemDoubleClicked(QListWidgetItem*)"}));
}

QTEST_MAIN(tst_DeviceListDialog)
#include "tst_devicelistdialog.moc"
