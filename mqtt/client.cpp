#include "mqtt/client.h"

#include <QHash>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>

#include <cerrno>
#include <deque>
#include <mutex>

#include <sys/socket.h>

namespace QMQTT {

namespace {

// libmosquitto wants one init before the first handle and one cleanup after
// the last; clients may come and go, so count them.
std::mutex libraryMutex;
int libraryUsers = 0;

void acquireLibrary()
{
    const std::lock_guard<std::mutex> lock(libraryMutex);
    if (libraryUsers++ == 0)
        mosquitto_lib_init();
}

void releaseLibrary()
{
    const std::lock_guard<std::mutex> lock(libraryMutex);
    if (--libraryUsers == 0)
        mosquitto_lib_cleanup();
}

// mosquitto_loop_read() handles one packet per call whatever it is asked, so a
// wake-up reads on while the kernel holds more, but not forever: a flood must
// not starve the rest of the event loop.
constexpr int MaxReadsPerWakeup = 64;
constexpr int MiscIntervalMs = 1000;
constexpr quint16 MinKeepAlive = 5;
// What SUBACK grants instead of a QoS when the broker refuses a subscription.
constexpr quint8 RefusedQos = 0x80;

ClientError socketError(int rc, int sysErrno)
{
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        switch (sysErrno) {
        case ECONNREFUSED:
            return SocketConnectionRefusedError;
        case ETIMEDOUT:
            return SocketTimeoutError;
        case ECONNRESET:
        case EPIPE:
            return SocketRemoteHostClosedError;
        default:
            return SocketNetworkError;
        }
    case MOSQ_ERR_CONN_LOST:
        return SocketRemoteHostClosedError;
    case MOSQ_ERR_KEEPALIVE:
        return SocketTimeoutError;
    case MOSQ_ERR_EAI:
    case MOSQ_ERR_LOOKUP:
        return SocketHostNotFoundError;
    case MOSQ_ERR_INVAL:
        return MqttInvalidSettingsError;
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
    case MOSQ_ERR_MALFORMED_UTF8:
    case MOSQ_ERR_OVERSIZE_PACKET:
    case MOSQ_ERR_DUPLICATE_PROPERTY:
        return MqttProtocolError;
    default:
        return SocketNetworkError;
    }
}

ClientError connackError(int code)
{
    switch (code) {
    case 1: // unacceptable protocol version
        return MqttProtocolError;
    case 2:
        return MqttIdentifierRejectedError;
    case 3:
        return MqttServerUnavailableError;
    case 4: // bad user name or password
    case 5: // not authorised
        return MqttNotAuthorizedError;
    default:
        return UnknownError;
    }
}

} // namespace

class ClientPrivate final
{
public:
    enum class State
    {
        Idle,
        Resolving,
        Connecting,
        Connected
    };

    // What a library callback saw. Callbacks only record these; the signals
    // go out once the library call has returned, because a slot may call
    // back into the library or delete the client.
    struct Event
    {
        enum Kind
        {
            ConnAck,
            Disconnect,
            SubAck,
            Publish
        };
        explicit Event(Kind kind, int code = 0, int sysErrno = 0) : kind(kind), code(code), sysErrno(sysErrno) {}

        Kind kind;
        quint64 session = 0;
        int code = 0; // CONNACK code, disconnect reason or message id
        int sysErrno = 0;
        QString topic;
        QByteArray payload;
        quint8 qos = 0;
        bool retain = false;
    };

    explicit ClientPrivate(Client *client, const QHostAddress &host, quint16 port);
    ~ClientPrivate();
    Q_DISABLE_COPY_MOVE(ClientPrivate)

    void startAttempt();
    void abandon(bool sendDisconnect);
    void subscribe(const QString &topic, quint8 qos);

    Client *const q;
    mosquitto *mosq = nullptr;

    QString hostName;
    quint16 port;
    quint16 keepAlive = 300;
    QString clientId;
    QString username;
    QByteArray password;
    int connectTimeoutMs = Client::DefaultConnectTimeoutMs;

