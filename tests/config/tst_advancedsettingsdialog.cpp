#include "common/filesizelimit.h"
#include "common/scratchdirectorytest.h"
#include "common/settingstext.h"
#include "common/widgets.h"
#include "config/advancedsettingsdialog.h"
#include "config/settingsfile.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QPointer>
#include <QSpinBox>
#include <QToolButton>
#include <QtTest>

namespace {

QCheckBox *box(QWidget *dialog, const char *name)
{
    return child<QCheckBox>(dialog, QLatin1String(name));
}

QLineEdit *edit(QWidget *dialog, const char *name)
{
    return child<QLineEdit>(dialog, QLatin1String(name));
}

QSpinBox *keepAlive(QWidget *dialog)
{
    return child<QSpinBox>(dialog, QStringLiteral("sbKeepAlive"));
}

// The dialog's fields as one line, to compare rows with.
QString fields(QWidget *dialog)
{
    return QStringLiteral("reconnect=%1 onStart=%2 keepAlive=%3 tls=%4 ca=%5 cert=%6 key=%7 verifyHost=%8")
        .arg(box(dialog, "cbAutoReconnect")->isChecked())
        .arg(box(dialog, "cbConnectOnStart")->isChecked())
        .arg(keepAlive(dialog)->value())
        .arg(box(dialog, "cbTls")->isChecked())
        .arg(edit(dialog, "leCaFile")->text(), edit(dialog, "leCertFile")->text(), edit(dialog, "leKeyFile")->text())
        .arg(box(dialog, "cbTlsVerifyHost")->isChecked());
}

// A PEM file that exists; what it holds is no business of the dialog.
QString existingFile(const QString &name)
{
    QFile file(name);
    file.open(QIODevice::WriteOnly);
    file.write("-----BEGIN CERTIFICATE-----\n");
    return QFileInfo(file).absoluteFilePath();
}

const QByteArray kBroker = SettingsText().broker("127.0.0.1", 1884).login("operator", "secret").bytes();

} // namespace

class tst_AdvancedSettingsDialog : public ScratchDirectoryTest
{
    Q_OBJECT

private slots:

    void showsStoredValues_data();
    void showsStoredValues();
    void saveWritesEveryKey();
    void badValueIsRefused_data();
    void badValueIsRefused();
    void dismissWritesNothing_data();
    void dismissWritesNothing();
    void chooserFillsThePath();
    void historyIsShownAndSaved_data();
    void historyIsShownAndSaved();
    void failedSaveWritesNothing();
    void daysFollowTheHistorySwitch();
    void unusedPathIsSavedUnchecked();
};

void tst_AdvancedSettingsDialog::showsStoredValues_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("shown");

    QTest::newRow("no file") << QByteArray() << "reconnect=0 onStart=0 keepAlive=300 tls=0 ca= cert= key= verifyHost=1";
    QTest::newRow("stored values") << QByteArray("[MQTT]\nAutoReconnect=true\nConnectOnStart=true\nKeepAlive=30\n"
                                                 "Tls=true\nCaFile=/ca.pem\nCertFile=/c.pem\nKeyFile=/k.pem\n"
                                                 "TlsVerifyHost=false\n")
                                   << "reconnect=1 onStart=1 keepAlive=30 tls=1 ca=/ca.pem cert=/c.pem key=/k.pem "
                                      "verifyHost=0";
    QTest::newRow("keep-alive out of range shows the default") << QByteArray("[MQTT]\nKeepAlive=2\n")
                                                               << "reconnect=0 onStart=0 keepAlive=300 tls=0 ca= "
                                                                  "cert= key= verifyHost=1";
}

void tst_AdvancedSettingsDialog::showsStoredValues()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, shown);
    if (!stored.isEmpty())
        writeSettingsFileText(stored);
    QWidget opener;
    auto *dialog = openModal<AdvancedSettingsDialog>(&opener);
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Дополнительные настройки MQTT"));
    QCOMPARE(fields(dialog), shown);
    QCOMPARE(clippedTexts(dialog), QStringList());
}

