#include "watch/eventtablemodel.h"

#include "config/deviceentry.h"
#include "overview/csvwriter.h"
#include "watch/eventlog.h"

#include <QDateTime>

EventTableModel::EventTableModel(const EventLog *log, QObject *parent) : QAbstractTableModel(parent), m_log(log)
{
    m_insertTimer.setSingleShot(true);
    connect(&m_insertTimer, &QTimer::timeout, this, &EventTableModel::insertPending);
    connect(log, &EventLog::eventAdded, this, [this](const WatchEvent &event) {
        m_pending.push_back(event);
        if (!m_insertTimer.isActive())
            m_insertTimer.start(0);
    });
    connect(log, &EventLog::storeChanged, this, &EventTableModel::reload);
    reload();
}

EventTableModel::~EventTableModel() = default;

void EventTableModel::reload()
{
    beginResetModel();
    const QVector<WatchEvent> events = m_log->newest(kMaxRows);
    m_events.assign(events.cbegin(), events.cend());
    m_pending.clear();
    endResetModel();
}

void EventTableModel::insertPending()
{
    if (m_pending.empty())
        return;
    const int count = int(std::min<std::size_t>(m_pending.size(), kMaxRows));
    beginInsertRows({}, 0, count - 1);
    for (auto it = m_pending.end() - count; it != m_pending.end(); ++it)
        m_events.push_front(*it);
    m_pending.clear();
    endInsertRows();
    if (m_events.size() > std::size_t(kMaxRows)) {
        beginRemoveRows({}, kMaxRows, int(m_events.size()) - 1);
        m_events.resize(kMaxRows);
        endRemoveRows();
    }
}

int EventTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_events.size());
}

int EventTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant EventTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return {};
    const WatchEvent &event = m_events[std::size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case kExportRole:
        switch (index.column()) {
        case Time:
            return role == kExportRole
                       ? CsvWriter::spreadsheetTime(event.timeMs, CsvWriter::localOffset())
                       : QDateTime::fromMSecsSinceEpoch(event.timeMs).toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
        case Meter:
            return event.topic.isEmpty() ? tr("брокер MQTT") : shownDeviceName(event.meter);
        case Event:
            return eventText(event);
        default:
            return {};
        }
    case kTopicRole:
        return event.topic;
    case kGroupRole:
        return int(eventGroup(event.kind));
    default:
        return {};
    }
}

QVariant EventTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Time:
        return tr("Время");
    case Meter:
        return tr("Счётчик");
    case Event:
        return tr("Событие");
    default:
        return {};
    }
}
