#include "common/filesizelimit.h"
#include "common/scratchdirectorytest.h"
#include "common/settingstext.h"
#include "common/watchdog.h"
#include "config/settingsfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QtTest>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace {

const QString kFile = QStringLiteral("Settings.conf");

const QFileDevice::Permissions kOwnerOnly =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser;

// Spaced by hand: a write leaves the lines it does not change as they are.
const QByteArray kTwoDevices = "[Devices]\n"
                               "DEV\\1\\dev_name = Boiler room\n"
                               "DEV\\1\\topic = plant/meter1\n"
                               "DEV\\2\\dev_name = Pump\n"
                               "DEV\\2\\topic = plant/meter2\n"
                               "DEV\\size = 2\n";

// Element 2 lacks its topic key.
const QByteArray kWithIncomplete =
    SettingsText().device("A", "t/a").deviceWithoutTopic("Broken").device("C", "t/c").bytes();

// An element whose name is no text: it cannot be moved, so it stays where it is.
const QByteArray kNoTextDevice = "[Devices]\n"
                                 "DEV\\1\\dev_name=@ByteArray(Pump)\n"
                                 "DEV\\1\\topic=t/1\n";

const QByteArray kSameNames = SettingsText().device("Pump", "t/1").device("Pump", "t/2").bytes();

// kTwoDevices with the line `from` changed to `to`.
QByteArray twoDevicesWith(const char *from, const char *to)
{
    return QByteArray(kTwoDevices).replace(from, to);
}

// kTwoDevices with a third device, as an append leaves it.
const QByteArray kThreeDevices =
    twoDevicesWith("DEV\\size = 2\n", "DEV\\size = 3\nDEV\\3\\dev_name=Fan\nDEV\\3\\topic=plant/meter3\n");

// The options as one line, to compare rows with.
QString describe(const ConnectionOptions &o)
{
    const QString described =
        QStringLiteral("reconnect=%1 onStart=%2 keepAlive=%3 tls=%4 ca=%5 cert=%6 key=%7 verifyHost=%8")
            .arg(o.autoReconnect)
            .arg(o.connectOnStart)
            .arg(o.keepAlive)
            .arg(o.tls)
            .arg(o.caFile, o.certFile, o.keyFile)
            .arg(o.tlsVerifyHost);
    return o.mqtt5 ? described + QStringLiteral(" mqtt5") : described;
}

QStringList keysOf(const QVector<IgnoredValue> &values)
{
    QStringList keys;
    for (const IgnoredValue &value : values)
        keys << value.key;
    return keys;
}

const QString kDefaultOptions = QStringLiteral("reconnect=0 onStart=0 keepAlive=300 tls=0 ca= cert= key= verifyHost=1");

QString bound(const std::optional<int> &value)
{
    return value ? QString::number(*value) : QStringLiteral("-");
}

// Limits as one line: "V 198..242 F -..51".
QString describe(const SupplyLimits &l)
{
    return QStringLiteral("V %1..%2 F %3..%4")
        .arg(bound(l.voltageMin), bound(l.voltageMax), bound(l.frequencyMin), bound(l.frequencyMax));
}

// A plan as one line: "t/a h=500 s=- V -..- F -..- mark=2026-03-01/3600/12".
QString describe(const MaintenancePlan &p)
{
    return QStringLiteral("%1 h=%2 s=%3 %4 mark=%5/%6/%7")
        .arg(p.topic, bound(p.intervalHours), bound(p.intervalStarts), describe(p.limits),
             p.markDate.toString(Qt::ISODate))
        .arg(p.markSeconds)
        .arg(p.markStarts);
}

// An operation that writes the file, and its outcome.
using Write = std::function<DeviceListResult(const SettingsFile &)>;

} // namespace

Q_DECLARE_METATYPE(Write)

class tst_SettingsFile : public ScratchDirectoryTest
{
    Q_OBJECT

private slots:

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
    void readHistory_data();
    void readHistory();
    void writeHistoryText();
    void readWatchSettings_data();
    void readWatchSettings();
    void maintenancePlanIsFoundByTopic();
    void readHistoryStore_data();
    void readHistoryStore();
    void ownerOnlyPermissions_data();
    void ownerOnlyPermissions();
    void writeIntoDirectoryFails();
    void tooLargeFileIsNeitherReadNorReplaced();
    void failedWriteLeavesNoGhost_data();
    void failedWriteLeavesNoGhost();
    void valueThatIsNoTextReadsAsAbsent_data();
    void valueThatIsNoTextReadsAsAbsent();
    void writeCutShortIsForgotten();
    void lockThatCannotBeTaken_data();
    void lockThatCannotBeTaken();
    void editThatCannotTakeTheLockAddsNothing();
    void connectionOptions_data();
    void connectionOptions();
    void connectionOptionsAndBrokerKeepEachOther();
};

