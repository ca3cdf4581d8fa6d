#pragma once

#include "history/historydata.h"
#include "history/historytarget.h"

#include <QHash>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <memory>

class HistoryWriter;

// Records every meter's readings and answers the charts' questions about
// them. It lives on the window's thread and costs a hash lookup per reading:
// each meter's last reading of a second waits here, and once a second all of
// them go to the writer thread as one batch, written in one transaction. So
// the disk sees at most one row per meter per second and one transaction per
// second, however fast the readings come.
//
// The rows go where the target says: an SQLite file, the PostgreSQL
// database a plant shares, or (recording switched off) the memory, which
// keeps the last hour (less of a plant too large for it to fit in about a
// million rows), so that the chart works either way. A shared
// database may also be only read: the charts show what a recorder service
// wrote. If the target cannot be used, stopped() says why, the readings go on
// in memory and the target is tried again, 5 s later, then after twice as
// long each time up to a minute; once it takes rows again, what memory kept
// (up to HistoryOptions::fallbackSeconds) goes into it and resumed() says
// so. What did not fit is counted (lost()).
class HistoryRecorder final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryRecorder)

public:
    static constexpr int kFlushIntervalMs = 1000;
    // The file's name, beside Settings.conf.
    static QString fileNameIn(const QString &directory);

    explicit HistoryRecorder(const HistoryTarget &target, int days = 30, const HistoryOptions &options = {},
                             QObject *parent = nullptr);
    // Into that file, or with an empty name into memory only.
    explicit HistoryRecorder(const QString &fileName, int days = 30, const HistoryOptions &options = {},
                             QObject *parent = nullptr);
    ~HistoryRecorder() override;

    // The reading a meter (known by its topic) sent during `second` (UTC
    // seconds since the epoch); a later reading of the same second replaces
    // it. A reading of an earlier second (the clock was set back) is kept
    // beside what was stored for that second.
    void record(const QString &topic, const Reading &reading, qint64 second);
    // Hands what waits to the writer now rather than at the next tick.
    void flush();
    // How many days the file keeps, from now on.
    void setDays(int days);

    // True while readings go into the file or the shared database.
    bool recordsToDisk() const { return m_target.writesDurably() && m_problem.kind == HistoryProblem::None; }
    const HistoryTarget &target() const { return m_target; }
    // Readings that did not fit in memory while the target failed, since the start.
    qint64 lostReadings() const { return m_lost; }
    const HistoryProblem &problem() const { return m_problem; }
    // What the memory keeps while readings go there (recording off, or the
    // file failed): the last hour of a small plant, less of a large one.
    const HistoryRetention &memoryRetention() const { return m_memoryRetention; }
    // Why retention waits for the clock; ClockDoubt::None while it goes on.
    ClockDoubt clockDoubt() const { return m_clockDoubt; }
    // What was said when the file was last deleted or replaced, with the
    // time; empty if it never was.
    const QString &fileNotice() const { return m_fileNotice; }
    // The status bar's words for a problem, and for a doubt of the clock.
    static QString describe(const HistoryProblem &problem);
    static QString describe(ClockDoubt doubt);

    // An entry of the event log, handed to the writer at once (events are
    // few, and one written with a second's batch could be lost with it).
    void recordEvent(const HistoryEvent &event);

    // Asynchronous: the answer comes in chartReady() / rowsReady() with the
    // id returned here. Readings still waiting for their flush are not in it.
    quint64 requestChart(const HistoryChartRequest &request);
    quint64 requestRows(const QString &topic, qint64 from, qint64 to);
    // The same rows, answered in encodedRowsReady() as `encoder` made them on the writer thread.
    quint64 requestEncodedRows(const QString &topic, qint64 from, qint64 to, const HistoryRowsEncoder &encoder);
    // At most `limit` of the events recorded last, newest first, answered in
    // eventsReady(); those recorded before this call are in the answer.
    quint64 requestEvents(int limit);

signals:
    void chartReady(const HistoryChart &chart);
    void rowsReady(quint64 id, const QVector<StoredRow> &rows);
    void encodedRowsReady(quint64 id, const QByteArray &bytes);
    void eventsReady(quint64 id, const QVector<HistoryEvent> &events);
    // A batch of that many rows reached the store; or, every second, none,
    // while this program only reads a history the recorder service writes.
    void written(int rows);
    // The file is not written (or no longer for the same reason); the
    // readings are kept in memory and the file is tried again after a while.
    void stopped(const HistoryProblem &problem);
    // The file is written again, with what memory kept meanwhile.
    void resumed();
    // history.sqlite was deleted or replaced while open; the file at the path
    // now (a new one, if none) is written from here on.
    void reopened(bool replaced);
    void clockDoubtChanged(ClockDoubt doubt);
    // While the target failed, this many readings more did not fit in memory.
    void lost(qint64 readings);
    void memoryRetentionChanged(const HistoryRetention &retention);
    // Something the user should hear of, in words: for the status bar and the event log.
    void notice(const QString &text);

private:
    struct Waiting
    {
        qint64 second = 0;
        Reading reading;
        bool pending = false; // the reading is still to be handed over
        bool handed = false;  // a reading of `second` was handed over already
    };

    const HistoryTarget m_target;
    HistoryProblem m_problem;
    qint64 m_lost = 0;
    qint64 m_lostSinceStop = 0;
    ClockDoubt m_clockDoubt = ClockDoubt::None;
    HistoryRetention m_memoryRetention;
    QString m_fileNotice;
    QHash<QString, Waiting> m_waiting;
    // Rows whose second ended before the flush, in arrival order.
    QVector<HistoryRow> m_batch;
    QTimer m_flushTimer;
    quint64 m_lastRequest = 0;
    QThread m_thread;
    std::unique_ptr<HistoryWriter> m_writer; // lives on m_thread until it finishes
};
