#include "common/scratchdirectory.h"
#include "config/settingsfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <memory>

namespace {

const QString kFile = QStringLiteral("Settings.conf");

const QFileDevice::Permissions kOwnerOnly =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser;

// A hand-written file whose spacing QSettings would change on any rewrite, so
// an unchanged text proves that nothing was written.
const QByteArray kTwoDevices = "[Devices]\n"
                               "DEV\\1\\dev_name = Boiler room\n"
                               "DEV\\1\\topic = plant/meter1\n"
                               "DEV\\2\\dev_name = Pump\n"
                               "DEV\\2\\topic = plant/meter2\n"
                               "DEV\\size = 2\n";

// Element 1 lacks its topic key.
const QByteArray kWithIncomplete = "[Devices]\n"
                                   "DEV\\1\\dev_name=A\n"
                                   "DEV\\1\\topic=t/a\n"
                                   "DEV\\2\\dev_name=Broken\n"
                                   "DEV\\3\\dev_name=C\n"
                                   "DEV\\3\\topic=t/c\n"
                                   "DEV\\size=3\n";

} // namespace

class tst_SettingsFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void storeDevice_data();
    void storeDevice();
    void removeDeviceAt_data();
    void removeDeviceAt();
    void replaceDeviceAt_data();
    void replaceDeviceAt();
    void loadDeviceList_data();
    void loadDeviceList();
    void deviceAt_data();
    void deviceAt();
    void readingNeverCreatesFile();
    void brokerDefaults_data();
    void brokerDefaults();
    void writeBrokerText();
    void ownerOnlyPermissions_data();
    void ownerOnlyPermissions();
    void writeIntoDirectoryFails();
    void failedWriteLeavesNoGhost_data();
    void failedWriteLeavesNoGhost();

private:
    std::unique_ptr<ScratchDirectory> m_dir;
};

void tst_SettingsFile::init()
{
    m_dir = std::make_unique<ScratchDirectory>();
    QVERIFY(m_dir->isValid());
}

void tst_SettingsFile::cleanup()
{
    m_dir.reset();
}

void tst_SettingsFile::storeDevice_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("first device creates the file") << QByteArray() << "Boiler room"
                                                   << "plant/meter1"
                                                   << QByteArray("[Devices]\n"
                                                                 "DEV\\1\\dev_name=Boiler room\n"
                                                                 "DEV\\1\\topic=plant/meter1\n"
                                                                 "DEV\\size=1\n")
                                                   << QStringList{"Boiler room"};
    QTest::newRow("cyrillic name is escaped")
        << QByteArray("[Devices]\nDEV\\1\\dev_name=Boiler room\nDEV\\1\\topic=plant/meter1\nDEV\\size=1\n")
        << QStringLiteral("Котёл 2") << "plant/meter2"
        << QByteArray("[Devices]\n"
                      "DEV\\1\\dev_name=Boiler room\n"
                      "DEV\\1\\topic=plant/meter1\n"
                      "DEV\\2\\dev_name=\\x41a\\x43e\\x442\\x451\\x43b 2\n"
                      "DEV\\2\\topic=plant/meter2\n"
                      "DEV\\size=2\n")
        << QStringList{"Boiler room", QStringLiteral("Котёл 2")};
    QTest::newRow("same topic renames in place") << kTwoDevices << "Cellar"
                                                 << "plant/meter1"
                                                 << QByteArray("[Devices]\n"
                                                               "DEV\\1\\dev_name=Cellar\n"
                                                               "DEV\\1\\topic=plant/meter1\n"
                                                               "DEV\\2\\dev_name=Pump\n"
                                                               "DEV\\2\\topic=plant/meter2\n"
                                                               "DEV\\size=2\n")
                                                 << QStringList{"Cellar", "Pump"};
    QTest::newRow("same name takes the new topic") << kTwoDevices << "Pump"
                                                   << "plant/meter9"
                                                   << QByteArray("[Devices]\n"
                                                                 "DEV\\1\\dev_name=Boiler room\n"
                                                                 "DEV\\1\\topic=plant/meter1\n"
                                                                 "DEV\\2\\dev_name=Pump\n"
                                                                 "DEV\\2\\topic=plant/meter9\n"
                                                                 "DEV\\size=2\n")
                                                   << QStringList{"Boiler room", "Pump"};
    QTest::newRow("new name and topic append") << kTwoDevices << "Fan"
                                               << "plant/meter3"
                                               << QByteArray("[Devices]\n"
                                                             "DEV\\1\\dev_name=Boiler room\n"
                                                             "DEV\\1\\topic=plant/meter1\n"
                                                             "DEV\\2\\dev_name=Pump\n"
                                                             "DEV\\2\\topic=plant/meter2\n"
                                                             "DEV\\3\\dev_name=Fan\n"
                                                             "DEV\\3\\topic=plant/meter3\n"
                                                             "DEV\\size=3\n")
                                               << QStringList{"Boiler room", "Pump", "Fan"};
    QTest::newRow("name of the first and topic of the second replace the first")
        << kTwoDevices << "Boiler room"
        << "plant/meter2"
        << QByteArray("[Devices]\n"
                      "DEV\\1\\dev_name=Boiler room\n"
                      "DEV\\1\\topic=plant/meter2\n"
                      "DEV\\2\\dev_name=Pump\n"
                      "DEV\\2\\topic=plant/meter2\n"
                      "DEV\\size=2\n")
        << QStringList{"Boiler room", "Pump"};
    QTest::newRow("empty fields are stored as empty values") << QByteArray() << QString() << QString()
                                                             << QByteArray("[Devices]\n"
                                                                           "DEV\\1\\dev_name=\n"
                                                                           "DEV\\1\\topic=\n"
                                                                           "DEV\\size=1\n")
                                                             << QStringList{QString()};
    QTest::newRow("incomplete element goes after an append") << kWithIncomplete << "D"
                                                             << "t/d"
                                                             << QByteArray("[Devices]\n"
                                                                           "DEV\\1\\dev_name=A\n"
                                                                           "DEV\\1\\topic=t/a\n"
                                                                           "DEV\\2\\dev_name=C\n"
                                                                           "DEV\\2\\topic=t/c\n"
                                                                           "DEV\\3\\dev_name=D\n"
                                                                           "DEV\\3\\topic=t/d\n"
                                                                           "DEV\\size=3\n")
                                                             << QStringList{"A", "C", "D"};
}

