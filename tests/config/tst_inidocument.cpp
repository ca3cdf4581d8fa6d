#include "config/inidocument.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

namespace {

const QByteArray kByteOrderMark("\xef\xbb\xbf");

// A key as the program addresses one: parts, none of them empty. QSettings
// folds other spellings onto these when asked ("a/" is "a"), so they are
// compared through the keys they fold onto.
bool isWellFormed(const QString &key)
{
    return !key.isEmpty() && !key.startsWith(QLatin1Char('/')) && !key.endsWith(QLatin1Char('/')) &&
           !key.contains(QLatin1String("//"));
}

// QSettings' reading of a value with bytes beyond ASCII in a file without a
// byte-order mark gives one Latin-1 character per byte. Read as UTF-8, as
// they are meant, they give this; the texts made below hold such bytes only
// where they spell UTF-8, and no escape of a code between 0x80 and 0xff.
QString asUtf8(const QString &latin1Reading)
{
    QString text;
    QByteArray run;
    for (const QChar ch : latin1Reading) {
        if (ch.unicode() >= 0x80 && ch.unicode() <= 0xff) {
            run += char(ch.unicode());
            continue;
        }
        text += QString::fromUtf8(run) + ch;
        run.clear();
    }
    return text + QString::fromUtf8(run);
}

// A Settings.conf as a user might write one by hand: sections and keys
// spelt in every way the format allows, values with quotes, escapes,
// continued lines, comments and typed forms, several kinds of line break,
// keys and sections given more than once.
class HandWrittenText final
{
public:
    explicit HandWrittenText(quint32 seed) : m_random(seed)
    {
        if (chance(10))
            m_text += kByteOrderMark;
        const int lines = 5 + pick(36);
        for (int i = 0; i < lines; ++i) {
            const int kind = pick(100);
            if (kind < 15)
                m_text += sectionLine();
            else if (kind < 78)
                m_text += entryLine();
            else if (kind < 86)
                m_text += blanks() + "; " + word() + (chance(50) ? "\\" : "");
            else if (kind < 96)
                m_text += blanks();
            else
                m_text += word() + ' ' + word();
            if (i + 1 < lines || chance(70))
                m_text += lineBreak();
        }
    }

    QByteArray text() const { return m_text; }
    // The keys the text means to give, as addressed.
    QStringList keys() const { return m_keys; }

private:
    int pick(int bound) { return int(m_random.bounded(quint32(bound))); }
    bool chance(int percent) { return pick(100) < percent; }
    template <typename T, std::size_t N> const T &oneOf(const T (&choices)[N]) { return choices[pick(int(N))]; }

    QByteArray lineBreak()
    {
        static const char *const kBreaks[] = {"\n", "\n", "\n", "\r\n", "\r"};
        return oneOf(kBreaks);
    }

    QByteArray blanks()
    {
        static const char *const kBlanks[] = {"", "", " ", "  ", "\t"};
        return oneOf(kBlanks);
    }

    QByteArray word()
    {
        static const char *const kWords[] = {"abc",   "Pump 2", "x",   "plant/meter1", "127.0.0.1",
                                             "#hash", "[br]",   "a=b", "it's",         "q?"};
        return oneOf(kWords);
    }

    QByteArray sectionLine()
    {
        struct Section
        {
            const char *spelt;
            const char *group; // as addressed, UTF-8
        };
        static const Section kSections[] = {
            {"g1", "g1"},           {"Devices", "Devices"},  {"MQTT", "MQTT"},         {"General", ""},
            {"general", ""},        {"%General", "General"}, {"a\\b", "a/b"},          {"a/b", "a/b"},
            {"%U041A%U0438", "Ки"}, {" MQTT\t", "MQTT"},     {"Dev%69ces", "Devices"}, {"g1]x", "g1"},
        };
        const Section &section = oneOf(kSections);
        m_group = QString::fromUtf8(section.group);
        return blanks() + '[' + section.spelt + ']' + (chance(20) ? " ; " + word() : QByteArray());
    }

