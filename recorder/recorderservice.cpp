#include "recorder/recorderservice.h"

#include "base/version.h"
#include "config/settingsfile.h"
#include "history/historyrecorder.h"
#include "history/historytarget.h"
#include "measurement/meterboard.h"
#include "mqtt/client.h"
#include "recorder/filechangewatch.h"
#include "session/sessioncontroller.h"
#include "watch/meterwatch.h"

#include <QFileInfo>

namespace {

// As the window: a meter's text is under 200 bytes.
constexpr int kMaxPayloadSize = 16 * 1024;

// Topics for a log line: a few of them, each cut short, since those of a
// hand-edited file may be of any number and length.
QString someTopics(const QStringList &topics)
{
    constexpr int kShown = 3;
    constexpr int kShownLength = 60;
    QStringList shown;
    for (int i = 0; i < std::min(int(topics.size()), kShown); ++i) {
        const QString &topic = topics.at(i);
        shown << (topic.size() > kShownLength ? topic.left(kShownLength - 1) + QChar(0x2026) : topic);
    }
    if (topics.size() > kShown)
        shown << QStringLiteral("%1 more").arg(topics.size() - kShown);
    return shown.join(QStringLiteral(", "));
}

QStringList topicsOf(const QVector<DeviceEntry> &entries)
{
    QStringList topics;
    for (const DeviceEntry &entry : entries)
        topics << entry.topic;
    topics.removeDuplicates();
    return topics;
}

} // namespace

RecorderService::RecorderService(const QString &settingsFile, const QString &historyFile, QObject *parent)
    : QObject(parent), m_settingsFile(settingsFile), m_historyFile(historyFile),
      m_client(std::make_unique<QMQTT::Client>()), m_session(std::make_unique<SessionController>(m_client.get())),
      m_board(std::make_unique<MeterBoard>()), m_meterWatch(std::make_unique<MeterWatch>(m_board.get()))
{
    m_client->setMaximumPayloadSize(kMaxPayloadSize);
    m_session->setSettingsFile(settingsFile);
    m_session->setUnattended(true);

    connect(m_client.get(), &QMQTT::Client::connected, this, &RecorderService::connected);
    connect(m_client.get(), &QMQTT::Client::disconnected, this, [this] {
        m_subscribed.clear();
        m_failing = true;
        m_session->disconnected();
        m_failing = false;
    });
    connect(m_client.get(), &QMQTT::Client::error, this, [this](QMQTT::ClientError error) {
        m_failing = true;
        m_session->failed(error);
        m_failing = false;
    });
    connect(m_client.get(), &QMQTT::Client::received, this, &RecorderService::received);
    connect(m_session.get(), &SessionController::statusChanged, this, &RecorderService::sessionSaid);
    connect(m_session.get(), &SessionController::stateChanged, this, &RecorderService::followSession);
    connect(m_meterWatch.get(), &MeterWatch::eventRaised, this, &RecorderService::eventRaised);
    connect(m_session.get(), &SessionController::retryScheduled, this, [this](int delayMs) {
        if (delayMs != m_loggedRetryDelayMs)
            log(LogPriority::Info, QStringLiteral("broker: next attempt in %1 s").arg((delayMs + 999) / 1000));
        m_loggedRetryDelayMs = delayMs;
    });

    // The memory holds a quarter of an hour while the store fails: with ten
    // thousand meters that is a gigabyte.
    m_historyOptions.fallbackSeconds = kFallbackSeconds;

    m_reportTimer.setTimerType(Qt::CoarseTimer);
    m_reportTimer.setInterval(kReportIntervalMs);
    connect(&m_reportTimer, &QTimer::timeout, this, &RecorderService::report);
}

RecorderService::~RecorderService()
{
    stop();
}

void RecorderService::setReportInterval(int ms)
{
    m_reportTimer.setInterval(ms);
}

void RecorderService::setHistoryRetryDelays(int firstMs, int lastMs)
{
    m_historyOptions.firstRetryMs = firstMs;
    m_historyOptions.lastRetryMs = lastMs;
}

void RecorderService::start()
{
    log(LogPriority::Notice, QStringLiteral("%1 %2 starts: settings %3")
                                 .arg(QLatin1String(kRecorderName), QLatin1String(kProgramVersion),
                                      QFileInfo(m_settingsFile).absoluteFilePath()));
    readSettings(true);
    connect(m_board.get(), &MeterBoard::readingRecorded, this, [this](int index, qint64 receivedMs) {
        const MeterState &meter = m_board->meter(index);
        m_history->record(meter.topic, *meter.reading, receivedMs / 1000);
    });

    m_watch = std::make_unique<FileChangeWatch>(m_settingsFile);
    connect(m_watch.get(), &FileChangeWatch::changed, this, [this] { readSettings(false); });

    m_sinceReport.start();
    m_reportTimer.start();
    m_session->press();
}

