#include "common/testbroker.h"
#include "common/testcertificates.h"
#include "mqtt/client.h"

#include <QPointer>
#include <QProcess>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <functional>
#include <memory>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

using QMQTT::Client;
using QMQTT::ClientError;
using QMQTT::Message;

Q_DECLARE_METATYPE(std::function<void(Client *)>)
// The port an attempt goes to.
using Port = std::function<quint16(const TestBroker &)>;
Q_DECLARE_METATYPE(Port)
// Connects `slot` to one of the client's signals.
using Hook = std::function<void(Client *, QObject *context, const std::function<void()> &slot)>;
Q_DECLARE_METATYPE(Hook)

namespace {

constexpr int BrokerWaitMs = 5000;

// A peer that takes the TCP connection and never says a word, like a host
// whose broker hangs.
class SilentPeer final
{
public:
    bool listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_server.serverPort(); }
    QTcpServer *server() { return &m_server; }

private:
    QTcpServer m_server;
};

QString errorWord(ClientError error)
{
    return QStringLiteral("error:") + QString::fromLatin1(QMetaEnum::fromType<ClientError>().valueToKey(error));
}

// Everything a client emits about its connection, in order, as words.
class SignalLog final
{
public:
    explicit SignalLog(Client *client)
    {
        QObject::connect(client, &Client::connected, &m_context, [this] { lines << QStringLiteral("connected"); });
        QObject::connect(client, &Client::disconnected, &m_context,
                         [this] { lines << QStringLiteral("disconnected"); });
        QObject::connect(client, &Client::error, &m_context, [this](ClientError e) { lines << errorWord(e); });
    }

    QStringList lines;

private:
    QObject m_context;
};

template <typename Signal> Hook hookOn(Signal signal)
{
    return [signal](Client *c, QObject *context, const std::function<void()> &slot) {
        QObject::connect(c, signal, context, slot);
    };
}

// Puts the read end of a fresh pipe at descriptor 0 while it lives, so that
// a close of descriptor 0 by someone who never opened it shows.
class StandardInputProbe final
{
public:
    StandardInputProbe() : m_saved(::dup(0))
    {
        struct stat status = {};
        m_valid = ::pipe(m_pipe) == 0 && ::dup2(m_pipe[0], 0) == 0 && ::fstat(0, &status) == 0;
        m_inode = status.st_ino;
        m_device = status.st_dev;
    }
    ~StandardInputProbe()
    {
        if (m_saved >= 0) {
            ::dup2(m_saved, 0);
            ::close(m_saved);
        } else {
            ::close(0);
        }
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
    }
    StandardInputProbe(const StandardInputProbe &) = delete;
    StandardInputProbe &operator=(const StandardInputProbe &) = delete;

    bool isValid() const { return m_valid; }
    bool intact() const
    {
        struct stat status = {};
        return ::fstat(0, &status) == 0 && status.st_ino == m_inode && status.st_dev == m_device;
    }

private:
    int m_saved;
    int m_pipe[2] = {-1, -1};
    bool m_valid = false;
    ino_t m_inode = 0;
    dev_t m_device = 0;
};

QByteArray binaryPayload(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 2463534242u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(i % 97 == 0 ? 0 : x & 0xff);
    }
    return bytes;
}

} // namespace

// Takes messages through a connection made by signature text, as the main
// window does.
class MessageSink final : public QObject
{
    Q_OBJECT

public:
    QList<Message> messages;

public slots:
    void take(const QMQTT::Message &message) { messages << message; }
};

class TestClient final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void connectAndDisconnect();
    void receive_data();
    void receive();
    void receiveThroughSignatureText_data();
    void receiveThroughSignatureText();
    void failedAttempt_data();
    void failedAttempt();
    void settingsAreCheckedBeforeTheLibrary_data();
    void settingsAreCheckedBeforeTheLibrary();
    void hostNameIsLookedUp();
    void silentLookupCountsAgainstTimeout();
    void quitDuringSilentLookup();
    void laterAddressAnswers();
    void silentPeerTimesOut();
    void disconnectAbortsPendingAttempt();
    void connectAgainWhilePending();
    void connectAgainWhileConnected();
    void connectAgainFromDisconnectedSlot();
    void brokerLoss_data();
    void brokerLoss();
    void clearedCredentialsAreNotSent();
    void clearedClientIdIsNotSent();
    void keepAliveBelowFiveIsRaised();
    void refusedSubscriptionIsReported_data();
    void refusedSubscriptionIsReported();
    void oversizedPayloadIsDropped();
    void largePacketsStayAwayOverMqtt5_data();
    void largePacketsStayAwayOverMqtt5();
    void tls_data();
    void tls();
    void tlsServerNameIsTheHost_data();
    void tlsServerNameIsTheHost();
    void deleteFromSlot_data();
    void deleteFromSlot();

