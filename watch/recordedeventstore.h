#pragma once

#include "watch/memoryeventstore.h"

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>

class HistoryRecorder;
struct HistoryEvent;

// The event log in the history's file, beside the readings and kept as long:
// each event goes to the recorder's writer as it comes, and the log shows the
// last MemoryEventStore::kCapacity of them from memory, so that neither an
// event nor a look at the log waits for the disk. The file's newest events are
// read once, in the background, and come before those appended meanwhile.
//
// A history a plant shares is written by others too (the recorder service
// above all): read again every refreshMs, the log follows theirs. A window
// that only reads it shows its own events between two reads, and them alone
// while the shared history cannot be reached.
class RecordedEventStore final : public EventStore
{
public:
    static constexpr int kSharedRefreshMs = 10000;

    // The recorder must record to a file or a shared history; if it goes
    // first, events stay in memory. With refreshMs 0, its events are read once.
    explicit RecordedEventStore(HistoryRecorder *recorder, int refreshMs = 0);
    ~RecordedEventStore() override;

    void append(const WatchEvent &event) override;
    QVector<WatchEvent> newest(int limit) const override;

private:
    void request();
    void load(const QVector<HistoryEvent> &stored);

    QPointer<HistoryRecorder> m_recorder;
    std::unique_ptr<MemoryEventStore> m_shown;
    // Appended since the last request, which its answer does not hold.
    QVector<WatchEvent> m_appended;
    quint64 m_request = 0;
    bool m_awaiting = false;
    // What the last answer held: the same again changes nothing on view.
    qint64 m_storedCount = -1;
    qint64 m_storedNewestMs = 0;
    // The receiver of the file's answer: gone with the store, so a late answer is dropped.
    QObject m_context;
    QTimer m_refresh;
};
