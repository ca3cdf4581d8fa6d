#include "overview/metertablemodel.h"

#include "config/deviceentry.h"
#include "measurement/meterboard.h"
#include "overview/csvwriter.h"
#include "overview/meterstatus.h"

#include <QColor>

#include <limits>

MeterTableModel::MeterTableModel(const MeterBoard *board, QObject *parent)
    : QAbstractTableModel(parent), m_board(board), m_onlineIcon(meterStateIcon(true)),
      m_offlineIcon(meterStateIcon(false))
{
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
        return meterStateText(meter);
    default:
        break;
    }
    if (!meter.reading)
        return {};
    const Reading &reading = *meter.reading;
    switch (column) {
    case Received:
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
        return meter.online ? 0 : meter.reading ? 1 : 2;
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
        return qlonglong(meter.receivedMs);
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
            return m_board->meter(row).online ? m_onlineIcon : m_offlineIcon;
        return {};
    case Qt::ForegroundRole:
        // The state column says it in words; the grey only helps the eye along the row.
        if (!m_board->meter(row).online)
            return QColor(Qt::darkGray);
        return {};
    case Qt::TextAlignmentRole:
        if (column >= NumStarts)
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
        return tr("Напряжение");
    case Freq:
        return tr("Частота");
    default:
        return {};
    }
}

void MeterTableModel::takeStock()
{
    m_seen.resize(std::size_t(m_board->count()));
    for (int row = 0; row < m_board->count(); ++row)
        m_seen[std::size_t(row)] = {m_board->meter(row).readings, m_board->meter(row).online};
}

void MeterTableModel::reportChanges()
{
    // Names and topics never change with a reading, so a sort or filter on them stays put.
    const int rows = int(m_seen.size());
    int first = -1;
    for (int row = 0; row <= rows; ++row) {
        bool changed = false;
        if (row < rows) {
            const MeterState &meter = m_board->meter(row);
            Seen &seen = m_seen[std::size_t(row)];
            changed = seen.readings != meter.readings || seen.online != meter.online;
            seen = {meter.readings, meter.online};
        }
        if (changed && first < 0) {
            first = row;
        } else if (!changed && first >= 0) {
            emit dataChanged(index(first, State), index(row - 1, ColumnCount - 1));
            first = -1;
        }
    }
}