private:
    bool connectTo(Client &client, quint16 port);
    bool subscribeTo(Client &client, const QString &topic);

    std::unique_ptr<TestBroker> m_broker;
    TestCertificates m_certificates;
};

void TestClient::initTestCase()
{
    QVERIFY(m_certificates.create());
}

void TestClient::init()
{
    m_broker = std::make_unique<TestBroker>();
    QVERIFY2(m_broker->start(), "cannot start mosquitto");
}

void TestClient::cleanup()
{
    m_broker.reset();
}

bool TestClient::connectTo(Client &client, quint16 port)
{
    QSignalSpy connected(&client, &Client::connected);
    client.setPort(port);
    client.connectToHost();
    return connected.wait(BrokerWaitMs) && client.isConnectedToHost();
}

bool TestClient::subscribeTo(Client &client, const QString &topic)
{
    QSignalSpy subscribed(&client, &Client::subscribed);
    client.subscribe(topic, 0);
    return subscribed.wait(BrokerWaitMs) && subscribed.count() == 1 && subscribed.at(0).at(0).toString() == topic;
}

void TestClient::connectAndDisconnect()
{
    Client client(QHostAddress::LocalHost, m_broker->port());
    SignalLog log(&client);
    QVERIFY(!client.isConnectedToHost());

    client.connectToHost();
    QTRY_COMPARE(log.lines, QStringList{"connected"});
    QVERIFY(client.isConnectedToHost());

    client.disconnectFromHost();
    QCOMPARE(log.lines, (QStringList{"connected", "disconnected"}));
    QVERIFY(!client.isConnectedToHost());
}

void TestClient::receive_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");

    QTest::newRow("JSON text") << "meters/1" << QByteArray(R"({"dev_type":1,"dev_mode":2})");
    QTest::newRow("zero bytes inside") << "meters/2" << QByteArray("ab\0cd\0", 6);
    QTest::newRow("empty payload") << "meters/3" << QByteArray();
    QTest::newRow("Cyrillic topic") << QStringLiteral("счётчик/№5") << QByteArray("x");
    QTest::newRow("1 MB of binary") << "meters/big" << binaryPayload(1024 * 1024);
}

void TestClient::receive()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);

    Client client;
    QVERIFY(connectTo(client, m_broker->port()));
    QVERIFY(subscribeTo(client, topic));
    QCOMPARE(m_broker->loggedSubscriptions(), QStringList{topic});

    QSignalSpy received(&client, &Client::received);
    QVERIFY(m_broker->publish(topic, payload));
    QVERIFY(received.wait(BrokerWaitMs));
    const auto message = received.at(0).at(0).value<Message>();
    QCOMPARE(message.topic(), topic);
    QCOMPARE(message.payload().size(), payload.size());
    QVERIFY(message.payload() == payload);
}

void TestClient::receiveThroughSignatureText_data()
{
    QTest::addColumn<Qt::ConnectionType>("type");
    QTest::newRow("direct") << Qt::DirectConnection;
    QTest::newRow("queued") << Qt::QueuedConnection;
}

void TestClient::receiveThroughSignatureText()
{
    QFETCH(Qt::ConnectionType, type);

    Client client;
    MessageSink sink;
    QVERIFY(connect(&client, SIGNAL(received(QMQTT::Message)), &sink, SLOT(take(QMQTT::Message)), type));
    QVERIFY(connectTo(client, m_broker->port()));
    QVERIFY(subscribeTo(client, "t"));

    QVERIFY(m_broker->publish("t", "payload"));
    QTRY_COMPARE(sink.messages.size(), 1);
    QCOMPARE(sink.messages.at(0).payload(), QByteArray("payload"));
}

