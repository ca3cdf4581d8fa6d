#pragma once

#include "base/defaults.h"
#include "config/deviceentry.h"
#include "measurement/payload.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <QVector>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

// What one registered meter is doing, as far as anybody in the program knows.
struct MeterState
{
    QString name;
    QString topic;
    // The last reading, kept while the meter is offline; none before the first.
    std::optional<Reading> reading;
    // When that reading came, in ms since the epoch; 0 before the first.
    qint64 receivedMs = 0;
    // A reading came within the offline interval.
    bool online = false;
    // Readings so far: a reader that looks now and then tells a change by it, without a
    // signal per reading.
    quint32 readings = 0;
    // The reading is one the broker kept and handed out on subscribing: old data of unknown
    // age, no sign of life. receivedMs and online still speak of the last live reading.
    bool retained = false;
};

// Shows one meter and is told directly of its changes (a signal per meter, with ten
// thousand meters, would cost ten thousand calls per reading): the meter's panel.
class MeterView
{
public:
    virtual void showMeter(const MeterState &meter) = 0;

protected:
    ~MeterView() = default;
};

// The one live state of every registered meter, in record order: its last reading, when it
// came and whether it is online. The main window decodes each message once and hands the
// reading here for every record of its topic; the panels, the tab icons, the online count, the
// summary table and the history read it from here.
//
// Offline marks: every meter goes offline one interval after its last reading. Meters sharing
// an interval reach their deadlines in the order their readings came, so one FIFO of deadlines
// per interval (in practice one), with one timer at its head and superseded entries skipped,
// costs O(1) per reading where one restarted QTimer per meter cost a sorted insertion among
// all of Qt's timers.
//
// Views: a meter's view is told at once of every online or offline change, and of a reading while
// it is shown, unless it was told of one less than a frame ago (kShownRefreshMs): then the latest
// reading follows at the end of that frame. A hidden view is told of plain readings by one
// refresh a little later (kViewRefreshMs), and at once when it is shown. So a flood of readings
// relabels the panel on screen as often as a screen can show it, not once per message (each
// relabelling lays out and paints the panel again), and ten thousand hidden panels a few times
// a second.
class MeterBoard final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MeterBoard)

public:
    static constexpr int kOfflineIntervalMs = Defaults::kOfflineIntervalMs;
    static constexpr int kViewRefreshMs = 250;
    static constexpr int kShownRefreshMs = 16;

    explicit MeterBoard(QObject *parent = nullptr);
    ~MeterBoard() override;

    // Replaces every meter by the entries, in their order, none heard yet; views are dropped.
    void setDevices(const QVector<DeviceEntry> &entries);
    QVector<DeviceEntry> devices() const;
    int count() const { return int(m_meters.size()); }
    const MeterState &meter(int index) const { return m_meters[std::size_t(index)].state; }
    int onlineCount() const { return m_online; }

    // The meters registered on exactly this topic, in record order; null when there are none.
    const QVector<int> *metersOn(const QString &topic) const;

    // A reading that came now, for each of the meters at indices.
    void record(const QVector<int> &indices, const Reading &reading);
    void record(int index, const Reading &reading);
    // A reading the broker retained: the views show its values with the meter offline, and
    // nothing else changes (no online mark, no deadline, no readingRecorded()).
    void recordRetained(const QVector<int> &indices, const Reading &reading);
    // The meter goes offline now, as its deadline would take it.
    void markOffline(int index);

    // How long a reading keeps a meter online: kOfflineIntervalMs unless set, for every meter
    // without an interval of its own. Applies from the next reading on; values below 1 ms
    // restore the default.
    void setOfflineInterval(int ms);
    int offlineInterval() const { return m_intervalMs; }
    // One meter's own interval; values below 1 ms give it the board's again.
    void setMeterOfflineInterval(int index, int ms);
    int meterOfflineInterval(int index) const;

    // The view of a meter (at most one), shown to it at once if the meter has been heard.
    void setView(int index, MeterView *view);
    // Drops view if it is still the meter's view.
    void detachView(int index, const MeterView *view);
    // Whether the meter's view is on screen: a shown view is told of every reading at once.
    void setViewShown(int index, bool shown);
    // Hidden views not yet told of their latest reading.
    bool hasStaleViews() const { return m_staleNext < m_stale.size(); }

    // When a reading that comes now came, in ms since the epoch (MeterState::receivedMs and
    // readingRecorded()): the system's clock unless set; none restores it. With a clock of its
    // own a benchmark lives through an hour of readings in minutes. Offline deadlines keep to
    // the real clock.
    void setWallClock(std::function<qint64()> nowMs);

signals:
    // Every reading, once per meter it reached; the reading is meter(index).reading.
    void readingRecorded(int index, qint64 receivedMs);
    // Only when a meter comes online or goes offline.
    void onlineChanged(int index, bool online);
    // Around setDevices(): indices change meaning in between.
    void devicesAboutToChange();
    void devicesChanged();

private:
    struct Meter
    {
        MeterState state;
        qint64 deadlineMs = 0; // on m_clock
        quint32 generation = 0;
        int ownIntervalMs = 0;
        MeterView *view = nullptr;
        bool viewShown = false;
        bool viewStale = false;
        // When a reading was last shown at once, on m_clock.
        qint64 shownAtMs = -kShownRefreshMs;
    };
    struct Deadline
    {
        qint64 atMs;
        int index;
        quint32 generation;
    };
    struct Queue
    {
        int intervalMs;
        std::deque<Deadline> entries;
    };

    qint64 wallClockMs() const;
    void recordOne(int index, const Reading &reading, qint64 nowMs, qint64 clockMs);
    void goOffline(int index);
    bool isLive(const Deadline &deadline) const;
    Queue &queueFor(int intervalMs);
    void compact(Queue &queue);
    void expireDeadlines();
    void armDeadlineTimer(qint64 clockMs);
    void refreshStaleViews();
    void refreshShownViews();

    std::vector<Meter> m_meters;
    QHash<QString, QVector<int>> m_byTopic;
    int m_online = 0;
    int m_intervalMs = kOfflineIntervalMs;
    // Bumped by setDevices(), so that work begun before it stops.
    quint64 m_epoch = 0;

    std::function<qint64()> m_wallClock;
    QElapsedTimer m_clock;
    std::vector<Queue> m_queues;
    QTimer m_deadlineTimer;
    qint64 m_armedAtMs = -1;

    std::vector<int> m_stale;
    std::size_t m_staleNext = 0;
    QTimer m_refreshTimer;
    // Shown views holding back a reading until their frame ends; they are in m_stale, too, in
    // case they are hidden before that.
    std::vector<int> m_shownStale;
    QTimer m_shownRefreshTimer;
};
