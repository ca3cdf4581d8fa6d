#include "config/settingsfile.h"

// Placeholder until the file operations land.
SettingsFile::SettingsFile(const QString &fileName) : m_fileName(fileName) {}
BrokerSettings SettingsFile::readBrokerForEditing() const { return {QStringLiteral("localhost"), {}, {}, {}, 1883}; }
BrokerSettings SettingsFile::readBrokerForConnecting() const { return {}; }
QSettings::Status SettingsFile::writeBroker(const BrokerSettings &) const { return QSettings::AccessError; }
QVector<DeviceEntry> SettingsFile::readDevices() const { return {}; }
DeviceListResult SettingsFile::LoadDeviceList() const { return {}; }
QString SettingsFile::FindDeviceTopic(const QString &) const { return {}; }
DeviceListResult SettingsFile::StoreDevice(const QString &, const QString &) const { return {}; }
DeviceListResult SettingsFile::RemoveDevice(const QString &) const { return {}; }
DeviceEntry SettingsFile::deviceAt(int) const { return {}; }
DeviceListResult SettingsFile::replaceDeviceAt(int, const QString &, const QString &) const { return {}; }
DeviceListResult SettingsFile::removeDeviceAt(int) const { return {}; }