    QByteArray entryLine()
    {
        struct Key
        {
            const char *spelt;
            const char *key; // as addressed, UTF-8, or null when only Latin-1 reads it
        };
        static const Key kKeys[] = {
            {"k1", "k1"},
            {"k2", "k2"},
            {"Host", "Host"},
            {"DEV\\1\\dev_name", "DEV/1/dev_name"},
            {"DEV\\size", "DEV/size"},
            {"DEV/2/topic", "DEV/2/topic"},
            {"k%41", "kA"},
            {"%U041A", "К"},
            {"%u0041", "%u0041"},
            {"\xd0\xba", nullptr},
            {"a b", "a b"},
            {"x.y", "x.y"},
            {"\"a=b\"", "\"a=b\""},
            {"a\\=b", "a/=b"},
        };
        const Key &key = oneOf(kKeys);
        const QString name = key.key ? QString::fromUtf8(key.key) : QString::fromLatin1(key.spelt);
        m_keys << (m_group.isEmpty() ? name : m_group + QLatin1Char('/') + name);
        QByteArray line = blanks() + key.spelt + blanks() + '=' + blanks() + value() + blanks();
        if (chance(15))
            line += "; " + word();
        return line;
    }

    QByteArray value()
    {
        static const char *const kTyped[] = {
            "@@x",
            "@String(abc)",
            "@String(a\\0b)",
            "@String()",
            "@ByteArray(x)",
            "@Variant(\\0\\0\\0\\x2\\0\\0\\0\\x1)",
            "@Rect(1 2 3 4)",
            "@Rect(1 2 3)",
            "@Size(1 2)",
            "@Point(1)",
            "@Invalid()",
            "@DateTime(x)",
            "@x",
            "@",
            "\"@Size(3 4)\"",
            "\\x40Rect(1 2 3 4)",
        };
        if (chance(12))
            return oneOf(kTyped);
        QByteArray value;
        bool afterNumber = false;
        const int pieces = pick(6);
        for (int i = 0; i < pieces; ++i) {
            QByteArray piece = valuePiece();
            // A digit right after a number's escape would join the number.
            if (afterNumber && QByteArray("0123456789abcdefABCDEF").contains(piece.at(0)))
                piece.prepend('_');
            afterNumber = piece.startsWith("\\x") ||
                          (piece.size() > 1 && piece.at(0) == '\\' && piece.at(1) >= '0' && piece.at(1) <= '7');
            value += piece;
        }
        if (chance(2))
            value += "\"open";
        return value;
    }

    // A character as an escape: in hexadecimal, maybe with leading digits
    // beyond the four that count, or in octal.
    QByteArray numberEscape()
    {
        static const ushort kCodes[] = {0x0, 0x1, 0x1f, 'A', 'z', '"', 0x7f, 0x41a, 0x451, 0x2026, 0xd83d, 0xfffe};
        const ushort code = oneOf(kCodes);
        if (chance(30))
            return '\\' + (chance(50) ? QByteArray("0") : QByteArray()) + QByteArray::number(code, 8);
        QByteArray digits = QByteArray::number(code, 16);
        if (chance(50))
            digits = digits.toUpper();
        if (chance(30))
            digits = "f" + digits.rightJustified(4, '0');
        return "\\x" + digits;
    }

