#include "common/filesizelimit.h"
#include "common/scratchdirectorytest.h"
#include "common/settingstext.h"
#include "common/widgets.h"
#include "config/mqttsettform.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QSpinBox>
#include <QtTest>

namespace {

const QString kFile = QStringLiteral("Settings.conf");

QLineEdit *edit(QWidget *form, const char *name)
{
    return child<QLineEdit>(form, QLatin1String(name));
}

QSpinBox *portBox(QWidget *form)
{
    return child<QSpinBox>(form, QStringLiteral("sbPort"));
}

// Spaced by hand: a write leaves the lines it does not change as they are.
const QByteArray kStored = "[MQTT]\n"
                           "Host = 127.0.0.1\n"
                           "Port = 8883\n"
                           "clientId = panel1\n"
                           "passwd = secret\n"
                           "username = operator\n";

} // namespace

class tst_MQTTSettForm : public ScratchDirectoryTest
{
    Q_OBJECT

private slots:

    void defaultsWithoutFile();
    void showsStoredValues_data();
    void showsStoredValues();
    void saveWritesFiveKeys_data();
    void saveWritesFiveKeys();
    void saveKeepsOtherGroups();
    void dismissWritesNothing_data();
    void dismissWritesNothing();
    void failedSaveKeepsTypedValues();
    void tabOrder();
    void writeCutShortIsReported();
    void textsShowWhole();
    void metaObjectMethodOrder();
};

void tst_MQTTSettForm::defaultsWithoutFile()
{
    QWidget opener;
    auto *form = openModal<MQTTSettForm>(&opener);
    QCOMPARE(form->windowTitle(), QStringLiteral("Настройки MQTT"));
    QCOMPARE(edit(form, "leHost")->text(), QStringLiteral("localhost"));
    QCOMPARE(portBox(form)->value(), 1883);
    QVERIFY(edit(form, "leClientId")->text().isEmpty());
    QVERIFY(edit(form, "leUser")->text().isEmpty());
    QVERIFY(edit(form, "lePasswd")->text().isEmpty());
    form->close();
    QVERIFY(!QFile::exists(kFile));
}

void tst_MQTTSettForm::showsStoredValues_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("portSaved");

    QTest::newRow("stored values") << kStored << "127.0.0.1" << 8883 << "secret" << QByteArray("8883");
    const auto port = [](const char *text) { return SettingsText().value("MQTT", "Port", text).bytes(); };
    QTest::newRow("port that is not a number") << port("abc") << "localhost" << 1 << QString() << QByteArray("1");
    QTest::newRow("port zero") << port("0") << "localhost" << 1 << QString() << QByteArray("1");
    QTest::newRow("port above the range") << port("70000") << "localhost" << 65535 << QString() << QByteArray("65535");
    QTest::newRow("empty host stays empty")
        << SettingsText().value("MQTT", "Host", "").bytes() << QString() << 1883 << QString() << QByteArray("1883");
}

void tst_MQTTSettForm::showsStoredValues()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, password);
    QFETCH(QByteArray, portSaved);

    writeSettingsFileText(stored);
    QWidget opener;
    QPointer<MQTTSettForm> form = openModal<MQTTSettForm>(&opener);
    QCOMPARE(edit(form, "leHost")->text(), host);
    QCOMPARE(portBox(form)->value(), port);
    QCOMPARE(edit(form, "lePasswd")->text(), password);
    QCOMPARE(edit(form, "lePasswd")->echoMode(), QLineEdit::Normal);

    click(form, "SetttSaveButton");
    QTRY_VERIFY(form.isNull());
    QCOMPARE(readByQSettings(QStringLiteral("MQTT/Port")).toString(), QString::fromLatin1(portSaved));
}

