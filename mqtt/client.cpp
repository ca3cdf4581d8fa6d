#include "mqtt/client.h"

#include "mqtt/hostlookup.h"
#include "mqtt/tlscontext.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

// The one file that speaks to libmosquitto.
#include <mosquitto.h>
#include <mqtt_protocol.h>

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
// not starve the rest of the event loop. Nor must large packets, each of which
// the library reads whole before the payload cap can drop it: a wake-up also
// ends once it has read for kMaxReadMsPerWakeup.
constexpr int kMaxReadsPerWakeup = 64;
constexpr int kMaxReadMsPerWakeup = 5;
// Meters on clocks of their own arrive spread over the second: a thousand of
// them make a message a millisecond, each a wake-up of its own, and a wake-up
// costs more than the message it brings. So once the socket has been drained,
// data that comes within this long is left to the kernel until the time is up
// and then read together. A reading waits at most this long, well within a
// frame; a meter heard now and then is read at once, and a backlog (a wake-up
// that stopped at either limit) is read on without a pause.
constexpr int kReadHoldOffMs = 4;
constexpr int kMiscIntervalMs = 1000;
constexpr quint16 kMinKeepAlive = Defaults::kMinKeepAliveSeconds;
// What SUBACK grants instead of a QoS when the broker refuses a subscription.
constexpr quint8 kRefusedQos = 0x80;
// MQTT carries strings with a two-byte length.
constexpr int kMaxStringBytes = 65535;

// A text as MQTT carries it, checked by the library's own rules (no control
// characters, no noncharacters, no zero). A lone surrogate has no UTF-8 form
// and would go out as a substitute character.
bool toMqttString(const QString &text, QByteArray *utf8)
{
    *utf8 = text.toUtf8();
    if (utf8->isEmpty())
        return true;
    return utf8->size() <= kMaxStringBytes && QString::fromUtf8(*utf8) == text &&
           mosquitto_validate_utf8(utf8->constData(), utf8->size()) == MOSQ_ERR_SUCCESS;
}

// A failure the library reported, in the client's terms.
ClientError libraryError(int rc, int sysErrno)
{
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        return errorFromErrno(sysErrno);
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
        explicit Event(Kind eventKind, int eventCode = 0, int eventErrno = 0)
            : kind(eventKind), code(eventCode), sysErrno(eventErrno)
        {
        }

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
    mosquitto *m_mosq = nullptr;

    QString m_hostName;
    quint16 m_port;
    quint16 m_keepAlive = Defaults::kKeepAliveSeconds;
    QString m_clientId;
    QString m_username;
    QByteArray m_password;
    int m_maxPayloadSize = 0;
    int m_connectTimeoutMs = Client::kDefaultConnectTimeoutMs;
    Client::Resolver m_resolver;
    TlsSettings m_tls;
    ProtocolVersion m_protocol = ProtocolVersion::Mqtt311;

    State m_state = State::Idle;
    InvalidSetting m_invalidSetting = InvalidSetting::None;
    TlsProblem m_tlsProblem = TlsProblem::None;
    QString m_tlsDetail;

private:
    static void onConnectCallback(mosquitto *, void *obj, int rc);
    static void onDisconnectCallback(mosquitto *, void *obj, int rc);
    static void onSubscribeCallback(mosquitto *, void *obj, int mid, int count, const int *grantedQos);
    static void onMessageCallback(mosquitto *, void *obj, const mosquitto_message *message);
    static void onLogCallback(mosquitto *, void *obj, int level, const char *text);

    void record(Event event);
    void endSession();
    InvalidSetting checkSettings(QByteArray *id, QByteArray *user) const;
    bool configureHandle();
    void announceMaximumPacketSize();
    InvalidSetting configureTls();
    bool tlsFailed(int rc, int sysErrno) const;
    void noticeLostSocket(int rc, int sysErrno);
    ClientError tlsFailure();
    void startLookup();
    void onLookedUp(const QList<QHostAddress> &addresses);
    bool connectNext(ClientError failure, bool deferFailure);
    bool fail(ClientError failure);
    void failLater(ClientError failure);
    void closeSocket(bool sendDisconnect);

    void createNotifiers(int fd);
    void removeNotifiers();
    void syncNotifiers();
    void onReadable();
    void readAvailable(bool heldOff);
    void onWritable();
    void onMiscTimer();
    void onConnectTimeout();

    void dispatch();
    bool handle(const Event &event);
    template <typename Emit> bool emitGuarded(Emit emitSignal);

    // Bumped (and the queue emptied) whenever a socket's story ends, so that
    // nothing it left behind (messages behind a disconnect, the echo of our
    // own abort, a late CONNACK) reaches the slots.
    quint64 m_session = 0;
    std::deque<Event> m_events;
    bool m_dispatching = false;

    // The context of the attempt under way, and what its handshake showed.
    TlsContext m_tlsContext;

    QList<QHostAddress> m_addresses;
    int m_nextAddress = 0;
    HostLookup m_lookup;
    // The lookup and the first address share the connect timeout.
    QDeadlineTimer m_attemptDeadline;
    QHash<int, QString> m_pendingSubscriptions;
    ClientError m_pendingFailure = UnknownError;

    // Children of the client: one being dropped may still be emitting, so it
    // is deleted later, or with the client at the latest.
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer m_miscTimer;
    // Since the last wake-up that drained the socket; invalid while reads go on.
    QElapsedTimer m_sinceDrained;
    QTimer m_readHoldOffTimer;
    QTimer m_connectTimer;
    QTimer m_failTimer;
};

