#include "history/historywriter.h"

#include "history/historyclock.h"

#include <QThread>
#include <QTimer>

HistoryWriter::HistoryWriter(const QString &fileName, int days, const HistoryOptions &options)
    : m_fileName(fileName), m_days(days),
      m_clock(options.clock ? options.clock : std::make_shared<const HistoryClock>())
{
}

HistoryWriter::~HistoryWriter() = default;

void HistoryWriter::start()
{
    m_maintenance = new QTimer(this);
    m_maintenance->setSingleShot(true);
    connect(m_maintenance, &QTimer::timeout, this, &HistoryWriter::maintain);

    const HistoryRetention retention =
        m_fileName.isEmpty() ? HistoryStore::memoryRetention() : HistoryStore::fileRetention(m_days);
    if (!m_store.open(m_fileName, retention))
        fallBack();
    // Whatever piled up while the program was not running is folded and removed first.
    m_maintenance->start(0);
}

void HistoryWriter::write(const QVector<HistoryRow> &rows)
{
    if (!m_store.write(rows) && !m_store.inMemory()) {
        fallBack();
        m_store.write(rows);
    }
    if (m_store.isOpen())
        emit written(rows.size());
}

void HistoryWriter::chart(quint64 id, const HistoryChartRequest &request)
{
    HistoryChart chart = m_store.chart(request);
    if (!m_store.isOpen() && !m_store.inMemory()) {
        fallBack();
        chart = m_store.chart(request);
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
    QVector<StoredRow> rows = m_store.rows(topic, from, to);
    if (!m_store.isOpen() && !m_store.inMemory()) {
        fallBack();
        rows = m_store.rows(topic, from, to);
    }
    return rows;
}

void HistoryWriter::setDays(int days)
{
    m_days = days;
    if (m_store.isOpen() && !m_store.inMemory()) {
        m_store.setRetention(HistoryStore::fileRetention(days));
        m_maintenance->start(0);
    }
}

void HistoryWriter::maintain()
{
    const qint64 now = m_clock->utcSeconds();
    const ClockDoubt doubt = m_retentionClock.check(now, m_clock->steadyMs(), m_store.newestSecond());
    if (doubt != m_clockDoubt) {
        m_clockDoubt = doubt;
        emit clockDoubtChanged(doubt);
    }
    bool more = false;
    if (doubt == ClockDoubt::None) {
        more = m_store.maintain(now, kMaintenanceBudget);
        if (!m_store.isOpen() && !m_store.inMemory())
            fallBack();
    }
    m_maintenance->start(more ? kCatchUpIntervalMs : kMaintenanceIntervalMs);
}

void HistoryWriter::fallBack()
{
    emit stopped(m_store.problem());
    m_store.open(QString(), HistoryStore::memoryRetention());
}

void HistoryWriter::finish(QThread *home)
{
    m_maintenance->stop();
    m_store.close();
    moveToThread(home);
}
