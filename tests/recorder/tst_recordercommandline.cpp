#include "app/commandline.h"
#include "base/version.h"
#include "recorder/recordercommandline.h"

#include <QtTest>

// Which command lines start the recorder with which settings, which answer
// and end, and which are refused.
class tst_RecorderCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void verdict_data();
    void verdict();
};

void tst_RecorderCommandLine::verdict_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("start");
    QTest::addColumn<QString>("settingsFile");
    QTest::addColumn<int>("exitStatus");
    QTest::addColumn<QString>("firstOutputLine");
    QTest::addColumn<QString>("firstErrorLine");

    const QString version = QLatin1String(kRecorderName) % QLatin1Char(' ') % QLatin1String(kProgramVersion);
    const QString usage = QStringLiteral("Usage: zelmar-recorder [--config FILE]");
    const QString conf = QStringLiteral("Settings.conf");
    const auto refused = [](const QString &what) -> QString { return QStringLiteral("zelmar-recorder: ") + what; };

    QTest::newRow("no arguments") << QStringList() << true << conf << 0 << QString() << QString();
    QTest::newRow("--config and a file") << QStringList{"--config", "/etc/zelmar-recorder/Settings.conf"} << true
                                         << "/etc/zelmar-recorder/Settings.conf" << 0 << QString() << QString();
    QTest::newRow("--config=file") << QStringList{"--config=Котёл.conf"} << true << "Котёл.conf" << 0 << QString()
                                   << QString();
    QTest::newRow("the last --config wins")
        << QStringList{"--config", "a.conf", "--config=b.conf"} << true << "b.conf" << 0 << QString() << QString();

    QTest::newRow("--version") << QStringList{"--version"} << false << conf << 0 << version << QString();
    QTest::newRow("--help") << QStringList{"--help"} << false << conf << 0 << usage << QString();
    QTest::newRow("-h after --config") << QStringList{"--config", "a.conf", "-h"} << false << "a.conf" << 0 << usage
                                       << QString();

    QTest::newRow("--config without its file") << QStringList{"--config"} << false << conf << 2 << QString()
                                               << refused(QStringLiteral("option '--config' needs a file name"));
    QTest::newRow("--config= without its file") << QStringList{"--config="} << false << conf << 2 << QString()
                                                << refused(QStringLiteral("option '--config' needs a file name"));
    QTest::newRow("the window's Qt options are not ours")
        << QStringList{"-platform", "offscreen"} << false << conf << 2 << QString()
        << refused(QStringLiteral("unknown option '-platform'"));
    QTest::newRow("an error beats --version") << QStringList{"--version", "--bogus"} << false << conf << 2 << QString()
                                              << refused(QStringLiteral("unknown option '--bogus'"));
    QTest::newRow("a file name without --config") << QStringList{"Settings.conf"} << false << conf << 2 << QString()
                                                  << refused(QStringLiteral("unexpected argument 'Settings.conf'"));
}

void tst_RecorderCommandLine::verdict()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, start);
    QFETCH(QString, settingsFile);
    QFETCH(int, exitStatus);
    QFETCH(QString, firstOutputLine);
    QFETCH(QString, firstErrorLine);

    arguments.prepend(QStringLiteral("/usr/bin/zelmar-recorder"));
    const RecorderCommandLine line = readRecorderCommandLine(arguments);

    QCOMPARE(line.start, start);
    QCOMPARE(line.exitStatus, exitStatus);
    if (start)
        QCOMPARE(line.settingsFile, settingsFile);
    QCOMPARE(line.standardOutput.section(QLatin1Char('\n'), 0, 0), firstOutputLine);
    QCOMPARE(line.standardError.section(QLatin1Char('\n'), 0, 0), firstErrorLine);
    for (const QString &text : {line.standardOutput, line.standardError})
        QVERIFY(text.isEmpty() || text.endsWith(QLatin1Char('\n')));
    if (exitStatus == kCommandLineError)
        QVERIFY(line.standardError.contains(QStringLiteral("\nUsage: zelmar-recorder [--config FILE]\n")));
}

QTEST_GUILESS_MAIN(tst_RecorderCommandLine)
#include "tst_recordercommandline.moc"