void TestClient::failedAttempt_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<Port>("port");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<ClientError>("expected");
    QTest::addColumn<bool>("mqtt5");

    const QString loopback = QStringLiteral("127.0.0.1");
    const Port anonymous = &TestBroker::port;
    const Port auth = &TestBroker::authPort;
    const Port closed = [](const TestBroker &) {
        SilentPeer peer;
        return peer.listen() ? peer.port() : quint16(0); // closed again when peer goes
    };
    QTest::newRow("wrong password") << loopback << auth << "zelmar" << QByteArray("wrong")
                                    << QMQTT::MqttNotAuthorizedError << false;
    // MQTT 5 refuses with reason codes of its own.
    QTest::newRow("wrong password over MQTT 5")
        << loopback << auth << "zelmar" << QByteArray("wrong") << QMQTT::MqttNotAuthorizedError << true;
    QTest::newRow("unknown user") << loopback << auth << "nobody" << QByteArray("meter-secret")
                                  << QMQTT::MqttNotAuthorizedError << false;
    QTest::newRow("no credentials where they are required")
        << loopback << auth << QString() << QByteArray() << QMQTT::MqttNotAuthorizedError << false;
    QTest::newRow("password without user name")
        << loopback << anonymous << QString() << QByteArray("secret") << QMQTT::MqttInvalidSettingsError << false;
    QTest::newRow("password with a zero byte") << loopback << anonymous << "zelmar" << QByteArray("meter\0secret", 12)
                                               << QMQTT::MqttInvalidSettingsError << false;
    QTest::newRow("nothing listens") << loopback << closed << QString() << QByteArray()
                                     << QMQTT::SocketConnectionRefusedError << false;
    QTest::newRow("port 0") << loopback << Port([](const TestBroker &) { return quint16(0); }) << QString()
                            << QByteArray() << QMQTT::MqttInvalidSettingsError << false;
    QTest::newRow("no host") << QString() << anonymous << QString() << QByteArray() << QMQTT::SocketHostNotFoundError
                             << false;
    // Not a valid host name at all, so it fails without asking any DNS server.
    QTest::newRow("unresolvable name") << "no such host.invalid" << anonymous << QString() << QByteArray()
                                       << QMQTT::SocketHostNotFoundError << false;
}

void TestClient::failedAttempt()
{
    QFETCH(QString, host);
    QFETCH(Port, port);
    QFETCH(QString, user);
    QFETCH(QByteArray, password);
    QFETCH(ClientError, expected);
    QFETCH(bool, mqtt5);

    Client client;
    SignalLog log(&client);
    client.setProtocolVersion(mqtt5 ? QMQTT::ProtocolVersion::Mqtt5 : QMQTT::ProtocolVersion::Mqtt311);
    client.setHostName(host);
    client.setPort(port(*m_broker));
    client.setUsername(user);
    client.setPassword(password);
    client.connectToHost();
    QVERIFY2(log.lines.isEmpty(), "an attempt reports from the event loop, not from inside connectToHost()");

    QTRY_COMPARE(log.lines, QStringList{errorWord(expected)});
    QVERIFY(!client.isConnectedToHost());
}

// libmosquitto wiped its handle before refusing such an id and then closed
// descriptor 0 twice, which with standard input closed is some other part
// of the program: afterwards no host-name lookup ever completed.
void TestClient::settingsAreCheckedBeforeTheLibrary_data()
{
    QTest::addColumn<QString>("clientId");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<bool>("zeroPort");
    QTest::addColumn<QMQTT::InvalidSetting>("expected");

    using QMQTT::InvalidSetting;
    QTest::newRow("tab in the client id")
        << "meter\tpanel" << QString() << QByteArray() << false << InvalidSetting::ClientId;
    QTest::newRow("noncharacter in the client id")
        << QStringLiteral("panel\uFFFE") << QString() << QByteArray() << false << InvalidSetting::ClientId;
    QTest::newRow("lone surrogate in the client id")
        << QString(QChar(0xD800)) << QString() << QByteArray() << false << InvalidSetting::ClientId;
    QTest::newRow("client id of 65536 bytes")
        << QString(65536, QLatin1Char('i')) << QString() << QByteArray() << false << InvalidSetting::ClientId;
    QTest::newRow("line feed in the user name")
        << QString() << "oper\nator" << QByteArray("secret") << false << InvalidSetting::Username;
    QTest::newRow("password without user name")
        << QString() << QString() << QByteArray("secret") << false << InvalidSetting::PasswordWithoutUsername;
    QTest::newRow("zero byte in the password")
        << QString() << "zelmar" << QByteArray("meter\0secret", 12) << false << InvalidSetting::PasswordWithZero;
    QTest::newRow("port 0") << QString() << QString() << QByteArray() << true << InvalidSetting::Port;
}

