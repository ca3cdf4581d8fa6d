#include "watch/recordedeventstore.h"

#include "history/historyrecorder.h"

namespace {

HistoryEvent toStored(const WatchEvent &event)
{
    return {event.timeMs, int(event.kind), event.topic, event.meter, event.value, event.limit};
}

} // namespace

RecordedEventStore::RecordedEventStore(HistoryRecorder *recorder)
    : m_recorder(recorder), m_shown(std::make_unique<MemoryEventStore>())
{
    if (!recorder)
        return;
    const quint64 request = recorder->requestEvents(MemoryEventStore::kCapacity);
    QObject::connect(recorder, &HistoryRecorder::eventsReady, &m_context,
                     [this, request](quint64 id, const QVector<HistoryEvent> &stored) {
                         if (id == request)
                             load(stored);
                     });
}

RecordedEventStore::~RecordedEventStore() = default;

void RecordedEventStore::append(const WatchEvent &event)
{
    m_shown->append(event);
    if (m_recorder)
        m_recorder->recordEvent(toStored(event));
}

QVector<WatchEvent> RecordedEventStore::newest(int limit) const
{
    return m_shown->newest(limit);
}

void RecordedEventStore::load(const QVector<HistoryEvent> &stored)
{
    // The answer holds what the file had when it was asked, before anything
    // appended since: those follow it.
    const QVector<WatchEvent> appended = m_shown->newest(MemoryEventStore::kCapacity);
    auto shown = std::make_unique<MemoryEventStore>();
    for (auto it = stored.crbegin(); it != stored.crend(); ++it) {
        // A kind a later program added means nothing here.
        if (it->kind < 0 || it->kind >= kEventKindCount)
            continue;
        shown->append({it->timeMs, EventKind(it->kind), it->topic, it->meter, it->value, it->limit});
    }
    for (auto it = appended.crbegin(); it != appended.crend(); ++it)
        shown->append(*it);
    m_shown = std::move(shown);
    changed();
}
