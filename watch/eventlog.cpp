#include "watch/eventlog.h"

#include "watch/memoryeventstore.h"

EventLog::EventLog(QObject *parent) : QObject(parent), m_store(std::make_unique<MemoryEventStore>()) {}

EventLog::~EventLog() = default;

void EventLog::setStore(std::unique_ptr<EventStore> store)
{
    m_store = store ? std::move(store) : std::make_unique<MemoryEventStore>();
    m_store->setChangedHandler([this] { emit storeChanged(); });
    emit storeChanged();
}

void EventLog::add(const WatchEvent &event)
{
    m_store->append(event);
    emit eventAdded(event);
}

QVector<WatchEvent> EventLog::newest(int limit) const
{
    return m_store->newest(limit);
}