void tst_MQTTSettForm::saveWritesFiveKeys_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("clientId");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");

    QTest::newRow("typed values") << " ::1 "
                                  << "panel1"
                                  << "operator"
                                  << "s3cret";
    // Written unquoted, a comma made the value read back as a list; written
    // as \0 and the digit, a zero character and a digit read back as one
    // other character.
    QTest::newRow("commas and a zero character before a digit")
        << "broker,1" << QStringLiteral("panel") + QChar(0) + QStringLiteral("7") << "a, b"
        << QStringLiteral("s,3") + QChar(0) + QStringLiteral("42");
}

void tst_MQTTSettForm::saveWritesFiveKeys()
{
    QFETCH(QString, host);
    QFETCH(QString, clientId);
    QFETCH(QString, user);
    QFETCH(QString, password);

    QWidget opener;
    QPointer<MQTTSettForm> form = openModal<MQTTSettForm>(&opener);
    edit(form, "leHost")->setText(host);
    edit(form, "leClientId")->setText(clientId);
    edit(form, "leUser")->setText(user);
    edit(form, "lePasswd")->setText(password);
    portBox(form)->selectAll();
    QTest::keyClicks(portBox(form), QStringLiteral("8883"));
    click(form, "SetttSaveButton");
    QTRY_VERIFY(form.isNull());

    QCOMPARE(settingsFileText(), SettingsText().broker(host, 8883).clientId(clientId).login(user, password).bytes());
    QCOMPARE(readByQSettings(QStringLiteral("MQTT/Host")), QVariant(host));
    QCOMPARE(readByQSettings(QStringLiteral("MQTT/clientId")), QVariant(clientId));
    QCOMPARE(readByQSettings(QStringLiteral("MQTT/username")), QVariant(user));
    QCOMPARE(readByQSettings(QStringLiteral("MQTT/passwd")), QVariant(password));
    QCOMPARE(QFile::permissions(kFile),
             QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser);

    // Opening again shows what was saved.
    form = openModal<MQTTSettForm>(&opener);
    QCOMPARE(edit(form, "leHost")->text(), host);
    QCOMPARE(portBox(form)->value(), 8883);
    QCOMPARE(edit(form, "lePasswd")->text(), password);
}

void tst_MQTTSettForm::saveKeepsOtherGroups()
{
    writeSettingsFileText(SettingsText().device("Pump", "t/1").bytes());
    QWidget opener;
    QPointer<MQTTSettForm> form = openModal<MQTTSettForm>(&opener);
    click(form, "SetttSaveButton");
    QTRY_VERIFY(form.isNull());
    QCOMPARE(settingsFileText(),
             SettingsText().device("Pump", "t/1").broker("localhost", 1883).clientId("").login("", "").bytes());
}

void tst_MQTTSettForm::dismissWritesNothing_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<WidgetAction>("dismiss");

    const auto ways = dismissals(QStringLiteral("SetttCancelButton"), QStringLiteral("leHost"));
    QTest::newRow("cancel, no file") << QByteArray() << ways.front().second;
    for (const auto &[name, dismiss] : ways)
        QTest::newRow(name) << kStored << dismiss;
}

void tst_MQTTSettForm::dismissWritesNothing()
{
    QFETCH(QByteArray, stored);
    QFETCH(WidgetAction, dismiss);

    if (!stored.isEmpty())
        writeSettingsFileText(stored);
    QWidget opener;
    QPointer<MQTTSettForm> form = openModal<MQTTSettForm>(&opener);
    replaceText(edit(form, "leHost"), QStringLiteral("10.0.0.1"));
    replaceText(edit(form, "lePasswd"), QStringLiteral("other"));
    const qint64 identity = settingsFileIdentity();
    dismiss(form);
    QTRY_VERIFY(form.isNull());

    QCOMPARE(settingsFileText(), stored.isEmpty() ? QByteArray("<no file>") : stored);
    QCOMPARE(settingsFileIdentity(), identity);
    form = openModal<MQTTSettForm>(&opener);
    QCOMPARE(edit(form, "leHost")->text(),
             stored.isEmpty() ? QStringLiteral("localhost") : QStringLiteral("127.0.0.1"));
}