    QByteArray valuePiece()
    {
        static const char *const kQuoted[] = {"\" spaced \"", "\"a;b\"", "\"a,b\"", "\"c=d\"", "\"\"", "\"x\\\"y\""};
        static const char *const kEscapes[] = {"\\a", "\\b", "\\f",  "\\n", "\\r", "\\t", "\\v", "\\\"",
                                               "\\'", "\\?", "\\\\", "\\q", "\\ ", "\\;", "\\,", "\\X"};
        static const char *const kRaw[] = {"Котёл", "€", "\xf0\x9f\x98\x80", "ё"};
        switch (pick(9)) {
        case 0:
            return oneOf(kQuoted);
        case 1:
            return oneOf(kEscapes);
        case 2:
            return numberEscape();
        case 3:
            return oneOf(kRaw);
        case 4:
            return blanks() + (chance(50) ? "," : ", ");
        case 5:
            return "\\" + lineBreak() + blanks();
        default:
            return word();
        }
    }

    QRandomGenerator m_random;
    QByteArray m_text;
    QStringList m_keys;
    QString m_group = QStringLiteral("");
};

// A text for the program to write: any UTF-16 code, those that need care
// above all.
QString randomText(QRandomGenerator &random)
{
    static const ushort kCodes[] = {'a',    'Z',    '0',    '7',    '9',  'f',  'F',   ' ',    '"',    '\\',
                                    ';',    ',',    '=',    '@',    '#',  '[',  '%',   0x0,    0x1,    '\t',
                                    '\n',   '\r',   0x7f,   0x80,   0xe9, 0xff, 0x41a, 0x451,  0x2026, 0xd83d,
                                    0xde00, 0xd800, 0xfeff, 0xfffd, '\'', '?',  '/',   0x3000, 0xa0,   0x85};
    QString text;
    const int length = int(random.bounded(12));
    for (int i = 0; i < length; ++i)
        text += QChar(kCodes[random.bounded(quint32(std::size(kCodes)))]);
    return text;
}

// A key for the program to write; case folds of "general" only where QSettings
// itself cannot write them.
QString randomKey(QRandomGenerator &random, bool forQSettingsWriter)
{
    static const char *const kKeys[] = {"MQTT/Host",        "MQTT/Port", "Devices/DEV/3/topic",
                                        "Devices/DEV/size", "New/key",   "Кир/ключ",
                                        "a b/c d",          "General/x", "top",
                                        "g1/k%41",          "x.y_z-w/k", "Devices/DEV/10/dev_name",
                                        "general/x",        "GENERAL/y"};
    const int choices = int(std::size(kKeys)) - (forQSettingsWriter ? 2 : 0);
    return QString::fromUtf8(kKeys[random.bounded(quint32(choices))]);
}

} // namespace

class tst_IniDocument : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void readsAsQSettings_data();
    void readsAsQSettings();
    void editsReadBackThroughQSettings_data();
    void editsReadBackThroughQSettings();
    void newFileIsLaidOutAsQSettingsWritesIt_data();
    void newFileIsLaidOutAsQSettingsWritesIt();
    void handEditedValuesReadAsMeant_data();
    void handEditedValuesReadAsMeant();
    void writeChangesOnlyItsLines_data();
    void writeChangesOnlyItsLines();

private:
    // A file of its own for every text: QSettings keeps what it read of a
    // file by the file's name.
    QString fileFor(const QByteArray &text);

    QTemporaryDir m_dir;
    int m_files = 0;
};

void tst_IniDocument::initTestCase()
{
    QVERIFY(m_dir.isValid());
}

QString tst_IniDocument::fileFor(const QByteArray &text)
{
    const QString name = m_dir.filePath(QStringLiteral("%1.conf").arg(++m_files));
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size())
        qFatal("cannot write %s", qPrintable(name));
    return name;
}

void tst_IniDocument::readsAsQSettings_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 1; seed <= 400; ++seed)
        QTest::addRow("seed %u", seed) << seed;
}