void tst_AdvancedSettingsDialog::saveWritesEveryKey()
{
    writeSettingsFileText(kBroker);
    const QString ca = existingFile(QStringLiteral("ca.pem"));
    const QString cert = existingFile(QStringLiteral("client.pem"));
    const QString key = existingFile(QStringLiteral("client.key"));
    QWidget opener;
    QPointer<AdvancedSettingsDialog> dialog = openModal<AdvancedSettingsDialog>(&opener);
    box(dialog, "cbAutoReconnect")->click();
    box(dialog, "cbTls")->click();
    box(dialog, "cbTlsVerifyHost")->click();
    keepAlive(dialog)->setValue(45);
    replaceText(edit(dialog, "leCaFile"), ca);
    replaceText(edit(dialog, "leCertFile"), cert);
    replaceText(edit(dialog, "leKeyFile"), key);
    click(dialog, "pushButtonSave");
    QTRY_VERIFY(dialog.isNull());

    const ConnectionOptions saved = SettingsFile().readSessionSettings().options;
    QVERIFY(saved.autoReconnect && !saved.connectOnStart && saved.tls && !saved.tlsVerifyHost);
    QCOMPARE(saved.keepAlive, 45);
    QCOMPARE(saved.caFile, ca);
    QCOMPARE(saved.certFile, cert);
    QCOMPARE(saved.keyFile, key);
    QVERIFY(saved.ignored.isEmpty());
    // The broker form's keys are still there.
    QCOMPARE(SettingsFile().readSessionSettings().broker.password, QStringLiteral("secret"));
    QCOMPARE(QFile::permissions(QStringLiteral("Settings.conf")) & QFileDevice::ReadOther, QFileDevice::Permissions());
}

// Refused with a message naming the field; nothing is written.
void tst_AdvancedSettingsDialog::badValueIsRefused_data()
{
    QTest::addColumn<WidgetAction>("enter");
    QTest::addColumn<QString>("message");

    QTest::newRow("keep-alive below 5") << WidgetAction([](QWidget *d) { keepAlive(d)->setValue(4); })
                                        << "Keep-alive: допустимо от 5 до 65535 с.";
    QTest::newRow("CA file that does not exist")
        << WidgetAction([](QWidget *d) { replaceText(edit(d, "leCaFile"), QStringLiteral("/nowhere/ca.pem")); })
        << "Сертификаты CA: файл не найден или не читается:\n/nowhere/ca.pem";
    QTest::newRow("a directory for the key") << WidgetAction([](QWidget *d) {
        replaceText(edit(d, "leCertFile"), existingFile(QStringLiteral("client.pem")));
        replaceText(edit(d, "leKeyFile"), QDir::tempPath());
    }) << "Ключ клиента: файл не найден или не читается:\n" + QDir::tempPath();
    QTest::newRow("certificate without its key") << WidgetAction([](QWidget *d) {
        replaceText(edit(d, "leCertFile"), existingFile(QStringLiteral("client.pem")));
    }) << "Сертификат клиента задан без ключа.";
    QTest::newRow("key without its certificate") << WidgetAction([](QWidget *d) {
        replaceText(edit(d, "leKeyFile"), existingFile(QStringLiteral("client.key")));
    }) << "Ключ клиента задан без сертификата.";
}

void tst_AdvancedSettingsDialog::badValueIsRefused()
{
    QFETCH(WidgetAction, enter);
    QFETCH(QString, message);
    writeSettingsFileText(kBroker);
    QWidget opener;
    QPointer<AdvancedSettingsDialog> dialog = openModal<AdvancedSettingsDialog>(&opener);
    enter(dialog);
    click(dialog, "pushButtonSave");
    QCOMPARE(answerMessageBox(dialog), message);
    QVERIFY(dialog);
    QCOMPARE(settingsFileText(), kBroker);
}

void tst_AdvancedSettingsDialog::dismissWritesNothing_data()
{
    QTest::addColumn<WidgetAction>("dismiss");
    for (const auto &[name, dismiss] : dismissals(QStringLiteral("pushButtonCancel"), QStringLiteral("leCaFile")))
        QTest::newRow(name) << dismiss;
}

void tst_AdvancedSettingsDialog::dismissWritesNothing()
{
    QFETCH(WidgetAction, dismiss);
    writeSettingsFileText(kBroker);
    QWidget opener;
    QPointer<AdvancedSettingsDialog> dialog = openModal<AdvancedSettingsDialog>(&opener);
    box(dialog, "cbAutoReconnect")->click();
    dismiss(dialog);
    QTRY_VERIFY(dialog.isNull());
    QCOMPARE(settingsFileText(), kBroker);
}

void tst_AdvancedSettingsDialog::chooserFillsThePath()
{
    const QString ca = existingFile(QStringLiteral("ca.pem"));
    QWidget opener;
    auto *dialog = openModal<AdvancedSettingsDialog>(&opener);
    child<QToolButton>(dialog, QStringLiteral("toolButtonCaFile"))->click();
    QPointer<QFileDialog> chooser = shown<QFileDialog>(dialog);
    QVERIFY(chooser);
    chooser->selectFile(ca);
    QVERIFY(QMetaObject::invokeMethod(chooser, "accept"));
    QCOMPARE(edit(dialog, "leCaFile")->text(), ca);
    QTRY_VERIFY(chooser.isNull());
}

