#include "watch/memoryeventstore.h"

#include <algorithm>

MemoryEventStore::MemoryEventStore(int capacity) : m_capacity(std::size_t(std::max(1, capacity))) {}

void MemoryEventStore::append(const WatchEvent &event)
{
    if (m_events.size() == m_capacity)
        m_events.pop_front();
    m_events.push_back(event);
}

QVector<WatchEvent> MemoryEventStore::newest(int limit) const
{
    const std::size_t count = std::min(m_events.size(), std::size_t(std::max(0, limit)));
    QVector<WatchEvent> events;
    events.reserve(int(count));
    std::copy_n(m_events.rbegin(), count, std::back_inserter(events));
    return events;
}