void tst_IniDocument::readsAsQSettings()
{
    QFETCH(quint32, seed);
    const HandWrittenText made(seed);
    QSettings settings(fileFor(made.text()), QSettings::IniFormat);
    const IniDocument document = IniDocument::fromText(made.text());
    const bool utf8 = made.text().startsWith(kByteOrderMark);

    QStringList theirKeys;
    for (const QString &key : settings.allKeys()) {
        if (isWellFormed(key))
            theirKeys << key;
    }
    std::sort(theirKeys.begin(), theirKeys.end());
    QCOMPARE(document.keys(QString()), theirKeys);

    const QStringList probes = theirKeys + made.keys();
    for (const QString &key : probes) {
        if (!isWellFormed(key))
            continue;
        const QVariant theirs = settings.value(key);
        const QString ours = document.text(key);
        const QString expected = utf8 ? theirs.toString() : asUtf8(theirs.toString());
        const QByteArray context =
            QByteArray("key " + key.toUtf8() + " reads " + ours.toUtf8().toPercentEncoding() + ", expected " +
                       expected.toUtf8().toPercentEncoding() + " from " + made.text().toPercentEncoding(" =[];\"\\/"));
        // A comma outside quotes: a list there, the text as written here.
        if (theirs.type() == QVariant::StringList)
            QVERIFY2(!ours.isNull(), context.constData());
        else if (theirs.type() == QVariant::String)
            QVERIFY2(ours == expected, context.constData());
        else
            QVERIFY2(ours.isNull(), context.constData());
    }
}

// Values set into a hand-written text, and keys removed from it, read back
// through QSettings as set and as gone; every other key reads as it did.
void tst_IniDocument::editsReadBackThroughQSettings_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 1; seed <= 200; ++seed)
        QTest::addRow("seed %u", seed) << seed;
}

void tst_IniDocument::editsReadBackThroughQSettings()
{
    QFETCH(quint32, seed);
    const HandWrittenText made(seed);
    QRandomGenerator random(seed);
    IniDocument document = IniDocument::fromText(made.text());
    QSettings before(fileFor(made.text()), QSettings::IniFormat);
    // Asked for one key, QSettings reads only the section named by its first
    // part and misses "DEV\1\topic" outside it; asked for all, it reads all.
    const QStringList keysBefore = before.allKeys();

    QMap<QString, QString> set;
    QSet<QString> removed;
    const QStringList known = made.keys();
    for (int i = 0; i < 6; ++i) {
        const bool existing = !known.isEmpty() && random.bounded(2);
        const QString key = existing ? known.at(int(random.bounded(quint32(known.size())))) : randomKey(random, false);
        if (!isWellFormed(key))
            continue;
        if (random.bounded(4) == 0) {
            document.remove(key);
            removed.insert(key);
            for (const QString &below : set.keys()) {
                if (below.startsWith(key + QLatin1Char('/'))) {
                    set.remove(below);
                    removed.insert(below);
                }
            }
            set.remove(key);
        } else {
            set.insert(key, randomText(random));
            document.setText(key, set.value(key));
            removed.remove(key);
        }
    }
    const QByteArray written = document.toText();
    QSettings after(fileFor(written), QSettings::IniFormat);
    after.allKeys();
    const QByteArray context = written.toPercentEncoding(" =[];\"\\/");
    const auto about = [&](const QString &key) {
        return QByteArray("key " + key.toUtf8() + " reads " + after.value(key).toString().toUtf8().toPercentEncoding() +
                          " set " + set.value(key).toUtf8().toPercentEncoding() + " before " +
                          before.value(key).toString().toUtf8().toPercentEncoding() + " in " + context);
    };

    for (auto it = set.cbegin(); it != set.cend(); ++it) {
        QVERIFY2(after.value(it.key()) == QVariant(it.value()), about(it.key()).constData());
        QCOMPARE(IniDocument::fromText(written).text(it.key()), it.value());
    }
    for (const QString &key : qAsConst(removed))
        QVERIFY2(!after.contains(key), about(key).constData());
    const auto isRemoved = [&removed](const QString &key) {
        for (const QString &gone : removed) {
            if (key == gone || key.startsWith(gone + QLatin1Char('/')))
                return true;
        }
        return false;
    };
    for (const QString &key : keysBefore) {
        if (isWellFormed(key) && !set.contains(key) && !isRemoved(key))
            QVERIFY2(after.value(key) == before.value(key), about(key).constData());
    }
}