void tst_MQTTSettForm::failedSaveKeepsTypedValues()
{
    QVERIFY(QDir().mkdir(kFile));
    QWidget opener;
    QPointer<MQTTSettForm> form = openModal<MQTTSettForm>(&opener);
    replaceText(edit(form, "leHost"), QStringLiteral("127.0.0.2"));
    replaceText(edit(form, "lePasswd"), QStringLiteral("typed"));
    click(form, "SetttSaveButton");

    QCOMPARE(answerMessageBox(form), QStringLiteral("Не удалось сохранить настройки в файл Settings.conf.\n"
                                                    "Проверьте, что файл доступен для записи, и сохраните ещё раз."));
    QTRY_VERIFY(!shown<QMessageBox>(form));
    QVERIFY(form);
    QVERIFY(form->isVisible());
    QCOMPARE(edit(form, "leHost")->text(), QStringLiteral("127.0.0.2"));
    QCOMPARE(edit(form, "lePasswd")->text(), QStringLiteral("typed"));

    // Once the file can be written, the same values are saved.
    QVERIFY(QDir().rmdir(kFile));
    click(form, "SetttSaveButton");
    QTRY_VERIFY(form.isNull());
    QVERIFY(settingsFileText().contains("Host=127.0.0.2\n"));
    QVERIFY(settingsFileText().contains("passwd=typed\n"));
}

void tst_MQTTSettForm::tabOrder()
{
    QWidget opener;
    auto *form = openModal<MQTTSettForm>(&opener);
    QApplication::setActiveWindow(form);
    QVERIFY(QTest::qWaitForWindowActive(form));
    portBox(form)->setFocus();

    QStringList order;
    for (int i = 0; i < 7; ++i) {
        order.append(QApplication::focusWidget()->objectName());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    QCOMPARE(order, (QStringList{"sbPort", "lePasswd", "leUser", "leHost", "leClientId", "SetttSaveButton",
                                 "SetttCancelButton"}));
    QCOMPARE(QApplication::focusWidget()->objectName(), QStringLiteral("sbPort"));
}

// The disk fills up while the file is written, after every check before it
// passed: the save is reported as failed, and the file is as it was.
void tst_MQTTSettForm::writeCutShortIsReported()
{
    writeSettingsFileText(kStored);
    QWidget opener;
    QPointer<MQTTSettForm> form = openModal<MQTTSettForm>(&opener);
    replaceText(edit(form, "leHost"), QString(2048, QLatin1Char('h')));
    {
        const FileSizeLimit fullDisk(1024);
        QVERIFY(fullDisk.isValid());
        click(form, "SetttSaveButton");
    }
    QCOMPARE(answerMessageBox(form), QStringLiteral("Не удалось сохранить настройки в файл Settings.conf.\n"
                                                    "Проверьте, что файл доступен для записи, и сохраните ещё раз."));
    QVERIFY(form);
    QCOMPARE(settingsFileText(), kStored);
}

// The two buttons shared 150 pixels, too few for "Сохранить" in Debian's
// font; the row grows to the left, within the form's own size.
void tst_MQTTSettForm::textsShowWhole()
{
    QWidget opener;
    auto *form = openModal<MQTTSettForm>(&opener);
    QVERIFY(QTest::qWaitForWindowExposed(form));
    QCOMPARE(clippedTexts(form), QStringList());
    QCOMPARE(form->size(), QSize(490, 225));
}

// Other code finds these by index, so their order is part of the interface.
void tst_MQTTSettForm::metaObjectMethodOrder()
{
    QCOMPARE(ownMethods(MQTTSettForm::staticMetaObject),
             (QStringList{"on_SetttSaveButton_clicked()", "on_SetttCancelButton_clicked()"}));
}

QTEST_MAIN(tst_MQTTSettForm)
#include "tst_mqttsettform.moc"
