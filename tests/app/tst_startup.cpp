#include "app/startup.h"
#include "common/scratchdirectory.h"

#include <QDir>
#include <QtTest>

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void pluginPathsFollowDefaultsInOrder();
    void pluginPathsIgnoreWorkingDirectory();
    void unknownProgramDirAddsNothing();
};

void tst_Startup::pluginPathsFollowDefaultsInOrder()
{
    const QStringList defaults{QStringLiteral("/usr/lib/qt5/plugins"), QStringLiteral("/opt/x")};
    const QStringList paths = pluginSearchPaths(defaults, QStringLiteral("/opt/zelmar/bin"));
    QCOMPARE(paths,
             (QStringList{QStringLiteral("/usr/lib/qt5/plugins"), QStringLiteral("/opt/x"),
                          QStringLiteral("/opt/zelmar/bin"), QStringLiteral("/opt/zelmar/bin/imageformats"),
                          QStringLiteral("/opt/zelmar/bin/platforms"), QStringLiteral("/opt/zelmar/bin/sqldrivers")}));
}

void tst_Startup::pluginPathsIgnoreWorkingDirectory()
{
    QStringList paths;
    QString elsewhere;
    {
        const ScratchDirectory dir;
        QVERIFY(dir.isValid());
        elsewhere = dir.path();
        paths = pluginSearchPaths({}, programDirectory());
    }

    QCOMPARE(paths.size(), 4);
    for (const QString &path : paths) {
        QVERIFY2(QDir::isAbsolutePath(path), qPrintable(path));
        QVERIFY2(!path.startsWith(elsewhere), qPrintable(path));
    }
    QCOMPARE(paths.first(), QCoreApplication::applicationDirPath());
}

void tst_Startup::unknownProgramDirAddsNothing()
{
    const QStringList defaults{QStringLiteral("/usr/lib/qt5/plugins")};
    QCOMPARE(pluginSearchPaths(defaults, QString()), defaults);
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