void tst_SettingsFile::storeDevice()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, name);
    QFETCH(QString, topic);
    QFETCH(QByteArray, after);
    QFETCH(QStringList, names);

    if (!before.isEmpty())
        writeSettingsFileText(before);
    const DeviceListResult result = SettingsFile().storeDevice(name, topic);
    QCOMPARE(result.status, QSettings::NoError);
    QCOMPARE(settingsFileText(), after);
    QCOMPARE(result.names, names);
}

void tst_SettingsFile::removeDeviceAt_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("row");
    QTest::addColumn<QByteArray>("after");

    const QByteArray sameNames = "[Devices]\n"
                                 "DEV\\1\\dev_name=Pump\n"
                                 "DEV\\1\\topic=t/1\n"
                                 "DEV\\2\\dev_name=Pump\n"
                                 "DEV\\2\\topic=t/2\n"
                                 "DEV\\size=2\n";
    QTest::newRow("second of two same names") << sameNames << 1
                                              << QByteArray("[Devices]\n"
                                                            "DEV\\1\\dev_name=Pump\n"
                                                            "DEV\\1\\topic=t/1\n"
                                                            "DEV\\size=1\n");
    QTest::newRow("first of two same names") << sameNames << 0
                                             << QByteArray("[Devices]\n"
                                                           "DEV\\1\\dev_name=Pump\n"
                                                           "DEV\\1\\topic=t/2\n"
                                                           "DEV\\size=1\n");
    QTest::newRow("rows count complete elements only") << kWithIncomplete << 1
                                                       << QByteArray("[Devices]\n"
                                                                     "DEV\\1\\dev_name=A\n"
                                                                     "DEV\\1\\topic=t/a\n"
                                                                     "DEV\\size=1\n");
    QTest::newRow("row past the end writes nothing") << kTwoDevices << 2 << kTwoDevices;
}

void tst_SettingsFile::removeDeviceAt()
{
    QFETCH(QByteArray, before);
    QFETCH(int, row);
    QFETCH(QByteArray, after);

    writeSettingsFileText(before);
    QCOMPARE(SettingsFile().removeDeviceAt(row).status, QSettings::NoError);
    QCOMPARE(settingsFileText(), after);
}

