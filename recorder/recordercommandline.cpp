#include "recorder/recordercommandline.h"

#include "app/commandline.h"
#include "base/version.h"

#include <QCoreApplication>

namespace {

const QLatin1String kConfigOption("--config");

QString tr(const char *text)
{
    return QCoreApplication::translate("RecorderCommandLine", text);
}

QString synopsis()
{
    return tr("Usage: %1 [--config FILE]\n"
              "       %1 --help | --version\n")
        .arg(QLatin1String(kRecorderName));
}

QString helpText()
{
    return synopsis() % tr("\n"
                           "Records the readings of Zelmar operating-hours meters around the clock,\n"
                           "without a window: connects to the broker of the settings file, subscribes\n"
                           "to every meter registered there and records each reading into the history\n"
                           "(history.sqlite in the working directory). A meter added to the file is\n"
                           "recorded without a restart. Logs to standard error; SIGTERM or SIGINT end\n"
                           "it once it has written what it holds.\n"
                           "\n"
                           "      --config FILE  the settings (default: Settings.conf in the working\n"
                           "                     directory)\n"
                           "  -h, --help         show this help and exit\n"
                           "      --version      show the version and exit\n"
                           "\n"
                           "See zelmar-recorder(8).\n");
}

RecorderCommandLine refuse(const QString &complaint)
{
    const QString name = QLatin1String(kRecorderName);
    RecorderCommandLine refusal;
    refusal.start = false;
    refusal.exitStatus = kCommandLineError;
    refusal.standardError = name % QLatin1String(": ") % complaint % QLatin1Char('\n') % synopsis() %
                            tr("Try '%1 --help' for more information.\n").arg(name);
    return refusal;
}

} // namespace

RecorderCommandLine readRecorderCommandLine(const QStringList &arguments)
{
    RecorderCommandLine line;
    bool help = false;
    bool version = false;
    for (int at = 1; at < arguments.size(); ++at) {
        const QString &argument = arguments.at(at);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            help = true;
        } else if (argument == QLatin1String("--version")) {
            version = true;
        } else if (argument == kConfigOption || argument.startsWith(kConfigOption + QLatin1Char('='))) {
            const bool joined = argument.size() > kConfigOption.size();
            if (!joined && ++at == arguments.size())
                return refuse(tr("option '%1' needs a file name").arg(kConfigOption));
            line.settingsFile = joined ? argument.mid(kConfigOption.size() + 1) : arguments.at(at);
            if (line.settingsFile.isEmpty())
                return refuse(tr("option '%1' needs a file name").arg(kConfigOption));
        } else if (argument.size() > 1 && argument.startsWith(QLatin1Char('-'))) {
            return refuse(tr("unknown option '%1'").arg(argument));
        } else {
            return refuse(tr("unexpected argument '%1'").arg(argument));
        }
    }
    if (help || version) {
        line.start = false;
        line.standardOutput =
            help ? helpText()
                 : QLatin1String(kRecorderName) % QLatin1Char(' ') % QLatin1String(kProgramVersion) % QLatin1Char('\n');
    }
    return line;
}