void tst_SettingsFile::storeDevice_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QStringList>("names");

    const auto boiler = [] { return SettingsText().device("Boiler room", "plant/meter1"); };
    QTest::newRow("first device creates the file") << QByteArray() << "Boiler room"
                                                   << "plant/meter1" << boiler().bytes() << QStringList{"Boiler room"};
    QTest::newRow("cyrillic name is escaped") << boiler().bytes() << QStringLiteral("Котёл 2") << "plant/meter2"
                                              << QByteArray("[Devices]\n"
                                                            "DEV\\1\\dev_name=Boiler room\n"
                                                            "DEV\\1\\topic=plant/meter1\n"
                                                            "DEV\\size=2\n"
                                                            "DEV\\2\\dev_name=\\x41a\\x43e\\x442\\x451\\x43b 2\n"
                                                            "DEV\\2\\topic=plant/meter2\n")
                                              << QStringList{"Boiler room", QStringLiteral("Котёл 2")};
    QTest::newRow("same topic renames in place")
        << kTwoDevices << "Cellar"
        << "plant/meter1" << twoDevicesWith("dev_name = Boiler room", "dev_name = Cellar")
        << QStringList{"Cellar", "Pump"};
    QTest::newRow("same name takes the new topic")
        << kTwoDevices << "Pump"
        << "plant/meter9" << twoDevicesWith("plant/meter2", "plant/meter9") << QStringList{"Boiler room", "Pump"};
    QTest::newRow("new name and topic append")
        << kTwoDevices << "Fan"
        << "plant/meter3" << kThreeDevices << QStringList{"Boiler room", "Pump", "Fan"};
    QTest::newRow("name of the first and topic of the second replace the first")
        << kTwoDevices << "Boiler room"
        << "plant/meter2" << twoDevicesWith("plant/meter1", "plant/meter2") << QStringList{"Boiler room", "Pump"};
    QTest::newRow("empty fields are stored as empty values")
        << QByteArray() << QString() << QString() << SettingsText().device("", "").bytes() << QStringList{QString()};
    QTest::newRow("incomplete element goes after an append")
        << kWithIncomplete << "D"
        << "t/d" << SettingsText().device("A", "t/a").device("C", "t/c").device("D", "t/d").bytes()
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
    QCOMPARE(result.status, WriteResult::Written);
    QCOMPARE(settingsFileText(), after);
    QCOMPARE(result.names, names);
}

void tst_SettingsFile::removeDeviceAt_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("row");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("second of two same names") << kSameNames << 1 << SettingsText().device("Pump", "t/1").bytes();
    QTest::newRow("first of two same names") << kSameNames << 0 << SettingsText().device("Pump", "t/2").bytes();
    QTest::newRow("rows count complete elements only")
        << kWithIncomplete << 1 << SettingsText().device("A", "t/a").bytes();
    QTest::newRow("row past the end writes nothing") << kTwoDevices << 2 << kTwoDevices;
    QTest::newRow("value that is no text keeps every element in place")
        << kNoTextDevice + "DEV\\2\\dev_name=A\nDEV\\2\\topic=t/a\nDEV\\3\\dev_name=B\nDEV\\3\\topic=t/b\nDEV\\size=3\n"
        << 0 << kNoTextDevice + "DEV\\3\\dev_name=B\nDEV\\3\\topic=t/b\nDEV\\size=3\n";
}

void tst_SettingsFile::removeDeviceAt()
{
    QFETCH(QByteArray, before);
    QFETCH(int, row);
    QFETCH(QByteArray, after);

    writeSettingsFileText(before);
    const qint64 identity = settingsFileIdentity();
    QCOMPARE(SettingsFile().removeDeviceAt(row).status, WriteResult::Written);
    QCOMPARE(settingsFileText(), after);
    QCOMPARE(settingsFileIdentity() == identity, after == before);
}

void tst_SettingsFile::replaceDeviceAt_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("second of two same names, name and topic changed")
        << kSameNames << 1 << "Fan"
        << "t/9" << SettingsText().device("Pump", "t/1").device("Fan", "t/9").bytes();
    QTest::newRow("topic of another device still replaces the row")
        << kSameNames << 1 << "Pump"
        << "t/1" << SettingsText().device("Pump", "t/1").device("Pump", "t/1").bytes();
    QTest::newRow("rows count complete elements only")
        << kWithIncomplete << 1 << "Cc"
        << "t/cc" << SettingsText().device("A", "t/a").device("Cc", "t/cc").bytes();
    QTest::newRow("vanished row is stored as new") << kTwoDevices << 5 << "Fan"
                                                   << "plant/meter3" << kThreeDevices;
}

void tst_SettingsFile::replaceDeviceAt()
{
    QFETCH(QByteArray, before);
    QFETCH(int, row);
    QFETCH(QString, name);
    QFETCH(QString, topic);
    QFETCH(QByteArray, after);

    writeSettingsFileText(before);
    QCOMPARE(SettingsFile().replaceDeviceAt(row, name, topic).status, WriteResult::Written);
    QCOMPARE(settingsFileText(), after);
}

