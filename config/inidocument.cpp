#include "config/inidocument.h"

#include "config/inisyntax.h"

#include <QSet>

#include <algorithm>

using IniSyntax::Line;
using IniSyntax::Statement;

namespace {

// A key the program can address: parts, none of them empty. The file may
// spell others ("a\\b", "\a"); they cannot be asked for, here or in QSettings.
bool isWellFormed(const QString &key)
{
    return !key.isEmpty() && !key.startsWith(QLatin1Char('/')) && !key.endsWith(QLatin1Char('/')) &&
           !key.contains(QLatin1String("//"));
}

bool isBelow(const QString &key, const QString &group)
{
    if (group.isEmpty())
        return true;
    return key.size() > group.size() + 1 && key.startsWith(group) && key.at(group.size()) == QLatin1Char('/');
}

QString joined(const QString &group, const QString &key)
{
    return group.isEmpty() ? key : group % QLatin1Char('/') % key;
}

// Sections are found by the hash of their group's name, or of its first part:
// FNV-1a over its UTF-16 codes, so that the bytes of a name spelt plainly
// hash alike, without being decoded.
constexpr uint kHashStart = 2166136261u;

uint hashed(uint hash, ushort code)
{
    return (hash ^ code) * 16777619u;
}

uint nameHash(QStringView name)
{
    uint hash = kHashStart;
    for (const QChar ch : name)
        hash = hashed(hash, ch.unicode());
    return hash;
}

// The hashes of a section's name and its first part when the name is spelt
// plainly (no escape, no '\', not "General"), each byte a character; false
// when it is not, or names a group no key can be asked from.
bool hashPlainName(const char *begin, const char *end, uint *name, uint *first)
{
    if (begin == end || *begin == '/' || end[-1] == '/' ||
        ((end - begin == 7 || end - begin == 8) && qstrnicmp(end - 7, "general", 7) == 0))
        return false;
    *name = kHashStart;
    bool parted = false;
    for (const char *p = begin; p < end; ++p) {
        if (*p == '%' || *p == '\\' || (*p == '/' && p + 1 < end && p[1] == '/'))
            return false;
        if (*p == '/' && !parted) {
            *first = *name;
            parted = true;
        }
        *name = hashed(*name, uchar(*p));
    }
    if (!parted)
        *first = *name;
    return true;
}

QStringView firstPart(QStringView name)
{
    const int slash = int(name.indexOf(QLatin1Char('/')));
    return slash < 0 ? name : name.left(slash);
}

// The group whose section a new key goes into: its first part, or none.
QString sectionGroup(const QString &key)
{
    const int slash = key.indexOf(QLatin1Char('/'));
    return slash < 0 ? QStringLiteral("") : key.left(slash);
}

// The groups whose sections may give key: the top and every leading part of
// it short of the whole.
QStringList enclosingGroups(const QString &key)
{
    QStringList groups{QStringLiteral("")};
    for (int slash = key.indexOf(QLatin1Char('/')); slash >= 0; slash = key.indexOf(QLatin1Char('/'), slash + 1))
        groups << key.left(slash);
    return groups;
}

// New lines are broken the way the file's first line is.
QByteArray lineBreakOf(const QByteArray &text)
{
    const Line first = IniSyntax::lineAt(text, 0);
    int at = first.contentEnd;
    while (at < first.end && text.at(at) != '\n' && text.at(at) != '\r')
        ++at;
    return at < first.end ? text.mid(at, first.end - at) : QByteArrayLiteral("\n");
}

bool holdsAnything(const QByteArray &text, const Line &line)
{
    for (int at = line.start; at < line.contentEnd; ++at) {
        if (text.at(at) != ' ' && text.at(at) != '\t')
            return true;
    }
    return false;
}

// Whether text, which ends with a line break, ends with a blank line.
bool endsWithBlankLine(const QByteArray &text)
{
    int end = text.size();
    if (text.endsWith("\r\n"))
        end -= 2;
    else if (end > 0)
        --end;
    for (int at = end - 1; at >= 0; --at) {
        const char c = text.at(at);
        if (c == '\n' || c == '\r')
            return true;
        if (c != ' ' && c != '\t')
            return false;
    }
    return true;
}

using SectionIndex = std::vector<quint64>;

quint64 indexed(uint hash, int section)
{
    return quint64(hash) << 32 | quint64(uint(section));
}

// The sections whose names have the hash, in file order.
std::pair<SectionIndex::const_iterator, SectionIndex::const_iterator> sectionsHashed(const SectionIndex &index,
                                                                                     uint hash)
{
    return {std::lower_bound(index.cbegin(), index.cend(), indexed(hash, 0)),
            std::upper_bound(index.cbegin(), index.cend(), indexed(hash, -1))};
}

int sectionIn(quint64 entry)
{
    return int(uint(entry));
}

} // namespace