    State state = State::Idle;

private:
    static void onConnectCallback(mosquitto *, void *obj, int rc);
    static void onDisconnectCallback(mosquitto *, void *obj, int rc);
    static void onSubscribeCallback(mosquitto *, void *obj, int mid, int count, const int *grantedQos);
    static void onMessageCallback(mosquitto *, void *obj, const mosquitto_message *message);

    void record(Event event);
    void endSession();
    bool configureHandle();
    void onLookedUp(quint64 attempt, const QHostInfo &info);
    bool connectNext(ClientError failure, bool deferFailure);
    bool fail(ClientError failure);
    void failLater(ClientError failure);
    void closeSocket(bool sendDisconnect);

    void createNotifiers(int fd);
    void removeNotifiers();
    void syncNotifiers();
    void onReadable();
    void onWritable();
    void onMiscTimer();
    void onConnectTimeout();

    void dispatch();
    bool handle(const Event &event);
    template <typename Emit> bool emitGuarded(Emit emitSignal);

    // Bumped (and the queue emptied) whenever a socket's story ends, so that
    // nothing it left behind (messages behind a disconnect, the echo of our
    // own abort, a late CONNACK) reaches the slots.
    quint64 session = 0;
    std::deque<Event> events;
    bool dispatching = false;

    QList<QHostAddress> addresses;
    int nextAddress = 0;
    int lookupId = -1;
    QHash<int, QString> pendingSubscriptions;
    ClientError pendingFailure = UnknownError;

    // Children of the client: one being dropped may still be emitting, so it
    // is deleted later, or with the client at the latest.
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    QTimer miscTimer;
    QTimer connectTimer;
    QTimer failTimer;
};

ClientPrivate::ClientPrivate(Client *client, const QHostAddress &host, quint16 port)
    : q(client), hostName(host.toString()), port(port)
{
    acquireLibrary();
    mosq = mosquitto_new(nullptr, true, this);

    miscTimer.setInterval(MiscIntervalMs);
    QObject::connect(&miscTimer, &QTimer::timeout, q, [this] { onMiscTimer(); });
    connectTimer.setSingleShot(true);
    QObject::connect(&connectTimer, &QTimer::timeout, q, [this] { onConnectTimeout(); });
    failTimer.setSingleShot(true);
    failTimer.setInterval(0);
    QObject::connect(&failTimer, &QTimer::timeout, q, [this] {
        state = State::Idle;
        emit q->error(pendingFailure);
    });
}

ClientPrivate::~ClientPrivate()
{
    if (lookupId != -1)
        QHostInfo::abortHostLookup(lookupId);
    delete readNotifier;
    delete writeNotifier;
    // Destroying the handle closes the socket without an MQTT DISCONNECT.
    if (mosq)
        mosquitto_destroy(mosq);
    releaseLibrary();
}

void ClientPrivate::onConnectCallback(mosquitto *, void *obj, int rc)
{
    static_cast<ClientPrivate *>(obj)->record(Event(Event::ConnAck, rc));
}

void ClientPrivate::onDisconnectCallback(mosquitto *, void *obj, int rc)
{
    const int sysErrno = errno;
    static_cast<ClientPrivate *>(obj)->record(Event(Event::Disconnect, rc, sysErrno));
}

void ClientPrivate::onSubscribeCallback(mosquitto *, void *obj, int mid, int count, const int *grantedQos)
{
    Event event(Event::SubAck, mid);
    event.qos = count > 0 ? static_cast<quint8>(grantedQos[0]) : RefusedQos;
    static_cast<ClientPrivate *>(obj)->record(std::move(event));
}

void ClientPrivate::onMessageCallback(mosquitto *, void *obj, const mosquitto_message *message)
{
    // Copy payloadlen bytes: payloads are binary and may hold zero bytes.
    Event event(Event::Publish);
    event.topic = QString::fromUtf8(message->topic);
    event.payload = QByteArray(static_cast<const char *>(message->payload), message->payloadlen);
    event.qos = static_cast<quint8>(message->qos);
    event.retain = message->retain;
    static_cast<ClientPrivate *>(obj)->record(std::move(event));
}

