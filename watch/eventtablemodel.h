#pragma once

#include "watch/watchevent.h"

#include <QAbstractTableModel>
#include <QTimer>

#include <deque>

class EventLog;

// The event log as a table, newest first: what the log held when the model was made, and
// every event added since. Events that come in a burst (a thousand meters falling silent at
// once) are put in as one insertion when the event loop next turns.
class EventTableModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EventTableModel)

public:
    enum Column
    {
        Time,
        Meter,
        Event,
        ColumnCount
    };
    static constexpr int kTopicRole = Qt::UserRole + 1;
    static constexpr int kGroupRole = Qt::UserRole + 2;
    // The text an export writes: the shown text, but the time as spreadsheets read a date, at the
    // local offset from UTC now (CsvWriter::spreadsheetTime()).
    static constexpr int kExportRole = Qt::UserRole + 3;
    // Rows kept; older ones leave the table as new ones come.
    static constexpr int kMaxRows = 10000;

    explicit EventTableModel(const EventLog *log, QObject *parent = nullptr);
    ~EventTableModel() override;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    void reload();
    void insertPending();

    const EventLog *m_log;
    std::deque<WatchEvent> m_events;  // newest first
    std::deque<WatchEvent> m_pending; // oldest first
    QTimer m_insertTimer;
};
