#include "common/widgets.h"
#include "config/addnewdeviceform.h"

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QtTest>

namespace {

QLineEdit *nameEdit(AddNewDeviceForm *form)
{
    return child<QLineEdit>(form, QStringLiteral("leDeviceName"));
}

QLineEdit *topicEdit(AddNewDeviceForm *form)
{
    return child<QLineEdit>(form, QStringLiteral("leMQTTTopic"));
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
    void sizeFitsItsTexts_data();
    void sizeFitsItsTexts();
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
    auto *form = openModal<AddNewDeviceForm>(&opener, name, topic);
    QCOMPARE(nameEdit(form)->text(), name);
    QCOMPARE(topicEdit(form)->text(), topic);
    QCOMPARE(form->windowTitle(), QStringLiteral("Dialog"));
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
    QPointer<AddNewDeviceForm> form =
        openModal<AddNewDeviceForm>(&opener, QStringLiteral("Old"), QStringLiteral("old/topic"));
    QSignalSpy spy(form.data(), &AddNewDeviceForm::SetItem);
    nameEdit(form)->clear();
    topicEdit(form)->clear();
    typeText(nameEdit(form), typedName);
    typeText(topicEdit(form), typedTopic);
    click(form, "SetttSaveButton");

    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), typedName);
    QCOMPARE(spy.at(0).at(1).toString(), typedTopic);
    QTRY_VERIFY(form.isNull());
}

void tst_AddNewDeviceForm::dismissHandsOnNothing_data()
{
    QTest::addColumn<WidgetAction>("dismiss");
    for (const auto &[name, dismiss] : dismissals(QStringLiteral("SetttCancelButton"), QStringLiteral("leDeviceName")))
        QTest::newRow(name) << dismiss;
}

void tst_AddNewDeviceForm::dismissHandsOnNothing()
{
    QFETCH(WidgetAction, dismiss);

    QWidget opener;
    QPointer<AddNewDeviceForm> form =
        openModal<AddNewDeviceForm>(&opener, QStringLiteral("Pump"), QStringLiteral("t/1"));
    QSignalSpy spy(form.data(), &AddNewDeviceForm::SetItem);
    QTest::keyClicks(nameEdit(form), QStringLiteral(" edited"));
    dismiss(form);

    QTRY_VERIFY(form.isNull());
    QCOMPARE(spy.count(), 0);
}

// Other code finds these by index, so their order is part of the interface.
// The form was made 290 by 95 pixels for a font in which its labels take 60;
// with Debian's fonts only their first letters showed.
void tst_AddNewDeviceForm::sizeFitsItsTexts_data()
{
    QTest::addColumn<int>("pixelSize"); // of the application font; 0 keeps the platform's
    QTest::newRow("the platform's font") << 0;
    QTest::newRow("a font in which the texts fit") << 8;
}

void tst_AddNewDeviceForm::sizeFitsItsTexts()
{
    QFETCH(int, pixelSize);
    const QFont platform = QApplication::font();
    const auto restore = qScopeGuard([platform] { QApplication::setFont(platform); });
    if (pixelSize > 0) {
        QFont font = platform;
        font.setPixelSize(pixelSize);
        QApplication::setFont(font);
    }

    QWidget opener;
    auto *form = openModal<AddNewDeviceForm>(&opener, QStringLiteral("Насос 1"), QStringLiteral("plant/pump1"));
    QVERIFY(QTest::qWaitForWindowExposed(form));
    QCOMPARE(clippedTexts(form), QStringList());
    int labelWidth = 0;
    for (const QLabel *label : form->findChildren<QLabel *>())
        labelWidth = qMax(labelWidth, label->sizeHint().width());
    if (labelWidth <= 60) {
        QCOMPARE(form->size(), QSize(290, 95));
    } else {
        // Just enough: the fields keep their least width.
        QCOMPARE(form->height(), 95);
        QCOMPARE(nameEdit(form)->width(), nameEdit(form)->minimumWidth());
        QCOMPARE(topicEdit(form)->width(), topicEdit(form)->minimumWidth());
    }
}

void tst_AddNewDeviceForm::metaObjectMethodOrder()
{
    QCOMPARE(
        ownMethods(AddNewDeviceForm::staticMetaObject),
        (QStringList{"SetItem(QString,QString)", "on_SetttCancelButton_clicked()", "on_SetttSaveButton_clicked()"}));
}

QTEST_MAIN(tst_AddNewDeviceForm)
#include "tst_addnewdeviceform.moc"