void TestClient::settingsAreCheckedBeforeTheLibrary()
{
    QFETCH(QString, clientId);
    QFETCH(QString, user);
    QFETCH(QByteArray, password);
    QFETCH(bool, zeroPort);
    QFETCH(QMQTT::InvalidSetting, expected);

    const StandardInputProbe standardInput;
    QVERIFY(standardInput.isValid());
    {
        Client client;
        SignalLog log(&client);
        client.setClientId(clientId);
        client.setUsername(user);
        client.setPassword(password);
        client.setPort(zeroPort ? 0 : m_broker->port());
        client.connectToHost();
        QTRY_COMPARE(log.lines, QStringList{errorWord(QMQTT::MqttInvalidSettingsError)});
        QCOMPARE(client.invalidSetting(), expected);

        // The same client connects once its settings are right.
        client.setClientId(QStringLiteral("panel"));
        client.setUsername(QString());
        client.setPassword(QByteArray());
        QVERIFY(connectTo(client, m_broker->port()));
        QCOMPARE(client.invalidSetting(), QMQTT::InvalidSetting::None);
    }
    QVERIFY2(standardInput.intact(), "descriptor 0 was closed by someone who never opened it");
}

void TestClient::hostNameIsLookedUp()
{
    Client client;
    client.setHostName("localhost");
    QVERIFY(connectTo(client, m_broker->port()));
}

// A lookup that never answers ends the attempt within the connect timeout,
// and its late answer changes nothing.
void TestClient::silentLookupCountsAgainstTimeout()
{
    const auto gate = std::make_shared<QSemaphore>();
    Client client;
    client.setResolver([gate](const QString &) {
        gate->acquire();
        return QList<QHostAddress>{QHostAddress(QHostAddress::LocalHost)};
    });
    client.setConnectTimeout(300);
    client.setHostName(QStringLiteral("broker.example"));
    client.setPort(m_broker->port());
    SignalLog log(&client);
    client.connectToHost();
    QTRY_COMPARE(log.lines, QStringList{errorWord(QMQTT::SocketTimeoutError)});

    gate->release();
    QVERIFY(!QSignalSpy(&client, &Client::connected).wait(300));
    QCOMPARE(log.lines, QStringList{errorWord(QMQTT::SocketTimeoutError)});
}

// Qt's own lookups run on threads that the application waits for when it
// ends: quitting during a lookup took as long as the lookup.
void TestClient::quitDuringSilentLookup()
{
    QProcess helper;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(ZELMAR_SILENT_RESOLVER));
    // Under AddressSanitizer the preloaded library comes before its runtime.
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
                       environment.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":verify_asan_link_order=0"));
    helper.setProcessEnvironment(environment);
    helper.start(QStringLiteral(ZELMAR_LOOKUP_QUIT), QStringList());
    const auto stop = qScopeGuard([&helper] { helper.kill(); });
    QVERIFY(helper.waitForFinished(8000));
    QCOMPARE(helper.readAllStandardOutput(), QByteArray("error SocketTimeoutError\n"));
    QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
    QCOMPARE(helper.exitCode(), 0);
}

// A name's addresses are tried in turn: one that never answers, one where
// nothing listens, and the broker's.
void TestClient::laterAddressAnswers()
{
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress(QStringLiteral("127.0.0.3")), m_broker->port()));
    Client client;
    client.setResolver([](const QString &) {
        return QList<QHostAddress>{QHostAddress(QStringLiteral("127.0.0.3")), QHostAddress(QStringLiteral("127.0.0.2")),
                                   QHostAddress(QHostAddress::LocalHost)};
    });
    client.setConnectTimeout(300);
    client.setHostName(QStringLiteral("broker.example"));
    SignalLog log(&client);
    QVERIFY(connectTo(client, m_broker->port()));
    QCOMPARE(log.lines, QStringList{"connected"});
    QVERIFY(silent.hasPendingConnections());
}

void TestClient::silentPeerTimesOut()
{
    SilentPeer peer;
    QVERIFY(peer.listen());
    Client client;
    client.setConnectTimeout(300);
    QSignalSpy error(&client, &Client::error);
    QSignalSpy connected(&client, &Client::connected);
    client.setPort(peer.port());
    client.connectToHost();

    QVERIFY(error.wait(BrokerWaitMs));
    QCOMPARE(error.at(0).at(0).value<ClientError>(), QMQTT::SocketTimeoutError);
    QCOMPARE(connected.count(), 0);
}

