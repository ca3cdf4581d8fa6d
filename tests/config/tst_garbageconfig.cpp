#include "common/scratchdirectorytest.h"
#include "common/settingstext.h"
#include "common/testbroker.h"
#include "common/widgets.h"
#include "config/addnewdeviceform.h"
#include "config/devicelistdialog.h"
#include "config/mqttsettform.h"
#include "config/settingsfile.h"
#include "mainwindow/mainwindow.h"
#include "mqtt/client.h"

#include <QFile>
#include <QLineEdit>
#include <QPointer>
#include <QRandomGenerator>
#include <QtTest>

namespace {

const QString kFile = QStringLiteral("Settings.conf");
constexpr int kMegabyte = 1024 * 1024;

// Peak resident memory of this process so far, in bytes.
qint64 peakRss()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly | QIODevice::Text))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return -1;
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

// Text of roughly `size` bytes in lines of words, the way a stray log file
// or a wrong file picked in a save dialog would look.
QByteArray prose(int size)
{
    static const QByteArray words[] = {"lorem", "ipsum", "dolor", "sit", "amet", "[x]", "=", "\\", "%", "\"", "@"};
    QRandomGenerator generator(7);
    QByteArray text;
    text.reserve(size + 64);
    while (text.size() < size) {
        for (int i = 0; i < 12; ++i)
            text += words[generator.bounded(int(std::size(words)))] + ' ';
        text += '\n';
    }
    return text;
}

// One device whose values stand in the file as given.
QByteArray oneDevice(const QByteArray &name, const QByteArray &topic)
{
    return SettingsText().rawDevice(name, topic).bytes();
}

// Two devices and DEV\size as given.
QByteArray twoDevices(const QByteArray &size)
{
    return SettingsText().device("Boiler", "plant/1").device("Pump", "plant/2").size(size).bytes();
}

} // namespace

// Whatever lies in Settings.conf, the program starts and every dialog opens
// and closes: the file is user-editable text, and a wrong one must not make
// the client unusable.
class tst_GarbageConfig : public ScratchDirectoryTest
{
    Q_OBJECT

private slots:
    void initTestCase();

    void windowAndDialogsSurvive_data();
    void windowAndDialogsSurvive();
    void claimedArraySizeIsNotTrusted_data();
    void claimedArraySizeIsNotTrusted();
    void writesReplaceMalformedFile_data();
    void writesReplaceMalformedFile();
    void longNamesAreShortenedInTheList_data();
    void longNamesAreShortenedInTheList();
    void garbageTopicsSubscribeNothingElse_data();
    void garbageTopicsSubscribeNothingElse();

private:
    void openAndCloseSettingsForm(MainWindow &window);
    void openAndCloseDeviceList(MainWindow &window);

    TestBroker m_broker;
};

void tst_GarbageConfig::initTestCase()
{
    QVERIFY(m_broker.start());
}

