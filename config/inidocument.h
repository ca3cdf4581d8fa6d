#pragma once

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>
#include <utility>
#include <vector>

// Settings.conf as the lines of its text, in the INI dialect of IniSyntax.
// Keys are addressed as "Group/sub/key"; where the file gives a key more
// than once, the last time counts.
//
// Values are read and written as text only. One that is not text (a typed
// form such as @Variant(...) or @ByteArray(...)) reads as absent and is
// listed by ignoredValues(): QSettings decoded @Variant(...) through
// QDataStream, so one line of a hand-edited file could claim a list of two
// billion elements and crash the program before its window opened.
//
// A write changes only the lines of the keys it sets or removes: a key set
// gets its new value where the file gives it (the last time), a key removed
// loses every line that gives it, a new key goes at the end of its section
// (the last one of that name) and a new section at the end of the file.
// Every other line, comments, blank lines and keys nobody asked for among
// them, stays byte for byte. A document made from nothing comes out as
// QSettings writes one: sections in name order, keys sorted within them, a
// blank line between sections.
//
// Only the section lines are read at first; a section's keys are read when
// a key in or under its group is asked for, so a large file costs little to
// whoever wants one group.
class IniDocument final
{
public:
    IniDocument();
    static IniDocument fromText(const QByteArray &text);
    QByteArray toText() const;

    // The text of key, or a null string if the key is absent or its value is
    // not text.
    QString text(const QString &key) const;
    // Every key below group ("" for all of them), whatever its value, sorted.
    QStringList keys(const QString &group) const;
    // The names of the groups directly below group ("" for the top), sorted.
    QStringList childGroups(const QString &group) const;

    // A key whose value is not text, and the form it has ("@Variant").
    struct Ignored
    {
        QString key;
        QString form;
    };
    // Those below group, in key order.
    QVector<Ignored> ignoredValues(const QString &group) const;

    void setText(const QString &key, const QString &text);
    // Removes key and every key below it ("Devices" removes "Devices/DEV/1/topic").
    void remove(const QString &key);

private:
    // The lines after one section line up to the next; the first one, before
    // any section line, has none (headerStart -1).
    struct Section
    {
        int headerStart;
        int bodyStart;
        int bodyEnd;
    };
    // A line that gives a key its value.
    struct Entry
    {
        int lineStart;
        int lineEnd; // past its line break
        int valueStart;
        int valueEnd;
        int earlier; // the entry before it of the same key in the same group, or -1
    };
    // The keys of one group, relative to it, and the last entry of each.
    using GroupKeys = QHash<QString, int>;
    // Sections by the hash of their group's name, or of its first part: the
    // hash in the upper half, the section in the lower, in ascending order.
    using SectionIndex = std::vector<quint64>;

    QString groupOfSection(int section) const;
    QVector<int> sectionsOf(const QString &group) const;
    // The groups below group that have sections of their own.
    QStringList groupsBelow(const QString &group) const;
    const GroupKeys &keysOf(const QString &group) const;
    // The entry that counts for key, or -1.
    int storedEntry(const QString &key) const;
    // Every entry of key.
    QVector<int> storedEntries(const QString &key) const;
    // The entry that counts for each key stored below group ("" for all).
    QHash<QString, int> storedBelow(const QString &group) const;
    // Where each group within a section ends: past the last line (not
    // removed) that gives one of its keys, by the group's name relative to
    // the section; the null name stands for the section itself: past its
    // last line that holds anything, or its section line.
    QHash<QString, int> groupEnds(int section, const QVector<int> &removedLines) const;
    // The section that takes the new keys of group, its last one, with the
    // ends of the groups in it; -1 when none can take them.
    int sectionForNewKeys(const QString &group, const QVector<int> &removedLines, QHash<QString, int> *ends) const;

    QByteArray m_text;
    QByteArray m_lineBreak;
    std::vector<Section> m_sections;
    SectionIndex m_sectionsByName;
    SectionIndex m_sectionsByFirstPart;
    mutable QHash<QString, GroupKeys> m_groups;
    mutable std::vector<Entry> m_entries;
    // Keys set (a text) or removed (none) since the text was read.
    QMap<QString, std::optional<QString>> m_changes;
};
