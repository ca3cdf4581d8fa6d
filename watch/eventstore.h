#pragma once

#include "watch/watchevent.h"

#include <QVector>

#include <functional>
#include <utility>

// Where the event log keeps its events: in memory, or in a file that outlives the program.
// Implementations are used from one thread, the one that owns the log.
class EventStore
{
public:
    virtual ~EventStore() = default;

    virtual void append(const WatchEvent &event) = 0;
    // At most `limit` of the newest events, newest first.
    virtual QVector<WatchEvent> newest(int limit) const = 0;

    // Called when what newest() answers changed other than by append(): a
    // file's events, read in the background, arrived.
    void setChangedHandler(std::function<void()> handler) { m_changed = std::move(handler); }

protected:
    void changed()
    {
        if (m_changed)
            m_changed();
    }

private:
    std::function<void()> m_changed;
};
