#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

// Settings.conf as text, in the INI dialect that QSettings writes and reads:
// groups in brackets, keys and values escaped its way, keys addressed as
// "Group/sub/key". Files written by earlier versions of the program read the
// same here, and what is written here reads the same through QSettings.
//
// Unlike QSettings, it never turns a value into anything but text. QSettings
// decodes values of the form @Variant(...) through QDataStream, so one line of
// a hand-edited file could claim a list of two billion elements or nest forty
// thousand levels deep, and crash the program before its window opened. Here
// such a value, and any other value that is not plain text (@ByteArray(...),
// @Rect(...), a comma-separated list, ...), reads as absent and is listed by
// ignoredKeys(); a rewrite keeps it in the file, spelt as QSettings spells it.
//
// Like QSettings, it reads a group's lines only when a key in or under that
// group is asked for: a large file costs little to those who want one group.
class IniDocument final
{
public:
    IniDocument() = default;
    static IniDocument fromText(const QByteArray &text);
    // The whole document the way QSettings would write it: one block per
    // group in name order, keys in name order within it.
    QByteArray toText() const;

    bool contains(const QString &key) const;
    // The text of key, or a null string if the key is absent or its value is
    // not plain text.
    QString text(const QString &key) const;
    // Keys whose values are not plain text, in key order.
    QStringList ignoredKeys() const;
    QStringList ignoredKeys(const QString &group) const;

    void setText(const QString &key, const QString &text);
    // Removes key and every key below it ("Devices" removes "Devices/DEV/1/topic").
    void remove(const QString &key);
    // The names of the groups directly below group ("" for the top), sorted.
    QStringList childGroups(const QString &group) const;

private:
    struct Value
    {
        enum Kind
        {
            Text,
            Typed, // text is the stored form, e.g. "@Variant(...)"
            List   // list holds the stored forms of the elements
        };
        Kind kind = Text;
        QString text;
        QStringList list;
    };

    // Where one part of a group's lines stands in m_text.
    struct Part
    {
        int start;
        int end;
    };

    static QString prefixOf(const QString &group);
    // Reads the lines of one group (by prefix: "" for the top, "MQTT/");
    // returns the next group not read yet.
    QMap<QString, QVector<Part>>::iterator parseGroup(QMap<QString, QVector<Part>>::iterator group) const;
    // The groups that may hold key, enclosing ones first: their keys are
    // overridden by those of the groups within them.
    void parseEnclosing(const QString &key) const;
    // The groups that may hold key.
    void parseKey(const QString &key) const;
    // The groups that may hold keys starting with prefix.
    void parseUnder(const QString &prefix) const;

    QByteArray m_text;
    bool m_utf8 = false;
    mutable QMap<QString, QVector<Part>> m_unparsed;
    mutable QMap<QString, Value> m_values;
};
