#include "measurement/meterboard.h"

#include <QDateTime>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

// Hidden views told of their readings per pass of the event loop, so that a refresh of ten
// thousand panels does not hold the loop for a tenth of a second.
constexpr std::size_t kViewsPerPass = 500;

} // namespace

MeterBoard::MeterBoard(QObject *parent) : QObject(parent)
{
    m_clock.start();
    // One timer for all meters: precise costs nothing here, and the mark comes when it should.
    m_deadlineTimer.setTimerType(Qt::PreciseTimer);
    m_deadlineTimer.setSingleShot(true);
    connect(&m_deadlineTimer, &QTimer::timeout, this, &MeterBoard::expireDeadlines);
    m_refreshTimer.setSingleShot(true);
    connect(&m_refreshTimer, &QTimer::timeout, this, &MeterBoard::refreshStaleViews);
    m_shownRefreshTimer.setSingleShot(true);
    connect(&m_shownRefreshTimer, &QTimer::timeout, this, &MeterBoard::refreshShownViews);
}

MeterBoard::~MeterBoard() = default;

void MeterBoard::setDevices(const QVector<DeviceEntry> &entries)
{
    emit devicesAboutToChange();
    ++m_epoch;
    m_meters.clear();
    m_meters.resize(std::size_t(entries.size()));
    m_byTopic.clear();
    for (int i = 0; i < entries.size(); ++i) {
        m_meters[std::size_t(i)].state.name = entries[i].name;
        m_meters[std::size_t(i)].state.topic = entries[i].topic;
        m_byTopic[entries[i].topic].append(i);
    }
    m_online = 0;
    m_queues.clear();
    m_deadlineTimer.stop();
    m_armedAtMs = -1;
    m_stale.clear();
    m_staleNext = 0;
    m_refreshTimer.stop();
    m_shownStale.clear();
    m_shownRefreshTimer.stop();
    emit devicesChanged();
}

QVector<DeviceEntry> MeterBoard::devices() const
{
    QVector<DeviceEntry> entries;
    entries.reserve(count());
    for (const Meter &meter : m_meters)
        entries.append({meter.state.name, meter.state.topic});
    return entries;
}

const QVector<int> *MeterBoard::metersOn(const QString &topic) const
{
    const auto found = m_byTopic.constFind(topic);
    return found == m_byTopic.constEnd() ? nullptr : &*found;
}

void MeterBoard::record(const QVector<int> &indices, const Reading &reading)
{
    const qint64 nowMs = wallClockMs();
    const qint64 clockMs = m_clock.elapsed();
    const quint64 epoch = m_epoch;
    // The list may be the board's own, which replacing the meters frees; a copy shares it.
    const QVector<int> meters = indices;
    for (int index : meters) {
        // A listener may have replaced the meters; the rest of the list means nothing then.
        if (m_epoch != epoch)
            return;
        recordOne(index, reading, nowMs, clockMs);
    }
}

void MeterBoard::record(int index, const Reading &reading)
{
    recordOne(index, reading, wallClockMs(), m_clock.elapsed());
}

void MeterBoard::recordRetained(const QVector<int> &indices, const Reading &reading)
{
    const quint64 epoch = m_epoch;
    const QVector<int> meters = indices;
    for (int index : meters) {
        if (m_epoch != epoch || index < 0 || index >= count())
            return;
        Meter &meter = m_meters[std::size_t(index)];
        meter.state.reading = reading;
        meter.state.retained = true;
        ++meter.state.readings;
        if (meter.view) {
            meter.viewStale = false;
            meter.view->showMeter(meter.state);
        }
    }
}

void MeterBoard::recordOne(int index, const Reading &reading, qint64 nowMs, qint64 clockMs)
{
    if (index < 0 || index >= count())
        return;
    Meter &meter = m_meters[std::size_t(index)];
    const bool wasOnline = meter.state.online;
    meter.state.reading = reading;
    meter.state.retained = false;
    meter.state.receivedMs = nowMs;
    meter.state.online = true;
    ++meter.state.readings;

    const int interval = meter.ownIntervalMs > 0 ? meter.ownIntervalMs : m_intervalMs;
    // The clock reads whole milliseconds rounded down: one more, and the mark is never early.
    meter.deadlineMs = clockMs + interval + 1;
    ++meter.generation;
    Queue &queue = queueFor(interval);
    queue.entries.push_back({meter.deadlineMs, index, meter.generation});
    // Superseded entries are skipped at the head; a flood must not pile them up without bound.
    if (queue.entries.size() > 2 * m_meters.size() + 1024)
        compact(queue);
    if (m_armedAtMs < 0 || meter.deadlineMs < m_armedAtMs)
        armDeadlineTimer(clockMs);

    if (meter.view) {
        const qint64 frameLeftMs = meter.shownAtMs + kShownRefreshMs - clockMs;
        if (!wasOnline || (meter.viewShown && frameLeftMs <= 0)) {
            meter.viewStale = false;
            if (meter.viewShown)
                meter.shownAtMs = clockMs;
            meter.view->showMeter(meter.state);
        } else if (!meter.viewStale) {
            meter.viewStale = true;
            m_stale.push_back(index);
            if (!m_refreshTimer.isActive())
                m_refreshTimer.start(kViewRefreshMs);
            if (meter.viewShown) {
                m_shownStale.push_back(index);
                if (!m_shownRefreshTimer.isActive())
                    m_shownRefreshTimer.start(int(frameLeftMs));
            }
        }
    }

    if (!wasOnline)
        ++m_online;
    const quint64 epoch = m_epoch;
    emit readingRecorded(index, nowMs);
    if (!wasOnline && m_epoch == epoch)
        emit onlineChanged(index, true);
}

