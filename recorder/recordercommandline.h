#pragma once

#include <QString>
#include <QStringList>

// What the recorder's command line asks of it. Read before the application
// object exists, as the window's is.
struct RecorderCommandLine
{
    bool start = true; // on with the normal start; otherwise end at once
    int exitStatus = 0;
    QString standardOutput;
    QString standardError;
    // --config: the settings to record by.
    QString settingsFile = QStringLiteral("Settings.conf");
};

// Reads the arguments as main() got them, the program first: --config PATH
// (or --config=PATH), --help, -h and --version. Anything else is refused
// with the usage and kCommandLineError, as the window's program does.
RecorderCommandLine readRecorderCommandLine(const QStringList &arguments);
