#pragma once

#include "history/historydata.h"
#include "history/historystore.h"
#include "history/retentionclock.h"

#include <QObject>

class QTimer;

// The store's side of the recorder. It lives on the writer thread and owns
// the store there, so that a large batch, a slow disk or a long range asked
// for by a chart never holds up the window. Every public function runs on the
// writer thread, called in a queued call from the recorder; the answers go
// back as queued signals of plain values.
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

    // An empty file name keeps the readings in memory only.
    HistoryWriter(const QString &fileName, int days, const HistoryOptions &options);
    ~HistoryWriter() override;

    void start();
    void write(const QVector<HistoryRow> &rows);
    void chart(quint64 id, const HistoryChartRequest &request);
    void rows(quint64 id, const QString &topic, qint64 from, qint64 to);
    void encodedRows(quint64 id, const QString &topic, qint64 from, qint64 to, const HistoryRowsEncoder &encoder);
    void writeEvents(const QVector<HistoryEvent> &events);
    void events(quint64 id, int limit);
    // Keeps a file's readings that many days from now on; the memory keeps its hour.
    void setDays(int days);
    // Closes the store and hands the object to `home`, whose thread deletes it.
    void finish(QThread *home);

signals:
    void written(int rows);
    void chartReady(const HistoryChart &chart);
    void rowsReady(quint64 id, const QVector<StoredRow> &rows);
    void encodedRowsReady(quint64 id, const QByteArray &bytes);
    void eventsReady(quint64 id, const QVector<HistoryEvent> &events);
    // The file is no longer written (or no longer for this reason); the
    // readings go on in memory, and the file is tried again after a while.
    void stopped(const HistoryProblem &problem);
    // The file is written again, the readings kept in memory meanwhile first.
    void resumed();
    // The file at the path was not the one written (replaced: another file
    // stands there; else it was gone): the one there now, or a new one, is.
    void reopened(bool replaced);
    // Retention waits for the clock, or goes on again (ClockDoubt::None).
    void clockDoubtChanged(ClockDoubt doubt);

private:
    QVector<StoredRow> storedRows(const QString &topic, qint64 from, qint64 to);
    void maintain();
    // After a failure of the file: says why, goes on in memory and tries the file again later.
    void fallBack(const HistoryProblem &problem);
    void retryFile();
    // Writes what the memory kept into the file, meter by meter; a meter's
    // rows leave the memory once they are in the file.
    bool catchUp(HistoryStore *file);
    void checkFile();
    bool writesToFile() const { return !m_fileName.isEmpty() && !m_store->inMemory(); }

    const QString m_fileName;
    int m_days;
    const std::shared_ptr<const HistoryClock> m_clock;
    RetentionClock m_retentionClock;
    ClockDoubt m_clockDoubt = ClockDoubt::None;
    const int m_firstRetryMs;
    const int m_lastRetryMs;
    int m_retryMs;
    std::unique_ptr<HistoryStore> m_store;
    HistoryProblem m_problem;        // why the file is not written, while it is not
    QTimer *m_maintenance = nullptr; // child
    QTimer *m_retry = nullptr;       // child
    QTimer *m_fileCheck = nullptr;   // child
};