ClientPrivate::ClientPrivate(Client *client, const QHostAddress &host, quint16 port)
    : q(client), m_hostName(host.toString()), m_port(port)
{
    acquireLibrary();
    m_mosq = mosquitto_new(nullptr, true, this);

    m_miscTimer.setInterval(kMiscIntervalMs);
    QObject::connect(&m_miscTimer, &QTimer::timeout, q, [this] { onMiscTimer(); });
    m_readHoldOffTimer.setSingleShot(true);
    m_readHoldOffTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_readHoldOffTimer, &QTimer::timeout, q, [this] {
        if (m_readNotifier)
            readAvailable(true);
    });
    m_connectTimer.setSingleShot(true);
    QObject::connect(&m_connectTimer, &QTimer::timeout, q, [this] { onConnectTimeout(); });
    m_failTimer.setSingleShot(true);
    m_failTimer.setInterval(0);
    QObject::connect(&m_failTimer, &QTimer::timeout, q, [this] { fail(m_pendingFailure); });
}

ClientPrivate::~ClientPrivate()
{
    m_lookup.drop();
    delete m_readNotifier;
    delete m_writeNotifier;
    // Destroying the handle closes the socket without an MQTT DISCONNECT.
    if (m_mosq)
        mosquitto_destroy(m_mosq);
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
    event.qos = count > 0 ? static_cast<quint8>(grantedQos[0]) : kRefusedQos;
    static_cast<ClientPrivate *>(obj)->record(std::move(event));
}

void ClientPrivate::onMessageCallback(mosquitto *, void *obj, const mosquitto_message *message)
{
    auto *self = static_cast<ClientPrivate *>(obj);
    if (self->m_maxPayloadSize > 0 && message->payloadlen > self->m_maxPayloadSize)
        return;
    // Copy payloadlen bytes: payloads are binary and may hold zero bytes.
    Event event(Event::Publish);
    event.topic = QString::fromUtf8(message->topic);
    event.payload = QByteArray(static_cast<const char *>(message->payload), message->payloadlen);
    event.qos = static_cast<quint8>(message->qos);
    event.retain = message->retain;
    self->record(std::move(event));
}

void ClientPrivate::onLogCallback(mosquitto *, void *obj, int level, const char *text)
{
    // The library says why a handshake failed only here.
    if (level & MOSQ_LOG_ERR)
        static_cast<ClientPrivate *>(obj)->m_tlsContext.noteLogLine(text);
}

