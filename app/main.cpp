#include "app/appicon.h"
#include "app/commandline.h"
#include "app/startup.h"
#include "app/terminationsignals.h"
#include "app/toolkittranslator.h"
#include "base/defaults.h"
#include "mainwindow/mainwindow.h"
#include "mqtt/client.h"

#include <QApplication>
#include <QHostAddress>

#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    // Before the application object, which would want a display.
    const CommandLineVerdict verdict = readCommandLine(argumentList(argc, argv));
    if (!verdict.startWindow) {
        std::fputs(verdict.standardOutput.toLocal8Bit().constData(), stdout);
        std::fputs(verdict.standardError.toLocal8Bit().constData(), stderr);
        return verdict.exitStatus;
    }

    const QStringList paths = pluginSearchPaths(QCoreApplication::libraryPaths(), programDirectory());
    QCoreApplication::setLibraryPaths(paths);
    // Frozen names: nothing reads them back (Settings.conf is opened by its
    // file name), but they are what the program has always called itself
    // towards the toolkit.
    QCoreApplication::setOrganizationName(QStringLiteral("QMQTT"));
    QCoreApplication::setApplicationName(QStringLiteral("QMQTT"));

    // 0x50C07 is Qt 5.12.7, the toolkit version the program was first built
    // for, passed where Qt's own default would be the QT_VERSION we compile
    // against. Qt 5 does not act on the value; it stays as it always was, so
    // that the program tells the toolkit the same thing on every build.
    QApplication app(argc, argv, 0x50C07);
    // Every window without an icon of its own, dialogs included, takes this one;
    // the desktop entry's name lets Wayland shells match the window to its menu entry.
    QApplication::setWindowIcon(applicationIcon());
    QGuiApplication::setDesktopFileName(QStringLiteral("example.zelmar.MqttClient"));
    ToolkitTranslator toolkitTexts;
    QCoreApplication::installTranslator(&toolkitTexts);

    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::received, &app, &QCoreApplication::quit);

    // The window only borrows the client, so the client outlives it. Deleting
    // it closes the socket without an MQTT DISCONNECT, as quitting always has.
    auto client = std::make_unique<QMQTT::Client>(QHostAddress(QHostAddress::LocalHost), Defaults::kMqttPort, nullptr);
    int exitCode = 0;
    {
        MainWindow window(client.get(), nullptr);
        window.show();
        exitCode = app.exec();
    }
    return exitCode;
}
