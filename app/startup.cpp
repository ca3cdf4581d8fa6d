#include "app/startup.h"

#include <QDir>
#include <QFileInfo>

QStringList pluginSearchPaths(const QStringList &defaults, const QString &programDir)
{
    QStringList paths = defaults;
    if (programDir.isEmpty())
        return paths;
    const QDir dir(programDir);
    for (const char *entry : {".", "imageformats", "platforms", "sqldrivers"})
        paths.append(QDir::cleanPath(dir.absoluteFilePath(QString::fromLatin1(entry))));
    return paths;
}

QString programDirectory()
{
    // QCoreApplication::applicationDirPath() needs the application object,
    // but the search paths must be in place before it loads its platform plug-in.
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    const QString target = exe.symLinkTarget();
    return target.isEmpty() ? QString() : QFileInfo(target).absolutePath();
}