void TestClient::disconnectAbortsPendingAttempt()
{
    SilentPeer peer;
    QVERIFY(peer.listen());
    Client client;
    SignalLog log(&client);
    client.setPort(peer.port());
    client.connectToHost();
    QVERIFY(QSignalSpy(peer.server(), &QTcpServer::newConnection).wait(BrokerWaitMs));
    QTcpSocket *server = peer.server()->nextPendingConnection();
    QVERIFY(server);

    client.disconnectFromHost();
    QVERIFY(!client.isConnectedToHost());
    // Well before the ten-second connect timeout.
    QTRY_COMPARE_WITH_TIMEOUT(server->state(), QAbstractSocket::UnconnectedState, 2000);
    QVERIFY(log.lines.isEmpty());
}

void TestClient::connectAgainWhilePending()
{
    SilentPeer peer;
    QVERIFY(peer.listen());
    Client client;
    client.setConnectTimeout(300);
    SignalLog log(&client);
    client.setPort(peer.port());
    client.connectToHost();
    QVERIFY(QSignalSpy(peer.server(), &QTcpServer::newConnection).wait(BrokerWaitMs));

    client.setPort(m_broker->port());
    client.connectToHost();
    QTRY_COMPARE(log.lines, QStringList{"connected"});
    // Outlive the first attempt's timeout: nothing of it may surface.
    QVERIFY(!QSignalSpy(&client, &Client::error).wait(600));
    QCOMPARE(log.lines, QStringList{"connected"});
    QVERIFY(client.isConnectedToHost());
}

void TestClient::connectAgainWhileConnected()
{
    Client client;
    QVERIFY(connectTo(client, m_broker->port()));
    SignalLog log(&client);

    client.connectToHost();
    QCOMPARE(log.lines, QStringList{"disconnected"});
    QTRY_COMPARE(log.lines, (QStringList{"disconnected", "connected"}));
    QVERIFY(subscribeTo(client, "again"));
    QSignalSpy received(&client, &Client::received);
    QVERIFY(m_broker->publish("again", "1"));
    QVERIFY(received.wait(BrokerWaitMs));
}

// A slot that answers a broken connection with a new attempt: the error of
// the old connection ended the new one's state, so its CONNACK and its
// timeout were ignored and the client hung without a word.
void TestClient::connectAgainFromDisconnectedSlot()
{
    Client client;
    client.setClientId(QStringLiteral("panel"));
    QVERIFY(connectTo(client, m_broker->port()));
    SignalLog log(&client);
    bool again = false;
    connect(&client, &Client::disconnected, this, [&] {
        if (!std::exchange(again, true))
            client.connectToHost();
    });

    // A second client with the same id takes the connection over.
    Client intruder;
    intruder.setClientId(QStringLiteral("panel"));
    intruder.setPort(m_broker->port());
    intruder.connectToHost();
    QTRY_COMPARE(log.lines, (QStringList{"disconnected", "connected"}));
    QVERIFY(client.isConnectedToHost());
}

void TestClient::brokerLoss_data()
{
    QTest::addColumn<bool>("kill");
    QTest::newRow("broker killed") << true;
    QTest::newRow("broker shut down") << false;
}

void TestClient::brokerLoss()
{
    QFETCH(bool, kill);

    Client client;
    QVERIFY(connectTo(client, m_broker->port()));
    SignalLog log(&client);

    if (kill)
        m_broker->kill();
    else
        m_broker->stop();
    QTRY_COMPARE(log.lines, (QStringList{"disconnected", "error:SocketRemoteHostClosedError"}));
    QVERIFY(!client.isConnectedToHost());

    QVERIFY(m_broker->restart());
    QVERIFY(connectTo(client, m_broker->port()));
    QVERIFY(subscribeTo(client, "back"));
    QSignalSpy received(&client, &Client::received);
    QVERIFY(m_broker->publish("back", "again"));
    QVERIFY(received.wait(BrokerWaitMs));
}

void TestClient::clearedCredentialsAreNotSent()
{
    Client client;
    client.setUsername(m_broker->user());
    client.setPassword(m_broker->password().toUtf8());
    QVERIFY(connectTo(client, m_broker->authPort()));
    client.disconnectFromHost();

    client.setUsername(QString());
    client.setPassword(QByteArray());
    QSignalSpy error(&client, &Client::error);
    client.connectToHost();
    QVERIFY(error.wait(BrokerWaitMs));
    QCOMPARE(error.at(0).at(0).value<ClientError>(), QMQTT::MqttNotAuthorizedError);
}

