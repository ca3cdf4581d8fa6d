#include "config/inidocument.h"

#include <QByteArrayList>
#include <QVector>

#include <algorithm>
#include <array>
#include <cstring>

// The reading and writing rules below are those of QSettings' IniFormat in
// Qt 5, rule for rule, so that a file reads alike whichever of the two reads
// it: the same lines, the same escapes, the same odd cases (a value with an
// unquoted comma is a list; "\x" takes any number of hex digits and keeps the
// low sixteen bits; raw bytes of keys are Latin-1, of values too unless the
// file starts with a UTF-8 byte order mark). Only the meaning of values
// differs: text stays text.

namespace {

enum : unsigned char
{
    kSpace = 1,
    kSpecial = 2
};

constexpr std::array<unsigned char, 256> makeTraits()
{
    std::array<unsigned char, 256> traits{};
    traits['\t'] = kSpace;
    traits[' '] = kSpace;
    traits['\n'] = kSpace | kSpecial;
    traits['\r'] = kSpace | kSpecial;
    traits['"'] = kSpecial;
    traits[';'] = kSpecial;
    traits['='] = kSpecial;
    traits['\\'] = kSpecial;
    return traits;
}
constexpr std::array<unsigned char, 256> kTraits = makeTraits();

unsigned char traitsOf(char c)
{
    return kTraits[static_cast<unsigned char>(c)];
}

const char kHexDigits[] = "0123456789ABCDEF";

// One logical line: leading white space and comment lines skipped, ending at
// an unquoted line break or an unquoted ';'. equalsPos is the first unquoted
// '=', or -1. Returns false at the end of the data.
bool readLine(const QByteArray &data, int &dataPos, int &lineStart, int &lineLen, int &equalsPos)
{
    const int dataLen = data.size();
    const char *const d = data.constData();
    bool inQuotes = false;
    equalsPos = -1;

    lineStart = dataPos;
    while (lineStart < dataLen && (traitsOf(d[lineStart]) & kSpace))
        ++lineStart;

    int i = lineStart;
    while (i < dataLen) {
        char ch = d[i];
        while (!(traitsOf(ch) & kSpecial)) {
            if (++i == dataLen)
                goto done;
            ch = d[i];
        }
        ++i;
        if (ch == '=') {
            if (!inQuotes && equalsPos == -1)
                equalsPos = i - 1;
        } else if (ch == '\n' || ch == '\r') {
            if (i == lineStart + 1) {
                ++lineStart;
            } else if (!inQuotes) {
                --i;
                goto done;
            }
        } else if (ch == '\\') {
            if (i < dataLen) {
                const char escaped = d[i++];
                if (i < dataLen) {
                    const char next = d[i];
                    if ((escaped == '\n' && next == '\r') || (escaped == '\r' && next == '\n'))
                        ++i;
                }
            }
        } else if (ch == '"') {
            inQuotes = !inQuotes;
        } else { // ';'
            if (i == lineStart + 1) {
                while (i < dataLen && d[i] != '\n' && d[i] != '\r')
                    ++i;
                while (i < dataLen && (traitsOf(d[i]) & kSpace))
                    ++i;
                lineStart = i;
            } else if (!inQuotes) {
                --i;
                goto done;
            }
        }
    }
done:
    dataPos = i;
    lineLen = i - lineStart;
    return lineLen > 0;
}

// '\' separates levels, %XX and %UXXXX are characters; other bytes are Latin-1.
void unescapeKey(const QByteArray &key, int from, int to, QString &result)
{
    int i = from;
    while (i < to) {
        const char ch = key.at(i);
        if (ch == '\\') {
            result += QLatin1Char('/');
            ++i;
            continue;
        }
        if (ch != '%' || i == to - 1) {
            result += QLatin1Char(ch);
            ++i;
            continue;
        }
        int numDigits = 2;
        int firstDigitPos = i + 1;
        if (key.at(i + 1) == 'U') {
            ++firstDigitPos;
            numDigits = 4;
        }
        if (firstDigitPos + numDigits > to) {
            result += QLatin1Char('%');
            ++i;
            continue;
        }
        bool ok = false;
        const int code = key.mid(firstDigitPos, numDigits).toInt(&ok, 16);
        if (!ok) {
            result += QLatin1Char('%');
            ++i;
            continue;
        }
        result += QChar(ushort(code & 0xffff));
        i = firstDigitPos + numDigits;
    }
}

void chopTrailingSpaces(QString &text, int limit)
{
    int n = text.size() - 1;
    while (n >= limit && (text.at(n) == QLatin1Char(' ') || text.at(n) == QLatin1Char('\t')))
        text.truncate(n--);
}

bool isHexDigit(char ch)
{
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

int hexValue(char ch)
{
    if (ch >= 'a')
        return ch - 'a' + 10;
    if (ch >= 'A')
        return ch - 'A' + 10;
    return ch - '0';
}

// The value between from and to as text; true if an unquoted comma made it a
// list, whose elements are then in list.
bool unescapeValue(const QByteArray &data, int from, int to, bool utf8, QString &text, QStringList &list)
{
    static const char kEscapes[][2] = {{'a', '\a'}, {'b', '\b'}, {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'},
                                       {'v', '\v'}, {'"', '"'},  {'?', '?'},  {'\'', '\''}, {'\\', '\\'}};
    const char *const d = data.constData();
    bool isList = false;
    bool inQuotes = false;
    bool currentIsQuoted = false;
    int i = from;

    const auto skipSpaces = [&] {
        while (i < to && (d[i] == ' ' || d[i] == '\t'))
            ++i;
    };
    skipSpaces();
    int chopLimit = text.size();
    // A backslash that ends the value keeps the spaces before it.
    bool chop = true;
    while (i < to) {
        const char ch = d[i];
        if (ch == '\\') {
            ++i;
            if (i >= to) {
                chop = false;
                break;
            }
            const char escaped = d[i++];
            bool known = false;
            for (const auto &escape : kEscapes) {
                if (escaped == escape[0]) {
                    text += QLatin1Char(escape[1]);
                    known = true;
                    break;
                }
            }
            if (!known && ((escaped == 'x' && i < to && isHexDigit(d[i])) || (escaped >= '0' && escaped <= '7'))) {
                // Digits as long as they come; only the low sixteen bits count.
                const bool hex = escaped == 'x';
                unsigned code = hex ? 0 : unsigned(escaped - '0');
                while (i < to && (hex ? isHexDigit(d[i]) : (d[i] >= '0' && d[i] <= '7'))) {
                    code = hex ? (code << 4) + unsigned(hexValue(d[i])) : (code << 3) + unsigned(d[i] - '0');
                    ++i;
                }
                text += QChar(ushort(code & 0xffff));
            } else if (!known && (escaped == '\n' || escaped == '\r')) {
                // A continued line; any other unknown escape is simply dropped.
                if (i < to && (d[i] == '\n' || d[i] == '\r') && d[i] != escaped)
                    ++i;
            }
            chopLimit = text.size();
            continue;
        }
        if (ch == '"') {
            ++i;
            currentIsQuoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes) {
                skipSpaces();
                chopLimit = text.size();
            }
            continue;
        }
        if (ch == ',' && !inQuotes) {
            if (!currentIsQuoted)
                chopTrailingSpaces(text, chopLimit);
            if (!isList) {
                isList = true;
                list.clear();
            }
            list.append(text);
            text.clear();
            currentIsQuoted = false;
            ++i;
            skipSpaces();
            chopLimit = 0;
            continue;
        }
        int j = i + 1;
        while (j < to && d[j] != '\\' && d[j] != '"' && d[j] != ',')
            ++j;
        if (utf8)
            text += QString::fromUtf8(d + i, j - i);
        else
            text += QLatin1String(d + i, j - i);
        i = j;
    }
    if (chop && !currentIsQuoted)
        chopTrailingSpaces(text, chopLimit);
    if (isList)
        list.append(text);
    return isList;
}

// A text value as QSettings reads it back from its stored form: typed values
// (@Variant(...), @ByteArray(...), @Rect(...), ...) are no text, "@@" stands
// for one "@", and @String(...) is text holding zero characters.
bool plainText(const QString &stored, QString *text)
{
    if (!stored.startsWith(QLatin1Char('@'))) {
        *text = stored;
        return true;
    }
    if (stored.endsWith(QLatin1Char(')'))) {
        if (stored.startsWith(QLatin1String("@String("))) {
            *text = stored.mid(8, stored.size() - 9);
            return true;
        }
        for (const char *typed : {"@ByteArray(", "@Variant(", "@DateTime("}) {
            if (stored.startsWith(QLatin1String(typed)))
                return false;
        }
        if (stored == QLatin1String("@Invalid()"))
            return false;
        // A rectangle, size or point only with the right number of
        // arguments; with any other it is text.
        const struct
        {
            const char *prefix;
            int arguments;
        } kGeometry[] = {{"@Rect(", 4}, {"@Size(", 2}, {"@Point(", 2}};
        for (const auto &geometry : kGeometry) {
            const QLatin1String prefix(geometry.prefix);
            if (stored.startsWith(prefix)) {
                const int separators = int(std::count_if(stored.cbegin() + prefix.size(), stored.cend(), [](QChar c) {
                    return c == QLatin1Char(' ') || c == QLatin1Char(')');
                }));
                if (separators == geometry.arguments)
                    return false;
            }
        }
    }
    *text = stored.startsWith(QLatin1String("@@")) ? stored.mid(1) : stored;
    return true;
}

void escapeKey(const QString &key, QByteArray &result)
{
    result.reserve(result.size() + key.size() * 3 / 2);
    for (const QChar c : key) {
        uint ch = c.unicode();
        if (ch == '/') {
            result += '\\';
        } else if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
                   ch == '-' || ch == '.') {
            result += char(ch);
        } else if (ch <= 0xFF) {
            result += '%';
            result += kHexDigits[ch / 16];
            result += kHexDigits[ch % 16];
        } else {
            result += "%U";
            char digits[4];
            for (int k = 3; k >= 0; --k) {
                digits[k] = kHexDigits[ch % 16];
                ch >>= 4;
            }
            result.append(digits, 4);
        }
    }
}

// A text the way QSettings stores it: zero characters only inside
// @String(...), and a leading '@' doubled.
QString storedForm(const QString &text)
{
    if (text.contains(QChar::Null))
        return QLatin1String("@String(") + text + QLatin1Char(')');
    if (text.startsWith(QLatin1Char('@')))
        return QLatin1Char('@') + text;
    return text;
}

// A stored form as one value on one line: quoted where a comma, a ';' or a
// space at either end would change it, and every special character escaped,
// so that whatever it holds, the line ends where it should.
void escapeStored(const QString &stored, QByteArray &result)
{
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    const int startPos = result.size();
    result.reserve(startPos + stored.size() * 3 / 2);
    for (const QChar c : qAsConst(stored)) {
        const uint ch = c.unicode();
        if (ch == ';' || ch == ',' || ch == '=')
            needsQuotes = true;
        // After \x or \0 a hex digit would be read as part of the escape.
        if (escapeNextIfDigit && ch < 0x80 && isHexDigit(char(ch))) {
            result += "\\x" + QByteArray::number(ch, 16);
            continue;
        }
        escapeNextIfDigit = false;
        switch (ch) {
        case '\0':
            result += "\\0";
            escapeNextIfDigit = true;
            break;
        case '\a':
            result += "\\a";
            break;
        case '\b':
            result += "\\b";
            break;
        case '\f':
            result += "\\f";
            break;
        case '\n':
            result += "\\n";
            break;
        case '\r':
            result += "\\r";
            break;
        case '\t':
            result += "\\t";
            break;
        case '\v':
            result += "\\v";
            break;
        case '"':
        case '\\':
            result += '\\';
            result += char(ch);
            break;
        default:
            if (ch <= 0x1F || ch >= 0x7F) {
                result += "\\x" + QByteArray::number(ch, 16);
                escapeNextIfDigit = true;
            } else {
                result += char(ch);
            }
        }
    }
    if (needsQuotes ||
        (startPos < result.size() && (result.at(startPos) == ' ' || result.at(result.size() - 1) == ' '))) {
        result.insert(startPos, '"');
        result += '"';
    }
}

} // namespace

