#pragma once

#include <QDialog>

namespace Ui {
class AddNewDeviceForm;
}

// Placeholder until the dialog lands.
class AddNewDeviceForm final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AddNewDeviceForm)

public:
    AddNewDeviceForm(QWidget *parent, const QString &name, const QString &topic);
    ~AddNewDeviceForm() override;

signals:
    void SetItem(QString devname, QString topic);

private:
    Ui::AddNewDeviceForm *ui;
};
