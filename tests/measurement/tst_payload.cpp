#include "common/jsonreading.h"
#include "measurement/payload.h"

#include <QtTest>

Q_DECLARE_METATYPE(Reading)

char *toString(const Reading &r)
{
    return QTest::toString(QStringLiteral("{dev_type %1, dev_mode %2, num_starts %3, t_common %4, t_current %5, "
                                          "t_last %6, voltage %7, freq %8}")
                               .arg(r.devType)
                               .arg(r.devMode)
                               .arg(r.numStarts)
                               .arg(r.tCommon)
                               .arg(r.tCurrent)
                               .arg(r.tLast)
                               .arg(r.voltage)
                               .arg(r.freq));
}

namespace {

Reading voltageOf(int voltage)
{
    Reading r;
    r.voltage = voltage;
    return r;
}

} // namespace

class tst_Payload : public QObject
{
    Q_OBJECT

private slots:
    void noReading_data();
    void noReading();
    void decode_data();
    void decode();
    void agreesWithJsonDocument_data();
    void agreesWithJsonDocument();
    void modelName_data();
    void modelName();
    void modeName_data();
    void modeName();
    void formatDuration_data();
    void formatDuration();
};

void tst_Payload::noReading_data()
{
    QTest::addColumn<QString>("payload");

    QTest::newRow("empty text") << QString();
    QTest::newRow("white space only") << QStringLiteral("  \n");
    QTest::newRow("not JSON") << QStringLiteral("dev_type=1");
    QTest::newRow("bare number") << QStringLiteral("5");
    QTest::newRow("bare string") << QStringLiteral("\"счёт\"");
    QTest::newRow("bare null") << QStringLiteral("null");
    QTest::newRow("object followed by stray text") << QStringLiteral("{\"dev_type\":1} x");
    QTest::newRow("two objects") << QStringLiteral("{\"dev_type\":1}{\"dev_type\":10}");
    QTest::newRow("unterminated object") << QStringLiteral("{\"dev_type\":1");
    // Qt's parser rejects the whole document rather than reading such a number as 0.
    QTest::newRow("number beyond double range") << QStringLiteral("{\"voltage\":1e400}");
}

void tst_Payload::noReading()
{
    QFETCH(QString, payload);
    QCOMPARE(ParsePayload(payload).has_value(), false);
}

void tst_Payload::decode_data()
{
    QTest::addColumn<QString>("payload");
    QTest::addColumn<Reading>("expected");

    Reading full;
    full.devType = 10;
    full.devMode = 1;
    full.numStarts = 42;
    full.tCommon = 3725;
    full.tCurrent = 61;
    full.tLast = 7;
    full.voltage = 230;
    full.freq = 50;

    QTest::newRow("all eight members") << QStringLiteral(
                                              "{\"dev_type\":10,\"dev_mode\":1,\"num_starts\":42,\"t_common\":3725,"
                                              "\"t_current\":61,\"t_last\":7,\"voltage\":230,\"freq\":50}")
                                       << full;
    QTest::newRow("members in another order with white space")
        << QStringLiteral(" {\n \"freq\" : 50, \"voltage\": 230, \"t_last\": 7, \"t_current\": 61,\n"
                          "  \"t_common\": 3725, \"num_starts\": 42, \"dev_mode\": 1, \"dev_type\": 10 }\n ")
        << full;
    QTest::newRow("empty object gives zeros") << QStringLiteral("{}") << Reading();
    QTest::newRow("empty array gives zeros") << QStringLiteral("[]") << Reading();
    QTest::newRow("array of an object gives zeros") << QStringLiteral("[{\"voltage\":230}]") << Reading();

    QTest::newRow("quoted number reads as 0") << QStringLiteral("{\"voltage\":\"12\"}") << Reading();
    QTest::newRow("fraction reads as 0") << QStringLiteral("{\"voltage\":12.5}") << Reading();
    QTest::newRow("negative fraction reads as 0") << QStringLiteral("{\"voltage\":-0.5}") << Reading();
    QTest::newRow("true reads as 0") << QStringLiteral("{\"voltage\":true}") << Reading();
    QTest::newRow("null reads as 0") << QStringLiteral("{\"voltage\":null}") << Reading();
    QTest::newRow("nested object reads as 0") << QStringLiteral("{\"voltage\":{\"value\":12}}") << Reading();
    QTest::newRow("array value reads as 0") << QStringLiteral("{\"voltage\":[12]}") << Reading();
    QTest::newRow("whole fraction 12.0 reads as 12") << QStringLiteral("{\"voltage\":12.0}") << voltageOf(12);
    QTest::newRow("exponent 1e3 reads as 1000") << QStringLiteral("{\"voltage\":1e3}") << voltageOf(1000);

    QTest::newRow("largest int") << QStringLiteral("{\"voltage\":2147483647}") << voltageOf(2147483647);
    QTest::newRow("one above largest int reads as 0") << QStringLiteral("{\"voltage\":2147483648}") << Reading();
    QTest::newRow("smallest int") << QStringLiteral("{\"voltage\":-2147483648}")
                                  << voltageOf(std::numeric_limits<int>::min());
    QTest::newRow("one below smallest int reads as 0") << QStringLiteral("{\"voltage\":-2147483649}") << Reading();
    QTest::newRow("2^32 plus 12 reads as 0, not 12") << QStringLiteral("{\"voltage\":4294967308}") << Reading();
    QTest::newRow("fraction just below largest int reads as 0")
        << QStringLiteral("{\"voltage\":2147483646.5}") << Reading();

    QTest::newRow("key differing in case is ignored") << QStringLiteral("{\"Voltage\":230}") << Reading();
    QTest::newRow("unknown members are ignored")
        << QStringLiteral("{\"serial\":\"Z-1\",\"voltage\":230,\"extra\":{\"freq\":60},\"list\":[1,2]}")
        << voltageOf(230);
    QTest::newRow("Cyrillic and other UTF-8 in string members")
        << QStringLiteral("{\"место\":\"цех №3 — насос\",\"note\":\"€ ✓ 😀\",\"voltage\":230}") << voltageOf(230);
}