void tst_SettingsFile::replaceDeviceAt_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("after");

    const QByteArray sameNames = "[Devices]\n"
                                 "DEV\\1\\dev_name=Pump\n"
                                 "DEV\\1\\topic=t/1\n"
                                 "DEV\\2\\dev_name=Pump\n"
                                 "DEV\\2\\topic=t/2\n"
                                 "DEV\\size=2\n";
    QTest::newRow("second of two same names, name and topic changed") << sameNames << 1 << "Fan"
                                                                      << "t/9"
                                                                      << QByteArray("[Devices]\n"
                                                                                    "DEV\\1\\dev_name=Pump\n"
                                                                                    "DEV\\1\\topic=t/1\n"
                                                                                    "DEV\\2\\dev_name=Fan\n"
                                                                                    "DEV\\2\\topic=t/9\n"
                                                                                    "DEV\\size=2\n");
    QTest::newRow("topic of another device still replaces the row") << sameNames << 1 << "Pump"
                                                                    << "t/1"
                                                                    << QByteArray("[Devices]\n"
                                                                                  "DEV\\1\\dev_name=Pump\n"
                                                                                  "DEV\\1\\topic=t/1\n"
                                                                                  "DEV\\2\\dev_name=Pump\n"
                                                                                  "DEV\\2\\topic=t/1\n"
                                                                                  "DEV\\size=2\n");
    QTest::newRow("rows count complete elements only") << kWithIncomplete << 1 << "Cc"
                                                       << "t/cc"
                                                       << QByteArray("[Devices]\n"
                                                                     "DEV\\1\\dev_name=A\n"
                                                                     "DEV\\1\\topic=t/a\n"
                                                                     "DEV\\2\\dev_name=Cc\n"
                                                                     "DEV\\2\\topic=t/cc\n"
                                                                     "DEV\\size=2\n");
    QTest::newRow("vanished row is stored as new") << kTwoDevices << 5 << "Fan"
                                                   << "plant/meter3"
                                                   << QByteArray("[Devices]\n"
                                                                 "DEV\\1\\dev_name=Boiler room\n"
                                                                 "DEV\\1\\topic=plant/meter1\n"
                                                                 "DEV\\2\\dev_name=Pump\n"
                                                                 "DEV\\2\\topic=plant/meter2\n"
                                                                 "DEV\\3\\dev_name=Fan\n"
                                                                 "DEV\\3\\topic=plant/meter3\n"
                                                                 "DEV\\size=3\n");
}

void tst_SettingsFile::replaceDeviceAt()
{
    QFETCH(QByteArray, before);
    QFETCH(int, row);
    QFETCH(QString, name);
    QFETCH(QString, topic);
    QFETCH(QByteArray, after);

    writeSettingsFileText(before);
    QCOMPARE(SettingsFile().replaceDeviceAt(row, name, topic).status, QSettings::NoError);
    QCOMPARE(settingsFileText(), after);
}

void tst_SettingsFile::loadDeviceList_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("complete list is not rewritten") << kTwoDevices << kTwoDevices << QStringList{"Boiler room", "Pump"};
    QTest::newRow("element without topic is dropped") << kWithIncomplete
                                                      << QByteArray("[Devices]\n"
                                                                    "DEV\\1\\dev_name=A\n"
                                                                    "DEV\\1\\topic=t/a\n"
                                                                    "DEV\\2\\dev_name=C\n"
                                                                    "DEV\\2\\topic=t/c\n"
                                                                    "DEV\\size=2\n")
                                                      << QStringList{"A", "C"};
    const QByteArray emptyName = "[Devices]\nDEV\\1\\dev_name=\nDEV\\1\\topic=t/1\nDEV\\size=1\n";
    QTest::newRow("empty name counts as present") << emptyName << emptyName << QStringList{QString()};
    QTest::newRow("size beyond the elements") << QByteArray("[Devices]\nDEV\\1\\dev_name=A\nDEV\\1\\topic=t/a\n"
                                                            "DEV\\size=3\n")
                                              << QByteArray("[Devices]\nDEV\\1\\dev_name=A\nDEV\\1\\topic=t/a\n"
                                                            "DEV\\size=1\n")
                                              << QStringList{"A"};
    const QByteArray withBroker = "[Devices]\nDEV\\1\\dev_name=A\nDEV\\size=1\n\n"
                                  "[MQTT]\nHost=127.0.0.1\n";
    QTest::newRow("other group survives compaction") << withBroker
                                                     << QByteArray("[Devices]\nDEV\\size=0\n\n"
                                                                   "[MQTT]\nHost=127.0.0.1\n")
                                                     << QStringList();
}

void tst_SettingsFile::loadDeviceList()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(QStringList, names);

    writeSettingsFileText(before);
    const DeviceListResult result = SettingsFile().compactDeviceList();
    QCOMPARE(result.status, QSettings::NoError);
    QCOMPARE(result.names, names);
    QCOMPARE(settingsFileText(), after);
}

void tst_SettingsFile::deviceAt_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("rowName");
    QTest::addColumn<QString>("rowTopic");

    QTest::newRow("rows count complete entries only") << 1 << "C"
                                                      << "t/c";
    QTest::newRow("first row") << 0 << "A"
                               << "t/a";
    QTest::newRow("same name, later row") << 2 << "A"
                                          << "t/a2";
    QTest::newRow("row past the end gives nothing") << 3 << QString() << QString();
}

