#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVector>

#include <functional>

// One registered meter as the file holds it.
struct DeviceEntry
{
    QString name;
    QString topic;
};

// A device name as a list row or a tab title shows it. Names come from a
// hand-editable file, and Qt shapes the whole of a text to elide it, on every
// layout and repaint, so a name of megabytes would freeze the window for
// minutes. Longer names are cut to kMaxShownNameLength characters, the last
// of them an ellipsis; the file keeps the whole name.
constexpr int kMaxShownNameLength = 256;
QString shownDeviceName(const QString &name);

// The broker settings of group MQTT.
struct BrokerSettings
{
    QString host;
    QString clientId;
    QString username;
    QString password;
    int port = 0;
};

// What a device-list operation leaves behind: the names of the complete
// entries in file order, as the file holds them afterwards (also when the
// write failed), and whether the file could be written.
struct DeviceListResult
{
    QStringList names;
    QSettings::Status status = QSettings::NoError;
};

// Every access to the configuration file. Each call opens the file afresh
// and closes it before returning, so each sees what the previous one left.
// Reading never creates the file; writing leaves it readable by its owner
// only, since it holds the broker password in clear text.
class SettingsFile final
{
public:
    explicit SettingsFile(const QString &fileName = QStringLiteral("Settings.conf"));

    // Broker settings with the defaults of the settings form ("localhost", 1883).
    BrokerSettings readBrokerForEditing() const;
    // Broker settings with the defaults used at connect time (empty host, port 0).
    BrokerSettings readBrokerForConnecting() const;
    QSettings::Status writeBroker(const BrokerSettings &settings) const;

    // The complete entries in file order; never writes.
    QVector<DeviceEntry> readDevices() const;

    // Drops the incomplete entries from the file, rewriting it when it holds
    // any, and returns the names of the rest. Unlike readDevices() this writes.
    DeviceListResult compactDeviceList() const;
    // Replaces the lowest-index entry whose topic equals `topic` or whose name
    // equals `name`, or appends one; then compacts like compactDeviceList().
    DeviceListResult storeDevice(const QString &name, const QString &topic) const;

    // Row-based edits: row is the index among the complete entries, as the
    // device list shows them.
    DeviceEntry deviceAt(int row) const;
    DeviceListResult replaceDeviceAt(int row, const QString &name, const QString &topic) const;
    DeviceListResult removeDeviceAt(int row) const;

private:
    BrokerSettings readBroker(const QString &defaultHost, const QString &defaultPort) const;
    static void writeElement(QSettings &settings, int index, int size, const QString &name, const QString &topic);
    // What the list shows after a device was written, or after the write failed.
    DeviceListResult afterWrite(QSettings::Status status) const;
    QStringList completeNamesInFile() const;
    // Rewrites the array with the complete entries that keep accepts (given
    // their row among the complete entries), when anything is dropped.
    DeviceListResult keepDevices(const std::function<bool(int, const DeviceEntry &)> &keep) const;

    const QString m_fileName;
};
