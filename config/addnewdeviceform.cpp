#include "config/addnewdeviceform.h"
#include "ui_addnewdeviceform.h"

#include "config/textfit.h"

AddNewDeviceForm::AddNewDeviceForm(QWidget *parent, const QString &name, const QString &topic)
    : QDialog(parent), ui(new Ui::AddNewDeviceForm)
{
    ui->setupUi(this);
    // 60 pixels held "Название:" in the font the form was made for, not in Debian's.
    fitTextsInLayout(this, ui->verticalLayoutWidget);
    if (!name.isEmpty())
        ui->leDeviceName->setText(name);
    if (!topic.isEmpty())
        ui->leMQTTTopic->setText(topic);
}

AddNewDeviceForm::~AddNewDeviceForm()
{
    delete ui;
}

void AddNewDeviceForm::on_SetttCancelButton_clicked()
{
    close();
}

void AddNewDeviceForm::on_SetttSaveButton_clicked()
{
    emit SetItem(ui->leDeviceName->text(), ui->leMQTTTopic->text());
    close();
}