void tst_SettingsFile::deviceAt()
{
    QFETCH(int, row);
    QFETCH(QString, rowName);
    QFETCH(QString, rowTopic);

    writeSettingsFileText("[Devices]\n"
                          "DEV\\1\\dev_name=A\n"
                          "DEV\\1\\topic=t/a\n"
                          "DEV\\2\\dev_name=Broken\n"
                          "DEV\\3\\dev_name=C\n"
                          "DEV\\3\\topic=t/c\n"
                          "DEV\\4\\dev_name=A\n"
                          "DEV\\4\\topic=t/a2\n"
                          "DEV\\size=4\n");
    const DeviceEntry entry = SettingsFile().deviceAt(row);
    QCOMPARE(entry.name, rowName);
    QCOMPARE(entry.topic, rowTopic);
}

void tst_SettingsFile::readingNeverCreatesFile()
{
    const SettingsFile file;
    QCOMPARE(file.readBrokerForEditing().host, QStringLiteral("localhost"));
    file.readBrokerForConnecting();
    QVERIFY(file.readDevices().isEmpty());
    QCOMPARE(file.compactDeviceList().status, QSettings::NoError);
    file.deviceAt(0);
    QCOMPARE(file.removeDeviceAt(0).status, QSettings::NoError);
    QVERIFY(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).isEmpty());
}

void tst_SettingsFile::brokerDefaults_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("editHost");
    QTest::addColumn<int>("editPort");
    QTest::addColumn<QString>("connectHost");
    QTest::addColumn<int>("connectPort");

    QTest::newRow("no file") << QByteArray() << "localhost" << 1883 << QString() << 0;
    QTest::newRow("no broker group") << kTwoDevices << "localhost" << 1883 << QString() << 0;
    QTest::newRow("stored values") << QByteArray("[MQTT]\nHost=::1\nPort=8883\n") << "::1" << 8883 << "::1" << 8883;
    QTest::newRow("port that is not a number")
        << QByteArray("[MQTT]\nHost=\nPort=abc\n") << QString() << 0 << QString() << 0;
}

void tst_SettingsFile::brokerDefaults()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, editHost);
    QFETCH(int, editPort);
    QFETCH(QString, connectHost);
    QFETCH(int, connectPort);

    if (!before.isEmpty())
        writeSettingsFileText(before);
    const BrokerSettings editing = SettingsFile().readBrokerForEditing();
    QCOMPARE(editing.host, editHost);
    QCOMPARE(editing.port, editPort);
    const BrokerSettings connecting = SettingsFile().readBrokerForConnecting();
    QCOMPARE(connecting.host, connectHost);
    QCOMPARE(connecting.port, connectPort);
}

void tst_SettingsFile::writeBrokerText()
{
    writeSettingsFileText(kTwoDevices);
    BrokerSettings broker;
    broker.host = QStringLiteral("127.0.0.1");
    broker.clientId = QStringLiteral("panel1");
    broker.username = QStringLiteral(" operator ");
    broker.password = QStringLiteral("пароль");
    broker.port = 1884;
    QCOMPARE(SettingsFile().writeBroker(broker), QSettings::NoError);
    QCOMPARE(settingsFileText(), QByteArray("[Devices]\n"
                                            "DEV\\1\\dev_name=Boiler room\n"
                                            "DEV\\1\\topic=plant/meter1\n"
                                            "DEV\\2\\dev_name=Pump\n"
                                            "DEV\\2\\topic=plant/meter2\n"
                                            "DEV\\size=2\n"
                                            "\n"
                                            "[MQTT]\n"
                                            "Host=127.0.0.1\n"
                                            "Port=1884\n"
                                            "clientId=panel1\n"
                                            "passwd=\\x43f\\x430\\x440\\x43e\\x43b\\x44c\n"
                                            "username=\" operator \"\n"));
    QCOMPARE(SettingsFile().readBrokerForConnecting().password, broker.password);
}

void tst_SettingsFile::ownerOnlyPermissions_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("operation");

    QTest::newRow("created by the broker settings") << QByteArray() << "writeBroker";
    QTest::newRow("created by storing a device") << QByteArray() << "storeDevice";
    QTest::newRow("rewritten by the broker settings") << kTwoDevices << "writeBroker";
    QTest::newRow("rewritten by storing a device") << kTwoDevices << "storeDevice";
    QTest::newRow("rewritten by removal") << kTwoDevices << "removeDeviceAt";
    QTest::newRow("rewritten by compaction") << kWithIncomplete << "compactDeviceList";
    QTest::newRow("rewritten by an edit") << kTwoDevices << "replaceDeviceAt";
}