void tst_AdvancedSettingsDialog::historyIsShownAndSaved_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("shownEnabled");
    QTest::addColumn<int>("shownDays");
    QTest::addColumn<bool>("shownDesktop");

    QTest::newRow("no file: not recorded, 30 days") << QByteArray() << false << 30 << false;
    QTest::newRow("stored values") << QByteArray("[History]\nEnabled=true\nDays=7\n[Notify]\nDesktop=true\n") << true
                                   << 7 << true;
}

// The history's two keys and the notifications' are shown, and saved with the rest, turned around.
void tst_AdvancedSettingsDialog::historyIsShownAndSaved()
{
    QFETCH(QByteArray, stored);
    QFETCH(bool, shownEnabled);
    QFETCH(int, shownDays);
    QFETCH(bool, shownDesktop);
    if (!stored.isEmpty())
        writeSettingsFileText(stored);
    QWidget opener;
    QPointer<AdvancedSettingsDialog> dialog = openModal<AdvancedSettingsDialog>(&opener);
    QCOMPARE(box(dialog, "cbHistoryEnabled")->isChecked(), shownEnabled);
    auto *days = child<QSpinBox>(dialog, QStringLiteral("sbHistoryDays"));
    QCOMPARE(days->value(), shownDays);
    QCOMPARE(days->maximum(), 3650);

    QCOMPARE(box(dialog, "cbNotifyDesktop")->isChecked(), shownDesktop);
    QVERIFY(!box(dialog, "cbNotifyTray")->isChecked());

    box(dialog, "cbHistoryEnabled")->click();
    days->setValue(shownDays + 1);
    box(dialog, "cbNotifyDesktop")->click();
    box(dialog, "cbNotifyTray")->click();
    click(dialog, "pushButtonSave");
    QTRY_VERIFY(dialog.isNull());
    const HistorySettings saved = SettingsFile().readHistory();
    QCOMPARE(saved.enabled, !shownEnabled);
    QCOMPARE(saved.days, shownDays + 1);
    const NotifySettings notify = SettingsFile().readWatchSettings().notify;
    QCOMPARE(notify.desktop, !shownDesktop);
    QVERIFY(notify.tray);
}

// The connection options used to be written before the history, each on its
// own: a disk that took the first but not the second kept options that the
// next connection used, although the dialog said nothing was saved.
void tst_AdvancedSettingsDialog::failedSaveWritesNothing()
{
    writeSettingsFileText(kBroker);
    QWidget opener;
    QPointer<AdvancedSettingsDialog> dialog = openModal<AdvancedSettingsDialog>(&opener);
    click(dialog, "pushButtonSave");
    QTRY_VERIFY(dialog.isNull());
    const qint64 saved = settingsFileText().size();

    writeSettingsFileText(kBroker);
    dialog = openModal<AdvancedSettingsDialog>(&opener);
    {
        // Room for the options, not for the history beside them.
        const FileSizeLimit fullDisk(saved - 1);
        QVERIFY(fullDisk.isValid());
        click(dialog, "pushButtonSave");
    }
    QCOMPARE(answerMessageBox(dialog), QStringLiteral("Не удалось сохранить настройки в файл Settings.conf.\n"
                                                      "Проверьте, что файл доступен для записи, и сохраните ещё раз."));
    QVERIFY(dialog);
    QCOMPARE(settingsFileText(), kBroker);
}

// Not kept by default: the days start disabled and follow the checkbox.
void tst_AdvancedSettingsDialog::daysFollowTheHistorySwitch()
{
    QWidget opener;
    auto *dialog = openModal<AdvancedSettingsDialog>(&opener);
    auto *days = child<QSpinBox>(dialog, QStringLiteral("sbHistoryDays"));
    QVERIFY(!days->isEnabled());
    box(dialog, "cbHistoryEnabled")->click();
    QVERIFY(days->isEnabled());
}

// A certificate moved away while TLS is off used to keep every other setting from being saved.
void tst_AdvancedSettingsDialog::unusedPathIsSavedUnchecked()
{
    writeSettingsFileText("[MQTT]\nTls=false\nCertFile=/nowhere/client.pem\nKeyFile=/nowhere/client.key\n");
    QWidget opener;
    QPointer<AdvancedSettingsDialog> dialog = openModal<AdvancedSettingsDialog>(&opener);
    box(dialog, "cbAutoReconnect")->click();
    click(dialog, "pushButtonSave");
    QTRY_VERIFY(dialog.isNull());
    const ConnectionOptions saved = SettingsFile().readSessionSettings().options;
    QVERIFY(saved.autoReconnect);
    QCOMPARE(saved.certFile, QStringLiteral("/nowhere/client.pem"));
}

QTEST_MAIN(tst_AdvancedSettingsDialog)
#include "tst_advancedsettingsdialog.moc"
