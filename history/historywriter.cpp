#include "history/historywriter.h"

#include "history/historyclock.h"

#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <limits>

HistoryWriter::HistoryWriter(const HistoryTarget &target, int days, const HistoryOptions &options)
    : m_target(target), m_days(days), m_clock(options.clock ? options.clock : std::make_shared<const HistoryClock>()),
      m_firstRetryMs(options.firstRetryMs), m_lastRetryMs(std::max(options.firstRetryMs, options.lastRetryMs)),
      m_fallbackSeconds(std::max<qint64>(60, options.fallbackSeconds)), m_retryMs(m_firstRetryMs)
{
}

HistoryWriter::~HistoryWriter() = default;

void HistoryWriter::start()
{
    m_maintenance = new QTimer(this);
    m_maintenance->setSingleShot(true);
    connect(m_maintenance, &QTimer::timeout, this, &HistoryWriter::maintain);
    m_retry = new QTimer(this);
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, &HistoryWriter::retryTarget);
    // Batches look before they write; this is for the time none come.
    m_fileCheck = new QTimer(this);
    connect(m_fileCheck, &QTimer::timeout, this, &HistoryWriter::checkFile);
    if (!m_target.fileName.isEmpty())
        m_fileCheck->start(kFileCheckIntervalMs);

    if (m_target.isMemoryOnly()) {
        memory();
    } else {
        m_store = m_target.open(HistoryStore::fileRetention(m_days));
        if (!target())
            fallBack(m_store->problem());
    }
    // Whatever piled up while the program was not running is folded and removed first.
    m_maintenance->start(0);
}

MemoryHistoryStore *HistoryWriter::memory()
{
    if (!m_memory) {
        // Standing in for a target that records, it keeps what it can hold
        // until the target is back; otherwise the hour the charts show.
        const HistoryRetention retention = m_target.writesDurably()
                                               ? HistoryRetention{m_fallbackSeconds, m_fallbackSeconds}
                                               : MemoryHistoryStore::retention();
        m_memory = std::make_unique<MemoryHistoryStore>(retention);
    }
    return m_memory.get();
}

void HistoryWriter::write(const QVector<HistoryRow> &rows)
{
    checkFile();
    if (m_target.writesDurably() && target()) {
        if (m_store->write(rows)) {
            emit written(rows.size());
            return;
        }
        fallBack(m_store->problem());
    }
    const bool stored = memory()->write(rows);
    fitMemory();
    if (stored)
        emit written(rows.size());
}

void HistoryWriter::writeEvents(const QVector<HistoryEvent> &events)
{
    checkFile();
    if (m_target.writesDurably() && target()) {
        if (m_store->writeEvents(events))
            return;
        fallBack(m_store->problem());
    }
    memory()->writeEvents(events);
}

void HistoryWriter::events(quint64 id, int limit)
{
    if (HistoryStorage *store = target()) {
        const QVector<HistoryEvent> events = store->events(limit);
        if (target()) {
            emit eventsReady(id, events);
            return;
        }
        fallBack(m_store->problem());
    }
    emit eventsReady(id, memory()->events(limit));
}

void HistoryWriter::chart(quint64 id, const HistoryChartRequest &request)
{
    HistoryChart chart;
    if (HistoryStorage *store = target()) {
        chart = store->chart(request);
        if (!target())
            fallBack(m_store->problem());
    }
    if (!target())
        chart = memory()->chart(request);
    chart.id = id;
    emit chartReady(chart);
}

void HistoryWriter::rows(quint64 id, const QString &topic, qint64 from, qint64 to)
{
    emit rowsReady(id, storedRows(topic, from, to));
}

void HistoryWriter::encodedRows(quint64 id, const QString &topic, qint64 from, qint64 to,
                                const HistoryRowsEncoder &encoder)
{
    emit encodedRowsReady(id, encoder(storedRows(topic, from, to)));
}

QVector<StoredRow> HistoryWriter::storedRows(const QString &topic, qint64 from, qint64 to)
{
    if (HistoryStorage *store = target()) {
        const QVector<StoredRow> rows = store->rows(topic, from, to, HistoryStore::allFields());
        if (target())
            return rows;
        fallBack(m_store->problem());
    }
    return memory()->rows(topic, from, to, HistoryStore::allFields());
}

void HistoryWriter::setDays(int days)
{
    m_days = days;
    if (m_target.writesDurably() && target()) {
        m_store->setRetention(HistoryStore::fileRetention(days));
        m_maintenance->start(0);
    }
}

