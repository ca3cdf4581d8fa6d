#include "session/sessioncontroller.h"

#include <QEvent>

namespace {

// Keys and topics for the status bar: a few of them, each cut short, since
// those of a hand-edited file may be of any length; each with its note, if
// notes are given.
QString shortList(const QStringList &items, const QStringList &notes = {})
{
    constexpr int kShownItems = 3;
    constexpr int kShownLength = 40;
    QStringList shown;
    for (int i = 0; i < qMin(int(items.size()), kShownItems); ++i) {
        const QString &item = items.at(i);
        shown << (item.size() > kShownLength ? item.left(kShownLength - 1) + QChar(0x2026) : item);
        if (i < notes.size())
            shown.last() += QStringLiteral(" (") + notes.at(i) + QLatin1Char(')');
    }
    if (items.size() > kShownItems)
        shown << QString(QChar(0x2026));
    return shown.join(QStringLiteral(", "));
}

// The keys of the values, each with why it was ignored.
QString ignoredList(const QVector<IgnoredValue> &values)
{
    QStringList keys;
    QStringList reasons;
    for (const IgnoredValue &value : values) {
        keys << value.key;
        reasons << value.reason;
    }
    return shortList(keys, reasons);
}

// Failures that another try may mend by itself; the others need the user.
bool isNetworkFailure(QMQTT::ClientError error)
{
    switch (error) {
    case QMQTT::SocketConnectionRefusedError:
    case QMQTT::SocketHostNotFoundError:
    case QMQTT::SocketTimeoutError:
    case QMQTT::SocketRemoteHostClosedError:
    case QMQTT::SocketNetworkError:
    case QMQTT::MqttServerUnavailableError:
        return true;
    default:
        return false;
    }
}

} // namespace

SessionController::SessionController(QMQTT::Client *client, QObject *parent) : QObject(parent), m_client(client)
{
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] { startAttempt(true); });
    // Often enough that the count never skips a second.
    m_countdownTimer.setInterval(200);
    connect(&m_countdownTimer, &QTimer::timeout, this, &SessionController::showCountdown);
    connect(client, &QMQTT::Client::subscriptionRefused, this, &SessionController::subscriptionRefused);
}

bool SessionController::locksSettings() const
{
    return m_state == State::Attempting || m_state == State::Connected || m_state == State::Waiting;
}

bool SessionController::offersDisconnect() const
{
    return m_state == State::Connected || m_state == State::Ending || m_state == State::Waiting ||
           (m_state == State::Attempting && m_automatic);
}

void SessionController::setRetryDelays(int firstMs, int longestMs)
{
    m_firstRetryDelayMs = qMax(1, firstMs);
    m_longestRetryDelayMs = qMax(m_firstRetryDelayMs, longestMs);
    m_nextRetryDelayMs = m_firstRetryDelayMs;
}

void SessionController::startUp(QObject *window)
{
    const SessionSettings settings = SettingsFile(m_settingsFile).readSessionSettings();
    m_fileNote = fileNote(settings);
    if (!m_fileNote.isEmpty())
        emit statusChanged(m_fileNote);
    if (settings.options.connectOnStart)
        window->installEventFilter(this);
}

void SessionController::refreshFileNote(const QString &shown)
{
    if (m_fileNote.isEmpty() || shown != m_fileNote)
        return;
    const QString note = fileNote(SettingsFile(m_settingsFile).readSessionSettings());
    if (note == m_fileNote)
        return;
    m_fileNote = note;
    emit statusChanged(note);
}

QString SessionController::fileNote(const SessionSettings &settings) const
{
    if (settings.problem.kind != ReadProblem::None)
        return problemText(settings.problem);
    if (settings.ignoredInFile.isEmpty())
        return QString();
    return tr("В Settings.conf есть значения, которые не учтены: %1").arg(ignoredList(settings.ignoredInFile));
}

QString SessionController::problemText(const ReadProblem &problem) const
{
    if (problem.kind == ReadProblem::TooLarge)
        return tr("Settings.conf больше 16 МБ: не прочитан");
    return tr("Settings.conf недоступен для чтения: %1").arg(problem.detail);
}