void ClientPrivate::record(Event event)
{
    event.session = m_session;
    m_events.push_back(std::move(event));
}

void ClientPrivate::endSession()
{
    ++m_session;
    m_events.clear();
}

// mosquitto_reinitialise() wipes the handle before it checks the id, and an id
// it then refuses leaves the handle's internal socket pair at descriptor 0,
// which the next reinitialise or destroy closes, twice: with standard input
// closed, that is some other part of the program's descriptor. So every
// setting is checked here, by the library's own rules, before any of it
// reaches the library.
InvalidSetting ClientPrivate::checkSettings(QByteArray *id, QByteArray *user) const
{
    if (m_port == 0)
        return InvalidSetting::Port;
    if (!toMqttString(m_clientId, id))
        return InvalidSetting::ClientId;
    if (!toMqttString(m_username, user))
        return InvalidSetting::Username;
    if (!m_password.isEmpty()) {
        if (user->isEmpty())
            return InvalidSetting::PasswordWithoutUsername;
        if (m_password.contains('\0'))
            return InvalidSetting::PasswordWithZero;
        if (m_password.size() > kMaxStringBytes)
            return InvalidSetting::PasswordTooLong;
    }
    return InvalidSetting::None;
}

bool ClientPrivate::configureHandle()
{
    QByteArray id;
    QByteArray user;
    m_invalidSetting = checkSettings(&id, &user);
    if (m_invalidSetting != InvalidSetting::None)
        return false;

    // The id can only be changed by reinitialising, which also forgets the
    // callbacks and credentials. Doing it for every attempt means nothing of
    // an earlier connection (a cleared id, user name or password) survives.
    if (mosquitto_reinitialise(m_mosq, id.isEmpty() ? nullptr : id.constData(), true, this) != MOSQ_ERR_SUCCESS) {
        // Not for a checked id; but a handle it failed on may hold a
        // descriptor that is not its own, so it is left alone, not destroyed.
        m_mosq = mosquitto_new(nullptr, true, this);
        Q_CHECK_PTR(m_mosq);
        m_invalidSetting = InvalidSetting::ClientId;
        return false;
    }
    mosquitto_connect_callback_set(m_mosq, &ClientPrivate::onConnectCallback);
    mosquitto_disconnect_callback_set(m_mosq, &ClientPrivate::onDisconnectCallback);
    mosquitto_subscribe_callback_set(m_mosq, &ClientPrivate::onSubscribeCallback);
    mosquitto_message_callback_set(m_mosq, &ClientPrivate::onMessageCallback);
    // With a log callback set, the library formats a line for every packet,
    // which costs more than showing the reading; only a handshake needs it.
    if (m_tls.enabled)
        mosquitto_log_callback_set(m_mosq, &ClientPrivate::onLogCallback);
    if (m_protocol == ProtocolVersion::Mqtt5) {
        mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        announceMaximumPacketSize();
    } else {
        mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    }
    if (mosquitto_username_pw_set(m_mosq, user.isEmpty() ? nullptr : user.constData(),
                                  m_password.isEmpty() ? nullptr : m_password.constData()) != MOSQ_ERR_SUCCESS)
        return false;
    if (m_tls.enabled)
        m_invalidSetting = configureTls();
    return m_invalidSetting == InvalidSetting::None;
}

// The library keeps the CONNECT properties it is given with the handle and
// sends them with every CONNECT of it (a reconnect repeats them), but the one
// call that takes them, mosquitto_connect_bind_v5(), connects blocking: to a
// silent host, for minutes. Given no host, it refuses before it touches the
// network and keeps the properties all the same, and the non-blocking
// connect that follows sends them. tst_client proves it against a real
// broker. Reinitialising the handle forgets them.
void ClientPrivate::announceMaximumPacketSize()
{
    mosquitto_property *properties = nullptr;
    mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, Client::kMqtt5MaximumPacketSize);
    mosquitto_connect_bind_v5(m_mosq, nullptr, m_port, m_keepAlive, nullptr, properties);
    mosquitto_property_free_all(&properties);
}