void tst_SettingsFile::loadDeviceList_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<QStringList>("names");

    QTest::newRow("complete list is not rewritten") << kTwoDevices << kTwoDevices << QStringList{"Boiler room", "Pump"};
    QTest::newRow("element without topic is dropped")
        << kWithIncomplete << SettingsText().device("A", "t/a").device("C", "t/c").bytes() << QStringList{"A", "C"};
    const QByteArray emptyName = SettingsText().device("", "t/1").bytes();
    QTest::newRow("empty name counts as present") << emptyName << emptyName << QStringList{QString()};
    QTest::newRow("size beyond the elements") << SettingsText().device("A", "t/a").size("3").bytes()
                                              << SettingsText().device("A", "t/a").bytes() << QStringList{"A"};
    QTest::newRow("other group survives compaction")
        << SettingsText().deviceWithoutTopic("A").value("MQTT", "Host", "127.0.0.1").bytes()
        << SettingsText().size("0").value("MQTT", "Host", "127.0.0.1").bytes() << QStringList();
    QTest::newRow("key beside the array survives compaction")
        << SettingsText().deviceWithoutTopic("A").value("Devices", "Note", "keep me").bytes()
        << SettingsText().size("0").value("Devices", "Note", "keep me").bytes() << QStringList();
    const QByteArray noText = kNoTextDevice + "DEV\\2\\dev_name=Fan\nDEV\\2\\topic=t/2\n"
                                              "DEV\\3\\dev_name=Heater\nDEV\\3\\topic=plant/a,b\n"
                                              "DEV\\size=3\nNote=keep me\n";
    QTest::newRow("value that is no text stops compaction") << noText << noText << QStringList{"Fan", "Heater"};
}

void tst_SettingsFile::loadDeviceList()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(QStringList, names);

    writeSettingsFileText(before);
    const qint64 identity = settingsFileIdentity();
    const DeviceListResult result = SettingsFile().compactDeviceList();
    QCOMPARE(result.status, WriteResult::Written);
    QCOMPARE(result.names, names);
    QCOMPARE(settingsFileText(), after);
    QCOMPARE(settingsFileIdentity() == identity, after == before);
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

    writeSettingsFileText(
        SettingsText().device("A", "t/a").deviceWithoutTopic("Broken").device("C", "t/c").device("A", "t/a2").bytes());
    const DeviceEntry entry = SettingsFile().deviceAt(row);
    QCOMPARE(entry.name, rowName);
    QCOMPARE(entry.topic, rowTopic);
}

void tst_SettingsFile::readingNeverCreatesFile()
{
    const SettingsFile file;
    QCOMPARE(file.readBrokerForEditing().host, QStringLiteral("localhost"));
    file.readSessionSettings();
    QVERIFY(file.readDevices().isEmpty());
    QCOMPARE(file.compactDeviceList().status, WriteResult::Written);
    file.deviceAt(0);
    QCOMPARE(file.removeDeviceAt(0).status, WriteResult::Written);
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
    QTest::newRow("stored values") << SettingsText().broker("::1", 8883).bytes() << "::1" << 8883 << "::1" << 8883;
    QTest::newRow("port that is not a number")
        << SettingsText().broker("", "abc").bytes() << QString() << 0 << QString() << 0;
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
    const BrokerSettings connecting = SettingsFile().readSessionSettings().broker;
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
    QCOMPARE(SettingsFile().writeBroker(broker), WriteResult::Written);
    QCOMPARE(settingsFileText(), kTwoDevices + QByteArray("\n"
                                                          "[MQTT]\n"
                                                          "Host=127.0.0.1\n"
                                                          "Port=1884\n"
                                                          "clientId=panel1\n"
                                                          "passwd=\\x43f\\x430\\x440\\x43e\\x43b\\x44c\n"
                                                          "username=\" operator \"\n"));
    QCOMPARE(SettingsFile().readSessionSettings().broker.password, broker.password);
}

void tst_SettingsFile::readHistory_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("days");

    QTest::newRow("no file: nothing recorded") << QByteArray() << false << 30;
    QTest::newRow("no group: nothing recorded") << kTwoDevices << false << 30;
    QTest::newRow("both keys") << QByteArray("[History]\nEnabled=true\nDays=7\n") << true << 7;
    QTest::newRow("Days not a number") << QByteArray("[History]\nEnabled=1\nDays=week\n") << true << 30;
    QTest::newRow("Days below 1") << QByteArray("[History]\nEnabled=false\nDays=0\n") << false << 1;
    QTest::newRow("Days past ten years") << QByteArray("[History]\nDays=99999999999\n") << false << 3650;
}

