#include "common/settingstext.h"

#include "config/settingsfile.h"

namespace {

// Not QString globals: tests build their file texts in globals of their own,
// which may be initialised before these.
constexpr QLatin1String kBroker("MQTT");
constexpr QLatin1String kDevices("Devices");

bool isHexDigit(ushort ch)
{
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

// A text value as QSettings writes it into an INI file (Qt 5, no codec).
QByteArray escaped(const QString &value)
{
    QString text = value;
    if (text.contains(QChar::Null))
        text = QStringLiteral("@String(") + text + QLatin1Char(')');
    else if (text.startsWith(QLatin1Char('@')))
        text.prepend(QLatin1Char('@'));

    QByteArray out;
    bool needsQuotes = false;
    bool escapeNextIfHex = false; // after a \x escape, a hex digit would join it
    for (const QChar qch : qAsConst(text)) {
        const ushort ch = qch.unicode();
        if (ch == ';' || ch == ',' || ch == '=')
            needsQuotes = true;
        if (escapeNextIfHex && isHexDigit(ch)) {
            out += "\\x" + QByteArray::number(ch, 16);
            continue;
        }
        escapeNextIfHex = false;
        if (ch == 0) {
            out += "\\0";
            escapeNextIfHex = true;
        } else if (ch >= '\a' && ch <= '\r') { // \a \b \t \n \v \f \r, in code order
            out += '\\';
            out += "abtnvfr"[ch - '\a'];
        } else if (ch == '"' || ch == '\\') {
            out += '\\';
            out += char(ch);
        } else if (ch < 0x20 || ch >= 0x7f) {
            out += "\\x" + QByteArray::number(ch, 16);
            escapeNextIfHex = true;
        } else {
            out += char(ch);
        }
    }
    if (needsQuotes || out.startsWith(' ') || out.endsWith(' '))
        out = '"' + out + '"';
    return out;
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
    return QStringLiteral("DEV/%1/").arg(++m_devices);
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
    m_size = text;
    return rawValue(kDevices, QStringLiteral("DEV/size"), text);
}

SettingsText &SettingsText::value(const QString &section, const QString &key, const QString &value)
{
    return rawValue(section, key, escaped(value));
}

SettingsText &SettingsText::rawValue(const QString &section, const QString &key, const QByteArray &text)
{
    auto it = std::find_if(m_sections.begin(), m_sections.end(), [&](const Section &s) { return s.name == section; });
    if (it == m_sections.end())
        it = m_sections.insert(m_sections.end(), Section{section, {}});
    it->values.insert(key, text);
    if (section == kDevices && m_size.isNull())
        it->values.insert(QStringLiteral("DEV/size"), QByteArray::number(m_devices));
    return *this;
}

SettingsText &SettingsText::raw(const QByteArray &line)
{
    m_tail += line + '\n';
    return *this;
}

QByteArray SettingsText::bytes() const
{
    QByteArray text;
    for (const Section &section : m_sections) {
        if (!text.isEmpty())
            text += '\n';
        text += '[' + section.name.toLatin1() + "]\n";
        // QSettings sorts the keys with '/' between their parts, and writes '\'.
        for (auto it = section.values.cbegin(); it != section.values.cend(); ++it)
            text += QString(it.key()).replace(QLatin1Char('/'), QLatin1Char('\\')).toLatin1() + '=' + it.value() + '\n';
    }
    return text + m_tail;
}

QStringList storedNames()
{
    QStringList names;
    for (const DeviceEntry &device : SettingsFile().readDevices())
        names << device.name;
    return names;
}