IniDocument::IniDocument() : m_lineBreak("\n"), m_sections{{-1, 0, 0}}
{
    m_sectionsByName.push_back(indexed(nameHash(QStringView()), 0));
    m_sectionsByFirstPart.push_back(indexed(nameHash(QStringView()), 0));
}

IniDocument IniDocument::fromText(const QByteArray &text)
{
    IniDocument document;
    document.m_text = text;
    document.m_lineBreak = lineBreakOf(text);
    document.m_sections.front().bodyEnd = text.size();
    for (int at = 0; at < text.size();) {
        const Line line = IniSyntax::lineAt(text, at);
        const Statement statement = IniSyntax::sectionOf(text, line, at == 0);
        if (statement.kind == Statement::Section) {
            document.m_sections.back().bodyEnd = line.start;
            document.m_sections.push_back({line.start, line.end, text.size()});
            const int section = int(document.m_sections.size()) - 1;
            const char *nameStart = text.constData() + statement.nameStart;
            const char *nameEnd = text.constData() + statement.nameEnd;
            uint name = 0;
            uint first = 0;
            if (hashPlainName(nameStart, nameEnd, &name, &first)) {
                document.m_sectionsByName.push_back(indexed(name, section));
                document.m_sectionsByFirstPart.push_back(indexed(first, section));
                at = line.end;
                continue;
            }
            // Sections no key can be asked from are left out of the index.
            const QString group = IniSyntax::sectionName(nameStart, nameEnd);
            if (!group.isNull()) {
                document.m_sectionsByName.push_back(indexed(nameHash(group), section));
                document.m_sectionsByFirstPart.push_back(indexed(nameHash(firstPart(group)), section));
            }
        }
        at = line.end;
    }
    std::sort(document.m_sectionsByName.begin(), document.m_sectionsByName.end());
    std::sort(document.m_sectionsByFirstPart.begin(), document.m_sectionsByFirstPart.end());
    return document;
}

QString IniDocument::groupOfSection(int section) const
{
    const int header = m_sections.at(std::size_t(section)).headerStart;
    if (header < 0)
        return QStringLiteral("");
    const Statement statement = IniSyntax::sectionOf(m_text, IniSyntax::lineAt(m_text, header), header == 0);
    return IniSyntax::sectionName(m_text.constData() + statement.nameStart, m_text.constData() + statement.nameEnd);
}

QVector<int> IniDocument::sectionsOf(const QString &group) const
{
    QVector<int> sections;
    const auto range = sectionsHashed(m_sectionsByName, nameHash(group));
    for (auto it = range.first; it != range.second; ++it) {
        if (groupOfSection(sectionIn(*it)) == group)
            sections << sectionIn(*it);
    }
    return sections;
}

QStringList IniDocument::groupsBelow(const QString &group) const
{
    QSet<QString> groups;
    const auto collect = [&](SectionIndex::const_iterator from, SectionIndex::const_iterator to) {
        for (auto it = from; it != to; ++it) {
            const QString name = groupOfSection(sectionIn(*it));
            if (!name.isEmpty() && isBelow(name, group))
                groups.insert(name);
        }
    };
    if (group.isEmpty()) {
        collect(m_sectionsByName.cbegin(), m_sectionsByName.cend());
    } else {
        const auto range = sectionsHashed(m_sectionsByFirstPart, nameHash(firstPart(group)));
        collect(range.first, range.second);
    }
    return groups.values();
}

