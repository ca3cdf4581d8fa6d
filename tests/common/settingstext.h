#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariant>

// The text of a Settings.conf as QSettings writes it from nothing: the values
// go through a QSettings on a scratch file, whose bytes are the text. So what
// a test expects the program to write is QSettings' own spelling, never a
// second copy of its rules. Sections come in name order, keys sorted within
// them, DEV\size counting the elements. For example
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
    // The next element, its values spelt in the file as given, escapes and all.
    SettingsText &rawDevice(const QByteArray &name, const QByteArray &topic);
    // DEV\size spelt as given, in place of the number of elements.
    SettingsText &size(const QByteArray &text);
    // Any key of any section ("DEV/4/topic" in "Devices").
    SettingsText &value(const QString &section, const QString &key, const QString &value);
    // A line appended as it is, after all sections.
    SettingsText &raw(const QByteArray &line);

    QByteArray bytes() const;
    // The key lines of bytes(), without section lines and the blank lines
    // between sections: what a write adds to a section the file has.
    QByteArray keyLines() const;

private:
    SettingsText &rawValue(const QString &section, const QString &key, const QByteArray &text);
    QString nextElement();

    QMap<QString, QString> m_values;   // by key, "Devices/DEV/1/topic"
    QMap<QString, QByteArray> m_spelt; // by key, spelt by the test
    int m_devices = 0;
    bool m_sizeGiven = false;
    QByteArray m_tail;
};

// The names of the devices in Settings.conf, as the program reads them.
QStringList storedNames();

// Settings.conf as QSettings reads it: the value of key, and the names of
// the complete devices. Read from a copy under a name of its own each time:
// QSettings keeps what it read of a file by the file's name.
QVariant readByQSettings(const QString &key);
QStringList namesReadByQSettings();