void tst_GarbageConfig::windowAndDialogsSurvive_data()
{
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("random binary bytes") << randomBytes(64 * 1024, 1);
    QTest::newRow("binary bytes after a device") << twoDevices("2") + randomBytes(4096, 2);
    static const char zeroBytes[] = "[Dev\0ices]\nDEV\\1\\dev_\0name=a\nDEV\\1\\topic=t\0t\nDEV\\size=1\n";
    QTest::newRow("zero bytes in group and key names") << QByteArray(zeroBytes, sizeof(zeroBytes) - 1);
    QTest::newRow("10 MB of prose") << prose(10 * kMegabyte);
    QTest::newRow("10 MB on one line") << QByteArray(10 * kMegabyte, 'k');
    QTest::newRow("10 MB device name") << oneDevice(QByteArray(10 * kMegabyte, 'n'), "plant/1");
    QTest::newRow("1 MB key") << "[Devices]\nDEV\\1\\" + QByteArray(kMegabyte, 'k') + "=x\nDEV\\size=1\n";
    QTest::newRow("invalid UTF-8") << oneDevice("\xff\xfe\xc0\xaf", "\xed\xa0\x80/\xe2\x82") +
                                          "[\xc3\x28]\n\xf8=\x80\n";
    QTest::newRow("size of 2147483647") << twoDevices("2147483647");
    QTest::newRow("size of 100 million") << twoDevices("100000000");
    QTest::newRow("size of 2147483647, no elements") << QByteArray("[Devices]\nDEV\\size=2147483647\n");
    QTest::newRow("element numbered 2147483647") << QByteArray("[Devices]\nDEV\\2147483647\\dev_name=far\n"
                                                               "DEV\\2147483647\\topic=t\nDEV\\size=2147483647\n");
    QTest::newRow("size of -1") << twoDevices("-1");
    QTest::newRow("size of -2147483648") << twoDevices("-2147483648");
    QTest::newRow("size beyond int") << twoDevices("99999999999999999999");
    QTest::newRow("size not a number") << twoDevices("lots");
    QTest::newRow("backslash-x without digits") << oneDevice("\\x", "\\xzz");
    QTest::newRow("backslash-x beyond unicode") << oneDevice("\\x110000", "\\xffffffffffffffffffff");
    QTest::newRow("backslash-zero") << oneDevice("a\\0b", "\\0");
    QTest::newRow("dangling backslash") << oneDevice("a\\", "\\");
    QTest::newRow("unterminated quote") << oneDevice("\"unterminated", "\"t");
    QTest::newRow("percent escapes in keys") << QByteArray("[Devices]\nDEV\\1\\dev_%U=a\nDEV\\1\\%UD800=b\n"
                                                           "DEV\\%=c\n%U\\1\\topic=d\nDEV\\1\\dev_name=%\n"
                                                           "DEV\\1\\topic=%U\nDEV\\size=1\n");
    QTest::newRow("unterminated group") << QByteArray("[Devices\nDEV\\1\\dev_name=a\nDEV\\1\\topic=t\nDEV\\size=1\n");
    QTest::newRow("variant of unknown type") << oneDevice("@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x5Nope)", "@Variant(");
    // QSettings reads these with stream version Qt_4_0: a type number, no
    // null flag, then the element count.
    QTest::newRow("variant list claiming 2^31 items")
        << oneDevice("@Variant(\\0\\0\\0\\xb\\x7f\\xff\\xff\\xff)", "@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)");
    QByteArray nested = "@Variant(";
    for (int level = 0; level < 40000; ++level)
        nested += "\\0\\0\\0\\t\\0\\0\\0\\x1";
    QTest::newRow("variant nested 40,000 levels deep") << oneDevice(nested + ')', "plant/1");
    QTest::newRow("variant list as broker host")
        << "[MQTT]\nHost=@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\nPort=1883\n" + twoDevices("2");
    QTest::newRow("byte array, rect and size values")
        << oneDevice("@ByteArray(\\xff\\0)", "@Rect(1 2 3)") + "[MQTT]\nHost=@Size(99999999999 -1)\nPort=@Point(\n";
    QTest::newRow("hostile broker settings") << "[MQTT]\nHost=" + QByteArray(kMegabyte, 'h') +
                                                    "\nPort=99999999999\nclientId=\\0\npasswd=a\\0b\n"
                                                    "username=\xff\n";
    QTest::newRow("negative port") << QByteArray("[MQTT]\nHost=127.0.0.1\nPort=-1\n");
}