void ClientPrivate::record(Event event)
{
    event.session = session;
    events.push_back(std::move(event));
}

void ClientPrivate::endSession()
{
    ++session;
    events.clear();
}

bool ClientPrivate::configureHandle()
{
    // The id can only be changed by reinitialising, which also forgets the
    // callbacks and credentials. Doing it for every attempt means nothing of
    // an earlier connection (a cleared id, user name or password) survives.
    const QByteArray id = clientId.toUtf8();
    if (mosquitto_reinitialise(mosq, id.isEmpty() ? nullptr : id.constData(), true, this) != MOSQ_ERR_SUCCESS)
        return false;
    mosquitto_connect_callback_set(mosq, &ClientPrivate::onConnectCallback);
    mosquitto_disconnect_callback_set(mosq, &ClientPrivate::onDisconnectCallback);
    mosquitto_subscribe_callback_set(mosq, &ClientPrivate::onSubscribeCallback);
    mosquitto_message_callback_set(mosq, &ClientPrivate::onMessageCallback);
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);

    // The library takes the password as a C string.
    if (password.contains('\0'))
        return false;
    const QByteArray user = username.toUtf8();
    return mosquitto_username_pw_set(mosq, user.isEmpty() ? nullptr : user.constData(),
                                     password.isEmpty() ? nullptr : password.constData()) == MOSQ_ERR_SUCCESS;
}

void ClientPrivate::startAttempt()
{
    endSession();
    failTimer.stop();
    pendingSubscriptions.clear();
    if (!configureHandle() || port == 0) {
        failLater(MqttInvalidSettingsError);
        return;
    }
    if (hostName.isEmpty()) {
        failLater(SocketHostNotFoundError);
        return;
    }
    const QHostAddress literal(hostName);
    if (!literal.isNull()) {
        addresses = {literal};
        nextAddress = 0;
        connectNext(SocketHostNotFoundError, true);
        return;
    }
    // libmosquitto would resolve a name with a blocking getaddrinfo() on this
    // thread; let Qt do it in the background and hand the library numbers only.
    state = State::Resolving;
    const quint64 attempt = session;
    lookupId =
        QHostInfo::lookupHost(hostName, q, [this, attempt](const QHostInfo &info) { onLookedUp(attempt, info); });
}

void ClientPrivate::onLookedUp(quint64 attempt, const QHostInfo &info)
{
    if (attempt != session || state != State::Resolving)
        return;
    lookupId = -1;
    addresses = info.error() == QHostInfo::NoError ? info.addresses() : QList<QHostAddress>();
    nextAddress = 0;
    connectNext(SocketHostNotFoundError, false);
}

// Tries the remaining addresses until one gets a socket under way. `failure`
// is reported if none is left. Returns false if the client was deleted.
bool ClientPrivate::connectNext(ClientError failure, bool deferFailure)
{
    while (nextAddress < addresses.size()) {
        const QByteArray address = addresses.at(nextAddress++).toString().toLatin1();
        const int rc = mosquitto_connect_async(mosq, address.constData(), port, keepAlive);
        const int sysErrno = errno;
        const int fd = mosquitto_socket(mosq);
        if (rc == MOSQ_ERR_SUCCESS && fd >= 0) {
            state = State::Connecting;
            createNotifiers(fd);
            connectTimer.start(connectTimeoutMs);
            // No dispatch here: whatever the call queued is delivered from
            // the event loop, never from inside connectToHost().
            syncNotifiers();
            return true;
        }
        // A refused loopback connection fails right here, without a callback.
        failure = socketError(rc, sysErrno);
        closeSocket(false);
    }
    if (deferFailure) {
        failLater(failure);
        return true;
    }
    return fail(failure);
}

bool ClientPrivate::fail(ClientError failure)
{
    state = State::Idle;
    return emitGuarded([&] { emit q->error(failure); });
}

void ClientPrivate::failLater(ClientError failure)
{
    // connectToHost() never emits the outcome of its own attempt, so that a
    // caller need not expect signals (or its own deletion) inside the call.
    state = State::Idle;
    pendingFailure = failure;
    failTimer.start();
}

