#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <vector>

// The text of a Settings.conf, byte for byte as QSettings writes it: keys sorted
// within their section, values escaped and quoted its way, DEV\size counting the
// elements. Sections stand in the order they are first used, as QSettings keeps
// them when it rewrites a file. For example
//     SettingsText().device("Pump", "plant/1").broker("127.0.0.1", 1883).bytes()
class SettingsText final
{
public:
    // [MQTT] Host and Port.
    SettingsText &broker(const QString &host, const QString &port);
    SettingsText &broker(const QString &host, int port) { return broker(host, QString::number(port)); }
    // [MQTT] clientId.
    SettingsText &clientId(const QString &id);
    // [MQTT] username and passwd.
    SettingsText &login(const QString &user, const QString &password);
    // The next element of the device array.
    SettingsText &device(const QString &name, const QString &topic);
    // The next element, without its topic key, as a hand edit may leave it.
    SettingsText &deviceWithoutTopic(const QString &name);
    // The next element, with values written as given, escapes and all.
    SettingsText &rawDevice(const QByteArray &name, const QByteArray &topic);
    // DEV\size as given, in place of the number of elements.
    SettingsText &size(const QByteArray &text);
    // Any key of any section ("DEV/4/topic" in "Devices").
    SettingsText &value(const QString &section, const QString &key, const QString &value);
    // A line appended as it is, after all sections.
    SettingsText &raw(const QByteArray &line);

    QByteArray bytes() const;

private:
    SettingsText &rawValue(const QString &section, const QString &key, const QByteArray &text);
    QString nextElement();

    struct Section
    {
        QString name;
        QMap<QString, QByteArray> values;
    };
    std::vector<Section> m_sections;
    int m_devices = 0;
    QByteArray m_size;
    QByteArray m_tail;
};

// The names of the devices in Settings.conf, as the program reads them.
QStringList storedNames();
