#pragma once

#include "mqtt/clienterror.h"
#include "mqtt/message.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

namespace QMQTT {

// An MQTT 3.1.1 client driven by the Qt event loop (subscribe-only use).
class Client final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Client)

public:
    explicit Client(const QHostAddress &host = QHostAddress::LocalHost, quint16 port = 1883,
                    QObject *parent = nullptr);
    ~Client() override;

    void setHost(const QHostAddress &host);
    void setHostName(const QString &hostName);
    void setPort(quint16 port);
    void setKeepAlive(quint16 seconds);
    void setClientId(const QString &clientId);
    void setUsername(const QString &username);
    void setPassword(const QByteArray &password);

    QString hostName() const;
    quint16 port() const;

    bool isConnectedToHost() const;

public slots:
    void connectToHost();
    void disconnectFromHost();
    void subscribe(const QString &topic, quint8 qos = 0);

signals:
    void connected();
    void disconnected();
    void received(const QMQTT::Message &message);
    void subscribed(const QString &topic);
    void error(QMQTT::ClientError error);

private:
    QString m_hostName;
    quint16 m_port;
};

} // namespace QMQTT