bool SessionController::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::Show) {
        watched->removeEventFilter(this);
        // Once the window is up, as if the user had pressed the button.
        QTimer::singleShot(0, this, [this] {
            if (m_state == State::Idle)
                press();
        });
    }
    return false;
}

void SessionController::press()
{
    if (m_client->isConnectedToHost()) {
        setState(State::Ending);
        m_client->disconnectFromHost();
        return;
    }
    if (m_state == State::Waiting || (m_state == State::Attempting && m_automatic)) {
        // Aborting a pending attempt emits nothing.
        m_client->disconnectFromHost();
        stop(tr("Отключено"));
        return;
    }
    m_nextRetryDelayMs = m_firstRetryDelayMs;
    startAttempt(false);
}

void SessionController::startAttempt(bool automatic)
{
    m_retryTimer.stop();
    m_countdownTimer.stop();
    const SessionSettings read = SettingsFile(m_settingsFile).readSessionSettings();
    const BrokerSettings &settings = read.broker;
    m_options = read.options;
    const QString ignoredNote =
        read.ignored.isEmpty() ? QString()
                               : QLatin1Char(' ') + tr("Не учтено в Settings.conf: %1").arg(ignoredList(read.ignored));

    const QString host = settings.host.trimmed();
    QString refusal;
    // A file that could not be read is no file without a host: saying so
    // would send the user to settings that are there all along.
    if (read.problem.kind != ReadProblem::None)
        refusal = problemText(read.problem);
    else if (host.isEmpty())
        refusal = tr("Не задан адрес сервера MQTT");
    else if (settings.port < 1 || settings.port > 65535)
        refusal = tr("Недопустимый порт MQTT: %1").arg(settings.port);
    if (!refusal.isEmpty() && m_unattended) {
        setState(State::Idle);
        emit statusChanged(refusal + ignoredNote);
        scheduleRetry();
        return;
    }
    if (!refusal.isEmpty()) {
        // A press that cannot start an attempt ends the pending one: it
        // would connect with settings the user has just changed.
        if (m_state == State::Attempting)
            m_client->disconnectFromHost();
        stop(refusal + ignoredNote);
        return;
    }

    // The status bar names the host; no real host name is longer than 253
    // characters, and a hand-edited file must not hang the window on its text.
    m_host = host.size() > 253 ? host.left(252) + QChar(0x2026) : host;
    m_port = settings.port;
    m_client->setHostName(host);
    m_client->setPort(quint16(m_port));
    m_client->setKeepAlive(quint16(m_options.keepAlive));
    // Empty values are passed on too, so that a value cleared in the
    // settings is really gone from the next connection.
    m_client->setClientId(settings.clientId);
    m_client->setUsername(settings.username);
    m_client->setPassword(settings.password.toUtf8());
    QMQTT::TlsSettings tls;
    tls.enabled = m_options.tls;
    tls.caFile = m_options.caFile;
    tls.certFile = m_options.certFile;
    tls.keyFile = m_options.keyFile;
    tls.verifyHostName = m_options.tlsVerifyHost;
    m_client->setTls(tls);
    m_client->setProtocolVersion(m_options.mqtt5 ? QMQTT::ProtocolVersion::Mqtt5 : QMQTT::ProtocolVersion::Mqtt311);

    m_automatic = automatic;
    m_lost = false;
    setState(State::Attempting);
    emit statusChanged(tr("Подключение к %1…").arg(target()) + ignoredNote);
    m_client->connectToHost();
}

void SessionController::connected()
{
    m_refusedTopics.clear();
    m_automatic = false;
    m_connectedFor.start();
    setState(State::Connected);
    emit statusChanged(tr("Подключено к %1").arg(target()));
}

