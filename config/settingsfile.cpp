#include "config/settingsfile.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <limits>

namespace {

const QString kMqttGroup = QStringLiteral("MQTT");
const QString kDevicesGroup = QStringLiteral("Devices");
const QString kDeviceArray = QStringLiteral("DEV");
const QString kNameKey = QStringLiteral("dev_name");
const QString kTopicKey = QStringLiteral("topic");

// One element of the device array as stored, complete or not. A missing key
// reads as a null text; a key with an empty value reads as an empty one.
struct StoredDevice
{
    int index = 0; // in the array, from 0
    QString name;
    QString topic;

    bool isComplete() const { return !name.isNull() && !topic.isNull(); }
};

// The device array as far as it can matter. The stored size is hand-editable
// text: a file may claim two billion elements, and asking QSettings for each
// of them would take hours (and reserving room for them, gigabytes). Elements
// without any key all read alike, as two null texts, so only the elements that
// have keys are read, plus the first one without, which stands for all the
// others in every search for the first element that matches.
struct StoredArray
{
    int size = 0;                  // DEV/size, never below 0
    int end = 0;                   // one past the last element that has keys
    QVector<StoredDevice> devices; // in index order
};

// QSettings writes a null text as an empty value, but keeps it null in its
// cache, where it would read back as a missing key until the file is read
// again. Stored texts are therefore never null.
QString storedText(const QString &text)
{
    return text.isNull() ? QString(QLatin1String("")) : text;
}

// Indices of the elements below `size` that have keys, ascending. Element
// number INT_MAX is left out: QSettings counts array elements in an int, so
// an array holding it could not grow by one.
QVector<int> indicesWithKeys(QSettings &settings, int size)
{
    QVector<int> indices;
    settings.beginGroup(kDeviceArray);
    const QStringList groups = settings.childGroups();
    settings.endGroup();
    for (const QString &group : groups) {
        bool ok = false;
        const int number = group.toInt(&ok);
        // setArrayIndex() finds "3", never "03" or "+3".
        if (ok && number >= 1 && number <= size && number < std::numeric_limits<int>::max() &&
            group == QString::number(number))
            indices.append(number - 1);
    }
    std::sort(indices.begin(), indices.end());
    return indices;
}

// Expects the settings object inside group Devices.
StoredArray readArray(QSettings &settings)
{
    StoredArray array;
    array.size = qMax(0, settings.beginReadArray(kDeviceArray));
    settings.endArray();
    const QVector<int> indices = indicesWithKeys(settings, array.size);
    array.end = indices.isEmpty() ? 0 : indices.constLast() + 1;

    // The first index without keys: the first gap, else the one after the end.
    int firstWithout = 0;
    while (firstWithout < indices.size() && indices.at(firstWithout) == firstWithout)
        ++firstWithout;

    array.devices.reserve(indices.size() + 1);
    settings.beginReadArray(kDeviceArray);
    for (const int index : indices) {
        if (index > firstWithout && array.devices.size() == firstWithout)
            array.devices.append({firstWithout, QString(), QString()});
        settings.setArrayIndex(index);
        array.devices.append({index, settings.value(kNameKey).toString(), settings.value(kTopicKey).toString()});
    }
    settings.endArray();
    if (firstWithout == indices.size() && firstWithout < array.size)
        array.devices.append({firstWithout, QString(), QString()});
    return array;
}

QStringList completeNames(const QVector<StoredDevice> &stored)
{
    QStringList names;
    for (const StoredDevice &device : stored) {
        if (device.isComplete())
            names.append(device.name);
    }
    return names;
}

// Index in the array of the row-th complete element, or -1.
int indexOfRow(const QVector<StoredDevice> &stored, int row)
{
    if (row < 0)
        return -1;
    for (const StoredDevice &device : stored) {
        if (device.isComplete() && row-- == 0)
            return device.index;
    }
    return -1;
}

// Replaces the whole array of group Devices by the kept elements. Expects the
// settings object inside group Devices.
void writeArray(QSettings &settings, const QVector<DeviceEntry> &kept)
{
    settings.remove(QString());
    settings.beginWriteArray(kDeviceArray);
    for (int j = 0; j < kept.size(); ++j) {
        settings.setArrayIndex(j);
        settings.setValue(kNameKey, storedText(kept.at(j).name));
        settings.setValue(kTopicKey, storedText(kept.at(j).topic));
    }
    settings.endArray();
}

// The file holds the broker password in clear text, so it is made private to
// its owner before anything is written into it. QSettings replaces the file
// through a temporary copy that takes over the old file's permissions, so
// setting them here keeps them on the rewritten file too.
//
// A write that QSettings cannot carry out stays pending in its process-wide
// cache of the file and shows up in every later read, as if it had been
// written, until some later write flushes it. Whatever can be found out
// before writing is therefore checked here, and nothing is changed in the
// settings object unless this succeeds.
bool prepareForWrite(const QString &fileName)
{
    const QFileInfo info(fileName);
    if (info.exists() && !info.isFile())
        return false;
    if (!QFileInfo(info.absolutePath()).isWritable())
        return false;
    QFile file(fileName);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    file.close();
    // A file that belongs to someone else keeps the permissions its owner gave it.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

// What a write through `settings` came to. A file that was not valid INI
// leaves FormatError in the settings object, which keeps the first error it
// met for good, through the write that replaces the file as well; what can
// make a write fail was checked by prepareForWrite() beforehand.
QSettings::Status writeStatus(const QSettings &settings)
{
    return settings.status() == QSettings::FormatError ? QSettings::NoError : settings.status();
}

} // namespace

QString shownDeviceName(const QString &name)
{
    if (name.size() <= kMaxShownNameLength)
        return name;
    int kept = kMaxShownNameLength - 1;
    // Half a surrogate pair would show as a box.
    if (name.at(kept - 1).isHighSurrogate())
        --kept;
    return name.left(kept) + QChar(0x2026);
}

SettingsFile::SettingsFile(const QString &fileName) : m_fileName(fileName) {}

BrokerSettings SettingsFile::readBrokerForEditing() const
{
    return readBroker(QStringLiteral("localhost"), QStringLiteral("1883"));
}

BrokerSettings SettingsFile::readBrokerForConnecting() const
{
    return readBroker(QString(), QStringLiteral("0"));
}

BrokerSettings SettingsFile::readBroker(const QString &defaultHost, const QString &defaultPort) const
{
    QSettings settings(m_fileName, QSettings::IniFormat);
    settings.beginGroup(kMqttGroup);
    BrokerSettings broker;
    broker.host = settings.value(QStringLiteral("Host"), defaultHost).toString();
    broker.clientId = settings.value(QStringLiteral("clientId"), QString()).toString();
    broker.username = settings.value(QStringLiteral("username"), QString()).toString();
    broker.password = settings.value(QStringLiteral("passwd"), QString()).toString();
    broker.port = settings.value(QStringLiteral("Port"), defaultPort).toInt();
    settings.endGroup();
    return broker;
}

QSettings::Status SettingsFile::writeBroker(const BrokerSettings &broker) const
{
    if (!prepareForWrite(m_fileName))
        return QSettings::AccessError;
    QSettings settings(m_fileName, QSettings::IniFormat);
    if (settings.status() == QSettings::AccessError)
        return QSettings::AccessError;
    settings.beginGroup(kMqttGroup);
    settings.setValue(QStringLiteral("Host"), storedText(broker.host));
    settings.setValue(QStringLiteral("clientId"), storedText(broker.clientId));
    settings.setValue(QStringLiteral("username"), storedText(broker.username));
    settings.setValue(QStringLiteral("passwd"), storedText(broker.password));
    settings.setValue(QStringLiteral("Port"), QString::number(broker.port));
    settings.endGroup();
    settings.sync();
    return writeStatus(settings);
}

QVector<DeviceEntry> SettingsFile::readDevices() const
{
    QSettings settings(m_fileName, QSettings::IniFormat);
    settings.beginGroup(kDevicesGroup);
    const StoredArray stored = readArray(settings);
    settings.endGroup();

    QVector<DeviceEntry> devices;
    for (const StoredDevice &device : stored.devices) {
        if (device.isComplete())
            devices.append({device.name, device.topic});
    }
    return devices;
}

DeviceListResult SettingsFile::compactDeviceList() const
{
    return keepDevices([](int, const DeviceEntry &) { return true; });
}

DeviceListResult SettingsFile::storeDevice(const QString &name, const QString &topic) const
{
    QSettings::Status status = QSettings::AccessError;
    {
        QSettings settings(m_fileName, QSettings::IniFormat);
        settings.beginGroup(kDevicesGroup);
        // Elements past the last one with keys would all be absent, so the
        // array is taken to end there: a new device goes right after it.
        const StoredArray stored = readArray(settings);
        int target = stored.end;
        for (const StoredDevice &device : stored.devices) {
            if (device.topic == topic || device.name == name) {
                target = device.index;
                break;
            }
        }
        if (settings.status() != QSettings::AccessError && prepareForWrite(m_fileName)) {
            writeElement(settings, target, stored.end, name, topic);
            settings.endGroup();
            settings.sync();
            status = writeStatus(settings);
        }
    }
    return afterWrite(status);
}

DeviceEntry SettingsFile::deviceAt(int row) const
{
    const QVector<DeviceEntry> devices = readDevices();
    if (row < 0 || row >= devices.size())
        return {};
    return devices.at(row);
}

DeviceListResult SettingsFile::replaceDeviceAt(int row, const QString &name, const QString &topic) const
{
    QSettings::Status status = QSettings::AccessError;
    bool rowFound = false;
    {
        QSettings settings(m_fileName, QSettings::IniFormat);
        settings.beginGroup(kDevicesGroup);
        const StoredArray stored = readArray(settings);
        const int target = indexOfRow(stored.devices, row);
        rowFound = target >= 0;
        if (rowFound && settings.status() != QSettings::AccessError && prepareForWrite(m_fileName)) {
            writeElement(settings, target, stored.end, name, topic);
            settings.endGroup();
            settings.sync();
            status = writeStatus(settings);
        }
    }
    // The row is gone only when something else changed the file meanwhile;
    // the typed device is then kept the way an added one would be.
    if (!rowFound)
        return storeDevice(name, topic);
    return afterWrite(status);
}

DeviceListResult SettingsFile::removeDeviceAt(int row) const
{
    return keepDevices([row](int completeRow, const DeviceEntry &) { return completeRow != row; });
}

void SettingsFile::writeElement(QSettings &settings, int index, int size, const QString &name, const QString &topic)
{
    // With the size left open, endArray() stores the highest index selected
    // plus one, so selecting the last element keeps the size of a replacement.
    settings.beginWriteArray(kDeviceArray);
    settings.setArrayIndex(index);
    settings.setValue(kNameKey, storedText(name));
    settings.setValue(kTopicKey, storedText(topic));
    if (index != size)
        settings.setArrayIndex(size - 1);
    settings.endArray();
}

DeviceListResult SettingsFile::afterWrite(QSettings::Status status) const
{
    if (status != QSettings::NoError)
        return {completeNamesInFile(), status};
    return compactDeviceList();
}

QStringList SettingsFile::completeNamesInFile() const
{
    QStringList names;
    for (const DeviceEntry &device : readDevices())
        names.append(device.name);
    return names;
}

DeviceListResult SettingsFile::keepDevices(const std::function<bool(int, const DeviceEntry &)> &keep) const
{
    QSettings settings(m_fileName, QSettings::IniFormat);
    settings.beginGroup(kDevicesGroup);
    const StoredArray stored = readArray(settings);

    QVector<DeviceEntry> kept;
    int row = 0;
    for (const StoredDevice &device : stored.devices) {
        if (!device.isComplete())
            continue;
        const DeviceEntry entry{device.name, device.topic};
        if (keep(row++, entry))
            kept.append(entry);
    }

    DeviceListResult result{completeNames(stored.devices), QSettings::NoError};
    if (kept.size() != stored.size) {
        if (settings.status() != QSettings::AccessError && prepareForWrite(m_fileName)) {
            writeArray(settings, kept);
            settings.endGroup();
            settings.sync();
            result.status = writeStatus(settings);
        } else {
            result.status = QSettings::AccessError;
        }
    }
    if (result.status == QSettings::NoError) {
        result.names.clear();
        for (const DeviceEntry &entry : kept)
            result.names.append(entry.name);
    }
    return result;
}