IniDocument IniDocument::fromText(const QByteArray &text)
{
    IniDocument document;
    document.m_text = text;
    int dataPos = 0;
    document.m_utf8 = text.startsWith("\xef\xbb\xbf");
    if (document.m_utf8)
        dataPos = 3;

    // Where each group's lines are: a group that appears more than once is
    // one group, its parts read in file order. A part always ends where a
    // group's line starts, after a complete line, so reading the parts one
    // after another reads what QSettings reads when it joins them.
    QString current;
    // The byte order mark stays in the first group's lines, as in QSettings.
    int currentStart = 0;
    int lineStart = 0;
    int lineLen = 0;
    int equalsPos = -1;
    while (readLine(text, dataPos, lineStart, lineLen, equalsPos)) {
        if (text.at(lineStart) != '[')
            continue;
        document.m_unparsed[current].append({currentStart, lineStart});
        // Only within the line: searching the rest of the file for every
        // unclosed bracket would take quadratic time.
        const char *const begin = text.constData() + lineStart;
        const auto *close = static_cast<const char *>(std::memchr(begin, ']', size_t(lineLen)));
        const bool closed = close != nullptr;
        const QByteArray name = text.mid(lineStart + 1, closed ? int(close - begin) - 1 : lineLen - 1).trimmed();
        current.clear();
        if (name.compare("general", Qt::CaseInsensitive) != 0) {
            if (name.compare("%general", Qt::CaseInsensitive) == 0)
                current = QLatin1String(name.constData() + 1);
            else
                unescapeKey(name, 0, name.size(), current);
            current += QLatin1Char('/');
        }
        currentStart = dataPos;
    }
    document.m_unparsed[current].append({currentStart, int(text.size())});
    return document;
}

