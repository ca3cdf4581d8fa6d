#pragma once

#include <QDialog>

namespace Ui {
class MeasDialog;
}
class QTimer;

// The panel of one meter: its eight values and the offline mark.
class MeasDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MeasDialog)

public:
    explicit MeasDialog(QWidget *parent = nullptr);
    ~MeasDialog() override;

    void ShowPayload(const QString &payload);

private slots:
    void slotTimerAlarm();

private:
    Ui::MeasDialog *ui;
    QTimer *timer;
};