void tst_Payload::decode()
{
    QFETCH(QString, payload);
    QFETCH(Reading, expected);

    const std::optional<Reading> reading = ParsePayload(payload);
    QVERIFY(reading.has_value());
    QCOMPARE(*reading, expected);
}

// The decoder reads a meter's own compact text by a shortcut and leaves
// everything else to QJsonDocument; these are the texts at the edge of the
// shortcut, where it must either read what the document reads or step aside.
void tst_Payload::agreesWithJsonDocument_data()
{
    QTest::addColumn<QString>("payload");

    const QString full = QStringLiteral(R"({"dev_type":10,"dev_mode":1,"num_starts":42,"t_common":3725,)"
                                        R"("t_current":61,"t_last":7,"voltage":230,"freq":50})");
    QTest::newRow("a meter's own text") << full;
    QTest::newRow("leading zero") << QStringLiteral(R"({"voltage":0123})");
    QTest::newRow("two zeros") << QStringLiteral(R"({"voltage":00})");
    QTest::newRow("negative leading zero") << QStringLiteral(R"({"voltage":-012})");
    QTest::newRow("minus zero") << QStringLiteral(R"({"voltage":-0})");
    QTest::newRow("lone minus") << QStringLiteral(R"({"voltage":-})");
    QTest::newRow("plus sign") << QStringLiteral(R"({"voltage":+5})");
    QTest::newRow("exponent") << QStringLiteral(R"({"voltage":23e1})");
    QTest::newRow("upper-case exponent") << QStringLiteral(R"({"voltage":23E1})");
    QTest::newRow("exponent making a fraction") << QStringLiteral(R"({"voltage":2305e-1})");
    QTest::newRow("trailing point") << QStringLiteral(R"({"voltage":230.})");
    QTest::newRow("upper-case key") << QStringLiteral(R"({"VOLTAGE":230})");
    QTest::newRow("escaped key") << QStringLiteral(R"({"voltage":230})");
    QTest::newRow("escaped underscore in key") << QStringLiteral(R"({"dev_type":10})");
    QTest::newRow("key with a digit") << QStringLiteral(R"({"voltage2":230,"voltage":7})");
    QTest::newRow("empty key") << QStringLiteral(R"({"":1,"voltage":230})");
    QTest::newRow("duplicate key") << QStringLiteral(R"({"voltage":1,"voltage":2})");
    QTest::newRow("duplicate unknown key") << QStringLiteral(R"({"x":1,"x":2,"voltage":3})");
    QTest::newRow("space after the brace") << QStringLiteral(R"({ "voltage":230})");
    QTest::newRow("space around the colon") << QStringLiteral(R"({"voltage" : 230})");
    QTest::newRow("space before the comma") << QStringLiteral(R"({"voltage":230 ,"freq":50})");
    QTest::newRow("leading space") << QStringLiteral(R"( {"voltage":230})");
    QTest::newRow("trailing line feed") << full + QLatin1Char('\n');
    QTest::newRow("tab inside") << QStringLiteral("{\"voltage\":\t230}");
    QTest::newRow("largest int") << QStringLiteral(R"({"voltage":2147483647})");
    QTest::newRow("one beyond int") << QStringLiteral(R"({"voltage":2147483648})");
    QTest::newRow("one below int") << QStringLiteral(R"({"voltage":-2147483649})");
    QTest::newRow("18 digits") << QStringLiteral(R"({"voltage":999999999999999999})");
    QTest::newRow("19 digits") << QStringLiteral(R"({"voltage":1234567890123456789})");
    QTest::newRow("40 digits") << QStringLiteral(R"({"voltage":1234567890123456789012345678901234567890})");
    QTest::newRow("2^32 plus 12") << QStringLiteral(R"({"voltage":4294967308})");
    QTest::newRow("trailing comma") << QStringLiteral(R"({"voltage":230,})");
    QTest::newRow("missing value") << QStringLiteral(R"({"voltage":})");
    QTest::newRow("value in quotes") << QStringLiteral(R"({"voltage":"230"})");
    QTest::newRow("text after the object") << full + QStringLiteral("x");
    QTest::newRow("second object") << full + full;
    QTest::newRow("unterminated") << full.chopped(1);
}