void HistoryWriter::maintain()
{
    checkFile();
    const qint64 now = m_clock->utcSeconds();
    // A target only read is kept by whoever writes it.
    HistoryStorage *kept = m_target.writesDurably() ? target() : nullptr;
    const std::optional<qint64> newest = kept       ? kept->newestSecond()
                                         : m_memory ? m_memory->newestSecond()
                                                    : std::nullopt;
    const ClockDoubt doubt = m_retentionClock.check(now, m_clock->steadyMs(), newest);
    if (doubt != m_clockDoubt) {
        m_clockDoubt = doubt;
        emit clockDoubtChanged(doubt);
    }
    bool more = false;
    if (doubt == ClockDoubt::None) {
        if (kept) {
            more = kept->maintain(now, kMaintenanceBudget);
            if (!target())
                fallBack(m_store->problem());
        }
        if (m_memory && m_memory->isOpen()) {
            const qint64 removedBefore = m_memory->removedReadings();
            more = m_memory->maintain(now, kMaintenanceBudget) || more;
            const qint64 removed = m_memory->removedReadings() - removedBefore;
            if (removed > 0 && m_target.writesDurably())
                emit lost(removed);
        }
    }
    m_maintenance->start(more ? kCatchUpIntervalMs : kMaintenanceIntervalMs);
}

void HistoryWriter::fallBack(const HistoryProblem &problem)
{
    // A retry that fails as the last one did has nothing new to say. The
    // database's kinds are coarse: a server away and a password refused
    // differ in its own words only.
    const bool otherWords = problem.shared && problem.detail != m_problem.detail;
    if (problem.kind != m_problem.kind || !problem.movedTo.isEmpty() || m_problem.kind == HistoryProblem::None ||
        otherWords) {
        m_problem = problem;
        emit stopped(problem);
    }
    memory();
    m_retry->start(m_retryMs);
    m_retryMs = std::min(2 * m_retryMs, m_lastRetryMs);
}

void HistoryWriter::retryTarget()
{
    std::unique_ptr<HistoryStorage> store = m_target.open(HistoryStore::fileRetention(m_days));
    if (!store->isOpen() || (m_target.writesDurably() && !catchUp(store.get()))) {
        fallBack(store->problem());
        return;
    }
    m_store = std::move(store);
    // What the memory held is in the target now; a target only read leaves
    // the memory this program's own readings, for the next time it fails.
    if (m_target.writesDurably())
        m_memory.reset();
    m_problem = {};
    m_retryMs = m_firstRetryMs;
    emit resumed();
    m_maintenance->start(0);
}

bool HistoryWriter::catchUp(HistoryStorage *store)
{
    if (!m_memory)
        return true;
    QVector<HistoryRow> rows;
    QStringList topics;
    const auto writeOut = [&] {
        if (!rows.isEmpty() && !store->write(rows))
            return false;
        for (const QString &topic : qAsConst(topics))
            m_memory->forget(topic);
        rows.clear();
        topics.clear();
        return true;
    };
    for (const QString &topic : m_memory->topics()) {
        const QVector<StoredRow> stored = m_memory->rows(topic, std::numeric_limits<qint64>::min(),
                                                         std::numeric_limits<qint64>::max(), HistoryStore::allFields());
        for (const StoredRow &row : stored)
            rows.append({topic, row.second, row.last});
        topics.append(topic);
        if (rows.size() >= kCatchUpRows && !writeOut())
            return false;
    }
    if (!writeOut())
        return false;
    // The events after the readings: the memory is dropped once both are in.
    QVector<HistoryEvent> events = m_memory->events(std::numeric_limits<int>::max());
    std::reverse(events.begin(), events.end());
    return store->writeEvents(events);
}

void HistoryWriter::fitMemory()
{
    if (!m_memory || m_target.writesDurably())
        return;
    const HistoryRetention retention = MemoryHistoryStore::retention(m_memory->meterCount());
    if (retention == m_memoryRetention)
        return;
    m_memoryRetention = retention;
    m_memory->setRetention(retention);
    emit memoryRetentionChanged(retention);
}

void HistoryWriter::checkFile()
{
    if (m_target.fileName.isEmpty() || !target() || m_store->inPlace())
        return;
    const bool replaced = QFileInfo::exists(m_target.fileName);
    m_store->close();
    m_store = m_target.open(HistoryStore::fileRetention(m_days));
    if (!target()) {
        fallBack(m_store->problem());
        return;
    }
    emit reopened(replaced);
}

void HistoryWriter::finish(QThread *home)
{
    m_maintenance->stop();
    m_retry->stop();
    m_fileCheck->stop();
    if (m_store)
        m_store->close();
    if (m_memory)
        m_memory->close();
    moveToThread(home);
}