// The library runs the TLS on a context of ours (see TlsContext), as it is:
// with its defaults, it would install a verification callback of its own.
InvalidSetting ClientPrivate::configureTls()
{
    const InvalidSetting refused = m_tlsContext.configure(m_tls, m_hostName);
    if (refused != InvalidSetting::None)
        return refused;
    if (mosquitto_void_option(m_mosq, MOSQ_OPT_SSL_CTX, m_tlsContext.context()) != MOSQ_ERR_SUCCESS ||
        mosquitto_int_option(m_mosq, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0) != MOSQ_ERR_SUCCESS)
        return InvalidSetting::TlsUnsupported;
    return InvalidSetting::None;
}

// With TLS, the library writes CONNECT right away, inside the connect call.
// When the broker has already broken the handshake off by then, that write
// fails with EPROTO before its alert could be read. A broker that resets the
// connection in the handshake (a port without TLS) shows only as a lost one.
bool ClientPrivate::tlsFailed(int rc, int sysErrno) const
{
    const bool peerClosed =
        rc == MOSQ_ERR_CONN_LOST || (rc == MOSQ_ERR_ERRNO && (sysErrno == ECONNRESET || sysErrno == EPIPE));
    return m_tls.enabled &&
           m_tlsContext.failed(rc == MOSQ_ERR_TLS || (rc == MOSQ_ERR_ERRNO && sysErrno == EPROTO), peerClosed);
}

// A handshake that fails ends the read or write with the socket closed, but
// the library calls no disconnect callback then; it is made up here.
void ClientPrivate::noticeLostSocket(int rc, int sysErrno)
{
    if (rc == MOSQ_ERR_SUCCESS || mosquitto_socket(m_mosq) >= 0)
        return;
    for (const Event &event : m_events) {
        if (event.kind == Event::Disconnect && event.session == m_session)
            return;
    }
    record(Event(Event::Disconnect, rc, sysErrno));
}

ClientError ClientPrivate::tlsFailure()
{
    const TlsContext::Failure failure = m_tlsContext.failure();
    m_tlsProblem = failure.problem;
    m_tlsDetail = failure.detail;
    return failure.error;
}

void ClientPrivate::startAttempt()
{
    endSession();
    m_failTimer.stop();
    m_pendingSubscriptions.clear();
    m_invalidSetting = InvalidSetting::None;
    m_tlsProblem = TlsProblem::None;
    m_tlsDetail.clear();
    // A name without an ASCII form could not be looked up, nor checked
    // against a certificate.
    if (QHostAddress(m_hostName).isNull() && !m_hostName.isEmpty() && QUrl::toAce(m_hostName).isEmpty()) {
        failLater(SocketHostNotFoundError);
        return;
    }
    if (!configureHandle()) {
        failLater(MqttInvalidSettingsError);
        return;
    }
    if (m_hostName.isEmpty()) {
        failLater(SocketHostNotFoundError);
        return;
    }
    m_attemptDeadline = QDeadlineTimer(m_connectTimeoutMs);
    const QHostAddress literal(m_hostName);
    if (!literal.isNull()) {
        m_addresses = {literal};
        m_nextAddress = 0;
        connectNext(SocketHostNotFoundError, true);
        return;
    }
    startLookup();
}

void ClientPrivate::startLookup()
{
    m_state = State::Resolving;
    if (!m_lookup.start(m_hostName, m_resolver ? m_resolver : HostLookup::Resolver(&HostLookup::systemResolver), q,
                        [this](const QList<QHostAddress> &addresses) { onLookedUp(addresses); })) {
        failLater(SocketHostNotFoundError);
        return;
    }
    m_connectTimer.start(m_connectTimeoutMs);
}

void ClientPrivate::onLookedUp(const QList<QHostAddress> &addresses)
{
    if (m_state != State::Resolving)
        return;
    m_connectTimer.stop();
    m_addresses = addresses;
    m_nextAddress = 0;
    connectNext(SocketHostNotFoundError, false);
}