void RecorderService::startHistory()
{
    const HistoryTarget target = HistoryTarget::of(m_store, true, m_historyFile);
    log(LogPriority::Notice, QStringLiteral("history: recording into %1, keeping %2 days")
                                 .arg(target.shared ? QStringLiteral("the shared history ") + target.description()
                                                    : QFileInfo(m_historyFile).absoluteFilePath())
                                 .arg(m_days));
    m_history = std::make_unique<HistoryRecorder>(target, m_days, m_historyOptions);
    connect(m_history.get(), &HistoryRecorder::stopped, this, [this](const HistoryProblem &problem) {
        // The file's problems are said without SQLite's words in the status bar; the log has room for them.
        const QString detail =
            problem.shared || problem.detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(problem.detail);
        log(LogPriority::Error, QStringLiteral("history: ") + HistoryRecorder::describe(problem) + detail);
    });
    // Everything else it has to say: back again, and how much was lost meanwhile; a file
    // replaced; a clock that holds retention back.
    connect(m_history.get(), &HistoryRecorder::notice, this, [this](const QString &text) {
        const HistoryProblem &problem = m_history->problem();
        if (problem.kind != HistoryProblem::None && text == HistoryRecorder::describe(problem))
            return;
        log(problem.kind == HistoryProblem::None ? LogPriority::Notice : LogPriority::Warning,
            QStringLiteral("history: ") + text);
    });
    connect(m_history.get(), &HistoryRecorder::written, this, [this](int rows) { m_rowsWritten += quint64(rows); });
}

void RecorderService::readSettings(bool starting)
{
    const SettingsFile file(m_settingsFile);
    const ReadProblem problem = file.readSessionSettings().problem;
    if (problem.kind != ReadProblem::None || !QFileInfo::exists(m_settingsFile))
        log(LogPriority::Warning,
            QStringLiteral("cannot read %1%2: no meters until it can be read")
                .arg(QFileInfo(m_settingsFile).filePath(),
                     problem.detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(problem.detail)));
    // A file that cannot be read now says nothing of where the history goes
    // or for how long: the recorder goes on as it was.
    const bool read = problem.kind == ReadProblem::None && QFileInfo::exists(m_settingsFile);

    const int days = file.readHistory().days;
    const HistoryStoreSettings store = file.readHistoryStore();
    if (!store.ignoredKeys.isEmpty())
        log(LogPriority::Warning,
            QStringLiteral("history: values not used in %1: %2")
                .arg(QFileInfo(m_settingsFile).fileName(), store.ignoredKeys.join(QStringLiteral(", "))));
    if (starting || (read && !store.sameTarget(m_store))) {
        // Another store is another recorder: the old one writes what it holds first.
        m_days = days;
        m_store = store;
        if (m_history) {
            m_lostBefore += m_history->lostReadings();
            m_history.reset();
        }
        startHistory();
    } else if (read && days != m_days) {
        m_days = days;
        m_history->setDays(days);
        log(LogPriority::Notice, QStringLiteral("history: keeps %1 days from now on").arg(days));
    }

    if (read || starting) {
        const WatchSettings watch = file.readWatchSettings();
        m_meterWatch->setSettings(watch.limits, watch.plans);
    }

    const QVector<DeviceEntry> entries = file.readDevices();
    const QVector<DeviceEntry> before = m_board->devices();
    const bool same =
        std::equal(entries.begin(), entries.end(), before.begin(), before.end(),
                   [](const DeviceEntry &a, const DeviceEntry &b) { return a.name == b.name && a.topic == b.topic; });
    if (same && !starting)
        return;
    const QStringList oldTopics = topicsOf(before);
    const QStringList newTopics = topicsOf(entries);
    QStringList added;
    QStringList removed;
    for (const QString &topic : newTopics) {
        if (!oldTopics.contains(topic))
            added << topic;
    }
    for (const QString &topic : oldTopics) {
        if (!newTopics.contains(topic))
            removed << topic;
    }
    m_board->setDevices(entries);
    QString text = QStringLiteral("meters: %1 on %2 topics").arg(entries.size()).arg(newTopics.size());
    if (!starting && !added.isEmpty())
        text += QStringLiteral("; added %1").arg(someTopics(added));
    if (!starting && !removed.isEmpty())
        text += QStringLiteral("; no longer recorded %1").arg(someTopics(removed));
    log(LogPriority::Notice, text);
    if (m_client->isConnectedToHost())
        subscribe();
}

void RecorderService::connected()
{
    m_sessionTexts.clear();
    m_loggedRetryDelayMs = 0;
    m_session->connected();
    subscribe();
}