// Ends the socket now. With sendDisconnect the broker gets an MQTT DISCONNECT
// when the socket can take it; a pending connect is cut short by the shutdown.
void ClientPrivate::closeSocket(bool sendDisconnect)
{
    connectTimer.stop();
    removeNotifiers();
    if (mosquitto_socket(mosq) >= 0) {
        // The library closes the socket itself (with a DISCONNECT callback)
        // once it has written the DISCONNECT or sees the shut-down socket.
        if (sendDisconnect)
            mosquitto_disconnect(mosq);
        const int fd = mosquitto_socket(mosq);
        if (fd >= 0) {
            ::shutdown(fd, SHUT_RDWR);
            mosquitto_loop_read(mosq, 1);
        }
        // Should it still hold on, reinitialising closes the socket for
        // certain; the next attempt configures the handle afresh anyway.
        if (mosquitto_socket(mosq) >= 0)
            mosquitto_reinitialise(mosq, nullptr, true, this);
    }
    endSession();
    state = State::Idle;
}

void ClientPrivate::abandon(bool sendDisconnect)
{
    failTimer.stop();
    if (lookupId != -1) {
        QHostInfo::abortHostLookup(lookupId);
        lookupId = -1;
    }
    closeSocket(sendDisconnect);
}

void ClientPrivate::subscribe(const QString &topic, quint8 qos)
{
    if (state != State::Connected)
        return;
    const QByteArray filter = topic.toUtf8();
    // The library takes a C string, so a zero character would cut the filter
    // short: it would subscribe to the text before it, or to an empty filter,
    // for which the broker drops the whole connection. MQTT allows none in a
    // filter anyway. A lone surrogate would go out as a substitute character,
    // a subscription to some other topic.
    if (filter.contains('\0') || QString::fromUtf8(filter) != topic)
        return;
    int mid = 0;
    if (mosquitto_subscribe(mosq, &mid, filter.constData(), qMin<int>(qos, 2)) == MOSQ_ERR_SUCCESS)
        pendingSubscriptions.insert(mid, topic);
    syncNotifiers();
}

// The socket number is reused as soon as the library closes it, so notifiers
// are built when a connection starts and dropped when its end is seen, never
// matched up by number.
void ClientPrivate::createNotifiers(int fd)
{
    removeNotifiers();
    readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, q);
    QObject::connect(readNotifier, &QSocketNotifier::activated, q, [this] { onReadable(); });
    writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, q);
    QObject::connect(writeNotifier, &QSocketNotifier::activated, q, [this] { onWritable(); });
    miscTimer.start();
}

void ClientPrivate::removeNotifiers()
{
    // They may be in the middle of emitting activated(), so no direct delete.
    for (QSocketNotifier **notifier : {&readNotifier, &writeNotifier}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
    miscTimer.stop();
}

void ClientPrivate::syncNotifiers()
{
    if (!readNotifier)
        return;
    if (mosquitto_socket(mosq) < 0) {
        removeNotifiers();
        return;
    }
    // Always enabled, a write notifier spins on a writable socket.
    writeNotifier->setEnabled(mosquitto_want_write(mosq));
}

void ClientPrivate::onReadable()
{
    for (int i = 0; i < MaxReadsPerWakeup; ++i) {
        // A drained socket shows only in errno, which is how the library's own
        // loop tells, too. Asking the kernel how much is left instead cost a
        // system call per message. A stray EAGAIN merely ends this wake-up early:
        // the notifier fires again for what is left.
        errno = 0;
        const int rc = mosquitto_loop_read(mosq, 1);
        const int readErrno = errno;
        if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(mosq) < 0 || readErrno == EAGAIN || readErrno == EWOULDBLOCK)
            break;
    }
    dispatch();
}

void ClientPrivate::onWritable()
{
    mosquitto_loop_write(mosq, 1);
    dispatch();
}

void ClientPrivate::onMiscTimer()
{
    mosquitto_loop_misc(mosq);
    dispatch();
}

void ClientPrivate::onConnectTimeout()
{
    if (state != State::Connecting)
        return;
    closeSocket(true);
    connectNext(SocketTimeoutError, false);
}