void SessionController::disconnected()
{
    if (m_state == State::Ending) {
        stop(tr("Отключено"));
        return;
    }
    m_lost = true;
    // A connection knocked off soon after it was made (by another client
    // with the same id, or a broker that drops us) goes on with the waits it
    // had: starting again at the first made two such clients take the id from
    // each other every second. Twice the longest wait, since a twin at that
    // wait holds the id for the longest wait each time.
    if (m_connectedFor.elapsed() >= 2 * qint64(m_longestRetryDelayMs))
        m_nextRetryDelayMs = m_firstRetryDelayMs;
    setState(State::Idle);
    emit statusChanged(tr("Соединение с %1 потеряно").arg(target()));
}

void SessionController::failed(QMQTT::ClientError error)
{
    // After a lost connection the error only tells why it broke.
    const bool lost = m_lost;
    m_lost = false;
    const bool attempting = m_state == State::Attempting;
    emit statusChanged(lost ? tr("Соединение с %1 потеряно").arg(target()) : failureText(error));
    const bool retry = m_unattended || (m_options.autoReconnect && mayMendItself(error, lost));
    if ((attempting || lost) && retry) {
        scheduleRetry();
        return;
    }
    if (attempting) {
        m_automatic = false;
        setState(State::Idle);
    }
}

bool SessionController::mayMendItself(QMQTT::ClientError error, bool lost) const
{
    if (isNetworkFailure(error))
        return true;
    // A peer that takes the connection and drops it in the handshake is a
    // port without TLS, or a TCP proxy (docker-proxy, ssh -L, a balancer)
    // whose broker is restarting: the two look alike. Once the broker has
    // been reached, or while the attempts are already our own, it is the
    // proxy; a first press that fails so is the user's to look into.
    return error == QMQTT::TlsError && m_client->tlsProblem() == QMQTT::TlsProblem::HandshakeFailed &&
           (m_automatic || lost);
}

void SessionController::scheduleRetry()
{
    const int delay = m_nextRetryDelayMs;
    m_nextRetryDelayMs = qMin(delay * 2, m_longestRetryDelayMs);
    m_retryDeadline = QDeadlineTimer(delay);
    m_retryTimer.start(delay);
    m_countdownTimer.start();
    m_countdownText.clear();
    setState(State::Waiting);
    showCountdown();
    emit retryScheduled(delay);
}

void SessionController::showCountdown()
{
    const qint64 seconds = qMax<qint64>(1, (m_retryDeadline.remainingTime() + 999) / 1000);
    const QString text = tr("Нет связи с %1, повтор через %2 с").arg(target()).arg(seconds);
    if (text != m_countdownText) {
        m_countdownText = text;
        emit statusChanged(text);
    }
}

void SessionController::stop(const QString &status)
{
    m_retryTimer.stop();
    m_countdownTimer.stop();
    m_automatic = false;
    setState(State::Idle);
    emit statusChanged(status);
}

void SessionController::setState(State state)
{
    m_state = state;
    emit stateChanged();
}

// A device whose subscription was refused would otherwise wait for readings
// in silence.
void SessionController::subscriptionRefused(const QString &topic)
{
    m_refusedTopics.append(topic);
    emit statusChanged(tr("Подключено к %1").arg(target()) + QStringLiteral(". ") +
                       tr("Подписка не принята: %1").arg(shortList(m_refusedTopics)));
}

QString SessionController::target() const
{
    return QStringLiteral("%1:%2").arg(m_host).arg(m_port);
}

QString SessionController::failureText(QMQTT::ClientError error) const
{
    switch (error) {
    case QMQTT::MqttNotAuthorizedError:
        return tr("Брокер отклонил имя пользователя или пароль");
    case QMQTT::SocketConnectionRefusedError:
        return tr("Соединение отклонено: %1").arg(target());
    case QMQTT::SocketHostNotFoundError:
        return tr("Узел не найден: %1").arg(m_host);
    case QMQTT::SocketTimeoutError:
        return tr("Нет ответа от %1").arg(target());
    case QMQTT::SocketRemoteHostClosedError:
        // Only an attempt gets here: a lost connection says so in failed().
        // A TLS port resets a connection that speaks MQTT in clear.
        return m_options.tls
                   ? tr("Брокер %1 закрыл соединение, не ответив").arg(target())
                   : tr("Брокер %1 закрыл соединение, не ответив: возможно, этот порт ждёт TLS").arg(target());
    case QMQTT::MqttInvalidSettingsError:
        return invalidSettingText();
    case QMQTT::MqttIdentifierRejectedError:
        return tr("Брокер отклонил идентификатор клиента");
    case QMQTT::TlsCertificateRejectedError:
    case QMQTT::TlsError:
        return tlsText(error);
    default:
        return tr("Ошибка соединения с %1").arg(target());
    }
}