void RecorderService::subscribe()
{
    // A topic no longer registered stays subscribed (MQTT clients here never
    // unsubscribe) until the next connection; its readings are not recorded.
    int count = 0;
    for (const QString &topic : topicsOf(m_board->devices())) {
        if (topic.isEmpty() || m_subscribed.contains(topic))
            continue;
        m_client->subscribe(topic, 0);
        m_subscribed.insert(topic);
        ++count;
    }
    if (count > 0)
        log(LogPriority::Info, QStringLiteral("broker: subscribed to %1 topics").arg(count));
}

void RecorderService::sessionSaid(const QString &text)
{
    // The countdown to the next attempt is said once, in retryScheduled.
    if (m_session->state() == SessionController::State::Waiting || m_sessionTexts.contains(text))
        return;
    m_sessionTexts.insert(text);
    // Failures come from the client's signals, or with nothing under way.
    const SessionController::State state = m_session->state();
    const LogPriority priority = m_failing || state == SessionController::State::Idle ? LogPriority::Warning
                                 : state == SessionController::State::Connected       ? LogPriority::Notice
                                                                                      : LogPriority::Info;
    log(priority, QStringLiteral("broker: ") + text);
}

void RecorderService::followSession()
{
    // As the window: only a connection that breaks unasked is an event.
    const SessionController::State state = m_session->state();
    if (state == SessionController::State::Connected && !m_sessionConnected)
        m_meterWatch->brokerConnected();
    else if (state == SessionController::State::Ending)
        m_meterWatch->brokerClosed();
    else if (m_sessionConnected && state != SessionController::State::Connected)
        m_meterWatch->brokerLost();
    m_sessionConnected = state == SessionController::State::Connected;
}

void RecorderService::eventRaised(const WatchEvent &event)
{
    // Written at once, as the window's event log does: events are few.
    if (m_history)
        m_history->recordEvent({event.timeMs, int(event.kind), event.topic, event.meter, event.value, event.limit});
    bool trouble = false;
    switch (event.kind) {
    case EventKind::Silent:
    case EventKind::VoltageLow:
    case EventKind::VoltageHigh:
    case EventKind::FrequencyLow:
    case EventKind::FrequencyHigh:
    case EventKind::ServiceOverdue:
    case EventKind::BrokerLost:
        trouble = true;
        break;
    default:
        break;
    }
    const bool meter = !event.topic.isEmpty();
    log(trouble ? LogPriority::Warning : LogPriority::Notice,
        QStringLiteral("event: %1%2")
            .arg(meter ? QStringLiteral("%1 (%2): ").arg(event.meter, event.topic) : QString(), eventText(event)));
}

void RecorderService::received(const QMQTT::Message &message)
{
    const QVector<int> *meters = m_board->metersOn(message.topic());
    if (!meters)
        return;
    const QByteArray payload = message.payload();
    const int end = payload.indexOf('\0');
    const std::optional<Reading> reading =
        ParsePayload(QString::fromUtf8(payload.constData(), end < 0 ? payload.size() : end));
    if (!reading)
        return;
    // As the window: what the broker kept for late subscribers is old data,
    // no sign of life, and not a reading of this second to record.
    if (message.retain()) {
        m_board->recordRetained(*meters, *reading);
        return;
    }
    ++m_readings;
    m_board->record(*meters, *reading);
}

void RecorderService::report()
{
    const qint64 lost = m_lostBefore + (m_history ? m_history->lostReadings() : 0);
    const QString lostText = lost > m_lostAtReport ? QStringLiteral("; %1 readings lost, not fitting in memory while "
                                                                    "the history could not be written")
                                                         .arg(lost - m_lostAtReport)
                                                   : QString();
    m_lostAtReport = lost;
    log(LogPriority::Info, QStringLiteral("in the last %1 s: %2 readings, %3 rows written; %4 of %5 meters online")
                                   .arg((m_sinceReport.restart() + 500) / 1000)
                                   .arg(m_readings - m_readingsAtReport)
                                   .arg(m_rowsWritten - m_rowsAtReport)
                                   .arg(m_board->onlineCount())
                                   .arg(m_board->count()) +
                               lostText);
    m_readingsAtReport = m_readings;
    m_rowsAtReport = m_rowsWritten;
}

void RecorderService::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_reportTimer.stop();
    m_watch.reset();
    // Nothing more comes in, no attempt is made any more, and the broker
    // hears a proper goodbye.
    m_client->disconnect(this);
    m_session.reset();
    m_client->disconnectFromHost();
    // Hands over what waits and waits until the store has written it and closed.
    m_history.reset();
    log(LogPriority::Notice, QStringLiteral("stopped: %1 readings recorded since the start").arg(m_readings));
}