QMap<QString, QVector<IniDocument::Part>>::iterator
IniDocument::parseGroup(QMap<QString, QVector<Part>>::iterator group) const
{
    int lineStart = 0;
    int lineLen = 0;
    int equalsPos = -1;
    for (const Part &part : qAsConst(group.value())) {
        // Read where it stands, not copied.
        const QByteArray data = QByteArray::fromRawData(m_text.constData() + part.start, part.end - part.start);
        int pos = 0;
        while (readLine(data, pos, lineStart, lineLen, equalsPos)) {
            if (equalsPos == -1)
                continue;
            int keyEnd = equalsPos;
            while (keyEnd > lineStart && (data.at(keyEnd - 1) == ' ' || data.at(keyEnd - 1) == '\t'))
                --keyEnd;
            QString key = group.key();
            unescapeKey(data, lineStart, keyEnd, key);

            QString stored;
            Value value;
            if (unescapeValue(data, equalsPos + 1, lineStart + lineLen, m_utf8, stored, value.list))
                value.kind = Value::List;
            else if (!plainText(stored, &value.text))
                value = {Value::Typed, stored, {}};
            m_values.insert(key, value);
        }
    }
    return m_unparsed.erase(group);
}

void IniDocument::parseEnclosing(const QString &key) const
{
    // Only the groups named by a prefix of key ending in '/' can hold it: each
    // is looked up, not searched for among the groups nobody asked for yet,
    // which a file of many groups would make quadratic. Shorter first, so
    // that an enclosing group is read before the groups within it.
    for (int slash = -1;;) {
        const auto group = m_unparsed.find(key.left(slash + 1));
        if (group != m_unparsed.end())
            parseGroup(group);
        slash = key.indexOf(QLatin1Char('/'), slash + 1);
        if (slash < 0)
            return;
    }
}