void tst_SettingsFile::ownerOnlyPermissions()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, operation);

    if (!before.isEmpty()) {
        writeSettingsFileText(before);
        QVERIFY(QFile::setPermissions(kFile, QFile::permissions(kFile) | QFileDevice::ReadOther));
    }
    const QByteArray old = settingsFileText();
    const SettingsFile file;
    QSettings::Status status = QSettings::AccessError;
    if (operation == QLatin1String("writeBroker"))
        status = file.writeBroker(file.readBrokerForEditing());
    else if (operation == QLatin1String("storeDevice"))
        status = file.storeDevice(QStringLiteral("Fan"), QStringLiteral("t/fan")).status;
    else if (operation == QLatin1String("removeDeviceAt"))
        status = file.removeDeviceAt(1).status;
    else if (operation == QLatin1String("compactDeviceList"))
        status = file.compactDeviceList().status;
    else if (operation == QLatin1String("replaceDeviceAt"))
        status = file.replaceDeviceAt(0, QStringLiteral("Fan"), QStringLiteral("t/fan")).status;
    QCOMPARE(status, QSettings::NoError);
    QVERIFY(settingsFileText() != old);
    QCOMPARE(QFile::permissions(kFile), kOwnerOnly);
}

void tst_SettingsFile::writeIntoDirectoryFails()
{
    QVERIFY(QDir().mkdir(kFile));
    const SettingsFile file;
    QCOMPARE(file.writeBroker(file.readBrokerForEditing()), QSettings::AccessError);
    const DeviceListResult stored = file.storeDevice(QStringLiteral("Fan"), QStringLiteral("t/fan"));
    QCOMPARE(stored.status, QSettings::AccessError);
    QVERIFY(stored.names.isEmpty());
    QCOMPARE(file.replaceDeviceAt(0, QStringLiteral("Fan"), QStringLiteral("t/fan")).status, QSettings::AccessError);
    QVERIFY(file.readDevices().isEmpty());
    QVERIFY(QFileInfo(kFile).isDir());
    QVERIFY(QDir(kFile).isEmpty());
}

// A file that cannot be replaced even by root: QSettings would keep a failed
// write in its cache and show it to every later reader.
void tst_SettingsFile::failedWriteLeavesNoGhost_data()
{
    QTest::addColumn<QString>("operation");
    QTest::newRow("store") << "storeDevice";
    QTest::newRow("edit") << "replaceDeviceAt";
    QTest::newRow("remove by row") << "removeDeviceAt";
    QTest::newRow("compaction") << "compactDeviceList";
    QTest::newRow("broker settings") << "writeBroker";
}

void tst_SettingsFile::failedWriteLeavesNoGhost()
{
    QFETCH(QString, operation);

    const QByteArray before = operation == QLatin1String("compactDeviceList") ? kWithIncomplete : kTwoDevices;
    writeSettingsFileText(before);
    const QStringList namesBefore = SettingsFile().compactDeviceList().names;
    writeSettingsFileText(before);
    if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), kFile}) != 0)
        QSKIP("chattr +i is not available here");
    auto unlock = qScopeGuard([] { QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), kFile}); });

    const SettingsFile file;
    DeviceListResult result;
    if (operation == QLatin1String("storeDevice"))
        result = file.storeDevice(QStringLiteral("Fan"), QStringLiteral("t/fan"));
    else if (operation == QLatin1String("replaceDeviceAt"))
        result = file.replaceDeviceAt(0, QStringLiteral("Fan"), QStringLiteral("t/fan"));
    else if (operation == QLatin1String("removeDeviceAt"))
        result = file.removeDeviceAt(0);
    else if (operation == QLatin1String("compactDeviceList"))
        result = file.compactDeviceList();
    else
        result = {namesBefore, file.writeBroker(BrokerSettings{QStringLiteral("::1"), {}, {}, {}, 1})};
    QCOMPARE(result.status, QSettings::AccessError);
    QCOMPARE(result.names, namesBefore);

    unlock.dismiss();
    QCOMPARE(QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), kFile}), 0);
    QStringList namesNow;
    for (const DeviceEntry &device : file.readDevices())
        namesNow.append(device.name);
    QCOMPARE(namesNow, namesBefore);
    QCOMPARE(file.readBrokerForEditing().host, QStringLiteral("localhost"));
    QCOMPARE(settingsFileText(), before);
}

QTEST_GUILESS_MAIN(tst_SettingsFile)
#include "tst_settingsfile.moc"
