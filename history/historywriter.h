#pragma once

#include "history/historydata.h"
#include "history/historystore.h"
#include "history/historytarget.h"
#include "history/memoryhistorystore.h"
#include "history/retentionclock.h"

#include <QObject>

#include <memory>

class QTimer;

// The store's side of the recorder. It lives on the writer thread and owns
// the stores there, so that a large batch, a slow disk or a long range asked
// for by a chart never holds up the window. Every public function runs on the
// writer thread, called in a queued call from the recorder; the answers go
// back as queued signals of plain values.
//
// It holds the policy any store needs, whichever the target is (the file, the
// shared database, or none): the clock retention goes by, and what happens
// while the target fails. Then the readings go on into the memory, as many
// as options.fallbackSeconds hold, and the target is tried again after a
// while; once it works, what the memory kept is written into it first. A
// target that is only read (HistoryTarget::records false) answers the charts
// while it works, and the memory, which has this program's own readings,
// while it does not.
class HistoryWriter final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HistoryWriter)

public:
    // Retention runs in small steps: one every kMaintenanceIntervalMs, and
    // while a step leaves work over (after days switched off, say) one every
    // kCatchUpIntervalMs, so that writes and queries come in between.
    static constexpr int kMaintenanceIntervalMs = 5000;
    static constexpr int kCatchUpIntervalMs = 50;
    static constexpr int kMaintenanceBudget = 5000;
    // How often the file is looked at while no batch comes (each batch looks
    // before it is written): deleted or replaced, it is opened again at its path.
    static constexpr int kFileCheckIntervalMs = 3000;
    // What the memory kept goes into a target that works again in
    // transactions of about this many rows.
    static constexpr int kCatchUpRows = 50000;

    HistoryWriter(const HistoryTarget &target, int days, const HistoryOptions &options);
    ~HistoryWriter() override;

    void start();
    void write(const QVector<HistoryRow> &rows);
    void chart(quint64 id, const HistoryChartRequest &request);
    void rows(quint64 id, const QString &topic, qint64 from, qint64 to);
    void encodedRows(quint64 id, const QString &topic, qint64 from, qint64 to, const HistoryRowsEncoder &encoder);
    void writeEvents(const QVector<HistoryEvent> &events);
    void events(quint64 id, int limit);
    // Keeps the target's readings that many days from now on; the memory keeps its hour.
    void setDays(int days);
    // Closes the stores and hands the object to `home`, whose thread deletes it.
    void finish(QThread *home);

signals:
    void written(int rows);
    void chartReady(const HistoryChart &chart);
    void rowsReady(quint64 id, const QVector<StoredRow> &rows);
    void encodedRowsReady(quint64 id, const QByteArray &bytes);
    void eventsReady(quint64 id, const QVector<HistoryEvent> &events);
    // The target is not used (or no longer for this reason); the readings go
    // on in memory, and the target is tried again after a while.
    void stopped(const HistoryProblem &problem);
    // The target is used again, the readings kept in memory meanwhile written first.
    void resumed();
    // The file at the path was not the one written (replaced: another file
    // stands there; else it was gone): the one there now, or a new one, is.
    void reopened(bool replaced);
    // Retention waits for the clock, or goes on again (ClockDoubt::None).
    void clockDoubtChanged(ClockDoubt doubt);
    // While the target failed, this many readings more did not fit in the
    // memory: the oldest went, and the target will never have them.
    void lost(qint64 readings);
    // What the memory keeps, now that it holds more (or fewer) meters.
    void memoryRetentionChanged(const HistoryRetention &retention);

private:
    QVector<StoredRow> storedRows(const QString &topic, qint64 from, qint64 to);
    void maintain();
    // The target, while it is open.
    HistoryStorage *target() const { return m_store && m_store->isOpen() ? m_store.get() : nullptr; }
    // The memory, opened the first time it is needed.
    MemoryHistoryStore *memory();
    // After a failure of the target: says why, goes on in memory and tries the target again later.
    void fallBack(const HistoryProblem &problem);
    void retryTarget();
    // Writes what the memory kept into the target; a meter's rows leave the
    // memory once they are in the target.
    bool catchUp(HistoryStorage *store);
    // Sizes the memory's span to the meters it holds, while it is the
    // program's history (recording off) rather than a failed target's stand-in.
    void fitMemory();
    void checkFile();

    const HistoryTarget m_target;
    int m_days;
    const std::shared_ptr<const HistoryClock> m_clock;
    RetentionClock m_retentionClock;
    ClockDoubt m_clockDoubt = ClockDoubt::None;
    const int m_firstRetryMs;
    const int m_lastRetryMs;
    const qint64 m_fallbackSeconds;
    int m_retryMs;
    std::unique_ptr<HistoryStorage> m_store; // the target's
    std::unique_ptr<MemoryHistoryStore> m_memory;
    HistoryProblem m_problem; // why the target is not used, while it is not
    HistoryRetention m_memoryRetention;
    QTimer *m_maintenance = nullptr; // child
    QTimer *m_retry = nullptr;       // child
    QTimer *m_fileCheck = nullptr;   // child
};