QString SessionController::invalidSettingText() const
{
    switch (m_client->invalidSetting()) {
    case QMQTT::InvalidSetting::Port:
        return tr("Недопустимый порт MQTT: %1").arg(m_port);
    case QMQTT::InvalidSetting::ClientId:
        return tr("Недопустимый идентификатор клиента");
    case QMQTT::InvalidSetting::Username:
        return tr("Недопустимое имя пользователя");
    case QMQTT::InvalidSetting::PasswordWithZero:
        return tr("Пароль содержит нулевой символ");
    case QMQTT::InvalidSetting::PasswordTooLong:
        return tr("Слишком длинный пароль");
    case QMQTT::InvalidSetting::PasswordWithoutUsername:
        return tr("Пароль задан без имени пользователя");
    case QMQTT::InvalidSetting::TlsCaFile:
        return m_options.caFile.isEmpty() ? tr("Не удалось загрузить системные сертификаты CA")
                                          : tr("Не удалось загрузить сертификаты CA из %1").arg(m_options.caFile);
    case QMQTT::InvalidSetting::TlsCertificate:
        return tr("Не удалось загрузить сертификат клиента из %1").arg(m_options.certFile);
    case QMQTT::InvalidSetting::TlsKey:
        return tr("Ключ клиента из %1 не загружается или не подходит к сертификату").arg(m_options.keyFile);
    case QMQTT::InvalidSetting::TlsHostName:
        return tr("Имя %1 нельзя проверить по сертификату брокера").arg(m_host);
    case QMQTT::InvalidSetting::TlsUnsupported:
        return tr("Библиотека MQTT не поддерживает TLS");
    case QMQTT::InvalidSetting::None:
        break;
    }
    return tr("Недопустимые настройки MQTT");
}

QString SessionController::tlsText(QMQTT::ClientError error) const
{
    const QString detail = m_client->tlsDetail();
    QString reason;
    if (error == QMQTT::TlsCertificateRejectedError) {
        switch (m_client->tlsProblem()) {
        case QMQTT::TlsProblem::UntrustedCertificate:
            reason = tr("его не подтверждает центр сертификации");
            break;
        case QMQTT::TlsProblem::WrongHostName:
            reason = tr("он выдан не для %1").arg(m_host);
            break;
        case QMQTT::TlsProblem::ExpiredCertificate:
            reason = tr("срок его действия истёк");
            break;
        case QMQTT::TlsProblem::NotYetValidCertificate:
            reason = tr("срок его действия ещё не начался");
            break;
        default:
            reason = detail;
            break;
        }
        return tr("Сертификат брокера не принят: %1").arg(reason);
    }
    switch (m_client->tlsProblem()) {
    case QMQTT::TlsProblem::ClientCertificateRequired:
        reason = tr("брокер требует сертификат клиента");
        break;
    case QMQTT::TlsProblem::ClientCertificateRefused:
        reason = tr("брокер не принял сертификат клиента");
        break;
    case QMQTT::TlsProblem::ProtocolVersion:
        reason = tr("брокер не поддерживает TLS 1.2 или новее");
        break;
    // What TLS meets on a port without it, most often a wrong port number.
    case QMQTT::TlsProblem::HandshakeFailed:
        return tr("Брокер не отвечает по TLS: возможно, это порт без TLS");
    case QMQTT::TlsProblem::NotTls:
        return tr("Брокер отвечает не по TLS: возможно, это порт без TLS");
    default:
        // The library's own words, which say more than any guess of ours.
        reason = detail.isEmpty() ? tr("брокер прервал согласование") : detail;
        break;
    }
    return tr("Ошибка TLS: %1").arg(reason);
}