void tst_IniDocument::newFileIsLaidOutAsQSettingsWritesIt_data()
{
    QTest::addColumn<quint32>("seed");
    for (quint32 seed = 1; seed <= 50; ++seed)
        QTest::addRow("seed %u", seed) << seed;
}

void tst_IniDocument::newFileIsLaidOutAsQSettingsWritesIt()
{
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    IniDocument document;
    const QString fileName = m_dir.filePath(QStringLiteral("%1.conf").arg(++m_files));
    {
        QSettings settings(fileName, QSettings::IniFormat);
        const int values = 1 + int(random.bounded(8));
        for (int i = 0; i < values; ++i) {
            const QString key = randomKey(random, true);
            const QString text = randomText(random);
            settings.setValue(key, text);
            document.setText(key, text);
        }
    }
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(document.toText(), file.readAll());
}

// What QSettings never writes, and a user may well type.
void tst_IniDocument::handEditedValuesReadAsMeant_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("text");

    QTest::newRow("UTF-8 bytes") << QByteArray("k=Котёл №2") << QStringLiteral("Котёл №2");
    QTest::newRow("bytes that are no UTF-8 read as Latin-1")
        << QByteArray("k=caf\xe9 \xd0") << QString::fromLatin1("caf\xe9 \xd0");
    QTest::newRow("UTF-8 ends an escape") << QByteArray("k=\\x41a\xd0\xb0") << QStringLiteral("Ка");
    QTest::newRow("comma outside quotes") << QByteArray("k=Pump, hall , 2") << QStringLiteral("Pump, hall , 2");
    QTest::newRow("comma beside quotes") << QByteArray("k=\"a, b\",c") << QStringLiteral("a, b,c");
}

void tst_IniDocument::handEditedValuesReadAsMeant()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, text);
    QCOMPARE(IniDocument::fromText(line).text(QStringLiteral("k")), text);
}

