#include "app/commandline.h"
#include "base/version.h"

#include <QtTest>

// Which command lines start the window, which answer and end, and which are refused.
class tst_CommandLine : public QObject
{
    Q_OBJECT

private slots:
    void verdict_data();
    void verdict();
};

void tst_CommandLine::verdict_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("startWindow");
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<QString>("firstOutputLine");
    QTest::addColumn<QString>("firstErrorLine");

    const QString version = QLatin1String(kProgramName) % QLatin1Char(' ') % QLatin1String(kProgramVersion);
    const QString usage = QStringLiteral("Usage: zelmar-mqtt-client [Qt options]");
    const auto unknown = [](const char *option) {
        return QStringLiteral("zelmar-mqtt-client: unknown option '%1'").arg(QLatin1String(option));
    };
    const auto unexpected = [](const char *argument) {
        return QStringLiteral("zelmar-mqtt-client: unexpected argument '%1'").arg(QLatin1String(argument));
    };

    QTest::newRow("no arguments start") << QStringList() << true << 0 << QString() << QString();
    QTest::newRow("Qt options with their values start")
        << QStringList{"-platform", "offscreen",        "-style",  "Fusion",        "-geometry", "640x480+0+0",
                       "-reverse",  "-qwindowgeometry", "800x600", "-qwindowtitle", "Котёл",     "-display",
                       ":1"}
        << true << 0 << QString() << QString();
    QTest::newRow("Qt options with two dashes or '=' start")
        << QStringList{"--platform", "offscreen", "-style=Fusion", "--stylesheet=a.qss", "-qmljsdebugger=port:1"}
        << true << 0 << QString() << QString();
    QTest::newRow("a Qt option's value is not an option")
        << QStringList{"-qwindowtitle", "--version"} << true << 0 << QString() << QString();
    QTest::newRow("a Qt option missing its value is Qt's to judge")
        << QStringList{"-platform"} << true << 0 << QString() << QString();

    QTest::newRow("--version") << QStringList{"--version"} << false << 0 << version << QString();
    QTest::newRow("--version among Qt options")
        << QStringList{"-platform", "offscreen", "--version"} << false << 0 << version << QString();
    QTest::newRow("--help") << QStringList{"--help"} << false << 0 << usage << QString();
    QTest::newRow("-h") << QStringList{"-h"} << false << 0 << usage << QString();

    QTest::newRow("unknown long option") << QStringList{"--verbose"} << false << 2 << QString() << unknown("--verbose");
    QTest::newRow("unknown short option") << QStringList{"-v"} << false << 2 << QString() << unknown("-v");
    QTest::newRow("help with one dash is not ours")
        << QStringList{"-help"} << false << 2 << QString() << unknown("-help");
    QTest::newRow("our options take no value")
        << QStringList{"--version=2"} << false << 2 << QString() << unknown("--version=2");
    QTest::newRow("a Qt switch takes no value")
        << QStringList{"-reverse=1"} << false << 2 << QString() << unknown("-reverse=1");
    QTest::newRow("'=' only where Qt takes it")
        << QStringList{"-platform=offscreen"} << false << 2 << QString() << unknown("-platform=offscreen");
    QTest::newRow("an error beats --version")
        << QStringList{"--version", "--bogus"} << false << 2 << QString() << unknown("--bogus");
    QTest::newRow("an error after Qt options") << QStringList{"-platform", "offscreen", "-reverse", "--bogus"} << false
                                               << 2 << QString() << unknown("--bogus");

    QTest::newRow("a file name") << QStringList{"Settings.conf"} << false << 2 << QString()
                                 << unexpected("Settings.conf");
    QTest::newRow("an argument after --") << QStringList{"--", "-x"} << false << 2 << QString() << unexpected("-x");
    QTest::newRow("a lone dash") << QStringList{"-"} << false << 2 << QString() << unexpected("-");
}

void tst_CommandLine::verdict()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, startWindow);
    QFETCH(int, exitStatus);
    QFETCH(QString, firstOutputLine);
    QFETCH(QString, firstErrorLine);

    arguments.prepend(QStringLiteral("/usr/bin/zelmar-mqtt-client"));
    const CommandLineVerdict verdict = readCommandLine(arguments);

    QCOMPARE(verdict.startWindow, startWindow);
    QCOMPARE(verdict.exitStatus, exitStatus);
    QCOMPARE(verdict.standardOutput.section(QLatin1Char('\n'), 0, 0), firstOutputLine);
    QCOMPARE(verdict.standardError.section(QLatin1Char('\n'), 0, 0), firstErrorLine);
    // Whatever is printed ends its line; a refusal shows how to call the program.
    for (const QString &text : {verdict.standardOutput, verdict.standardError})
        QVERIFY(text.isEmpty() || text.endsWith(QLatin1Char('\n')));
    if (exitStatus == kCommandLineError)
        QVERIFY(verdict.standardError.contains(QStringLiteral("\nUsage: zelmar-mqtt-client [Qt options]\n")));
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