void tst_GarbageConfig::windowAndDialogsSurvive()
{
    QFETCH(QByteArray, text);
    writeSettingsFileText(text);
    const qint64 peakBefore = peakRss();

    QMQTT::Client client;
    MainWindow window(&client);
    int longestTitle = 0;
    for (const QString &title : tabTitles(&window))
        longestTitle = qMax(longestTitle, title.size());
    // Shown whole, the title is shaped on every layout and repaint: minutes.
    QVERIFY2(longestTitle <= kMaxShownNameLength, qPrintable(QString::number(longestTitle)));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QStringList tabsAtStart = tabTitles(&window);

    openAndCloseSettingsForm(window);
    if (QTest::currentTestFailed())
        return;
    openAndCloseDeviceList(window);
    if (QTest::currentTestFailed())
        return;

    // Whatever the file held, a device added through the dialogs becomes a tab.
    QCOMPARE(tabTitles(&window).constLast(), QStringLiteral("Новый счётчик"));
    QVERIFY2(tabTitles(&window).size() <= tabsAtStart.size() + 1, qPrintable(tabTitles(&window).join('|')));
    // The button reads the broker settings afresh; no row names a broker to reach.
    click(&window, "pushButtonConnect");
    QVERIFY(!client.isConnectedToHost());

    // Reading the file is worth its size in memory a few times over, never gigabytes.
    const qint64 grown = peakRss() - peakBefore;
    QVERIFY2(grown < 512LL * kMegabyte, qPrintable(QStringLiteral("peak grew by %1 MB").arg(grown / kMegabyte)));
}

void tst_GarbageConfig::openAndCloseSettingsForm(MainWindow &window)
{
    const QPointer<MQTTSettForm> form = openByAction<MQTTSettForm>(&window, "actionMQTT_Settings");
    QVERIFY(form);
    click(form, "SetttCancelButton");
    QTRY_VERIFY(!form);
}

void tst_GarbageConfig::openAndCloseDeviceList(MainWindow &window)
{
    const QPointer<DeviceListDialog> dialog = openByAction<DeviceListDialog>(&window, "actionAddNewDevice");
    QVERIFY(dialog);
    // Both read the complete entries of the same file.
    QCOMPARE(rows(dialog), tabTitles(&window));

    if (!rows(dialog).isEmpty()) {
        doubleClickRow(dialog, 0);
        const QPointer<AddNewDeviceForm> form = shown<AddNewDeviceForm>(dialog);
        QVERIFY(form);
        // The row opens its own device, as much of its name as a line edit holds.
        const auto *nameEdit = child<QLineEdit>(form, "leDeviceName");
        QCOMPARE(nameEdit->text(), SettingsFile().deviceAt(0).name.left(nameEdit->maxLength()));
        click(form, "SetttCancelButton");
        QTRY_VERIFY(!form);
    }

    click(dialog, "pushAddd");
    QVERIFY(shown<AddNewDeviceForm>(dialog));
    saveEntryForm(dialog, QStringLiteral("Новый счётчик"), QStringLiteral("plant/new"));
    QVERIFY2(!shown<QMessageBox>(dialog), "saving into the file was reported as failed");
    QCOMPARE(rows(dialog).constLast(), QStringLiteral("Новый счётчик"));

    click(dialog, "pushButtonCancel");
    QTRY_VERIFY(!dialog);
}

// DEV\size is text anyone can edit: the operations must cost what the file
// holds, not what it claims, and still treat missing elements as the rest of
// the program does.
void tst_GarbageConfig::claimedArraySizeIsNotTrusted_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("after");

    QTest::newRow("two elements, size 2147483647")
        << twoDevices("2147483647") << "Fan"
        << "plant/fan" << QStringList{"Boiler", "Pump"} << QStringList{"Boiler", "Pump", "Fan"};
    QTest::newRow("one element far beyond the others")
        << twoDevices("2147483647") + "DEV\\1000000\\dev_name=Far\nDEV\\1000000\\topic=plant/far\n"
        << "Fan"
        << "plant/fan" << QStringList{"Boiler", "Pump", "Far"} << QStringList{"Boiler", "Pump", "Far", "Fan"};
    QTest::newRow("element number 2147483647")
        << QByteArray("[Devices]\nDEV\\2147483647\\dev_name=Last\nDEV\\2147483647\\topic=plant/last\n"
                      "DEV\\size=2147483647\n")
        << "Fan"
        << "plant/fan" << QStringList() << QStringList{"Fan"};
    QTest::newRow("topic of a far element renames it")
        << twoDevices("2000000000") + "DEV\\5000\\dev_name=Far\nDEV\\5000\\topic=plant/far\n"
        << "Near"
        << "plant/far" << QStringList{"Boiler", "Pump", "Far"} << QStringList{"Boiler", "Pump", "Near"};
    // A missing element reads as two null texts, equal to empty ones, so a
    // device with an empty topic takes the first missing element's place.
    QTest::newRow("empty topic fills the first gap")
        << QByteArray("[Devices]\nDEV\\1\\dev_name=A\nDEV\\1\\topic=t/a\nDEV\\3\\dev_name=C\n"
                      "DEV\\3\\topic=t/c\nDEV\\size=2147483647\n")
        << "Gap"
        << "" << QStringList{"A", "C"} << QStringList{"A", "Gap", "C"};
}