void TestClient::clearedClientIdIsNotSent()
{
    Client client;
    client.setClientId("meter-panel");
    QVERIFY(connectTo(client, m_broker->port()));
    client.disconnectFromHost();
    client.setClientId(QString());
    QVERIFY(connectTo(client, m_broker->port()));

    QTRY_COMPARE(m_broker->loggedClientIds().size(), 2);
    QCOMPARE(m_broker->loggedClientIds().at(0), QStringLiteral("meter-panel"));
    QVERIFY2(m_broker->loggedClientIds().at(1).startsWith("auto-"), qPrintable(m_broker->log()));
}

void TestClient::keepAliveBelowFiveIsRaised()
{
    Client client;
    client.setKeepAlive(2);
    QVERIFY(connectTo(client, m_broker->port()));
    QTRY_VERIFY2(m_broker->log().contains(", k5)"), qPrintable(m_broker->log()));
}

// A meter's text is under 200 bytes; a huge payload must not cost a copy.
// The broker refuses one subscription (a real Mosquitto through its dynamic
// security plugin); filters MQTT cannot carry never go out at all.
void TestClient::refusedSubscriptionIsReported_data()
{
    QTest::addColumn<QString>("topic");
    QTest::newRow("refused by the broker") << "secret/x";
    QTest::newRow("wildcard inside a level") << "plant/a#";
    QTest::newRow("zero character") << QStringLiteral("plant/a") + QChar(0) + QStringLiteral("b");
    // Its UTF-8 would stand for some other topic.
    QTest::newRow("lone surrogate") << QStringLiteral("plant/") + QChar(0xD800);
}

void TestClient::refusedSubscriptionIsReported()
{
    QFETCH(QString, topic);
    QVERIFY(m_broker->grantSubscriptionsOnly(QStringLiteral("plant/#")));
    QVERIFY(m_broker->restart());
    Client client;
    QVERIFY(connectTo(client, m_broker->port()));
    QSignalSpy refused(&client, &Client::subscriptionRefused);
    QSignalSpy subscribed(&client, &Client::subscribed);
    client.subscribe(topic);
    client.subscribe(QStringLiteral("plant/ok"));
    QCOMPARE(refused.count(), 0);

    QTRY_COMPARE(subscribed.count(), 1);
    QTRY_COMPARE(refused.count(), 1);
    QCOMPARE(refused.at(0).at(0).toString(), topic);
    QCOMPARE(subscribed.at(0).at(0).toString(), QStringLiteral("plant/ok"));
    QVERIFY(client.isConnectedToHost());
}

void TestClient::oversizedPayloadIsDropped()
{
    Client client;
    client.setMaximumPayloadSize(16 * 1024);
    QVERIFY(connectTo(client, m_broker->port()));
    QVERIFY(subscribeTo(client, "big"));
    QSignalSpy received(&client, &Client::received);
    QVERIFY(m_broker->publish("big", QByteArray(16 * 1024 + 1, 'x')));
    QVERIFY(m_broker->publish("big", QByteArray(16 * 1024, 'y')));
    QVERIFY(received.wait(BrokerWaitMs));
    QCOMPARE(received.count(), 1);
    QCOMPARE(received.at(0).at(0).value<Message>().payload(), QByteArray(16 * 1024, 'y'));
}

// libmosquitto reads a packet whole before the payload cap can drop it: a
// hostile 32 MB one held the window for half a second. Over MQTT 5 the
// broker is told not to send it at all. No cap here, to see what arrives.
void TestClient::largePacketsStayAwayOverMqtt5_data()
{
    QTest::addColumn<bool>("mqtt5");
    QTest::addColumn<int>("received"); // of a 1 MB message and a reading after it
    QTest::newRow("MQTT 3.1.1 takes it") << false << 2;
    QTest::newRow("MQTT 5 announces its limit") << true << 1;
}

