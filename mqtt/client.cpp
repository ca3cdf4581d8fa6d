#include "mqtt/client.h"

// Placeholder until the libmosquitto-backed implementation lands.
namespace QMQTT {

Client::Client(const QHostAddress &host, quint16 port, QObject *parent)
    : QObject(parent), m_hostName(host.toString()), m_port(port)
{
    qRegisterMetaType<QMQTT::Message>("QMQTT::Message");
    qRegisterMetaType<QMQTT::ClientError>("QMQTT::ClientError");
}

Client::~Client() = default;

void Client::setHost(const QHostAddress &host) { m_hostName = host.toString(); }
void Client::setHostName(const QString &hostName) { m_hostName = hostName; }
void Client::setPort(quint16 port) { m_port = port; }
void Client::setKeepAlive(quint16) {}
void Client::setClientId(const QString &) {}
void Client::setUsername(const QString &) {}
void Client::setPassword(const QByteArray &) {}
QString Client::hostName() const { return m_hostName; }
quint16 Client::port() const { return m_port; }
bool Client::isConnectedToHost() const { return false; }
void Client::connectToHost() {}
void Client::disconnectFromHost() {}
void Client::subscribe(const QString &, quint8) {}

} // namespace QMQTT
