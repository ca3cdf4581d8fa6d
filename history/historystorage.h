#pragma once

#include "history/historydata.h"

#include <QString>
#include <QVector>

#include <optional>

// What the writer keeps readings in: the history file (HistoryStore,
// SQLite), the database a plant shares (PostgresHistoryStore), or the memory
// (MemoryHistoryStore). The writer, and through it the window, its chart,
// the CSV export and the recorder service, do not know which. Each is used
// from one thread, the one that opened it; any failure closes it and leaves
// the reason in problem().
class HistoryStorage
{
public:
    virtual ~HistoryStorage() = default;

    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    virtual const HistoryProblem &problem() const = 0;
    // From the next retention step on.
    virtual void setRetention(const HistoryRetention &retention) = 0;

    // Stores the rows in one transaction.
    virtual bool write(const QVector<HistoryRow> &rows) = 0;
    // One step of retention as of `now` (UTC seconds), touching about
    // `budget` rows; true while work is left, so the caller can come back soon.
    virtual bool maintain(qint64 now, int budget) = 0;
    // The newest second this store knows to be stored: what retention holds the clock against.
    virtual std::optional<qint64> newestSecond() const = 0;

    // The rows of a meter between two seconds (both included), oldest first,
    // with the requested fields filled in.
    virtual QVector<StoredRow> rows(const QString &topic, qint64 from, qint64 to,
                                    const QVector<HistoryField> &fields) = 0;
    // The meter's oldest stored second, if it has any rows.
    virtual std::optional<qint64> oldestSecond(const QString &topic) = 0;
    // A range of rows() thinned to the request's pixel columns, with the
    // meter's oldest second: what the history window draws.
    HistoryChart chart(const HistoryChartRequest &request);

    // The event log beside the readings, kept as long: appends the events in
    // one transaction, and answers at most `limit` of those written last,
    // newest first.
    virtual bool writeEvents(const QVector<HistoryEvent> &events) = 0;
    virtual QVector<HistoryEvent> events(int limit) = 0;

    // Whether what is written still goes where the user looks: false once a
    // file was deleted or replaced under it.
    virtual bool inPlace() const { return true; }
};
