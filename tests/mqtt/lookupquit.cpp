// Run by tst_client with a resolver preloaded that never answers for
// "broker.silent": starts an attempt on that name, prints how the attempt
// ended (or that it had not after five seconds), and quits.

#include "mqtt/client.h"

#include <QCoreApplication>
#include <QMetaEnum>
#include <QTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QMQTT::Client client;
    client.setHostName(QStringLiteral("broker.silent"));
    client.setConnectTimeout(300);
    QObject::connect(&client, &QMQTT::Client::error, &app, [](QMQTT::ClientError error) {
        std::printf("error %s\n", QMetaEnum::fromType<QMQTT::ClientError>().valueToKey(error));
        QCoreApplication::quit();
    });
    QTimer::singleShot(5000, &app, [] {
        std::printf("no answer\n");
        QCoreApplication::quit();
    });
    client.connectToHost();
    return QCoreApplication::exec();
}
