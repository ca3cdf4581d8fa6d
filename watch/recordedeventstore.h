#pragma once

#include "watch/memoryeventstore.h"

#include <QObject>
#include <QPointer>

#include <memory>

class HistoryRecorder;
struct HistoryEvent;

// The event log in the history's file, beside the readings and kept as long:
// each event goes to the recorder's writer as it comes, and the log shows the
// last MemoryEventStore::kCapacity of them from memory, so that neither an
// event nor a look at the log waits for the disk. The file's newest events are
// read once, in the background, and come before those appended meanwhile.
class RecordedEventStore final : public EventStore
{
public:
    // The recorder must record to a file; if it goes first, events stay in memory.
    explicit RecordedEventStore(HistoryRecorder *recorder);
    ~RecordedEventStore() override;

    void append(const WatchEvent &event) override;
    QVector<WatchEvent> newest(int limit) const override;

private:
    void load(const QVector<HistoryEvent> &stored);

    QPointer<HistoryRecorder> m_recorder;
    std::unique_ptr<MemoryEventStore> m_shown;
    // The receiver of the file's answer: gone with the store, so a late answer is dropped.
    QObject m_context;
};
