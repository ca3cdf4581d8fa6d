#include "app/startup.h"
#include "mainwindow/mainwindow.h"
#include "mqtt/client.h"

#include <QApplication>
#include <QHostAddress>

#include <memory>

int main(int argc, char *argv[])
{
    const QStringList paths = pluginSearchPaths(QCoreApplication::libraryPaths(), programDirectory());
    QCoreApplication::setLibraryPaths(paths);
    QCoreApplication::setOrganizationName(QStringLiteral("QMQTT"));
    QCoreApplication::setApplicationName(QStringLiteral("QMQTT"));

    QApplication app(argc, argv, 0x50C07);

    // The window only borrows the client, so the client outlives it. Deleting
    // it closes the socket without an MQTT DISCONNECT, as quitting always has.
    auto client = std::make_unique<QMQTT::Client>(QHostAddress(QHostAddress::LocalHost), 1883, nullptr);
    int exitCode = 0;
    {
        MainWindow window(client.get(), nullptr);
        window.show();
        exitCode = app.exec();
    }
    return exitCode;
}
