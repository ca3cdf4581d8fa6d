#pragma once

#include <QWidget>

namespace Ui {
class EventLogWindow;
}
class EventLog;
class EventTableModel;
class MeterBoard;
class QSortFilterProxyModel;

// The event log, newest first: filtered by meter and by kind, exported to CSV as shown (the
// summary's conventions). A window of its own beside the main window.
class EventLogWindow final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EventLogWindow)

public:
    // The meters of board are offered in the filter.
    EventLogWindow(const EventLog *log, const MeterBoard *board, QWidget *parent = nullptr);
    ~EventLogWindow() override;

    // Writes the rows as shown with a header row; on failure says why in a message box and
    // leaves any existing file as it was.
    bool exportCsv(const QString &fileName);

signals:
    // A row of a meter's event was double-clicked or Enter pressed on it.
    void meterActivated(const QString &topic);

private:
    void fillMeters(const MeterBoard *board);
    void askExportFile();

    Ui::EventLogWindow *ui;
    EventTableModel *m_model;       // child
    QSortFilterProxyModel *m_proxy; // child
};