void tst_SettingsFile::readHistory()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, enabled);
    QFETCH(int, days);

    if (!before.isEmpty())
        writeSettingsFileText(before);
    const HistorySettings history = SettingsFile().readHistory();
    QCOMPARE(history.enabled, enabled);
    QCOMPARE(history.days, days);
}

void tst_SettingsFile::writeHistoryText()
{
    writeSettingsFileText(kTwoDevices);
    QCOMPARE(SettingsFile().writeHistory({true, 90}), WriteResult::Written);
    QCOMPARE(settingsFileText(),
             kTwoDevices + '\n' +
                 SettingsText()
                     .value(QStringLiteral("History"), QStringLiteral("Enabled"), QStringLiteral("true"))
                     .value(QStringLiteral("History"), QStringLiteral("Days"), QStringLiteral("90"))
                     .bytes());
}

void tst_SettingsFile::readWatchSettings_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("limits");
    QTest::addColumn<QStringList>("plans");
    QTest::addColumn<QString>("notify");
    QTest::addColumn<QStringList>("ignored");

    const QString none = QStringLiteral("V -..- F -..-");
    QTest::newRow("nothing set") << kTwoDevices << none << QStringList() << "desktop=0 tray=0" << QStringList();
    QTest::newRow("limits and notifications")
        << QByteArray("[Alarms]\nVoltageMin=198\nVoltageMax= 242\nFrequencyMax=51\nFrequencyMin=\n"
                      "[Notify]\nDesktop=true\nTray=false\n")
        << "V 198..242 F -..51" << QStringList() << "desktop=1 tray=0" << QStringList();
    QTest::newRow("not a number") << QByteArray("[Alarms]\nVoltageMin=abc\nVoltageMax=242\n[Notify]\nTray=maybe\n")
                                  << "V -..242 F -..-" << QStringList() << "desktop=0 tray=0"
                                  << QStringList{"Alarms/VoltageMin", "Notify/Tray"};
    QTest::newRow("least bound above the greatest")
        << QByteArray("[Alarms]\nFrequencyMin=52\nFrequencyMax=48\n") << none << QStringList() << "desktop=0 tray=0"
        << QStringList{"Alarms/FrequencyMax", "Alarms/FrequencyMin"};
    QTest::newRow("plans by topic, the first for each")
        << QByteArray("[Maintenance]\nPLAN\\1\\topic=t/a\nPLAN\\1\\IntervalHours=500\nPLAN\\1\\VoltageMin=200\n"
                      "PLAN\\1\\MarkDate=2026-03-01\nPLAN\\1\\MarkSeconds=3600\nPLAN\\1\\MarkStarts=12\n"
                      "PLAN\\2\\IntervalHours=7\nPLAN\\3\\topic=t/a\nPLAN\\3\\IntervalHours=9\n"
                      "PLAN\\4\\topic=t/b\nPLAN\\4\\IntervalStarts=0\nPLAN\\4\\MarkDate=yesterday\n"
                      "PLAN\\size=4\n")
        << none
        << QStringList{"t/a h=500 s=- V 200..- F -..- mark=2026-03-01/3600/12", "t/b h=- s=- V -..- F -..- mark=/0/0"}
        << "desktop=0 tray=0" << QStringList{"Maintenance/PLAN/4/IntervalStarts", "Maintenance/PLAN/4/MarkDate"};
}

void tst_SettingsFile::readWatchSettings()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, limits);
    QFETCH(QStringList, plans);
    QFETCH(QString, notify);
    QFETCH(QStringList, ignored);
    writeSettingsFileText(text);

    const WatchSettings settings = SettingsFile().readWatchSettings();
    QCOMPARE(describe(settings.limits), limits);
    QStringList read;
    for (const MaintenancePlan &plan : settings.plans)
        read << describe(plan);
    QCOMPARE(read, plans);
    QCOMPARE(QStringLiteral("desktop=%1 tray=%2").arg(settings.notify.desktop).arg(settings.notify.tray), notify);
    QCOMPARE(keysOf(settings.ignored), ignored);
    // Named in the status bar at start with every other ignored value.
    QCOMPARE(keysOf(SettingsFile().readSessionSettings().ignoredInFile), ignored);
}

