#pragma once

#include <QString>
#include <QStringList>

// What the command line asks of the program. It is read before the
// application object exists, so --version and --help answer without a display.
struct CommandLineVerdict
{
    bool startWindow = true; // on with the normal start; otherwise end at once
    int exitStatus = 0;
    QString standardOutput;
    QString standardError;
};

// The status for a command line the program cannot follow, as getopt's users have it.
inline constexpr int kCommandLineError = 2;

// Reads the arguments as main() got them, the program first. Only --help, -h
// and --version are the program's own; Qt's standard options (-platform,
// -style, -geometry, ...) with their values are left for the application
// object; anything else is refused with the usage, status kCommandLineError.
CommandLineVerdict readCommandLine(const QStringList &arguments);

// argv as strings, in the locale's encoding.
QStringList argumentList(int argc, const char *const *argv);
