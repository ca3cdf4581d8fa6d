#pragma once

#include <QDialog>

namespace Ui {
class AddNewDeviceForm;
}

// Takes a device's display name and MQTT topic and hands them on through
// SetItem; it never touches the configuration file itself.
class AddNewDeviceForm final : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AddNewDeviceForm)

public:
    explicit AddNewDeviceForm(QWidget *parent, const QString &name, const QString &topic);
    ~AddNewDeviceForm() override;

signals:
    void SetItem(QString devname, QString topic);

private slots:
    // "Settt" is not a typo to fix: the object names of the two buttons are
    // frozen (the slots below are found by them, and so are the buttons by
    // whoever drives the form), so the slot names follow them.
    void on_SetttCancelButton_clicked();
    void on_SetttSaveButton_clicked();

private:
    Ui::AddNewDeviceForm *ui;
};