const IniDocument::GroupKeys &IniDocument::keysOf(const QString &group) const
{
    const auto known = m_groups.constFind(group);
    if (known != m_groups.constEnd())
        return *known;

    GroupKeys keys;
    for (const int section : sectionsOf(group)) {
        const Section &stretch = m_sections.at(std::size_t(section));
        for (int at = stretch.bodyStart; at < stretch.bodyEnd;) {
            const Line line = IniSyntax::lineAt(m_text, at);
            const Statement statement = IniSyntax::statementOf(m_text, line, at == 0);
            if (statement.kind == Statement::Entry) {
                const QString key = IniSyntax::keyName(m_text.constData() + statement.nameStart,
                                                       m_text.constData() + statement.nameEnd);
                if (isWellFormed(key)) {
                    m_entries.push_back(
                        {line.start, line.end, statement.valueStart, statement.valueEnd, keys.value(key, -1)});
                    keys.insert(key, int(m_entries.size()) - 1);
                }
            }
            at = line.end;
        }
    }
    return *m_groups.insert(group, keys);
}

int IniDocument::storedEntry(const QString &key) const
{
    int found = -1;
    for (const QString &group : enclosingGroups(key)) {
        const int entry = keysOf(group).value(group.isEmpty() ? key : key.mid(group.size() + 1), -1);
        if (entry >= 0 &&
            (found < 0 || m_entries.at(std::size_t(entry)).lineStart > m_entries.at(std::size_t(found)).lineStart))
            found = entry;
    }
    return found;
}

QVector<int> IniDocument::storedEntries(const QString &key) const
{
    QVector<int> entries;
    for (const QString &group : enclosingGroups(key)) {
        int entry = keysOf(group).value(group.isEmpty() ? key : key.mid(group.size() + 1), -1);
        for (; entry >= 0; entry = m_entries.at(std::size_t(entry)).earlier)
            entries << entry;
    }
    return entries;
}

QHash<QString, int> IniDocument::storedBelow(const QString &group) const
{
    QStringList groups = enclosingGroups(group);
    if (!group.isEmpty())
        groups << group;
    groups += groupsBelow(group);

    QHash<QString, int> found;
    for (const QString &stored : qAsConst(groups)) {
        const GroupKeys &keys = keysOf(stored);
        for (auto it = keys.cbegin(); it != keys.cend(); ++it) {
            const QString key = joined(stored, it.key());
            if (!isBelow(key, group))
                continue;
            const auto earlier = found.find(key);
            if (earlier == found.end())
                found.insert(key, it.value());
            else if (m_entries.at(std::size_t(it.value())).lineStart > m_entries.at(std::size_t(*earlier)).lineStart)
                *earlier = it.value();
        }
    }
    return found;
}

QString IniDocument::text(const QString &key) const
{
    const auto changed = m_changes.constFind(key);
    if (changed != m_changes.constEnd())
        return changed->value_or(QString());
    if (!isWellFormed(key))
        return QString();
    const int entry = storedEntry(key);
    if (entry < 0)
        return QString();
    const Entry &stored = m_entries.at(std::size_t(entry));
    const IniSyntax::Value value =
        IniSyntax::decodeValue(m_text.constData() + stored.valueStart, m_text.constData() + stored.valueEnd);
    return value.typed ? QString() : value.text;
}

