#pragma once

#include "watch/watchevent.h"

#include <QVector>

// Where the event log keeps its events: in memory, or in a file that outlives the program.
// Implementations are used from one thread, the one that owns the log.
class EventStore
{
public:
    virtual ~EventStore() = default;

    virtual void append(const WatchEvent &event) = 0;
    // At most `limit` of the newest events, newest first.
    virtual QVector<WatchEvent> newest(int limit) const = 0;
};