void TestClient::largePacketsStayAwayOverMqtt5()
{
    QFETCH(bool, mqtt5);
    QFETCH(int, received);
    Client client;
    client.setProtocolVersion(mqtt5 ? QMQTT::ProtocolVersion::Mqtt5 : QMQTT::ProtocolVersion::Mqtt311);
    QVERIFY(connectTo(client, m_broker->port()));
    QVERIFY(subscribeTo(client, "plant/a"));
    QSignalSpy messages(&client, &Client::received);
    QVERIFY(m_broker->publish("plant/a", binaryPayload(1024 * 1024)));
    const QByteArray reading = R"({"voltage":231})";
    QVERIFY(m_broker->publish("plant/a", reading));
    QTRY_VERIFY(!messages.isEmpty() && messages.constLast().at(0).value<Message>().payload() == reading);
    QCOMPARE(messages.count(), received);
    QVERIFY(client.isConnectedToHost());
}

// A real Mosquitto with TLS listeners and certificates made for the run: the
// broker's names "localhost" only, so an address never matches it.
void TestClient::tls_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("listener"); // tls, mutual (wants a client certificate) or plain
    QTest::addColumn<QString>("ca");       // ours, other, system or broken
    QTest::addColumn<bool>("verifyHost");
    QTest::addColumn<QString>("clientCertificate"); // none, ours or wrong key
    QTest::addColumn<QString>("outcome");

    QTest::newRow("our CA, the name, looked up by us") << "localhost"
                                                       << "tls"
                                                       << "ours" << true << "none"
                                                       << "connected";
    QTest::newRow("address not in the certificate") << "127.0.0.1"
                                                    << "tls"
                                                    << "ours" << true << "none"
                                                    << "TlsCertificateRejectedError WrongHostName";
    QTest::newRow("address, host not checked") << "127.0.0.1"
                                               << "tls"
                                               << "ours" << false << "none"
                                               << "connected";
    QTest::newRow("another CA") << "localhost"
                                << "tls"
                                << "other" << true << "none"
                                << "TlsCertificateRejectedError UntrustedCertificate";
    QTest::newRow("the system's CAs know no test CA") << "localhost"
                                                      << "tls"
                                                      << "system" << true << "none"
                                                      << "TlsCertificateRejectedError UntrustedCertificate";
    QTest::newRow("mutual TLS") << "localhost"
                                << "mutual"
                                << "ours" << true << "ours"
                                << "connected";
    // The library writes CONNECT inside its connect call: if the broker has
    // broken the connection off by then, its alert is never read, and the
    // failure read as a port without TLS.
    QTest::newRow("mutual TLS without a certificate") << "localhost"
                                                      << "mutual"
                                                      << "ours" << true << "none"
                                                      << "TlsError ClientCertificateRequired";
    QTest::newRow("a listener without TLS") << "localhost"
                                            << "plain"
                                            << "ours" << true << "none"
                                            << "TlsError HandshakeFailed";
    QTest::newRow("a CA file that holds no certificate") << "localhost"
                                                         << "tls"
                                                         << "broken" << true << "none"
                                                         << "MqttInvalidSettingsError TlsCaFile";
    QTest::newRow("a key that is not the certificate's") << "localhost"
                                                         << "mutual"
                                                         << "ours" << true << "wrong key"
                                                         << "MqttInvalidSettingsError TlsKey";
}

void TestClient::tls()
{
    QFETCH(QString, host);
    QFETCH(QString, listener);
    QFETCH(QString, ca);
    QFETCH(bool, verifyHost);
    QFETCH(QString, clientCertificate);
    QFETCH(QString, outcome);

    m_broker->enableTls(m_certificates.caFile(), m_certificates.brokerCertFile(), m_certificates.brokerKeyFile());
    QVERIFY(m_broker->restart());
    QMQTT::TlsSettings tls;
    tls.enabled = true;
    tls.verifyHostName = verifyHost;
    if (ca == QLatin1String("ours"))
        tls.caFile = m_certificates.caFile();
    else if (ca == QLatin1String("other"))
        tls.caFile = m_certificates.otherCaFile();
    else if (ca == QLatin1String("broken"))
        tls.caFile = m_certificates.clientKeyFile();
    if (clientCertificate != QLatin1String("none")) {
        tls.certFile = m_certificates.clientCertFile();
        tls.keyFile = clientCertificate == QLatin1String("ours") ? m_certificates.clientKeyFile()
                                                                 : m_certificates.brokerKeyFile();
    }

    Client client;
    client.setTls(tls);
    client.setHostName(host);
    client.setPort(listener == QLatin1String("tls")      ? m_broker->tlsPort()
                   : listener == QLatin1String("mutual") ? m_broker->mutualTlsPort()
                                                         : m_broker->port());
    SignalLog log(&client);
    client.connectToHost();
    QTRY_COMPARE(log.lines.size(), 1);
    QString seen = log.lines.constFirst();
    if (seen.startsWith(QLatin1String("error:"))) {
        seen = seen.mid(6) + QLatin1Char(' ');
        seen += client.tlsProblem() != QMQTT::TlsProblem::None
                    ? QString::fromLatin1(QMetaEnum::fromType<QMQTT::TlsProblem>().valueToKey(int(client.tlsProblem())))
                    : QString::fromLatin1(
                          QMetaEnum::fromType<QMQTT::InvalidSetting>().valueToKey(int(client.invalidSetting())));
    }
    const QStringList expected = outcome.split(QLatin1Char(' '));
    const QStringList got = seen.split(QLatin1Char(' '));
    QVERIFY2(got.at(0) == expected.at(0) &&
                 (expected.size() == 1 || expected.at(1).split(QLatin1Char('|')).contains(got.value(1))),
             qPrintable(seen));
}