// A plan lives in a group of its own, by topic: the device array is never touched, and a meter
// removed and added again finds its plan.
void tst_SettingsFile::maintenancePlanIsFoundByTopic()
{
    writeSettingsFileText(kTwoDevices);
    const SettingsFile file;
    MaintenancePlan plan;
    plan.topic = QStringLiteral("plant/meter2");
    plan.intervalHours = 500;
    plan.limits.frequencyMax = 51;
    plan.markDate = QDate(2026, 3, 1);
    plan.markSeconds = 1800000;
    plan.markStarts = 40;
    QCOMPARE(file.writeMaintenancePlan(plan), WriteResult::Written);
    QCOMPARE(file.removeDeviceAt(1).status, WriteResult::Written);
    QCOMPARE(file.storeDevice(QStringLiteral("Pump again"), plan.topic).status, WriteResult::Written);
    QCOMPARE(describe(file.readMaintenancePlan(plan.topic)), describe(plan));

    // Written again, it replaces itself, and what is none leaves the file.
    plan.intervalHours.reset();
    plan.intervalStarts = 300;
    plan.markDate = QDate();
    QCOMPARE(file.writeMaintenancePlan(plan), WriteResult::Written);
    MaintenancePlan other;
    other.topic = QStringLiteral("plant/meter1");
    other.intervalHours = 10;
    QCOMPARE(file.writeMaintenancePlan(other), WriteResult::Written);
    plan.markSeconds = 0;
    plan.markStarts = 0;
    QCOMPARE(describe(file.readMaintenancePlan(plan.topic)), describe(plan));
    QCOMPARE(file.readWatchSettings().plans.size(), 2);
    QVERIFY(!settingsFileText().contains("IntervalHours=500"));
    QCOMPARE(describe(file.readMaintenancePlan(QStringLiteral("t/none"))),
             QStringLiteral("t/none h=- s=- V -..- F -..- mark=/0/0"));
}

// Where the history is kept: the file unless Store says postgresql; values
// that cannot be used are named and leave their defaults.
void tst_SettingsFile::readHistoryStore_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("shared");
    QTest::addColumn<QString>("target"); // host:port/database user sslmode
    QTest::addColumn<QStringList>("ignored");

    const QString defaults = QStringLiteral("localhost:5432/zelmar zelmar prefer");
    QTest::newRow("no keys: the file") << QByteArray("[History]\nEnabled=true\n") << false << defaults << QStringList();
    QTest::newRow("sqlite: the file") << QByteArray("[History]\nStore=SQLite\nHost=db\n") << false
                                      << QStringLiteral("db:5432/zelmar zelmar prefer") << QStringList();
    QTest::newRow("postgresql with every key")
        << QByteArray("[History]\nStore=PostgreSQL\nHost=db.plant\nPort=6543\nDatabase=meters\nUser=rec\n"
                      "Password=s3cret\nSslMode=verify-full\n")
        << true << QStringLiteral("db.plant:6543/meters rec verify-full") << QStringList();
    QTest::newRow("postgresql with the defaults")
        << QByteArray("[History]\nStore=postgresql\n") << true << defaults << QStringList();
    QTest::newRow("values it cannot use")
        << QByteArray("[History]\nStore=oracle\nPort=70000\nSslMode=maybe\n") << false << defaults
        << QStringList{QStringLiteral("History/Store"), QStringLiteral("History/Port"),
                       QStringLiteral("History/SslMode")};
}

void tst_SettingsFile::readHistoryStore()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, shared);
    QFETCH(QString, target);
    QFETCH(QStringList, ignored);
    writeSettingsFileText(text);
    const HistoryStoreSettings store = SettingsFile().readHistoryStore();
    QCOMPARE(store.kind == HistoryStoreSettings::Kind::PostgreSql, shared);
    QCOMPARE(
        QStringLiteral("%1:%2/%3 %4 %5").arg(store.host).arg(store.port).arg(store.database, store.user, store.sslMode),
        target);
    QCOMPARE(store.ignoredKeys, ignored);
}

void tst_SettingsFile::ownerOnlyPermissions_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<Write>("write");

    const Write writeBroker = [](const SettingsFile &f) {
        return DeviceListResult{{}, f.writeBroker(f.readBrokerForEditing())};
    };
    const Write storeDevice = [](const SettingsFile &f) {
        return f.storeDevice(QStringLiteral("Fan"), QStringLiteral("t/fan"));
    };
    QTest::newRow("created by the broker settings") << QByteArray() << writeBroker;
    QTest::newRow("created by storing a device") << QByteArray() << storeDevice;
    QTest::newRow("rewritten by the broker settings") << kTwoDevices << writeBroker;
    QTest::newRow("rewritten by storing a device") << kTwoDevices << storeDevice;
    QTest::newRow("rewritten by removal")
        << kTwoDevices << Write([](const SettingsFile &f) { return f.removeDeviceAt(1); });
    QTest::newRow("rewritten by compaction") << kWithIncomplete << Write(&SettingsFile::compactDeviceList);
    QTest::newRow("rewritten by an edit") << kTwoDevices << Write([](const SettingsFile &f) {
        return f.replaceDeviceAt(0, QStringLiteral("Fan"), QStringLiteral("t/fan"));
    });
}

void tst_SettingsFile::ownerOnlyPermissions()
{
    QFETCH(QByteArray, before);
    QFETCH(Write, write);

    if (!before.isEmpty()) {
        writeSettingsFileText(before);
        QVERIFY(QFile::setPermissions(kFile, QFile::permissions(kFile) | QFileDevice::ReadOther));
    }
    const QByteArray old = settingsFileText();
    QCOMPARE(write(SettingsFile()).status, WriteResult::Written);
    QVERIFY(settingsFileText() != old);
    QCOMPARE(QFile::permissions(kFile), kOwnerOnly);
}

