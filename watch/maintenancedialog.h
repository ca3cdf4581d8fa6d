#pragma once

#include "config/settingsfile.h"

#include <QDialog>
#include <QPointer>

namespace Ui {
class MaintenanceDialog;
}
class MeterBoard;

// "Обслуживание — <name>": one meter's service interval (hours of total operating time and/or
// starts), its own supply limits and the last service mark, kept in Settings.conf by the
// meter's topic. It shows how much is left until the service, or by how much it is overdue.
// "Отметить обслуживание" takes the meter's current total time and starts with today's date
// and saves the plan at once; "Сохранить" saves what the fields say and closes.
class MaintenanceDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MaintenanceDialog)

public:
    // Meter `index` of board.
    MaintenanceDialog(const MeterBoard *board, int index, QWidget *parent = nullptr);
    ~MaintenanceDialog() override;

signals:
    // The plan was written to Settings.conf.
    void saved();

private:
    void showPlan(const MaintenancePlan &plan);
    MaintenancePlan shownPlan() const;
    void showStatus();
    void markService();
    bool savePlan();
    // The first bound pair that cannot be saved, as the message saying so.
    QString refusal() const;
    void warn(const QString &title, const QString &text);

    Ui::MaintenanceDialog *ui;
    QPointer<const MeterBoard> m_board;
    const int m_index;
    const QString m_topic;
    // The mark's operating time to the second; the field shows hours to two decimals.
    qint64 m_markSeconds = 0;
    bool m_showing = false;
};