void tst_Payload::agreesWithJsonDocument()
{
    QFETCH(QString, payload);
    const std::optional<Reading> expected = jsonDocumentReading(payload);
    const std::optional<Reading> decoded = ParsePayload(payload);
    QCOMPARE(decoded.has_value(), expected.has_value());
    if (expected)
        QCOMPARE(*decoded, *expected);
}

void tst_Payload::modelName_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");

    QTest::newRow("1 is A") << 1 << QStringLiteral("Zelmar-A");
    QTest::newRow("10 is B") << 10 << QStringLiteral("Zelmar-B");
    QTest::newRow("20 is C") << 20 << QStringLiteral("Zelmar-C");
    QTest::newRow("0 is unknown") << 0 << QStringLiteral("unknown");
    QTest::newRow("2 is unknown") << 2 << QStringLiteral("unknown");
    QTest::newRow("11 is unknown") << 11 << QStringLiteral("unknown");
    QTest::newRow("21 is unknown") << 21 << QStringLiteral("unknown");
    QTest::newRow("-1 is unknown") << -1 << QStringLiteral("unknown");
}

void tst_Payload::modelName()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(ModelName(code), text);
}

void tst_Payload::modeName_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");

    QTest::newRow("0 is counting") << 0 << QStringLiteral("счёт");
    QTest::newRow("1 is display") << 1 << QStringLiteral("индикация");
    QTest::newRow("2 is unknown") << 2 << QStringLiteral("unknown");
    QTest::newRow("-1 is unknown") << -1 << QStringLiteral("unknown");
}

void tst_Payload::modeName()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(ModeName(code), text);
}

void tst_Payload::formatDuration_data()
{
    QTest::addColumn<int>("seconds");
    QTest::addColumn<QString>("text");

    QTest::newRow("zero") << 0 << QStringLiteral("00:00:00");
    QTest::newRow("last second of a minute") << 59 << QStringLiteral("00:00:59");
    QTest::newRow("one minute") << 60 << QStringLiteral("00:01:00");
    QTest::newRow("last second of an hour") << 3599 << QStringLiteral("00:59:59");
    QTest::newRow("one hour") << 3600 << QStringLiteral("01:00:00");
    QTest::newRow("mixed fields") << 3725 << QStringLiteral("01:02:05");
    QTest::newRow("last second of a day, no day field") << 86399 << QStringLiteral("23:59:59");
    QTest::newRow("last two-digit hour") << 359999 << QStringLiteral("99:59:59");
    QTest::newRow("hours grow past two digits") << 360000 << QStringLiteral("100:00:00");
    QTest::newRow("largest int") << 2147483647 << QStringLiteral("596523:14:07");
    QTest::newRow("minus one second") << -1 << QStringLiteral("-00:00:01");
    QTest::newRow("negative seconds only") << -59 << QStringLiteral("-00:00:59");
    QTest::newRow("negative, every field") << -3661 << QStringLiteral("-01:01:01");
    QTest::newRow("negative whole hours") << -360000 << QStringLiteral("-100:00:00");
    QTest::newRow("smallest int") << std::numeric_limits<int>::min() << QStringLiteral("-596523:14:08");
}

void tst_Payload::formatDuration()
{
    QFETCH(int, seconds);
    QFETCH(QString, text);
    QCOMPARE(FormatDuration(seconds), text);
}

QTEST_GUILESS_MAIN(tst_Payload)
#include "tst_payload.moc"
