#include "history/memoryhistorystore.h"

#include <algorithm>
#include <iterator>

HistoryRetention MemoryHistoryStore::retention(int meters)
{
    constexpr qint64 kHour = 60 * 60;
    constexpr qint64 kShortest = 10;
    const qint64 span = std::clamp(kRows / std::max(1, meters), kShortest, kHour);
    return {span, span};
}

MemoryHistoryStore::MemoryHistoryStore(const HistoryRetention &retention) : m_retention(retention) {}

void MemoryHistoryStore::close()
{
    m_open = false;
    m_meterIndex.clear();
    m_meters.clear();
    m_events.clear();
}

bool MemoryHistoryStore::write(const QVector<HistoryRow> &rows)
{
    if (!m_open)
        return false;
    for (const HistoryRow &row : rows) {
        auto index = m_meterIndex.constFind(row.topic);
        if (index == m_meterIndex.cend()) {
            index = m_meterIndex.insert(row.topic, int(m_meters.size()));
            m_meters.emplace_back();
        }
        store(&m_meters[std::size_t(*index)], row);
        m_newest = std::max(m_newest.value_or(row.second), row.second);
    }
    return true;
}

void MemoryHistoryStore::store(Rows *rows, const HistoryRow &row)
{
    if (rows->empty() || rows->back().second < row.second) {
        rows->push_back({row.second, row.reading});
        return;
    }
    // After the second's readings so far: the clock was set back over it, or
    // the reading takes the place of the last of them.
    const auto after = std::upper_bound(rows->begin(), rows->end(), row.second,
                                        [](qint64 second, const Row &stored) { return second < stored.second; });
    if (row.replacesLast && after != rows->begin() && std::prev(after)->second == row.second) {
        std::prev(after)->reading = row.reading;
        return;
    }
    rows->insert(after, {row.second, row.reading});
}

bool MemoryHistoryStore::maintain(qint64 now, int budget)
{
    if (!m_open)
        return false;
    const qint64 before = now - m_retention.keep;
    // Events stay as long as readings do. Written in the order they came,
    // not in the order of their time, so any of them may be due.
    const qint64 eventsBefore = before * 1000;
    int used = 0;
    bool more = false;
    for (auto event = m_events.begin(); event != m_events.end();) {
        if (event->timeMs >= eventsBefore) {
            ++event;
            continue;
        }
        if (used == budget) {
            more = true;
            break;
        }
        event = m_events.erase(event);
        ++used;
    }

    const std::size_t meters = m_meters.size();
    std::size_t visited = 0;
    for (; visited < meters && used < budget; ++visited) {
        Rows &rows = m_meters[(m_nextMeter + visited) % meters];
        while (!rows.empty() && rows.front().second < before && used < budget) {
            rows.pop_front();
            ++used;
            ++m_removedReadings;
        }
        if (!rows.empty() && rows.front().second < before)
            more = true;
    }
    // A meter left unfinished waits for the others' turn before its own comes again.
    if (meters > 0)
        m_nextMeter = (m_nextMeter + visited) % meters;
    return more || (used >= budget && visited < meters);
}

QVector<StoredRow> MemoryHistoryStore::rows(const QString &topic, qint64 from, qint64 to,
                                            const QVector<HistoryField> &fields)
{
    QVector<StoredRow> result;
    const auto index = m_meterIndex.constFind(topic);
    if (!m_open || index == m_meterIndex.cend() || from > to)
        return result;
    const Rows &rows = m_meters[std::size_t(*index)];
    const auto first = std::lower_bound(rows.begin(), rows.end(), from,
                                        [](const Row &stored, qint64 second) { return stored.second < second; });
    for (auto row = first; row != rows.end() && row->second <= to; ++row) {
        StoredRow stored;
        stored.second = row->second;
        for (const HistoryField field : fields)
            setHistoryFieldValue(&stored.last, field, historyFieldValue(row->reading, field));
        stored.least = stored.greatest = stored.last;
        result.append(stored);
    }
    return result;
}

std::optional<qint64> MemoryHistoryStore::oldestSecond(const QString &topic)
{
    const auto index = m_meterIndex.constFind(topic);
    if (!m_open || index == m_meterIndex.cend() || m_meters[std::size_t(*index)].empty())
        return std::nullopt;
    return m_meters[std::size_t(*index)].front().second;
}

bool MemoryHistoryStore::writeEvents(const QVector<HistoryEvent> &events)
{
    if (!m_open)
        return false;
    m_events.insert(m_events.end(), events.begin(), events.end());
    return true;
}

QVector<HistoryEvent> MemoryHistoryStore::events(int limit)
{
    QVector<HistoryEvent> result;
    if (!m_open || limit <= 0)
        return result;
    const std::size_t count = std::min(std::size_t(limit), m_events.size());
    result.reserve(int(count));
    std::copy_n(m_events.rbegin(), count, std::back_inserter(result));
    return result;
}

void MemoryHistoryStore::forget(const QString &topic)
{
    const auto index = m_meterIndex.constFind(topic);
    if (index != m_meterIndex.cend())
        Rows().swap(m_meters[std::size_t(*index)]);
}
