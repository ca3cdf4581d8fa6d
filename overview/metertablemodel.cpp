#include "overview/metertablemodel.h"

#include "config/deviceentry.h"
#include "measurement/meterboard.h"
#include "overview/csvwriter.h"
#include "overview/meterstatus.h"
#include "watch/meterwatch.h"

#include <QColor>

#include <limits>

MeterTableModel::MeterTableModel(const MeterBoard *board, const MeterWatch *watch, QObject *parent)
    : QAbstractTableModel(parent), m_board(board), m_watch(watch)
{
    for (int condition = 0; condition < kConditionCount; ++condition)
        m_icons.append(conditionIcon(MeterCondition(condition)));
    takeStock();
    m_refreshTimer.setInterval(kRefreshMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, &MeterTableModel::reportChanges);
    m_refreshTimer.start();
    connect(board, &MeterBoard::devicesAboutToChange, this, &MeterTableModel::beginResetModel);
    connect(board, &MeterBoard::devicesChanged, this, [this] {
        takeStock();
        endResetModel();
    });
}

MeterTableModel::~MeterTableModel() = default;

int MeterTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_board->count();
}

int MeterTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QString MeterTableModel::text(int row, int column, bool forExport) const
{
    const MeterState &meter = m_board->meter(row);
    switch (column) {
    case Name:
        return shownDeviceName(meter.name);
    case Topic:
        return meter.topic;
    case State:
        return conditionText(m_watch->condition(row));
    case Service:
        return maintenanceText(m_watch->maintenance(row));
    default:
        break;
    }
    if (!meter.reading)
        return {};
    const Reading &reading = *meter.reading;
    switch (column) {
    case Received:
        if (meter.retained)
            return forExport ? QString() : tr("неизвестно");
        return forExport ? CsvWriter::spreadsheetTime(meter.receivedMs, CsvWriter::localOffset())
                         : receivedText(meter.receivedMs);
    case DevType:
        return ModelName(reading.devType);
    case DevMode:
        return ModeName(reading.devMode);
    case NumStarts:
        return QString::number(reading.numStarts);
    case TLast:
        return FormatDuration(reading.tLast);
    case TCurrent:
        return FormatDuration(reading.tCurrent);
    case TCommon:
        return FormatDuration(reading.tCommon);
    case Voltage:
        return QString::number(reading.voltage);
    case Freq:
        return QString::number(reading.freq);
    default:
        return {};
    }
}

QVariant MeterTableModel::sortKey(int row, int column) const
{
    const MeterState &meter = m_board->meter(row);
    switch (column) {
    case Name:
    case Topic:
    case DevType:
    case DevMode:
        return text(row, column, false);
    case State:
        return int(m_watch->condition(row));
    case Service:
        return qlonglong(maintenanceSortKey(m_watch->maintenance(row)));
    default:
        break;
    }
    // Meters never heard sort before every value.
    if (!meter.reading)
        return std::numeric_limits<qlonglong>::min();
    const Reading &reading = *meter.reading;
    const int Reading::*field = nullptr;
    switch (column) {
    case Received:
        return meter.retained ? std::numeric_limits<qlonglong>::min() : qlonglong(meter.receivedMs);
    case NumStarts:
        field = &Reading::numStarts;
        break;
    case TLast:
        field = &Reading::tLast;
        break;
    case TCurrent:
        field = &Reading::tCurrent;
        break;
    case TCommon:
        field = &Reading::tCommon;
        break;
    case Voltage:
        field = &Reading::voltage;
        break;
    case Freq:
        field = &Reading::freq;
        break;
    default:
        return {};
    }
    return qlonglong(reading.*field);
}

QVariant MeterTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount() || index.column() >= ColumnCount)
        return {};
    const int row = index.row();
    const int column = index.column();
    switch (role) {
    case Qt::DisplayRole:
        return text(row, column, false);
    case kExportRole:
        return text(row, column, true);
    case kSortRole:
        return sortKey(row, column);
    case kFilterRole:
        if (column != Name)
            return {};
        return QString(m_board->meter(row).name + QLatin1Char('\n') + m_board->meter(row).topic);
    case Qt::DecorationRole:
        if (column == State)
            return m_icons.at(int(m_watch->condition(row)));
        return {};
    case Qt::ForegroundRole:
        // The state column says it in words; the grey only helps the eye along the row. A row
        // that needs attention is never faded.
        if (m_watch->condition(row) == MeterCondition::NoData)
            return QColor(Qt::darkGray);
        return {};
    case Qt::BackgroundRole:
        switch (m_watch->condition(row)) {
        case MeterCondition::Silent:
            return QColor(0xf9, 0xd6, 0xd2);
        case MeterCondition::OutOfRange:
        case MeterCondition::ServiceOverdue:
            return QColor(0xfd, 0xeb, 0xc0);
        default:
            return {};
        }
    case Qt::TextAlignmentRole:
        if (column >= NumStarts && column <= Freq)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    default:
        return {};
    }
}

QVariant MeterTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case Name:
        return tr("Название");
    case Topic:
        return tr("MQTT topic");
    case State:
        return tr("Состояние");
    case Received:
        return tr("Последние данные");
    case DevType:
        return tr("Тип устройства");
    case DevMode:
        return tr("Режим работы");
    case NumStarts:
        return tr("Количество пусков");
    case TLast:
        return tr("Наработка посл. пуска");
    case TCurrent:
        return tr("Текущая наработка");
    case TCommon:
        return tr("Общая наработка");
    case Voltage:
        return tr("Напряжение, В");
    case Freq:
        return tr("Частота, Гц");
    case Service:
        return tr("Обслуживание");
    default:
        return {};
    }
}

MeterTableModel::Seen MeterTableModel::seenOf(int row) const
{
    return {m_board->meter(row).readings, m_board->meter(row).online, int(m_watch->condition(row))};
}

void MeterTableModel::takeStock()
{
    m_seen.resize(std::size_t(m_board->count()));
    for (int row = 0; row < m_board->count(); ++row)
        m_seen[std::size_t(row)] = seenOf(row);
}

void MeterTableModel::reportChanges()
{
    // Names and topics never change with a reading, so a sort or filter on them stays put.
    const int rows = int(m_seen.size());
    int first = -1;
    for (int row = 0; row <= rows; ++row) {
        bool changed = false;
        if (row < rows) {
            const Seen now = seenOf(row);
            Seen &seen = m_seen[std::size_t(row)];
            changed = seen.readings != now.readings || seen.online != now.online || seen.condition != now.condition;
            seen = now;
        }
        if (changed && first < 0) {
            first = row;
        } else if (!changed && first >= 0) {
            emit dataChanged(index(first, State), index(row - 1, ColumnCount - 1));
            first = -1;
        }
    }
}