// Tries the remaining m_addresses until one gets a socket under way. `failure`
// is reported if none is left. Returns false if the client was deleted.
bool ClientPrivate::connectNext(ClientError failure, bool deferFailure)
{
    while (m_nextAddress < m_addresses.size()) {
        const bool first = m_nextAddress == 0;
        const QByteArray address = m_addresses.at(m_nextAddress++).toString().toLatin1();
        m_tlsContext.startHandshake();
        const int rc = mosquitto_connect_async(m_mosq, address.constData(), m_port, m_keepAlive);
        const int sysErrno = errno;
        const int fd = mosquitto_socket(m_mosq);
        if (rc == MOSQ_ERR_SUCCESS && fd >= 0) {
            m_state = State::Connecting;
            createNotifiers(fd);
            m_connectTimer.start(first ? int(qMax<qint64>(1, m_attemptDeadline.remainingTime())) : m_connectTimeoutMs);
            // No dispatch here: whatever the call queued is delivered from
            // the event loop, never from inside connectToHost().
            syncNotifiers();
            return true;
        }
        // A refused loopback connection fails right here, without a callback.
        if (tlsFailed(rc, sysErrno)) {
            failure = tlsFailure();
            closeSocket(false);
            break;
        }
        failure = libraryError(rc, sysErrno);
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
    m_state = State::Idle;
    return emitGuarded([&] { emit q->error(failure); });
}

void ClientPrivate::failLater(ClientError failure)
{
    // connectToHost() never emits the outcome of its own attempt, so that a
    // caller need not expect signals (or its own deletion) inside the call.
    m_state = State::Idle;
    m_pendingFailure = failure;
    m_failTimer.start();
}

// Ends the socket now. With sendDisconnect the broker gets an MQTT DISCONNECT
// when the socket can take it; a pending connect is cut short by the shutdown.
void ClientPrivate::closeSocket(bool sendDisconnect)
{
    m_connectTimer.stop();
    removeNotifiers();
    if (mosquitto_socket(m_mosq) >= 0) {
        // The library closes the socket itself (with a DISCONNECT callback)
        // once it has written the DISCONNECT or sees the shut-down socket.
        if (sendDisconnect)
            mosquitto_disconnect(m_mosq);
        const int fd = mosquitto_socket(m_mosq);
        if (fd >= 0) {
            ::shutdown(fd, SHUT_RDWR);
            mosquitto_loop_read(m_mosq, 1);
        }
        // Should it still hold on, reinitialising closes the socket for
        // certain; the next attempt configures the handle afresh anyway.
        if (mosquitto_socket(m_mosq) >= 0)
            mosquitto_reinitialise(m_mosq, nullptr, true, this);
    }
    endSession();
    m_state = State::Idle;
}

void ClientPrivate::abandon(bool sendDisconnect)
{
    m_failTimer.stop();
    m_lookup.drop();
    closeSocket(sendDisconnect);
}

void ClientPrivate::subscribe(const QString &topic, quint8 qos)
{
    if (m_state != State::Connected)
        return;
    const QByteArray filter = topic.toUtf8();
    // The library takes a C string, so a zero character would cut the filter
    // short: it would subscribe to the text before it, or to an empty filter,
    // for which the broker drops the whole connection. MQTT allows none in a
    // filter anyway. A lone surrogate would go out as a substitute character,
    // a subscription to some other topic.
    int mid = 0;
    if (!filter.contains('\0') && QString::fromUtf8(filter) == topic &&
        mosquitto_subscribe(m_mosq, &mid, filter.constData(), qMin<int>(qos, 2)) == MOSQ_ERR_SUCCESS) {
        m_pendingSubscriptions.insert(mid, topic);
    } else {
        // Refused like one the broker refuses, and reported the same way:
        // from the event loop, never from inside this call.
        Event refused(Event::SubAck);
        refused.topic = topic;
        refused.qos = kRefusedQos;
        record(std::move(refused));
        QMetaObject::invokeMethod(
            q, [this] { dispatch(); }, Qt::QueuedConnection);
    }
    syncNotifiers();
}

// The socket number is reused as soon as the library closes it, so notifiers
// are built when a connection starts and dropped when its end is seen, never
// matched up by number.
void ClientPrivate::createNotifiers(int fd)
{
    removeNotifiers();
    m_readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, q);
    QObject::connect(m_readNotifier, &QSocketNotifier::activated, q, [this] { onReadable(); });
    m_writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, q);
    QObject::connect(m_writeNotifier, &QSocketNotifier::activated, q, [this] { onWritable(); });
    m_miscTimer.start();
}

