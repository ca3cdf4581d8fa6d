#pragma once

#include "watch/eventstore.h"

#include <QObject>

#include <memory>

// The events of the meters and the broker, newest last, in a store that can be swapped: in
// memory unless history is recorded, then beside the readings.
class EventLog final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EventLog)

public:
    // In memory, the last MemoryEventStore::kCapacity events.
    explicit EventLog(QObject *parent = nullptr);
    ~EventLog() override;

    // Events from now on go to store; what the old store held is gone from view.
    void setStore(std::unique_ptr<EventStore> store);

    void add(const WatchEvent &event);
    // At most `limit` of the newest events, newest first.
    QVector<WatchEvent> newest(int limit) const;

signals:
    void eventAdded(const WatchEvent &event);
    // After setStore(), and when the store's events arrived from its file:
    // whoever shows the log reads it again.
    void storeChanged();

private:
    std::unique_ptr<EventStore> m_store;
};