void tst_GarbageConfig::claimedArraySizeIsNotTrusted()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, name);
    QFETCH(QString, topic);
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    writeSettingsFileText(text);
    const SettingsFile file;

    QCOMPARE(storedNames(), before);

    const DeviceListResult stored = file.storeDevice(name, topic);
    QCOMPARE(stored.status, WriteResult::Written);
    QCOMPARE(stored.names, after);
    // The store and the compaction after it leave a size that tells the truth.
    QSettings settings(kFile, QSettings::IniFormat);
    QCOMPARE(settings.value(QStringLiteral("Devices/DEV/size")).toInt(), after.size());
}

// QSettings reports a file that is not valid INI as a FormatError and keeps
// that status through the write that replaces the file. The write succeeds,
// so it must not be reported as failed: the user would be told that nothing
// was saved, with the device or the broker settings in the file all the same.
void tst_GarbageConfig::writesReplaceMalformedFile_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("broker"); // writeBroker, else storeDevice

    const QList<QPair<const char *, QByteArray>> files{
        {"unterminated group", "[Devices\nDEV\\1\\dev_name=a\nDEV\\1\\topic=t\nDEV\\size=1\n"},
        {"line without equals sign", "[Devices]\nDEV\\1\\dev_name=a\njust words\n"},
        {"random binary bytes", randomBytes(4096, 3)},
    };
    for (const auto &file : files) {
        QTest::addRow("%s, broker settings", file.first) << file.second << true;
        QTest::addRow("%s, device", file.first) << file.second << false;
    }
}

void tst_GarbageConfig::writesReplaceMalformedFile()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, broker);
    writeSettingsFileText(text);
    const SettingsFile file;

    if (broker) {
        BrokerSettings settings;
        settings.host = QStringLiteral("127.0.0.1");
        settings.port = 1884;
        QCOMPARE(file.writeBroker(settings), WriteResult::Written);
        QCOMPARE(file.readSessionSettings().broker.port, 1884);
    } else {
        const DeviceListResult result = file.storeDevice(QStringLiteral("Fan"), QStringLiteral("plant/fan"));
        QCOMPARE(result.status, WriteResult::Written);
        QCOMPARE(result.names.constLast(), QStringLiteral("Fan"));
    }
    QVERIFY(settingsFileText().contains(broker ? "Port=1884" : "topic=plant/fan"));
}

// Qt shapes the whole text of a row to elide it, on every layout and
// repaint: a name of megabytes froze the dialog for minutes.
void tst_GarbageConfig::longNamesAreShortenedInTheList_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shownName");

    const QString ellipsis(QChar(0x2026));
    QTest::newRow("10 MB name") << QString(10 * kMegabyte, 'n') << QString(kMaxShownNameLength - 1, 'n') + ellipsis;
    QTest::newRow("longest name shown whole") << QString(kMaxShownNameLength, 'w') << QString(kMaxShownNameLength, 'w');
    QString meters;
    for (int i = 0; i < kMaxShownNameLength; ++i)
        meters += QString::fromUtf8("\xf0\x9f\x93\x9f"); // outside the BMP: two UTF-16 units each
    QTest::newRow("no half surrogate pair") << meters << meters.left(kMaxShownNameLength - 2) + ellipsis;
}