// Comments, blank lines, spacing and keys nobody asked for survive a write.
void tst_IniDocument::writeChangesOnlyItsLines_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QStringList>("changes"); // "key=text" sets, "-key" removes
    QTest::addColumn<QByteArray>("after");

    const QByteArray commented = "; the broker of the boiler room\n"
                                 "[MQTT]\n"
                                 "Host = 10.0.0.5   ; office\n"
                                 "Port=1883\n"
                                 "\n"
                                 "; meters\n"
                                 "[Devices]\n"
                                 "DEV\\size=0\n";
    QTest::newRow("value in place, comment kept")
        << commented << QStringList{"MQTT/Host=::1"}
        << QByteArray(commented).replace("10.0.0.5   ; office", "::1   ; office");
    QTest::newRow("same value keeps its spelling")
        << QByteArray("[MQTT]\nHost = \"10.0.0.5\"\n") << QStringList{"MQTT/Host=10.0.0.5"}
        << QByteArray("[MQTT]\nHost = \"10.0.0.5\"\n");
    QTest::newRow("new key at the end of its section, before comments")
        << commented << QStringList{"MQTT/KeepAlive=30"}
        << QByteArray(commented).replace("Port=1883\n", "Port=1883\nKeepAlive=30\n");
    QTest::newRow("new key beside the keys of its group")
        << QByteArray("[Devices]\nDEV\\1\\dev_name=A\nDEV\\size=1\n; end\n") << QStringList{"Devices/DEV/1/topic=t"}
        << QByteArray("[Devices]\nDEV\\1\\dev_name=A\nDEV\\1\\topic=t\nDEV\\size=1\n; end\n");
    QTest::newRow("new section at the end") << commented << QStringList{"History/Enabled=true", "History/Days=7"}
                                            << commented + "\n[History]\nDays=7\nEnabled=true\n";
    QTest::newRow("every line of a removed key goes")
        << QByteArray("[MQTT]\nHost=a\nPort=1\nHost=b\n[MQTT]\nHost=c\n") << QStringList{"-MQTT/Host"}
        << QByteArray("[MQTT]\nPort=1\n[MQTT]\n");
    QTest::newRow("the last of a repeated key is changed")
        << QByteArray("[MQTT]\nHost=a\n[MQTT]\nHost=b\n") << QStringList{"MQTT/Host=c"}
        << QByteArray("[MQTT]\nHost=a\n[MQTT]\nHost=c\n");
    QTest::newRow("new key after a removed last line")
        << QByteArray("[MQTT]\nHost=a\nPort=1") << QStringList{"-MQTT/Port", "MQTT/Tls=true"}
        << QByteArray("[MQTT]\nHost=a\nTls=true\n");
    QTest::newRow("lines broken as the file's first")
        << QByteArray("[MQTT]\r\nHost=a\r\n") << QStringList{"MQTT/Port=1", "History/Days=7"}
        << QByteArray("[MQTT]\r\nHost=a\r\nPort=1\r\n\r\n[History]\r\nDays=7\r\n");
    QTest::newRow("empty value at the end beside a new key")
        << QByteArray("[MQTT]\nHost=") << QStringList{"MQTT/Host=h", "MQTT/Port=1"}
        << QByteArray("[MQTT]\nHost=h\nPort=1\n");
    QTest::newRow("last line without a line break")
        << QByteArray("[MQTT]\nHost=a") << QStringList{"MQTT/Port=1"} << QByteArray("[MQTT]\nHost=a\nPort=1\n");
    QTest::newRow("quote left open at the end")
        << QByteArray("[MQTT]\nHost=\"a") << QStringList{"MQTT/Port=1"} << QByteArray("[MQTT]\nHost=\"a\"\nPort=1\n");
    QTest::newRow("backslash at the end")
        << QByteArray("[MQTT]\nHost=a\\") << QStringList{"MQTT/Port=1"} << QByteArray("[MQTT]\nHost=a\\\n\nPort=1\n");
    QTest::newRow("line carried on at the end, lines broken by CR")
        << QByteArray("[MQTT]\rHost=a\\\n") << QStringList{"MQTT/Port=1"} << QByteArray("[MQTT]\rHost=a\\\n\nPort=1\r");
    // A byte-order mark counts only at the very start: the line after it
    // stays words without '=', not a section taking Port into it.
    QTest::newRow("mark further down stays where it means nothing")
        << QByteArray("Host=a\n\xef\xbb\xbf[MQTT]\nPort=1\n") << QStringList{"-Host"}
        << QByteArray("\n\xef\xbb\xbf[MQTT]\nPort=1\n");
    QTest::newRow("typed value and unknown keys stay")
        << QByteArray("[MQTT]\nclientId=@Variant(\\0\\0\\0\\x2)\nColour = blue\n") << QStringList{"MQTT/Host=h"}
        << QByteArray("[MQTT]\nclientId=@Variant(\\0\\0\\0\\x2)\nColour = blue\nHost=h\n");
}

void tst_IniDocument::writeChangesOnlyItsLines()
{
    QFETCH(QByteArray, before);
    QFETCH(QStringList, changes);
    QFETCH(QByteArray, after);

    IniDocument document = IniDocument::fromText(before);
    for (const QString &change : changes) {
        if (change.startsWith(QLatin1Char('-')))
            document.remove(change.mid(1));
        else
            document.setText(change.section(QLatin1Char('='), 0, 0), change.section(QLatin1Char('='), 1));
    }
    QCOMPARE(document.toText(), after);
}

QTEST_GUILESS_MAIN(tst_IniDocument)
#include "tst_inidocument.moc"
