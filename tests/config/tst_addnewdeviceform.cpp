#include "config/addnewdeviceform.h"

#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

namespace {

// Opened the way the device list opens it.
AddNewDeviceForm *openForm(QWidget *opener, const QString &name, const QString &topic)
{
    auto *form = new AddNewDeviceForm(opener, name, topic);
    form->setAttribute(Qt::WA_DeleteOnClose);
    form->setWindowFlags(form->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    form->setModal(true);
    form->show();
    return form;
}

// QTest::keyClicks knows Latin-1 keys only; a keyboard layout delivers the
// other characters as text on an unknown key.
void typeText(QWidget *widget, const QString &text)
{
    for (const QChar ch : text) {
        QTest::sendKeyEvent(QTest::Press, widget, Qt::Key_unknown, QString(ch), Qt::NoModifier);
        QTest::sendKeyEvent(QTest::Release, widget, Qt::Key_unknown, QString(ch), Qt::NoModifier);
    }
}

QLineEdit *nameEdit(AddNewDeviceForm *form)
{
    return form->findChild<QLineEdit *>(QStringLiteral("leDeviceName"));
}

QLineEdit *topicEdit(AddNewDeviceForm *form)
{
    return form->findChild<QLineEdit *>(QStringLiteral("leMQTTTopic"));
}

} // namespace

class tst_AddNewDeviceForm : public QObject
{
    Q_OBJECT

private slots:
    void prefill_data();
    void prefill();
    void saveHandsOnTypedText_data();
    void saveHandsOnTypedText();
    void dismissHandsOnNothing_data();
    void dismissHandsOnNothing();
    void metaObjectMethodOrder();
};

void tst_AddNewDeviceForm::prefill_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("topic");

    QTest::newRow("add opens empty") << QString() << QString();
    QTest::newRow("edit fills both") << QStringLiteral("Котёл") << "plant/meter1";
    QTest::newRow("device without topic") << "Pump" << QString();
}

void tst_AddNewDeviceForm::prefill()
{
    QFETCH(QString, name);
    QFETCH(QString, topic);

    QWidget opener;
    AddNewDeviceForm *form = openForm(&opener, name, topic);
    QCOMPARE(nameEdit(form)->text(), name);
    QCOMPARE(topicEdit(form)->text(), topic);
    QCOMPARE(form->windowTitle(), QStringLiteral("Dialog"));
    QCOMPARE(form->size(), QSize(290, 95));
}

void tst_AddNewDeviceForm::saveHandsOnTypedText_data()
{
    QTest::addColumn<QString>("typedName");
    QTest::addColumn<QString>("typedTopic");

    QTest::newRow("blanks are kept") << " Boiler room "
                                     << " plant/meter1 ";
    QTest::newRow("cyrillic name") << QStringLiteral("Котёл 2") << "plant/meter2";
    QTest::newRow("both empty") << QString() << QString();
}

void tst_AddNewDeviceForm::saveHandsOnTypedText()
{
    QFETCH(QString, typedName);
    QFETCH(QString, typedTopic);

    QWidget opener;
    QPointer<AddNewDeviceForm> form = openForm(&opener, QStringLiteral("Old"), QStringLiteral("old/topic"));
    QSignalSpy spy(form.data(), &AddNewDeviceForm::SetItem);
    nameEdit(form)->clear();
    topicEdit(form)->clear();
    typeText(nameEdit(form), typedName);
    typeText(topicEdit(form), typedTopic);
    QTest::mouseClick(form->findChild<QPushButton *>(QStringLiteral("SetttSaveButton")), Qt::LeftButton);

    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), typedName);
    QCOMPARE(spy.at(0).at(1).toString(), typedTopic);
    QTRY_VERIFY(form.isNull());
}

void tst_AddNewDeviceForm::dismissHandsOnNothing_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("cancel button") << "cancel";
    QTest::newRow("escape key") << "escape";
    QTest::newRow("window closed") << "close";
}

void tst_AddNewDeviceForm::dismissHandsOnNothing()
{
    QFETCH(QString, how);

    QWidget opener;
    QPointer<AddNewDeviceForm> form = openForm(&opener, QStringLiteral("Pump"), QStringLiteral("t/1"));
    QSignalSpy spy(form.data(), &AddNewDeviceForm::SetItem);
    QTest::keyClicks(nameEdit(form), QStringLiteral(" edited"));
    if (how == QLatin1String("cancel"))
        QTest::mouseClick(form->findChild<QPushButton *>(QStringLiteral("SetttCancelButton")), Qt::LeftButton);
    else if (how == QLatin1String("escape"))
        QTest::keyClick(nameEdit(form), Qt::Key_Escape);
    else
        form->close();

    QTRY_VERIFY(form.isNull());
    QCOMPARE(spy.count(), 0);
}

// Other code finds these by index, so their order is part of the interface.
void tst_AddNewDeviceForm::metaObjectMethodOrder()
{
    const QMetaObject &meta = AddNewDeviceForm::staticMetaObject;
    QStringList methods;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i)
        methods.append(QString::fromLatin1(meta.method(i).methodSignature()));
    QCOMPARE(methods, (QStringList{"SetItem(QString,QString)", "on_SetttCancelButton_clicked()",
                                   "on_SetttSaveButton_clicked()"}));
}

QTEST_MAIN(tst_AddNewDeviceForm)
#include "tst_addnewdeviceform.moc"
