#pragma once

// The values that pass between the recorder on the window's thread and the
// store on the writer thread. They cross threads inside queued calls, so each
// is a plain value, copied (or implicitly shared) on the way.

#include "measurement/payload.h"

#include <QByteArray>
#include <QMetaType>
#include <QPointF>
#include <QString>
#include <QVector>

#include <functional>
#include <memory>
#include <optional>

class HistoryClock;

// The eight values of a reading, in payload order. Stored columns are named
// after the payload keys (see historyFieldKey()).
enum class HistoryField
{
    DevType,
    DevMode,
    NumStarts,
    TCommon,
    TCurrent,
    TLast,
    Voltage,
    Freq
};
constexpr int kHistoryFieldCount = 8;

HistoryField historyFieldAt(int index);
// The payload key of a field, "dev_type" ... "freq".
QLatin1String historyFieldKey(HistoryField field);
int historyFieldValue(const Reading &reading, HistoryField field);
void setHistoryFieldValue(Reading *reading, HistoryField field, int value);

// A meter silent for longer than this has a gap in its chart: as long as a
// panel waits before it marks its meter offline.
constexpr qint64 kHistorySilenceSeconds = 10;

// A meter's last reading of one second (UTC seconds since the epoch), as the
// recorder hands it to the store.
struct HistoryRow
{
    QString topic;
    qint64 second = 0;
    Reading reading;
    // A later reading of the second the recorder handed over last for this
    // meter: it takes that row's place. Any other row for a second already
    // stored (the clock was set back) is kept beside the stored ones.
    bool replacesLast = false;
};

// One stored row as read back: a second at full resolution (span 1, all three
// readings alike), or a minute folded into the least, greatest and last value
// of each field (span 60).
struct StoredRow
{
    qint64 second = 0;
    int span = 1;
    Reading least;
    Reading greatest;
    Reading last;
};

// An entry of the event log as the file keeps it beside the readings. The
// history knows no more of it than its fields: what the kind's number means
// is the event log's business.
struct HistoryEvent
{
    qint64 timeMs = 0; // since the epoch
    int kind = 0;
    QString topic; // empty for an event of no meter
    QString meter;
    int value = 0;
    int limit = 0;
};

// Turns stored rows into bytes (a file's text, say) on the writer thread, so
// that a long range costs the window nothing. As it runs there, it may touch
// nothing but its argument.
using HistoryRowsEncoder = std::function<QByteArray(const QVector<StoredRow> &rows)>;

// What a chart asks for: the stored values of some fields of a meter between
// two UTC seconds (both included), thinned to `columns` pixel columns.
struct HistoryChartRequest
{
    QString topic;
    qint64 from = 0;
    qint64 to = 0;
    int columns = 1000;
    QVector<HistoryField> fields;
};

// One field over time, ready to draw: x in milliseconds since the epoch (as
// QwtDate counts), y the value. The points of all stretches follow one another
// in time order; stretchStarts holds the index of each stretch's first point.
// A stretch ends where the meter fell silent, so no line crosses the silence.
struct HistorySeries
{
    QVector<QPointF> points;
    QVector<int> stretchStarts;
};

// The answer to a HistoryChartRequest: one series per requested field, in the
// order asked. from and to are the range the rows were thinned over: the one
// asked for, with its start moved up to the oldest row in it.
struct HistoryChart
{
    quint64 id = 0;
    QString topic;
    qint64 from = 0;
    qint64 to = 0;
    int storedRows = 0;
    // The meter's oldest stored second, whatever the range asked for.
    std::optional<qint64> oldest;
    QVector<HistorySeries> series;
};

// Why recording stopped.
struct HistoryProblem
{
    enum Kind
    {
        None,
        CannotOpen,  // the file could not be opened or created
        Damaged,     // the file is not a sound database; it was moved aside
        NewerFormat, // written by a newer version of the program; left alone
        DiskFull,
        Failed // any other SQLite error: an I/O error, a lock held too long
    };
    Kind kind = None;
    QString fileName; // of the shared history: user@host:port/database
    QString movedTo;  // for Damaged: where the file went
    QString detail;   // SQLite's own words, or PostgreSQL's
    // The history a plant shares (PostgreSQL), not a file.
    bool shared = false;
};

// Why retention waits rather than go by the computer's clock (see RetentionClock).
enum class ClockDoubt
{
    None,
    Ahead, // more than a day further than it should have gone since the last look
    Behind // behind the newest stored row
};

// How long rows stay, in seconds: younger than fullResolution, one row per
// meter per second; then one row per meter per minute (least, greatest and
// last value of each field) until they are older than keep, when they go.
// With keep no longer than fullResolution nothing is folded: rows simply go.
struct HistoryRetention
{
    qint64 fullResolution = 0;
    qint64 keep = 0;

    bool operator==(const HistoryRetention &other) const
    {
        return fullResolution == other.fullResolution && keep == other.keep;
    }
    bool operator!=(const HistoryRetention &other) const { return !(*this == other); }
};

// What the recorder's writer goes by. The defaults are the program's; tests
// put in a clock of their own and shorter waits.
struct HistoryOptions
{
    // Null: the computer's clocks.
    std::shared_ptr<const HistoryClock> clock;
    // After a failure the file is tried again after the first wait, then
    // after twice as long each time, up to the last.
    int firstRetryMs = 5 * 1000;
    int lastRetryMs = 60 * 1000;
    // Meanwhile the memory keeps this many seconds of readings; what is
    // older goes, and is counted (HistoryWriter::lost()).
    qint64 fallbackSeconds = 60 * 60;
};

Q_DECLARE_METATYPE(ClockDoubt)
Q_DECLARE_METATYPE(HistoryRetention)
Q_DECLARE_METATYPE(HistoryChart)
Q_DECLARE_METATYPE(HistoryProblem)
Q_DECLARE_METATYPE(QVector<StoredRow>)
Q_DECLARE_METATYPE(QVector<HistoryEvent>)