void tst_SettingsFile::writeIntoDirectoryFails()
{
    QVERIFY(QDir().mkdir(kFile));
    const SettingsFile file;
    QCOMPARE(file.writeBroker(file.readBrokerForEditing()), WriteResult::Failed);
    const DeviceListResult stored = file.storeDevice(QStringLiteral("Fan"), QStringLiteral("t/fan"));
    QCOMPARE(stored.status, WriteResult::Failed);
    QVERIFY(stored.names.isEmpty());
    QCOMPARE(file.replaceDeviceAt(0, QStringLiteral("Fan"), QStringLiteral("t/fan")).status, WriteResult::Failed);
    QVERIFY(file.readDevices().isEmpty());
    QVERIFY(QFileInfo(kFile).isDir());
    QVERIFY(QDir(kFile).isEmpty());
}

// What could not be read must not be lost by a write either.
void tst_SettingsFile::tooLargeFileIsNeitherReadNorReplaced()
{
    writeSettingsFileText(SettingsText().broker("127.0.0.1", 1883).bytes());
    QVERIFY(QFile(kFile).resize(SettingsFile::kMaxFileSize + 1));
    const SettingsFile file;
    const SessionSettings read = file.readSessionSettings();
    QCOMPARE(read.problem.kind, ReadProblem::TooLarge);
    QVERIFY(read.broker.host.isEmpty());
    QCOMPARE(file.writeBroker(file.readBrokerForEditing()), WriteResult::Failed);
    QCOMPARE(file.storeDevice(QStringLiteral("Fan"), QStringLiteral("t/fan")).status, WriteResult::Failed);
    QCOMPARE(QFileInfo(kFile).size(), SettingsFile::kMaxFileSize + 1);
}

// A file that cannot be replaced even by root: QSettings would keep a failed
// write in its cache and show it to every later reader.
void tst_SettingsFile::failedWriteLeavesNoGhost_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<Write>("write");

    QTest::newRow("store") << kTwoDevices << Write([](const SettingsFile &f) {
        return f.storeDevice(QStringLiteral("Fan"), QStringLiteral("t/fan"));
    });
    QTest::newRow("edit") << kTwoDevices << Write([](const SettingsFile &f) {
        return f.replaceDeviceAt(0, QStringLiteral("Fan"), QStringLiteral("t/fan"));
    });
    QTest::newRow("remove by row") << kTwoDevices << Write([](const SettingsFile &f) { return f.removeDeviceAt(0); });
    QTest::newRow("compaction") << kWithIncomplete << Write(&SettingsFile::compactDeviceList);
    // The broker settings bring no list back: the one in the file stands for it.
    QTest::newRow("broker settings") << kTwoDevices << Write([](const SettingsFile &f) {
        const QStringList names = storedNames();
        return DeviceListResult{names, f.writeBroker(BrokerSettings{QStringLiteral("::1"), {}, {}, {}, 1})};
    });
}

void tst_SettingsFile::failedWriteLeavesNoGhost()
{
    QFETCH(QByteArray, before);
    QFETCH(Write, write);

    writeSettingsFileText(before);
    const QStringList namesBefore = SettingsFile().compactDeviceList().names;
    writeSettingsFileText(before);
    if (!m_dir->lockSettingsFile())
        QSKIP("chattr +i is not available here");

    const SettingsFile file;
    const DeviceListResult result = write(file);
    QCOMPARE(result.status, WriteResult::Failed);
    QCOMPARE(result.names, namesBefore);

    QVERIFY(m_dir->unlockSettingsFile());
    QCOMPARE(storedNames(), namesBefore);
    QCOMPARE(file.readBrokerForEditing().host, QStringLiteral("localhost"));
    QCOMPARE(settingsFileText(), before);
}

