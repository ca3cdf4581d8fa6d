#pragma once

#include <QByteArray>
#include <QString>

// The INI dialect of Settings.conf, one line at a time: where a line ends,
// what it states, and how names and values are spelt. These are the rules by
// which QSettings (IniFormat, no codec) reads and writes such a file, as the
// files it writes and its readings of hand-made ones show them;
// tst_inidocument holds the two side by side on random texts.
//
// Two readings differ from QSettings' on purpose, for what it never writes
// itself and a user may well type: bytes beyond ASCII in a value read as
// UTF-8 where they are valid UTF-8 (QSettings takes each byte for a Latin-1
// character unless the file starts with a byte-order mark), and a comma
// outside quotes is part of the text (QSettings splits the value into a
// list there).
namespace IniSyntax {

// One line as the reader takes it. A line break inside quotes, or right
// after a backslash, does not end it; a ';' outside quotes starts a comment
// that runs to the next line break, whatever it holds.
struct Line
{
    int start = 0;
    int contentEnd = 0; // where the comment or the line break starts
    int end = 0;        // past the line break
};
Line lineAt(const QByteArray &text, int start);

// What a line states, as positions in the text.
struct Statement
{
    enum Kind
    {
        Nothing, // blank, a comment, or words without '='
        Section, // [name]
        Entry    // key=value
    };
    Kind kind = Nothing;
    // The section's name between the brackets, or the key before '=', without
    // the blanks around it.
    int nameStart = 0;
    int nameEnd = 0;
    // Entry: the value, without blanks before it, nor after it unless it has quotes.
    int valueStart = 0;
    int valueEnd = 0;
};
// Whether the text starts with a byte-order mark: the reader passes over one
// there and nowhere else.
bool startsWithByteOrderMark(const QByteArray &text);
// firstInFile: the line starts the file, where a byte-order mark may stand
// before a section's bracket.
Statement statementOf(const QByteArray &text, const Line &line, bool firstInFile);
// The same, for a reader that looks for sections only: an Entry comes back
// as Nothing.
Statement sectionOf(const QByteArray &text, const Line &line, bool firstInFile);

// The group a section line names ("Devices", "a/b"): "General" in any case
// names the keys outside every group (""), and "%General" the group
// "General". A name no key can be addressed under (empty, or with an empty
// part) comes back null.
QString sectionName(const char *begin, const char *end);
// A key within its section, parts joined by '/': "DEV\1\topic" reads as
// "DEV/1/topic", %XX and %UXXXX stand for the characters of those codes.
QString keyName(const char *begin, const char *end);

// A value as stored: plain text, or one of the typed forms QSettings writes
// for what is not a string (@Variant(...), @ByteArray(...), @Rect(...), ...).
struct Value
{
    bool typed = false;
    QString text; // typed: the form's tag, such as "@Variant"
};
Value decodeValue(const char *begin, const char *end);

// A key relative to its section (parts joined by '/'), or a section's name.
QByteArray encodeKey(const QString &key);
QByteArray encodeSectionName(const QString &group);
// Text that reads back as itself, through this reader and QSettings alike.
QByteArray encodeValue(const QString &text);

// What has to follow text so that the next line stands on its own: a line
// break, and before it a closing quote or one more line break where the text
// ends inside quotes or after a backslash, which would take the next line in.
// Nothing when text is empty or ends with a line of its own.
QByteArray lineEndAfter(const QByteArray &text, const QByteArray &lineBreak);

} // namespace IniSyntax