void MeterBoard::markOffline(int index)
{
    if (index >= 0 && index < count() && m_meters[std::size_t(index)].state.online)
        goOffline(index);
}

void MeterBoard::goOffline(int index)
{
    Meter &meter = m_meters[std::size_t(index)];
    meter.state.online = false;
    --m_online;
    if (meter.view) {
        meter.viewStale = false;
        meter.view->showMeter(meter.state);
    }
    emit onlineChanged(index, false);
}

void MeterBoard::setWallClock(std::function<qint64()> nowMs)
{
    m_wallClock = std::move(nowMs);
}

qint64 MeterBoard::wallClockMs() const
{
    return m_wallClock ? m_wallClock() : QDateTime::currentMSecsSinceEpoch();
}

void MeterBoard::setOfflineInterval(int ms)
{
    m_intervalMs = ms > 0 ? ms : kOfflineIntervalMs;
}

void MeterBoard::setMeterOfflineInterval(int index, int ms)
{
    if (index >= 0 && index < count())
        m_meters[std::size_t(index)].ownIntervalMs = std::max(ms, 0);
}

int MeterBoard::meterOfflineInterval(int index) const
{
    const int own = index >= 0 && index < count() ? m_meters[std::size_t(index)].ownIntervalMs : 0;
    return own > 0 ? own : m_intervalMs;
}

void MeterBoard::setView(int index, MeterView *view)
{
    if (index < 0 || index >= count())
        return;
    Meter &meter = m_meters[std::size_t(index)];
    meter.view = view;
    meter.viewShown = false;
    meter.viewStale = false;
    if (view && meter.state.reading)
        view->showMeter(meter.state);
}

void MeterBoard::detachView(int index, const MeterView *view)
{
    if (index >= 0 && index < count() && m_meters[std::size_t(index)].view == view)
        m_meters[std::size_t(index)].view = nullptr;
}

void MeterBoard::setViewShown(int index, bool shown)
{
    if (index < 0 || index >= count())
        return;
    Meter &meter = m_meters[std::size_t(index)];
    meter.viewShown = shown;
    if (shown && meter.viewStale && meter.view) {
        meter.viewStale = false;
        meter.view->showMeter(meter.state);
    }
}

bool MeterBoard::isLive(const Deadline &deadline) const
{
    const Meter &meter = m_meters[std::size_t(deadline.index)];
    return meter.generation == deadline.generation && meter.state.online;
}

MeterBoard::Queue &MeterBoard::queueFor(int intervalMs)
{
    for (Queue &queue : m_queues) {
        if (queue.intervalMs == intervalMs)
            return queue;
    }
    m_queues.push_back({intervalMs, {}});
    return m_queues.back();
}

void MeterBoard::compact(Queue &queue)
{
    auto &entries = queue.entries;
    entries.erase(std::remove_if(entries.begin(), entries.end(), [this](const Deadline &d) { return !isLive(d); }),
                  entries.end());
}

void MeterBoard::expireDeadlines()
{
    m_armedAtMs = -1;
    const qint64 clockMs = m_clock.elapsed();
    std::vector<int> expired;
    for (Queue &queue : m_queues) {
        while (!queue.entries.empty()) {
            const Deadline &head = queue.entries.front();
            if (isLive(head)) {
                if (head.atMs > clockMs)
                    break;
                expired.push_back(head.index);
            }
            queue.entries.pop_front();
        }
    }
    // Listeners are told after the queues are consistent, since they may record or reset.
    const quint64 epoch = m_epoch;
    for (int index : expired) {
        if (m_epoch != epoch)
            return;
        markOffline(index);
    }
    if (m_armedAtMs < 0)
        armDeadlineTimer(m_clock.elapsed());
}

void MeterBoard::armDeadlineTimer(qint64 clockMs)
{
    qint64 earliest = -1;
    for (Queue &queue : m_queues) {
        while (!queue.entries.empty() && !isLive(queue.entries.front()))
            queue.entries.pop_front();
        if (!queue.entries.empty() && (earliest < 0 || queue.entries.front().atMs < earliest))
            earliest = queue.entries.front().atMs;
    }
    m_armedAtMs = earliest;
    if (earliest < 0)
        m_deadlineTimer.stop();
    else
        m_deadlineTimer.start(int(std::clamp<qint64>(earliest - clockMs, 0, std::numeric_limits<int>::max())));
}

void MeterBoard::refreshStaleViews()
{
    const std::size_t end = std::min(m_stale.size(), m_staleNext + kViewsPerPass);
    const quint64 epoch = m_epoch;
    while (m_staleNext < end) {
        Meter &meter = m_meters[std::size_t(m_stale[m_staleNext++])];
        if (meter.viewStale && meter.view) {
            meter.viewStale = false;
            meter.view->showMeter(meter.state);
            if (m_epoch != epoch)
                return;
        }
    }
    if (m_staleNext < m_stale.size()) {
        m_refreshTimer.start(0);
    } else {
        m_stale.clear();
        m_staleNext = 0;
    }
}

void MeterBoard::refreshShownViews()
{
    const std::vector<int> due = std::exchange(m_shownStale, {});
    const quint64 epoch = m_epoch;
    const qint64 clockMs = m_clock.elapsed();
    for (int index : due) {
        Meter &meter = m_meters[std::size_t(index)];
        if (meter.viewStale && meter.viewShown && meter.view) {
            meter.viewStale = false;
            meter.shownAtMs = clockMs;
            meter.view->showMeter(meter.state);
            if (m_epoch != epoch)
                return;
        }
    }
}
