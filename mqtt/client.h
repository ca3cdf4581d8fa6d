#pragma once

#include "base/defaults.h"
#include "mqtt/clienterror.h"
#include "mqtt/message.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// The namespace and the class names are those of the qmqtt library, which the
// program was first written against: the window's slots name QMQTT::Message
// and QMQTT::ClientError in their signatures, and those signatures are part
// of its frozen interface. The implementation is our own, on libmosquitto.
namespace QMQTT {

class ClientPrivate;

// TLS to the broker. The broker's certificate must be vouched for by the CA
// and, with verifyHostName, name the host as given to setHostName() or
// setHost(), also when a name was looked up and an address connected to.
struct TlsSettings
{
    bool enabled = false;
    QString caFile;   // CA certificates (PEM); empty: the system's CA store
    QString certFile; // client certificate and its key (PEM), both or neither
    QString keyFile;
    bool verifyHostName = true;
};

// The MQTT version a client speaks.
enum class ProtocolVersion
{
    Mqtt311,
    // The client also announces at CONNECT the largest packet it takes,
    // Client::kMqtt5MaximumPacketSize, so that a broker that honours it
    // (Mosquitto does) never sends a larger one: the library reads every
    // packet whole, before the payload cap can drop it.
    Mqtt5
};

// An MQTT 3.1.1 (or 5) client driven by the Qt event loop (subscribe-only use).
//
// Settings take effect at the next connectToHost(): every value set before it
// is the one used, and an empty client id, user name or password means "none",
// even if a non-empty one was used for the previous connection.
//
// Signals:
// - connected() once the broker has accepted the connection.
// - disconnected() whenever an established connection ends, whether through
//   disconnectFromHost(), a new connectToHost() or the network. disconnectFromHost()
//   emits it before returning.
// - error() when an attempt fails (then neither connected() nor disconnected()
//   is emitted) or an established connection breaks; in the latter case it
//   follows disconnected(). Failures of an attempt are always reported from the
//   event loop, never from inside connectToHost().
// - subscribed() for every subscription the broker has granted.
// - subscriptionRefused() for every subscription the broker refused, and for
//   every filter that MQTT cannot carry (it never goes out); from the event
//   loop, like subscribed().
// - received() for every application message, in arrival order.
// An attempt aborted by disconnectFromHost() or replaced by connectToHost()
// emits nothing more; nor does a broken connection once a slot on its
// disconnected() has called either. Any slot may delete the client.
class Client final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Client)

public:
    // How long an attempt may wait for the broker's answer on one address
    // before it gives up with SocketTimeoutError, unless setConnectTimeout()
    // says otherwise. The keep-alive interval has nothing to do with it.
    static constexpr int kDefaultConnectTimeoutMs = 10000;
    // What an MQTT 5 client announces as the largest packet it takes.
    static constexpr int kMqtt5MaximumPacketSize = 64 * 1024;

    explicit Client(const QHostAddress &host = QHostAddress::LocalHost, quint16 port = Defaults::kMqttPort,
                    QObject *parent = nullptr);
    // Closes the socket at once, without an MQTT DISCONNECT; safe in any state.
    ~Client() override;

    void setHost(const QHostAddress &host);
    // A name is looked up without blocking the event loop when the connection
    // starts; each of its addresses is tried in turn until one answers.
    void setHostName(const QString &hostName);
    // Port 0 makes the next attempt fail with MqttInvalidSettingsError.
    void setPort(quint16 port);
    // In seconds; 0 turns keep-alive off. MQTT brokers and the underlying
    // library reject 1 to 4, so those become 5.
    void setKeepAlive(quint16 seconds);
    void setClientId(const QString &clientId);
    void setUsername(const QString &username);
    // A password needs a user name and may not contain zero bytes; otherwise
    // the attempt fails with MqttInvalidSettingsError.
    void setPassword(const QByteArray &password);
    void setTls(const TlsSettings &tls);
    // MQTT 3.1.1 unless told otherwise.
    void setProtocolVersion(ProtocolVersion version);
    // Messages with a larger payload are dropped as they arrive, before they
    // are copied or announced. 0, the default, lets every message through.
    void setMaximumPayloadSize(int bytes);

    // Looks up a host name, blocking as long as it takes; the addresses in
    // the order to try them, none if the name is unknown.
    using Resolver = std::function<QList<QHostAddress>(const QString &hostName)>;
    // The lookup runs on a thread of its own, which nothing ever waits for:
    // the attempt gives up on it after the connect timeout, and the program
    // may end while it still runs. The default asks the system's resolver;
    // an empty function restores it.
    void setResolver(Resolver resolver);

    bool isConnectedToHost() const;
    // Which setting the last attempt refused, if it failed with
    // MqttInvalidSettingsError; InvalidSetting::None otherwise.
    InvalidSetting invalidSetting() const;
    // Why the last attempt's TLS handshake failed, if it ended with
    // TlsCertificateRejectedError or TlsError; TlsProblem::None otherwise.
    TlsProblem tlsProblem() const;
    // The TLS library's own words for it (English), for the problems that
    // have no name of their own.
    QString tlsDetail() const;

    // Takes effect at the next connectToHost(); values below 1 ms restore
    // the default. A host name's lookup and the first of its addresses share
    // this time; each further address gets it anew.
    void setConnectTimeout(int msecs);

public slots:
    // Starts a new attempt with the current settings. A pending attempt is
    // dropped first, and an established connection is ended (disconnected()).
    void connectToHost();
    // Ends the connection with an MQTT DISCONNECT, or aborts a pending attempt.
    void disconnectFromHost();
    // Ignored unless connected; QoS above 2 is treated as 2.
    void subscribe(const QString &topic, quint8 qos = 0);

signals:
    void connected();
    void disconnected();
    void received(const QMQTT::Message &message);
    void subscribed(const QString &topic);
    void subscriptionRefused(const QString &topic);
    void error(QMQTT::ClientError error);

private:
    friend class ClientPrivate;
    std::unique_ptr<ClientPrivate> d;
};

} // namespace QMQTT