// QSettings decoded such values through QDataStream: a list claiming 2^31
// elements aborted with bad_alloc. They read as absent, are named, and
// survive the next write untouched.
void tst_SettingsFile::valueThatIsNoTextReadsAsAbsent_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("ignored");

    const QByteArray device = SettingsText().device("Pump", "t/1").bytes();
    QTest::newRow("variant list of 2^31 as host")
        << "[MQTT]\nHost=@Variant(\\0\\0\\0\\t\\x7f\\xff\\xff\\xff)\nPort=1884\n" + device << "localhost" << 1884
        << QStringList{"Pump"} << QStringList{"MQTT/Host"};
    QTest::newRow("byte array as port") << "[MQTT]\nHost=h\nPort=@ByteArray(1884)\n" + device << "h" << 1883
                                        << QStringList{"Pump"} << QStringList{"MQTT/Port"};
    QTest::newRow("comma in a device name is text")
        << QByteArray("[Devices]\nDEV\\1\\dev_name=Pump, 2\nDEV\\1\\topic=t/1\nDEV\\size=1\n") << "localhost" << 1883
        << QStringList{"Pump, 2"} << QStringList();
    QTest::newRow("rectangle as topic")
        << QByteArray("[Devices]\nDEV\\1\\dev_name=Pump\nDEV\\1\\topic=@Rect(1 2 3 4)\nDEV\\size=1\n") << "localhost"
        << 1883 << QStringList() << QStringList{"Devices/DEV/1/topic"};
    QTest::newRow("doubled @ is text") << "[MQTT]\nHost=@@home\n" + device << "@home" << 1883 << QStringList{"Pump"}
                                       << QStringList();
    QTest::newRow("rectangle of three numbers is text")
        << "[MQTT]\nHost=@Rect(1 2 3)\n" + device << "@Rect(1 2 3)" << 1883 << QStringList{"Pump"} << QStringList();
    QTest::newRow("@String with a zero character is text")
        << "[MQTT]\nHost=@String(a\\0b)\n" + device << QString::fromUtf16(u"a\0b", 3) << 1883 << QStringList{"Pump"}
        << QStringList();
}

void tst_SettingsFile::valueThatIsNoTextReadsAsAbsent()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QStringList, names);
    QFETCH(QStringList, ignored);

    writeSettingsFileText(before);
    const SettingsFile file;
    QCOMPARE(file.readBrokerForEditing().host, host);
    QCOMPARE(file.readBrokerForEditing().port, port);
    QCOMPARE(storedNames(), names);
    QCOMPARE(keysOf(file.readSessionSettings().ignoredInFile), ignored);

    // Written through the other group, they stay as they were; so do the
    // device's own when another device is added beside it.
    QCOMPARE(file.writeBroker(file.readBrokerForEditing()), WriteResult::Written);
    QCOMPARE(keysOf(file.readSessionSettings().ignoredInFile), ignored.filter(QStringLiteral("Devices/")));
    writeSettingsFileText(before);
    QCOMPARE(file.storeDevice(QStringLiteral("Fan"), QStringLiteral("t/fan")).status, WriteResult::Written);
    QCOMPARE(keysOf(file.readSessionSettings().ignoredInFile), ignored);
}

// A disk that fills up while the file is written: the old file stays, and
// nothing of the failed write shows up in a later read or write.
void tst_SettingsFile::writeCutShortIsForgotten()
{
    writeSettingsFileText(kTwoDevices + "[MQTT]\nHost=127.0.0.1\nPort=1883\n");
    const QByteArray before = settingsFileText();
    BrokerSettings unsaved;
    unsaved.host = QString(4096, QLatin1Char('u'));
    unsaved.port = 1884;
    {
        const FileSizeLimit fullDisk(1024);
        QVERIFY(fullDisk.isValid());
        QCOMPARE(SettingsFile().writeBroker(unsaved), WriteResult::Failed);
    }
    QCOMPARE(settingsFileText(), before);
    QCOMPARE(SettingsFile().readSessionSettings().broker.host, QStringLiteral("127.0.0.1"));

    QCOMPARE(SettingsFile().storeDevice(QStringLiteral("Fan"), QStringLiteral("t/fan")).status, WriteResult::Written);
    QVERIFY(!settingsFileText().contains("uuuu"));
    QCOMPARE(SettingsFile().readSessionSettings().broker.port, 1883);
}

// QSettings waited for its lock without end: the window hung on a save.
void tst_SettingsFile::lockThatCannotBeTaken_data()
{
    QTest::addColumn<bool>("directory");
    QTest::newRow("a directory in place of the lock") << true;
    QTest::newRow("a lock that its live owner keeps") << false;
}

void tst_SettingsFile::lockThatCannotBeTaken()
{
    QFETCH(bool, directory);
    writeSettingsFileText(kTwoDevices);
    const QString lockName = kFile + QStringLiteral(".lock");
    QLockFile held(lockName);
    if (directory)
        QVERIFY(QDir().mkdir(lockName));
    else
        QVERIFY(held.tryLock(0));

    SettingsFile file;
    file.setLockTimeout(100);
    const Watchdog watchdog(10000, "a save waits for a lock it cannot take");
    QCOMPARE(file.writeBroker(file.readBrokerForEditing()), WriteResult::Failed);
    const DeviceListResult stored = file.storeDevice(QStringLiteral("Fan"), QStringLiteral("t/fan"));
    QCOMPARE(stored.status, WriteResult::Failed);
    QCOMPARE(stored.names, (QStringList{"Boiler room", "Pump"}));
    QCOMPARE(settingsFileText(), kTwoDevices);
}

