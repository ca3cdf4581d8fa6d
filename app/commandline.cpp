#include "app/commandline.h"
#include "base/version.h"

#include <QCoreApplication>

namespace {

// The options QApplication and its platform plug-ins take out of argv
// themselves, with one dash or two. The program must not refuse them:
// desktops and users pass them to any Qt program.
constexpr const char *kQtOptionsWithValue[] = {
    "platform",    "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "style",  "stylesheet",
    "display",     "geometry",           "title",         "icon",   "name",
    "visual"};
constexpr const char *kQtSwitches[] = {"reverse", "widgetcount", "testability", "nograb", "dograb"};
// Those Qt also takes as -name=value.
constexpr const char *kQtOptionsWithEquals[] = {"style", "stylesheet", "session", "qmljsdebugger"};

QString tr(const char *text)
{
    return QCoreApplication::translate("CommandLine", text);
}

// How many arguments, from the one at `at` on, are a Qt option and its value; 0 if none.
int qtOptionSpan(const QStringList &arguments, int at)
{
    const QString &argument = arguments.at(at);
    const QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
    const int equals = name.indexOf(QLatin1Char('='));
    if (equals >= 0) {
        const QStringRef key = name.leftRef(equals);
        for (const char *option : kQtOptionsWithEquals)
            if (key == QLatin1String(option))
                return 1;
        return 0;
    }
    for (const char *option : kQtOptionsWithValue)
        if (name == QLatin1String(option))
            return at + 1 < arguments.size() ? 2 : 1;
    for (const char *option : kQtSwitches)
        if (name == QLatin1String(option))
            return 1;
    return 0;
}

QString synopsis()
{
    return tr("Usage: %1 [Qt options]\n"
              "       %1 --help | --version\n")
        .arg(QLatin1String(kProgramName));
}

QString helpText()
{
    return synopsis() % tr("\n"
                           "Monitors Zelmar operating-hours meters over MQTT. The broker and the meters\n"
                           "are kept in Settings.conf in the working directory. The program takes no\n"
                           "arguments besides the options below.\n"
                           "\n"
                           "  -h, --help     show this help and exit\n"
                           "      --version  show the version and exit\n"
                           "\n"
                           "Qt's standard options (-platform, -style, -geometry, -reverse, ...) are\n"
                           "passed on to Qt. See zelmar-mqtt-client(1).\n");
}

CommandLineVerdict refuse(const QString &complaint)
{
    const QString name = QLatin1String(kProgramName);
    return {false, kCommandLineError, QString(),
            name % QLatin1String(": ") % complaint % QLatin1Char('\n') % synopsis() %
                tr("Try '%1 --help' for more information.\n").arg(name)};
}

} // namespace

CommandLineVerdict readCommandLine(const QStringList &arguments)
{
    bool help = false;
    bool version = false;
    for (int at = 1; at < arguments.size(); ++at) {
        const QString &argument = arguments.at(at);
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            help = true;
        } else if (argument == QLatin1String("--version")) {
            version = true;
        } else if (argument == QLatin1String("--")) {
            if (at + 1 < arguments.size())
                return refuse(tr("unexpected argument '%1'").arg(arguments.at(at + 1)));
            break;
        } else if (argument.size() > 1 && argument.startsWith(QLatin1Char('-'))) {
            const int span = qtOptionSpan(arguments, at);
            if (span == 0)
                return refuse(tr("unknown option '%1'").arg(argument));
            at += span - 1;
        } else {
            return refuse(tr("unexpected argument '%1'").arg(argument));
        }
    }
    if (help)
        return {false, 0, helpText(), QString()};
    if (version)
        return {false, 0,
                QLatin1String(kProgramName) % QLatin1Char(' ') % QLatin1String(kProgramVersion) % QLatin1Char('\n'),
                QString()};
    return {};
}

QStringList argumentList(int argc, const char *const *argv)
{
    QStringList arguments;
    arguments.reserve(argc);
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    return arguments;
}