void ClientPrivate::removeNotifiers()
{
    // They may be in the middle of emitting activated(), so no direct delete.
    for (QSocketNotifier **notifier : {&m_readNotifier, &m_writeNotifier}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
    m_miscTimer.stop();
    m_readHoldOffTimer.stop();
    m_sinceDrained.invalidate();
}

void ClientPrivate::syncNotifiers()
{
    if (!m_readNotifier)
        return;
    if (mosquitto_socket(m_mosq) < 0) {
        removeNotifiers();
        return;
    }
    // Always enabled, a write notifier spins on a writable socket.
    m_writeNotifier->setEnabled(mosquitto_want_write(m_mosq));
}

void ClientPrivate::onReadable()
{
    if (m_sinceDrained.isValid()) {
        const qint64 since = m_sinceDrained.elapsed();
        if (since < kReadHoldOffMs) {
            m_readNotifier->setEnabled(false);
            m_readHoldOffTimer.start(int(kReadHoldOffMs - since));
            return;
        }
    }
    readAvailable(false);
}

// After a hold-off, the notifier is off until this read has decided.
void ClientPrivate::readAvailable(bool heldOff)
{
    m_sinceDrained.invalidate();
    QElapsedTimer reading;
    reading.start();
    int packets = 0;
    for (; packets < kMaxReadsPerWakeup && !reading.hasExpired(kMaxReadMsPerWakeup); ++packets) {
        // A drained socket shows only in errno, which is how the library's own
        // loop tells, too. Asking the kernel how much is left instead cost a
        // system call per message. A stray EAGAIN merely ends this wake-up early:
        // the notifier fires again for what is left.
        errno = 0;
        const int rc = mosquitto_loop_read(m_mosq, 1);
        const int readErrno = errno;
        if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(m_mosq) < 0 || readErrno == EAGAIN || readErrno == EWOULDBLOCK) {
            noticeLostSocket(rc, readErrno);
            if (m_readNotifier)
                m_sinceDrained.start();
            break;
        }
    }
    // Decided before the slots run: one of them may delete the client.
    if (heldOff && m_readNotifier) {
        // While the stream keeps coming, the next read is timed too: the
        // notifier would only wake the loop to be switched off again.
        if (packets > 0 && m_sinceDrained.isValid())
            m_readHoldOffTimer.start(kReadHoldOffMs);
        else
            m_readNotifier->setEnabled(true);
    }
    dispatch();
}

void ClientPrivate::onWritable()
{
    errno = 0;
    const int rc = mosquitto_loop_write(m_mosq, 1);
    noticeLostSocket(rc, errno);
    dispatch();
}

void ClientPrivate::onMiscTimer()
{
    mosquitto_loop_misc(m_mosq);
    dispatch();
}

void ClientPrivate::onConnectTimeout()
{
    if (m_state == State::Resolving) {
        // The lookup thread is left to finish on its own; its answer is dropped.
        m_lookup.drop();
        endSession();
        fail(SocketTimeoutError);
        return;
    }
    if (m_state != State::Connecting)
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
    if (m_dispatching)
        return;
    m_dispatching = true;
    while (!m_events.empty()) {
        const Event event = std::move(m_events.front());
        m_events.pop_front();
        if (event.session != m_session)
            continue;
        if (!handle(event))
            return; // the client is gone, and with it this object
    }
    m_dispatching = false;
    syncNotifiers();
}