// An edit that gave up on the lock was stored again as an added device, with
// the lock taken a second time: whoever held it for one timeout had let go by
// then, and the file got the old device and the edited one.
void tst_SettingsFile::editThatCannotTakeTheLockAddsNothing()
{
    const QByteArray before = SettingsText().device("Pump", "t/1").device("Fan", "t/2").bytes();
    writeSettingsFileText(before);
    QLockFile held(kFile + QStringLiteral(".lock"));
    QVERIFY(held.tryLock(0));
    std::promise<void> edited;
    // Held past the edit's timeout of 400 ms, not to the end of a second one.
    std::thread holder([&held, edit = edited.get_future()] {
        edit.wait_for(std::chrono::milliseconds(600));
        held.unlock();
    });

    SettingsFile file;
    file.setLockTimeout(400);
    const DeviceListResult result = file.replaceDeviceAt(1, QStringLiteral("Fan (hall)"), QStringLiteral("t/9"));
    edited.set_value();
    holder.join();
    QCOMPARE(result.status, WriteResult::Failed);
    QCOMPARE(result.names, (QStringList{"Pump", "Fan"}));
    QCOMPARE(settingsFileText(), before);
}

void tst_SettingsFile::connectionOptions_data()
{
    QTest::addColumn<QByteArray>("lines"); // of group MQTT
    QTest::addColumn<QString>("options");
    QTest::addColumn<QStringList>("ignored");

    QTest::newRow("none of the keys") << QByteArray("Host=h\n") << kDefaultOptions << QStringList();
    QTest::newRow("every key") << QByteArray("AutoReconnect=true\nConnectOnStart=1\nKeepAlive=30\nTls=TRUE\n"
                                             "CaFile=/ca.pem\nCertFile=/c.pem\nKeyFile=/k.pem\nTlsVerifyHost=false\n")
                               << "reconnect=1 onStart=1 keepAlive=30 tls=1 ca=/ca.pem cert=/c.pem key=/k.pem "
                                  "verifyHost=0"
                               << QStringList();
    QTest::newRow("keep-alive below 5") << QByteArray("KeepAlive=4\n") << kDefaultOptions
                                        << QStringList{"MQTT/KeepAlive"};
    QTest::newRow("keep-alive above 65535")
        << QByteArray("KeepAlive=65536\n") << kDefaultOptions << QStringList{"MQTT/KeepAlive"};
    QTest::newRow("keep-alive that is not a number")
        << QByteArray("KeepAlive=30s\n") << kDefaultOptions << QStringList{"MQTT/KeepAlive"};
    QTest::newRow("yes is no boolean") << QByteArray("AutoReconnect=yes\nTls=true\n")
                                       << "reconnect=0 onStart=0 keepAlive=300 tls=1 ca= cert= key= verifyHost=1"
                                       << QStringList{"MQTT/AutoReconnect"};
    QTest::newRow("MQTT 5") << QByteArray("Protocol=5\n") << kDefaultOptions + " mqtt5" << QStringList();
    QTest::newRow("MQTT 3.1.1 named") << QByteArray("Protocol=3.1.1\n") << kDefaultOptions << QStringList();
    QTest::newRow("a protocol the client does not speak")
        << QByteArray("Protocol=3.1\n") << kDefaultOptions << QStringList{"MQTT/Protocol"};
    QTest::newRow("certificate without its key")
        << QByteArray("CertFile=/c.pem\n") << kDefaultOptions << QStringList{"MQTT/CertFile"};
}

void tst_SettingsFile::connectionOptions()
{
    QFETCH(QByteArray, lines);
    QFETCH(QString, options);
    QFETCH(QStringList, ignored);
    writeSettingsFileText("[MQTT]\n" + lines);
    const ConnectionOptions read = SettingsFile().readSessionSettings().options;
    QCOMPARE(describe(read), options);
    QCOMPARE(keysOf(read.ignored), ignored);
}

// The broker form and the options' dialog share group MQTT; each keeps the
// other's keys.
void tst_SettingsFile::connectionOptionsAndBrokerKeepEachOther()
{
    writeSettingsFileText(SettingsText().broker("127.0.0.1", 1884).login("operator", "secret").bytes());
    const SettingsFile file;
    ConnectionOptions options;
    options.autoReconnect = true;
    options.keepAlive = 30;
    options.tls = true;
    options.caFile = QStringLiteral("/ca.pem");
    QCOMPARE(file.writeAdvancedSettings({options, {}, {}}), WriteResult::Written);
    QCOMPARE(file.readSessionSettings().broker.password, QStringLiteral("secret"));
    QCOMPARE(file.readSessionSettings().broker.port, 1884);

    BrokerSettings broker = file.readBrokerForEditing();
    broker.host = QStringLiteral("::1");
    QCOMPARE(file.writeBroker(broker), WriteResult::Written);
    QCOMPARE(describe(file.readAdvancedSettings().options), describe(options));
}

QTEST_GUILESS_MAIN(tst_SettingsFile)
#include "tst_settingsfile.moc"