// A proxy in front of a broker may route by the server name in the hello: it
// must be the host as written, also when the client connects to an address it
// looked up, and no name at all for an address. The peer is openssl's test
// server, which says which name it got.
void TestClient::tlsServerNameIsTheHost_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("serverName"); // empty: none sent

    QTest::newRow("a name") << "localhost"
                            << "localhost";
    QTest::newRow("an address") << "127.0.0.1" << QString();
}

void TestClient::tlsServerNameIsTheHost()
{
    QFETCH(QString, host);
    QFETCH(QString, serverName);

    quint16 port = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    }
    const QString cert = m_certificates.brokerCertFile();
    const QString key = m_certificates.brokerKeyFile();
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    QByteArray said;
    connect(&server, &QProcess::readyRead, this, [&] { said += server.readAll(); });
    server.start(QStringLiteral("openssl"),
                 {"s_server", "-accept", QStringLiteral("127.0.0.1:%1").arg(port), "-naccept", "1", "-cert", cert,
                  "-key", key, "-cert2", cert, "-key2", key, "-servername", "localhost"});
    QVERIFY(server.waitForStarted());
    QTRY_VERIFY(said.contains("ACCEPT"));

    QMQTT::TlsSettings tls;
    tls.enabled = true;
    tls.caFile = m_certificates.caFile();
    tls.verifyHostName = false;
    Client client;
    client.setTls(tls);
    client.setHostName(host);
    client.setPort(port);
    client.connectToHost();
    // Past the handshake, the server prints what it reads: the client's CONNECT.
    QTRY_VERIFY(said.contains("MQTT"));
    const QRegularExpression named(QStringLiteral("Hostname in TLS extension: \"([^\"]*)\""));
    QCOMPARE(named.match(QString::fromLatin1(said)).captured(1), serverName);
    client.disconnectFromHost();
    server.kill();
    server.waitForFinished();
}

void TestClient::deleteFromSlot_data()
{
    using Trigger = std::function<void(Client *)>;
    QTest::addColumn<Hook>("hook");
    QTest::addColumn<Trigger>("trigger");

    QTest::newRow("disconnected() by disconnectFromHost()")
        << hookOn(&Client::disconnected) << Trigger([](Client *c) { c->disconnectFromHost(); });
    QTest::newRow("disconnected() by connectToHost()")
        << hookOn(&Client::disconnected) << Trigger([](Client *c) { c->connectToHost(); });
    QTest::newRow("disconnected() by the broker going away")
        << hookOn(&Client::disconnected) << Trigger([this](Client *) { m_broker->kill(); });
    // The retained messages come in one burst right behind the SUBACK, so the
    // client is deleted while more of them wait in its queue.
    QTest::newRow("received() with more messages queued")
        << hookOn(&Client::received) << Trigger([](Client *c) { c->subscribe("burst/#"); });
    QTest::newRow("subscribed()") << hookOn(&Client::subscribed) << Trigger([](Client *c) { c->subscribe("burst/#"); });
}

void TestClient::deleteFromSlot()
{
    QFETCH(Hook, hook);
    QFETCH(std::function<void(Client *)>, trigger);

    for (const char *topic : {"burst/a", "burst/b", "burst/c"})
        QVERIFY(m_broker->publish(topic, "retained", true));

    QPointer<Client> client = new Client;
    QVERIFY(connectTo(*client, m_broker->port()));
    QObject context;
    hook(client, &context, [&client] { delete client.data(); });

    trigger(client);
    QTRY_VERIFY(client.isNull());
}

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
