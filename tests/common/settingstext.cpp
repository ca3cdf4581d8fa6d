#include "common/settingstext.h"

#include "config/settingsfile.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

namespace {

// Not QString globals: tests build their file texts in globals of their own,
// which may be initialised before these.
constexpr QLatin1String kBroker("MQTT");
constexpr QLatin1String kDevices("Devices");

QString joined(const QString &section, const QString &key)
{
    return section + QLatin1Char('/') + key;
}

// What QSettings writes for a value spelt by the test, to be replaced by it:
// letters and digits, which it writes as they are.
QByteArray standIn(int index)
{
    return "SpeltByTheTest" + QByteArray::number(index).rightJustified(4, '0');
}

} // namespace

SettingsText &SettingsText::broker(const QString &host, const QString &port)
{
    value(kBroker, QStringLiteral("Host"), host);
    return value(kBroker, QStringLiteral("Port"), port);
}

SettingsText &SettingsText::clientId(const QString &id)
{
    return value(kBroker, QStringLiteral("clientId"), id);
}

SettingsText &SettingsText::login(const QString &user, const QString &password)
{
    value(kBroker, QStringLiteral("username"), user);
    return value(kBroker, QStringLiteral("passwd"), password);
}

QString SettingsText::nextElement()
{
    ++m_devices;
    if (!m_sizeGiven)
        m_values.insert(QStringLiteral("Devices/DEV/size"), QString::number(m_devices));
    return QStringLiteral("DEV/%1/").arg(m_devices);
}

SettingsText &SettingsText::device(const QString &name, const QString &topic)
{
    const QString element = nextElement();
    value(kDevices, element + QStringLiteral("dev_name"), name);
    return value(kDevices, element + QStringLiteral("topic"), topic);
}

SettingsText &SettingsText::deviceWithoutTopic(const QString &name)
{
    return value(kDevices, nextElement() + QStringLiteral("dev_name"), name);
}

SettingsText &SettingsText::rawDevice(const QByteArray &name, const QByteArray &topic)
{
    const QString element = nextElement();
    rawValue(kDevices, element + QStringLiteral("dev_name"), name);
    return rawValue(kDevices, element + QStringLiteral("topic"), topic);
}

SettingsText &SettingsText::size(const QByteArray &text)
{
    m_sizeGiven = true;
    m_values.remove(QStringLiteral("Devices/DEV/size"));
    return rawValue(kDevices, QStringLiteral("DEV/size"), text);
}

SettingsText &SettingsText::value(const QString &section, const QString &key, const QString &value)
{
    m_spelt.remove(joined(section, key));
    m_values.insert(joined(section, key), value);
    return *this;
}

SettingsText &SettingsText::rawValue(const QString &section, const QString &key, const QByteArray &text)
{
    m_values.remove(joined(section, key));
    m_spelt.insert(joined(section, key), text);
    return *this;
}

SettingsText &SettingsText::raw(const QByteArray &line)
{
    m_tail += line + '\n';
    return *this;
}

QByteArray SettingsText::bytes() const
{
    // A new file each time: QSettings keeps what it knows of a file by its name.
    QTemporaryDir scratch;
    const QString fileName = scratch.filePath(QStringLiteral("Settings.conf"));
    {
        QSettings settings(fileName, QSettings::IniFormat);
        for (auto it = m_values.cbegin(); it != m_values.cend(); ++it)
            settings.setValue(it.key(), it.value());
        int index = 0;
        for (auto it = m_spelt.cbegin(); it != m_spelt.cend(); ++it)
            settings.setValue(it.key(), QString::fromLatin1(standIn(index++)));
    }
    QFile file(fileName);
    QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    int index = 0;
    for (auto it = m_spelt.cbegin(); it != m_spelt.cend(); ++it)
        text.replace('=' + standIn(index++) + '\n', '=' + it.value() + '\n');
    return text + m_tail;
}

QByteArray SettingsText::keyLines() const
{
    QByteArray lines;
    for (const QByteArray &line : bytes().split('\n')) {
        if (!line.isEmpty() && !line.startsWith('['))
            lines += line + '\n';
    }
    return lines;
}

QStringList storedNames()
{
    QStringList names;
    for (const DeviceEntry &device : SettingsFile().readDevices())
        names << device.name;
    return names;
}

namespace {

// Settings.conf copied to a scratch file that no QSettings has seen.
class FreshCopy final
{
public:
    FreshCopy() : m_name(m_dir.filePath(QStringLiteral("Settings.conf")))
    {
        QFile::copy(QStringLiteral("Settings.conf"), m_name);
    }
    QString fileName() const { return m_name; }

private:
    QTemporaryDir m_dir;
    QString m_name;
};

} // namespace

QVariant readByQSettings(const QString &key)
{
    const FreshCopy copy;
    return QSettings(copy.fileName(), QSettings::IniFormat).value(key);
}

QStringList namesReadByQSettings()
{
    const FreshCopy copy;
    QSettings settings(copy.fileName(), QSettings::IniFormat);
    QStringList names;
    const int size = settings.beginReadArray(QStringLiteral("Devices/DEV"));
    for (int i = 0; i < size; ++i) {
        settings.setArrayIndex(i);
        if (settings.contains(QStringLiteral("dev_name")) && settings.contains(QStringLiteral("topic")))
            names << settings.value(QStringLiteral("dev_name")).toString();
    }
    settings.endArray();
    return names;
}
