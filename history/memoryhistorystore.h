#pragma once

#include "history/historydata.h"
#include "history/historystorage.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <deque>
#include <optional>
#include <vector>

// The readings this program keeps in memory: the history the window shows
// while nothing records (second by second, as much of the last hour as fits
// in kRows rows), or what waits while the store that records is away.
//
// Each meter's rows lie in one deque in time order, a second's readings in
// the order they came: a reading goes to the back in all but a clock set
// back, and retention takes from the front. So a reading costs about a
// tenth of a microsecond and some 43 bytes, where an SQLite table in memory
// cost 3 to 5 µs and about 64 bytes: at ten thousand meters a second, the
// difference was most of what the program spent beyond reading its socket.
// Nothing is ever folded into minutes.
//
// Never fails: problem() stays None, and only close() ends it.
class MemoryHistoryStore final : public HistoryStorage
{
public:
    // About 40 MB of rows, whatever the number of meters.
    static constexpr qint64 kRows = 1 << 20;
    // What is kept of that many meters: the last hour, or as much of it as
    // fits in kRows rows (about a quarter of an hour for a thousand meters,
    // under two minutes for ten thousand).
    static HistoryRetention retention(int meters = 1);

    explicit MemoryHistoryStore(const HistoryRetention &retention);

    void close() override;
    bool isOpen() const override { return m_open; }
    const HistoryProblem &problem() const override { return m_problem; }
    // Only `keep` counts: rows are never folded.
    void setRetention(const HistoryRetention &retention) override { m_retention = retention; }

    // A row for a meter and second already stored is kept beside the stored
    // ones, after them, unless it replaces the last of them
    // (HistoryRow::replacesLast).
    bool write(const QVector<HistoryRow> &rows) override;
    bool maintain(qint64 now, int budget) override;
    std::optional<qint64> newestSecond() const override { return m_newest; }
    QVector<StoredRow> rows(const QString &topic, qint64 from, qint64 to, const QVector<HistoryField> &fields) override;
    std::optional<qint64> oldestSecond(const QString &topic) override;
    bool writeEvents(const QVector<HistoryEvent> &events) override;
    QVector<HistoryEvent> events(int limit) override;

    // The meters ever written, forgotten ones included.
    int meterCount() const { return int(m_meters.size()); }
    QStringList topics() const { return m_meterIndex.keys(); }
    void forget(const QString &topic);
    // Readings that retention removed since the store was made: those that
    // no longer fitted.
    qint64 removedReadings() const { return m_removedReadings; }

private:
    struct Row
    {
        qint64 second;
        Reading reading;
    };
    using Rows = std::deque<Row>;

    void store(Rows *rows, const HistoryRow &row);

    bool m_open = true;
    HistoryProblem m_problem;
    HistoryRetention m_retention;
    QHash<QString, int> m_meterIndex;
    std::vector<Rows> m_meters;
    std::size_t m_nextMeter = 0;       // where the next retention step starts, so every meter gets its turn
    std::deque<HistoryEvent> m_events; // in the order written
    std::optional<qint64> m_newest;
    qint64 m_removedReadings = 0;
};