void IniDocument::parseKey(const QString &key) const
{
    parseEnclosing(key);
}

void IniDocument::parseUnder(const QString &prefix) const
{
    // The groups that hold prefix, then those within it, which sort together.
    parseEnclosing(prefix);
    auto group = m_unparsed.lowerBound(prefix);
    while (group != m_unparsed.end() && group.key().startsWith(prefix))
        group = parseGroup(group);
}

QByteArray IniDocument::toText() const
{
    parseUnder(QString());
    // Keys come sorted, so each group's keys are sorted too.
    QMap<QString, QVector<QMap<QString, Value>::const_iterator>> groups;
    for (auto it = m_values.cbegin(); it != m_values.cend(); ++it) {
        const int slash = it.key().indexOf(QLatin1Char('/'));
        groups[slash < 0 ? QString() : it.key().left(slash)].append(it);
    }

    QByteArray text;
    bool first = true;
    for (auto group = groups.cbegin(); group != groups.cend(); ++group) {
        QByteArray header;
        escapeKey(group.key(), header);
        if (header.isEmpty())
            header = "[General]";
        else if (qstricmp(header.constData(), "general") == 0)
            header = "[%General]";
        else
            header = '[' + header + ']';
        if (!first)
            text += '\n';
        first = false;
        text += header + '\n';

        const int skip = group.key().isEmpty() ? 0 : group.key().size() + 1;
        for (const auto &entry : group.value()) {
            escapeKey(entry.key().mid(skip), text);
            text += '=';
            const Value &value = entry.value();
            switch (value.kind) {
            case Value::Text:
                escapeStored(storedForm(value.text), text);
                break;
            case Value::Typed:
                escapeStored(value.text, text);
                break;
            case Value::List:
                for (int i = 0; i < value.list.size(); ++i) {
                    if (i > 0)
                        text += ", ";
                    escapeStored(value.list.at(i), text);
                }
                break;
            }
            text += '\n';
        }
    }
    return text;
}

