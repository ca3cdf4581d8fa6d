#include "history/historyrecorder.h"

#include "history/historywriter.h"

#include <QDir>
#include <QFileInfo>
#include <QTime>

QString HistoryRecorder::fileNameIn(const QString &directory)
{
    return QDir(directory).filePath(QStringLiteral("history.sqlite"));
}

HistoryRecorder::HistoryRecorder(const QString &fileName, int days, const HistoryOptions &options, QObject *parent)
    : HistoryRecorder(HistoryTarget::file(fileName), days, options, parent)
{
}

HistoryRecorder::HistoryRecorder(const HistoryTarget &target, int days, const HistoryOptions &options, QObject *parent)
    : QObject(parent), m_target(target), m_memoryRetention(MemoryHistoryStore::retention()),
      m_writer(std::make_unique<HistoryWriter>(target, days, options))
{
    qRegisterMetaType<ClockDoubt>();
    qRegisterMetaType<HistoryRetention>();
    qRegisterMetaType<HistoryChart>();
    qRegisterMetaType<HistoryProblem>();
    qRegisterMetaType<QVector<StoredRow>>();
    qRegisterMetaType<QVector<HistoryEvent>>();

    m_thread.setObjectName(QStringLiteral("history writer"));
    m_writer->moveToThread(&m_thread);
    connect(m_writer.get(), &HistoryWriter::written, this, &HistoryRecorder::written);
    connect(m_writer.get(), &HistoryWriter::chartReady, this, &HistoryRecorder::chartReady);
    connect(m_writer.get(), &HistoryWriter::rowsReady, this, &HistoryRecorder::rowsReady);
    connect(m_writer.get(), &HistoryWriter::encodedRowsReady, this, &HistoryRecorder::encodedRowsReady);
    connect(m_writer.get(), &HistoryWriter::eventsReady, this, &HistoryRecorder::eventsReady);
    connect(m_writer.get(), &HistoryWriter::stopped, this, [this](const HistoryProblem &problem) {
        if (m_problem.kind == HistoryProblem::None)
            m_lostSinceStop = 0;
        m_problem = problem;
        emit stopped(problem);
        emit notice(describe(problem));
    });
    connect(m_writer.get(), &HistoryWriter::resumed, this, [this] {
        m_problem = {};
        emit resumed();
        QString text = !m_target.records ? tr("Общая история %1 снова доступна").arg(m_target.description())
                       : m_target.shared
                           ? tr("История снова записывается в общую историю %1").arg(m_target.description())
                           : tr("История снова записывается в %1").arg(m_target.description());
        if (m_lostSinceStop > 0)
            text += QStringLiteral("; ") + tr("не поместились в памяти и потеряны показания: %1").arg(m_lostSinceStop);
        emit notice(text);
    });
    connect(m_writer.get(), &HistoryWriter::lost, this, [this](qint64 readings) {
        // Said once an outage; the count comes when the target is back.
        if (m_lostSinceStop == 0)
            emit notice(tr("Показания не помещаются в памяти, пока история недоступна: старейшие теряются"));
        m_lost += readings;
        m_lostSinceStop += readings;
        emit lost(readings);
    });
    connect(m_writer.get(), &HistoryWriter::reopened, this, [this](bool replaced) {
        const QString file = m_target.description();
        const QString what = replaced ? tr("Файл истории %1 заменён другим: история записывается в него").arg(file)
                                      : tr("Файл истории %1 удалён: история записывается в новый файл").arg(file);
        m_fileNotice = QStringLiteral("%1 (%2)").arg(what, QTime::currentTime().toString(QStringLiteral("HH:mm:ss")));
        emit reopened(replaced);
        emit notice(m_fileNotice);
    });
    connect(m_writer.get(), &HistoryWriter::clockDoubtChanged, this, [this](ClockDoubt doubt) {
        m_clockDoubt = doubt;
        emit clockDoubtChanged(doubt);
        if (doubt != ClockDoubt::None)
            emit notice(describe(doubt));
    });
    connect(m_writer.get(), &HistoryWriter::memoryRetentionChanged, this, [this](const HistoryRetention &retention) {
        m_memoryRetention = retention;
        emit memoryRetentionChanged(retention);
    });
    m_thread.start();
    // Waited for: the store is open (a file is a few header reads) and the
    // thread has its event loop before the window goes on, so the program's
    // files, threads and descriptors are all there once it stands, and none
    // appears later at some random moment.
    HistoryWriter *writer = m_writer.get();
    QMetaObject::invokeMethod(
        writer, [writer] { writer->start(); }, Qt::BlockingQueuedConnection);

    m_flushTimer.setTimerType(Qt::CoarseTimer);
    connect(&m_flushTimer, &QTimer::timeout, this, &HistoryRecorder::flush);
    m_flushTimer.start(kFlushIntervalMs);
}

HistoryRecorder::~HistoryRecorder()
{
    m_flushTimer.stop();
    flush();
    // Queued after the last batch, so that batch is written before the store closes.
    HistoryWriter *writer = m_writer.get();
    QThread *home = thread();
    QMetaObject::invokeMethod(writer, [writer, home] {
        writer->finish(home);
        QThread::currentThread()->quit();
    });
    m_thread.wait();
}

