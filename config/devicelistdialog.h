#pragma once

#include <QDialog>

namespace Ui {
class DeviceListDialog;
}

// Placeholder until the dialog lands.
class DeviceListDialog final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DeviceListDialog)

public:
    explicit DeviceListDialog(QWidget *parent = nullptr);
    ~DeviceListDialog() override;

signals:
    void ExitAction();

private:
    Ui::DeviceListDialog *ui;
};
