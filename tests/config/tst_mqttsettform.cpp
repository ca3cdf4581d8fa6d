#include "common/scratchdirectory.h"
#include "config/mqttsettform.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QtTest>

#include <memory>

namespace {

const QString kFile = QStringLiteral("Settings.conf");

// Opened the way the main window opens it.
MQTTSettForm *openForm(QWidget *opener)
{
    auto *form = new MQTTSettForm(opener);
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->setWindowFlags(form->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    form->setModal(true);
    form->show();
    return form;
}

QLineEdit *edit(QWidget *form, const char *name)
{
    auto *lineEdit = form->findChild<QLineEdit *>(QLatin1String(name));
    Q_ASSERT(lineEdit);
    return lineEdit;
}

QSpinBox *portBox(QWidget *form)
{
    return form->findChild<QSpinBox *>(QStringLiteral("sbPort"));
}

void click(QWidget *form, const char *buttonName)
{
    QTest::mouseClick(form->findChild<QPushButton *>(QLatin1String(buttonName)), Qt::LeftButton);
}

void replaceText(QLineEdit *lineEdit, const QString &text)
{
    lineEdit->selectAll();
    QTest::keyClick(lineEdit, Qt::Key_Delete);
    QTest::keyClicks(lineEdit, text);
}

QMessageBox *messageBox(QWidget *form)
{
    for (QMessageBox *box : form->findChildren<QMessageBox *>()) {
        if (box->isVisible())
            return box;
    }
    return nullptr;
}

// Spaced by hand, so that any rewrite by QSettings shows in the text.
const QByteArray kStored = "[MQTT]\n"
                           "Host = 127.0.0.1\n"
                           "Port = 8883\n"
                           "clientId = panel1\n"
                           "passwd = secret\n"
                           "username = operator\n";

} // namespace

class tst_MQTTSettForm : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void defaultsWithoutFile();
    void showsStoredValues_data();
    void showsStoredValues();
    void saveWritesFiveKeys();
    void saveKeepsOtherGroups();
    void dismissWritesNothing_data();
    void dismissWritesNothing();
    void failedSaveKeepsTypedValues();
    void tabOrder();
    void metaObjectMethodOrder();

private:
    std::unique_ptr<ScratchDirectory> m_dir;
};

void tst_MQTTSettForm::init()
{
    m_dir = std::make_unique<ScratchDirectory>();
    QVERIFY(m_dir->isValid());
}

void tst_MQTTSettForm::cleanup()
{
    m_dir.reset();
}

void tst_MQTTSettForm::defaultsWithoutFile()
{
    QWidget opener;
    MQTTSettForm *form = openForm(&opener);
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
    QTest::newRow("port that is not a number")
        << QByteArray("[MQTT]\nPort=abc\n") << "localhost" << 1 << QString() << QByteArray("1");
    QTest::newRow("port zero") << QByteArray("[MQTT]\nPort=0\n") << "localhost" << 1 << QString() << QByteArray("1");
    QTest::newRow("port above the range")
        << QByteArray("[MQTT]\nPort=70000\n") << "localhost" << 65535 << QString() << QByteArray("65535");
    QTest::newRow("empty host stays empty")
        << QByteArray("[MQTT]\nHost=\n") << QString() << 1883 << QString() << QByteArray("1883");
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
    QPointer<MQTTSettForm> form = openForm(&opener);
    QCOMPARE(edit(form, "leHost")->text(), host);
    QCOMPARE(portBox(form)->value(), port);
    QCOMPARE(edit(form, "lePasswd")->text(), password);
    QCOMPARE(edit(form, "lePasswd")->echoMode(), QLineEdit::Normal);

    click(form, "SetttSaveButton");
    QTRY_VERIFY(form.isNull());
    QVERIFY2(settingsFileText().contains("\nPort=" + portSaved + '\n'), settingsFileText().constData());
}

