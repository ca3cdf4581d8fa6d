#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QTimer>

#include <vector>

class MeterBoard;

// Every registered meter as a row of the summary table, read from the board. Readings mark
// rows changed; the view hears of them in one dataChanged() per run of rows every kRefreshMs,
// so a flood repaints the table a few times a second, never once per message.
class MeterTableModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MeterTableModel)

public:
    enum Column
    {
        Name,
        Topic,
        State,
        Received,
        DevType,
        DevMode,
        NumStarts,
        TLast,
        TCurrent,
        TCommon,
        Voltage,
        Freq,
        ColumnCount
    };
    // What sorting compares: numbers for counts, durations and times, a rank for the state, the
    // text otherwise.
    static constexpr int kSortRole = Qt::UserRole + 1;
    // Column Name: the name and the topic, which the filter matches.
    static constexpr int kFilterRole = Qt::UserRole + 2;
    // The text an export writes: the shown text, but the time in ISO 8601 with its UTC offset.
    static constexpr int kExportRole = Qt::UserRole + 3;
    static constexpr int kRefreshMs = 250;

    explicit MeterTableModel(const MeterBoard *board, QObject *parent = nullptr);
    ~MeterTableModel() override;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QString text(int row, int column, bool forExport) const;
    QVariant sortKey(int row, int column) const;
    void markChanged(int row);
    void reportChanges();

    const MeterBoard *m_board;
    std::vector<bool> m_changed;
    std::vector<int> m_changedRows;
    QTimer m_refreshTimer;
    const QIcon m_onlineIcon;
    const QIcon m_offlineIcon;
};
