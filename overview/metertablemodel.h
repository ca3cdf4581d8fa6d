#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QTimer>
#include <QVector>

#include <vector>

class MeterBoard;
class MeterWatch;

// Every registered meter as a row of the summary table, read from the board and its watch.
// Every kRefreshMs the model looks which meters have had a reading or changed state since it
// last looked, and
// tells the view in one dataChanged() per run of such rows: a flood repaints the table a few
// times a second, and a reading costs the model nothing at all.
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
        Service,
        ColumnCount
    };
    // What sorting compares: numbers for counts, durations and times, the severity for the state,
    // the operating time left for the service, the text otherwise.
    static constexpr int kSortRole = Qt::UserRole + 1;
    // Column Name: the name and the topic, which the filter matches.
    static constexpr int kFilterRole = Qt::UserRole + 2;
    // The text an export writes: the shown text, but the time as a spreadsheet reads a date, at
    // the local offset from UTC now (CsvWriter::spreadsheetTime()).
    static constexpr int kExportRole = Qt::UserRole + 3;
    static constexpr int kRefreshMs = 250;

    MeterTableModel(const MeterBoard *board, const MeterWatch *watch, QObject *parent = nullptr);
    ~MeterTableModel() override;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    // What the view was last told of a meter.
    struct Seen
    {
        quint32 readings;
        bool online;
        int condition;
    };

    QString text(int row, int column, bool forExport) const;
    QVariant sortKey(int row, int column) const;
    void takeStock();
    void reportChanges();

    Seen seenOf(int row) const;

    const MeterBoard *m_board;
    const MeterWatch *m_watch;
    std::vector<Seen> m_seen;
    QTimer m_refreshTimer;
    QVector<QIcon> m_icons; // by condition
};