// Returns false if a slot deleted the client.
bool ClientPrivate::handle(const Event &event)
{
    switch (event.kind) {
    case Event::Publish:
        if (m_state != State::Connected)
            return true;
        return emitGuarded([&] { emit q->received(Message(event.topic, event.payload, event.qos, event.retain)); });
    case Event::SubAck: {
        const QString topic = event.topic.isNull() ? m_pendingSubscriptions.take(event.code) : event.topic;
        if (m_state != State::Connected || topic.isNull())
            return true;
        if (event.qos >= kRefusedQos)
            return emitGuarded([&] { emit q->subscriptionRefused(topic); });
        return emitGuarded([&] { emit q->subscribed(topic); });
    }
    case Event::ConnAck:
        if (m_state != State::Connecting)
            return true;
        if (event.code == 0) {
            m_connectTimer.stop();
            m_state = State::Connected;
            mosquitto_log_callback_set(m_mosq, nullptr);
            return emitGuarded([&] { emit q->connected(); });
        }
        // The broker answered, so trying other addresses would not help.
        closeSocket(false);
        return fail(errorFromConnack(event.code));
    case Event::Disconnect:
        removeNotifiers();
        m_connectTimer.stop();
        endSession();
        if (m_state == State::Connecting) {
            // The broker answered: another address would not help.
            if (tlsFailed(event.code, event.sysErrno)) {
                m_nextAddress = m_addresses.size();
                return connectNext(tlsFailure(), false);
            }
            return connectNext(libraryError(event.code, event.sysErrno), false);
        }
        if (m_state == State::Connected) {
            m_state = State::Idle;
            // A slot may start a new attempt, whose state the old
            // connection's error must leave alone.
            const quint64 session = m_session;
            if (!emitGuarded([&] { emit q->disconnected(); }))
                return false;
            if (m_session != session)
                return true;
            if (event.code != MOSQ_ERR_SUCCESS)
                return fail(libraryError(event.code, event.sysErrno));
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
    d->m_hostName = host.toString();
}

void Client::setHostName(const QString &hostName)
{
    d->m_hostName = hostName;
}

void Client::setPort(quint16 port)
{
    d->m_port = port;
}

void Client::setKeepAlive(quint16 seconds)
{
    d->m_keepAlive = seconds == 0 ? 0 : qMax(seconds, kMinKeepAlive);
}

void Client::setClientId(const QString &clientId)
{
    d->m_clientId = clientId;
}

void Client::setUsername(const QString &username)
{
    d->m_username = username;
}

void Client::setPassword(const QByteArray &password)
{
    d->m_password = password;
}

void Client::setTls(const TlsSettings &tls)
{
    d->m_tls = tls;
}

void Client::setProtocolVersion(ProtocolVersion version)
{
    d->m_protocol = version;
}

void Client::setMaximumPayloadSize(int bytes)
{
    d->m_maxPayloadSize = qMax(0, bytes);
}

void Client::setResolver(Resolver resolver)
{
    d->m_resolver = std::move(resolver);
}

bool Client::isConnectedToHost() const
{
    return d->m_state == ClientPrivate::State::Connected;
}

InvalidSetting Client::invalidSetting() const
{
    return d->m_invalidSetting;
}

TlsProblem Client::tlsProblem() const
{
    return d->m_tlsProblem;
}

QString Client::tlsDetail() const
{
    return d->m_tlsDetail;
}

void Client::setConnectTimeout(int msecs)
{
    d->m_connectTimeoutMs = msecs > 0 ? msecs : kDefaultConnectTimeoutMs;
}

void Client::connectToHost()
{
    const bool wasConnected = d->m_state == ClientPrivate::State::Connected;
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
    const bool wasConnected = d->m_state == ClientPrivate::State::Connected;
    d->abandon(true);
    if (wasConnected)
        emit disconnected();
}

void Client::subscribe(const QString &topic, quint8 qos)
{
    d->subscribe(topic, qos);
}

} // namespace QMQTT