bool IniDocument::contains(const QString &key) const
{
    parseKey(key);
    return m_values.contains(key);
}

QString IniDocument::text(const QString &key) const
{
    parseKey(key);
    const auto found = m_values.constFind(key);
    if (found == m_values.cend() || found->kind != Value::Text)
        return QString();
    // Never null for a present key, even an empty one.
    return found->text.isNull() ? QString(QLatin1String("")) : found->text;
}

QStringList IniDocument::ignoredKeys() const
{
    return ignoredKeys(QString());
}

QStringList IniDocument::ignoredKeys(const QString &group) const
{
    const QString prefix = prefixOf(group);
    parseUnder(prefix);
    QStringList keys;
    for (auto it = m_values.lowerBound(prefix); it != m_values.cend() && it.key().startsWith(prefix); ++it) {
        if (it->kind != Value::Text)
            keys.append(it.key());
    }
    return keys;
}

void IniDocument::setText(const QString &key, const QString &text)
{
    // Read first, or reading the group later would undo this.
    parseKey(key);
    m_values[key] = {Value::Text, text, {}};
}

void IniDocument::remove(const QString &key)
{
    const QString prefix = prefixOf(key);
    parseKey(key);
    parseUnder(prefix);
    m_values.remove(key);
    auto it = m_values.lowerBound(prefix);
    while (it != m_values.end() && it.key().startsWith(prefix))
        it = m_values.erase(it);
}

QStringList IniDocument::childGroups(const QString &group) const
{
    const QString prefix = prefixOf(group);
    parseUnder(prefix);
    QStringList groups;
    for (auto it = m_values.lowerBound(prefix); it != m_values.cend() && it.key().startsWith(prefix); ++it) {
        const int slash = it.key().indexOf(QLatin1Char('/'), prefix.size());
        if (slash != -1)
            groups.append(it.key().mid(prefix.size(), slash - prefix.size()));
    }
    std::sort(groups.begin(), groups.end());
    groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
    return groups;
}

QString IniDocument::prefixOf(const QString &group)
{
    return group.isEmpty() ? QString() : group + QLatin1Char('/');
}
