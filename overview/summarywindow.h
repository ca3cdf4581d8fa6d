#pragma once

#include <QList>
#include <QWidget>

namespace Ui {
class SummaryWindow;
}
class MeterBoard;
class MeterTableModel;
class MeterWatch;
class QAction;
class QSortFilterProxyModel;

// Every registered meter at a glance: one row per record of the board, sortable by any
// column (the state by severity), filtered by name or topic, exported to CSV as shown. Rows that
// need attention are tinted. A window of its own beside the main window; it reads the board and
// its watch and changes nothing in them.
class SummaryWindow final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SummaryWindow)

public:
    // The watch must have been made before, so that it follows the board's changes first.
    SummaryWindow(const MeterBoard *board, const MeterWatch *watch, QWidget *parent = nullptr);
    ~SummaryWindow() override;

    // Writes the rows as shown (filter and sort applied) with a header row; on failure says
    // why in a message box and leaves any existing file as it was.
    bool exportCsv(const QString &fileName);

    // Adds an entry to the rows' context menu; when it is triggered, currentDeviceIndex() is the
    // row it was opened on.
    void addRowAction(QAction *action);
    // The record (board index) of the current row, or -1.
    int currentDeviceIndex() const;

signals:
    // A row was double-clicked or Enter pressed on it.
    void deviceActivated(int deviceIndex);

private:
    void askExportFile();
    void showRowMenu(const QPoint &position);

    Ui::SummaryWindow *ui;
    MeterTableModel *m_model;       // child
    QSortFilterProxyModel *m_proxy; // child
    QList<QAction *> m_rowActions;
};
