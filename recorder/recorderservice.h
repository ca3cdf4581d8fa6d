#pragma once

#include "config/deviceentry.h"
#include "config/settingsfile.h"
#include "history/historydata.h"
#include "recorder/logwriter.h"
#include "watch/watchevent.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <memory>

class FileChangeWatch;
class HistoryRecorder;
class MeterBoard;
class MeterWatch;
class SessionController;
namespace QMQTT {
class Client;
class Message;
} // namespace QMQTT

// The recorder without a window: what the window does for the history, run
// by nobody. It connects with the window's session code (every failure tried
// again, since nobody will press a button), subscribes to every registered
// meter, hands each reading to a HistoryRecorder as the window does (one row
// per meter per second) and follows Settings.conf: a meter added there is
// subscribed to and recorded a moment later, another Days applies at once,
// another store ([History] Store and its keys) takes over the recording.
// The broker settings are read afresh at every attempt.
//
// It watches the meters as the window does (limits and service plans of
// groups Alarms and Maintenance, meters gone silent, the broker lost) and
// records the events beside the readings, so that every window reading the
// same history shows them in its event log; each is logged too. The desktop
// is not told: a service has none.
//
// It says what it does in logged(): the start, changes of the connection,
// the store and the meters, and every reportInterval the counts of what came
// and what was written. The texts of the session and of the store are the
// window's status bar's; none of them holds a password.
class RecorderService final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RecorderService)

public:
    static constexpr int kReportIntervalMs = 10 * 60 * 1000;
    // What the memory holds while the history cannot be written.
    static constexpr qint64 kFallbackSeconds = 15 * 60;

    RecorderService(const QString &settingsFile, const QString &historyFile, QObject *parent = nullptr);
    ~RecorderService() override;

    // Reads the settings, opens the store and connects.
    void start();
    // Disconnects and writes what waits; logs the totals. The destructor
    // does it if nobody did.
    void stop();

    void setReportInterval(int ms);
    // The waits before the history's store is tried again after a failure;
    // from the next store on.
    void setHistoryRetryDelays(int firstMs, int lastMs);
    // Null once stopped.
    SessionController *session() const { return m_session.get(); }
    // Messages taken as readings of a registered meter, since the start.
    quint64 readings() const { return m_readings; }

signals:
    void logged(LogPriority priority, const QString &text);

private:
    void log(LogPriority priority, const QString &text) { emit logged(priority, text); }
    void received(const QMQTT::Message &message);
    void followSession();
    void eventRaised(const WatchEvent &event);
    void connected();
    void sessionSaid(const QString &text);
    void subscribe();
    void readSettings(bool starting);
    void report();
    // A recorder for the store and days of m_store and m_days.
    void startHistory();

    const QString m_settingsFile;
    const QString m_historyFile;
    // In the order they are needed: each goes before what it uses.
    std::unique_ptr<QMQTT::Client> m_client;
    std::unique_ptr<SessionController> m_session;
    std::unique_ptr<MeterBoard> m_board;
    std::unique_ptr<MeterWatch> m_meterWatch;
    std::unique_ptr<HistoryRecorder> m_history;
    std::unique_ptr<FileChangeWatch> m_watch;
    int m_days = 0;
    HistoryOptions m_historyOptions;
    HistoryStoreSettings m_store;
    QSet<QString> m_subscribed;
    // What the session was when the watch last heard of it.
    bool m_sessionConnected = false;

    // What the session said since it last connected, each said once: a
    // broker away for a day is tried every minute, with the same words.
    QSet<QString> m_sessionTexts;
    int m_loggedRetryDelayMs = 0;
    bool m_failing = false;

    QTimer m_reportTimer;
    QElapsedTimer m_sinceReport;
    quint64 m_readings = 0;
    quint64 m_rowsWritten = 0;
    quint64 m_readingsAtReport = 0;
    quint64 m_rowsAtReport = 0;
    // Readings lost by recorders before the present one, and as of the last report.
    qint64 m_lostBefore = 0;
    qint64 m_lostAtReport = 0;
    bool m_stopped = false;
};