void tst_MQTTSettForm::saveWritesFiveKeys()
{
    QWidget opener;
    QPointer<MQTTSettForm> form = openForm(&opener);
    replaceText(edit(form, "leHost"), QStringLiteral(" ::1 "));
    replaceText(edit(form, "leClientId"), QStringLiteral("panel1"));
    replaceText(edit(form, "leUser"), QStringLiteral("operator"));
    replaceText(edit(form, "lePasswd"), QStringLiteral("s3cret"));
    portBox(form)->selectAll();
    QTest::keyClicks(portBox(form), QStringLiteral("8883"));
    click(form, "SetttSaveButton");
    QTRY_VERIFY(form.isNull());

    QCOMPARE(settingsFileText(), QByteArray("[MQTT]\n"
                                            "Host=\" ::1 \"\n"
                                            "Port=8883\n"
                                            "clientId=panel1\n"
                                            "passwd=s3cret\n"
                                            "username=operator\n"));
    QCOMPARE(QFile::permissions(kFile),
             QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser);

    // Opening again shows what was saved.
    form = openForm(&opener);
    QCOMPARE(edit(form, "leHost")->text(), QStringLiteral(" ::1 "));
    QCOMPARE(portBox(form)->value(), 8883);
    QCOMPARE(edit(form, "lePasswd")->text(), QStringLiteral("s3cret"));
}

void tst_MQTTSettForm::saveKeepsOtherGroups()
{
    writeSettingsFileText("[Devices]\nDEV\\1\\dev_name=Pump\nDEV\\1\\topic=t/1\nDEV\\size=1\n");
    QWidget opener;
    QPointer<MQTTSettForm> form = openForm(&opener);
    click(form, "SetttSaveButton");
    QTRY_VERIFY(form.isNull());
    QCOMPARE(settingsFileText(), QByteArray("[Devices]\nDEV\\1\\dev_name=Pump\nDEV\\1\\topic=t/1\nDEV\\size=1\n\n"
                                            "[MQTT]\nHost=localhost\nPort=1883\nclientId=\npasswd=\nusername=\n"));
}

void tst_MQTTSettForm::dismissWritesNothing_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("how");

    QTest::newRow("cancel, no file") << QByteArray() << "cancel";
    QTest::newRow("cancel") << kStored << "cancel";
    QTest::newRow("escape key") << kStored << "escape";
    QTest::newRow("window closed") << kStored << "close";
}

void tst_MQTTSettForm::dismissWritesNothing()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, how);

    if (!stored.isEmpty())
        writeSettingsFileText(stored);
    QWidget opener;
    QPointer<MQTTSettForm> form = openForm(&opener);
    replaceText(edit(form, "leHost"), QStringLiteral("10.0.0.1"));
    replaceText(edit(form, "lePasswd"), QStringLiteral("other"));
    if (how == QLatin1String("cancel"))
        click(form, "SetttCancelButton");
    else if (how == QLatin1String("escape"))
        QTest::keyClick(edit(form, "leHost"), Qt::Key_Escape);
    else
        form->close();
    QTRY_VERIFY(form.isNull());

    QCOMPARE(settingsFileText(), stored.isEmpty() ? QByteArray("<no file>") : stored);
    form = openForm(&opener);
    QCOMPARE(edit(form, "leHost")->text(),
             stored.isEmpty() ? QStringLiteral("localhost") : QStringLiteral("127.0.0.1"));
}

void tst_MQTTSettForm::failedSaveKeepsTypedValues()
{
    QVERIFY(QDir().mkdir(kFile));
    QWidget opener;
    QPointer<MQTTSettForm> form = openForm(&opener);
    replaceText(edit(form, "leHost"), QStringLiteral("127.0.0.2"));
    replaceText(edit(form, "lePasswd"), QStringLiteral("typed"));
    click(form, "SetttSaveButton");

    QMessageBox *box = messageBox(form);
    QVERIFY(box);
    QCOMPARE(box->text(), QStringLiteral("Не удалось сохранить настройки в файл Settings.conf.\n"
                                         "Проверьте, что файл доступен для записи, и сохраните ещё раз."));
    box->button(QMessageBox::Ok)->click();
    QTRY_VERIFY(!messageBox(form));
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
    MQTTSettForm *form = openForm(&opener);
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

// Other code finds these by index, so their order is part of the interface.
void tst_MQTTSettForm::metaObjectMethodOrder()
{
    const QMetaObject &meta = MQTTSettForm::staticMetaObject;
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        methods.append(QString::fromLatin1(meta.method(i).methodSignature()));
    QCOMPARE(methods, (QStringList{"on_SetttSaveButton_clicked()", "on_SetttCancelButton_clicked()"}));
}

QTEST_MAIN(tst_MQTTSettForm)
#include "tst_mqttsettform.moc"
