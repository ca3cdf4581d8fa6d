#pragma once

#include "watch/eventstore.h"

#include <deque>

// The last kCapacity events, in memory: the log while nothing is recorded to disk.
class MemoryEventStore final : public EventStore
{
public:
    static constexpr int kCapacity = 10000;

    explicit MemoryEventStore(int capacity = kCapacity);

    void append(const WatchEvent &event) override;
    QVector<WatchEvent> newest(int limit) const override;

private:
    const std::size_t m_capacity;
    std::deque<WatchEvent> m_events; // oldest first
};
