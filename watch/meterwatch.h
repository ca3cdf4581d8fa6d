#pragma once

#include "config/settingsfile.h"
#include "watch/maintenance.h"
#include "watch/watchevent.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMetaType>
#include <QObject>
#include <QTimer>

#include <array>
#include <functional>
#include <limits>
#include <vector>

class MeterBoard;

// One state per meter, the worst that applies, worst first; the order is the severity the
// summary sorts by.
enum class MeterCondition
{
    Silent,         // "не в сети": heard before, silent now while connected
    OutOfRange,     // "вне пределов": supply voltage or frequency outside its limits
    ServiceOverdue, // "обслуживание просрочено"
    Online,         // "в сети"
    NoData,         // "нет данных": never heard, or not connected
};
inline constexpr int kConditionCount = int(MeterCondition::NoData) + 1;
Q_DECLARE_METATYPE(MeterCondition)

QString conditionText(MeterCondition condition);

// Watches every meter of a board for what needs a person: a meter gone silent while the broker
// is connected, a supply outside its limits, a service due by the maintenance plan; and the
// broker connection itself. It reads the board through its signals and accessors, keeps one
// condition per meter and raises an event for each change worth a line in the log.
//
// Limits: a value outside its limits for kHoldMs and at least kHoldReadings readings in a row
// raises an alarm; it clears once the value has been back inside for kHoldMs. A value sitting
// on a limit therefore never flickers. A meter without limits or a plan costs one comparison per
// reading, one with them a few more; the clock is read only while a value is on the other side
// of its alarm.
//
// Silence: a meter that goes offline while the broker is connected, and has been for at least
// one offline interval, is "не в сети" and an event. A lost broker is one event of its own: the
// meters that fall silent with it are not, and none is "не в сети" until the connection is back
// and an offline interval has passed without a word from it. Before the owner says anything of
// the broker, silence counts as if it were connected.
class MeterWatch final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MeterWatch)

public:
    static constexpr int kHoldMs = 5000;
    static constexpr int kHoldReadings = 3;

    explicit MeterWatch(const MeterBoard *board, QObject *parent = nullptr);
    ~MeterWatch() override;

    // Every meter's limits (a plan's own bounds win) and the plans, found by topic. A mark that
    // changed since the last call is an event; so is a plan that is overdue now.
    void setSettings(const SupplyLimits &limits, const QVector<MaintenancePlan> &plans);
    // How long a value must stay out (or back in); tests shorten it.
    void setHoldTime(int ms);
    // Milliseconds on a monotonic clock; a test's own, or an empty function for the real one.
    using Clock = std::function<qint64()>;
    void setClock(Clock clock);

    // The broker connection, as its owner learns of it.
    void brokerConnected();
    // Broke without being asked to: one event.
    void brokerLost();
    // Ended at the user's request: no event.
    void brokerClosed();

    int meterCount() const { return int(m_meters.size()); }
    MeterCondition condition(int index) const { return m_meters[std::size_t(index)].condition; }
    int count(MeterCondition condition) const { return m_counts[std::size_t(condition)]; }
    // Meters whose supply voltage or frequency is alarmed, whatever their condition.
    int alarmCount() const { return m_alarmCount; }
    // The worst condition of any meter; NoData when there is none.
    MeterCondition worstCondition() const;

    // The meter's plan; one without intervals when it has none.
    MaintenancePlan plan(int index) const;
    // By the meter's plan and the last reading the board holds.
    MaintenanceStatus maintenance(int index) const;

signals:
    // The meter's condition changed, or it came online or went offline: whoever shows both
    // follows this signal alone.
    void meterChanged(int index);
    void eventRaised(const WatchEvent &event);

private:
    // One supervised quantity of one meter.
    struct Quantity
    {
        int min = std::numeric_limits<int>::min();
        int max = std::numeric_limits<int>::max();
        bool alarmed = false;
        // Readings in a row on the other side of `alarmed`, and when the first of them came.
        int streak = 0;
        qint64 sinceMs = 0;

        bool limited() const
        {
            return min != std::numeric_limits<int>::min() || max != std::numeric_limits<int>::max();
        }
    };
    struct Watched
    {
        Quantity voltage;
        Quantity frequency;
        bool limited = false;
        bool alarmed = false; // either quantity
        // Precomputed from the plan, so that a reading costs two comparisons.
        bool planned = false;
        qint64 markSeconds = 0;
        qint64 markStarts = 0;
        qint64 dueSeconds = std::numeric_limits<qint64>::max();
        qint64 dueStarts = std::numeric_limits<qint64>::max();
        bool overdue = false;
        // "не в сети" was raised and "снова в сети" not yet.
        bool silentRaised = false;
        MeterCondition condition = MeterCondition::NoData;
    };
    enum class Link
    {
        Unknown,
        Up,
        Closed,
        Lost,
    };

    void rebuild();
    void applySettings(bool announce);
    void readingRecorded(int index);
    void onlineChanged(int index, bool online);
    // True when the quantity's alarm went on or off.
    bool check(int index, Quantity &quantity, int value, EventKind low, EventKind high, EventKind normal);
    bool checkService(int index, Watched &meter, qint64 seconds, qint64 starts);
    void startWatchingSilence();
    void setWatchingSilence(bool watching);
    MeterCondition evaluate(int index) const;
    void updateAlarmed(Watched &meter);
    // True if it changed, and meterChanged() was emitted.
    bool updateCondition(int index);
    void updateAll();
    void raise(int index, EventKind kind, int value = 0, int limit = 0);
    void raiseBroker(EventKind kind);

    const MeterBoard *const m_board;
    std::vector<Watched> m_meters;
    std::array<int, kConditionCount> m_counts{};
    int m_alarmCount = 0;
    SupplyLimits m_limits;
    QHash<QString, MaintenancePlan> m_plans;
    bool m_settingsApplied = false;
    int m_holdMs = kHoldMs;
    QElapsedTimer m_elapsed;
    Clock m_clock;
    Link m_link = Link::Unknown;
    bool m_watchingSilence = true;
    // After a connection, silence counts once an offline interval has passed.
    QTimer m_graceTimer;
};