void tst_GarbageConfig::longNamesAreShortenedInTheList()
{
    QFETCH(QString, name);
    QFETCH(QString, shownName);
    const SettingsFile file;
    QCOMPARE(file.storeDevice(name, QStringLiteral("plant/long")).status, WriteResult::Written);
    QCOMPARE(file.storeDevice(QStringLiteral("Pump"), QStringLiteral("plant/pump")).status, WriteResult::Written);

    QWidget opener;
    const QPointer<DeviceListDialog> dialog = openModal<DeviceListDialog>(&opener);
    QCOMPARE(rows(dialog), (QStringList{shownName, QStringLiteral("Pump")}));
    QVERIFY(QTest::qWaitForWindowExposed(dialog));

    // The row still stands for the whole name.
    doubleClickRow(dialog, 0);
    const QPointer<AddNewDeviceForm> form = shown<AddNewDeviceForm>(dialog);
    QVERIFY(form);
    auto *nameEdit = child<QLineEdit>(form, "leDeviceName");
    QCOMPARE(nameEdit->text(), name.left(nameEdit->maxLength()));
    click(form, "SetttCancelButton");
    QTRY_VERIFY(!form);
    click(dialog, "pushButtonCancel");
    QTRY_VERIFY(!dialog);
}

// A topic from the file goes to the broker as it is. One the broker cannot
// take must cost only its own device's data: not the connection, not the
// other devices, and never a subscription to some other topic.
void tst_GarbageConfig::garbageTopicsSubscribeNothingElse_data()
{
    QTest::addColumn<QByteArray>("topic");  // as the file holds it
    QTest::addColumn<QString>("neighbour"); // a topic that must not be subscribed

    QTest::newRow("zero byte inside") << QByteArray("plant/a\\0b") << "plant/a";
    QTest::newRow("zero byte first") << QByteArray("\\0plant/a") << "";
    QTest::newRow("wildcard inside a level") << QByteArray("plant/a#") << "plant/a";
    QTest::newRow("wildcard not last") << QByteArray("plant/#/a") << "plant/#";
    QTest::newRow("longer than MQTT allows") << QByteArray(70000, 't') << "";
    QTest::newRow("lone surrogate") << QByteArray("plant/\\xd800") << "plant/";
}

void tst_GarbageConfig::garbageTopicsSubscribeNothingElse()
{
    QFETCH(QByteArray, topic);
    QFETCH(QString, neighbour);
    writeSettingsFileText(SettingsText()
                              .broker("127.0.0.1", m_broker.port())
                              .rawDevice("Garbage", topic)
                              .device("Good", "plant/good")
                              .bytes());
    QMQTT::Client client;
    MainWindow window(&client);
    QCOMPARE(tabTitles(&window), (QStringList{"Garbage", "Good"}));
    QSignalSpy connected(&client, &QMQTT::Client::connected);
    QSignalSpy subscribed(&client, &QMQTT::Client::subscribed);
    const int earlier = m_broker.loggedSubscriptions().size();

    click(&window, "pushButtonConnect");
    QVERIFY(connected.wait());
    QTRY_VERIFY(subscribed.contains({QStringLiteral("plant/good")}));
    QVERIFY(m_broker.publish(QStringLiteral("plant/good"), R"({"voltage":229})"));
    QTRY_COMPARE(labelText(tabPage(&window, 1), "label_voltage"), QStringLiteral("229"));
    QVERIFY(client.isConnectedToHost());

    const QStringList seen = m_broker.loggedSubscriptions().mid(earlier);
    QVERIFY2(!seen.contains(neighbour), qPrintable(seen.join(QLatin1Char('|'))));
    // Whatever the client reports as subscribed, the broker has granted.
    for (const QList<QVariant> &arguments : qAsConst(subscribed))
        QVERIFY2(seen.contains(arguments.at(0).toString()), qPrintable(arguments.at(0).toString().left(80)));
}

QTEST_MAIN(tst_GarbageConfig)
#include "tst_garbageconfig.moc"
