#include "history/historywriter.h"

#include "history/historyclock.h"

#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <limits>

HistoryWriter::HistoryWriter(const QString &fileName, int days, const HistoryOptions &options)
    : m_fileName(fileName), m_days(days),
      m_clock(options.clock ? options.clock : std::make_shared<const HistoryClock>()),
      m_firstRetryMs(options.firstRetryMs), m_lastRetryMs(std::max(options.firstRetryMs, options.lastRetryMs)),
      m_retryMs(m_firstRetryMs), m_store(std::make_unique<HistoryStore>())
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
    connect(m_retry, &QTimer::timeout, this, &HistoryWriter::retryFile);
    // Batches look before they write; this is for the time none come.
    m_fileCheck = new QTimer(this);
    connect(m_fileCheck, &QTimer::timeout, this, &HistoryWriter::checkFile);
    if (!m_fileName.isEmpty())
        m_fileCheck->start(kFileCheckIntervalMs);

    const HistoryRetention retention =
        m_fileName.isEmpty() ? HistoryStore::memoryRetention() : HistoryStore::fileRetention(m_days);
    if (!m_store->open(m_fileName, retention))
        fallBack(m_store->problem());
    // Whatever piled up while the program was not running is folded and removed first.
    m_maintenance->start(0);
}

void HistoryWriter::write(const QVector<HistoryRow> &rows)
{
    checkFile();
    if (!m_store->write(rows) && writesToFile()) {
        fallBack(m_store->problem());
        m_store->write(rows);
    }
    if (m_store->isOpen())
        emit written(rows.size());
}

void HistoryWriter::writeEvents(const QVector<HistoryEvent> &events)
{
    checkFile();
    if (!m_store->writeEvents(events) && writesToFile()) {
        fallBack(m_store->problem());
        m_store->writeEvents(events);
    }
}

void HistoryWriter::events(quint64 id, int limit)
{
    QVector<HistoryEvent> events = m_store->events(limit);
    if (!m_store->isOpen() && writesToFile()) {
        fallBack(m_store->problem());
        events = m_store->events(limit);
    }
    emit eventsReady(id, events);
}

void HistoryWriter::chart(quint64 id, const HistoryChartRequest &request)
{
    HistoryChart chart = m_store->chart(request);
    if (!m_store->isOpen() && writesToFile()) {
        fallBack(m_store->problem());
        chart = m_store->chart(request);
    }
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
    QVector<StoredRow> rows = m_store->rows(topic, from, to);
    if (!m_store->isOpen() && writesToFile()) {
        fallBack(m_store->problem());
        rows = m_store->rows(topic, from, to);
    }
    return rows;
}

void HistoryWriter::setDays(int days)
{
    m_days = days;
    if (writesToFile() && m_store->isOpen()) {
        m_store->setRetention(HistoryStore::fileRetention(days));
        m_maintenance->start(0);
    }
}

void HistoryWriter::maintain()
{
    checkFile();
    const qint64 now = m_clock->utcSeconds();
    const ClockDoubt doubt = m_retentionClock.check(now, m_clock->steadyMs(), m_store->newestSecond());
    if (doubt != m_clockDoubt) {
        m_clockDoubt = doubt;
        emit clockDoubtChanged(doubt);
    }
    bool more = false;
    if (doubt == ClockDoubt::None) {
        more = m_store->maintain(now, kMaintenanceBudget);
        if (!m_store->isOpen() && writesToFile())
            fallBack(m_store->problem());
    }
    m_maintenance->start(more ? kCatchUpIntervalMs : kMaintenanceIntervalMs);
}

void HistoryWriter::fallBack(const HistoryProblem &problem)
{
    // A retry that fails as the last one did has nothing new to say.
    if (problem.kind != m_problem.kind || !problem.movedTo.isEmpty() || m_problem.kind == HistoryProblem::None) {
        m_problem = problem;
        emit stopped(problem);
    }
    if (!m_store->isOpen())
        m_store->open(QString(), HistoryStore::memoryRetention());
    m_retry->start(m_retryMs);
    m_retryMs = std::min(2 * m_retryMs, m_lastRetryMs);
}

void HistoryWriter::retryFile()
{
    auto file = std::make_unique<HistoryStore>();
    if (!file->open(m_fileName, HistoryStore::fileRetention(m_days)) || !catchUp(file.get())) {
        fallBack(file->problem());
        return;
    }
    m_store = std::move(file);
    m_problem = {};
    m_retryMs = m_firstRetryMs;
    emit resumed();
    m_maintenance->start(0);
}

bool HistoryWriter::catchUp(HistoryStore *file)
{
    for (const QString &topic : m_store->topics()) {
        const QVector<StoredRow> stored =
            m_store->rows(topic, std::numeric_limits<qint64>::min(), std::numeric_limits<qint64>::max());
        QVector<HistoryRow> rows;
        rows.reserve(stored.size());
        for (const StoredRow &row : stored)
            rows.append({topic, row.second, row.last});
        if (!file->write(rows))
            return false;
        m_store->forget(topic);
    }
    QVector<HistoryEvent> events = m_store->events(std::numeric_limits<int>::max());
    std::reverse(events.begin(), events.end());
    return file->writeEvents(events);
}

void HistoryWriter::checkFile()
{
    if (!writesToFile() || m_store->fileInPlace())
        return;
    const bool replaced = QFileInfo::exists(m_fileName);
    m_store->close();
    if (!m_store->open(m_fileName, HistoryStore::fileRetention(m_days))) {
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
    m_store->close();
    moveToThread(home);
}
