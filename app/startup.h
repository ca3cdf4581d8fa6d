#pragma once

#include <QString>
#include <QStringList>

// The plug-in search list: the toolkit's defaults, then the program's own
// folder and its imageformats, platforms and sqldrivers subfolders. They are
// resolved against the program's folder, never the working directory, so
// starting the program from a stranger's folder loads no code from it.
QStringList pluginSearchPaths(const QStringList &defaults, const QString &programDir);

// The folder the running executable lives in, found without an application
// object; empty when it cannot be told.
QString programDirectory();
