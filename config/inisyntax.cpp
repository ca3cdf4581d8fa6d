#include "config/inisyntax.h"

namespace IniSyntax {

namespace {

const QByteArray kByteOrderMark("\xef\xbb\xbf");

bool isLineBreak(char c)
{
    return c == '\n' || c == '\r';
}

// What surrounds keys and values: spaces and tabs, nothing else.
bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// What surrounds a section's name: any ASCII white space.
bool isAsciiSpace(char c)
{
    return isBlank(c) || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A set of bytes, to be looked up at the speed of an array.
struct ByteSet
{
    bool has[256] = {};
    constexpr explicit ByteSet(const char *bytes)
    {
        for (; *bytes; ++bytes)
            has[uchar(*bytes)] = true;
    }
};

// The bytes that can end a line or change how the rest of it reads.
constexpr ByteSet kLineBytes("\\\";\n\r");

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isOctal(char c)
{
    return c >= '0' && c <= '7';
}

// Past the line break at `at`: CR LF, or LF CR right after a backslash, is one.
int pastLineBreak(const char *data, int size, int at, bool escaped)
{
    if (at >= size)
        return at;
    const char first = data[at];
    if (at + 1 < size && isLineBreak(data[at + 1]) && data[at + 1] != first &&
        (escaped || (first == '\r' && data[at + 1] == '\n')))
        return at + 2;
    return at + 1;
}

// Past the byte a backslash at at - 1 takes with it.
int pastEscapedByte(const char *data, int size, int at)
{
    if (at >= size)
        return at;
    if (isLineBreak(data[at]))
        return pastLineBreak(data, size, at, true);
    return at + 1;
}

// The characters of a section's or key's name. '\' separates parts; %XX
// (a Latin-1 code) and %UXXXX (a UTF-16 code) stand for one character each;
// every other byte is the Latin-1 character of its code.
QString decodeName(const char *begin, const char *end)
{
    QString name;
    name.reserve(int(end - begin));
    const char *p = begin;
    while (p < end) {
        if (*p == '\\') {
            name += QLatin1Char('/');
            ++p;
            continue;
        }
        if (*p == '%' && end - p >= 6 && p[1] == 'U' && hexValue(p[2]) >= 0 && hexValue(p[3]) >= 0 &&
            hexValue(p[4]) >= 0 && hexValue(p[5]) >= 0) {
            name += QChar(ushort(hexValue(p[2]) << 12 | hexValue(p[3]) << 8 | hexValue(p[4]) << 4 | hexValue(p[5])));
            p += 6;
            continue;
        }
        if (*p == '%' && end - p >= 3 && hexValue(p[1]) >= 0 && hexValue(p[2]) >= 0) {
            name += QChar(ushort(hexValue(p[1]) << 4 | hexValue(p[2])));
            p += 3;
            continue;
        }
        name += QLatin1Char(*p);
        ++p;
    }
    return name;
}

bool hasEmptyPart(const QString &name)
{
    return name.isEmpty() || name.startsWith(QLatin1Char('/')) || name.endsWith(QLatin1Char('/')) ||
           name.contains(QLatin1String("//"));
}

bool isGeneral(const char *begin, const char *end)
{
    return end - begin == 7 && qstrnicmp(begin, "general", 7) == 0;
}

// One character from the bytes at p: a valid UTF-8 sequence, or else the
// byte's Latin-1 character. Returns where the next one starts.
const char *appendRawCharacter(const char *p, const char *end, QString *out)
{
    const auto byte = [p](int i) { return uchar(p[i]); };
    int length = 1;
    uint code = byte(0);
    uint least = 0;
    if (code >= 0xc2 && code <= 0xdf) {
        length = 2;
        code &= 0x1f;
        least = 0x80;
    } else if (code >= 0xe0 && code <= 0xef) {
        length = 3;
        code &= 0x0f;
        least = 0x800;
    } else if (code >= 0xf0 && code <= 0xf4) {
        length = 4;
        code &= 0x07;
        least = 0x10000;
    }
    bool valid = length > 1 && end - p >= length;
    for (int i = 1; valid && i < length; ++i) {
        valid = (byte(i) & 0xc0) == 0x80;
        code = code << 6 | (byte(i) & 0x3f);
    }
    valid = valid && code >= least && code <= 0x10ffff && (code < 0xd800 || code > 0xdfff);
    if (!valid) {
        *out += QLatin1Char(*p);
        return p + 1;
    }
    if (code >= 0x10000) {
        *out += QChar(QChar::highSurrogate(code));
        *out += QChar(QChar::lowSurrogate(code));
    } else {
        *out += QChar(ushort(code));
    }
    return p + length;
}

// The escape whose letter (or digit) is at p; returns where the text goes on.
// Numbers run as far as their digits do and keep their last 16 bits; a
// backslash before a line break carries the value on to the next line; an
// escape of any other character stands for nothing.
const char *appendEscape(const char *p, const char *end, QString *out)
{
    if (p == end)
        return end;
    static const char kNamed[] = "a\ab\bf\fn\nr\rt\tv\v\"\"''??\\\\";
    for (const char *named = kNamed; *named; named += 2) {
        if (*p == named[0]) {
            *out += QLatin1Char(named[1]);
            return p + 1;
        }
    }
    if (*p == 'x' || isOctal(*p)) {
        const bool hex = *p == 'x';
        const char *digits = hex ? p + 1 : p;
        uint code = 0;
        const char *q = digits;
        for (; q < end && (hex ? hexValue(*q) >= 0 : isOctal(*q)); ++q)
            code = (code * (hex ? 16 : 8) + uint(hex ? hexValue(*q) : *q - '0')) & 0xffff;
        if (q > digits)
            *out += QChar(ushort(code));
        return q;
    }
    if (isLineBreak(*p)) {
        const char *next = p + 1;
        if (next < end && isLineBreak(*next) && *next != *p)
            ++next;
        return next;
    }
    return p + 1;
}

// The string a value stands for, once its quotes and escapes are read.
Value typedOrText(const QString &text)
{
    if (!text.startsWith(QLatin1Char('@')))
        return {false, text};
    if (text.startsWith(QLatin1String("@@")))
        return {false, text.mid(1)};
    const int open = text.indexOf(QLatin1Char('('));
    if (open < 1 || !text.endsWith(QLatin1Char(')')))
        return {false, text};
    const QStringRef tag = text.leftRef(open);
    const QStringRef inside = text.midRef(open + 1, text.size() - open - 2);
    if (tag == QLatin1String("@String"))
        return {false, inside.toString()};
    const int spaces = inside.count(QLatin1Char(' '));
    if (tag == QLatin1String("@ByteArray") || tag == QLatin1String("@Variant") || tag == QLatin1String("@DateTime") ||
        (tag == QLatin1String("@Rect") && spaces == 3) ||
        ((tag == QLatin1String("@Size") || tag == QLatin1String("@Point")) && spaces == 1) ||
        text == QLatin1String("@Invalid()"))
        return {true, tag.toString()};
    return {false, text};
}

bool isPlainNameCharacter(ushort c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

QByteArray hexDigits(uint code, int width, bool upper)
{
    QByteArray digits = QByteArray::number(code, 16).rightJustified(width, '0');
    return upper ? digits.toUpper() : digits;
}

} // namespace

bool startsWithByteOrderMark(const QByteArray &text)
{
    return text.startsWith(kByteOrderMark);
}

Line lineAt(const QByteArray &text, int start)
{
    const char *data = text.constData();
    const int size = text.size();
    Line line;
    line.start = start;
    int at = start;
    bool quoted = false;
    while (at < size) {
        // Most bytes are none of the five that matter here.
        while (at < size && !kLineBytes.has[uchar(data[at])])
            ++at;
        if (at == size)
            break;
        const char c = data[at];
        if (c == '\\') {
            at = pastEscapedByte(data, size, at + 1);
            continue;
        }
        if (!quoted && (c == ';' || isLineBreak(c)))
            break;
        if (c == '"')
            quoted = !quoted;
        ++at;
    }
    line.contentEnd = at;
    while (at < size && !isLineBreak(data[at]))
        ++at;
    line.end = pastLineBreak(data, size, at, false);
    return line;
}

Statement sectionOf(const QByteArray &text, const Line &line, bool firstInFile)
{
    const char *data = text.constData();
    const int end = line.contentEnd;
    Statement statement;

    int at = line.start;
    if (firstInFile && text.startsWith(kByteOrderMark) && end >= kByteOrderMark.size())
        at += kByteOrderMark.size();
    while (at < end && isBlank(data[at]))
        ++at;
    if (at < end && data[at] == '[') {
        int nameEnd = at + 1;
        while (nameEnd < end && data[nameEnd] != ']')
            ++nameEnd;
        int nameStart = at + 1;
        while (nameStart < nameEnd && isAsciiSpace(data[nameStart]))
            ++nameStart;
        while (nameEnd > nameStart && isAsciiSpace(data[nameEnd - 1]))
            --nameEnd;
        statement.kind = Statement::Section;
        statement.nameStart = nameStart;
        statement.nameEnd = nameEnd;
    }
    return statement;
}

Statement statementOf(const QByteArray &text, const Line &line, bool firstInFile)
{
    Statement statement = sectionOf(text, line, firstInFile);
    if (statement.kind == Statement::Section)
        return statement;

    const char *data = text.constData();
    const int end = line.contentEnd;
    // The key ends at the first '=' outside quotes that no backslash takes.
    int equals = line.start;
    bool quoted = false;
    while (equals < end && (quoted || data[equals] != '=')) {
        if (data[equals] == '\\') {
            equals = pastEscapedByte(data, end, equals + 1);
            continue;
        }
        if (data[equals] == '"')
            quoted = !quoted;
        ++equals;
    }
    if (equals >= end)
        return statement;

    statement.kind = Statement::Entry;
    statement.nameStart = line.start;
    statement.nameEnd = equals;
    while (statement.nameStart < statement.nameEnd && isBlank(data[statement.nameStart]))
        ++statement.nameStart;
    while (statement.nameEnd > statement.nameStart && isBlank(data[statement.nameEnd - 1]))
        --statement.nameEnd;

    int valueStart = equals + 1;
    while (valueStart < end && isBlank(data[valueStart]))
        ++valueStart;
    // Blanks at the end count only in a value with quotes (QSettings keeps
    // them there), or when a backslash takes them.
    int valueEnd = valueStart;
    bool hasQuotes = false;
    for (int at = valueStart; at < end;) {
        const char c = data[at];
        if (c == '\\') {
            at = pastEscapedByte(data, end, at + 1);
            valueEnd = at;
            continue;
        }
        hasQuotes = hasQuotes || c == '"';
        ++at;
        if (!isBlank(c))
            valueEnd = at;
    }
    if (hasQuotes)
        valueEnd = end;
    statement.valueStart = valueStart;
    statement.valueEnd = valueEnd;
    return statement;
}

QString sectionName(const char *begin, const char *end)
{
    if (isGeneral(begin, end))
        return QStringLiteral("");
    if (end - begin > 0 && *begin == '%' && isGeneral(begin + 1, end))
        return QString::fromLatin1(begin + 1, int(end - begin - 1));
    const QString name = decodeName(begin, end);
    return hasEmptyPart(name) ? QString() : name;
}

QString keyName(const char *begin, const char *end)
{
    return decodeName(begin, end);
}

Value decodeValue(const char *begin, const char *end)
{
    QString text;
    text.reserve(int(end - begin));
    bool quoted = false;
    bool closedQuote = false; // blanks right after a closing quote go
    const char *p = begin;
    while (p < end) {
        const char c = *p;
        if (closedQuote && isBlank(c)) {
            ++p;
            continue;
        }
        closedQuote = false;
        if (c == '"') {
            quoted = !quoted;
            closedQuote = !quoted;
            ++p;
        } else if (c == '\\') {
            p = appendEscape(p + 1, end, &text);
        } else if (uchar(c) < 0x80) {
            text += QLatin1Char(c);
            ++p;
        } else {
            p = appendRawCharacter(p, end, &text);
        }
    }
    return typedOrText(text);
}

QByteArray encodeKey(const QString &key)
{
    QByteArray spelt;
    spelt.reserve(key.size());
    for (const QChar ch : key) {
        const ushort c = ch.unicode();
        if (c == '/')
            spelt += '\\';
        else if (isPlainNameCharacter(c))
            spelt += char(c);
        else if (c < 0x100)
            spelt += '%' + hexDigits(c, 2, true);
        else
            spelt += "%U" + hexDigits(c, 4, true);
    }
    return spelt;
}

QByteArray encodeSectionName(const QString &group)
{
    if (group.isEmpty())
        return QByteArrayLiteral("General");
    if (group.compare(QLatin1String("general"), Qt::CaseInsensitive) == 0)
        return '%' + group.toLatin1();
    return encodeKey(group);
}

QByteArray encodeValue(const QString &text)
{
    // A zero character would end the text for some readers, and a leading
    // '@' would read as the mark of a typed value.
    QString stored = text;
    if (text.contains(QChar::Null))
        stored = QLatin1String("@String(") % text % QLatin1Char(')');
    else if (text.startsWith(QLatin1Char('@')))
        stored.prepend(QLatin1Char('@'));

    QByteArray spelt;
    spelt.reserve(stored.size() + 2);
    // A number's escape takes every digit after it, so a character right
    // after one that could pass for a digit is written as a number too.
    bool afterNumber = false;
    for (const QChar ch : qAsConst(stored)) {
        const ushort c = ch.unicode();
        const bool couldBeDigit = c < 0x80 && hexValue(char(c)) >= 0;
        if (afterNumber && couldBeDigit) {
            spelt += "\\x" + hexDigits(c, 1, false);
            continue;
        }
        afterNumber = false;
        switch (c) {
        case 0:
            spelt += "\\0";
            afterNumber = true;
            break;
        case '\a':
            spelt += "\\a";
            break;
        case '\b':
            spelt += "\\b";
            break;
        case '\t':
            spelt += "\\t";
            break;
        case '\n':
            spelt += "\\n";
            break;
        case '\v':
            spelt += "\\v";
            break;
        case '\f':
            spelt += "\\f";
            break;
        case '\r':
            spelt += "\\r";
            break;
        case '"':
        case '\\':
            spelt += '\\';
            spelt += char(c);
            break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                spelt += "\\x" + hexDigits(c, 1, false);
                afterNumber = true;
            } else {
                spelt += char(c);
            }
        }
    }
    const bool separators =
        stored.contains(QLatin1Char(';')) || stored.contains(QLatin1Char(',')) || stored.contains(QLatin1Char('='));
    if (separators || spelt.startsWith(' ') || spelt.endsWith(' '))
        return '"' + spelt + '"';
    return spelt;
}

QByteArray lineEndAfter(const QByteArray &text, const QByteArray &lineBreak)
{
    Line last;
    for (int at = 0; at < text.size(); at = last.end)
        last = lineAt(text, at);
    if (last.end == last.start || (isLineBreak(text.at(last.end - 1)) && last.contentEnd < last.end))
        return {};
    // The last line runs to the end of the text: read it again to see how it ends.
    const char *data = text.constData();
    bool quoted = false;
    bool dangling = false; // a backslash with nothing after it
    char carried = 0;      // the one line break a backslash took last, when nothing follows it
    for (int at = last.start; at < last.contentEnd;) {
        if (data[at] == '\\') {
            const int next = pastEscapedByte(data, last.contentEnd, at + 1);
            dangling = next == at + 1;
            carried = next == at + 2 && next == last.contentEnd && isLineBreak(data[at + 1]) ? data[at + 1] : 0;
            at = next;
            continue;
        }
        if (data[at] == '"')
            quoted = !quoted;
        ++at;
    }
    QByteArray end = dangling ? lineBreak : QByteArray();
    if (quoted)
        end += '"';
    // A break of the other kind would join the one carried over, as CR LF does.
    end += carried && !quoted ? QByteArray(1, carried) : lineBreak;
    return end;
}

} // namespace IniSyntax