void HistoryRecorder::setDays(int days)
{
    HistoryWriter *writer = m_writer.get();
    QMetaObject::invokeMethod(writer, [writer, days] { writer->setDays(days); });
}

void HistoryRecorder::record(const QString &topic, const Reading &reading, qint64 second)
{
    Waiting &waiting = m_waiting[topic];
    if (waiting.second != second) {
        if (waiting.pending)
            m_batch.append({topic, waiting.second, waiting.reading, waiting.handed});
        waiting.handed = false;
    }
    waiting.second = second;
    waiting.reading = reading;
    waiting.pending = true;
}

void HistoryRecorder::flush()
{
    for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it) {
        if (it->pending) {
            m_batch.append({it.key(), it->second, it->reading, it->handed});
            it->pending = false;
            it->handed = true;
        }
    }
    if (m_batch.isEmpty()) {
        // Others write a shared history this program only reads: the charts
        // that follow new readings look again every time.
        if (m_target.shared && !m_target.records)
            emit written(0);
        return;
    }
    // The batch travels by value in the queued call: nothing is shared between the threads.
    QVector<HistoryRow> batch;
    batch.swap(m_batch);
    HistoryWriter *writer = m_writer.get();
    QMetaObject::invokeMethod(writer, [writer, batch] { writer->write(batch); });
}

quint64 HistoryRecorder::requestChart(const HistoryChartRequest &request)
{
    const quint64 id = ++m_lastRequest;
    HistoryWriter *writer = m_writer.get();
    QMetaObject::invokeMethod(writer, [writer, id, request] { writer->chart(id, request); });
    return id;
}

void HistoryRecorder::recordEvent(const HistoryEvent &event)
{
    HistoryWriter *writer = m_writer.get();
    const QVector<HistoryEvent> events{event};
    QMetaObject::invokeMethod(writer, [writer, events] { writer->writeEvents(events); });
}

quint64 HistoryRecorder::requestEvents(int limit)
{
    const quint64 id = ++m_lastRequest;
    HistoryWriter *writer = m_writer.get();
    QMetaObject::invokeMethod(writer, [writer, id, limit] { writer->events(id, limit); });
    return id;
}

quint64 HistoryRecorder::requestRows(const QString &topic, qint64 from, qint64 to)
{
    const quint64 id = ++m_lastRequest;
    HistoryWriter *writer = m_writer.get();
    QMetaObject::invokeMethod(writer, [writer, id, topic, from, to] { writer->rows(id, topic, from, to); });
    return id;
}

quint64 HistoryRecorder::requestEncodedRows(const QString &topic, qint64 from, qint64 to,
                                            const HistoryRowsEncoder &encoder)
{
    const quint64 id = ++m_lastRequest;
    HistoryWriter *writer = m_writer.get();
    QMetaObject::invokeMethod(
        writer, [writer, id, topic, from, to, encoder] { writer->encodedRows(id, topic, from, to, encoder); });
    return id;
}

QString HistoryRecorder::describe(const HistoryProblem &problem)
{
    // PostgreSQL's own words say what went wrong: a refused password, a
    // database that is not there, a server that does not answer.
    const QString why = problem.detail.section(QLatin1Char('\n'), 0, 0).trimmed();
    if (problem.shared) {
        switch (problem.kind) {
        case HistoryProblem::None:
            return QString();
        case HistoryProblem::NewerFormat:
            return tr("Общая история %1 создана более новой версией программы").arg(problem.fileName);
        default:
            return tr("Общая история недоступна (%1): %2").arg(problem.fileName, why);
        }
    }
    const QString file = QFileInfo(problem.fileName).fileName();
    switch (problem.kind) {
    case HistoryProblem::None:
        break;
    case HistoryProblem::CannotOpen:
        return tr("История не записывается: не удалось открыть %1").arg(file);
    case HistoryProblem::Damaged:
        if (problem.movedTo.isEmpty())
            return tr("История не записывается: файл %1 повреждён").arg(file);
        return tr("История не записывается: файл %1 повреждён и переименован в %2")
            .arg(file, QFileInfo(problem.movedTo).fileName());
    case HistoryProblem::NewerFormat:
        return tr("История не записывается: файл %1 создан более новой версией программы").arg(file);
    case HistoryProblem::DiskFull:
        return tr("История не записывается: диск заполнен");
    case HistoryProblem::Failed:
        return tr("История не записывается: ошибка записи в %1").arg(file);
    }
    return QString();
}

QString HistoryRecorder::describe(ClockDoubt doubt)
{
    switch (doubt) {
    case ClockDoubt::None:
        break;
    case ClockDoubt::Ahead:
        return tr("Часы компьютера ушли вперёд: очистка истории отложена");
    case ClockDoubt::Behind:
        return tr("Часы компьютера отстают от последней записи истории: очистка истории отложена");
    }
    return QString();
}