QStringList IniDocument::keys(const QString &group) const
{
    QStringList keys;
    const QHash<QString, int> stored = storedBelow(group);
    for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
        if (!m_changes.contains(it.key()))
            keys << it.key();
    }
    for (auto it = m_changes.cbegin(); it != m_changes.cend(); ++it) {
        if (it.value() && isBelow(it.key(), group))
            keys << it.key();
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

QStringList IniDocument::childGroups(const QString &group) const
{
    QSet<QString> children;
    const int from = group.isEmpty() ? 0 : group.size() + 1;
    for (const QString &key : keys(group)) {
        const int slash = key.indexOf(QLatin1Char('/'), from);
        if (slash > from)
            children.insert(key.mid(from, slash - from));
    }
    QStringList sorted = children.values();
    std::sort(sorted.begin(), sorted.end());
    return sorted;
}

QVector<IniDocument::Ignored> IniDocument::ignoredValues(const QString &group) const
{
    QVector<Ignored> ignored;
    const QHash<QString, int> stored = storedBelow(group);
    for (auto it = stored.cbegin(); it != stored.cend(); ++it) {
        if (m_changes.contains(it.key()))
            continue;
        const Entry &entry = m_entries.at(std::size_t(it.value()));
        const IniSyntax::Value value =
            IniSyntax::decodeValue(m_text.constData() + entry.valueStart, m_text.constData() + entry.valueEnd);
        if (value.typed)
            ignored.append({it.key(), value.text});
    }
    std::sort(ignored.begin(), ignored.end(), [](const Ignored &a, const Ignored &b) { return a.key < b.key; });
    return ignored;
}

void IniDocument::setText(const QString &key, const QString &text)
{
    if (isWellFormed(key))
        m_changes.insert(key, text.isNull() ? QStringLiteral("") : text);
}

void IniDocument::remove(const QString &key)
{
    if (!isWellFormed(key))
        return;
    const QHash<QString, int> stored = storedBelow(key);
    for (auto it = stored.cbegin(); it != stored.cend(); ++it)
        m_changes.insert(it.key(), std::nullopt);
    m_changes.insert(key, std::nullopt);
    for (auto it = m_changes.lowerBound(key); it != m_changes.end() && it.key().startsWith(key); ++it) {
        if (isBelow(it.key(), key))
            it.value() = std::nullopt;
    }
}

QHash<QString, int> IniDocument::groupEnds(int section, const QVector<int> &removedLines) const
{
    QHash<QString, int> ends;
    const Section &stretch = m_sections.at(std::size_t(section));
    if (stretch.headerStart >= 0)
        ends.insert(QString(), stretch.bodyStart);
    for (int at = stretch.bodyStart; at < stretch.bodyEnd;) {
        const Line line = IniSyntax::lineAt(m_text, at);
        at = line.end;
        if (!holdsAnything(m_text, line) || std::binary_search(removedLines.cbegin(), removedLines.cend(), line.start))
            continue;
        ends.insert(QString(), line.end);
        const Statement statement = IniSyntax::statementOf(m_text, line, line.start == 0);
        if (statement.kind != Statement::Entry)
            continue;
        const QString key =
            IniSyntax::keyName(m_text.constData() + statement.nameStart, m_text.constData() + statement.nameEnd);
        for (int slash = key.indexOf(QLatin1Char('/')); slash > 0; slash = key.indexOf(QLatin1Char('/'), slash + 1))
            ends.insert(key.left(slash), line.end);
    }
    return ends;
}

int IniDocument::sectionForNewKeys(const QString &group, const QVector<int> &removedLines,
                                   QHash<QString, int> *ends) const
{
    const QVector<int> sections = sectionsOf(group);
    for (auto section = sections.crbegin(); section != sections.crend(); ++section) {
        // The lines before the first section line take keys only after one of their own.
        *ends = groupEnds(*section, removedLines);
        if (ends->contains(QString()))
            return *section;
    }
    return -1;
}

QByteArray IniDocument::toText() const
{
    if (m_changes.isEmpty())
        return m_text;

    // What replaces [start, end) of the text. Where several meet, a value
    // (which can end the text) goes first, then new lines, then the
    // removal of the line that starts there.
    struct Splice
    {
        enum Kind
        {
            Value,
            NewLines,
            Removal
        };
        Kind kind;
        int start;
        int end;
        QByteArray text;
    };
    std::vector<Splice> splices;
    QVector<int> removedLines;
    QMap<QString, QStringList> newKeys; // by the group of their section
    for (auto it = m_changes.cbegin(); it != m_changes.cend(); ++it) {
        if (!it.value()) {
            for (const int entry : storedEntries(it.key())) {
                const Entry stored = m_entries.at(std::size_t(entry));
                removedLines << stored.lineStart;
                splices.push_back({Splice::Removal, stored.lineStart, stored.lineEnd, {}});
            }
            continue;
        }
        const int entry = storedEntry(it.key());
        if (entry < 0) {
            newKeys[sectionGroup(it.key())] << it.key();
            continue;
        }
        const Entry stored = m_entries.at(std::size_t(entry));
        const IniSyntax::Value value =
            IniSyntax::decodeValue(m_text.constData() + stored.valueStart, m_text.constData() + stored.valueEnd);
        // The same text stays as it is spelt.
        if (value.typed || value.text != *it.value())
            splices.push_back({Splice::Value, stored.valueStart, stored.valueEnd, IniSyntax::encodeValue(*it.value())});
    }
    std::sort(removedLines.begin(), removedLines.end());

    const auto linesOf = [this](const QString &group, const QStringList &keys) {
        QByteArray lines;
        for (const QString &key : keys) {
            lines += IniSyntax::encodeKey(group.isEmpty() ? key : key.mid(group.size() + 1)) + '=' +
                     IniSyntax::encodeValue(*m_changes.value(key)) + m_lineBreak;
        }
        return lines;
    };
    QStringList newSections;
    for (auto it = newKeys.cbegin(); it != newKeys.cend(); ++it) {
        const QString &group = it.key();
        QHash<QString, int> ends;
        if (sectionForNewKeys(group, removedLines, &ends) < 0) {
            newSections << group;
            continue;
        }
        // Each after the last line of the innermost group it shares with
        // lines of the section: a device's topic beside its name.
        for (const QString &key : it.value()) {
            QString within = group.isEmpty() ? key : key.mid(group.size() + 1);
            int point = -1;
            do {
                within.truncate(qMax(0, within.lastIndexOf(QLatin1Char('/'))));
                point = ends.value(within, -1);
            } while (point < 0 && !within.isEmpty());
            splices.push_back({Splice::NewLines, point, point, linesOf(group, {key})});
        }
    }
    // New lines at one place keep the order of their keys.
    std::stable_sort(splices.begin(), splices.end(), [](const Splice &a, const Splice &b) {
        return a.start != b.start ? a.start < b.start : a.kind < b.kind;
    });

    QByteArray text;
    text.reserve(m_text.size() + 256);
    int copied = 0;
    // Lines added after the end of the text need it to end with a line of
    // its own first; once they are there, it does.
    bool ended = false;
    // Whether the text still opens with its first line.
    bool startKept = true;
    for (const Splice &splice : splices) {
        if (splice.start == 0)
            startKept = false;
        text.append(m_text.constData() + copied, splice.start - copied);
        if (splice.kind == Splice::NewLines && splice.start == m_text.size() && !ended) {
            text += IniSyntax::lineEndAfter(text, m_lineBreak);
            ended = true;
        }
        text += splice.text;
        copied = splice.end;
    }
    text.append(m_text.constData() + copied, m_text.size() - copied);

    for (const QString &group : qAsConst(newSections)) {
        if (!ended)
            text += IniSyntax::lineEndAfter(text, m_lineBreak);
        ended = true;
        if (!text.isEmpty() && !endsWithBlankLine(text))
            text += m_lineBreak;
        text += '[' + IniSyntax::encodeSectionName(group) + ']' + m_lineBreak + linesOf(group, newKeys.value(group));
    }
    // A line that began with a byte-order mark further down, and now opens
    // the text, would lose the mark to the reader and say something else (a
    // section, say): it stays a line of its own after a blank one.
    if (!startKept && IniSyntax::startsWithByteOrderMark(text))
        text.prepend(m_lineBreak);
    return text;
}