template <typename Emit> bool ClientPrivate::emitGuarded(Emit emitSignal)
{
    const QPointer<Client> alive(q);
    emitSignal();
    return !alive.isNull();
}

void ClientPrivate::dispatch()
{
    syncNotifiers();
    // A slot that calls back into the client lands here again; the outer
    // loop delivers what that call queued, in order.
    if (dispatching)
        return;
    dispatching = true;
    while (!events.empty()) {
        const Event event = std::move(events.front());
        events.pop_front();
        if (event.session != session)
            continue;
        if (!handle(event))
            return; // the client is gone, and with it this object
    }
    dispatching = false;
    syncNotifiers();
}

// Returns false if a slot deleted the client.
bool ClientPrivate::handle(const Event &event)
{
    switch (event.kind) {
    case Event::Publish:
        if (state != State::Connected)
            return true;
        return emitGuarded([&] { emit q->received(Message(event.topic, event.payload, event.qos, event.retain)); });
    case Event::SubAck: {
        const QString topic = pendingSubscriptions.take(event.code);
        if (state != State::Connected || event.qos >= RefusedQos || topic.isNull())
            return true;
        return emitGuarded([&] { emit q->subscribed(topic); });
    }
    case Event::ConnAck:
        if (state != State::Connecting)
            return true;
        if (event.code == 0) {
            connectTimer.stop();
            state = State::Connected;
            return emitGuarded([&] { emit q->connected(); });
        }
        // The broker answered, so trying other addresses would not help.
        closeSocket(false);
        return fail(connackError(event.code));
    case Event::Disconnect:
        removeNotifiers();
        connectTimer.stop();
        endSession();
        if (state == State::Connecting)
            return connectNext(socketError(event.code, event.sysErrno), false);
        if (state == State::Connected) {
            state = State::Idle;
            if (!emitGuarded([&] { emit q->disconnected(); }))
                return false;
            if (event.code != MOSQ_ERR_SUCCESS)
                return fail(socketError(event.code, event.sysErrno));
        }
        return true;
    }
    return true;
}

Client::Client(const QHostAddress &host, quint16 port, QObject *parent)
    : QObject(parent), d(std::make_unique<ClientPrivate>(this, host, port))
{
    qRegisterMetaType<QMQTT::Message>("QMQTT::Message");
    qRegisterMetaType<QMQTT::ClientError>("QMQTT::ClientError");
}

Client::~Client() = default;

void Client::setHost(const QHostAddress &host)
{
    d->hostName = host.toString();
}

void Client::setHostName(const QString &hostName)
{
    d->hostName = hostName;
}

void Client::setPort(quint16 port)
{
    d->port = port;
}

void Client::setKeepAlive(quint16 seconds)
{
    d->keepAlive = seconds == 0 ? 0 : qMax(seconds, MinKeepAlive);
}

void Client::setClientId(const QString &clientId)
{
    d->clientId = clientId;
}

void Client::setUsername(const QString &username)
{
    d->username = username;
}

void Client::setPassword(const QByteArray &password)
{
    d->password = password;
}

QString Client::hostName() const
{
    return d->hostName;
}

quint16 Client::port() const
{
    return d->port;
}

bool Client::isConnectedToHost() const
{
    return d->state == ClientPrivate::State::Connected;
}

void Client::setConnectTimeoutForTesting(int msecs)
{
    d->connectTimeoutMs = msecs;
}

void Client::connectToHost()
{
    const bool wasConnected = d->state == ClientPrivate::State::Connected;
    d->abandon(true);
    if (wasConnected) {
        const QPointer<Client> alive(this);
        emit disconnected();
        if (!alive)
            return;
        // A slot may have started an attempt of its own; this one replaces it.
        d->abandon(true);
    }
    d->startAttempt();
}

void Client::disconnectFromHost()
{
    const bool wasConnected = d->state == ClientPrivate::State::Connected;
    d->abandon(true);
    if (wasConnected)
        emit disconnected();
}

void Client::subscribe(const QString &topic, quint8 qos)
{
    d->subscribe(topic, qos);
}

} // namespace QMQTT
