#include "watch/recordedeventstore.h"

#include "history/historyrecorder.h"

namespace {

HistoryEvent toStored(const WatchEvent &event)
{
    return {event.timeMs, int(event.kind), event.topic, event.meter, event.value, event.limit};
}

} // namespace

RecordedEventStore::RecordedEventStore(HistoryRecorder *recorder, int refreshMs)
    : m_recorder(recorder), m_shown(std::make_unique<MemoryEventStore>())
{
    if (!recorder)
        return;
    QObject::connect(recorder, &HistoryRecorder::eventsReady, &m_context,
                     [this](quint64 id, const QVector<HistoryEvent> &stored) {
                         if (id == m_request)
                             load(stored);
                     });
    request();
    if (refreshMs > 0) {
        QObject::connect(&m_refresh, &QTimer::timeout, &m_context, [this] { request(); });
        m_refresh.start(refreshMs);
    }
}

void RecordedEventStore::request()
{
    if (!m_recorder)
        return;
    m_request = m_recorder->requestEvents(MemoryEventStore::kCapacity);
    m_appended.clear();
    m_awaiting = true;
}

RecordedEventStore::~RecordedEventStore() = default;

void RecordedEventStore::append(const WatchEvent &event)
{
    m_shown->append(event);
    if (m_awaiting)
        m_appended.append(event);
    if (m_recorder)
        m_recorder->recordEvent(toStored(event));
}

QVector<WatchEvent> RecordedEventStore::newest(int limit) const
{
    return m_shown->newest(limit);
}

void RecordedEventStore::load(const QVector<HistoryEvent> &stored)
{
    m_awaiting = false;
    const qint64 newestMs = stored.isEmpty() ? 0 : stored.constFirst().timeMs;
    if (m_appended.isEmpty() && stored.size() == m_storedCount && newestMs == m_storedNewestMs)
        return;
    m_storedCount = stored.size();
    m_storedNewestMs = newestMs;
    // The answer holds what the store had when it was asked, before anything
    // appended since: those follow it.
    auto shown = std::make_unique<MemoryEventStore>();
    for (auto it = stored.crbegin(); it != stored.crend(); ++it) {
        // A kind a later program added means nothing here.
        if (it->kind < 0 || it->kind >= kEventKindCount)
            continue;
        shown->append({it->timeMs, EventKind(it->kind), it->topic, it->meter, it->value, it->limit});
    }
    for (const WatchEvent &event : qAsConst(m_appended))
        shown->append(event);
    m_shown = std::move(shown);
    changed();
}
