#include "overview/metertablemodel.h"

#include "config/settingsfile.h"
#include "measurement/meterboard.h"
#include "overview/csvwriter.h"
#include "overview/meterstatus.h"

#include <QColor>

#include <algorithm>
#include <limits>

MeterTableModel::MeterTableModel(const MeterBoard *board, QObject *parent)
    : QAbstractTableModel(parent), m_board(board), m_changed(std::size_t(board->count())),
      m_onlineIcon(meterStateIcon(true)), m_offlineIcon(meterStateIcon(false))
{
    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(kRefreshMs);
    connect(&m_refreshTimer, &QTimer::timeout, this, &MeterTableModel::reportChanges);
    connect(board, &MeterBoard::readingRecorded, this, [this](int index) { markChanged(index); });
    connect(board, &MeterBoard::onlineChanged, this, [this](int index) { markChanged(index); });
    connect(board, &MeterBoard::devicesAboutToChange, this, [this] {
        beginResetModel();
        m_refreshTimer.stop();
        m_changedRows.clear();
    });
    connect(board, &MeterBoard::devicesChanged, this, [this] {
        m_changed.assign(std::size_t(m_board->count()), false);
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
        return forExport ? CsvWriter::isoTime(meter.receivedMs) : receivedText(meter.receivedMs);
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

void MeterTableModel::markChanged(int row)
{
    if (row < 0 || std::size_t(row) >= m_changed.size() || m_changed[std::size_t(row)])
        return;
    m_changed[std::size_t(row)] = true;
    m_changedRows.push_back(row);
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start();
}

void MeterTableModel::reportChanges()
{
    std::sort(m_changedRows.begin(), m_changedRows.end());
    for (int row : m_changedRows)
        m_changed[std::size_t(row)] = false;
    // Names and topics never change with a reading, so a sort or filter on them stays put.
    std::size_t first = 0;
    while (first < m_changedRows.size()) {
        std::size_t last = first;
        while (last + 1 < m_changedRows.size() && m_changedRows[last + 1] == m_changedRows[last] + 1)
            ++last;
        emit dataChanged(index(m_changedRows[first], State), index(m_changedRows[last], ColumnCount - 1));
        first = last + 1;
    }
    m_changedRows.clear();
}
